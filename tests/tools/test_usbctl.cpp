// veltrano-usbctl as an operator meets it: the real binary against the core simulator on a
// private bus. The test itself plays the USB service, writing through the core as the service does.

#include "records/crungeneralnonwm.h"
#include "records/crunusb.h"
#include "runtimeinterface.h"
#include "tests/tools/mountedstick.h"
#include "tools/standin/ccoresimprocess.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/targetprogram.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/prctl.h>
#include <tuple>

const int WAIT_MS = 10000;

// One run of the tool. The machine's session bus is never handed on; sSessionBus takes its place
// when given.
class CCtlRun : public QProcess
{
public:
    explicit CCtlRun(const QStringList& lsArguments, const QString& sSessionBus = {})
    {
        QProcessEnvironment oEnvironment = QProcessEnvironment::systemEnvironment();
        oEnvironment.remove("DBUS_SESSION_BUS_ADDRESS");
        if (!sSessionBus.isEmpty()) {
            oEnvironment.insert("DBUS_SESSION_BUS_ADDRESS", sSessionBus);
        }
        setProcessEnvironment(oEnvironment);
        setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        const QStringList lCommand = targetCommand(VELTRANO_USBCTL);
        start(lCommand.first(), lCommand.mid(1) + lsArguments);
        waitForStarted(WAIT_MS);
        m_llPid = processId();
    }

    // Waits for the end: the exit status, or -1 past the bound or for a crash (a sanitizer's
    // abort never passes for an exit status).
    int status()
    {
        waitForFinished(WAIT_MS);
        return state() == NotRunning && exitStatus() == NormalExit ? exitCode() : -1;
    }
    QString out() { return m_sOut += QString::fromUtf8(readAllStandardOutput()); }
    QString err() { return m_sErr += QString::fromUtf8(readAllStandardError()); }
    QStringList outLines() { return out().split('\n', Qt::SkipEmptyParts); }
    bool shows(const QString& sText)
    {
        return QTest::qWaitFor([&] { return out().contains(sText); }, WAIT_MS);
    }
    // Still known after the end.
    qint64 pid() const { return m_llPid; }

private:
    qint64 m_llPid = 0;
    QString m_sOut;
    QString m_sErr;
};

enum EOutcome { NoAnswer, StaysMounted, Unmounted };

