#include "tools/demo/cemulatedstage.h"

#include "tools/standin/ccoresimprocess.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/cserviceprocess.h"
#include "tools/standin/cstickbed.h"

#include <QDir>
#include <QEventLoop>
#include <QTimer>

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
    , m_bInterrupted(false)
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

bool CEmulatedStage::setUp()
{
    // Made first, so that every process started later sees its devices and none of the machine's.
    m_pSticks.reset(new CStickBed);
    m_pBus.reset(new CPrivateBus);
    if (!m_pBus->isRunning()) {
        m_sError = "the private D-Bus daemon did not start";
        return false;
    }
    m_oWatch = m_pBus->connection("demo-watch");
    m_oWatch.connect(QString(), QString(), SIGNALS_INTERFACE, "sigTrigger", this, SLOT(onTrigger(QDBusMessage)));
    if (!m_oFolders.isValid() || !QDir().mkpath(stickFolder())) {
        m_sError = "no temporary folder for the stick: " + m_oFolders.errorString();
        return false;
    }

    m_pSim.reset(new CCoreSimProcess(busAddress()));
    connect(m_pSim.get(), &CCoreSimProcess::eventReceived, this, &CEmulatedStage::changed);
    if (!m_pSim->start()) {
        m_sError = "veltrano-core-sim did not start serving on the private bus";
        return false;
    }

    m_pService.reset(new CServiceProcess(busAddress()));
    m_pService->setSticks(QString("vfat:%1=%2").arg(STICK_NODE, stickFolder()));
    m_pService->setPrepareCommand(prepareCommand());
    connect(m_pService.get(), &CServiceProcess::lineReceived, this, &CEmulatedStage::changed);
    connect(m_pService.get(), &CServiceProcess::finished, this, &CEmulatedStage::changed);
    return true;
}

bool CEmulatedStage::startService()
{
    if (!m_pService->start()) {
        m_sError = "veltrano-usb could not be started";
        return false;
    }
    return true;
}

QString CEmulatedStage::error() const
{
    return m_sError;
}

bool CEmulatedStage::waitUntil(const std::function<bool()>& fDone, int iTimeoutMs)
{
    return waitFor(fDone, iTimeoutMs, true);
}

bool CEmulatedStage::waitFor(const std::function<bool()>& fDone, int iTimeoutMs, bool bInterruptible)
{
    const bool bServiceRunning = m_pService && m_pService->isRunning();
    const auto isOver = [&] {
        return fDone() || (bInterruptible && m_bInterrupted) || (bServiceRunning && !m_pService->isRunning());
    };
    if (isOver()) {
        return fDone();
    }
    QEventLoop oLoop;
    QTimer oDeadline;
    oDeadline.setSingleShot(true);
    connect(&oDeadline, &QTimer::timeout, &oLoop, &QEventLoop::quit);
    connect(this, &CEmulatedStage::changed, &oLoop, [&] {
        if (isOver()) {
            oLoop.quit();
        }
    });
    oDeadline.start(iTimeoutMs);
    oLoop.exec();
    return fDone();
}

void CEmulatedStage::interrupt()
{
    m_bInterrupted = true;
    emit changed();
}

bool CEmulatedStage::isInterrupted() const
{
    // Ctrl-C reaches the whole process group: the service may have seen it before the demo.
    return m_bInterrupted || (m_pService && m_pService->count("Signal SIGINT received") > 0);
}

void CEmulatedStage::join()
{
    m_pSim->command(QString("start %1").arg(m_pService->pid()));
}

bool CEmulatedStage::hasJoined() const
{
    return m_pSim->hasJoined();
}

bool CEmulatedStage::isListening() const
{
    return m_iStartTriggers > 0;
}

int CEmulatedStage::heartbeats() const
{
    return m_iHeartbeats;
}

bool CEmulatedStage::isPlugged() const
{
    return m_bPlugged;
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

void CEmulatedStage::pull()
{
    m_pSticks->uevent(m_sStickPath, "remove");
    m_bPlugged = false;
}

void CEmulatedStage::requestUnmount()
{
    m_pSim->command("unmount");
}

bool CEmulatedStage::stopService(int iTimeoutMs)
{
    m_pService->sendSignal(SIGTERM);
    if (m_pService->waitForExit(iTimeoutMs)) {
        return true;
    }
    m_pService->sendSignal(SIGKILL);
    m_pService->waitForExit(iTimeoutMs);
    return false;
}

CServiceProcess& CEmulatedStage::service() const
{
    return *m_pService;
}

CCoreSimProcess& CEmulatedStage::sim() const
{
    return *m_pSim;
}

QString CEmulatedStage::busAddress() const
{
    return m_pBus->address();
}

QString CEmulatedStage::stickFolder() const
{
    return m_oFolders.filePath("stick");
}

QList<QJsonObject> CEmulatedStage::publications() const
{
    return m_pSim->publications();
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
