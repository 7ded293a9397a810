// The real service's settings file and first words: missing keys of both groups are written
// back with their defaults, everything else in the file is left alone.

#include "tools/standin/cserviceprocess.h"

#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

namespace {

const QString g_sNoBus = "unix:path=/nonexistent/veltrano-test-bus";

using CValues = QMap<QString, QVariant>;

const CValues g_mDefaults = {
    {"DEBUG_MESSAGES/Display_Message", 0},
    {"DEBUG_MESSAGES/Display_Level", 1},
    {"DEBUG_MESSAGES/Log_Message", 1},
    {"DEBUG_MESSAGES/Log_Level", 1},
    {"DEBUG_MESSAGES/Logfile_Size", 1048576},
    {"DEBUG_MESSAGES/Logfile_Redundancy", 1},
    {"DEBUG_MESSAGES/Logfile_Name", "/var/log/Veltrano/usb.log"},
    {"DEBUG_MESSAGES/Use_SysLog", 0},
    {"SETUP_GENERAL/Use_Session_Bus", 1},
    {"SETUP_GENERAL/TCP_Bus_Address", "tcp:host=127.0.0.1,port=7777"},
    {"SETUP_GENERAL/TCP_Bus_Name", "remote"},
    {"SETUP_GENERAL/Dbus_Connection_Retry", 5000},
    {"SETUP_GENERAL/Setup_Poll_Rate", 1000},
};

QString fileText(const QString& sPath)
{
    QFile oFile(sPath);
    return oFile.open(QIODevice::ReadOnly) ? sPath + ":\n" + QString::fromUtf8(oFile.readAll()) : sPath + ": unreadable";
}

} // namespace

class TestE2eSettings : public QObject
{
    Q_OBJECT

private slots:
    void writes_back_every_missing_key_data();
    void writes_back_every_missing_key();
    void prints_the_constructor_line_in_the_console_format();
    void a_hostile_number_gets_its_default();
    void an_oversized_file_is_not_read();
    void logging_rules_do_not_silence_debug_lines();
};

void TestE2eSettings::writes_back_every_missing_key_data()
{
    QTest::addColumn<QString>("sIni");
    QTest::addColumn<CValues>("mKept");
    QTest::newRow("empty file") << QString() << CValues();
    QTest::newRow("other groups and keys")
        << "[Other]\nkey=value\n[SETUP_GENERAL]\nUse_Session_Bus=0\nExtra=1\n[DEBUG_MESSAGES]\nLog_Level=3\n"
        << CValues {{"Other/key", "value"},
                    {"SETUP_GENERAL/Use_Session_Bus", 0},
                    {"SETUP_GENERAL/Extra", 1},
                    {"DEBUG_MESSAGES/Log_Level", 3}};
}

void TestE2eSettings::writes_back_every_missing_key()
{
    QFETCH(QString, sIni);
    QFETCH(CValues, mKept);

    CServiceProcess oService(g_sNoBus);
    oService.setIni(sIni);
    QVERIFY(oService.start());
    // The keys of both groups, and whatever else was there.
    QStringList lExpected = g_mDefaults.keys() + mKept.keys();
    lExpected.removeDuplicates();
    lExpected.sort();
    // Generous: under the sanitizers on a busy machine the start alone can take seconds.
    const auto lKeysNow = [&oService] { return QSettings(oService.iniPath(), QSettings::IniFormat).allKeys(); };
    QTRY_VERIFY2_WITH_TIMEOUT(lKeysNow() == lExpected, qPrintable(fileText(oService.iniPath())), 15000);

    const QSettings oIni(oService.iniPath(), QSettings::IniFormat);
    for (auto it = g_mDefaults.cbegin(); it != g_mDefaults.cend(); ++it) {
        const QVariant oExpected = mKept.value(it.key(), it.value());
        QVERIFY2(oIni.contains(it.key()), qPrintable(it.key()));
        QCOMPARE(oIni.value(it.key()).toString(), oExpected.toString());
    }
    for (auto it = mKept.cbegin(); it != mKept.cend(); ++it) {
        QCOMPARE(oIni.value(it.key()).toString(), it.value().toString());
    }
}

