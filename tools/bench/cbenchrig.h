#pragma once

#include "tools/bench/benchfigures.h"
#include "tools/standin/ccoresimprocess.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/cserviceprocess.h"
#include "tools/standin/csignalrecorder.h"
#include "tools/standin/cstickbed.h"

#include <QDBusConnection>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>

// The real veltrano-usb with its stand-ins, joined to the core simulator and (but when idle)
// ready for one emulated stick: what each part of the benchmark measures on.
class CBenchRig
{
public:
    enum class EMode {
        // No emulated devices and no umockdev preload, whose wrappers around every read and
        // write would count in the idle figure. The daemon only polls the machine's own monitor.
        Idle,
        // An emulated stick and the daemon's 3 s wait before each mount, as in the field.
        RealWait,
        // An emulated stick; the mount stand-in cuts the wait before each mount to 0 s.
        ShortWait,
    };

    explicit CBenchRig(EMode eMode);
    ~CBenchRig();

    CBenchRig(const CBenchRig&) = delete;
    CBenchRig& operator=(const CBenchRig&) = delete;

    // Starts everything and waits until the service has joined; false with error() if not.
    bool start();
    QString error() const;
    qint64 pid() const;

    // One plug, mount and unplug. The latencies run from the kernel event to the core's
    // receipt of the records with UsbDeviceState 1 and 2.
    struct SCycle
    {
        double dToDetected = 0;
        double dToMounted = 0;
    };
    bool plugAndWaitMounted(SCycle* pCycle, int iTimeoutMs);
    bool pullAndWaitCleared(int iTimeoutMs);
    // Plugs without waiting, for a measurement that runs meanwhile.
    void plug();

    void setCoreDelay(int iDelayMs);
    // Calls the core received since that time (ms since the epoch).
    int coreCallsSince(qint64 llSinceMs) const;
    // Heartbeats of the heartbeat thread (path "/") received since that time.
    QList<qint64> heartbeatsSince(qint64 llSinceMs) const;

    BenchFigures::SMemory memory() const;
    int descriptors() const;
    // The daemon's log (console lines are off, as in the field) for a failure report.
    QString logTail() const;

    // Runs the event loop until fDone holds, at most iTimeoutMs.
    static bool waitFor(const std::function<bool()>& fDone, int iTimeoutMs);
    // Runs the event loop for that long: a measuring window, not a wait for an event.
    static void spend(int iMs);

private:
    // Index and arrival time of the first publication from index iFrom on with that state.
    bool findPublication(int iFrom, int iState, int* pIndex, qint64* pMs) const;
    int publicationCount() const;
    QString makeStickFolder();

    const EMode m_eMode;
    QString m_sError;
    QTemporaryDir m_oStickDir;
    std::unique_ptr<CStickBed> m_pSticks;
    std::unique_ptr<CPrivateBus> m_pBus;
    std::unique_ptr<CCoreSimProcess> m_pSim;
    std::unique_ptr<CServiceProcess> m_pService;
    QDBusConnection m_oWatch = QDBusConnection(QString());
    std::unique_ptr<CSignalRecorder> m_pTriggers;
    QString m_sStickPath;
};
