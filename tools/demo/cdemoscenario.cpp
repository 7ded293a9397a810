#include "tools/demo/cdemoscenario.h"

#include "tools/demo/crecordtext.h"
#include "tools/demo/cstepprinter.h"

#include <QRegularExpression>

namespace {
// Bounds of the steps on the emulated stage: each is a few times what the service needs for it.
const int START_TIMEOUT_MS = 10000;
const int JOIN_TIMEOUT_MS = 15000;
const int DETECT_TIMEOUT_MS = 5000; // polled once a second
const int MOUNT_TIMEOUT_MS = 10000; // 3 s settling before the mount
const int CHANGE_TIMEOUT_MS = 4000; // polled once a second
const int UNMOUNT_TIMEOUT_MS = 6000; // handled 1 s after the request
const int REMOVAL_TIMEOUT_MS = 12000; // polling resumes 5 s after an unmount
const int RESET_TIMEOUT_MS = 8000; // cleared 5 s after the removal
const int STEPS = 9;
const int FAILURE_LINES = 15;
const char* const CHANGED = "USB-Device changed, medium present";

using EAct = CDemoStage::EAct;

int stateOf(const QJsonObject& oRecord)
{
    return oRecord.value("UsbDeviceState").toInt();
}

bool isUnmountedFlag(const QJsonObject& oRecord)
{
    return oRecord.value("UsbDeviceUnmounted").toBool();
}

QJsonObject recordOf(const QJsonObject& oEvent)
{
    return oEvent.value("record").toObject();
}
} // namespace

CDemoScenario::CDemoScenario(CDemoStage* pStage, CStepPrinter* pPrinter)
    : m_pStage(pStage)
    , m_pPrinter(pPrinter)
    , m_iStep(0)
    , m_iSteps(0)
    , m_iLineMark(0)
    , m_iPublicationMark(0)
{
}

int CDemoScenario::run()
{
    m_iSteps = STEPS + (m_pStage->setting().bHasKernel ? 3 : 0);
    const bool bDone =
        bringUp() && step("A stick is plugged in", [this] { return act(EAct::Plug) && plugIn(); })
        && step("The stick is mounted and inspected", [this] { return inspect(); })
        && (!m_pStage->setting().bHasKernel
            || step("udevadm trigger sends a \"change\" for every disk",
                    [this] { return act(EAct::Change) && keepThroughChange(); }))
        && step("A peer asks for the stick to be released", [this] { return act(EAct::Unmount) && releaseOnRequest(); })
        && step("The stick is pulled out", [this] { return act(EAct::Pull) && pullOut(); })
        && step("The unmounted flag is reset", [this] { return resetFlag(); })
        && (!m_pStage->setting().bHasKernel
            || (step("An exFAT stick is plugged in, as sticks of 64 GB and more ship",
                     [this] { return act(EAct::Plug) && plugIn() && inspect() && tellExfat(); })
                && step("The exFAT stick is pulled out", [this] { return act(EAct::Pull) && pullOut(); })))
        && step("The service stops", [this] { return stopService(); });
    return bDone ? 0 : 1;
}

bool CDemoScenario::bringUp()
{
    return step("Setting the stage", [this] { return act(EAct::SetUp); })
           && step("The service starts", [this] { return act(EAct::Start) && startService(); })
           && step("The service joins the running system", [this] { return act(EAct::Join) && joinService(); });
}

QString CDemoScenario::failureText() const
{
    return m_sFailure;
}

bool CDemoScenario::startService()
{
    m_pPrinter->item("veltrano-usb", QString("pid %1, %2").arg(m_pStage->seen().iPid).arg(m_pStage->setting().sWhere));
    if (!await([this] { return m_pStage->seen().iStartTriggers > 0; }, bound(START_TIMEOUT_MS),
               "the service's first sigTrigger on the bus")) {
        return false;
    }
    m_pPrinter->logLines(stepLines({"CUsb::constructor", "readSettingsFromIniFile", "DBus connection is OK"}));
    m_pPrinter->text("It is on the bus (its first sigTrigger from /Signals arrived) and waits for a peer");
    m_pPrinter->text("to take it in; until then it publishes nothing.");
    return true;
}

