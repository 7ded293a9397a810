#pragma once

#include <QThread>

#include <atomic>

// The heartbeat: sends sigTrigger from path "/" on the session bus every 800 ms, so peers
// see the service alive even while the event-loop thread is blocked (mounting, bus calls).
// It has a connection of its own to the session bus (DBUS_SESSION_BUS_ADDRESS), opened and
// used by this thread alone: Qt runs its connections' bus library work on its own D-Bus thread,
// whose callbacks must not be run from here.
class Thread : public QThread
{
public:
    Thread();
    ~Thread() override;

    // The only state shared with the service object, which stops the loop at shut-down.
    // A stop set before the thread runs holds: the thread then ends without a beat.
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bRunning;

protected:
    void run() override;
};
