// The real service reaching (or not reaching) its bus: retries, a bus that comes late or goes
// away, the TCP bus, and POSIX signals before a connection exists or without a socket pair.

#include "tools/standin/cprivatebus.h"
#include "tools/standin/cserviceprocess.h"
#include "tools/standin/csignalrecorder.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const QString g_sNoBus = "unix:path=/nonexistent/veltrano-test-bus";

QString iniWith(const QString& sSetupGeneral)
{
    return "[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\n[SETUP_GENERAL]\n" + sSetupGeneral;
}

// A loopback port that nothing listens on: one a bus was just given and gave back.
quint16 closedPort()
{
    const CPrivateBus oProbe(true);
    return oProbe.tcpAddress().section("port=", 1).section(',', 0, 0).toUShort();
}

} // namespace

class TestE2eConnection : public QObject
{
    Q_OBJECT

private slots:
    void gives_up_after_the_sixth_failed_attempt()
    {
        CServiceProcess oService(g_sNoBus);
        oService.setIni(iniWith("Dbus_Connection_Retry=0\n"));
        QElapsedTimer oTimer;
        oTimer.start();
        QVERIFY(oService.start());
        QVERIFY(oService.waitForExit(5000));
        const qint64 llElapsed = oTimer.elapsed();

        QCOMPARE(oService.exitStatus(), QProcess::NormalExit);
        QCOMPARE(oService.exitCode(), 0);
        // Within a second of its first word, as its own clock shows; the wall clock adds the
        // start of the namespace around it.
        const qint64 llOwn = CServiceProcess::timeOf(oService.linesWith("Retry limit reached").first())
                             - CServiceProcess::timeOf(oService.lines().first());
        QVERIFY2(llOwn < 1000, qPrintable(QString("took %1 ms").arg(llOwn)));
        QVERIFY2(llElapsed < 3000, qPrintable(QString("took %1 ms").arg(llElapsed)));

        const QStringList lFailures = oService.linesWith("Can't connect to session bus!");
        QCOMPARE(lFailures.size(), 5);
        for (const QString& sLine : lFailures) {
            QVERIFY2(sLine.contains(" D: File: cusb Line: "), qPrintable(sLine));
            QVERIFY2(sLine.endsWith(":  Can't connect to session bus! "), qPrintable(sLine));
        }
        const QStringList lLimit = oService.linesWith("Retry limit reached => exit program!");
        QCOMPARE(lLimit.size(), 1);
        QVERIFY(lLimit.first().contains(" W: "));
        QVERIFY(oService.lines().last().contains("Retry limit reached"));
        QCOMPARE(oService.count("DBus connection is OK"), 0);
    }

    void default_signal_action_applies_before_the_connection()
    {
        CServiceProcess oService(g_sNoBus);
        oService.setIni(iniWith("Dbus_Connection_Retry=60000\n"));
        QVERIFY(oService.start());
        QTRY_COMPARE_WITH_TIMEOUT(oService.count("Can't connect to session bus!"), 1, 5000);

        oService.sendSignal(SIGTERM);
        QVERIFY(oService.waitForExit(5000));
        QCOMPARE(oService.exitStatus(), QProcess::CrashExit);
        QCOMPARE(oService.count("Signal"), 0);
    }

    void retries_reach_a_bus_that_comes_late_and_it_ends_when_the_bus_goes()
    {
        // The service is given a socket path that leads to the bus only after its second attempt.
        QTemporaryDir oLinkDir;
        const QString sLink = oLinkDir.filePath("late-bus");
        CServiceProcess oService("unix:path=" + sLink);
        oService.setIni(iniWith("Dbus_Connection_Retry=500\n"));
        auto pBus = std::make_unique<CPrivateBus>();
        QVERIFY(pBus->isRunning());
        const QString sSocket = pBus->address().section("unix:path=", 1).section(',', 0, 0);
        CSignalRecorder oTriggers(pBus->connection("late-client"), "sigTrigger");

        QVERIFY(oService.start());
        QTRY_COMPARE_WITH_TIMEOUT(oService.count("Can't connect to session bus!"), 2, 5000);
        QVERIFY(QFile::link(sSocket, sLink));
        QTRY_COMPARE_WITH_TIMEOUT(oService.count("DBus connection is OK"), 1, 5000);
        QVERIFY(oService.count("Can't connect to session bus!") <= 4);
        // Once its set-up is done: Qt's D-Bus thread, asked for a new signal subscription on a
        // connection that has just closed, waits on a call libdbus never made and fails libdbus's
        // check, which aborts. Only the set-up subscribes.
        QTRY_VERIFY_WITH_TIMEOUT(!oTriggers.signalsFrom("/Signals").isEmpty(), 5000);
        QVERIFY(oService.isRunning());

        pBus.reset();
        // Noticed on the next poll tick, then the orderly end.
        QVERIFY(oService.waitForExit(5000));
        QCOMPARE(oService.exitStatus(), QProcess::NormalExit);
        QCOMPARE(oService.exitCode(), 1);
        const QStringList lLost = oService.linesWith("DBus connection lost => exit program!");
        QCOMPARE(lLost.size(), 1);
        QVERIFY(lLost.first().contains(" C: "));
        QCOMPARE(oService.count("CUsb deconstruktor!"), 1);
    }

