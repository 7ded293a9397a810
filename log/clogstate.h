#pragma once

#include "log/clogfile.h"
#include "log/slogsettings.h"

#include <QByteArray>
#include <QMutex>
#include <QString>

// The diagnostics log's process-wide state. The main thread and the heartbeat log at once, so
// every field is written with the mutex held, and readers get a copy made under it. The mutex
// is not recursive: nothing done under it may emit a Qt message. Constant-initialised, so the
// handler may run before main() builds any Qt object.
class CLogState
{
public:
    constexpr CLogState() = default;

    // Copies the settings in effect; false while they are still to be read.
    bool settings(SLogSettings& oSettings) const;
    // Puts oSettings, just read from usb.ini, in effect unless another thread was first; either
    // way oSettings then holds those in effect. True if they were these.
    bool storeSettings(SLogSettings& oSettings);

    void setIdentifier(const QString& sIdentifier);
    void disableConsole();
    // Closes the file or syslog; the next message reads the settings again.
    void close();

    void writeSyslog(int iPriority, const QByteArray& aText);
    void writeFile(int iLevel, const QString& sLine);

private:
    void copySyslogIdentity();

    // openlog keeps the pointer it is given, so the identity lives here for the whole process.
    static constexpr int SYSLOG_IDENTITY_SIZE = 255;

    mutable QMutex m_oMutex;
    SLogSettings m_oSettings {};
    char m_szSyslogIdentity[SYSLOG_IDENTITY_SIZE] = {};
    CLogFile m_oFile;
    bool m_bSettingsPending = true;
    // The file has not been opened yet, or openlog not called.
    bool m_bSinkPending = true;
    bool m_bConsoleAllowed = true;
};
