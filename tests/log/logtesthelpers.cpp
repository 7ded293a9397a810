#include "logtesthelpers.h"

#include "log/logmessagehandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

const char* const TEST_INI_FILE = "/etc/Veltrano/usb.ini";
const char* const TEST_LOG_FOLDER = "/var/log/Veltrano";
const char* const TEST_LOG_FILE = "/var/log/Veltrano/usb.log";

void ResetLog(const QByteArray& aIniContent)
{
    CloseLog();
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
    QFile oFile(sPath);
    if (!oFile.open(QIODevice::ReadOnly)) {
        return {};
    }
    QString sContent = QString::fromUtf8(oFile.readAll());
    if (sContent.endsWith(QLatin1Char('\n'))) {
        sContent.chop(1);
    }
    return sContent.isEmpty() ? QStringList() : sContent.split(QLatin1Char('\n'));
}

void WriteFile(const QString& sPath, const QByteArray& aContent)
{
    QFile oFile(sPath);
    if (!oFile.open(QIODevice::WriteOnly | QIODevice::Truncate) || oFile.write(aContent) != aContent.size()) {
        qFatal("cannot write %s", qPrintable(sPath));
    }
}

QString DefaultIdentifier()
{
    return QStringLiteral("NOID(%1)").arg(QCoreApplication::applicationPid());
}
