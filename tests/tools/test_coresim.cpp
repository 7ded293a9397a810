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
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <memory>
#include <utility>

namespace {
const char* const SERVICE = "com.Quorvik.Veltrano";
const char* const RUNTIME = "com.Quorvik.Veltrano.Runtime";
const char* const SIGNALS = "com.Quorvik.Veltrano.Signals";
const int WAIT_MS = 5000;
} // namespace

class CTestCoreSim : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void writesMergeOnlyFlaggedFields();
    void generalRecordMergesVersionTables();
    void replyCodeFollowsOptionAndCommand();
    void unmountRequestsWithSimPid();
    void broadcastsAddressedSignals();
    void welcomesOnlyProcessesThatHaveNotJoined();
    void unmodelledMembersAnswerAnError();
    void delayHoldsTheAnswerBack();
    void silentLeavesCallsUnanswered();
    void badCommandsAreReportedAndIgnored();
    void quitAndSigtermEndWithStatusZero();
    void refusesToStartWithoutBusOrName();

private:
    bool startSim(const QStringList& lsArguments = {});
    QDBusMessage call(const QString& sPath, const QString& sInterface, const QString& sMember,
                      const QVariantList& lArguments = {}, int iTimeoutMs = WAIT_MS);
    int setUsb(int iWriter, CRunUsb oRecord);

    std::unique_ptr<CPrivateBus> m_pBus;
    QDBusConnection m_oClient = QDBusConnection(QString());
    std::unique_ptr<CCoreSimProcess> m_pSim;
    // Like the USB service's subscriptions, these hear any sender.
    std::unique_ptr<CSignalRecorder> m_pRuntimeSignals;
    std::unique_ptr<CSignalRecorder> m_pSignals;
    int m_iSimPid = 0;
};

void CTestCoreSim::init()
{
    m_pBus = std::make_unique<CPrivateBus>();
    QVERIFY(m_pBus->isRunning());
    m_oClient = m_pBus->connection("client");
    m_pRuntimeSignals = std::make_unique<CSignalRecorder>(m_oClient, QString(), RUNTIME);
    m_pSignals = std::make_unique<CSignalRecorder>(m_oClient, QString(), SIGNALS);
}

void CTestCoreSim::cleanup()
{
    const QList<QByteArray> lStray = m_pSim ? m_pSim->strayLines() : QList<QByteArray>();
    m_pSim.reset();
    m_pRuntimeSignals.reset();
    m_pSignals.reset();
    m_oClient = QDBusConnection(QString());
    m_pBus.reset();
    // With --json, every line on standard output is an event.
    QVERIFY2(lStray.isEmpty(), lStray.value(0).constData());
}

bool CTestCoreSim::startSim(const QStringList& lsArguments)
{
    m_pSim = std::make_unique<CCoreSimProcess>(m_pBus->address(), lsArguments);
    if (!m_pSim->start()) {
        return false;
    }
    const QJsonObject oReady = m_pSim->events("ready").first();
    m_iSimPid = oReady.value("pid").toInt();
    return oReady.value("service").toString() == SERVICE && m_iSimPid == m_pSim->pid();
}

QDBusMessage CTestCoreSim::call(const QString& sPath, const QString& sInterface, const QString& sMember,
                                const QVariantList& lArguments, int iTimeoutMs)
{
    QDBusMessage oCall = QDBusMessage::createMethodCall(SERVICE, sPath, sInterface, sMember);
    oCall.setArguments(lArguments);
    return m_oClient.call(oCall, QDBus::Block, iTimeoutMs);
}

int CTestCoreSim::setUsb(int iWriter, CRunUsb oRecord)
{
    const QDBusMessage oReply = call("/RuntimeData", RUNTIME, "setRuntimeUsb", {iWriter, oRecord.toByteArray()});
    return oReply.type() == QDBusMessage::ReplyMessage ? oReply.arguments().value(0).toInt() : -1;
}