bool CDemoScenario::joinService()
{
    // Its joining: its version, a read of the shared record, its own record.
    const auto hasJoined = [this] {
        return !m_pStage->events("getRuntimeUsb").isEmpty() && !m_pStage->publications().isEmpty()
               && !m_pStage->events("setRuntimeGeneralNonWM").isEmpty();
    };
    if (!await(hasJoined, bound(JOIN_TIMEOUT_MS),
               "the service's joining (its version, a read of the shared record, its own record)")) {
        return false;
    }
    const QJsonObject oVersions = m_pStage->events("setRuntimeGeneralNonWM").last();
    m_pPrinter->item("version announced",
                     "USB = \"" + oVersions.value("swVersions").toObject().value("USB").toString() + "\"");
    m_pPrinter->item("record published", CRecordText::fieldLines(recordOf(stepPublications().last())));
    const QStringList lsLines =
        stepLines({"onsigProcessStart", "set default values", "Check u_dev", "udev_enumerate", "Thread connected"});
    m_pPrinter->logLines(lsLines);
    if (!lsLines.filter("udev_enumerate_get_list_entry() returns NULL").isEmpty()) {
        m_pPrinter->text("Its start-up scan (\"Check u_dev\") finds no stick: it warns of the empty device list.");
    }
    m_pPrinter->text("From now on a heartbeat thread sends sigTrigger every 0.8 s.");
    return true;
}

bool CDemoScenario::plugIn()
{
    const auto detected = [](const QJsonObject& oRecord) { return stateOf(oRecord) == 1; };
    if (!await([&] { return !stepPublication(detected).isEmpty(); }, bound(DETECT_TIMEOUT_MS),
               "the publication of the detected stick (state 1)")) {
        return false;
    }
    if (m_pStage->setting().bHasKernel) {
        m_pPrinter->item("guest kernel", m_pStage->kernelLines("usb-storage|sd [0-9:]+: \\[sd|sd[a-z]+: sd"));
    }
    showChanges("record now", lastBeforeStep(), recordOf(stepPublication(detected)));
    m_pPrinter->logLines(stepLines({"USB-Device added", "create dir"}));
    m_pPrinter->text("The service polls its udev monitor once a second. It gives a new stick 3 s to");
    m_pPrinter->text("settle before it mounts it.");
    return true;
}

bool CDemoScenario::inspect()
{
    const auto inspected = [](const QJsonObject& oRecord) { return stateOf(oRecord) == 2; };
    if (!await([&] { return !stepPublication(inspected).isEmpty(); }, bound(MOUNT_TIMEOUT_MS),
               "the publication of the mounted stick (state 2)")) {
        return false;
    }
    const QJsonObject oRecord = recordOf(stepPublication(inspected));
    showChanges("record now", lastBeforeStep(), oRecord);
    m_pPrinter->item("capacity", CRecordText::valueText("UsbCapacity", oRecord.value("UsbCapacity")));
    const CDemoStage::SStick oStick = m_pStage->stick();
    m_pPrinter->item("mount", oStick.sMount);
    m_pPrinter->item("service's view", "/mnt/usbstick/Veltrano holds: " + oStick.lsFolders.join(", "));
    // A kernel follows its "add" of a disk with a "change", which the service's next poll takes.
    if (m_pStage->setting().bHasKernel
        && !await([this] { return !m_pStage->seen().lsLines.filter(CHANGED).isEmpty(); }, bound(CHANGE_TIMEOUT_MS),
                  "handling of the kernel's own change event")) {
        return false;
    }
    const QStringList lsLines =
        stepLines({"Update directory exists", "files in Update dir", "Found update file", "Database directory exists",
                   "Log directory exists", "'statvfs' reports", CHANGED},
                  true);
    m_pPrinter->logLines(lsLines);
    // Each failed attempt (whole disk as vfat, partition 1 as vfat, whole disk as ntfs) warns.
    const QString sNode = oRecord.value("UsbDeviceNode").toString();
    const int iFailedMounts = static_cast<int>(lsLines.filter(QRegularExpression("USB +" + sNode)).size());
    if (iFailedMounts == 0) {
        m_pPrinter->text(QString("No mount warnings: the first attempt, %1 as vfat, worked.").arg(sNode));
    } else {
        m_pPrinter->text(
            QString("%1 mount attempt(s) failed before one worked (see the warnings).").arg(iFailedMounts));
    }
    if (m_pStage->setting().bHasKernel) {
        m_pPrinter->text("The kernel followed the disk's \"add\" with a \"change\": its medium is there, so the");
        m_pPrinter->text("stick stays mounted.");
    } else {
        m_pPrinter->text("The mount stand-in made it a bind mount of the prepared folder.");
    }
    return true;
}

