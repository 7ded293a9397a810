// The real service among its peers on a private bus: name queries, heartbeats, joining the
// system through the core simulator, faults of the core, unmount notices, POSIX signals.

#include "ce2efixture.h"

#include "service/version.h"

#include <QDBusMessage>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

class TestE2ePeers : public CE2eFixture
{
    Q_OBJECT

private slots:
    void before_joining_answers_its_name_triggers_and_ends_at_once()
    {
        CSignalRecorder oNames(m_oClient, "sigSendName");
        startService();
        const int iPid = servicePid();

        sendSignal("sigGetName", {iPid, iPid});
        sendSignal("sigGetName", {s_iPeerPid, iPid + 1});
        sendSignal("sigSystemReady", {iPid});
        sendSignal("sigSystemReady", {s_iPeerPid});
        sendSignal("sigGetName", {s_iPeerPid, iPid});

        QTRY_COMPARE_WITH_TIMEOUT(oNames.all().size(), 1, 5000);
        const QDBusMessage oAnswer = oNames.all().first().oMessage;
        QCOMPARE(oAnswer.path(), QString("/Signals"));
        QCOMPARE(oAnswer.interface(), QString("com.Quorvik.Veltrano.Signals"));
        QCOMPARE(oAnswer.signature(), QString("iay"));
        QCOMPARE(oAnswer.arguments().value(0).toInt(), iPid);
        QCOMPARE(oAnswer.arguments().value(1).toByteArray(), QByteArray("USB1"));
        // Signals are handled in order, so by now every earlier one has been seen.
        QCOMPARE(m_pService->count("D: onsigGetName() "), 3);
        QCOMPARE(m_pService->count("D: SetGetName(...,'USB1''); "), 1);
        const QStringList lReady = m_pService->linesWith("sigSystemReady ignored");
        QCOMPARE(lReady.size(), 1);
        QVERIFY(lReady.first().endsWith(":  sigSystemReady ignored "));

        // A hang-up is logged, and the service goes on answering.
        m_pService->sendSignal(SIGHUP);
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("Signal SIGHUP received"), 1, 5000);
        QCOMPARE(m_pService->count(":  Signal %d received 1 "), 1);
        sendSignal("sigGetName", {s_iPeerPid, iPid});
        QTRY_COMPARE_WITH_TIMEOUT(oNames.all().size(), 2, 5000);

        QTRY_VERIFY_WITH_TIMEOUT(m_pTriggers->signalsFrom("/Signals").size() >= 4, 6000);
        const QList<CSignalRecorder::SSignal> lTriggers = m_pTriggers->signalsFrom("/Signals");
        // The period as the bus delivers it: the mean within 10 %, no single gap far off.
        const double dMean = double(lTriggers.last().llMs - lTriggers.first().llMs) / (lTriggers.size() - 1);
        QVERIFY2(dMean > 900 && dMean < 1100, qPrintable(QString("mean period %1 ms").arg(dMean)));
        for (int i = 1; i < lTriggers.size(); ++i) {
            const qint64 llGap = lTriggers[i].llMs - lTriggers[i - 1].llMs;
            QVERIFY2(llGap > 700 && llGap < 1300, qPrintable(QString("gap %1 ms").arg(llGap)));
            QCOMPARE(lTriggers[i].oMessage.arguments().value(0).toInt(), iPid);
        }
        QVERIFY(m_pTriggers->signalsFrom("/").isEmpty());

        // Another program's view of the object: the whole broadcast interface, signals only.
        QProcess oBusctl;
        oBusctl.start("busctl", {"--address=" + m_pBus->address(), "introspect", "--no-pager",
                                 lTriggers.first().oMessage.service(), "/Signals", "com.Quorvik.Veltrano.Signals"});
        QVERIFY(oBusctl.waitForFinished(10000));
        QStringList lSignals;
        for (const QString& sRow : QString::fromUtf8(oBusctl.readAllStandardOutput()).split('\n')) {
            const QStringList lColumns = sRow.simplified().split(' ');
            if (lColumns.size() > 1 && lColumns.at(1) == "signal") {
                lSignals << lColumns.at(0);
            }
            QVERIFY2(lColumns.size() < 2 || lColumns.at(1) != "method", qPrintable(sRow));
        }
        QCOMPARE(lSignals.size(), 118);
        QVERIFY(lSignals.contains(".sigTrigger"));
        QVERIFY(lSignals.contains(".sigSendName"));

