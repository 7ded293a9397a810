// veltrano-usbctl as an operator meets it: the real binary against the core simulator on a
// private bus. The test itself plays the USB service, writing through the core as the service
// does; test_e2e_usbctl has the real service.

#include "records/crungeneralnonwm.h"
#include "records/crunusb.h"
#include "runtimeinterface.h"
#include "tests/tools/mountedstick.h"
#include "tools/standin/ccoresimprocess.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/targetprogram.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/prctl.h>

namespace {
const int WAIT_MS = 10000;

QJsonObject jsonLine(const QString& sLine)
{
    return QJsonDocument::fromJson(sLine.toUtf8()).object();
}
} // namespace

// One run of the tool, with what it printed.
class CCtlRun
{
public:
    // The machine's session bus is never handed on; sSessionBus takes its place when given.
    explicit CCtlRun(const QStringList& lsArguments, const QString& sSessionBus = {})
    {
        QProcessEnvironment oEnvironment = QProcessEnvironment::systemEnvironment();
        oEnvironment.remove("DBUS_SESSION_BUS_ADDRESS");
        if (!sSessionBus.isEmpty()) {
            oEnvironment.insert("DBUS_SESSION_BUS_ADDRESS", sSessionBus);
        }
        m_oProcess.setProcessEnvironment(oEnvironment);
        m_oProcess.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        const QStringList lCommand = targetCommand(VELTRANO_USBCTL);
        m_oProcess.start(lCommand.first(), lCommand.mid(1) + lsArguments);
    }

    ~CCtlRun()
    {
        if (m_oProcess.state() != QProcess::NotRunning) {
            m_oProcess.kill();
            m_oProcess.waitForFinished(WAIT_MS);
        }
    }

    QProcess& process() { return m_oProcess; }

    // Waits (handling events meanwhile) until the program has ended; false after the bound.
    bool finish(int iTimeoutMs = WAIT_MS)
    {
        QElapsedTimer oTimer;
        oTimer.start();
        while (m_oProcess.state() != QProcess::NotRunning && oTimer.elapsed() < iTimeoutMs) {
            QTest::qWait(20);
        }
        collect();
        return m_oProcess.state() == QProcess::NotRunning;
    }

    // Normal ends only: a crash or a sanitizer's abort never passes for an exit status.
    int exitCode() const { return m_oProcess.exitStatus() == QProcess::NormalExit ? m_oProcess.exitCode() : -1; }

    QString out()
    {
        collect();
        return m_sOut;
    }

    QString err()
    {
        collect();
        return m_sErr;
    }

    QStringList outLines() { return out().split('\n', Qt::SkipEmptyParts); }

private:
    void collect()
    {
        m_sOut += QString::fromUtf8(m_oProcess.readAllStandardOutput());
        m_sErr += QString::fromUtf8(m_oProcess.readAllStandardError());
    }

    QProcess m_oProcess;
    QString m_sOut;
    QString m_sErr;
};

class CTestUsbCtl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statusPrintsTheSharedRecord();
    void watchPrintsEachChangeUntilSigterm();
    void versionListsTheAnnouncedVersions();
    void unmountSucceedsOnceTheServiceHasUnmounted();
    void unmountFailsWhenTheStickStaysMounted();
    void unmountTimesOutWhenNobodyAnswers();
    void unmountFailsWhenTheCoreRefuses();
    void missingCoreOrBusHasItsOwnStatus();
    void usageErrors();

private:
    void startSim(const QStringList& lsArguments = {});
    QStringList ctl(const QStringList& lsArguments) const;
    // Writes through the core as the USB service does, with the test's pid as writer.
    void publish(CRunUsb oRecord);
    // Waits until the simulator has received the tool's unmount request; its pid is the writer.
    void waitForRequest(CCtlRun& oRun);
    void publishUnmountOutcome(bool bUnmounted);

    std::unique_ptr<CPrivateBus> m_pBus;
    std::unique_ptr<CCoreSimProcess> m_pSim;
    std::unique_ptr<ComQuorvikVeltranoRuntimeInterface> m_pRuntime;
};

void CTestUsbCtl::init()
{
    m_pBus = std::make_unique<CPrivateBus>();
    QVERIFY(m_pBus->isRunning());
    m_pRuntime = std::make_unique<ComQuorvikVeltranoRuntimeInterface>("com.Quorvik.Veltrano", "/RuntimeData",
                                                                      m_pBus->connection("peer"));
}

