#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

// Shared by the log tests, which run inside tools/standin/nsrun: /etc and /var/log are their own.

extern const char* const TEST_INI_FILE;
extern const char* const TEST_LOG_FOLDER;
extern const char* const TEST_LOG_FILE;

// Closes the log, gives usb.ini the content (removes it if null) and an empty log folder.
void ResetLog(const QByteArray& aIniContent);

// Sends one message to the handler as Qt would.
void LogMessage(QtMsgType eType, const QString& sText);

// Everything written to file descriptor 1 while fnAction runs.
QByteArray CaptureStdout(const std::function<void()>& fnAction);

QStringList ReadLines(const QString& sPath);
void WriteFile(const QString& sPath, const QByteArray& aContent);

// "NOID(<pid of this process>)"
QString DefaultIdentifier();
