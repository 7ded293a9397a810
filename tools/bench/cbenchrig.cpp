#include "tools/bench/cbenchrig.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <csignal>

namespace {
const char* const STICK_NODE = "/dev/sda";
const int JOIN_TIMEOUT_MS = 15000;
const int STOP_TIMEOUT_MS = 5000;
} // namespace

CBenchRig::CBenchRig(EMode eMode)
    : m_eMode(eMode)
    , m_oStickDir(QDir::tempPath() + "/veltrano-bench-XXXXXX")
{
}

CBenchRig::~CBenchRig()
{
    if (m_pService && m_pService->isRunning()) {
        m_pService->sendSignal(SIGTERM);
        m_pService->waitForExit(STOP_TIMEOUT_MS);
    }
    m_pService.reset();
    m_pSim.reset();
    m_pTriggers.reset();
    m_oWatch = QDBusConnection(QString());
    m_pBus.reset();
    m_pSticks.reset();
}

bool CBenchRig::start()
{
    // Made first, so that every process started later sees its devices and none of the machine's.
    if (m_eMode != EMode::Idle) {
        m_pSticks.reset(new CStickBed);
    }
    m_pBus.reset(new CPrivateBus);
    if (!m_pBus->isRunning()) {
        m_sError = "the private D-Bus daemon did not start";
        return false;
    }
    m_oWatch = m_pBus->connection("bench-watch");
    m_pTriggers.reset(new CSignalRecorder(m_oWatch, "sigTrigger"));
    const QString sStick = makeStickFolder();
    if (sStick.isEmpty()) {
        m_sError = "no temporary folder for the stick";
        return false;
    }

    m_pSim.reset(new CCoreSimProcess(m_pBus->address()));
    if (!m_pSim->start()) {
        m_sError = "veltrano-core-sim did not start";
        return false;
    }
    m_pService.reset(new CServiceProcess(m_pBus->address()));
    // The settings as shipped: no console, warnings and worse to the log file.
    m_pService->setIni(QString());
    m_pService->setSticks(QString("vfat:%1=%2").arg(STICK_NODE, sStick));
    if (m_eMode == EMode::Idle) {
        // The service process adds the mount stand-in, which wraps no call of an idle daemon.
        m_pService->setEnvironment("LD_PRELOAD", QString());
    }
    if (m_eMode == EMode::ShortWait) {
        m_pService->setEnvironment("VELTRANO_SHIM_SLEEP_SECONDS", "0");
    }
    if (!m_pService->start()) {
        m_sError = "veltrano-usb could not be started";
        return false;
    }
    // The first trigger leaves once its subscriptions are in place.
    if (!waitFor([this] { return !m_pTriggers->signalsFrom("/Signals").isEmpty(); }, JOIN_TIMEOUT_MS)) {
        m_sError = "veltrano-usb sent no trigger";
        return false;
    }
    m_pSim->command(QString("start %1").arg(m_pService->pid()));
    if (!waitFor([this] { return m_pSim->hasJoined(); }, JOIN_TIMEOUT_MS)) {
        m_sError = "veltrano-usb did not join";
        return false;
    }
    return true;
}

QString CBenchRig::error() const
{
    return m_sError;
}

qint64 CBenchRig::pid() const
{
    return m_pService->pid();
}

void CBenchRig::plug()
{
    if (m_sStickPath.isEmpty()) {
        m_sStickPath = m_pSticks->addStick(QString(STICK_NODE).section('/', -1));
    } else {
        m_pSticks->uevent(m_sStickPath, "add");
    }
}

bool CBenchRig::plugAndWaitMounted(SCycle* pCycle, int iTimeoutMs)
{
    const int iFrom = publicationCount();
    const qint64 llPlugged = QDateTime::currentMSecsSinceEpoch();
    plug();
    int iDetected = -1;
    qint64 llDetected = 0;
    int iMounted = -1;
    qint64 llMounted = 0;
    const bool bMounted = waitFor(
        [&] {
            return findPublication(iFrom, 1, &iDetected, &llDetected)
                   && findPublication(iDetected, 2, &iMounted, &llMounted);
        },
        iTimeoutMs);
    if (!bMounted) {
        m_sError = "the stick was not detected and mounted in time";
        return false;
    }
    pCycle->dToDetected = static_cast<double>(llDetected - llPlugged);
    pCycle->dToMounted = static_cast<double>(llMounted - llPlugged);
    return true;
}