void CTestUsbCtl::cleanup()
{
    m_pRuntime.reset();
    m_pSim.reset();
    m_pBus.reset();
}

void CTestUsbCtl::startSim(const QStringList& lsArguments)
{
    m_pSim = std::make_unique<CCoreSimProcess>(m_pBus->address(), lsArguments);
    QVERIFY(m_pSim->start());
}

QStringList CTestUsbCtl::ctl(const QStringList& lsArguments) const
{
    return QStringList {"--address", m_pBus->address()} + lsArguments;
}

void CTestUsbCtl::publish(CRunUsb oRecord)
{
    QDBusPendingReply<int> oReply =
        m_pRuntime->setRuntimeUsb(int(QCoreApplication::applicationPid()), oRecord.toByteArray());
    oReply.waitForFinished();
    QVERIFY2(!oReply.isError(), qPrintable(oReply.error().message()));
    QCOMPARE(oReply.value(), 1);
}

void CTestUsbCtl::waitForRequest(CCtlRun& oRun)
{
    const auto findRequests = [this, &oRun]() {
        QList<QJsonObject> lRequests;
        for (const QJsonObject& oEvent : m_pSim->events("setRuntimeUsb")) {
            if (oEvent.value("from").toInteger() == oRun.process().processId()) {
                lRequests << oEvent;
            }
        }
        return lRequests;
    };
    QTRY_COMPARE_WITH_TIMEOUT(findRequests().size(), 1, WAIT_MS);
    // Only the request is flagged, so the core takes over nothing else from the tool.
    QCOMPARE(findRequests().first().value("changed").toArray(), QJsonArray({"StartUnmountUsbDevice"}));
    QCOMPARE(findRequests().first().value("record").toObject().value("StartUnmountUsbDevice").toBool(), true);
}

// The service's three publications: request taken while unmounting, the outcome, the cleared
// auxiliary flag.
void CTestUsbCtl::publishUnmountOutcome(bool bUnmounted)
{
    CRunUsb oService = mountedStick();
    oService.setStartUnmountUsbDevice(false);
    oService.setUnmountUsbDeviceActive(true);
    publish(oService);
    if (bUnmounted) {
        oService.setUsbDeviceUnmounted(true);
    }
    oService.setUnmountUsbDeviceActive(false);
    publish(oService);
    oService.setUsbAuxFlag(false);
    publish(oService);
}

void CTestUsbCtl::statusPrintsTheSharedRecord()
{
    startSim();
    publish(mountedStick());

    // The session bus from the environment, as on the board.
    CCtlRun oText({"status"}, m_pBus->address());
    QVERIFY(oText.finish());
    QCOMPARE(oText.exitCode(), 0);
    const QString sOut = oText.out();
    QVERIFY2(sOut.startsWith("stick mounted at /mnt/usbstick (/dev/sda, Acme Stick, 16.0 GiB)\n"), qPrintable(sOut));
    QVERIFY2(sOut.contains(QRegularExpression("\\n  UsbCapacity +17179869184 \\(16\\.0 GiB\\) +changed\\n")),
             qPrintable(sOut));
    QVERIFY(sOut.contains(QRegularExpression("\\n  UsbVendor +Acme +changed\\n")));
    QVERIFY(sOut.contains(QRegularExpression("\\n  UsbInfoText +\"\"\\n")));
    QCOMPARE(oText.outLines().size(), 2 + CRunUsb::FieldCount);

    CCtlRun oJson(ctl({"status", "--json"}));
    QVERIFY(oJson.finish());
    QCOMPARE(oJson.exitCode(), 0);
    QCOMPARE(oJson.outLines().size(), 1);
    const QJsonObject oRecord = jsonLine(oJson.outLines().first());
    QCOMPARE(oRecord.size(), CRunUsb::FieldCount + 2);
    // Nothing is mounted at /mnt/usbstick on this machine; test_vm_sticks sees a stick's mount.
    QVERIFY(oRecord.value("mount").isNull());
    QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 2);
    QCOMPARE(oRecord.value("UsbCapacity").toInteger(), SIXTEEN_GIB);
    QCOMPARE(oRecord.value("UsbMountPath").toString(), QString("/mnt/usbstick"));
    QCOMPARE(oRecord.value("DatabaseDirFound").toBool(), true);
    QCOMPARE(oRecord.value("LogbookDirFound").toBool(), false);
    QCOMPARE(oRecord.value("changed").toArray(),
             QJsonArray({"UsbDeviceState", "UsbDataAvailable", "UpdateFileFound", "DatabaseDirFound", "UsbDeviceNode",
                         "UsbVendor", "UsbModel", "UsbMountPath", "UsbCapacity"}));
}