bool CDemoScenario::tellExfat()
{
    m_pPrinter->text("udev's probe had found exFAT in partition 1: once the three attempts of old (vfat,");
    m_pPrinter->text("vfat, ntfs) had failed, the service mounted it as exfat.");
    return true;
}

bool CDemoScenario::keepThroughChange()
{
    if (!await([this] { return !stepLines({CHANGED}).isEmpty(); }, bound(CHANGE_TIMEOUT_MS),
               "the service's handling of the change")) {
        return false;
    }
    m_pPrinter->logLines(stepLines({CHANGED}));
    m_pPrinter->item("mount", m_pStage->stick().sMount);
    m_pPrinter->text("As packages and administrators do; the stick stays mounted and the record alone.");
    return true;
}

bool CDemoScenario::releaseOnRequest()
{
    if (!await([this] { return stepPublications().size() >= 3; }, bound(UNMOUNT_TIMEOUT_MS),
               "the three publications of the unmount")) {
        return false;
    }
    const QStringList lsLabels = {"1 of 3, under way", "2 of 3, done", "3 of 3, aux cleared"};
    QJsonObject oBefore = lastBeforeStep();
    const QList<QJsonObject> lEvents = stepPublications();
    for (int i = 0; i < lsLabels.size(); ++i) {
        showChanges(lsLabels[i], oBefore, recordOf(lEvents[i]), "(no field changed: UsbAuxFlag was not set)");
        oBefore = recordOf(lEvents[i]);
    }
    m_pPrinter->item("still mounted", m_pStage->stick().sMount.isEmpty() ? "no" : "yes");
    m_pPrinter->logLines(
        stepLines({"'Signal_sigRuntimeUsb' received", "getStartUnmountUsbDevice", "start 'umount'", "'umount'"}));
    return true;
}

bool CDemoScenario::pullOut()
{
    if (isUnmountedFlag(lastBeforeStep())) {
        m_pPrinter->text("After an unmount the service polls again only 5 s later, so this takes a moment.");
    }
    const auto cleared = [](const QJsonObject& oRecord) { return stateOf(oRecord) == 0 && isUnmountedFlag(oRecord); };
    if (!await([&] { return !stepPublication(cleared).isEmpty(); }, bound(REMOVAL_TIMEOUT_MS),
               "the publication of the cleared record")) {
        return false;
    }
    if (m_pStage->setting().bHasKernel) {
        m_pPrinter->item("guest kernel", m_pStage->kernelLines("USB disconnect"));
    }
    const QJsonObject oCleared = recordOf(stepPublication(cleared));
    showChanges("record now", lastBeforeStep(), oCleared);
    const QString sFlag = CRecordText::valueText("UsbDeviceUnmounted", oCleared.value("UsbDeviceUnmounted"));
    m_pPrinter->item("unmounted flag", "UsbDeviceUnmounted " + sFlag + ": peers can tell the stick is gone");
    const QStringList lsLines = stepLines({"USB-Device removed", "start 'umount'", "'umount'"});
    m_pPrinter->logLines(lsLines);
    m_pPrinter->text(QString("%1 publications: a removal runs the same unmount as a request, then clears the record.")
                         .arg(stepPublications().size()));
    if (!lsLines.filter("failed  errno").isEmpty()) {
        m_pPrinter->text("The peer had the stick released already, so the kernel refuses this second umount;");
        m_pPrinter->text("the record is cleared all the same.");
    }
    return true;
}

bool CDemoScenario::resetFlag()
{
    m_pPrinter->text("Peers see UsbDeviceUnmounted for 5 s after a removal; then the service clears it.");
    const auto reset = [](const QJsonObject& oRecord) { return !isUnmountedFlag(oRecord); };
    if (!await([&] { return !stepPublication(reset).isEmpty(); }, bound(RESET_TIMEOUT_MS),
               "the publication that clears UsbDeviceUnmounted")) {
        return false;
    }
    const QJsonObject oReset = stepPublication(reset);
    showChanges("record now", lastBeforeStep(), recordOf(oReset));
    // The removal's last publication, the cleared record, came just before this step.
    const QJsonObject oCleared = m_pStage->publications().at(m_iPublicationMark - 1);
    const double dShown = oReset.value("ms").toDouble() - oCleared.value("ms").toDouble();
    m_pPrinter->item("flag shown for", QString("%1 s").arg(dShown / 1000.0, 0, 'f', 2));
    m_pPrinter->logLines(stepLines({"ResetUSBFlag"}));
    return true;
}

