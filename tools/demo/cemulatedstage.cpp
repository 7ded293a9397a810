#include "tools/demo/cemulatedstage.h"

#include "tools/demo/crecordtext.h"
#include "tools/demo/cstepprinter.h"
#include "tools/standin/ccoresimprocess.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/cserviceprocess.h"
#include "tools/standin/cstickbed.h"

#include <QDir>
#include <QFile>

#include <csignal>

const char* const CEmulatedStage::STICK_NODE = "/dev/sda";
const char* const CEmulatedStage::UPDATE_FILE = "Veltrano/update/firmware-2.4.1.img";
// The emulated disk's own size (31277232 sectors of 512 bytes), as a "16 GB" stick has.
const char* const CEmulatedStage::STICK_SIZE = "16013942784";

namespace {
const char* const SIGNALS_INTERFACE = "com.Quorvik.Veltrano.Signals";
const int SIM_QUIT_TIMEOUT_MS = 3000;
const int SERVICE_STOP_TIMEOUT_MS = 5000;
} // namespace

CEmulatedStage::CEmulatedStage()
    : m_oFolders(QDir::tempPath() + "/veltrano-demo-XXXXXX")
    , m_oWatch(QString())
    , m_bPlugged(false)
    , m_iStartTriggers(0)
    , m_iHeartbeats(0)
{
}

CEmulatedStage::~CEmulatedStage()
{
    if (m_pService && m_pService->isRunning()) {
        stopService(SERVICE_STOP_TIMEOUT_MS);
    }
    m_pService.reset();
    if (m_pSim) {
        m_pSim->command("quit");
        waitFor([this] { return !m_pSim->events("exit").isEmpty(); }, SIM_QUIT_TIMEOUT_MS, false);
    }
    m_pSim.reset();
    m_oWatch = QDBusConnection(QString());
    m_pBus.reset();
    m_pSticks.reset();
}

bool CEmulatedStage::setUp(CStepPrinter* pPrinter)
{
    // Made first, so that every process started later sees its devices and none of the machine's.
    m_pSticks.reset(new CStickBed);
    m_pBus.reset(new CPrivateBus);
    if (!m_pBus->isRunning()) {
        return fail("the private D-Bus daemon did not start");
    }
    m_oWatch = m_pBus->connection("demo-watch");
    m_oWatch.connect(QString(), QString(), SIGNALS_INTERFACE, "sigTrigger", this, SLOT(onTrigger(QDBusMessage)));
    if (!m_oFolders.isValid() || !QDir().mkpath(stickFolder())) {
        return fail("no temporary folder for the stick: " + m_oFolders.errorString());
    }

    m_pSim.reset(new CCoreSimProcess(busAddress()));
    connect(m_pSim.get(), &CCoreSimProcess::eventReceived, this, &CDemoStage::changed);
    if (!m_pSim->start()) {
        return fail("veltrano-core-sim did not start serving on the private bus");
    }

    m_pService.reset(new CServiceProcess(busAddress()));
    m_pService->setSticks(QString("vfat:%1=%2").arg(STICK_NODE, stickFolder()));
    m_pService->setPrepareCommand(prepareCommand());
    connect(m_pService.get(), &CServiceProcess::lineReceived, this, &CDemoStage::changed);
    connect(m_pService.get(), &CServiceProcess::finished, this, &CDemoStage::changed);

    pPrinter->item("private bus", busAddress().section(",guid=", 0, 0));
    pPrinter->item("metering core",
                   QString("veltrano-core-sim, pid %1, serves com.Quorvik.Veltrano").arg(m_pSim->pid()));
    pPrinter->item("emulated stick", QString("%1, vendor Acme, model Stick_sda (not plugged in yet)").arg(STICK_NODE));
    pPrinter->item("on the stick", {UPDATE_FILE, "Veltrano/database/", "Veltrano/logbook/"});
    const QString sSize = CRecordText::valueText("UsbCapacity", QString(STICK_SIZE).toLongLong());
    pPrinter->item("its file system",
                   "a tmpfs of " + sSize + " (a \"16 GB\" stick), made inside the service's namespace only");
    return true;
}

bool CEmulatedStage::startService()
{
    return m_pService->start() || fail("veltrano-usb could not be started");
}

bool CEmulatedStage::join()
{
    m_pSim->command(QString("start %1").arg(m_pService->pid()));
    return true;
}

