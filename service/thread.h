#pragma once

#include <QThread>

#include <atomic>

// The heartbeat: sends sigTrigger from path "/" on the session bus every 800 ms, so peers
// see the service alive even while the event-loop thread is blocked (mounting, bus calls).
class Thread : public QThread
{
public:
    Thread();
    ~Thread() override;

    // The only state shared with the service object, which stops the loop at shut-down.
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bRunning;

protected:
    void run() override;
};
