#include "service/cservicemanager.h"

#include "log/clogstream.h"

#include <QTimer>

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstring>

CServiceManager::CServiceManager(QObject* pParent)
    : QObject(pParent)
{
}

void CServiceManager::notifyReady()
{
    // Without NOTIFY_SOCKET sd_notify returns 0 at once, without a system call.
    const int iNotified = sd_notify(0, "READY=1");
    if (iNotified < 0) {
        CUSB_WARNING << "Service manager not told READY=1: " << strerror(-iNotified);
    }

    // Positive only when WATCHDOG_USEC is set and WATCHDOG_PID, if set, names this process.
    uint64_t uiTimeoutUsec = 0;
    const int iWatchdog = sd_watchdog_enabled(0, &uiTimeoutUsec);
    if (iWatchdog < 0) {
        CUSB_WARNING << "Watchdog settings unreadable: " << strerror(-iWatchdog);
    }
    if (iWatchdog <= 0) {
        return;
    }
    // Twice per time-out, as systemd advises, but never rarer than the cap.
    const uint64_t uiInterval = qBound<uint64_t>(1, uiTimeoutUsec / 2000, s_iLongestBeatInterval);
    auto* pTimer = new QTimer(this);
    connect(pTimer, &QTimer::timeout, this, &CServiceManager::beatWatchdog);
    pTimer->start(static_cast<int>(uiInterval));
}

void CServiceManager::beatWatchdog()
{
    const int iNotified = sd_notify(0, "WATCHDOG=1");
    // One line per run of failures: the beat comes every few seconds.
    if (iNotified < 0 && !m_bBeatFailed) {
        CUSB_WARNING << "Watchdog beat not sent: " << strerror(-iNotified);
    }
    m_bBeatFailed = iNotified < 0;
}
