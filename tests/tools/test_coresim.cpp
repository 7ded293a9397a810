// veltrano-core-sim as its users meet it: the real binary with --json on a private bus,
// driven through -c and standard input, called and watched from a second connection.

#include "records/crungeneralnonwm.h"
#include "records/crunusb.h"
#include "tests/tools/mountedstick.h"
#include "tools/common/crungeneralview.h"
#include "tools/common/crunusbview.h"
#include "tools/standin/ccoresimprocess.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/csignalrecorder.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <memory>

const char* const SERVICE = "com.Quorvik.Veltrano";
const char* const RUNTIME = "com.Quorvik.Veltrano.Runtime";
const char* const SIGNALS = "com.Quorvik.Veltrano.Signals";
const int WAIT_MS = 5000;

class CTestCoreSim : public QObject
{
    Q_OBJECT

private slots:
    // A bus of its own for each test, so that no signal of an earlier one comes in late.
    void init()
    {
        m_pBus = std::make_unique<CPrivateBus>();
        QVERIFY(m_pBus->isRunning());
        m_oClient = m_pBus->connection("client");
        m_pRuntimeSignals = std::make_unique<CSignalRecorder>(m_oClient, QString(), RUNTIME);
        m_pSignals = std::make_unique<CSignalRecorder>(m_oClient, QString(), SIGNALS);
    }

    // With --json, every line on standard output is an event.
    void cleanup()
    {
        const QList<QByteArray> lStray = m_pSim ? m_pSim->strayLines() : QList<QByteArray>();
        m_pSim.reset();
        QVERIFY2(lStray.isEmpty(), lStray.value(0).constData());
    }

    // The sim's own unmount request, then the USB service's write of the stick, and two writers
    // of the general record: the shared copies keep both, because each write carries flags only
    // for what its writer set.
    void recordsMergeOnlyFlaggedFields()
    {
        QVERIFY(startSim());
        m_pSim->command("unmount");
        QTRY_COMPARE_WITH_TIMEOUT(m_pRuntimeSignals->count("sigRuntimeUsb"), 1, WAIT_MS);
        QCOMPARE(m_pRuntimeSignals->last("sigRuntimeUsb").arguments(), QVariantList({m_iSimPid}));
        QCOMPARE(m_pRuntimeSignals->last("sigRuntimeUsb").path(), QString("/RuntimeData"));

        CRunUsb oStick;
        oStick.setUsbDeviceState(2);
        oStick.setUsbDeviceNode("/dev/sda");
        oStick.setUsbCapacity(SIXTEEN_GIB);
        QCOMPARE(setUsb(1111, oStick), 1);
        const QJsonObject oWrite = m_pSim->nextEvent("setRuntimeUsb");
        QCOMPARE(oWrite.value("from").toInt(), 1111);
        QCOMPARE(oWrite.value("size").toInt(), oStick.toByteArray().size());
        QCOMPARE(oWrite.value("hex").toString(), QString(oStick.toByteArray().toHex()));
        QCOMPARE(oWrite.value("changed").toArray(), QJsonArray({"UsbDeviceState", "UsbDeviceNode", "UsbCapacity"}));
        QCOMPARE(oWrite.value("record").toObject().value("UsbCapacity").toInteger(), SIXTEEN_GIB);

        const QStringList lsChanged = {"UsbDeviceState", "UsbDeviceNode", "UsbCapacity", "StartUnmountUsbDevice"};
        const QByteArray aShared = call("getRuntimeUsb").arguments().value(0).toByteArray();
        const CRunUsbView oShared(aShared);
        QCOMPARE(oShared.value(CRunUsb::UsbDeviceState).toInt(), 2);
        QCOMPARE(oShared.value(CRunUsb::UsbDeviceNode).toString(), QString("/dev/sda"));
        QCOMPARE(oShared.value(CRunUsb::UsbCapacity).toLongLong(), SIXTEEN_GIB);
        QCOMPARE(oShared.value(CRunUsb::StartUnmountUsbDevice).toBool(), true);
        QCOMPARE(oShared.changedNames(), lsChanged);
        QCOMPARE(m_pSim->nextEvent("getRuntimeUsb").value("hex").toString(), QString(aShared.toHex()));
        const QJsonObject oShow = m_pSim->command("show", "show");
        QCOMPARE(oShow.value("record").toObject().value("StartUnmountUsbDevice").toBool(), true);
        QCOMPARE(oShow.value("changed").toArray(), QJsonArray::fromStringList(lsChanged));

        CRunGeneralNonWM oUsb;
        oUsb.setSwVersion("USB", "1.1 / a");
        CRunGeneralNonWM oDisplay;
        oDisplay.setSwVersion("DISPLAY", "7.0");
        QCOMPARE(call("setRuntimeGeneralNonWM", {42, oUsb.toByteArray()}).arguments(), QVariantList({1}));
        QCOMPARE(call("setRuntimeGeneralNonWM", {43, oDisplay.toByteArray()}).arguments(), QVariantList({1}));
        const QJsonObject oGeneral = m_pSim->nextEvent("setRuntimeGeneralNonWM");
        QCOMPARE(oGeneral.value("from").toInt(), 42);
        QCOMPARE(oGeneral.value("swVersions").toObject(), QJsonObject({{"USB", "1.1 / a"}}));
        QCOMPARE(oGeneral.value("changed").toArray(), QJsonArray({"SwVersions"}));
        QTRY_COMPARE_WITH_TIMEOUT(m_pRuntimeSignals->count("sigRuntimeGeneralNonWM"), 2, WAIT_MS);
        QCOMPARE(m_pRuntimeSignals->last("sigRuntimeGeneralNonWM").arguments(), QVariantList({43}));
        const CRunGeneralView oVersions(call("getRuntimeGeneralNonWM").arguments().value(0).toByteArray());
        QCOMPARE(oVersions.swVersions(), (QMap<QString, QString> {{"USB", "1.1 / a"}, {"DISPLAY", "7.0"}}));
        QVERIFY(!m_pSim->nextEvent("getRuntimeGeneralNonWM").isEmpty());
    }

