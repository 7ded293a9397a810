#include "tools/demo/cmachinestage.h"

#include "tools/demo/cstepprinter.h"
#include "tools/vm/cguestservices.h"
#include "tools/vm/cvirtualmachine.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>

namespace {
// Generous for an emulated machine on a busy host.
const int BOOT_TIMEOUT_MS = 180000;
const int SLOWNESS = 3;
const char* const STICK = "stick";
} // namespace

CMachineStage::CMachineStage(CStepPrinter* pPrinter, const QString& sPreparedDir)
    : CDemoStage(pPrinter, {"in the guest, on the guest's private bus", SLOWNESS, true})
    , m_sPreparedDir(sPreparedDir)
{
}

CMachineStage::~CMachineStage() = default;

bool CMachineStage::act(EAct eAct)
{
    switch (eAct) {
    case EAct::SetUp:
        return setUp();
    case EAct::Start:
        return m_pGuest->startService() || fail(m_pGuest->error());
    case EAct::Join:
        return m_pGuest->join() || fail(m_pGuest->error());
    case EAct::Plug:
        return m_pMachine->plug(STICK, m_lImages.value(m_iPlugs++)) || fail(m_pMachine->error());
    case EAct::Change:
        return m_pMachine->run("udevadm trigger --action=change --subsystem-match=block").iStatus == 0
               || fail("udevadm trigger failed in the guest");
    case EAct::Unmount:
        return requestUnmount();
    case EAct::Pull:
        return m_pMachine->pull(STICK) || fail(m_pMachine->error());
    case EAct::Stop:
        // The guest's own bound of SIGTERM's wait holds.
        return m_pGuest->stopService() || fail(m_pGuest->error());
    }
    return false;
}

QStringList CMachineStage::telling(EAct eAct) const
{
    switch (eAct) {
    case EAct::Join:
        return {QString("gdbus in the guest broadcasts sigProcessStart addressed to pid %1, as the core would.")
                    .arg(m_pGuest->servicePid())};
    case EAct::Plug:
        return {"QEMU plugs it into the guest's xHCI controller as a USB mass-storage device."};
    case EAct::Unmount:
        return {"veltrano-usbctl in the guest plays the peer: it sets StartUnmountUsbDevice through the core."};
    case EAct::Pull:
        return {"QEMU takes it off the guest's xHCI controller."};
    default:
        return {};
    }
}

CDemoStage::SSeen CMachineStage::seen() const
{
    SSeen oSeen;
    if (!m_pGuest) {
        return oSeen;
    }
    oSeen.iPid = m_pGuest->servicePid();
    oSeen.bRunning = m_pGuest->isServiceRunning();
    oSeen.iExitCode = m_pGuest->serviceExitCode();
    oSeen.lsLines = m_pGuest->lines();
    for (const QByteArray& aLine : shared("sim.jsonl").split('\n')) {
        oSeen.lEvents << QJsonDocument::fromJson(aLine).object();
    }
    // dbus-monitor's log of the triggers.
    const QByteArray aTriggers = shared("triggers.log");
    oSeen.iStartTriggers = static_cast<int>(aTriggers.count("path=/Signals;"));
    oSeen.iHeartbeats = static_cast<int>(aTriggers.count("path=/;"));
    return oSeen;
}

CDemoStage::SStick CMachineStage::stick() const
{
    return {m_pGuest->stickMount(), guestOutput("ls -A /mnt/usbstick/Veltrano").split('\n', Qt::SkipEmptyParts)};
}

QStringList CMachineStage::kernelLines(const QString& sPattern)
{
    return guestOutput(QString("dmesg | grep -E '%1' | tail -n 6 | sed 's/^\\[ *[0-9.]*\\] //'").arg(sPattern))
        .split('\n');
}

bool CMachineStage::setUp()
{
    if (!boot()) {
        return false;
    }
    if (!m_pGuest->startCore()) {
        return fail(m_pGuest->error());
    }
    printer()->item("metering core", "veltrano-core-sim in the guest, serves com.Quorvik.Veltrano on its private bus");
    // The triggers tell when the service listens and how often it beats, as on the emulated stage.
    const QString sWatch = CGuestServices::withBus(
        "stdbuf -oL dbus-monitor --session \"type='signal',interface='com.Quorvik.Veltrano.Signals',"
        "member='sigTrigger'\"");
    if (m_pMachine->run("setsid " + sWatch + " </dev/null >/run/vm/triggers.log 2>&1 &").iStatus != 0) {
        return fail("dbus-monitor does not start in the guest");
    }
    return makeSticks();
}

bool CMachineStage::requestUnmount()
{
    const CVirtualMachine::SResult oResult =
        m_pMachine->run(CGuestServices::onBus("veltrano-usbctl unmount --timeout 20"), 30000);
    printer()->item("veltrano-usbctl", QString::fromUtf8(oResult.aOutput.trimmed()).split('\n'));
    return oResult.iStatus == 0 || fail("the unmount request did not succeed");
}

bool CMachineStage::boot()
{
    m_pMachine.reset(new CVirtualMachine(m_sPreparedDir));
    m_pGuest.reset(new CGuestServices(m_pMachine.get()));
    printer()->text("QEMU with software emulation boots Debian's own kernel package; the guest sees this");
    printer()->text("machine's root read-only, with its writes kept in memory, and runs the real systemd-udevd.");
    QElapsedTimer oTimer;
    oTimer.start();
    if (!m_pMachine->boot(BOOT_TIMEOUT_MS)) {
        return fail(m_pMachine->error());
    }
    printer()->item(
        "kernel",
        QString("Linux %1, up after %2 s").arg(m_pMachine->kernelVersion()).arg(oTimer.elapsed() / 1000.0, 0, 'f', 1));
    printer()->item("udev", guestOutput("udevadm --version"));
    return true;
}

bool CMachineStage::makeSticks()
{
    const QStringList lEntries = {"Veltrano/update/firmware.bin", "Veltrano/logbook/"};
    m_lImages =
        QStringList({m_pMachine->makeStick("mbr-fat32", lEntries), m_pMachine->makeStick("exfat-mbr", lEntries)});
    if (m_lImages.contains(QString())) {
        return fail("cannot make the sticks' images with make-stick");
    }
    printer()->item("the sticks",
                    {"64 MiB disk images, an MBR partition table on each: FAT32 in partition 1 (mkfs.vfat, sfdisk),",
                     "then exFAT in partition 1 from 4 MiB, as sticks of 64 GB and more ship (mkfs.exfat)"});
    printer()->item("on each", lEntries);
    return true;
}

QString CMachineStage::guestOutput(const QString& sCommand) const
{
    return QString::fromUtf8(m_pMachine->run(sCommand).aOutput.trimmed());
}

QByteArray CMachineStage::shared(const QString& sName) const
{
    QFile oFile(m_pMachine->shareDir() + "/" + sName);
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}
