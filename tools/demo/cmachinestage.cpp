#include "tools/demo/cmachinestage.h"

#include "tools/demo/cstepprinter.h"
#include "tools/vm/cguestservices.h"
#include "tools/vm/cvirtualmachine.h"

#include <QElapsedTimer>
#include <QFile>

namespace {
// Generous for an emulated machine on a busy host.
const int BOOT_TIMEOUT_MS = 180000;
const int SLOWNESS = 3;
const char* const STICK = "stick";
} // namespace

CMachineStage::CMachineStage(const QString& sPreparedDir)
    : m_sPreparedDir(sPreparedDir)
{
}

// The guest's services go before the machine they run in.
CMachineStage::~CMachineStage()
{
    m_pGuest.reset();
    m_pMachine.reset();
}

bool CMachineStage::setUp(CStepPrinter* pPrinter)
{
    m_pPrinter = pPrinter;
    if (!boot()) {
        return false;
    }
    if (!m_pGuest->startCore()) {
        return fail(m_pGuest->error());
    }
    m_pPrinter->item("metering core", "veltrano-core-sim in the guest, serves com.Quorvik.Veltrano on its private bus");
    // The triggers tell when the service listens and how often it beats, as on the emulated stage.
    const QString sWatch = CGuestServices::withBus(
        "stdbuf -oL dbus-monitor --session \"type='signal',interface='com.Quorvik.Veltrano.Signals',"
        "member='sigTrigger'\"");
    if (m_pMachine->run("setsid " + sWatch + " </dev/null >/run/vm/triggers.log 2>&1 &").iStatus != 0) {
        return fail("dbus-monitor does not start in the guest");
    }
    return makeStick();
}

bool CMachineStage::startService()
{
    return m_pGuest->startService() || fail(m_pGuest->error());
}

bool CMachineStage::join()
{
    return m_pGuest->join() || fail(m_pGuest->error());
}

bool CMachineStage::plug()
{
    return m_pMachine->plug(STICK, m_sImage) || fail(m_pMachine->error());
}

bool CMachineStage::requestUnmount()
{
    const CVirtualMachine::SResult oResult =
        m_pMachine->run(CGuestServices::onBus("veltrano-usbctl unmount --timeout 20"), 30000);
    m_pPrinter->item("veltrano-usbctl", QString::fromUtf8(oResult.aOutput.trimmed()).split('\n'));
    return oResult.iStatus == 0 || fail("the unmount request did not succeed");
}

bool CMachineStage::pull()
{
    return m_pMachine->pull(STICK) || fail(m_pMachine->error());
}

// The guest's own bound of SIGTERM's wait holds.
bool CMachineStage::stopService(int)
{
    return m_pGuest->stopService() || fail(m_pGuest->error());
}

QStringList CMachineStage::telling(EAct eAct) const
{
    switch (eAct) {
    case EAct::Join:
        return {QString("gdbus in the guest broadcasts sigProcessStart addressed to pid %1, as the core would.")
                    .arg(servicePid())};
    case EAct::Plug:
        return {"QEMU plugs it into the guest's xHCI controller as a USB mass-storage device."};
    case EAct::Unmount:
        return {"veltrano-usbctl in the guest plays the peer: it sets StartUnmountUsbDevice through the core."};
    case EAct::Pull:
        return {"QEMU takes it off the guest's xHCI controller."};
    }
    return {};
}

QString CMachineStage::serviceSetting() const
{
    return "in the guest, on the guest's private bus";
}

qint64 CMachineStage::servicePid() const
{
    return m_pGuest ? m_pGuest->servicePid() : 0;
}

bool CMachineStage::isServiceRunning() const
{
    return m_pGuest && m_pGuest->isServiceRunning();
}

int CMachineStage::serviceExitCode() const
{
    return m_pGuest->serviceExitCode();
}

QStringList CMachineStage::serviceLines() const
{
    return m_pGuest ? m_pGuest->lines() : QStringList();
}

QList<QJsonObject> CMachineStage::events(const QString& sEvent) const
{
    return m_pGuest->events(sEvent);
}

int CMachineStage::triggers(const QString& sPath) const
{
    QFile oLog(m_pMachine->shareDir() + "/triggers.log");
    if (!oLog.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return static_cast<int>(oLog.readAll().count("path=" + sPath.toLatin1() + ";"));
}

QString CMachineStage::stickMount() const
{
    return m_pGuest->stickMount();
}

QStringList CMachineStage::stickFolders() const
{
    return QString::fromUtf8(m_pMachine->run("ls -A /mnt/usbstick/Veltrano").aOutput).split('\n', Qt::SkipEmptyParts);
}

bool CMachineStage::hasKernel() const
{
    return true;
}

QStringList CMachineStage::kernelLines(const QString& sPattern)
{
    const QString sCommand = QString("dmesg | grep -E '%1' | tail -n 6 | sed 's/^\\[ *[0-9.]*\\] //'").arg(sPattern);
    return QString::fromLatin1(m_pMachine->run(sCommand).aOutput.trimmed()).split('\n');
}

bool CMachineStage::triggerChange()
{
    return m_pMachine->run("udevadm trigger --action=change --subsystem-match=block").iStatus == 0
           || fail("udevadm trigger failed in the guest");
}

int CMachineStage::slowness() const
{
    return SLOWNESS;
}

bool CMachineStage::boot()
{
    m_pMachine.reset(new CVirtualMachine(m_sPreparedDir));
    m_pGuest.reset(new CGuestServices(m_pMachine.get()));
    m_pPrinter->text("QEMU with software emulation boots Debian's own kernel package; the guest sees this");
    m_pPrinter->text("machine's root read-only, with its writes kept in memory, and runs the real systemd-udevd.");
    QElapsedTimer oTimer;
    oTimer.start();
    if (!m_pMachine->boot(BOOT_TIMEOUT_MS)) {
        return fail(m_pMachine->error());
    }
    m_pPrinter->item(
        "kernel",
        QString("Linux %1, up after %2 s").arg(m_pMachine->kernelVersion()).arg(oTimer.elapsed() / 1000.0, 0, 'f', 1));
    m_pPrinter->item("udev", QString::fromLatin1(m_pMachine->run("udevadm --version").aOutput.trimmed()));
    return true;
}

bool CMachineStage::makeStick()
{
    const QStringList lEntries = {"Veltrano/update/firmware.bin", "Veltrano/logbook/"};
    m_sImage = m_pMachine->makeStick("mbr-fat32", lEntries);
    if (m_sImage.isEmpty()) {
        return fail("cannot make the stick's image with make-stick");
    }
    m_pPrinter->item("the stick",
                     "a 64 MiB disk image: an MBR partition table, FAT32 in partition 1 (mkfs.vfat, sfdisk)");
    m_pPrinter->item("on it", lEntries);
    return true;
}