    void answersFollowTheSettings()
    {
        QVERIFY(startSim({"--reply-code", "2"}));
        QCOMPARE(setUsb(1111, CRunUsb()), 2);
        QCOMPARE(m_pSim->nextEvent("setRuntimeUsb").value("reply").toInt(), 2);
        QCOMPARE(call("setRuntimeGeneralNonWM", {1111, CRunGeneralNonWM().toByteArray()}).arguments(),
                 QVariantList({2}));
        QCOMPARE(m_pSim->command("reply -1000", "settings").value("reply").toInt(), -1000);
        QCOMPARE(setUsb(1111, CRunUsb()), -1000);
        QVERIFY(!m_pSim->command("reply 1", "settings").isEmpty());
        QCOMPARE(setUsb(2222, CRunUsb()), 1);
        // Notices come in order: once this one is in, the count stands.
        QTRY_COMPARE_WITH_TIMEOUT(m_pRuntimeSignals->last("sigRuntimeUsb").arguments(), QVariantList({2222}), WAIT_MS);
        const int iNotices = m_pRuntimeSignals->count("sigRuntimeUsb");

        QCOMPARE(m_pSim->command("delay 400", "settings").value("delay").toInt(), 400);
        const QDeadlineTimer oHeldBack(390, Qt::PreciseTimer);
        QCOMPARE(setUsb(1111, CRunUsb()), 1);
        QVERIFY(oHeldBack.hasExpired());
        QTRY_COMPARE_WITH_TIMEOUT(m_pRuntimeSignals->count("sigRuntimeUsb"), iNotices + 1, WAIT_MS);

        QCOMPARE(m_pSim->command("silent on", "settings").value("silent").toBool(), true);
        QCOMPARE(call("setRuntimeUsb", {1111, CRunUsb().toByteArray()}, 500).errorName(),
                 QString("org.freedesktop.DBus.Error.NoReply"));
        const QJsonObject oWrite = m_pSim->events("setRuntimeUsb").last();
        QVERIFY(oWrite.value("reply").isNull());
        QCOMPARE(oWrite.value("answered").toBool(true), false);
        QVERIFY(!m_pSim->command("silent off", "settings").isEmpty());
        QCOMPARE(setUsb(1111, CRunUsb()), 1);
    }

