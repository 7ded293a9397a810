// veltrano-core-sim as its users meet it: the real binary with --json on a private bus,
// driven through -c and standard input, called and watched from a second connection.

#include "records/crungeneralnonwm.h"
#include "records/crunusb.h"
#include "tools/common/crungeneralview.h"
#include "tools/common/crunusbview.h"
#include "tools/standin/cprivatebus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/prctl.h>

namespace {
const char* const SERVICE = "com.Quorvik.Veltrano";
const char* const RUNTIME = "com.Quorvik.Veltrano.Runtime";
const char* const SIGNALS = "com.Quorvik.Veltrano.Signals";
const int WAIT_MS = 5000;
const qint64 SIXTEEN_GIB = Q_INT64_C(16) * 1024 * 1024 * 1024;
} // namespace

// The simulator process and the JSON lines it printed.
class CSimProcess : public QObject
{
    Q_OBJECT

public:
    CSimProcess(const QString& sAddress, const QStringList& lsArguments)
    {
        m_oProcess.setProgram(VELTRANO_CORESIM);
        m_oProcess.setArguments(QStringList {"--address", sAddress, "--json"} + lsArguments);
        m_oProcess.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        connect(&m_oProcess, &QProcess::readyReadStandardOutput, this, &CSimProcess::readLines);
    }

    ~CSimProcess() override
    {
        if (m_oProcess.state() != QProcess::NotRunning) {
            m_oProcess.kill();
            m_oProcess.waitForFinished(WAIT_MS);
        }
    }

    QProcess& process() { return m_oProcess; }

    void command(const QString& sLine)
    {
        m_oProcess.write(sLine.toUtf8() + '\n');
        m_oProcess.waitForBytesWritten(WAIT_MS);
    }

    // The next event of that name not handed out before; an empty object after the time-out.
    QJsonObject next(const QString& sEvent)
    {
        const QDeadlineTimer oDeadline(WAIT_MS);
        while (true) {
            for (int i = 0; i < m_lEvents.size(); ++i) {
                if (!m_lTaken.contains(i) && m_lEvents.at(i).value("event").toString() == sEvent) {
                    m_lTaken << i;
                    return m_lEvents.at(i);
                }
            }
            if (oDeadline.hasExpired() || !m_oProcess.waitForReadyRead(int(oDeadline.remainingTime()))) {
                return {};
            }
        }
    }

    int count(const QString& sEvent) const
    {
        int iCount = 0;
        for (const QJsonObject& oEvent : m_lEvents) {
            iCount += oEvent.value("event").toString() == sEvent ? 1 : 0;
        }
        return iCount;
    }

private slots:
    void readLines()
    {
        while (m_oProcess.canReadLine()) {
            const QByteArray aLine = m_oProcess.readLine();
            const QJsonDocument oDocument = QJsonDocument::fromJson(aLine);
            QVERIFY2(oDocument.isObject(), aLine.constData());
            m_lEvents << oDocument.object();
        }
    }

private:
    QProcess m_oProcess;
    QList<QJsonObject> m_lEvents;
    QList<int> m_lTaken;
};

// Bus signals as the service would receive them.
class CSignalLog : public QObject
{
    Q_OBJECT

public:
    QList<QDBusMessage> m_lMessages;

    int count(const QString& sMember) const
    {
        int iCount = 0;
        for (const QDBusMessage& oMessage : m_lMessages) {
            iCount += oMessage.member() == sMember ? 1 : 0;
        }
        return iCount;
    }

    QDBusMessage last(const QString& sMember) const
    {
        for (auto it = m_lMessages.crbegin(); it != m_lMessages.crend(); ++it) {
            if (it->member() == sMember) {
                return *it;
            }
        }
        return {};
    }

public slots:
    void onSignal(const QDBusMessage& oMessage) { m_lMessages << oMessage; }
};

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
    void subscribe(const QString& sPath, const QString& sInterface, const QString& sMember);

    std::unique_ptr<CPrivateBus> m_pBus;
    std::unique_ptr<CSimProcess> m_pSim;
    std::unique_ptr<CSignalLog> m_pSignals;
    int m_iSimPid = 0;
};

