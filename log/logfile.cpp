#include "log/logfile.h"

#include "log/logstate.h"

#include <QFile>
#include <QMutexLocker>

#include <syslog.h>

// Everything here runs with g_oLogMutex held. The mutex is not recursive, so nothing here
// may emit a Qt message: the handler would come back into WriteLogFile on this thread.

namespace {

// Lines the log took but could not write since the last line that was written.
qint64 g_llLostLines = 0;
// The first loss of the process also goes to syslog, in case nobody reads the file again.
bool g_bLossReported = false;

// Returns the opened log file, or null after reporting szFailure on standard output.
QFile* OpenLogFile(const char* szFailure)
{
    // QFile warns through the message handler about an empty name; avoid asking it.
    if (!g_sLogfileName.isEmpty()) {
        QFile* pFile = new QFile(g_sLogfileName);
        // Unbuffered: a line that cannot be written is dropped at once, never held in memory.
        if (pFile->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered)) {
            return pFile;
        }
        delete pFile;
    }
    WriteStdoutLine(g_sLogIdentifier.toLatin1() + szFailure);
    return nullptr;
}

QString GenerationName(int iGeneration)
{
    return g_sLogfileName + QLatin1Char('.') + QString::number(iGeneration);
}

// Generations are copied, not moved, and failures (e.g. a generation that does not exist
// yet) are ignored.
void RotateLogFile()
{
    g_pLogFile->close();
    for (int iGeneration = g_iLogfileRedundancy; iGeneration >= 1; --iGeneration) {
        const QString sTarget = GenerationName(iGeneration);
        QFile::remove(sTarget);
        QFile::copy(iGeneration == 1 ? g_sLogfileName : GenerationName(iGeneration - 1), sTarget);
    }
    QFile::remove(g_sLogfileName);
    delete g_pLogFile;
    g_pLogFile = OpenLogFile("reopen log file failed");
}

bool LogFileTooLarge()
{
    // A log removed from outside is not checked; lines keep going to the open handle.
    return g_pLogFile->exists() && g_pLogFile->size() > static_cast<qint64>(g_iLogfileSize);
}

void CountLostLine(const QString& sReason)
{
    ++g_llLostLines;
    if (!g_bLossReported) {
        g_bLossReported = true;
        const QString sText = g_sLogIdentifier + QLatin1String(": log lines lost, writing ") + g_sLogfileName
                              + QLatin1String(" failed: ") + sReason;
        syslog(LOG_USER | LOG_ERR, "%s", sText.toLatin1().constData());
    }
}

// A failed write may have left part of the line behind: cut it off so the next line starts
// on a line of its own.
bool AppendLine(const QString& sLine)
{
    const QByteArray aLine = sLine.toUtf8() + '\n';
    const qint64 llSizeBefore = g_pLogFile->size();
    if (g_pLogFile->write(aLine) == aLine.size()) {
        return true;
    }
    g_pLogFile->resize(llSizeBefore);
    return false;
}

} // namespace

void WriteLogFile(int iLevel, const QString& sLine)
{
    QMutexLocker oLock(&g_oLogMutex);

    // One attempt to open per run: a failed open leaves the file log off.
    if (g_bSinkPending) {
        g_bSinkPending = false;
        delete g_pLogFile;
        g_pLogFile = nullptr;
        if (g_iLogMessage != 0) {
            g_pLogFile = OpenLogFile("open log file failed");
        }
    }

    if (g_pLogFile == nullptr || g_iLogMessage == 0 || iLevel < g_iLogLevel) {
        return;
    }

    if (LogFileTooLarge()) {
        RotateLogFile();
        if (g_pLogFile == nullptr) {
            CountLostLine(QLatin1String("reopen log file failed"));
            return;
        }
    }

    if (g_llLostLines > 0
        && AppendLine(LogFileLine(1, QString::number(g_llLostLines) + QLatin1String(" log lines lost")))) {
        g_llLostLines = 0;
    }
    if (g_llLostLines > 0 || !AppendLine(sLine)) {
        CountLostLine(g_pLogFile->errorString());
    }
}
