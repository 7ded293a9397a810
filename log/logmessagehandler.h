#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The process-wide message handler: sends every Qt message to the console and to the log
// file or syslog, as group DEBUG_MESSAGES of /etc/Veltrano/usb.ini chooses. A fatal message
// aborts the process once it has been written. Install it before any Qt object exists.
void LogMessageHandler(QtMsgType eType, const QMessageLogContext& oContext, const QString& sText);

// Replaces the identifier that starts every line (default "NOID(<pid>)"); it is also the
// syslog identity, cut to 254 characters there.
void SetLogIdentifier(const QString& sIdentifier);

// Switches the console off for good, whatever usb.ini says.
void DisableConsoleOutput();

// Closes the log file or syslog; the next message reads usb.ini again and reopens its sink.
void CloseLog();

// Appends one finished line (without line end) to the log file, rotating the file by size.
// Thread-safe; lines from different threads never interleave.
void WriteLogFile(int iLevel, const QString& sLine);

// "NOID(<pid>)": the identifier of every line unless SetLogIdentifier chose another.
QString DefaultLogIdentifier();

// A log file line: identifier, UTC time, level label and text.
QString LogFileLine(const QString& sIdentifier, int iLevel, const QString& sText);

// Writes one line and a newline to standard output, flushed at once. It bypasses the message
// handler, so the log file may call it with the log's mutex held.
void WriteStdoutLine(const QByteArray& aLine);
