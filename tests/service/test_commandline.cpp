// The daemon's options: what each asks for, and the real binary answering them before
// anything of the service starts.

#include "service/ccommandline.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sstream>
#include <vector>

namespace {

const char* const g_szVersionLine = "veltrano-usb 1.1.1 / vt-release-1.14.3_2025-12-17_1-0-gd9c016b\n";

struct SAnswer
{
    bool bStartsService;
    int iStatus;
    QString sOut;
    QString sErr;
};

SAnswer answerTo(const QStringList& lArguments)
{
    std::vector<std::string> vStorage {"veltrano-usb"};
    for (const QString& sArgument : lArguments) {
        vStorage.push_back(sArgument.toStdString());
    }
    std::vector<const char*> vArgv;
    for (const std::string& sArgument : vStorage) {
        vArgv.push_back(sArgument.c_str());
    }
    const CCommandLine oCommandLine(static_cast<int>(vArgv.size()), vArgv.data());
    std::ostringstream oOut;
    std::ostringstream oErr;
    SAnswer oAnswer {oCommandLine.startsService(), -1, QString(), QString()};
    if (!oAnswer.bStartsService) {
        oAnswer.iStatus = oCommandLine.answer(oOut, oErr);
    }
    oAnswer.sOut = QString::fromStdString(oOut.str());
    oAnswer.sErr = QString::fromStdString(oErr.str());
    return oAnswer;
}

QString errorFor(const QString& sArgument)
{
    return "veltrano-usb: unknown argument \"" + sArgument + "\"\nTry \"veltrano-usb --help\".\n";
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void only_no_arguments_start_the_service();
    void answers_data();
    void answers();
    void help_names_files_bus_and_signals();
    void the_binary_answers_without_touching_its_files_data();
    void the_binary_answers_without_touching_its_files();
};

void TestCommandLine::only_no_arguments_start_the_service()
{
    QVERIFY(answerTo({}).bStartsService);
    QVERIFY(!answerTo({""}).bStartsService);
    QVERIFY(!answerTo({"--version"}).bStartsService);
}

void TestCommandLine::answers_data()
{
    QTest::addColumn<QStringList>("lArguments");
    QTest::addColumn<int>("iStatus");
    QTest::addColumn<QString>("sOut"); // "HELP" stands for the help text
    QTest::addColumn<QString>("sErr");

    QTest::newRow("version") << QStringList {"--version"} << 0 << g_szVersionLine << "";
    QTest::newRow("help") << QStringList {"--help"} << 0 << "HELP"
                          << "";
    QTest::newRow("short help") << QStringList {"-h"} << 0 << "HELP"
                                << "";
    QTest::newRow("help wins over version") << QStringList {"--version", "--help"} << 0 << "HELP"
                                            << "";
    QTest::newRow("unknown option") << QStringList {"--bogus"} << 2 << "" << errorFor("--bogus");
    QTest::newRow("no short version") << QStringList {"-v"} << 2 << "" << errorFor("-v");
    QTest::newRow("stray word") << QStringList {"start"} << 2 << "" << errorFor("start");
    QTest::newRow("first stranger named") << QStringList {"--x", "--y"} << 2 << "" << errorFor("--x");
    QTest::newRow("stranger after version") << QStringList {"--version", "--x"} << 2 << "" << errorFor("--x");
    QTest::newRow("stranger before help") << QStringList {"--x", "--help"} << 2 << "" << errorFor("--x");
}

void TestCommandLine::answers()
{
    QFETCH(QStringList, lArguments);
    QFETCH(int, iStatus);
    QFETCH(QString, sOut);
    QFETCH(QString, sErr);

    const SAnswer oAnswer = answerTo(lArguments);
    QCOMPARE(oAnswer.iStatus, iStatus);
    if (sOut == "HELP") {
        QVERIFY(oAnswer.sOut.startsWith("Usage: veltrano-usb [--help | --version]\n"));
    } else {
        QCOMPARE(oAnswer.sOut, sOut);
    }
    QCOMPARE(oAnswer.sErr, sErr);
}

void TestCommandLine::help_names_files_bus_and_signals()
{
    const QString sHelp = answerTo({"--help"}).sOut;
    const QStringList lNeeded {
        "/mnt/usbstick",
        "/etc/Veltrano/usb.ini",
        "SETUP_GENERAL",
        "DEBUG_MESSAGES",
        "/var/log/Veltrano/usb.log",
        "usb.log.1",
        "DBUS_SESSION_BUS_ADDRESS",
        "Use_Session_Bus=0",
        "TCP_Bus_Address",
        "SIGTERM",
        "SIGINT",
        "SIGHUP",
    };
    for (const QString& sNeeded : lNeeded) {
        QVERIFY2(sHelp.contains(sNeeded), qPrintable(sNeeded));
    }
    // Fits a terminal.
    for (const QString& sLine : sHelp.split('\n')) {
        QVERIFY2(sLine.size() <= 80, qPrintable(sLine));
    }
}

void TestCommandLine::the_binary_answers_without_touching_its_files_data()
{
    QTest::addColumn<QString>("sArgument");
    QTest::addColumn<int>("iStatus");
    QTest::addColumn<QString>("sOut");
    QTest::addColumn<QString>("sErr");

    QTest::newRow("version") << "--version" << 0 << g_szVersionLine << "";
    QTest::newRow("help") << "--help" << 0 << answerTo({"--help"}).sOut << "";
    QTest::newRow("unknown") << "--bogus" << 2 << "" << errorFor("--bogus");
}

// In a private namespace whose /etc, /var/log and /mnt are a folder of the test: a settings
// file or log written by mistake would land there.
void TestCommandLine::the_binary_answers_without_touching_its_files()
{
    QFETCH(QString, sArgument);
    QFETCH(int, iStatus);
    QFETCH(QString, sOut);
    QFETCH(QString, sErr);

    QTemporaryDir oRoot;
    QVERIFY(oRoot.isValid());
    QProcess oProcess;
    oProcess.start(VELTRANO_NSRUN, {"--root", oRoot.path(), "--", VELTRANO_SERVICE, sArgument});
    QVERIFY(oProcess.waitForFinished(10000));
    QCOMPARE(oProcess.exitStatus(), QProcess::NormalExit);
    QCOMPARE(oProcess.exitCode(), iStatus);
    QCOMPARE(QString::fromUtf8(oProcess.readAllStandardOutput()), sOut);
    QCOMPARE(QString::fromUtf8(oProcess.readAllStandardError()), sErr);

    const QDir::Filters eAll = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden;
    QCOMPARE(QDir(oRoot.path() + "/etc").entryList(eAll), QStringList());
    QCOMPARE(QDir(oRoot.path() + "/log").entryList(eAll), QStringList());
    QCOMPARE(QDir(oRoot.path() + "/mnt").entryList(eAll), QStringList());
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_commandline.moc"