// The USB service writes the stick's state, a peer the unmount request; the shared copy keeps
// both, because each write carries flags only for what its writer set.
void CTestCoreSim::writesMergeOnlyFlaggedFields()
{
    QVERIFY(startSim());
    CRunUsb oStick;
    oStick.setUsbDeviceState(2);
    oStick.setUsbDeviceNode("/dev/sda");
    oStick.setUsbVendor("Acme");
    oStick.setUsbCapacity(SIXTEEN_GIB);
    QCOMPARE(setUsb(1111, oStick), 1);

    const QJsonObject oWrite = m_pSim->nextEvent("setRuntimeUsb");
    QCOMPARE(oWrite.value("from").toInt(), 1111);
    QCOMPARE(oWrite.value("reply").toInt(), 1);
    QCOMPARE(oWrite.value("size").toInt(), oStick.toByteArray().size());
    QCOMPARE(oWrite.value("hex").toString(), QString(oStick.toByteArray().toHex()));
    QCOMPARE(oWrite.value("changed").toArray(),
             QJsonArray({"UsbDeviceState", "UsbDeviceNode", "UsbVendor", "UsbCapacity"}));
    QCOMPARE(oWrite.value("record").toObject().value("UsbCapacity").toInteger(), SIXTEEN_GIB);
    QTRY_COMPARE_WITH_TIMEOUT(m_pRuntimeSignals->count("sigRuntimeUsb"), 1, WAIT_MS);
    QCOMPARE(m_pRuntimeSignals->last("sigRuntimeUsb").arguments(), QVariantList({1111}));

    CRunUsb oRequest;
    oRequest.setStartUnmountUsbDevice(true);
    QCOMPARE(setUsb(2222, oRequest), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_pRuntimeSignals->count("sigRuntimeUsb"), 2, WAIT_MS);
    QCOMPARE(m_pRuntimeSignals->last("sigRuntimeUsb").arguments(), QVariantList({2222}));

    const QByteArray aShared = call("/RuntimeData", RUNTIME, "getRuntimeUsb").arguments().value(0).toByteArray();
    const CRunUsbView oShared(aShared);
    QVERIFY(oShared.isValid());
    QCOMPARE(oShared.value(CRunUsb::UsbDeviceState).toInt(), 2);
    QCOMPARE(oShared.value(CRunUsb::UsbDeviceNode).toString(), QString("/dev/sda"));
    QCOMPARE(oShared.value(CRunUsb::UsbCapacity).toLongLong(), SIXTEEN_GIB);
    QCOMPARE(oShared.value(CRunUsb::StartUnmountUsbDevice).toBool(), true);
    QCOMPARE(oShared.changedNames(),
             QStringList({"UsbDeviceState", "UsbDeviceNode", "UsbVendor", "UsbCapacity", "StartUnmountUsbDevice"}));
    QCOMPARE(m_pSim->nextEvent("getRuntimeUsb").value("hex").toString(), QString(aShared.toHex()));
}

