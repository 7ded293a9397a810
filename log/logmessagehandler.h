#pragma once

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