void CTestCoreSim::init()
{
    m_pBus = std::make_unique<CPrivateBus>();
    QVERIFY(m_pBus->isRunning());
    m_pSignals = std::make_unique<CSignalLog>();
    subscribe("/RuntimeData", RUNTIME, "sigRuntimeUsb");
    subscribe("/RuntimeData", RUNTIME, "sigRuntimeGeneralNonWM");
    subscribe("", SIGNALS, "sigProcessStart");
    subscribe("", SIGNALS, "sigGetName");
    subscribe("", SIGNALS, "sigSystemReady");
}

void CTestCoreSim::cleanup()
{
    m_pSim.reset();
    m_pSignals.reset();
    m_pBus.reset();
}

bool CTestCoreSim::startSim(const QStringList& lsArguments)
{
    m_pSim = std::make_unique<CSimProcess>(m_pBus->address(), lsArguments);
    m_pSim->process().start();
    const QJsonObject oReady = m_pSim->next("ready");
    m_iSimPid = oReady.value("pid").toInt();
    return oReady.value("service").toString() == SERVICE && m_iSimPid == m_pSim->process().processId();
}

QDBusMessage CTestCoreSim::call(const QString& sPath, const QString& sInterface, const QString& sMember,
                                const QVariantList& lArguments, int iTimeoutMs)
{
    QDBusMessage oCall = QDBusMessage::createMethodCall(SERVICE, sPath, sInterface, sMember);
    oCall.setArguments(lArguments);
    return m_pBus->connection("client").call(oCall, QDBus::Block, iTimeoutMs);
}

int CTestCoreSim::setUsb(int iWriter, CRunUsb oRecord)
{
    const QDBusMessage oReply = call("/RuntimeData", RUNTIME, "setRuntimeUsb", {iWriter, oRecord.toByteArray()});
    return oReply.type() == QDBusMessage::ReplyMessage ? oReply.arguments().value(0).toInt() : -1;
}

