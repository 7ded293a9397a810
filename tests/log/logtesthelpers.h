#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

// Shared by the log tests, which run inside tools/standin/nsrun: /etc and /var/log are their own.

extern const char* const TEST_INI_FILE;
extern const char* const TEST_LOG_FOLDER;
extern const char* const TEST_LOG_FILE;

// Closes the log, gives usb.ini the content (removes it if null) and an empty log folder, and
// clears what the system log stand-in heard.
void ResetLog(const QByteArray& aIniContent);

// Sends one message to the handler as Qt would.
void LogMessage(QtMsgType eType, const QString& sText);

// Everything written to file descriptor 1 while fnAction runs.
QByteArray CaptureStdout(const std::function<void()>& fnAction);

QStringList ReadLines(const QString& sPath);
QByteArray ReadFile(const QString& sPath);
void WriteFile(const QString& sPath, const QByteArray& aContent);

// The lines of a log file without identifier and time: "W text".
QStringList LoggedTexts(const QString& sPath = QString::fromLatin1(TEST_LOG_FILE));

// "NOID(<pid of this process>)"
QString DefaultIdentifier();

// The library's openlog, syslog and closelog bind to the stand-ins of the helpers, so the
// machine's syslog never sees a test message. They may be called from any thread.
struct SSyslogCall
{
    int iPriority;
    QByteArray aIdentity; // what the identity pointer given to openlog reads at this call
    QByteArray aText;
};

struct SSyslog
{
    int iOpenCount = 0;
    int iCloseCount = 0;
    int iOpenOptions = -1;
    int iOpenFacility = -1;
    QList<SSyslogCall> lCalls;
};

// What the system log was told since the last ResetLog.
SSyslog HeardBySyslog();
