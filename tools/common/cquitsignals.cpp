#include "tools/common/cquitsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// [0] is written by the handler, [1] read on the event loop.
int g_aiSignalFds[2] = {-1, -1};

// Must stay async-signal-safe: it only passes the number on.
void onSignal(int iSignal)
{
    const int iSavedErrno = errno;
    const ssize_t iWritten = ::write(g_aiSignalFds[0], &iSignal, sizeof iSignal);
    (void)iWritten;
    errno = iSavedErrno;
}
} // namespace

CQuitSignals::CQuitSignals(QObject* pParent)
    : QObject(pParent)
    , m_pNotifier(nullptr)
{
}

bool CQuitSignals::install()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_aiSignalFds) != 0) {
        return false;
    }
    m_pNotifier = new QSocketNotifier(g_aiSignalFds[1], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CQuitSignals::readSignal);

    struct sigaction oAction = {};
    oAction.sa_handler = onSignal;
    sigemptyset(&oAction.sa_mask);
    oAction.sa_flags = SA_RESTART;
    sigaction(SIGINT, &oAction, nullptr);
    sigaction(SIGTERM, &oAction, nullptr);
    return true;
}

void CQuitSignals::readSignal()
{
    int iSignal = 0;
    if (::read(g_aiSignalFds[1], &iSignal, sizeof iSignal) == ssize_t(sizeof iSignal)) {
        emit received(iSignal == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM"));
    }
}
