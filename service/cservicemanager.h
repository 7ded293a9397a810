#pragma once

#include <QObject>

// The service manager (systemd) as the daemon sees it: told once the service is on its bus,
// then beaten from the event loop, so that a main thread that hangs gets the service restarted.
// Started by anything else (no NOTIFY_SOCKET, no WATCHDOG_USEC for this process), it does nothing.
class CServiceManager : public QObject
{
    Q_OBJECT

public:
    explicit CServiceManager(QObject* pParent);

    // READY=1, and WATCHDOG=1 from then on when the unit has a watchdog for this process.
    void notifyReady();

private slots:
    void beatWatchdog();

private:
    // A cap on the beat interval, so that WatchdogSec= need cover only this beyond the longest
    // legitimate block of the main thread (see the unit).
    static constexpr int s_iLongestBeatInterval = 5000;

    bool m_bBeatFailed = false;
};
