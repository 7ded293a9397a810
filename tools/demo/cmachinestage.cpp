#include "tools/demo/cmachinestage.h"

#include "tools/demo/crecordtext.h"
#include "tools/demo/cstepprinter.h"
#include "tools/vm/cguestservices.h"
#include "tools/vm/cvirtualmachine.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QThread>

namespace {
// Bounds of the steps, generous for an emulated machine on a busy host.
const int BOOT_TIMEOUT_MS = 180000;
const int DETECT_TIMEOUT_MS = 15000;
const int MOUNT_TIMEOUT_MS = 30000;
const int CHANGE_TIMEOUT_MS = 10000;
const int REMOVAL_TIMEOUT_MS = 20000;
const int RESET_TIMEOUT_MS = 15000;
const int STEPS = 7;
const char* const STICK = "stick";

int stateOf(const QJsonObject& oRecord)
{
    return oRecord.value("UsbDeviceState").toInt();
}
} // namespace

CMachineStage::CMachineStage(const QString& sPreparedDir, CStepPrinter* pPrinter)
    : m_sPreparedDir(sPreparedDir)
    , m_pPrinter(pPrinter)
{
}

CMachineStage::~CMachineStage() = default;

int CMachineStage::run()
{
    const bool bDone =
        boot() && startServices() && plugIn() && mounted() && keptThroughChange() && releaseOnRequest() && pullOut();
    return bDone ? 0 : 1;
}

QString CMachineStage::failureText() const
{
    return m_sFailure;
}

void CMachineStage::interrupt()
{
    m_bInterrupted = true;
}

bool CMachineStage::boot()
{
    begin("Booting a real kernel");
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
    m_pPrinter->stepDone();
    return true;
}

bool CMachineStage::startServices()
{
    begin("The metering core and the service start in the guest, and the service joins");
    if (!m_pGuest->startCore() || !m_pGuest->startService() || !m_pGuest->join()) {
        return fail(m_pGuest->error());
    }
    m_pPrinter->item("veltrano-usb",
                     QString("pid %1 in the guest, on the guest's private bus").arg(m_pGuest->servicePid()));
    m_pPrinter->item("metering core", "veltrano-core-sim, serves com.Quorvik.Veltrano");
    m_pPrinter->logLines(stepLines({"DBus connection is OK", "onsigProcessStart", "Check u_dev"}));
    m_pPrinter->stepDone();
    return true;
}

bool CMachineStage::plugIn()
{
    begin("A FAT32 stick is plugged in");
    const QStringList lEntries = {"Veltrano/update/firmware.bin", "Veltrano/logbook/"};
    const QString sImage = m_pMachine->makeStick("mbr-fat32", lEntries);
    if (sImage.isEmpty()) {
        return fail("cannot make the stick's image with make-stick");
    }
    m_pPrinter->item("the stick",
                     "a 64 MiB disk image: an MBR partition table, FAT32 in partition 1 (mkfs.vfat, sfdisk)");
    m_pPrinter->item("on it", lEntries);
    const QJsonObject oBefore = m_pGuest->lastRecord();
    if (!m_pMachine->plug(STICK, sImage)) {
        return fail(m_pMachine->error());
    }
    m_pPrinter->text("QEMU plugs it into the guest's xHCI controller as a USB mass-storage device.");
    if (!await([this] { return stateOf(m_pGuest->lastRecord()) == 1; }, DETECT_TIMEOUT_MS,
               "the publication of the detected stick (state 1)")) {
        return false;
    }
    m_pPrinter->item("guest kernel", kernelLines("usb-storage|sd [0-9:]+: \\[sd|sd[a-z]+: sd"));
    showChanges(oBefore);
    m_pPrinter->logLines(stepLines({"USB-Device added"}));
    m_pPrinter->stepDone();
    return true;
}

bool CMachineStage::mounted()
{
    begin("The stick is mounted and inspected");
    const QJsonObject oBefore = m_pGuest->lastRecord();
    if (!await([this] { return stateOf(m_pGuest->lastRecord()) == 2; }, MOUNT_TIMEOUT_MS,
               "the publication of the mounted stick (state 2)")) {
        return false;
    }
    m_pPrinter->item("/proc/mounts", m_pGuest->stickMount());
    showChanges(oBefore);
    m_pPrinter->text("The whole disk is no FAT file system (the kernel says EINVAL); partition 1 is.");
    // The kernel follows its "add" of a disk with a "change", which the next tick takes.
    if (!await([this] { return !m_pGuest->linesWith("USB-Device changed").isEmpty(); }, CHANGE_TIMEOUT_MS,
               "handling of the kernel's own change event")) {
        return false;
    }
    m_pPrinter->logLines(
        stepLines({"Found update file", "Log directory exists", "'statvfs' reports", "USB-Device changed"}));
    m_pPrinter->text("The kernel followed the disk's \"add\" with a \"change\": its medium is there, so the");
    m_pPrinter->text("stick stays mounted.");
    m_pPrinter->stepDone();
    return true;
}