    void retries_reach_a_tcp_bus_that_comes_late_and_use_it()
    {
        // The session bus is unreachable on purpose: everything must come over TCP.
        const quint16 uiPort = closedPort();
        CServiceProcess oService(g_sNoBus);
        oService.setIni(iniWith(QString("Use_Session_Bus=0\nDbus_Connection_Retry=500\n"
                                        "TCP_Bus_Address=\"tcp:host=127.0.0.1,port=%1\"\n")
                                    .arg(uiPort)));
        QVERIFY(oService.start());
        QTRY_COMPARE_WITH_TIMEOUT(oService.count("Can't connect to "), 2, 5000);
        const QString sFailure = oService.linesWith("Can't connect to ").first();
        QVERIFY2(
            sFailure.endsWith(QString(":  Can't connect to  \"tcp:host=127.0.0.1,port=%1\" . \"remote\" ").arg(uiPort)),
            qPrintable(sFailure));

        CPrivateBus oBus(true, uiPort);
        QVERIFY(oBus.isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(oService.count("DBus connection is OK"), 1, 5000);
        QVERIFY(oService.count("Can't connect to ") <= 4);

        QDBusConnection oClient = QDBusConnection::connectToBus(oBus.tcpAddress(), "tcp-client");
        QVERIFY(oClient.isConnected());
        CSignalRecorder oTriggers(oClient, "sigTrigger");
        CSignalRecorder oNames(oClient, "sigSendName");
        // The triggers come after the subscriptions are in place.
        QTRY_VERIFY_WITH_TIMEOUT(!oTriggers.signalsFrom("/Signals").isEmpty(), 5000);
        QDBusMessage oQuery = QDBusMessage::createSignal("/Test", "com.Quorvik.Veltrano.Signals", "sigGetName");
        oQuery << 1 << static_cast<int>(oService.pid());
        QVERIFY(oClient.send(oQuery));
        QTRY_COMPARE_WITH_TIMEOUT(oNames.all().size(), 1, 5000);
        const QList<QVariant> lArguments = oNames.all().first().oMessage.arguments();
        QCOMPARE(lArguments.value(0).toInt(), static_cast<int>(oService.pid()));
        QCOMPARE(lArguments.value(1).toByteArray(), QByteArray("USB1"));
        QDBusConnection::disconnectFromBus("tcp-client");
    }

    void handles_signals_without_a_socket_pair_data()
    {
        QTest::addColumn<int>("iSignal");
        QTest::addColumn<QString>("sName");
        QTest::newRow("SIGTERM") << int(SIGTERM) << "SIGTERM";
        QTest::newRow("SIGINT") << int(SIGINT) << "SIGINT";
    }

    void handles_signals_without_a_socket_pair()
    {
        QFETCH(int, iSignal);
        QFETCH(QString, sName);

        CPrivateBus oBus;
        QVERIFY(oBus.isRunning());
        CServiceProcess oService(oBus.address());
        oService.setIni(iniWith(QString()));
        oService.setEnvironment("VELTRANO_SHIM_SOCKETPAIR_FAILS", "1");
        QVERIFY(oService.start());
        QTRY_COMPARE_WITH_TIMEOUT(oService.count("Couldn't create linux signal socketpair"), 1, 5000);

        oService.sendSignal(SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(oService.count("Signal SIGHUP received"), 1, 5000);
        QVERIFY(oService.isRunning());

        oService.sendSignal(iSignal);
        QVERIFY(oService.waitForExit(5000));
        QCOMPARE(oService.exitStatus(), QProcess::NormalExit);
        QCOMPARE(oService.exitCode(), 0);
        QCOMPARE(oService.count("Signal " + sName + " received => exit program"), 1);
        QCOMPARE(oService.count("CUsb deconstruktor!"), 1);
    }
};

QTEST_GUILESS_MAIN(TestE2eConnection)
#include "test_e2e_connection.moc"
