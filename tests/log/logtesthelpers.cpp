#include "logtesthelpers.h"

#include "log/logmessagehandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryFile>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <unistd.h>

const char* const TEST_INI_FILE = "/etc/Veltrano/usb.ini";
const char* const TEST_LOG_FOLDER = "/var/log/Veltrano";
const char* const TEST_LOG_FILE = "/var/log/Veltrano/usb.log";

namespace {

std::mutex g_oSyslogMutex;
SSyslog g_oSyslog;
const char* g_szSyslogIdentity = nullptr;

void RecordSyslog(int iPriority, const char* szFormat, va_list oArguments)
{
    char szText[4096];
    std::vsnprintf(szText, sizeof(szText), szFormat, oArguments);
    const std::lock_guard<std::mutex> oLock(g_oSyslogMutex);
    g_oSyslog.lCalls.append({iPriority, QByteArray(g_szSyslogIdentity), QByteArray(szText)});
}

} // namespace

extern "C" void openlog(const char* szIdentity, int iOptions, int iFacility)
{
    const std::lock_guard<std::mutex> oLock(g_oSyslogMutex);
    ++g_oSyslog.iOpenCount;
    g_szSyslogIdentity = szIdentity;
    g_oSyslog.iOpenOptions = iOptions;
    g_oSyslog.iOpenFacility = iFacility;
}

extern "C" void syslog(int iPriority, const char* szFormat, ...)
{
    va_list oArguments;
    va_start(oArguments, szFormat);
    RecordSyslog(iPriority, szFormat, oArguments);
    va_end(oArguments);
}

// With _FORTIFY_SOURCE the library's calls of syslog() become calls of this one.
extern "C" void __syslog_chk(int iPriority, int, const char* szFormat, ...)
{
    va_list oArguments;
    va_start(oArguments, szFormat);
    RecordSyslog(iPriority, szFormat, oArguments);
    va_end(oArguments);
}

extern "C" void closelog()
{
    const std::lock_guard<std::mutex> oLock(g_oSyslogMutex);
    ++g_oSyslog.iCloseCount;
}

SSyslog HeardBySyslog()
{
    const std::lock_guard<std::mutex> oLock(g_oSyslogMutex);
    return g_oSyslog;
}

void ResetLog(const QByteArray& aIniContent)
{
    CloseLog();
    std::unique_lock<std::mutex> oLock(g_oSyslogMutex);
    g_oSyslog = SSyslog();
    g_szSyslogIdentity = nullptr;
    oLock.unlock();
    QDir().mkpath(QStringLiteral("/etc/Veltrano"));
    QFile::remove(QString::fromLatin1(TEST_INI_FILE));
    if (!aIniContent.isNull()) {
        WriteFile(QString::fromLatin1(TEST_INI_FILE), aIniContent);
    }
    QDir(QString::fromLatin1(TEST_LOG_FOLDER)).removeRecursively();
    QDir().mkpath(QString::fromLatin1(TEST_LOG_FOLDER));
}

void LogMessage(QtMsgType eType, const QString& sText)
{
    LogMessageHandler(eType, QMessageLogContext(), sText);
}

QByteArray CaptureStdout(const std::function<void()>& fnAction)
{
    QTemporaryFile oCapture;
    if (!oCapture.open()) {
        qFatal("cannot create the capture file");
    }
    std::fflush(stdout);
    const int iSaved = dup(STDOUT_FILENO);
    dup2(oCapture.handle(), STDOUT_FILENO);
    fnAction();
    std::fflush(stdout);
    dup2(iSaved, STDOUT_FILENO);
    close(iSaved);
    oCapture.seek(0);
    return oCapture.readAll();
}

QStringList ReadLines(const QString& sPath)
{
    QString sContent = QString::fromUtf8(ReadFile(sPath));
    if (sContent.endsWith(QLatin1Char('\n'))) {
        sContent.chop(1);
    }
    return sContent.isEmpty() ? QStringList() : sContent.split(QLatin1Char('\n'));
}

QByteArray ReadFile(const QString& sPath)
{
    QFile oFile(sPath);
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}

void WriteFile(const QString& sPath, const QByteArray& aContent)
{
    QFile oFile(sPath);
    if (!oFile.open(QIODevice::WriteOnly | QIODevice::Truncate) || oFile.write(aContent) != aContent.size()) {
        qFatal("cannot write %s", qPrintable(sPath));
    }
}

QStringList LoggedTexts(const QString& sPath)
{
    QStringList lTexts = ReadLines(sPath);
    for (QString& sLine : lTexts) {
        sLine = sLine.section(QLatin1Char(' '), 1);
    }
    return lTexts;
}

QString DefaultIdentifier()
{
    return QStringLiteral("NOID(%1)").arg(QCoreApplication::applicationPid());
}