void CTestCoreSim::generalRecordMergesVersionTables()
{
    QVERIFY(startSim());
    CRunGeneralNonWM oUsb;
    oUsb.setSwVersion("USB", "1.1.1 / a");
    CRunGeneralNonWM oDisplay;
    oDisplay.setSwVersion("DISPLAY", "7.0");
    QCOMPARE(call("/RuntimeData", RUNTIME, "setRuntimeGeneralNonWM", {42, oUsb.toByteArray()}).arguments(),
             QVariantList({1}));
    QCOMPARE(call("/RuntimeData", RUNTIME, "setRuntimeGeneralNonWM", {43, oDisplay.toByteArray()}).arguments(),
             QVariantList({1}));

    const QJsonObject oWrite = m_pSim->nextEvent("setRuntimeGeneralNonWM");
    QCOMPARE(oWrite.value("from").toInt(), 42);
    QCOMPARE(oWrite.value("swVersions").toObject(), QJsonObject({{"USB", "1.1.1 / a"}}));
    QCOMPARE(oWrite.value("changed").toArray(), QJsonArray({"SwVersions"}));
    QTRY_COMPARE_WITH_TIMEOUT(m_pRuntimeSignals->count("sigRuntimeGeneralNonWM"), 2, WAIT_MS);
    QCOMPARE(m_pRuntimeSignals->last("sigRuntimeGeneralNonWM").arguments(), QVariantList({43}));

    const QDBusMessage oReply = call("/RuntimeData", RUNTIME, "getRuntimeGeneralNonWM");
    const CRunGeneralView oShared(oReply.arguments().value(0).toByteArray());
    QCOMPARE(oShared.swVersions().size(), 2);
    QCOMPARE(oShared.swVersions().value("USB"), QString("1.1.1 / a"));
    QCOMPARE(oShared.swVersions().value("DISPLAY"), QString("7.0"));
    QVERIFY(!m_pSim->nextEvent("getRuntimeGeneralNonWM").isEmpty());
}

void CTestCoreSim::replyCodeFollowsOptionAndCommand()
{
    QVERIFY(startSim({"--reply-code", "2"}));
    QCOMPARE(setUsb(1111, CRunUsb()), 2);
    QCOMPARE(m_pSim->nextEvent("setRuntimeUsb").value("reply").toInt(), 2);
    CRunGeneralNonWM oGeneral;
    QCOMPARE(call("/RuntimeData", RUNTIME, "setRuntimeGeneralNonWM", {1111, oGeneral.toByteArray()}).arguments(),
             QVariantList({2}));

    m_pSim->command("reply -1000");
    QCOMPARE(m_pSim->nextEvent("settings").value("reply").toInt(), -1000);
    QCOMPARE(setUsb(1111, CRunUsb()), -1000);
    m_pSim->command("reply 1");
    QVERIFY(!m_pSim->nextEvent("settings").isEmpty());
    QCOMPARE(setUsb(1111, CRunUsb()), 1);
}

void CTestCoreSim::unmountRequestsWithSimPid()
{
    QVERIFY(startSim());
    m_pSim->command("unmount");
    QTRY_COMPARE_WITH_TIMEOUT(m_pRuntimeSignals->count("sigRuntimeUsb"), 1, WAIT_MS);
    QCOMPARE(m_pRuntimeSignals->last("sigRuntimeUsb").arguments(), QVariantList({m_iSimPid}));
    QCOMPARE(m_pRuntimeSignals->last("sigRuntimeUsb").path(), QString("/RuntimeData"));

    const CRunUsbView oShared(call("/RuntimeData", RUNTIME, "getRuntimeUsb").arguments().value(0).toByteArray());
    QCOMPARE(oShared.value(CRunUsb::StartUnmountUsbDevice).toBool(), true);
    QCOMPARE(oShared.changedNames(), QStringList({"StartUnmountUsbDevice"}));

    m_pSim->command("show");
    const QJsonObject oShow = m_pSim->nextEvent("show");
    QCOMPARE(oShow.value("record").toObject().value("StartUnmountUsbDevice").toBool(), true);
    QCOMPARE(oShow.value("changed").toArray(), QJsonArray({"StartUnmountUsbDevice"}));
}

