#include "log/clogstate.h"

#include "log/logmessagehandler.h"

#include <QMutexLocker>

#include <cstring>
#include <syslog.h>

bool CLogState::settings(SLogSettings& oSettings) const
{
    QMutexLocker oLock(&m_oMutex);
    oSettings = m_oSettings;
    return !m_bSettingsPending;
}

bool CLogState::storeSettings(SLogSettings& oSettings)
{
    QMutexLocker oLock(&m_oMutex);
    const bool bStore = m_bSettingsPending;
    if (bStore) {
        const QString sIdentifier = m_oSettings.sIdentifier;
        m_oSettings = oSettings;
        m_oSettings.sIdentifier = sIdentifier.isEmpty() ? DefaultLogIdentifier() : sIdentifier;
        if (!m_bConsoleAllowed) {
            m_oSettings.iDisplayMessage = 0;
        }
        m_bSettingsPending = false;
    }
    oSettings = m_oSettings;
    return bStore;
}

void CLogState::setIdentifier(const QString& sIdentifier)
{
    QMutexLocker oLock(&m_oMutex);
    m_oSettings.sIdentifier = sIdentifier;
    copySyslogIdentity();
}

void CLogState::disableConsole()
{
    QMutexLocker oLock(&m_oMutex);
    m_bConsoleAllowed = false;
    m_oSettings.iDisplayMessage = 0;
}

void CLogState::close()
{
    QMutexLocker oLock(&m_oMutex);
    if (m_bSettingsPending) {
        return;
    }
    if (m_oSettings.iLogMessage != 0) {
        m_oFile.close();
        if (!m_bSinkPending && m_oSettings.iUseSysLog != 0) {
            closelog();
        }
    }
    m_bSettingsPending = true;
    m_bSinkPending = true;
}

// Under the mutex, so that a new identity is never copied while syslog reads it.
void CLogState::writeSyslog(int iPriority, const QByteArray& aText)
{
    QMutexLocker oLock(&m_oMutex);
    if (m_bSinkPending) {
        copySyslogIdentity();
        openlog(m_szSyslogIdentity, LOG_CONS | LOG_PID, LOG_USER);
        m_bSinkPending = false;
    }
    syslog(iPriority, "%s", aText.constData());
}

void CLogState::writeFile(int iLevel, const QString& sLine)
{
    QMutexLocker oLock(&m_oMutex);
    // One attempt to open per run: a failed open leaves the file log off.
    if (m_bSinkPending) {
        m_bSinkPending = false;
        m_oFile.close();
        if (m_oSettings.iLogMessage != 0) {
            m_oFile.open(m_oSettings);
        }
    }
    if (m_oSettings.iLogMessage != 0 && iLevel >= m_oSettings.iLogLevel) {
        m_oFile.write(m_oSettings, sLine);
    }
}

void CLogState::copySyslogIdentity()
{
    const QByteArray aIdentity = m_oSettings.sIdentifier.left(SYSLOG_IDENTITY_SIZE - 1).toLatin1();
    std::memcpy(m_szSyslogIdentity, aIdentity.constData(), static_cast<size_t>(aIdentity.size()));
    m_szSyslogIdentity[aIdentity.size()] = '\0';
}
