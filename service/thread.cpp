#include "service/thread.h"

#include "log/clogstream.h"

#include <QCoreApplication>

#include <dbus/dbus.h>

#include <cerrno>
#include <ctime>
#include <poll.h>

namespace {
const qint64 SECOND_NS = 1000LL * 1000 * 1000;
const qint64 PERIOD_NS = 800LL * 1000 * 1000;

qint64 monotonicNs()
{
    timespec oNow {};
    clock_gettime(CLOCK_MONOTONIC, &oNow);
    return static_cast<qint64>(oNow.tv_sec) * SECOND_NS + oNow.tv_nsec;
}

timespec toTimespec(qint64 llNs)
{
    timespec oTime {};
    oTime.tv_sec = static_cast<time_t>(llNs / SECOND_NS);
    oTime.tv_nsec = static_cast<long>(llNs % SECOND_NS);
    return oTime;
}

void sleepUntil(qint64 llDeadlineNs)
{
    const timespec oDeadline = toTimespec(llDeadlineNs);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &oDeadline, nullptr) == EINTR) {
    }
}

// A private connection, registered on the bus; null with the reason in aError.
DBusConnection* openSessionBus(QByteArray& aError)
{
    const QByteArray aAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (aAddress.isEmpty()) {
        aError = "DBUS_SESSION_BUS_ADDRESS is not set";
        return nullptr;
    }
    DBusError oError;
    dbus_error_init(&oError);
    DBusConnection* pConnection = dbus_connection_open_private(aAddress.constData(), &oError);
    if (pConnection != nullptr && !dbus_bus_register(pConnection, &oError)) {
        dbus_connection_close(pConnection);
        dbus_connection_unref(pConnection);
        pConnection = nullptr;
    }
    if (pConnection == nullptr) {
        aError = QByteArray(oError.name) + ": " + oError.message;
    }
    dbus_error_free(&oError);
    return pConnection;
}

void closeConnection(DBusConnection* pConnection)
{
    dbus_connection_close(pConnection);
    dbus_connection_unref(pConnection);
}

// Sleeps until the deadline. What arrives meanwhile (the bus's own notices, a peer's call) is
// read and dispatched, so nothing piles up in the bus for this connection; libdbus answers a
// call with an error of its own. False when the connection has closed.
bool waitUntil(DBusConnection* pConnection, qint64 llDeadlineNs)
{
    int iFd = -1;
    dbus_connection_get_unix_fd(pConnection, &iFd);
    for (qint64 llNow = monotonicNs(); llNow < llDeadlineNs; llNow = monotonicNs()) {
        pollfd oPoll = {iFd, POLLIN, 0};
        const timespec oRemaining = toTimespec(llDeadlineNs - llNow);
        if (ppoll(&oPoll, 1, &oRemaining, nullptr) > 0) {
            dbus_connection_read_write(pConnection, 0);
            while (dbus_connection_dispatch(pConnection) == DBUS_DISPATCH_DATA_REMAINS) {
            }
            if (!dbus_connection_get_is_connected(pConnection)) {
                return false;
            }
        }
    }
    return true;
}

// A failed send is dropped and the next beat goes on.
void sendBeat(DBusConnection* pConnection, dbus_int32_t iPid)
{
    DBusMessage* pMessage = dbus_message_new_signal("/", "com.Quorvik.Veltrano.Signals", "sigTrigger");
    if (pMessage == nullptr) {
        return;
    }
    if (dbus_message_append_args(pMessage, DBUS_TYPE_INT32, &iPid, DBUS_TYPE_INVALID)) {
        dbus_connection_send(pConnection, pMessage, nullptr);
        // The send writes at once unless the bus is slow to read; then this waits for it.
        dbus_connection_flush(pConnection);
    }
    dbus_message_unref(pMessage);
}
} // namespace

Thread::Thread()
    : QThread(nullptr)
    , m_bStop(false)
    , m_bRunning(false)
{
}

Thread::~Thread() = default;

void Thread::run()
{
    if (m_bStop) {
        CUSB_DEBUG << "Thread end";
        return;
    }
    QByteArray aError;
    DBusConnection* pConnection = openSessionBus(aError);
    if (pConnection == nullptr) {
        CUSB_WARNING << "Heartbeat not started, no session bus: " << aError.constData();
        CUSB_DEBUG << "Thread end";
        return;
    }
    CUSB_DEBUG << "Thread connected to session bus!";
    const auto iPid = static_cast<dbus_int32_t>(QCoreApplication::applicationPid());
    m_bRunning = true;
    // Absolute deadlines: the time a send takes does not stretch the period.
    qint64 llDeadline = monotonicNs();
    while (!m_bStop) {
        llDeadline += PERIOD_NS;
        if (pConnection != nullptr && !waitUntil(pConnection, llDeadline)) {
            CUSB_WARNING << "Heartbeat connection lost => connecting again";
            closeConnection(pConnection);
            pConnection = nullptr;
        }
        if (pConnection == nullptr) {
            // One attempt a period; the main loop ends the service if the bus itself is gone.
            sleepUntil(llDeadline);
            pConnection = openSessionBus(aError);
        }
        if (pConnection != nullptr) {
            sendBeat(pConnection, iPid);
        }
        // After a stall (a stopped process, a starved thread) the next beat comes a period
        // later, not the missed ones in a burst.
        const qint64 llNow = monotonicNs();
        if (llDeadline + PERIOD_NS <= llNow) {
            llDeadline = llNow;
        }
    }
    if (pConnection != nullptr) {
        closeConnection(pConnection);
    }
    CUSB_DEBUG << "Thread end";
    m_bRunning = false;
}
