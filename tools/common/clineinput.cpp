#include "tools/common/clineinput.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

CLineInput::CLineInput(QObject* pParent)
    : QObject(pParent)
    , m_pNotifier(nullptr)
{
}

bool CLineInput::start()
{
    if (fcntl(STDIN_FILENO, F_GETFD) < 0) {
        return false;
    }
    m_pNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CLineInput::readAvailable);
    return true;
}

void CLineInput::readAvailable()
{
    char acBuffer[4096];
    const ssize_t iRead = ::read(STDIN_FILENO, acBuffer, sizeof acBuffer);
    if (iRead < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (iRead <= 0) {
        // A last line without its line break still counts.
        if (!m_aPending.isEmpty()) {
            emit lineRead(QString::fromUtf8(m_aPending));
            m_aPending.clear();
        }
        m_pNotifier->setEnabled(false);
        emit ended();
        return;
    }
    m_aPending.append(acBuffer, int(iRead));
    int iEnd = m_aPending.indexOf('\n');
    while (iEnd >= 0) {
        const QByteArray aLine = m_aPending.left(iEnd);
        m_aPending.remove(0, iEnd + 1);
        emit lineRead(QString::fromUtf8(aLine));
        iEnd = m_aPending.indexOf('\n');
    }
}
