// CUsb: POSIX signals, carried from the handler into the event loop through a socket pair.

#include "service/cusb.h"

#include "log/clogstream.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] is written by the handler, [1] is watched by the notifier.
int g_aiSignalFd[2] = {0, 0};

// Runs on whatever thread the kernel picks: it must stay async-signal-safe, so it only
// passes the number on.
void linuxSignalHandler(int sig)
{
    const ssize_t iIgnored = write(g_aiSignalFd[0], &sig, sizeof(sig));
    (void)iIgnored;
}

} // namespace

void CUsb::setupLinuxSignalHandlers()
{
    // Without the pair there is nowhere to carry a signal to: the default actions stay.
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, g_aiSignalFd) != 0) {
        CUSB_WARNING << "Couldn't create linux signal socketpair";
        return;
    }

    m_pSignalNotifier = new QSocketNotifier(g_aiSignalFd[1], QSocketNotifier::Read, this);
    connect(m_pSignalNotifier, SIGNAL(activated(QSocketDescriptor)), this, SLOT(handleLinuxSignal()));

    struct sigaction oAction = {};
    oAction.sa_handler = linuxSignalHandler;
    sigemptyset(&oAction.sa_mask);
    oAction.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &oAction, nullptr);
    sigaction(SIGTERM, &oAction, nullptr);
    sigaction(SIGINT, &oAction, nullptr);
}

void CUsb::handleLinuxSignal()
{
    m_pSignalNotifier->setEnabled(false);

    int iSignal = 0;
    const ssize_t iIgnored = read(g_aiSignalFd[1], &iSignal, sizeof(iSignal));
    (void)iIgnored;

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

    m_pSignalNotifier->setEnabled(true);
}
