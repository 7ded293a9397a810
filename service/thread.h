#pragma once

#include <QDBusConnection>
#include <QThread>

#include <atomic>

// The heartbeat: sends sigTrigger from path "/" on the session bus every 800 ms, so peers
// see the service alive even while the event-loop thread is blocked (mounting, bus calls).
// The service hands it the session bus connection: after a failed first attempt, Qt's own
// default connection stays the failed one for the life of the process.
class Thread : public QThread
{
public:
    explicit Thread(const QDBusConnection& oSessionBus);
    ~Thread() override;

    // The only state shared with the service object, which stops the loop at shut-down.
    // A stop set before the thread runs holds: the thread then ends without a beat.
    std::atomic<bool> m_bStop;
    std::atomic<bool> m_bRunning;

protected:
    void run() override;

private:
    const QDBusConnection m_oSessionBus;
};
