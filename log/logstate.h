#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>

class QFile;

// State of the diagnostics log, shared by the message handler and the log file writer.
// Every member is constant-initialised, so the handler may run before main() builds
// any Qt object.

// Group DEBUG_MESSAGES of usb.ini, read at the first message.
extern int g_iDisplayMessage;
extern int g_iDisplayLevel;
extern int g_iLogMessage;
extern int g_iLogLevel;
extern int g_iLogfileSize;
extern int g_iLogfileRedundancy;
extern int g_iUseSysLog;
extern QString g_sLogfileName;

// "NOID(<pid>)" unless SetLogIdentifier chose another one.
extern QString g_sLogIdentifier;

// openlog keeps the pointer it is given, so the identity lives here for the whole process.
constexpr int SYSLOG_IDENTITY_SIZE = 255;
extern char g_szSyslogIdentity[SYSLOG_IDENTITY_SIZE];

// The open log file, or null; guarded by g_oLogMutex.
extern QFile* g_pLogFile;
extern QMutex g_oLogMutex;

extern bool g_bSettingsPending;
extern bool g_bSinkPending;
extern bool g_bConsoleAllowed;

// A log file line: identifier, UTC time, level label and text.
QString LogFileLine(int iLevel, const QString& sText);

// Writes one line and a newline to standard output, flushed at once. It bypasses the
// message handler, so it may be called with g_oLogMutex held.
void WriteStdoutLine(const QByteArray& aLine);
