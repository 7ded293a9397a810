// CUsb: POSIX signals, carried from the handler into the event loop through a socket pair,
// or, when the pair cannot be had, through flags that the poll tick reads.

#include "service/cusb.h"

#include "log/clogstream.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] is written by the handler, [1] is watched by the notifier.
int g_aiSignalFd[2] = {0, 0};

const int g_aiHandledSignals[] = {SIGHUP, SIGTERM, SIGINT};

// Set by flagSignalHandler, cleared by the poll tick; one per entry of g_aiHandledSignals.
volatile sig_atomic_t g_aiSignalPending[3] = {0, 0, 0};

// Runs on whatever thread the kernel picks: it must stay async-signal-safe, so it only
// passes the number on.
void linuxSignalHandler(int sig)
{
    const ssize_t iIgnored = write(g_aiSignalFd[0], &sig, sizeof(sig));
    (void)iIgnored;
}

void flagSignalHandler(int sig)
{
    for (int i = 0; i < 3; ++i) {
        if (g_aiHandledSignals[i] == sig) {
            g_aiSignalPending[i] = 1;
        }
    }
}

void installHandler(void (*pfHandler)(int))
{
    struct sigaction oAction = {};
    oAction.sa_handler = pfHandler;
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
    // service still ends in order and survives SIGHUP.
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, g_aiSignalFd) != 0) {
        CUSB_WARNING << "Couldn't create linux signal socketpair";
        connect(m_pUsbTimer, SIGNAL(timeout()), this, SLOT(handlePendingSignals()));
        installHandler(flagSignalHandler);
        return;
    }

    m_pSignalNotifier = new QSocketNotifier(g_aiSignalFd[1], QSocketNotifier::Read, this);
    connect(m_pSignalNotifier, SIGNAL(activated(QSocketDescriptor)), this, SLOT(handleLinuxSignal()));
    installHandler(linuxSignalHandler);
}

void CUsb::handlePendingSignals()
{
    for (int i = 0; i < 3; ++i) {
        if (g_aiSignalPending[i] != 0) {
            g_aiSignalPending[i] = 0;
            handleSignalNumber(g_aiHandledSignals[i]);
        }
    }
}

void CUsb::handleLinuxSignal()
{
    m_pSignalNotifier->setEnabled(false);

    int iSignal = 0;
    const ssize_t iIgnored = read(g_aiSignalFd[1], &iSignal, sizeof(iSignal));
    (void)iIgnored;

    handleSignalNumber(iSignal);

    m_pSignalNotifier->setEnabled(true);
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
