#include "tools/coresim/cstdinreader.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

CStdinReader::CStdinReader(QObject* pParent)
    : QObject(pParent)
    , m_pNotifier(nullptr)
{
}

void CStdinReader::start()
{
    if (fcntl(STDIN_FILENO, F_GETFD) < 0) {
        return;
    }
    m_pNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CStdinReader::readAvailable);
}

void CStdinReader::readAvailable()
{
    char acBuffer[4096];
    const ssize_t iRead = ::read(STDIN_FILENO, acBuffer, sizeof acBuffer);
    if (iRead < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (iRead <= 0) {
        // End of input (or an unreadable one): a last line without its line break still counts.
        if (!m_aPending.isEmpty()) {
            emit lineRead(QString::fromUtf8(m_aPending));
            m_aPending.clear();
        }
        stop();
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

void CStdinReader::stop()
{
    m_pNotifier->setEnabled(false);
    m_pNotifier->deleteLater();
    m_pNotifier = nullptr;
}