// Empty service: like the USB service's broadcast subscriptions, any sender is heard.
void CTestCoreSim::subscribe(const QString& sPath, const QString& sInterface, const QString& sMember)
{
    QVERIFY(m_pBus->connection("client").connect("", sPath, sInterface, sMember, m_pSignals.get(),
                                                 SLOT(onSignal(QDBusMessage))));
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

    const QJsonObject oWrite = m_pSim->next("setRuntimeUsb");
    QCOMPARE(oWrite.value("from").toInt(), 1111);
    QCOMPARE(oWrite.value("reply").toInt(), 1);
    QCOMPARE(oWrite.value("size").toInt(), oStick.toByteArray().size());
    QCOMPARE(oWrite.value("hex").toString(), QString(oStick.toByteArray().toHex()));
    QCOMPARE(oWrite.value("changed").toArray(),
             QJsonArray({"UsbDeviceState", "UsbDeviceNode", "UsbVendor", "UsbCapacity"}));
    QCOMPARE(oWrite.value("record").toObject().value("UsbCapacity").toInteger(), SIXTEEN_GIB);
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigRuntimeUsb"), 1, WAIT_MS);
    QCOMPARE(m_pSignals->last("sigRuntimeUsb").arguments(), QVariantList({1111}));

    CRunUsb oRequest;
    oRequest.setStartUnmountUsbDevice(true);
    QCOMPARE(setUsb(2222, oRequest), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigRuntimeUsb"), 2, WAIT_MS);
    QCOMPARE(m_pSignals->last("sigRuntimeUsb").arguments(), QVariantList({2222}));

    const QDBusMessage oReply = call("/RuntimeData", RUNTIME, "getRuntimeUsb");
    const QByteArray aShared = oReply.arguments().value(0).toByteArray();
    const CRunUsbView oShared(aShared);
    QVERIFY(oShared.isValid());
    QCOMPARE(oShared.value(CRunUsb::UsbDeviceState).toInt(), 2);
    QCOMPARE(oShared.value(CRunUsb::UsbDeviceNode).toString(), QString("/dev/sda"));
    QCOMPARE(oShared.value(CRunUsb::UsbCapacity).toLongLong(), SIXTEEN_GIB);
    QCOMPARE(oShared.value(CRunUsb::StartUnmountUsbDevice).toBool(), true);
    QCOMPARE(oShared.changedNames(),
             QStringList({"UsbDeviceState", "UsbDeviceNode", "UsbVendor", "UsbCapacity", "StartUnmountUsbDevice"}));
    QCOMPARE(m_pSim->next("getRuntimeUsb").value("hex").toString(), QString(aShared.toHex()));
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

    const QJsonObject oWrite = m_pSim->next("setRuntimeGeneralNonWM");
    QCOMPARE(oWrite.value("from").toInt(), 42);
    QCOMPARE(oWrite.value("swVersions").toObject(), QJsonObject({{"USB", "1.1.1 / a"}}));
    QCOMPARE(oWrite.value("changed").toArray(), QJsonArray({"SwVersions"}));
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigRuntimeGeneralNonWM"), 2, WAIT_MS);
    QCOMPARE(m_pSignals->last("sigRuntimeGeneralNonWM").arguments(), QVariantList({43}));

    const QDBusMessage oReply = call("/RuntimeData", RUNTIME, "getRuntimeGeneralNonWM");
    const CRunGeneralView oShared(oReply.arguments().value(0).toByteArray());
    QCOMPARE(oShared.swVersions().size(), 2);
    QCOMPARE(oShared.swVersions().value("USB"), QString("1.1.1 / a"));
    QCOMPARE(oShared.swVersions().value("DISPLAY"), QString("7.0"));
    QVERIFY(!m_pSim->next("getRuntimeGeneralNonWM").isEmpty());
}

void CTestCoreSim::replyCodeFollowsOptionAndCommand()
{
    QVERIFY(startSim({"--reply-code", "2"}));
    QCOMPARE(setUsb(1111, CRunUsb()), 2);
    QCOMPARE(m_pSim->next("setRuntimeUsb").value("reply").toInt(), 2);
    CRunGeneralNonWM oGeneral;
    QCOMPARE(call("/RuntimeData", RUNTIME, "setRuntimeGeneralNonWM", {1111, oGeneral.toByteArray()}).arguments(),
             QVariantList({2}));

    m_pSim->command("reply -1000");
    QCOMPARE(m_pSim->next("settings").value("reply").toInt(), -1000);
    QCOMPARE(setUsb(1111, CRunUsb()), -1000);
    m_pSim->command("reply 1");
    QVERIFY(!m_pSim->next("settings").isEmpty());
    QCOMPARE(setUsb(1111, CRunUsb()), 1);
}

void CTestCoreSim::unmountRequestsWithSimPid()
{
    QVERIFY(startSim());
    m_pSim->command("unmount");
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigRuntimeUsb"), 1, WAIT_MS);
    QCOMPARE(m_pSignals->last("sigRuntimeUsb").arguments(), QVariantList({m_iSimPid}));
    QCOMPARE(m_pSignals->last("sigRuntimeUsb").path(), QString("/RuntimeData"));

    const CRunUsbView oShared(call("/RuntimeData", RUNTIME, "getRuntimeUsb").arguments().value(0).toByteArray());
    QCOMPARE(oShared.value(CRunUsb::StartUnmountUsbDevice).toBool(), true);
    QCOMPARE(oShared.changedNames(), QStringList({"StartUnmountUsbDevice"}));

    m_pSim->command("show");
    const QJsonObject oShow = m_pSim->next("show");
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
    QCOMPARE(oStart.interface(), QString(SIGNALS));
    QCOMPARE(oStart.path(), QString("/Signals"));

    m_pSim->command("getname 99");
    m_pSim->command("ready");
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigSystemReady"), 1, WAIT_MS);
    QCOMPARE(m_pSignals->last("sigGetName").arguments(), QVariantList({m_iSimPid, 99}));
    QCOMPARE(m_pSignals->last("sigSystemReady").arguments(), QVariantList({m_iSimPid}));

    const QJsonObject oEvent = m_pSim->next("signal");
    QCOMPARE(oEvent.value("name").toString(), QString("sigProcessStart"));
    QCOMPARE(oEvent.value("args").toArray(), QJsonArray({m_iSimPid, 1234}));
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

    const QJsonObject oRefused = m_pSim->next("refused");
    QCOMPARE(oRefused.value("interface").toString(), QString(RUNTIME));
    QCOMPARE(oRefused.value("member").toString(), QString("getRuntimeDriver"));
    QCOMPARE(m_pSim->next("refused").value("member").toString(), QString("getSetupChangeLog"));
    QCOMPARE(m_pSim->next("refused").value("member").toString(), QString("getLogbookNextSubTypeRowID"));
}

void CTestCoreSim::delayHoldsTheAnswerBack()
{
    QVERIFY(startSim());
    m_pSim->command("delay 400");
    QCOMPARE(m_pSim->next("settings").value("delay").toInt(), 400);
    QElapsedTimer oTimer;
    oTimer.start();
    QCOMPARE(setUsb(1111, CRunUsb()), 1);
    QVERIFY2(oTimer.elapsed() >= 390, qPrintable(QString::number(oTimer.elapsed())));
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigRuntimeUsb"), 1, WAIT_MS);
}

void CTestCoreSim::silentLeavesCallsUnanswered()
{
    QVERIFY(startSim());
    m_pSim->command("silent on");
    QCOMPARE(m_pSim->next("settings").value("silent").toBool(), true);
    const QDBusMessage oReply = call("/RuntimeData", RUNTIME, "setRuntimeUsb", {1111, CRunUsb().toByteArray()}, 500);
    QCOMPARE(oReply.type(), QDBusMessage::ErrorMessage);
    QCOMPARE(oReply.errorName(), QString("org.freedesktop.DBus.Error.NoReply"));
    const QJsonObject oWrite = m_pSim->next("setRuntimeUsb");
    QVERIFY(oWrite.value("reply").isNull());
    QCOMPARE(oWrite.value("answered").toBool(true), false);

    m_pSim->command("silent off");
    QVERIFY(!m_pSim->next("settings").isEmpty());
    QCOMPARE(setUsb(1111, CRunUsb()), 1);
}

void CTestCoreSim::badCommandsAreReportedAndIgnored()
{
    QVERIFY(startSim({"-c", "frobnicate"}));
    QVERIFY(m_pSim->next("error").value("text").toString().contains("frobnicate"));
    for (const char* pBad : {"start abc", "getname", "delay -5", "silent maybe", "reply 1 2", "ready now"}) {
        m_pSim->command(pBad);
        QVERIFY2(!m_pSim->next("error").isEmpty(), pBad);
    }
    QCOMPARE(m_pSim->count("settings"), 0);
    QCOMPARE(m_pSim->count("signal"), 0);
    m_pSim->command("ready");
    QCOMPARE(m_pSim->next("signal").value("name").toString(), QString("sigSystemReady"));
}

// The end of standard input is no reason to stop: a sim started in the background has none.
void CTestCoreSim::quitAndSigtermEndWithStatusZero()
{
    QVERIFY(startSim());
    m_pSim->process().write("ready");
    m_pSim->process().closeWriteChannel();
    QCOMPARE(m_pSim->next("signal").value("name").toString(), QString("sigSystemReady"));
    QCOMPARE(setUsb(1111, CRunUsb()), 1);
    m_pSim->process().terminate();
    QVERIFY(m_pSim->process().waitForFinished(WAIT_MS));
    QCOMPARE(m_pSim->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_pSim->process().exitCode(), 0);
    QCOMPARE(m_pSim->next("exit").value("reason").toString(), QString("SIGTERM"));

    QVERIFY(startSim({"-c", "start 5", "-c", "quit", "-c", "start 6"}));
    QVERIFY(m_pSim->process().waitForFinished(WAIT_MS));
    QCOMPARE(m_pSim->process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_pSim->process().exitCode(), 0);
    QCOMPARE(m_pSim->next("exit").value("reason").toString(), QString("quit"));
    // Signals sent just before the end still reach the bus; nothing runs after quit.
    QTRY_COMPARE_WITH_TIMEOUT(m_pSignals->count("sigProcessStart"), 1, WAIT_MS);
    QCOMPARE(m_pSim->count("signal"), 1);
}

void CTestCoreSim::refusesToStartWithoutBusOrName()
{
    QVERIFY(startSim());
    QProcess oSecond;
    oSecond.start(VELTRANO_CORESIM, {"--address", m_pBus->address()});
    QVERIFY(oSecond.waitForFinished(WAIT_MS));
    QCOMPARE(oSecond.exitCode(), 1);
    QVERIFY2(oSecond.readAllStandardError().contains("already taken"), "no reason given");

    QProcess oNoBus;
    oNoBus.start(VELTRANO_CORESIM, {"--address", "unix:path=/nonexistent/bus"});
    QVERIFY(oNoBus.waitForFinished(WAIT_MS));
    QCOMPARE(oNoBus.exitCode(), 1);
    QVERIFY(oNoBus.readAllStandardError().contains("cannot connect"));
}

QTEST_GUILESS_MAIN(CTestCoreSim)
#include "test_coresim.moc"