    // Commands come from -c, run once the name is taken, and from stdin; none runs after quit. A
    // process that has joined beats from "/", one that waits from "/Signals"; only the latter is
    // asked to join, and only with --welcome.
    void broadcastsAndWelcomesWaitingProcesses()
    {
        const auto beat = [this](const QString& sPath, int iPid) {
            return m_oClient.send(QDBusMessage::createSignal(sPath, SIGNALS, "sigTrigger") << iPid);
        };
        QVERIFY(startSim({"-c", "start 1234"}));
        QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigProcessStart"), 1, WAIT_MS);
        QCOMPARE(m_pSignals->last("sigProcessStart").arguments(), QVariantList({m_iSimPid, 1234}));
        QCOMPARE(m_pSignals->last("sigProcessStart").path(), QString("/Signals"));
        const QJsonObject oEvent = m_pSim->nextEvent("signal");
        QCOMPARE(oEvent.value("name").toString(), QString("sigProcessStart"));
        QCOMPARE(oEvent.value("args").toArray(), QJsonArray({m_iSimPid, 1234}));

        QVERIFY(beat("/Signals", 555));
        // A call after the beat returns once the simulator has handled it; whatever it sent for the
        // beat reaches us before the signal of a command given after that.
        QVERIFY(!call("getRuntimeUsb").arguments().isEmpty());
        m_pSim->command("getname 99");
        m_pSim->command("ready");
        QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigSystemReady"), 1, WAIT_MS);
        QCOMPARE(m_pSignals->last("sigGetName").arguments(), QVariantList({m_iSimPid, 99}));
        QCOMPARE(m_pSignals->last("sigSystemReady").arguments(), QVariantList({m_iSimPid}));
        QCOMPARE(m_pSignals->count("sigProcessStart"), 1);
        m_pSim.reset();

        QVERIFY(startSim({"--welcome"}));
        QVERIFY(beat("/", 666) && beat("/Signals", 777));
        QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigProcessStart"), 2, WAIT_MS);
        QCOMPARE(m_pSignals->last("sigProcessStart").arguments(), QVariantList({m_iSimPid, 777}));
        QCOMPARE(m_pSim->nextEvent("signal").value("args").toArray(), QJsonArray({m_iSimPid, 777}));
        m_pSim.reset();

        // Signals sent just before the end still reach the bus; nothing runs after quit.
        QVERIFY(startSim({"-c", "start 5", "-c", "quit", "-c", "start 6"}));
        QCOMPARE(m_pSim->waitForExitCode(WAIT_MS), 0);
        QCOMPARE(m_pSim->nextEvent("exit").value("reason").toString(), QString("quit"));
        QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigProcessStart"), 3, WAIT_MS);
        QCOMPARE(m_pSim->events("signal").size(), 1);
    }

