#include "log/logmessagehandler.h"

#include "log/csettingsreader.h"
#include "log/logfile.h"
#include "log/logstate.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QMutexLocker>

#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace {

const char* const SETTINGS_FILE = "/etc/Veltrano/usb.ini";
const char* const LOG_FOLDER = "/var/log/Veltrano/";

struct SLevel
{
    const char* szFileLabel;
    const char* szConsoleTag;
    int iSyslogPriority;
};

// Indexed by level: debug, warning, critical, fatal.
const SLevel LEVELS[] = {
    {" D ", "\x1b[94m D: ", LOG_DEBUG},
    {" W ", "\x1b[93m W: ", LOG_WARNING},
    {" C ", "\x1b[95m C: ", LOG_CRIT},
    {" F ", "\x1b[91m F: ", LOG_ALERT},
};

int LevelOf(QtMsgType eType)
{
    switch (eType) {
    case QtWarningMsg:
        return 1;
    case QtCriticalMsg:
        return 2;
    case QtFatalMsg:
        return 3;
    default:
        // Debug, and info, which the peers' Qt 4 did not have: the lowest level.
        return 0;
    }
}

// "usb.ini" gives "/var/log/Veltrano/usb.log".
QString DefaultLogfileName()
{
    const QString sSettingsFile = QString::fromLatin1(SETTINGS_FILE);
    const int iNameStart = sSettingsFile.lastIndexOf(QLatin1Char('/')) + 1;
    const int iDot = sSettingsFile.lastIndexOf(QLatin1String(".ini"));
    return QString::fromLatin1(LOG_FOLDER) + sSettingsFile.mid(iNameStart, iDot + 1 - iNameStart)
           + QLatin1String("log");
}

void ReadSettings()
{
    if (g_sLogIdentifier.isEmpty()) {
        g_sLogIdentifier =
            QLatin1String("NOID(") + QString::number(QCoreApplication::applicationPid()) + QLatin1Char(')');
    }

    // A missing or read-only usb.ini leaves the defaults in effect without a word.
    CSettingsReader oSettings(QString::fromLatin1(SETTINGS_FILE), QLatin1String("DEBUG_MESSAGES"));
    g_iDisplayMessage = oSettings.readInt("Display_Message", 0);
    g_iDisplayLevel = oSettings.readInt("Display_Level", 1);
    g_iLogMessage = oSettings.readInt("Log_Message", 1);
    g_iLogLevel = oSettings.readInt("Log_Level", 1);
    g_iLogfileSize = oSettings.readInt("Logfile_Size", 1048576, 0);
    // Every rotation copies each generation once: keep it to what a log folder can hold.
    g_iLogfileRedundancy = oSettings.readInt("Logfile_Redundancy", 1, 0, 99);
    g_sLogfileName = oSettings.readString("Logfile_Name", DefaultLogfileName());
    g_iUseSysLog = oSettings.readInt("Use_SysLog", 0);

    oSettings.writeBackIfMissing("Display_Message", g_iDisplayMessage);
    oSettings.writeBackIfMissing("Display_Level", g_iDisplayLevel);
    oSettings.writeBackIfMissing("Log_Message", g_iLogMessage);
    oSettings.writeBackIfMissing("Log_Level", g_iLogLevel);
    oSettings.writeBackIfMissing("Logfile_Size", g_iLogfileSize);
    oSettings.writeBackIfMissing("Logfile_Redundancy", g_iLogfileRedundancy);
    oSettings.writeBackIfMissing("Logfile_Name", g_sLogfileName);
    oSettings.writeBackIfMissing("Use_SysLog", g_iUseSysLog);

    if (!g_bConsoleAllowed) {
        g_iDisplayMessage = 0;
    }
    g_bSettingsPending = false;
    // Only now: the warnings come back through this handler, which must find the settings read.
    oSettings.logRejected();
}