bool CEmulatedStage::plug()
{
    if (m_sStickPath.isEmpty()) {
        m_sStickPath = m_pSticks->addStick(QString(STICK_NODE).section('/', -1));
    } else {
        m_pSticks->uevent(m_sStickPath, "add");
    }
    m_bPlugged = true;
    return true;
}

bool CEmulatedStage::requestUnmount()
{
    m_pSim->command("unmount");
    return true;
}

bool CEmulatedStage::pull()
{
    m_pSticks->uevent(m_sStickPath, "remove");
    m_bPlugged = false;
    return true;
}

bool CEmulatedStage::stopService(int iTimeoutMs)
{
    m_pService->sendSignal(SIGTERM);
    if (m_pService->waitForExit(iTimeoutMs)) {
        return true;
    }
    m_pService->sendSignal(SIGKILL);
    m_pService->waitForExit(iTimeoutMs);
    return fail(QString("the service did not end within %1 s of SIGTERM").arg(iTimeoutMs / 1000));
}

QStringList CEmulatedStage::telling(EAct eAct) const
{
    switch (eAct) {
    case EAct::Join:
        return {QString("The simulator broadcasts sigProcessStart addressed to pid %1.").arg(servicePid())};
    case EAct::Plug:
        return {QString("umockdev adds %1 with the udev properties of a USB stick and sends \"add\".").arg(STICK_NODE)};
    case EAct::Unmount:
        return {"The simulator plays the peer: it sets StartUnmountUsbDevice in the shared record and",
                "sends sigRuntimeUsb. The service fetches the record 1 s later and unmounts."};
    case EAct::Pull:
        return {QString("umockdev sends \"remove\" for %1.").arg(STICK_NODE)};
    }
    return {};
}

QString CEmulatedStage::serviceSetting() const
{
    return "console log on, in a private mount namespace";
}

qint64 CEmulatedStage::servicePid() const
{
    return m_pService ? m_pService->pid() : 0;
}

bool CEmulatedStage::isServiceRunning() const
{
    return m_pService && m_pService->isRunning();
}

int CEmulatedStage::serviceExitCode() const
{
    return m_pService->exitCode();
}

QStringList CEmulatedStage::serviceLines() const
{
    return m_pService ? m_pService->lines() : QStringList();
}

QList<QJsonObject> CEmulatedStage::events(const QString& sEvent) const
{
    return m_pSim->events(sEvent);
}

int CEmulatedStage::triggers(const QString& sPath) const
{
    return sPath == "/Signals" ? m_iStartTriggers : m_iHeartbeats;
}

QString CEmulatedStage::stickMount() const
{
    QFile oMounts(QString("/proc/%1/mounts").arg(servicePid()));
    if (!oMounts.open(QIODevice::ReadOnly)) {
        return QString();
    }
    const QStringList lLines = QString::fromLatin1(oMounts.readAll()).split('\n').filter(" /mnt/usbstick ");
    return lLines.isEmpty() ? QString() : lLines.last();
}

QStringList CEmulatedStage::stickFolders() const
{
    const QDir oSeen(QString("/proc/%1/root/mnt/usbstick/Veltrano").arg(servicePid()));
    return oSeen.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

bool CEmulatedStage::isPlugged() const
{
    return m_bPlugged;
}

CServiceProcess& CEmulatedStage::service() const
{
    return *m_pService;
}

CCoreSimProcess& CEmulatedStage::sim() const
{
    return *m_pSim;
}

void CEmulatedStage::onTrigger(const QDBusMessage& oMessage)
{
    if (oMessage.path() == "/Signals") {
        ++m_iStartTriggers;
    } else {
        ++m_iHeartbeats;
    }
    emit changed();
}

QString CEmulatedStage::busAddress() const
{
    return m_pBus->address();
}

QString CEmulatedStage::stickFolder() const
{
    return m_oFolders.filePath("stick");
}

// Run inside the service's namespace: the tmpfs gives the stick a real size and vanishes
// with the namespace, so nothing of it is left on the machine.
QString CEmulatedStage::prepareCommand() const
{
    const QString sFolder = "'" + stickFolder() + "'";
    return QString(
               "mount -t tmpfs -o size=%1 demo-stick %2 && mkdir -p %2/Veltrano/update %2/Veltrano/database "
               "%2/Veltrano/logbook && echo 'demo update image' > %2/%3")
        .arg(STICK_SIZE, sFolder, UPDATE_FILE);
}
