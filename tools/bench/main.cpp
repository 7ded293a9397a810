// veltrano-bench: system calls, memory and descriptors of the idle veltrano-usb, its heartbeat
// while a slow core blocks the main thread, stick latencies, and a soak of plug cycles, printed
// as a table. Runs under umockdev-wrapper, as root (scripts/bench does both); the idle daemon
// alone is started without umockdev's preload.

#include "tools/bench/benchfigures.h"
#include "tools/bench/cbenchrig.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSysInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

using BenchFigures::SMemory;
using BenchFigures::SSummary;

namespace {
// Lets the joining's last calls and the first heartbeats pass before anything is measured.
const int SETTLE_MS = 2000;
const int SLOW_CORE_DELAY_MS = 5000;
const int SLOW_CORE_WINDOW_MS = 20000;
const int MOUNT_TIMEOUT_MS = 15000;
const int CLEAR_TIMEOUT_MS = 10000;
const int STRACE_ATTACH_MS = 500;
const int EARLY_CYCLES = 20;
const int POLL_INTERVAL_MS = 1000;

const char* const IDLE = "no emulated devices, no umockdev preload";
const char* const REAL_WAIT = "real 3 s wait";
const char* const SHORT_WAIT = "short wait";

struct SOptions
{
    // Twice EARLY_CYCLES, so that even the default soak shows what grows after the warm-up.
    int iCycles = 40;
    int iLatencyCycles = 10;
    int iIdleSeconds = 30;
};

void say(const QString& sLine = QString())
{
    std::printf("%s\n", qPrintable(sLine));
    std::fflush(stdout);
}

void progress(const QString& sLine)
{
    std::fprintf(stderr, "veltrano-bench: %s\n", qPrintable(sLine));
}

// The daemon has three threads: its main thread, the heartbeat thread (a plain QThread, the
// only one it starts) and the thread Qt's D-Bus module runs the connections on.
QString threadName(qint64 llPid, int iTid)
{
    if (iTid == llPid) {
        return "main";
    }
    QFile oComm(QString("/proc/%1/task/%2/comm").arg(llPid).arg(iTid));
    const QString sComm = oComm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(oComm.readAll()).trimmed() : "?";
    if (sComm == "QThread") {
        return "heartbeat";
    }
    if (sComm == "QDBusConnection") {
        return "D-Bus";
    }
    return sComm;
}

// "12 select, 8 ppoll": the most frequent calls first.
QString callNames(const QMap<QByteArray, int>& mNames)
{
    QList<QPair<int, QByteArray>> lByCount;
    for (auto it = mNames.cbegin(); it != mNames.cend(); ++it) {
        lByCount << qMakePair(it.value(), it.key());
    }
    std::sort(lByCount.begin(), lByCount.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    QStringList lParts;
    for (const auto& oEntry : lByCount) {
        lParts << QString("%1 %2").arg(oEntry.first).arg(QString::fromLatin1(oEntry.second));
    }
    return lParts.join(", ");
}

// Every thread of the daemon traced at once for that long; false if strace could not attach.
bool measureIdleCalls(const CBenchRig& oRig, int iSeconds)
{
    QTemporaryDir oDir;
    const QString sOutput = oDir.filePath("strace.out");
    QProcess oStrace;
    QProcessEnvironment oEnvironment = QProcessEnvironment::systemEnvironment();
    // strace reads the real /proc; the emulated devices are for the daemon alone.
    oEnvironment.remove("LD_PRELOAD");
    oStrace.setProcessEnvironment(oEnvironment);
    oStrace.setProcessChannelMode(QProcess::ForwardedChannels);
    oStrace.start("strace", QStringList {"-qq", "-f", "-ttt", "-o", sOutput, "-p", QString::number(oRig.pid())});
    if (!oStrace.waitForStarted(5000)) {
        say("  strace could not be started");
        return false;
    }
    // Counted from after the attach, which stops each thread once.
    CBenchRig::spend(STRACE_ATTACH_MS);
    const double dFrom = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    CBenchRig::spend(iSeconds * 1000);
    const double dTo = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    const double dSeconds = dTo - dFrom;
    ::kill(static_cast<pid_t>(oStrace.processId()), SIGINT);
    oStrace.waitForFinished(5000);
    QFile oFile(sOutput);
    if (!oFile.open(QIODevice::ReadOnly) || oFile.size() == 0) {
        say("  strace wrote nothing (could it attach?)");
        return false;
    }

    const QMap<int, QMap<QByteArray, int>> mCalls = BenchFigures::countSystemCalls(oFile.readAll(), dFrom, dTo);
    say(QString("  %1  %2  %3  %4  %5")
            .arg("thread", -9)
            .arg("tid", 7)
            .arg("calls", 6)
            .arg("per second", 10)
            .arg("which"));
    int iTotal = 0;
    for (const QString& sTid :
         QDir(QString("/proc/%1/task").arg(oRig.pid())).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const int iTid = sTid.toInt();
        int iCalls = 0;
        for (int iCount : mCalls.value(iTid)) {
            iCalls += iCount;
        }
        iTotal += iCalls;
        say(QString("  %1  %2  %3  %4  %5")
                .arg(threadName(oRig.pid(), iTid), -9)
                .arg(iTid, 7)
                .arg(iCalls, 6)
                .arg(iCalls / dSeconds, 10, 'f', 2)
                .arg(callNames(mCalls.value(iTid))));
    }
    say(QString("  %1  %2  %3  %4").arg("all", -9).arg("", 7).arg(iTotal, 6).arg(iTotal / dSeconds, 10, 'f', 2));
    say(QString("  (%1 s traced)").arg(dSeconds, 0, 'f', 1));
    return true;
}

QString kib(qint64 llKiB)
{
    return QString("%1 KiB").arg(llKiB);
}

QString signedKib(qint64 llKiB)
{
    return QString("%1%2 KiB").arg(llKiB > 0 ? "+" : "").arg(llKiB);
}

void sayMemory(const QString& sWhen, const SMemory& oMemory, int iDescriptors)
{
    say(QString("  %1  %2  %3  %4  %5  %6")
            .arg(sWhen, -22)
            .arg(kib(oMemory.llRss), 10)
            .arg(kib(oMemory.llPss), 10)
            .arg(kib(oMemory.llUss), 10)
            .arg(kib(oMemory.llPrivateDirty), 13)
            .arg(iDescriptors, 11));
}

void sayMemoryHeader()
{
    say(QString("  %1  %2  %3  %4  %5  %6")
            .arg("", -22)
            .arg("RSS", 10)
            .arg("PSS", 10)
            .arg("USS", 10)
            .arg("Private_Dirty", 13)
            .arg("descriptors", 11));
}

void sayLatencies(const QString& sMode, const QList<double>& lDetected, const QList<double>& lMounted)
{
    const SSummary oDetected = BenchFigures::summarise(lDetected);
    const SSummary oMounted = BenchFigures::summarise(lMounted);
    say(QString("  %1  %2  %3  %4").arg("", -30).arg("cycles", 6).arg("median", 9).arg("max", 9));
    say(QString("  %1  %2  %3  %4")
            .arg("add -> state 1 (" + sMode + ")", -30)
            .arg(oDetected.iCount, 6)
            .arg(QString("%1 ms").arg(oDetected.dMedian, 0, 'f', 0), 9)
            .arg(QString("%1 ms").arg(oDetected.dMax, 0, 'f', 0), 9));
    say(QString("  %1  %2  %3  %4")
            .arg("add -> state 2 (" + sMode + ")", -30)
            .arg(oMounted.iCount, 6)
            .arg(QString("%1 ms").arg(oMounted.dMedian, 0, 'f', 0), 9)
            .arg(QString("%1 ms").arg(oMounted.dMax, 0, 'f', 0), 9));
}

bool runCycle(CBenchRig& oRig, QList<double>* pDetected, QList<double>* pMounted)
{
    // A stick comes at any point of the daemon's one-second poll, not just after a tick.
    CBenchRig::spend(static_cast<int>(QRandomGenerator::global()->bounded(POLL_INTERVAL_MS)));
    CBenchRig::SCycle oCycle;
    if (!oRig.plugAndWaitMounted(&oCycle, MOUNT_TIMEOUT_MS) || !oRig.pullAndWaitCleared(CLEAR_TIMEOUT_MS)) {
        say("  failed: " + oRig.error());
        say("  the daemon's log ends with:\n" + oRig.logTail());
        return false;
    }
    *pDetected << oCycle.dToDetected;
    *pMounted << oCycle.dToMounted;
    return true;
}

// The heartbeat thread's period while the core holds every answer back, so that the main
// thread sits in blocking calls (and in the wait before the mount) for the whole window.
void measureHeartbeat(CBenchRig& oRig)
{
    oRig.setCoreDelay(SLOW_CORE_DELAY_MS);
    const qint64 llFrom = QDateTime::currentMSecsSinceEpoch();
    oRig.plug();
    CBenchRig::spend(SLOW_CORE_WINDOW_MS);
    const QList<qint64> lBeats = oRig.heartbeatsSince(llFrom);
    QList<double> lPeriods;
    for (int i = 1; i < lBeats.size(); ++i) {
        lPeriods << static_cast<double>(lBeats[i] - lBeats[i - 1]);
    }
    const SSummary oPeriod = BenchFigures::summarise(lPeriods);
    say(QString("  a stick plugged in at the start of a %1 s window; the core held each of the %2 calls that")
            .arg(SLOW_CORE_WINDOW_MS / 1000)
            .arg(oRig.coreCallsSince(llFrom)));
    say(QString("  reached it back for %1 ms, the main thread waiting for each (%2)")
            .arg(SLOW_CORE_DELAY_MS)
            .arg(REAL_WAIT));
    say(QString("  %1 heartbeats from \"/\": period mean %2 ms, min %3 ms, max %4 ms")
            .arg(lBeats.size())
            .arg(oPeriod.dMean, 0, 'f', 2)
            .arg(oPeriod.dMin, 0, 'f', 0)
            .arg(oPeriod.dMax, 0, 'f', 0));
}

bool startSettled(CBenchRig& oRig)
{
    if (!oRig.start()) {
        say("veltrano-bench: " + oRig.error());
        return false;
    }
    CBenchRig::spend(SETTLE_MS);
    return true;
}

// The idle daemon as in the field: system calls and memory.
bool runIdle(const SOptions& oOptions)
{
    CBenchRig oRig(CBenchRig::EMode::Idle);
    if (!startSettled(oRig)) {
        return false;
    }

    say(QString("System calls per thread, idle after joining (%1)").arg(IDLE));
    if (!measureIdleCalls(oRig, oOptions.iIdleSeconds)) {
        return false;
    }
    say();
    say("Memory and descriptors, idle after joining");
    sayMemoryHeader();
    sayMemory("idle", oRig.memory(), oRig.descriptors());
    say();
    return true;
}

// The daemon with an emulated stick and the real wait: latencies, heartbeat under a slow core.
bool runRealWait(const SOptions& oOptions)
{
    CBenchRig oRig(CBenchRig::EMode::RealWait);
    if (!startSettled(oRig)) {
        return false;
    }

    progress(QString("%1 plug cycles with the real wait").arg(oOptions.iLatencyCycles));
    QList<double> lDetected;
    QList<double> lMounted;
    for (int i = 0; i < oOptions.iLatencyCycles; ++i) {
        if (!runCycle(oRig, &lDetected, &lMounted)) {
            return false;
        }
    }
    say("Latency from the kernel's add event to the core's receipt of the record");
    sayLatencies(REAL_WAIT, lDetected, lMounted);
    say();

    say("Heartbeat while a slow core blocks the main thread");
    measureHeartbeat(oRig);
    say();
    return true;
}

// The soak: plug, mount, unplug, again and again, with the short wait.
bool runSoak(const SOptions& oOptions)
{
    CBenchRig oRig(CBenchRig::EMode::ShortWait);
    if (!startSettled(oRig)) {
        return false;
    }
    const SMemory oStart = oRig.memory();
    const int iStartFds = oRig.descriptors();
    SMemory oEarly = oStart;
    int iEarlyFds = iStartFds;
    int iMinFds = iStartFds;
    int iMaxFds = iStartFds;
    QList<double> lDetected;
    QList<double> lMounted;
    QElapsedTimer oClock;
    oClock.start();
    for (int i = 1; i <= oOptions.iCycles; ++i) {
        if (!runCycle(oRig, &lDetected, &lMounted)) {
            return false;
        }
        const int iFds = oRig.descriptors();
        iMinFds = qMin(iMinFds, iFds);
        iMaxFds = qMax(iMaxFds, iFds);
        if (i == EARLY_CYCLES) {
            oEarly = oRig.memory();
            iEarlyFds = iFds;
        }
        if (i % 50 == 0) {
            const SMemory oNow = oRig.memory();
            progress(QString("soak: %1 of %2 cycles, RSS %3 KiB, USS %4 KiB, %5 descriptors")
                         .arg(i)
                         .arg(oOptions.iCycles)
                         .arg(oNow.llRss)
                         .arg(oNow.llUss)
                         .arg(iFds));
        }
    }
    const double dMinutes = static_cast<double>(oClock.elapsed()) / 60000.0;
    const SMemory oEnd = oRig.memory();
    const int iEndFds = oRig.descriptors();

    say(QString("Soak: %1 plug/mount/unplug cycles (%2) in %3 min")
            .arg(oOptions.iCycles)
            .arg(SHORT_WAIT)
            .arg(dMinutes, 0, 'f', 1));
    sayMemoryHeader();
    sayMemory("before the first cycle", oStart, iStartFds);
    if (oOptions.iCycles > EARLY_CYCLES) {
        sayMemory(QString("after %1 cycles").arg(EARLY_CYCLES), oEarly, iEarlyFds);
    }
    sayMemory(QString("after %1 cycles").arg(oOptions.iCycles), oEnd, iEndFds);
    say(QString("  descriptors after each cycle: %1 to %2").arg(iMinFds).arg(iMaxFds));
    say(QString("  RSS growth overall: %1; after the first %2 cycles: %3")
            .arg(signedKib(oEnd.llRss - oStart.llRss))
            .arg(EARLY_CYCLES)
            .arg(oOptions.iCycles > EARLY_CYCLES ? signedKib(oEnd.llRss - oEarly.llRss)
                                                 : QString("n/a (too few cycles)")));
    say(QString("  Private_Dirty growth overall: %1; after the first %2 cycles: %3")
            .arg(signedKib(oEnd.llPrivateDirty - oStart.llPrivateDirty))
            .arg(EARLY_CYCLES)
            .arg(oOptions.iCycles > EARLY_CYCLES ? signedKib(oEnd.llPrivateDirty - oEarly.llPrivateDirty)
                                                 : QString("n/a (too few cycles)")));
    say(QString("  descriptor growth overall: %1").arg(iEndFds - iStartFds));
    sayLatencies(SHORT_WAIT, lDetected, lMounted);
    return true;
}

// What must hold before anything is started, or the bench would reach the machine itself.
QString missingPrecondition()
{
    if (geteuid() != 0) {
        return "run it as root: the service gets a private mount namespace and mounts the stick";
    }
    if (!qEnvironmentVariable("LD_PRELOAD").contains("libumockdev-preload")) {
        return "run it under umockdev-wrapper (scripts/bench does), or the service would see this "
               "machine's real devices";
    }
    return QString();
}

bool positive(const QCommandLineParser& oParser, const QCommandLineOption& oOption, int* pValue)
{
    if (!oParser.isSet(oOption)) {
        return true;
    }
    bool bOk = false;
    const int iValue = oParser.value(oOption).toInt(&bOk);
    if (!bOk || iValue < 1) {
        return false;
    }
    *pValue = iValue;
    return true;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication oApplication(argc, argv);
    QCommandLineParser oParser;
    oParser.setApplicationDescription(
        "Measures the real veltrano-usb with its stand-ins and prints a table. \"" + QString(REAL_WAIT)
        + "\": the daemon waits 3 s before each mount, as in the field; \"" + SHORT_WAIT
        + "\": the mount stand-in cuts that wait to 0 s so that a soak of hundreds of cycles takes minutes.");
    oParser.addHelpOption();
    const QCommandLineOption oCycles("cycles", "Soak cycles (default 40).", "N");
    const QCommandLineOption oLatency("latency-cycles", "Cycles with the real wait for the latencies (default 10).",
                                      "N");
    const QCommandLineOption oIdle("idle-seconds", "Seconds of idle tracing (default 30).", "S");
    oParser.addOptions({oCycles, oLatency, oIdle});
    oParser.process(oApplication);
    SOptions oOptions;
    if (!positive(oParser, oCycles, &oOptions.iCycles) || !positive(oParser, oLatency, &oOptions.iLatencyCycles)
        || !positive(oParser, oIdle, &oOptions.iIdleSeconds)) {
        std::fprintf(stderr, "veltrano-bench: the numbers must be whole and at least 1\n");
        return 2;
    }
    const QString sMissing = missingPrecondition();
    if (!sMissing.isEmpty()) {
        std::fprintf(stderr, "veltrano-bench: %s\n", qPrintable(sMissing));
        return 2;
    }

    say(QString("veltrano-usb benchmark, %1, %2, %3 CPUs")
            .arg(QDateTime::currentDateTimeUtc().toString("yyyy-MM-dd hh:mm 'UTC'"))
            .arg(QSysInfo::kernelVersion())
            .arg(sysconf(_SC_NPROCESSORS_ONLN)));
    say();
    progress("the idle daemon");
    if (!runIdle(oOptions)) {
        return 1;
    }
    progress("the daemon with the real wait");
    if (!runRealWait(oOptions)) {
        return 1;
    }
    progress("the soak");
    return runSoak(oOptions) ? 0 : 1;
}
