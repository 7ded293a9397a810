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
const CDemoStage::SSetting SETTING = {"console log on, in a private mount namespace", 1, false};
} // namespace

CEmulatedStage::CEmulatedStage(CStepPrinter* pPrinter)
    : CDemoStage(pPrinter, SETTING)
    , m_oFolders(QDir::tempPath() + "/veltrano-demo-XXXXXX")
    , m_oWatch(QString())
{
}

CEmulatedStage::~CEmulatedStage()
{
    if (m_pService && m_pService->isRunning()) {
        stop(SERVICE_STOP_TIMEOUT_MS);
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

bool CEmulatedStage::act(EAct eAct)
{
    switch (eAct) {
    case EAct::SetUp:
        return setUp();
    case EAct::Start:
        return m_pService->start() || fail("veltrano-usb could not be started");
    case EAct::Join:
        m_pSim->command(QString("start %1").arg(m_pService->pid()));
        return true;
    case EAct::Plug:
        plug();
        return true;
    case EAct::Change:
        return fail("the emulated stage has no kernel to send a change");
    case EAct::Unmount:
        m_pSim->command("unmount");
        return true;
    case EAct::Pull:
        m_pSticks->uevent(m_sStickPath, "remove");
        m_bPlugged = false;
        return true;
    case EAct::Stop:
        return stop(SERVICE_STOP_TIMEOUT_MS);
    }
    return false;
}

QStringList CEmulatedStage::telling(EAct eAct) const
{
    switch (eAct) {
    case EAct::Join:
        return {QString("The simulator broadcasts sigProcessStart addressed to pid %1.").arg(m_pService->pid())};
    case EAct::Plug:
        return {QString("umockdev adds %1 with the udev properties of a USB stick and sends \"add\".").arg(STICK_NODE)};
    case EAct::Unmount:
        return {"The simulator plays the peer: it sets StartUnmountUsbDevice in the shared record and",
                "sends sigRuntimeUsb. The service fetches the record 1 s later and unmounts."};
    case EAct::Pull:
        return {QString("umockdev sends \"remove\" for %1.").arg(STICK_NODE)};
    default:
        return {};
    }
}

CDemoStage::SSeen CEmulatedStage::seen() const
{
    SSeen oSeen;
    if (m_pService) {
        oSeen.iPid = m_pService->pid();
        oSeen.bRunning = m_pService->isRunning();
        oSeen.iExitCode = m_pService->exitCode();
        oSeen.lsLines = m_pService->lines();
    }
    if (m_pSim) {
        oSeen.lEvents = m_pSim->events();
    }
    oSeen.iStartTriggers = m_iStartTriggers;
    oSeen.iHeartbeats = m_iHeartbeats;
    return oSeen;
}

// Read through the service's own namespace, where the stick is mounted.
CDemoStage::SStick CEmulatedStage::stick() const
{
    SStick oStick;
    QFile oMounts(QString("/proc/%1/mounts").arg(m_pService->pid()));
    if (oMounts.open(QIODevice::ReadOnly)) {
        const QStringList lsLines = QString::fromLatin1(oMounts.readAll()).split('\n').filter(" /mnt/usbstick ");
        oStick.sMount = lsLines.isEmpty() ? QString() : lsLines.last();
    }
    const QDir oSeen(QString("/proc/%1/root/mnt/usbstick/Veltrano").arg(m_pService->pid()));
    oStick.lsFolders = oSeen.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    return oStick;
}

bool CEmulatedStage::isPlugged() const
{
    return m_bPlugged;
}

CServiceProcess& CEmulatedStage::process() const
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

bool CEmulatedStage::setUp()
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

    printer()->item("private bus", busAddress().section(",guid=", 0, 0));
    printer()->item("metering core",
                    QString("veltrano-core-sim, pid %1, serves com.Quorvik.Veltrano").arg(m_pSim->pid()));
    printer()->item("emulated stick", QString("%1, vendor Acme, model Stick_sda (not plugged in yet)").arg(STICK_NODE));
    printer()->item("on the stick", {UPDATE_FILE, "Veltrano/database/", "Veltrano/logbook/"});
    const QString sSize = CRecordText::valueText("UsbCapacity", QString(STICK_SIZE).toLongLong());
    printer()->item("its file system",
                    "a tmpfs of " + sSize + " (a \"16 GB\" stick), made inside the service's namespace only");
    return true;
}

void CEmulatedStage::plug()
{
    if (m_sStickPath.isEmpty()) {
        m_sStickPath = m_pSticks->addStick(QString(STICK_NODE).section('/', -1));
    } else {
        m_pSticks->uevent(m_sStickPath, "add");
    }
    m_bPlugged = true;
}

bool CEmulatedStage::stop(int iTimeoutMs)
{
    m_pService->sendSignal(SIGTERM);
    if (m_pService->waitForExit(iTimeoutMs)) {
        return true;
    }
    m_pService->sendSignal(SIGKILL);
    m_pService->waitForExit(iTimeoutMs);
    return fail(QString("the service did not end within %1 s of SIGTERM").arg(iTimeoutMs / 1000));
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