class CTestUsbCtl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_oBus.isRunning()); }
    void init() { startSim(); }
    void cleanup() { m_pSim.reset(); }

    // The USB record as watch follows it and as status shows it, and the software versions of the
    // general record. Watch follows only the USB record.
    void statusWatchAndVersionReadTheSharedRecords()
    {
        CCtlRun oWatch(ctl({"watch"}));
        CCtlRun oWatchJson(ctl({"watch", "--json"}));
        QVERIFY(oWatch.shows("shared record: state=0") && oWatchJson.shows("\"initial\""));
        publish(mountedStick());
        QVERIFY(oWatch.shows(QString("written by pid %1:\n").arg(QCoreApplication::applicationPid())));
        QTRY_COMPARE_WITH_TIMEOUT(oWatchJson.outLines().size(), 2, WAIT_MS);

        const QString sText = oWatch.out();
        QVERIFY2(sText.contains(QRegularExpression("\\n  UsbDeviceState +0 -> 2\\n")), qPrintable(sText));
        QVERIFY(sText.contains(QRegularExpression("\\n  UsbMountPath +\"\" -> \"/mnt/usbstick\"\\n")));
        QVERIFY(sText.contains(QRegularExpression("\\n  UsbCapacity +0 \\(0 B\\) -> 17179869184 \\(16\\.0 GiB\\)\\n")));
        QVERIFY(!sText.contains("UsbInfoText"));

        const QJsonObject oChange = QJsonDocument::fromJson(oWatchJson.outLines().at(1).toUtf8()).object();
        QCOMPARE(oChange["event"].toString(), QString("change"));
        QCOMPARE(oChange["from"].toInteger(), QCoreApplication::applicationPid());
        QCOMPARE(oChange["fields"]["UsbDeviceState"].toObject(), QJsonObject({{"old", 0}, {"new", 2}}));
        QCOMPARE(oChange["fields"].toObject().size(), 9);
        QCOMPARE(oChange["record"]["UsbVendor"].toString(), QString("Acme"));

        // The session bus from the environment, as on the board.
        CCtlRun oText({"status"}, m_oBus.address());
        QCOMPARE(oText.status(), 0);
        const QStringList lsLines = oText.outLines();
        QCOMPARE(lsLines.size(), 2 + CRunUsb::FieldCount);
        QCOMPARE(lsLines.first(), QString("stick mounted at /mnt/usbstick (/dev/sda, Acme Stick, 16.0 GiB)"));
        // Names and values in columns, written fields marked; an empty text shows as "".
        for (const char* pLine :
             {"  UsbCapacity            17179869184 (16.0 GiB)           changed",
              "  UsbVendor              Acme                             changed",
              "  DatabaseDirFound       yes                              changed", "  UsbInfoText            \"\""}) {
            QVERIFY2(lsLines.contains(pLine), qPrintable(oText.out()));
        }

        CCtlRun oJson(ctl({"status", "--json"}));
        QCOMPARE(oJson.status(), 0);
        QCOMPARE(oJson.outLines().size(), 1);
        const QJsonObject oRecord = QJsonDocument::fromJson(oJson.out().toUtf8()).object();
        QCOMPARE(oRecord.size(), CRunUsb::FieldCount + 2);
        // Nothing is mounted at /mnt/usbstick on this machine; test_vm_sticks sees a stick's mount.
        QVERIFY(oRecord.value("mount").isNull());
        // toInt() and toBool() also require the JSON type.
        QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 2);
        QCOMPARE(oRecord.value("UsbCapacity").toInteger(), SIXTEEN_GIB);
        QCOMPARE(oRecord.value("UsbMountPath").toString(), QString("/mnt/usbstick"));
        QCOMPARE(oRecord.value("DatabaseDirFound").toBool(), true);
        QCOMPARE(oRecord.value("LogbookDirFound").toBool(true), false);
        QCOMPARE(oRecord.value("UsbInfoText"), QJsonValue(""));
        QCOMPARE(oRecord.value("changed").toArray(),
                 QJsonArray({"UsbDeviceState", "UsbDataAvailable", "UpdateFileFound", "DatabaseDirFound",
                             "UsbDeviceNode", "UsbVendor", "UsbModel", "UsbMountPath", "UsbCapacity"}));

        CRunGeneralNonWM oGeneral;
        oGeneral.setSwVersion("USB", "1.1 / rc-2");
        oGeneral.setSwVersion("CORE", "4.2.0");
        oGeneral.setSwVersion("GUI", "3.1");
        QCOMPARE(m_oRuntime.setRuntimeGeneralNonWM(1234, oGeneral.toByteArray()).value(), 1);

        CCtlRun oRun(ctl({"version"}));
        QCOMPARE(oRun.status(), 0);
        QCOMPARE(oRun.outLines(), QStringList({"CORE: 4.2.0", "GUI:  3.1", "USB:  1.1 / rc-2"}));

        // A restarted core is followed, and its fresh record becomes the new baseline.
        m_pSim.reset();
        QVERIFY(oWatch.shows("the metering core left the bus") && oWatchJson.shows("\"core-left\""));
        startSim();
        QVERIFY(oWatch.shows("the metering core is back; shared record: state=0") && oWatchJson.shows("\"core-back\""));

        oWatch.terminate();
        oWatchJson.terminate();
        QCOMPARE(oWatch.status(), 0);
        QCOMPARE(oWatchJson.status(), 0);
    }

    // One core throughout, so each run starts from the record the one before left.
    void unmountReportsTheOutcome()
    {
        const QDeadlineTimer oOneSecond(1000, Qt::PreciseTimer);
        CCtlRun oNoAnswer(ctl({"unmount", "--timeout", "1"}));
        answerUnmount(oNoAnswer, NoAnswer);
        QCOMPARE(oNoAnswer.status(), 2);
        QVERIFY(oOneSecond.hasExpired());
        QVERIFY2(oNoAnswer.err().contains("no answer from the USB service within 1 s"), qPrintable(oNoAnswer.err()));

        CCtlRun oStuck(ctl({"unmount"}));
        answerUnmount(oStuck, StaysMounted);
        QCOMPARE(oStuck.status(), 1);
        QVERIFY2(oStuck.err().contains("no stick is mounted (UsbDeviceState 0)"), qPrintable(oStuck.err()));
        QVERIFY(oStuck.err().contains(QRegularExpression("could not unmount the stick.*/var/log/Veltrano/usb.log")));

        // The service has published its stick by now.
        CCtlRun oDone(ctl({"unmount"}));
        answerUnmount(oDone, Unmounted);
        QVERIFY2(oDone.status() == 0, qPrintable(oDone.err()));
        QVERIFY2(oDone.out().contains("the stick is unmounted from /mnt/usbstick"), qPrintable(oDone.out()));
        QVERIFY(!oDone.err().contains("no stick is mounted"));

        QVERIFY(!m_pSim->command("reply 2", "settings").isEmpty());
        CCtlRun oRefused(ctl({"unmount"}));
        answerUnmount(oRefused, NoAnswer);
        QCOMPARE(oRefused.status(), 1);
        QVERIFY2(oRefused.err().contains("setRuntimeUsb answered 2 (REPLY_FALSE)"), qPrintable(oRefused.err()));
        QVERIFY(!oRefused.out().contains("waiting"));
        // One request a run, none again at the deadline; the others are the service's six.
        QCOMPARE(m_pSim->events("setRuntimeUsb").size(), 4 + 6);
    }

    // The runs that end before anything is asked of the core, and the help.
    void commandLine()
    {
        m_pSim.reset();
        const QString sNowhere = "unix:path=/nonexistent/bus";
        QList<std::tuple<QStringList, int, QString>> lCases = {
            {ctl({"unmount"}), 4, "the metering core com.Quorvik.Veltrano is not on the bus at " + m_oBus.address()},
            {{"--address", sNowhere, "status"}, 4, "veltrano-usbctl: cannot reach the bus at " + sNowhere + ": "},
            {{"version"}, 4, "no bus: give --address ADDR or set DBUS_SESSION_BUS_ADDRESS"}};
        for (const char* pUsage : {"", "mount", "status extra", "version --json", "status --timeout 5",
                                   "unmount --timeout 0", "unmount --timeout soon", "status --frob"}) {
            lCases.append({QString(pUsage).split(' ', Qt::SkipEmptyParts), 3, "Try \"veltrano-usbctl --help\""});
        }
        for (const auto& [lsArguments, iStatus, sError] : lCases) {
            CCtlRun oRun(lsArguments);
            QVERIFY2(oRun.status() == iStatus, qPrintable(lsArguments.join(' ')));
            QVERIFY2(oRun.err().startsWith("veltrano-usbctl: ") && oRun.err().contains(sError), qPrintable(oRun.err()));
        }

        CCtlRun oHelp({"--help"});
        QCOMPARE(oHelp.status(), 0);
        for (const char* sItem : {"status [--json]", "watch [--json]", "unmount [--timeout S]", "version",
                                  "--address ADDR", "Exit status:", "  4  no bus"}) {
            QVERIFY2(oHelp.out().contains(sItem), sItem);
        }
    }

