// The real binary answering its options, before anything of the service starts.

#include "service/version.h"
#include "tools/standin/targetprogram.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void answers_without_touching_its_files_data()
    {
        QTest::addColumn<QStringList>("lArguments");
        QTest::addColumn<int>("iStatus");
        QTest::addColumn<QString>("sOut"); // the start of standard output
        QTest::addColumn<QString>("sErr");

        const QString sVersion = "veltrano-usb " + g_sSwVersion + "\n";
        const QString sUsage = "Usage: veltrano-usb [--help | --version]\n";
        const QString sUnknown = "veltrano-usb: unknown argument \"%1\"\nTry \"veltrano-usb --help\".\n";
        QTest::newRow("version") << QStringList {"--version"} << 0 << sVersion << "";
        QTest::newRow("help") << QStringList {"--help"} << 0 << sUsage << "";
        QTest::newRow("short help, after version") << QStringList {"--version", "-h"} << 0 << sUsage << "";
        QTest::newRow("unknown option") << QStringList {"--bogus"} << 2 << "" << sUnknown.arg("--bogus");
        QTest::newRow("stranger after version")
            << QStringList {"--version", "start"} << 2 << "" << sUnknown.arg("start");
    }

    // In a private namespace whose /etc, /var/log and /mnt are a folder of the test: a settings
    // file or log written by mistake would land there.
    void answers_without_touching_its_files()
    {
        QFETCH(QStringList, lArguments);
        QFETCH(int, iStatus);
        QFETCH(QString, sOut);
        QFETCH(QString, sErr);

        QTemporaryDir oRoot;
        QVERIFY(oRoot.isValid());
        QProcess oProcess;
        oProcess.start(VELTRANO_NSRUN,
                       QStringList {"--root", oRoot.path(), "--"} + targetCommand(VELTRANO_SERVICE) + lArguments);
        QVERIFY(oProcess.waitForFinished(10000));
        QCOMPARE(oProcess.exitStatus(), QProcess::NormalExit);
        QCOMPARE(oProcess.exitCode(), iStatus);
        const QString sOutput = QString::fromUtf8(oProcess.readAllStandardOutput());
        QVERIFY2(sOut.isEmpty() ? sOutput.isEmpty() : sOutput.startsWith(sOut), qPrintable(sOutput));
        QCOMPARE(QString::fromUtf8(oProcess.readAllStandardError()), sErr);

        // The help names what an operator needs: the files, the bus and the signals.
        if (sOut.startsWith("Usage")) {
            for (const char* szNeeded : {"/etc/Veltrano/usb.ini", "/var/log/Veltrano/usb.log", "/mnt/usbstick",
                                         "DBUS_SESSION_BUS_ADDRESS", "TCP_Bus_Address", "SIGTERM", "SIGHUP"}) {
                QVERIFY2(sOutput.contains(szNeeded), szNeeded);
            }
        }

        const QDir::Filters eAll = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden;
        QCOMPARE(QDir(oRoot.path() + "/etc").entryList(eAll), QStringList());
        QCOMPARE(QDir(oRoot.path() + "/log").entryList(eAll), QStringList());
        QCOMPARE(QDir(oRoot.path() + "/mnt").entryList(eAll), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "test_commandline.moc"