    // Bad commands and members it does not model are refused and change nothing; neither a second
    // sim nor one without a bus gets started. The end of standard input is no reason to stop: a sim
    // started in the background has none.
    void refusesWhatItCannotDoAndEndsOnSigterm()
    {
        QVERIFY(startSim({"-c", "frobnicate"}));
        QVERIFY(m_pSim->nextEvent("error").value("text").toString().contains("frobnicate"));
        for (const char* pBad : {"start abc", "getname", "delay -5", "silent maybe", "reply 1 2", "ready now"}) {
            QVERIFY2(!m_pSim->command(pBad, "error").isEmpty(), pBad);
        }
        const QStringList lsMembers = {"getRuntimeDriver", "getSetupChangeLog", "getLogbookNextSubTypeRowID"};
        const QList<QDBusMessage> lReplies = {
            call(lsMembers[0]),
            call(lsMembers[1], {qulonglong(7)}, WAIT_MS, "com.Quorvik.Veltrano.Setup", "/SetupData"),
            call(lsMembers[2], {QByteArray("f")}, WAIT_MS, "com.Quorvik.Veltrano.Logbook", "/Logbook")};
        for (int i = 0; i < lsMembers.size(); ++i) {
            QCOMPARE(lReplies[i].errorName(), QString("org.freedesktop.DBus.Error.NotSupported"));
            QCOMPARE(lReplies[i].errorMessage(), "veltrano-core-sim does not model " + lsMembers[i]);
            QCOMPARE(m_pSim->nextEvent("refused").value("member").toString(), lsMembers[i]);
        }
        QCOMPARE(m_pSim->events("refused").first().value("interface").toString(), QString(RUNTIME));
        QVERIFY(m_pSim->events("settings").isEmpty() && m_pSim->events("signal").isEmpty());

        const QList<std::pair<QString, QByteArray>> lCases = {{m_pBus->address(), "already taken"},
                                                              {"unix:path=/nonexistent/bus", "cannot connect"}};
        for (const auto& [sAddress, aReason] : lCases) {
            CCoreSimProcess oOther(sAddress);
            QVERIFY(!oOther.start());
            QCOMPARE(oOther.waitForExitCode(WAIT_MS), 1);
            QVERIFY2(oOther.errorOutput().contains(aReason), oOther.errorOutput().constData());
        }

        m_pSim->endInput("ready");
        QCOMPARE(m_pSim->nextEvent("signal").value("name").toString(), QString("sigSystemReady"));
        QCOMPARE(setUsb(1111, CRunUsb()), 1);
        m_pSim->terminate();
        QCOMPARE(m_pSim->waitForExitCode(WAIT_MS), 0);
        QCOMPARE(m_pSim->nextEvent("exit").value("reason").toString(), QString("SIGTERM"));
    }

private:
    bool startSim(const QStringList& lsArguments = {})
    {
        m_pSim = std::make_unique<CCoreSimProcess>(m_pBus->address(), lsArguments);
        const QJsonObject oReady = m_pSim->start() ? m_pSim->events("ready").first() : QJsonObject();
        m_iSimPid = oReady.value("pid").toInt();
        return oReady.value("service").toString() == SERVICE && m_iSimPid == m_pSim->pid();
    }
    QDBusMessage call(const QString& sMember, const QVariantList& lArguments = {}, int iTimeoutMs = WAIT_MS,
                      const QString& sInterface = RUNTIME, const QString& sPath = "/RuntimeData")
    {
        QDBusMessage oCall = QDBusMessage::createMethodCall(SERVICE, sPath, sInterface, sMember);
        oCall.setArguments(lArguments);
        return m_oClient.call(oCall, QDBus::Block, iTimeoutMs);
    }
    // The reply code, or -1 for no answer.
    int setUsb(int iWriter, CRunUsb oRecord)
    {
        const QDBusMessage oReply = call("setRuntimeUsb", {iWriter, oRecord.toByteArray()});
        return oReply.type() == QDBusMessage::ReplyMessage ? oReply.arguments().value(0).toInt() : -1;
    }

    std::unique_ptr<CPrivateBus> m_pBus;
    QDBusConnection m_oClient = QDBusConnection(QString());
    std::unique_ptr<CCoreSimProcess> m_pSim;
    // Like the USB service's subscriptions, these hear any sender.
    std::unique_ptr<CSignalRecorder> m_pRuntimeSignals;
    std::unique_ptr<CSignalRecorder> m_pSignals;
    int m_iSimPid = 0;
};

QTEST_GUILESS_MAIN(CTestCoreSim)
#include "test_coresim.moc"
