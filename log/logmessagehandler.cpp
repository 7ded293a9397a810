#include "log/logmessagehandler.h"

#include "log/clogstate.h"
#include "log/csettingsreader.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QList>

#include <cstdio>
#include <cstdlib>
#include <syslog.h>
#include <utility>

namespace {

const char* const SETTINGS_FILE = "/etc/Veltrano/usb.ini";
const char* const LOG_FOLDER = "/var/log/Veltrano/";

CLogState g_oLogState;

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

struct SMessage
{
    QtMsgType eType;
    QString sText;
};

// What the handler on this thread is doing; the messages it has put off, in its own frame.
enum EHandlerState { HandlerFree, HandlerWriting, HandlerWritingDeferred };
thread_local EHandlerState t_eHandler = HandlerFree;
thread_local QList<SMessage>* t_plDeferred = nullptr;

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

// Reads the settings from usb.ini and puts them in effect, unless another thread was first;
// returns those in effect.
SLogSettings ReadSettings()
{
    // A missing or read-only usb.ini leaves the defaults in effect without a word.
    CSettingsReader oReader(QString::fromLatin1(SETTINGS_FILE), QLatin1String("DEBUG_MESSAGES"));
    SLogSettings oSettings {};
    oSettings.iDisplayMessage = oReader.readInt("Display_Message", 0);
    oSettings.iDisplayLevel = oReader.readInt("Display_Level", 1);
    oSettings.iLogMessage = oReader.readInt("Log_Message", 1);
    oSettings.iLogLevel = oReader.readInt("Log_Level", 1);
    oSettings.iLogfileSize = oReader.readInt("Logfile_Size", 1048576, 0);
    // Every rotation copies each generation once: keep it to what a log folder can hold.
    oSettings.iLogfileRedundancy = oReader.readInt("Logfile_Redundancy", 1, 0, 99);
    oSettings.sLogfileName = oReader.readString("Logfile_Name", DefaultLogfileName());
    oSettings.iUseSysLog = oReader.readInt("Use_SysLog", 0);

    oReader.writeBackIfMissing("Display_Message", oSettings.iDisplayMessage);
    oReader.writeBackIfMissing("Display_Level", oSettings.iDisplayLevel);
    oReader.writeBackIfMissing("Log_Message", oSettings.iLogMessage);
    oReader.writeBackIfMissing("Log_Level", oSettings.iLogLevel);
    oReader.writeBackIfMissing("Logfile_Size", oSettings.iLogfileSize);
    oReader.writeBackIfMissing("Logfile_Redundancy", oSettings.iLogfileRedundancy);
    oReader.writeBackIfMissing("Logfile_Name", oSettings.sLogfileName);
    oReader.writeBackIfMissing("Use_SysLog", oSettings.iUseSysLog);

    // Once, by the thread whose settings were stored; raised inside the handler, the warnings
    // are written when it is free.
    if (g_oLogState.storeSettings(oSettings)) {
        oReader.logRejected();
    }
    return oSettings;
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

void WriteConsole(const QString& sIdentifier, int iLevel, const QString& sText)
{
    const QString sLine = QLatin1String("\x1b[92m") + sIdentifier + QLatin1String("\x1b[0m:") + UtcTime("hh:mm:ss:zzz")
                          + QLatin1String(LEVELS[iLevel].szConsoleTag) + sText + QLatin1String("\x1b[0m");
    WriteStdoutLine(sLine.toLatin1());
}

void WriteMessage(QtMsgType eType, const QString& sMessage)
{
    const QString sText = Printable(sMessage);
    SLogSettings oSettings {};
    if (!g_oLogState.settings(oSettings)) {
        oSettings = ReadSettings();
    }

    const int iLevel = LevelOf(eType);
    if (oSettings.iDisplayMessage != 0 && iLevel >= oSettings.iDisplayLevel) {
        WriteConsole(oSettings.sIdentifier, iLevel, sText);
    }
    if (oSettings.iLogMessage != 0 && iLevel >= oSettings.iLogLevel) {
        if (oSettings.iUseSysLog != 0) {
            g_oLogState.writeSyslog(LEVELS[iLevel].iSyslogPriority, sText.toLatin1());
        } else {
            WriteLogFile(iLevel, LogFileLine(oSettings.sIdentifier, iLevel, sText));
        }
    }
    if (eType == QtFatalMsg) {
        std::abort();
    }
}

// A message raised while this thread's handler is at work (a warning of QSettings while the
// settings are read, of QFile while a line is written) must not take the locks that work may
// hold: it waits until the handler is free, or, raised by a message that waited, goes to
// standard error at once. A fatal one cannot wait.
void DeferNested(QtMsgType eType, const QString& sMessage)
{
    if (t_eHandler == HandlerWriting && eType != QtFatalMsg) {
        t_plDeferred->append({eType, sMessage});
        return;
    }
    const QByteArray aLine = LogFileLine(DefaultLogIdentifier(), LevelOf(eType), Printable(sMessage)).toLatin1() + '\n';
    std::fwrite(aLine.constData(), 1, static_cast<size_t>(aLine.size()), stderr);
    if (eType == QtFatalMsg) {
        std::abort();
    }
}

} // namespace

QString DefaultLogIdentifier()
{
    return QLatin1String("NOID(") + QString::number(QCoreApplication::applicationPid()) + QLatin1Char(')');
}

QString LogFileLine(const QString& sIdentifier, int iLevel, const QString& sText)
{
    return sIdentifier + QLatin1Char(':') + UtcTime("yyyy-MM-dd_hh:mm:ss:zzz")
           + QLatin1String(LEVELS[iLevel].szFileLabel) + sText;
}

void WriteStdoutLine(const QByteArray& aLine)
{
    // One write, so that lines of two threads never share a line.
    const QByteArray aTerminated = aLine + '\n';
    std::fwrite(aTerminated.constData(), 1, static_cast<size_t>(aTerminated.size()), stdout);
    std::fflush(stdout);
}

void WriteLogFile(int iLevel, const QString& sLine)
{
    g_oLogState.writeFile(iLevel, sLine);
}

void LogMessageHandler(QtMsgType eType, const QMessageLogContext&, const QString& sMessage)
{
    if (t_eHandler != HandlerFree) {
        DeferNested(eType, sMessage);
        return;
    }
    QList<SMessage> lDeferred;
    t_plDeferred = &lDeferred;
    t_eHandler = HandlerWriting;
    WriteMessage(eType, sMessage);
    // What writing the message raised, in order. What writing these raises in turn goes to
    // standard error: a sink that warns on every line must not keep the handler going for ever.
    t_eHandler = HandlerWritingDeferred;
    for (const SMessage& oDeferred : std::as_const(lDeferred)) {
        WriteMessage(oDeferred.eType, oDeferred.sText);
    }
    t_plDeferred = nullptr;
    t_eHandler = HandlerFree;
}

void SetLogIdentifier(const QString& sIdentifier)
{
    g_oLogState.setIdentifier(sIdentifier);
}

void DisableConsoleOutput()
{
    g_oLogState.disableConsole();
}

void CloseLog()
{
    g_oLogState.close();
}
