#pragma once

#include <QString>

// Group DEBUG_MESSAGES of usb.ini, read at the first message, and the identifier that starts
// every line. Made with {}, so that every number starts at zero.
struct SLogSettings
{
    int iDisplayMessage;
    int iDisplayLevel;
    int iLogMessage;
    int iLogLevel;
    int iLogfileSize;
    int iLogfileRedundancy;
    int iUseSysLog;
    QString sLogfileName;
    // "NOID(<pid>)" unless SetLogIdentifier chose another one.
    QString sIdentifier;
};