QString UtcTime(const char* szFormat)
{
    return QDateTime::currentDateTimeUtc().toString(QLatin1String(szFormat));
}

// Texts from a stick (udev's model, vendor, serial) reach the console and the log: a terminal
// that shows them must not take their control characters for commands.
QString Printable(const QString& sText)
{
    QString sPrintable = sText;
    for (QChar& oChar : sPrintable) {
        const char16_t cCode = oChar.unicode();
        const bool bControl = (cCode < 0x20 && cCode != '\n' && cCode != '\t') || (cCode >= 0x7f && cCode < 0xa0);
        if (bControl) {
            oChar = QLatin1Char('?');
        }
    }
    return sPrintable;
}

void WriteConsole(int iLevel, const QString& sText)
{
    const QString sLine = QLatin1String("\x1b[92m") + g_sLogIdentifier + QLatin1String("\x1b[0m:")
                          + UtcTime("hh:mm:ss:zzz") + QLatin1String(LEVELS[iLevel].szConsoleTag) + sText
                          + QLatin1String("\x1b[0m");
    WriteStdoutLine(sLine.toLatin1());
}

void CopySyslogIdentity()
{
    const QByteArray aIdentity = g_sLogIdentifier.left(SYSLOG_IDENTITY_SIZE - 1).toLatin1();
    std::memcpy(g_szSyslogIdentity, aIdentity.constData(), static_cast<size_t>(aIdentity.size()));
    g_szSyslogIdentity[aIdentity.size()] = '\0';
}

void WriteSyslog(int iLevel, const QString& sText)
{
    if (g_bSinkPending) {
        CopySyslogIdentity();
        openlog(g_szSyslogIdentity, LOG_CONS | LOG_PID, LOG_USER);
        g_bSinkPending = false;
    }
    syslog(LEVELS[iLevel].iSyslogPriority, "%s", sText.toLatin1().constData());
}

void WriteLog(int iLevel, const QString& sText)
{
    if (g_iUseSysLog != 0) {
        WriteSyslog(iLevel, sText);
        return;
    }
    WriteLogFile(iLevel, LogFileLine(iLevel, sText));
}

} // namespace

QString LogFileLine(int iLevel, const QString& sText)
{
    return g_sLogIdentifier + QLatin1Char(':') + UtcTime("yyyy-MM-dd_hh:mm:ss:zzz")
           + QLatin1String(LEVELS[iLevel].szFileLabel) + sText;
}

void LogMessageHandler(QtMsgType eType, const QMessageLogContext&, const QString& sMessage)
{
    const QString sText = Printable(sMessage);
    // Not guarded: the first message comes from the main thread before other threads exist.
    if (g_bSettingsPending) {
        ReadSettings();
    }

    const int iLevel = LevelOf(eType);
    if (g_iDisplayMessage != 0 && iLevel >= g_iDisplayLevel) {
        WriteConsole(iLevel, sText);
    }
    if (g_iLogMessage != 0 && iLevel >= g_iLogLevel) {
        WriteLog(iLevel, sText);
    }
    if (eType == QtFatalMsg) {
        std::abort();
    }
}

void SetLogIdentifier(const QString& sIdentifier)
{
    g_sLogIdentifier = sIdentifier;
    CopySyslogIdentity();
}

void DisableConsoleOutput()
{
    g_bConsoleAllowed = false;
    g_iDisplayMessage = 0;
}

void CloseLog()
{
    QMutexLocker oLock(&g_oLogMutex);
    if (g_bSettingsPending) {
        return;
    }
    if (g_iLogMessage != 0) {
        if (g_pLogFile != nullptr) {
            g_pLogFile->close();
            delete g_pLogFile;
            g_pLogFile = nullptr;
        }
        if (!g_bSinkPending && g_iUseSysLog != 0) {
            closelog();
        }
    }
    g_bSettingsPending = true;
    g_bSinkPending = true;
}
