#pragma once

#include <QString>

// Group DEBUG_MESSAGES of usb.ini, read at the first message, and the identifier that starts
// every line.
struct SLogSettings
{
    int iDisplayMessage = 0;
    int iDisplayLevel = 0;
    int iLogMessage = 0;
    int iLogLevel = 0;
    int iLogfileSize = 0;
    int iLogfileRedundancy = 0;
    int iUseSysLog = 0;
    QString sLogfileName;
    // "NOID(<pid>)" unless SetLogIdentifier chose another one.
    QString sIdentifier;
};