void TestE2eSettings::prints_the_constructor_line_in_the_console_format()
{
    CServiceProcess oService(g_sNoBus);
    oService.setIni("[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\nLog_Message=0\n");
    QVERIFY(oService.start());
    QTRY_VERIFY_WITH_TIMEOUT(oService.rawOutput().contains("readSettingsFromIniFile"), 5000);

    // Green identifier, time of day, blue debug tag, the text with its own line end, then the
    // stream's line break, the colour reset and the console's line end.
    const QString sPid = QString::number(oService.pid());
    const QRegularExpression oFirstLine(
        "^\\x1b\\[92mNOID\\(" + sPid + "\\)\\x1b\\[0m:\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d\\x1b\\[94m D: "
        "File: cusb Line:  \\d+ :  CUsb::constructor\\(\\)\\n \\n\\x1b\\[0m\\n");
    const QString sOutput = QString::fromLatin1(oService.rawOutput());
    QVERIFY2(oFirstLine.match(sOutput).hasMatch(), qPrintable(sOutput));
    QVERIFY(sOutput.contains(":  CPpp::readSettingsFromIniFile() \n\x1b[0m\n"));
}

void TestE2eSettings::a_hostile_number_gets_its_default()
{
    CServiceProcess oService(g_sNoBus);
    oService.setIni(
        "[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\n[SETUP_GENERAL]\nDbus_Connection_Retry=-1\n"
        "Setup_Poll_Rate=4294967295\n");
    QVERIFY(oService.start());
    // -1 once stopped the retries for good: now the attempts are 5000 ms apart.
    QTRY_COMPARE_WITH_TIMEOUT(oService.count("Can't connect to session bus!"), 2, 8000);
    const QStringList lFailures = oService.linesWith("Can't connect to session bus!");
    const qint64 llInterval = CServiceProcess::timeOf(lFailures[1]) - CServiceProcess::timeOf(lFailures[0]);
    QVERIFY2(llInterval >= 4900 && llInterval < 6500, qPrintable(QString("%1 ms").arg(llInterval)));

    const QString sRejected = "Setting \"%1\" = \"%2\" is out of range or not a number => default %3 ";
    QStringList lRejected;
    for (const QString& sLine : oService.linesWith("is out of range")) {
        lRejected << CServiceProcess::messageOf(sLine);
    }
    QCOMPARE(lRejected, QStringList({sRejected.arg("Dbus_Connection_Retry", "-1", "5000"),
                                     sRejected.arg("Setup_Poll_Rate", "4294967295", "1000")}));
    const QSettings oIni(oService.iniPath(), QSettings::IniFormat);
    QCOMPARE(oIni.value("SETUP_GENERAL/Dbus_Connection_Retry").toString(), QString("-1"));
    QCOMPARE(oIni.value("SETUP_GENERAL/Setup_Poll_Rate").toString(), QString("4294967295"));
}

void TestE2eSettings::an_oversized_file_is_not_read()
{
    QString sIni = "[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\n";
    while (sIni.size() <= 64 * 1024) {
        sIni += "; a comment line that makes the file larger than a settings file has reason to be\n";
    }
    CServiceProcess oService(g_sNoBus);
    oService.setIni(sIni);
    QVERIFY(oService.start());

    // Nothing of the file counts: no console, the log file at its default place.
    const QString sLog = oService.logDir() + "/usb.log";
    QTRY_VERIFY_WITH_TIMEOUT(QFile(sLog).size() > 0, 5000);
    QFile oLog(sLog);
    QVERIFY(oLog.open(QIODevice::ReadOnly));
    const QByteArray aLog = oLog.readAll();
    QCOMPARE(aLog.count("is larger than 65536 bytes and not read => defaults"), 1);
    QVERIFY(oService.rawOutput().isEmpty());
    QFile oIni(oService.iniPath());
    QVERIFY(oIni.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(oIni.readAll()), sIni);
}

void TestE2eSettings::logging_rules_do_not_silence_debug_lines()
{
    CServiceProcess oService(g_sNoBus);
    oService.setEnvironment("QT_LOGGING_RULES", "*.debug=false");
    oService.setIni("[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\n");
    QVERIFY(oService.start());
    QTRY_COMPARE_WITH_TIMEOUT(oService.count("CPpp::readSettingsFromIniFile()"), 1, 5000);
    QVERIFY(oService.lines().first().contains(" D: File: cusb Line: "));
}

QTEST_GUILESS_MAIN(TestE2eSettings)
#include "test_e2e_settings.moc"
