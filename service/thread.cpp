#include "service/thread.h"

#include "log/clogstream.h"

#include <QCoreApplication>

#include <dbus/dbus.h>

#include <cerrno>
#include <ctime>

namespace {
const qint64 SECOND_NS = 1000LL * 1000 * 1000;
const qint64 PERIOD_NS = 800LL * 1000 * 1000;

qint64 monotonicNs()
{
    timespec oNow {};
    clock_gettime(CLOCK_MONOTONIC, &oNow);
    return static_cast<qint64>(oNow.tv_sec) * SECOND_NS + oNow.tv_nsec;
}

void sleepUntil(qint64 llDeadlineNs)
{
    timespec oDeadline {};
    oDeadline.tv_sec = static_cast<time_t>(llDeadlineNs / SECOND_NS);
    oDeadline.tv_nsec = static_cast<long>(llDeadlineNs % SECOND_NS);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &oDeadline, nullptr) == EINTR) {
    }
}

// Through libdbus on the calling thread: Qt would hand every beat to its own D-Bus thread, at the
// cost of a wake-up write here and a poll and a read there. A failed send is dropped and the next
// beat goes on; on a closed connection libdbus drops the message.
void sendBeat(DBusConnection* pConnection, dbus_int32_t iPid)
{
    DBusMessage* pMessage = dbus_message_new_signal("/", "com.Quorvik.Veltrano.Signals", "sigTrigger");
    if (pMessage == nullptr) {
        return;
    }
    if (dbus_message_append_args(pMessage, DBUS_TYPE_INT32, &iPid, DBUS_TYPE_INVALID)) {
        dbus_connection_send(pConnection, pMessage, nullptr);
        // While Qt's thread reads the connection the send only queues the beat, and nothing would
        // write it before the next send. The flush waits its turn then; otherwise it costs no call.
        dbus_connection_flush(pConnection);
    }
    dbus_message_unref(pMessage);
}
} // namespace

Thread::Thread(const QDBusConnection& oSessionBus)
    : QThread(nullptr)
    , m_bStop(false)
    , m_bRunning(false)
    , m_oSessionBus(oSessionBus)
{
}

Thread::~Thread() = default;

void Thread::run()
{
    // Qt keeps the libdbus connection as long as a QDBusConnection refers to it, as ours does.
    auto* pConnection = static_cast<DBusConnection*>(m_oSessionBus.internalPointer());
    if (m_oSessionBus.isConnected() && pConnection != nullptr) {
        CUSB_DEBUG << "Thread connected to session bus!";
        const auto iPid = static_cast<dbus_int32_t>(QCoreApplication::applicationPid());
        m_bRunning = true;
        // Absolute deadlines: the time a send takes does not stretch the period.
        qint64 llDeadline = monotonicNs();
        while (!m_bStop) {
            llDeadline += PERIOD_NS;
            sleepUntil(llDeadline);
            sendBeat(pConnection, iPid);
            // After a stall (a stopped process, a starved thread) the next beat comes a period
            // later, not the missed ones in a burst.
            const qint64 llNow = monotonicNs();
            if (llDeadline + PERIOD_NS <= llNow) {
                llDeadline = llNow;
            }
        }
    }
    CUSB_DEBUG << "Thread end";
    m_bRunning = false;
}