        // With no heartbeat thread to wait for, the end comes at once.
        QElapsedTimer oTimer;
        oTimer.start();
        m_pService->sendSignal(SIGINT);
        QVERIFY(m_pService->waitForExit(5000));
        QVERIFY2(oTimer.elapsed() < 900, qPrintable(QString("took %1 ms").arg(oTimer.elapsed())));
        QCOMPARE(m_pService->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_pService->exitCode(), 0);
        QCOMPARE(m_pService->count(":  Signal %d received 2 "), 1);
        QCOMPARE(m_pService->count("Signal SIGINT received => exit program"), 1);
        QCOMPARE(m_pService->count("CUsb deconstruktor!"), 1);
    }

    void joins_announcing_its_version_then_beats_from_its_thread()
    {
        startSimulator();
        // A peer's unmount request waiting in the shared copy before the service joins.
        m_pSim->command("unmount");
        QTRY_COMPARE_WITH_TIMEOUT(m_pSim->events("signal").size(), 1, 5000);
        startService();
        const int iPid = servicePid();

        // Not addressed to it, or sent by itself: nothing happens.
        sendSignal("sigProcessStart", {s_iPeerPid, iPid + 1});
        sendSignal("sigProcessStart", {iPid, iPid});
        join();
        const qsizetype iFromSignalsAtJoin = m_pTriggers->signalsFrom("/Signals").size();

        QStringList lCalls;
        for (const QJsonObject& oEvent : m_pSim->events()) {
            if (oEvent.value("event").toString().contains("Runtime")) {
                lCalls << oEvent.value("event").toString();
            }
        }
        QCOMPARE(lCalls, QStringList({"setRuntimeGeneralNonWM", "getRuntimeUsb", "setRuntimeUsb"}));

        const QJsonObject oGeneral = m_pSim->events("setRuntimeGeneralNonWM").first();
        QCOMPARE(oGeneral.value("from").toInt(), iPid);
        QCOMPARE(oGeneral.value("size").toInt(), 309);
        QCOMPARE(oGeneral.value("swVersions").toObject(), QJsonObject({{"USB", g_sSwVersion}}));
        QCOMPARE(oGeneral.value("changed").toArray(), QJsonArray({"SwVersions"}));

        // Every field but the info text differs from the core's empty copy.
        const QJsonObject oPublication = m_pSim->events("setRuntimeUsb").first();
        QCOMPARE(oPublication.value("from").toInt(), iPid);
        QCOMPARE(oPublication.value("size").toInt(), 100);
        const QJsonArray aChanged = oPublication.value("changed").toArray();
        QCOMPARE(aChanged.size(), 15);
        QVERIFY(!aChanged.contains("UsbInfoText"));
        const QJsonObject oRecord = oPublication.value("record").toObject();
        QCOMPARE(oRecord.value("StartUnmountUsbDevice").toBool(), true);
        QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 0);
        QCOMPARE(oRecord.value("UsbMountPath").toString(), QString(""));

        const QStringList lAnnounced = m_pService->linesWith("signal 'onsigProcessStart' received");
        QCOMPARE(lAnnounced.size(), 1);
        QVERIFY(lAnnounced.first().contains(" W: "));
        QVERIFY(lAnnounced.first().endsWith("Set SW-Version to  \"" + g_sSwVersion + "\" "));

        // A second start only repeats the announcement.
        sendSignal("sigProcessStart", {s_iPeerPid, iPid});
        QTRY_COMPARE_WITH_TIMEOUT(m_pSim->events("setRuntimeGeneralNonWM").size(), 2, 5000);
        sendSignal("sigGetName", {s_iPeerPid, iPid});
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("SetGetName"), 1, 5000);
        QCOMPARE(m_pSim->events("getRuntimeUsb").size(), 1);
        QCOMPARE(m_pSim->events("setRuntimeUsb").size(), 1);
        QCOMPARE(m_pService->count("set default values for getRuntimeUsb"), 1);
        QCOMPARE(m_pService->count("Thread connected to session bus!"), 1);

        // The heartbeat now comes from the thread's object; its period the heartbeat's own test
        // measures. The trigger timer stopped when the thread took over; one may have been on its way.
        QTRY_VERIFY_WITH_TIMEOUT(m_pTriggers->signalsFrom("/").size() >= 3, 10000);
        for (const CSignalRecorder::SSignal& oBeat : m_pTriggers->signalsFrom("/")) {
            QCOMPARE(oBeat.oMessage.interface(), QString("com.Quorvik.Veltrano.Signals"));
            QCOMPARE(oBeat.oMessage.arguments().value(0).toInt(), iPid);
        }
        QVERIFY(m_pTriggers->signalsFrom("/Signals").size() <= iFromSignalsAtJoin + 1);
    }

    void logs_a_core_that_is_missing_or_refuses()
    {
        // Nobody serves the core's name: the bus answers at once with an error.
        startService();
        QElapsedTimer oTimer;
        oTimer.start();
        sendSignal("sigProcessStart", {s_iPeerPid, servicePid()});
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("Dbus-Error: "), 1, 5000);
        QVERIFY2(oTimer.elapsed() < 2000, qPrintable(QString("took %1 ms").arg(oTimer.elapsed())));
        // Warnings, in this order: no shared copy, the failure as the peers have always named it, and
        // what that name cannot tell: why.
        QStringList lWarned;
        for (const QString& sLine : m_pService->lines().filter(
                 QRegularExpression(" W: .*(getRuntimeUsb returns|Dbus-Error|'setRuntimeUsb' failed)"))) {
            lWarned << CServiceProcess::messageOf(sLine);
        }
        QCOMPARE(lWarned, QStringList({"getRuntimeUsb returns NULL ", "Dbus-Error:  \"REPLY_NO_SUCCESS\" ",
                                       "'setRuntimeUsb' failed:  org.freedesktop.DBus.Error.ServiceUnknown "}));

        // A core that answers with another code is named the same way: its arrival is answered
        // with a publication, its unmount request with three.
        startSimulator({"--reply-code", "2"});
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("Dbus-Error: "), 2, 5000);
        m_pSim->command("unmount");
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("Dbus-Error: "), 5, 10000);
        m_pSim->command("reply -1000");
        m_pSim->command("unmount");
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("Dbus-Error: "), 8, 10000);
        for (const QString& sLine : m_pService->linesWith("Dbus-Error: ")) {
            QVERIFY2(sLine.contains("Dbus-Error:  \"REPLY_NO_SUCCESS\" "), qPrintable(sLine));
        }
        QCOMPARE(m_pService->count("'setRuntimeUsb' answered  REPLY_FALSE "), 4);
        QCOMPARE(m_pService->count("'setRuntimeUsb' answered  VALIDATION_ERROR "), 3);
        QCOMPARE(m_pService->count("'setRuntimeUsb' successfull"), 0);

        sendSignal("sigGetName", {s_iPeerPid, servicePid()});
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("SetGetName"), 1, 5000);
    }

    void checks_unmounts_after_notices_and_takes_signals_after_joining()
    {
        startAndJoin();

        // The service's own publications raise sigRuntimeUsb with its own pid: ignored.
        QTRY_VERIFY_WITH_TIMEOUT(!m_pSim->events("signal").isEmpty(), 5000);
        QCOMPARE(m_pService->count("'Signal_sigRuntimeUsb' received"), 0);

        // Two notices half a second apart: one check, a second after the last.
        m_pSim->command("unmount");
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("'Signal_sigRuntimeUsb' received"), 1, 5000);
        QTest::qWait(500); // the second notice must fall inside the first one's second
        m_pSim->command("unmount");
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("'Signal_sigRuntimeUsb' received"), 2, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count(":  UnmountUsbDevice "), 1, 5000);
        QTest::qWait(1500); // long enough for a wrongly kept first timer to fire again
        QCOMPARE(m_pService->count(":  UnmountUsbDevice "), 1);
        const qint64 llNotice =
            CServiceProcess::timeOf(m_pService->linesWith("'Signal_sigRuntimeUsb' received").last());
        const qint64 llCheck = CServiceProcess::timeOf(m_pService->linesWith(":  UnmountUsbDevice ").first());
        QVERIFY2(llCheck - llNotice >= 990 && llCheck - llNotice < 1500,
                 qPrintable(QString("check %1 ms after the notice").arg(llCheck - llNotice)));

        // With three threads the kernel may pick for a handler: a storm of hang-ups is survived,
        // the service still answers and beats, and the destructor gives the heartbeat thread one to
        // two seconds.
        QTRY_VERIFY_WITH_TIMEOUT(!m_pTriggers->signalsFrom("/").isEmpty(), 5000);
        for (int i = 0; i < 20000; ++i) {
            m_pService->sendSignal(SIGHUP);
        }
        sendSignal("sigGetName", {s_iPeerPid, servicePid()});
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("SetGetName"), 1, 15000);
        const qsizetype iBeats = m_pTriggers->signalsFrom("/").size();
        QTRY_VERIFY_WITH_TIMEOUT(m_pTriggers->signalsFrom("/").size() > iBeats, 5000);
        const int iHangUps = m_pService->count("Signal SIGHUP received");
        QVERIFY2(iHangUps >= 1 && iHangUps <= 20000, qPrintable(QString::number(iHangUps)));

        QElapsedTimer oTimer;
        oTimer.start();
        m_pService->sendSignal(SIGTERM);
        QVERIFY(m_pService->waitForExit(5000));
        const qint64 llElapsed = oTimer.elapsed();
        QVERIFY2(llElapsed >= 900 && llElapsed < 3000, qPrintable(QString("took %1 ms").arg(llElapsed)));
        QCOMPARE(m_pService->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_pService->exitCode(), 0);
        QCOMPARE(m_pService->count(":  Signal %d received 15 "), 1);
        QCOMPARE(m_pService->count("Signal SIGTERM received => exit program"), 1);
        QCOMPARE(m_pService->count("CUsb deconstruktor!"), 1);
    }
};

QTEST_GUILESS_MAIN(TestE2ePeers)
#include "test_e2e_peers.moc"
