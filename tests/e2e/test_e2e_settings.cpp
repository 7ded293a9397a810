// The real service's settings file: missing keys of both groups are written back with their
// defaults (those of the shipped sample, which test_sample_ini holds to what the daemon writes
// into an empty file), everything else in the file is left alone; a hostile number changes
// nothing of what the service does.

#include "tools/standin/cserviceprocess.h"

#include <QSettings>
#include <QtTest>

namespace {

const QString g_sNoBus = "unix:path=/nonexistent/veltrano-test-bus";

using CValues = QMap<QString, QVariant>;

CValues sampleValues()
{
    const QSettings oSample(VELTRANO_SAMPLE_INI, QSettings::IniFormat);
    CValues mValues;
    for (const QString& sKey : oSample.allKeys()) {
        mValues.insert(sKey, oSample.value(sKey));
    }
    return mValues;
}

QString fileText(const QString& sPath)
{
    QFile oFile(sPath);
    return oFile.open(QIODevice::ReadOnly) ? sPath + ":\n" + QString::fromUtf8(oFile.readAll())
                                           : sPath + ": unreadable";
}

} // namespace

class TestE2eSettings : public QObject
{
    Q_OBJECT

private slots:
    void writes_back_every_missing_key()
    {
        const CValues mKept = {{"Other/key", "value"},
                               {"SETUP_GENERAL/Use_Session_Bus", 0},
                               {"SETUP_GENERAL/Extra", 1},
                               {"DEBUG_MESSAGES/Log_Level", 3}};
        CServiceProcess oService(g_sNoBus);
        oService.setIni(
            "[Other]\nkey=value\n[SETUP_GENERAL]\nUse_Session_Bus=0\nExtra=1\n[DEBUG_MESSAGES]\nLog_Level=3\n");
        QVERIFY(oService.start());
        // The keys of both groups, and whatever else was there.
        const CValues mDefaults = sampleValues();
        QStringList lExpected = mDefaults.keys() + mKept.keys();
        lExpected.removeDuplicates();
        lExpected.sort();
        // Generous: under the sanitizers on a busy machine the start alone can take seconds.
        const auto lKeysNow = [&oService] { return QSettings(oService.iniPath(), QSettings::IniFormat).allKeys(); };
        QTRY_VERIFY2_WITH_TIMEOUT(lKeysNow() == lExpected, qPrintable(fileText(oService.iniPath())), 15000);

        const QSettings oIni(oService.iniPath(), QSettings::IniFormat);
        for (auto it = mDefaults.cbegin(); it != mDefaults.cend(); ++it) {
            const QVariant oExpected = mKept.value(it.key(), it.value());
            QVERIFY2(oIni.contains(it.key()), qPrintable(it.key()));
            QCOMPARE(oIni.value(it.key()).toString(), oExpected.toString());
        }
        for (auto it = mKept.cbegin(); it != mKept.cend(); ++it) {
            QCOMPARE(oIni.value(it.key()).toString(), it.value().toString());
        }
    }

    void a_hostile_number_gets_its_default()
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
};

QTEST_GUILESS_MAIN(TestE2eSettings)
#include "test_e2e_settings.moc"