bool CMachineStage::keptThroughChange()
{
    begin("udevadm trigger sends a \"change\" for every disk");
    const int iChanges = static_cast<int>(m_pGuest->linesWith("USB-Device changed, medium present").size());
    m_pMachine->run("udevadm trigger --action=change --subsystem-match=block");
    const auto hasSeen = [this, iChanges] {
        return m_pGuest->linesWith("USB-Device changed, medium present").size() > iChanges;
    };
    if (!await(hasSeen, CHANGE_TIMEOUT_MS, "the service's handling of the change")) {
        return false;
    }
    m_pPrinter->logLines(stepLines({"USB-Device changed"}));
    m_pPrinter->item("/proc/mounts", m_pGuest->stickMount());
    m_pPrinter->text("As packages and administrators do; the stick stays mounted and the record alone.");
    m_pPrinter->stepDone();
    return true;
}

bool CMachineStage::releaseOnRequest()
{
    begin("A peer asks for the stick to be released");
    m_pPrinter->text("veltrano-usbctl in the guest plays the peer: it sets StartUnmountUsbDevice through the core.");
    const QJsonObject oBefore = m_pGuest->lastRecord();
    const CVirtualMachine::SResult oResult =
        m_pMachine->run(CGuestServices::onBus("veltrano-usbctl unmount --timeout 20"), 30000);
    m_pPrinter->item("veltrano-usbctl", QString::fromUtf8(oResult.aOutput.trimmed()).split('\n'));
    if (oResult.iStatus != 0) {
        return fail("the unmount request did not succeed");
    }
    m_pPrinter->item("/proc/mounts",
                     m_pGuest->stickMount().isEmpty() ? "nothing at /mnt/usbstick" : m_pGuest->stickMount());
    showChanges(oBefore);
    m_pPrinter->logLines(stepLines({"umount"}));
    m_pPrinter->stepDone();
    return true;
}

bool CMachineStage::pullOut()
{
    begin("The stick is pulled out");
    const QJsonObject oBefore = m_pGuest->lastRecord();
    if (!m_pMachine->pull(STICK)) {
        return fail(m_pMachine->error());
    }
    if (!await([this] { return stateOf(m_pGuest->lastRecord()) == 0; }, REMOVAL_TIMEOUT_MS,
               "the publication of the cleared record (state 0)")) {
        return false;
    }
    m_pPrinter->item("guest kernel", kernelLines("USB disconnect"));
    showChanges(oBefore);
    m_pPrinter->logLines(stepLines({"USB-Device removed"}));
    m_pPrinter->text("The stick was released already, so the removal's umount finds nothing mounted (EINVAL).");
    const QJsonObject oCleared = m_pGuest->lastRecord();
    if (!await([this] { return !m_pGuest->lastRecord().value("UsbDeviceUnmounted").toBool(); }, RESET_TIMEOUT_MS,
               "the unmounted flag's reset")) {
        return false;
    }
    m_pPrinter->text("Five seconds later the service clears UsbDeviceUnmounted again:");
    showChanges(oCleared);
    m_pPrinter->stepDone();
    return true;
}

void CMachineStage::begin(const QString& sTitle)
{
    m_pPrinter->heading(QString("Step %1 of %2: %3").arg(++m_iStep).arg(STEPS).arg(sTitle));
    m_iLineMark = m_pGuest ? static_cast<int>(m_pGuest->lines().size()) : 0;
}

bool CMachineStage::await(const std::function<bool()>& fDone, int iTimeoutMs, const QString& sWhat)
{
    const QDeadlineTimer oDeadline(iTimeoutMs);
    while (!fDone() && !oDeadline.hasExpired() && !m_bInterrupted) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        QThread::msleep(100);
    }
    return fDone() || fail(m_bInterrupted ? "interrupted" : "no " + sWhat + " in time");
}

bool CMachineStage::fail(const QString& sWhat)
{
    m_sFailure = sWhat;
    m_pPrinter->failure(sWhat);
    if (m_pGuest) {
        m_pPrinter->logLines(m_pGuest->lines().mid(m_iLineMark).mid(0, 15));
    }
    return false;
}

QStringList CMachineStage::stepLines(const QStringList& lsNeedles) const
{
    QStringList lsLines;
    for (const QString& sLine : m_pGuest->lines().mid(m_iLineMark)) {
        bool bWanted = sLine.contains(" W: ");
        for (const QString& sNeedle : lsNeedles) {
            bWanted = bWanted || sLine.contains(sNeedle);
        }
        if (bWanted) {
            lsLines << sLine;
        }
    }
    return lsLines;
}

void CMachineStage::showChanges(const QJsonObject& oBefore)
{
    const QStringList lsChanges = CRecordText::changeLines(oBefore, m_pGuest->lastRecord());
    m_pPrinter->item("record now", lsChanges.isEmpty() ? QStringList {"(no field changed)"} : lsChanges);
}

QStringList CMachineStage::kernelLines(const QString& sPattern)
{
    const QString sCommand = QString("dmesg | grep -E '%1' | tail -n 6 | sed 's/^\\[ *[0-9.]*\\] //'").arg(sPattern);
    return QString::fromLatin1(m_pMachine->run(sCommand).aOutput.trimmed()).split('\n');
}
