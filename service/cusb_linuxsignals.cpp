// CUsb: POSIX signals, counted by the handler and handled in the event loop. A byte through a
// socket pair wakes the loop at once; without the pair, the poll tick picks the counts up.

#include "service/cusb.h"

#include "log/clogstream.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] is written by the handler, [1] is watched by the notifier; -1 while there is no pair.
int g_aiSignalFd[2] = {-1, -1};

const int g_aiHandledSignals[] = {SIGHUP, SIGTERM, SIGINT};
const int g_iHandledCount = 3;

// Signals delivered and not yet handled, per entry of g_aiHandledSignals. Counted rather than
// carried through the pair, so that a full pair loses none of them.
std::atomic<int> g_aiSignalPending[g_iHandledCount];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler may only use lock-free atomics");

// Runs on whatever thread the kernel picks, also in the middle of a system call whose errno the
// interrupted code is about to read: it must stay async-signal-safe and never block. A full pair
// already holds a byte that wakes the loop, so a write that fails is of no account.
void linuxSignalHandler(int sig)
{
    const int iSavedErrno = errno;
    for (int i = 0; i < g_iHandledCount; ++i) {
        if (g_aiHandledSignals[i] == sig) {
            ++g_aiSignalPending[i];
        }
    }
    if (g_aiSignalFd[0] >= 0) {
        const char cWake = 0;
        const ssize_t iIgnored = write(g_aiSignalFd[0], &cWake, sizeof(cWake));
        (void)iIgnored;
    }
    errno = iSavedErrno;
}

void installHandler()
{
    struct sigaction oAction = {};
    oAction.sa_handler = linuxSignalHandler;
    sigemptyset(&oAction.sa_mask);
    oAction.sa_flags = SA_RESTART;
    for (const int iSignal : g_aiHandledSignals) {
        sigaction(iSignal, &oAction, nullptr);
    }
}

} // namespace

void CUsb::setupLinuxSignalHandlers()
{
    // Without the pair, the poll tick picks the signals up: up to a second later, but the
    // service still ends in order and survives SIGHUP. Non-blocking, so that a storm of signals
    // cannot stop the handler (on any thread, the loop's own included) in a write; not inherited
    // by anything the service starts.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_aiSignalFd) != 0) {
        g_aiSignalFd[0] = -1;
        g_aiSignalFd[1] = -1;
        CUSB_WARNING << "Couldn't create linux signal socketpair";
        connect(m_pUsbTimer, SIGNAL(timeout()), this, SLOT(handlePendingSignals()));
    } else {
        m_pSignalNotifier = new QSocketNotifier(g_aiSignalFd[1], QSocketNotifier::Read, this);
        connect(m_pSignalNotifier, SIGNAL(activated(QSocketDescriptor)), this, SLOT(handleLinuxSignal()));
    }
    installHandler();
}

void CUsb::handleLinuxSignal()
{
    m_pSignalNotifier->setEnabled(false);

    // The bytes only wake the loop; the counts say what came. A signal that arrives after the
    // drain writes a byte of its own.
    char aWake[256];
    while (read(g_aiSignalFd[1], aWake, sizeof(aWake)) > 0) {
    }
    handlePendingSignals();

    m_pSignalNotifier->setEnabled(true);
}

void CUsb::handlePendingSignals()
{
    for (int i = 0; i < g_iHandledCount; ++i) {
        for (int iPending = g_aiSignalPending[i].exchange(0); iPending > 0; --iPending) {
            handleSignalNumber(g_aiHandledSignals[i]);
        }
    }
}

void CUsb::handleSignalNumber(int iSignal)
{
    CUSB_DEBUG << "Signal %d received" << iSignal;

    switch (iSignal) {
    case SIGHUP:
        CUSB_WARNING << "Signal SIGHUP received";
        break;
    case SIGTERM:
        CUSB_WARNING << "Signal SIGTERM received => exit program";
        QCoreApplication::exit(0);
        break;
    case SIGINT:
        CUSB_WARNING << "Signal SIGINT received => exit program";
        QCoreApplication::exit(0);
        break;
    default:
        CUSB_WARNING << "Unexpected Signal received";
        break;
    }
}