void CTestUsbCtl::watchPrintsEachChangeUntilSigterm()
{
    startSim();
    CCtlRun oText(ctl({"watch"}));
    CCtlRun oJson(ctl({"watch", "--json"}));
    QTRY_VERIFY_WITH_TIMEOUT(oText.out().contains("shared record: state=0"), WAIT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(oJson.out().contains("\"initial\""), WAIT_MS);

    publish(mountedStick());
    const QString sWriter = QString::number(QCoreApplication::applicationPid());
    QTRY_VERIFY_WITH_TIMEOUT(oText.out().contains("written by pid " + sWriter + ":\n"), WAIT_MS);
    QTRY_COMPARE_WITH_TIMEOUT(oJson.outLines().size(), 2, WAIT_MS);

    const QString sText = oText.out();
    QVERIFY2(sText.contains(QRegularExpression("\\n  UsbDeviceState +0 -> 2\\n")), qPrintable(sText));
    QVERIFY(sText.contains(QRegularExpression("\\n  UsbMountPath +\"\" -> \"/mnt/usbstick\"\\n")));
    QVERIFY(sText.contains(QRegularExpression("\\n  UsbCapacity +0 \\(0 B\\) -> 17179869184 \\(16\\.0 GiB\\)\\n")));
    QVERIFY(!sText.contains("UsbInfoText"));

    const QJsonObject oChange = jsonLine(oJson.outLines().at(1));
    QCOMPARE(oChange.value("event").toString(), QString("change"));
    QCOMPARE(oChange.value("from").toInteger(), QCoreApplication::applicationPid());
    QCOMPARE(oChange.value("fields").toObject().value("UsbDeviceState").toObject(),
             QJsonObject({{"old", 0}, {"new", 2}}));
    QCOMPARE(oChange.value("fields").toObject().size(), 9);
    QCOMPARE(oChange.value("record").toObject().value("UsbVendor").toString(), QString("Acme"));

    // A restarted core is followed, and its fresh record becomes the new baseline.
    m_pSim.reset();
    QTRY_VERIFY_WITH_TIMEOUT(oText.out().contains("the metering core left the bus"), WAIT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(oJson.out().contains("\"core-left\""), WAIT_MS);
    startSim();
    QTRY_VERIFY_WITH_TIMEOUT(oText.out().contains("the metering core is back; shared record: state=0"), WAIT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(oJson.out().contains("\"core-back\""), WAIT_MS);

    oText.process().terminate();
    oJson.process().terminate();
    QVERIFY(oText.finish());
    QVERIFY(oJson.finish());
    QCOMPARE(oText.exitCode(), 0);
    QCOMPARE(oJson.exitCode(), 0);
}

void CTestUsbCtl::versionListsTheAnnouncedVersions()
{
    startSim();
    CRunGeneralNonWM oGeneral;
    oGeneral.setSwVersion("USB", "1.1.1 / vt-release-1.14.3");
    oGeneral.setSwVersion("CORE", "4.2.0");
    oGeneral.setSwVersion("GUI", "3.1");
    QDBusPendingReply<int> oReply = m_pRuntime->setRuntimeGeneralNonWM(1234, oGeneral.toByteArray());
    oReply.waitForFinished();
    QCOMPARE(oReply.value(), 1);

    CCtlRun oRun(ctl({"version"}));
    QVERIFY(oRun.finish());
    QCOMPARE(oRun.exitCode(), 0);
    QCOMPARE(oRun.outLines(), QStringList({"CORE: 4.2.0", "GUI:  3.1", "USB:  1.1.1 / vt-release-1.14.3"}));
}

void CTestUsbCtl::unmountSucceedsOnceTheServiceHasUnmounted()
{
    startSim();
    publish(mountedStick());
    CCtlRun oRun(ctl({"unmount", "--timeout", "10"}));
    waitForRequest(oRun);
    publishUnmountOutcome(true);

    QVERIFY(oRun.finish());
    QVERIFY2(oRun.exitCode() == 0, qPrintable(oRun.err()));
    QVERIFY2(oRun.out().contains("the stick is unmounted from /mnt/usbstick"), qPrintable(oRun.out()));
    QVERIFY(!oRun.err().contains("no stick is mounted"));
}

void CTestUsbCtl::unmountFailsWhenTheStickStaysMounted()
{
    startSim();
    CCtlRun oRun(ctl({"unmount", "--timeout", "10"}));
    waitForRequest(oRun);
    publishUnmountOutcome(false);

    QVERIFY(oRun.finish());
    QCOMPARE(oRun.exitCode(), 1);
    QVERIFY2(oRun.err().contains("no stick is mounted (UsbDeviceState 0)"), qPrintable(oRun.err()));
    QVERIFY(oRun.err().contains("could not unmount the stick"));
    QVERIFY(oRun.err().contains("/var/log/Veltrano/usb.log"));
}

void CTestUsbCtl::unmountTimesOutWhenNobodyAnswers()
{
    startSim();
    QElapsedTimer oTimer;
    oTimer.start();
    CCtlRun oRun(ctl({"unmount", "--timeout", "1"}));
    QVERIFY(oRun.finish());
    QCOMPARE(oRun.exitCode(), 2);
    QVERIFY2(oTimer.elapsed() >= 1000, qPrintable(QString::number(oTimer.elapsed())));
    QVERIFY2(oRun.err().contains("no answer from the USB service within 1 s"), qPrintable(oRun.err()));
    QCOMPARE(m_pSim->events("setRuntimeUsb").size(), 1);
}

void CTestUsbCtl::unmountFailsWhenTheCoreRefuses()
{
    startSim({"--reply-code", "2"});
    CCtlRun oRun(ctl({"unmount", "--timeout", "10"}));
    QVERIFY(oRun.finish());
    QCOMPARE(oRun.exitCode(), 1);
    QVERIFY2(oRun.err().contains("setRuntimeUsb answered 2 (REPLY_FALSE)"), qPrintable(oRun.err()));
    QVERIFY(!oRun.out().contains("waiting"));
}

void CTestUsbCtl::missingCoreOrBusHasItsOwnStatus()
{
    CCtlRun oNoCore(ctl({"unmount"}));
    QVERIFY(oNoCore.finish());
    QCOMPARE(oNoCore.exitCode(), 4);
    QVERIFY2(oNoCore.err().contains("the metering core com.Quorvik.Veltrano is not on the bus at " + m_pBus->address()),
             qPrintable(oNoCore.err()));

    const QTemporaryDir oDir;
    const QString sNowhere = "unix:path=" + oDir.filePath("no-bus");
    CCtlRun oNoBus({"--address", sNowhere, "status"});
    QVERIFY(oNoBus.finish());
    QCOMPARE(oNoBus.exitCode(), 4);
    QVERIFY2(oNoBus.err().startsWith("veltrano-usbctl: cannot reach the bus at " + sNowhere + ": "),
             qPrintable(oNoBus.err()));

    CCtlRun oNoAddress({"version"});
    QVERIFY(oNoAddress.finish());
    QCOMPARE(oNoAddress.exitCode(), 4);
    QVERIFY(oNoAddress.err().contains("no bus: give --address ADDR or set DBUS_SESSION_BUS_ADDRESS"));
}

void CTestUsbCtl::usageErrors()
{
    const QList<QStringList> lCases = {{},
                                       {"mount"},
                                       {"status", "extra"},
                                       {"version", "--json"},
                                       {"status", "--timeout", "5"},
                                       {"unmount", "--timeout", "0"},
                                       {"unmount", "--timeout", "soon"},
                                       {"status", "--frob"}};
    for (const QStringList& lsArguments : lCases) {
        CCtlRun oRun(lsArguments);
        QVERIFY(oRun.finish());
        QVERIFY2(oRun.exitCode() == 3, qPrintable(lsArguments.join(' ')));
        QVERIFY2(oRun.err().contains("Try \"veltrano-usbctl --help\""), qPrintable(oRun.err()));
    }
    CCtlRun oHelp({"--help"});
    QVERIFY(oHelp.finish());
    QCOMPARE(oHelp.exitCode(), 0);
    for (const char* sItem : {"status [--json]", "watch [--json]", "unmount [--timeout S]", "version", "--address ADDR",
                              "Exit status:", "  4  no bus"}) {
        QVERIFY2(oHelp.out().contains(sItem), sItem);
    }
}

QTEST_GUILESS_MAIN(CTestUsbCtl)
#include "test_usbctl.moc"