bool CDemoScenario::stopService()
{
    m_pPrinter->text("SIGTERM, as at shut-down. It leaves the stick alone and ends with status 0.");
    if (!act(EAct::Stop)) {
        return false;
    }
    const CDemoStage::SSeen oSeen = m_pStage->seen();
    m_pPrinter->item("exit status", QString::number(oSeen.iExitCode));
    m_pPrinter->item("heartbeats seen", QString("%1 sigTrigger from / on the bus").arg(oSeen.iHeartbeats));
    m_pPrinter->logLines(stepLines({"SIGTERM"}));
    if (oSeen.iExitCode != 0) {
        return failure(QString("the service ended with status %1").arg(oSeen.iExitCode));
    }
    return true;
}

bool CDemoScenario::step(const QString& sTitle, const std::function<bool()>& fStep)
{
    ++m_iStep;
    const QString sNumber = m_iSteps > 0 ? QString("%1/%2").arg(m_iStep).arg(m_iSteps) : QString::number(m_iStep);
    m_pPrinter->heading(sNumber + "  " + sTitle);
    if (m_iStep > 1) {
        m_iLineMark = static_cast<int>(m_pStage->seen().lsLines.size());
        m_iPublicationMark = static_cast<int>(m_pStage->publications().size());
    }
    if (!fStep()) {
        return false;
    }
    m_pPrinter->stepDone();
    return true;
}

bool CDemoScenario::act(EAct eAct)
{
    for (const QString& sLine : m_pStage->telling(eAct)) {
        m_pPrinter->text(sLine);
    }
    return m_pStage->act(eAct) || failure(m_pStage->error());
}

bool CDemoScenario::failure(const QString& sWhy)
{
    m_sFailure = sWhy;
    m_pPrinter->failure(m_sFailure);
    return false;
}

int CDemoScenario::bound(int iTimeoutMs) const
{
    return iTimeoutMs * m_pStage->setting().iSlowness;
}

bool CDemoScenario::await(const std::function<bool()>& fDone, int iTimeoutMs, const QString& sWhat)
{
    if (m_pStage->waitUntil(fDone, iTimeoutMs)) {
        return true;
    }
    if (m_pStage->isInterrupted()) {
        m_sFailure = "interrupted";
        m_pPrinter->plain(m_pPrinter->stamp() + " interrupted");
        return false;
    }
    const CDemoStage::SSeen oSeen = m_pStage->seen();
    if (!oSeen.bRunning) {
        failure(QString("step %1: the service ended unexpectedly (status %2) while waiting for %3")
                    .arg(m_iStep)
                    .arg(oSeen.iExitCode)
                    .arg(sWhat));
    } else {
        failure(QString("step %1: %2 did not happen within %3 s").arg(m_iStep).arg(sWhat).arg(iTimeoutMs / 1000));
    }
    m_pPrinter->logLines(oSeen.lsLines.mid(qMax(0, static_cast<int>(oSeen.lsLines.size()) - FAILURE_LINES)));
    return false;
}

QStringList CDemoScenario::stepLines(const QStringList& lsNeedles, bool bWithWarnings) const
{
    QStringList lsPicked;
    const QStringList lsLines = m_pStage->seen().lsLines.mid(m_iLineMark);
    for (const QString& sLine : lsLines) {
        bool bPick = bWithWarnings && sLine.contains(" W: ");
        for (const QString& sNeedle : lsNeedles) {
            bPick = bPick || sLine.contains(sNeedle);
        }
        if (bPick) {
            lsPicked << sLine;
        }
    }
    return lsPicked;
}

QList<QJsonObject> CDemoScenario::stepPublications() const
{
    return m_pStage->publications().mid(m_iPublicationMark);
}

QJsonObject CDemoScenario::stepPublication(const std::function<bool(const QJsonObject&)>& fMatch) const
{
    for (const QJsonObject& oEvent : stepPublications()) {
        if (fMatch(recordOf(oEvent))) {
            return oEvent;
        }
    }
    return QJsonObject();
}

QJsonObject CDemoScenario::lastBeforeStep() const
{
    const QList<QJsonObject> lEvents = m_pStage->publications();
    return m_iPublicationMark > 0 ? recordOf(lEvents[m_iPublicationMark - 1]) : QJsonObject();
}

void CDemoScenario::showChanges(const QString& sLabel, const QJsonObject& oBefore, const QJsonObject& oAfter,
                                const QString& sNoChange)
{
    const QStringList lsChanges = CRecordText::changeLines(oBefore, oAfter);
    m_pPrinter->item(sLabel, lsChanges.isEmpty() ? QStringList {sNoChange} : lsChanges);
}