// The first one comes from -c, which runs once the name is taken; the rest from stdin.
void CTestCoreSim::broadcastsAddressedSignals()
{
    QVERIFY(startSim({"-c", "start 1234"}));
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigProcessStart"), 1, WAIT_MS);
    const QDBusMessage oStart = m_pSignals->last("sigProcessStart");
    QCOMPARE(oStart.arguments(), QVariantList({m_iSimPid, 1234}));
    QCOMPARE(oStart.path(), QString("/Signals"));

    m_pSim->command("getname 99");
    m_pSim->command("ready");
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigSystemReady"), 1, WAIT_MS);
    QCOMPARE(m_pSignals->last("sigGetName").arguments(), QVariantList({m_iSimPid, 99}));
    QCOMPARE(m_pSignals->last("sigSystemReady").arguments(), QVariantList({m_iSimPid}));

    const QJsonObject oEvent = m_pSim->nextEvent("signal");
    QCOMPARE(oEvent.value("name").toString(), QString("sigProcessStart"));
    QCOMPARE(oEvent.value("args").toArray(), QJsonArray({m_iSimPid, 1234}));
}

// A process that has joined beats from "/", one that waits from "/Signals"; only the latter is
// asked to join, and only with --welcome.
void CTestCoreSim::welcomesOnlyProcessesThatHaveNotJoined()
{
    const auto beat = [this](const QString& sPath, int iPid) {
        QDBusMessage oBeat = QDBusMessage::createSignal(sPath, SIGNALS, "sigTrigger");
        oBeat.setArguments({iPid});
        QVERIFY(m_oClient.send(oBeat));
    };
    QVERIFY(startSim());
    beat("/Signals", 555);
    // A call after the beat returns once the simulator has handled it; whatever it sent for the
    // beat reaches us before the signal of a command given after that.
    QVERIFY(!call("/RuntimeData", RUNTIME, "getRuntimeUsb").arguments().isEmpty());
    m_pSim->command("ready");
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigSystemReady"), 1, WAIT_MS);
    QCOMPARE(m_pSignals->count("sigProcessStart"), 0);
    m_pSim.reset();

    QVERIFY(startSim({"--welcome"}));
    beat("/", 666);
    beat("/Signals", 777);
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigProcessStart"), 1, WAIT_MS);
    QCOMPARE(m_pSignals->last("sigProcessStart").arguments(), QVariantList({m_iSimPid, 777}));
    QCOMPARE(m_pSim->nextEvent("signal").value("args").toArray(), QJsonArray({m_iSimPid, 777}));
}

