#include "log/logstate.h"

#include <cstdio>

int g_iDisplayMessage = 0;
int g_iDisplayLevel = 0;
int g_iLogMessage = 0;
int g_iLogLevel = 0;
int g_iLogfileSize = 0;
int g_iLogfileRedundancy = 0;
int g_iUseSysLog = 0;
QString g_sLogfileName;

QString g_sLogIdentifier;

char g_szSyslogIdentity[SYSLOG_IDENTITY_SIZE] = {};

QFile* g_pLogFile = nullptr;
QMutex g_oLogMutex;

bool g_bSettingsPending = true;
bool g_bSinkPending = true;
bool g_bConsoleAllowed = true;

void WriteStdoutLine(const QByteArray& aLine)
{
    std::fwrite(aLine.constData(), 1, static_cast<size_t>(aLine.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