bool CBenchRig::pullAndWaitCleared(int iTimeoutMs)
{
    const int iFrom = publicationCount();
    m_pSticks->uevent(m_sStickPath, "remove");
    int iCleared = -1;
    qint64 llCleared = 0;
    if (!waitFor([&] { return findPublication(iFrom, 0, &iCleared, &llCleared) && !m_pService->isStickMounted(); },
                 iTimeoutMs)) {
        m_sError = "the pulled stick was not cleared in time";
        return false;
    }
    return true;
}

void CBenchRig::setCoreDelay(int iDelayMs)
{
    m_pSim->command(QString("delay %1").arg(iDelayMs));
}

int CBenchRig::coreCallsSince(qint64 llSinceMs) const
{
    int iCalls = 0;
    for (const QJsonObject& oEvent : m_pSim->events()) {
        const QString sEvent = oEvent.value("event").toString();
        const bool bCall = sEvent.startsWith("setRuntime") || sEvent.startsWith("getRuntime");
        iCalls += bCall && oEvent.value("ms").toInteger() >= llSinceMs ? 1 : 0;
    }
    return iCalls;
}

QList<qint64> CBenchRig::heartbeatsSince(qint64 llSinceMs) const
{
    QList<qint64> lTimes;
    for (const CSignalRecorder::SSignal& oSignal : m_pTriggers->signalsFrom("/")) {
        if (oSignal.llMs >= llSinceMs) {
            lTimes << oSignal.llMs;
        }
    }
    return lTimes;
}

BenchFigures::SMemory CBenchRig::memory() const
{
    QFile oRollup(QString("/proc/%1/smaps_rollup").arg(pid()));
    if (!oRollup.open(QIODevice::ReadOnly)) {
        return BenchFigures::SMemory();
    }
    return BenchFigures::parseSmapsRollup(oRollup.readAll());
}

int CBenchRig::descriptors() const
{
    // Sockets and pipes are links to nothing on disk: System lists them as well.
    const QDir oFds(QString("/proc/%1/fd").arg(pid()));
    if (!oFds.exists()) {
        return -1;
    }
    return static_cast<int>(oFds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

QString CBenchRig::logTail() const
{
    QFile oLog(m_pService->logDir() + "/usb.log");
    if (!oLog.open(QIODevice::ReadOnly)) {
        return QString("(no log file)");
    }
    const QStringList lLines = QString::fromLatin1(oLog.readAll()).split('\n');
    return lLines.mid(qMax<qsizetype>(0, lLines.size() - 20)).join('\n');
}

bool CBenchRig::waitFor(const std::function<bool()>& fDone, int iTimeoutMs)
{
    QElapsedTimer oClock;
    oClock.start();
    while (!fDone()) {
        if (oClock.elapsed() >= iTimeoutMs) {
            return false;
        }
        spend(10);
    }
    return true;
}

void CBenchRig::spend(int iMs)
{
    QEventLoop oLoop;
    QTimer::singleShot(iMs, Qt::PreciseTimer, &oLoop, &QEventLoop::quit);
    oLoop.exec();
}

bool CBenchRig::findPublication(int iFrom, int iState, int* pIndex, qint64* pMs) const
{
    const QList<QJsonObject> lEvents = m_pSim->events("setRuntimeUsb");
    for (int i = qMax(iFrom, 0); i < lEvents.size(); ++i) {
        if (lEvents[i].value("record").toObject().value("UsbDeviceState").toInt() == iState) {
            *pIndex = i;
            *pMs = lEvents[i].value("ms").toInteger();
            return true;
        }
    }
    return false;
}

int CBenchRig::publicationCount() const
{
    return static_cast<int>(m_pSim->events("setRuntimeUsb").size());
}

QString CBenchRig::makeStickFolder()
{
    // Every folder the inspection looks for, so that a cycle logs no warning.
    const QString sFolder = m_oStickDir.filePath("stick");
    if (!m_oStickDir.isValid() || !QDir().mkpath(sFolder + "/Veltrano/update")
        || !QDir().mkpath(sFolder + "/Veltrano/database") || !QDir().mkpath(sFolder + "/Veltrano/logbook")) {
        return QString();
    }
    QFile oUpdate(sFolder + "/Veltrano/update/firmware.img");
    if (!oUpdate.open(QIODevice::WriteOnly) || oUpdate.write("update image\n") < 0) {
        return QString();
    }
    return sFolder;
}