private:
    void startSim()
    {
        m_pSim = std::make_unique<CCoreSimProcess>(m_oBus.address());
        QVERIFY(m_pSim->start());
    }
    QStringList ctl(const QStringList& lsArguments) const
    {
        return QStringList {"--address", m_oBus.address()} + lsArguments;
    }
    // Writes through the core as the USB service does, with the test's pid as writer.
    void publish(CRunUsb oRecord)
    {
        QDBusPendingReply<int> oReply =
            m_oRuntime.setRuntimeUsb(int(QCoreApplication::applicationPid()), oRecord.toByteArray());
        QVERIFY2(oReply.value() == 1, qPrintable(oReply.error().message()));
    }

    // Waits for the run's request, in which only the request is flagged so that the core takes over
    // nothing else, and answers as the service does: the request taken while unmounting, the
    // outcome, the cleared auxiliary flag.
    void answerUnmount(const CCtlRun& oRun, EOutcome eOutcome)
    {
        QJsonObject oRequest;
        do {
            oRequest = m_pSim->nextEvent("setRuntimeUsb", WAIT_MS);
        } while (!oRequest.isEmpty() && oRequest.value("from").toInteger() != oRun.pid());
        QVERIFY(!oRequest.isEmpty());
        QCOMPARE(oRequest.value("changed").toArray(), QJsonArray({"StartUnmountUsbDevice"}));
        QCOMPARE(oRequest.value("record").toObject().value("StartUnmountUsbDevice").toBool(), true);
        if (eOutcome == NoAnswer) {
            return;
        }
        CRunUsb oService = mountedStick();
        oService.setStartUnmountUsbDevice(false);
        oService.setUnmountUsbDeviceActive(true);
        publish(oService);
        oService.setUsbDeviceUnmounted(eOutcome == Unmounted);
        oService.setUnmountUsbDeviceActive(false);
        publish(oService);
        oService.setUsbAuxFlag(false);
        publish(oService);
    }

    CPrivateBus m_oBus;
    ComQuorvikVeltranoRuntimeInterface m_oRuntime {"com.Quorvik.Veltrano", "/RuntimeData", m_oBus.connection("peer")};
    std::unique_ptr<CCoreSimProcess> m_pSim;
};

QTEST_GUILESS_MAIN(CTestUsbCtl)
#include "test_usbctl.moc"