void CTestCoreSim::unmodelledMembersAnswerAnError()
{
    QVERIFY(startSim());
    const QDBusMessage oRuntime = call("/RuntimeData", RUNTIME, "getRuntimeDriver");
    QCOMPARE(oRuntime.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(oRuntime.errorName(), QString("org.freedesktop.DBus.Error.NotSupported"));
    QCOMPARE(oRuntime.errorMessage(), QString("veltrano-core-sim does not model getRuntimeDriver"));

    const QDBusMessage oSetup =
        call("/SetupData", "com.Quorvik.Veltrano.Setup", "getSetupChangeLog", {QVariant::fromValue(qulonglong(7))});
    QCOMPARE(oSetup.errorName(), QString("org.freedesktop.DBus.Error.NotSupported"));
    const QDBusMessage oLogbook =
        call("/Logbook", "com.Quorvik.Veltrano.Logbook", "getLogbookNextSubTypeRowID", {QByteArray("f")});
    QCOMPARE(oLogbook.errorName(), QString("org.freedesktop.DBus.Error.NotSupported"));

    const QJsonObject oRefused = m_pSim->nextEvent("refused");
    QCOMPARE(oRefused.value("interface").toString(), QString(RUNTIME));
    QCOMPARE(oRefused.value("member").toString(), QString("getRuntimeDriver"));
    QCOMPARE(m_pSim->nextEvent("refused").value("member").toString(), QString("getSetupChangeLog"));
    QCOMPARE(m_pSim->nextEvent("refused").value("member").toString(), QString("getLogbookNextSubTypeRowID"));
}

void CTestCoreSim::delayHoldsTheAnswerBack()
{
    QVERIFY(startSim());
    m_pSim->command("delay 400");
    QCOMPARE(m_pSim->nextEvent("settings").value("delay").toInt(), 400);
    QElapsedTimer oTimer;
    oTimer.start();
    QCOMPARE(setUsb(1111, CRunUsb()), 1);
    QVERIFY2(oTimer.elapsed() >= 390, qPrintable(QString::number(oTimer.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(m_pRuntimeSignals->count("sigRuntimeUsb"), 1, WAIT_MS);
}

void CTestCoreSim::silentLeavesCallsUnanswered()
{
    QVERIFY(startSim());
    m_pSim->command("silent on");
    QCOMPARE(m_pSim->nextEvent("settings").value("silent").toBool(), true);
    const QDBusMessage oReply = call("/RuntimeData", RUNTIME, "setRuntimeUsb", {1111, CRunUsb().toByteArray()}, 500);
    QCOMPARE(oReply.errorName(), QString("org.freedesktop.DBus.Error.NoReply"));
    const QJsonObject oWrite = m_pSim->nextEvent("setRuntimeUsb");
    QVERIFY(oWrite.value("reply").isNull());
    QCOMPARE(oWrite.value("answered").toBool(true), false);

    m_pSim->command("silent off");
    QVERIFY(!m_pSim->nextEvent("settings").isEmpty());
    QCOMPARE(setUsb(1111, CRunUsb()), 1);
}

void CTestCoreSim::badCommandsAreReportedAndIgnored()
{
    QVERIFY(startSim({"-c", "frobnicate"}));
    QVERIFY(m_pSim->nextEvent("error").value("text").toString().contains("frobnicate"));
    for (const char* pBad : {"start abc", "getname", "delay -5", "silent maybe", "reply 1 2", "ready now"}) {
        m_pSim->command(pBad);
        QVERIFY2(!m_pSim->nextEvent("error").isEmpty(), pBad);
    }
    QVERIFY(m_pSim->events("settings").isEmpty());
    QVERIFY(m_pSim->events("signal").isEmpty());
    m_pSim->command("ready");
    QCOMPARE(m_pSim->nextEvent("signal").value("name").toString(), QString("sigSystemReady"));
}

// The end of standard input is no reason to stop: a sim started in the background has none.
void CTestCoreSim::quitAndSigtermEndWithStatusZero()
{
    QVERIFY(startSim());
    m_pSim->endInput("ready");
    QCOMPARE(m_pSim->nextEvent("signal").value("name").toString(), QString("sigSystemReady"));
    QCOMPARE(setUsb(1111, CRunUsb()), 1);
    m_pSim->terminate();
    QCOMPARE(m_pSim->waitForExitCode(WAIT_MS), 0);
    QCOMPARE(m_pSim->nextEvent("exit").value("reason").toString(), QString("SIGTERM"));

    QVERIFY(startSim({"-c", "start 5", "-c", "quit", "-c", "start 6"}));
    QCOMPARE(m_pSim->waitForExitCode(WAIT_MS), 0);
    QCOMPARE(m_pSim->nextEvent("exit").value("reason").toString(), QString("quit"));
    // Signals sent just before the end still reach the bus; nothing runs after quit.
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigProcessStart"), 1, WAIT_MS);
    QCOMPARE(m_pSim->events("signal").size(), 1);
}

void CTestCoreSim::refusesToStartWithoutBusOrName()
{
    QVERIFY(startSim());
    const QList<std::pair<QString, QByteArray>> lCases = {{m_pBus->address(), "already taken"},
                                                          {"unix:path=/nonexistent/bus", "cannot connect"}};
    for (const auto& [sAddress, aReason] : lCases) {
        CCoreSimProcess oOther(sAddress);
        QVERIFY(!oOther.start());
        QCOMPARE(oOther.waitForExitCode(WAIT_MS), 1);
        QVERIFY2(oOther.errorOutput().contains(aReason), oOther.errorOutput().constData());
    }
}

QTEST_GUILESS_MAIN(CTestCoreSim)
#include "test_coresim.moc"
