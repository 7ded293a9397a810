#include "log/logfile.h"

#include "log/logstate.h"

#include <QFile>
#include <QMutexLocker>
#include <QTextStream>

// Everything here runs with g_oLogMutex held. The mutex is not recursive, so nothing here
// may emit a Qt message: the handler would come back into WriteLogFile on this thread.

namespace {

// Returns the opened log file, or null after reporting szFailure on standard output.
QFile* OpenLogFile(const char* szFailure)
{
    // QFile warns through the message handler about an empty name; avoid asking it.
    if (!g_sLogfileName.isEmpty()) {
        QFile* pFile = new QFile(g_sLogfileName);
        if (pFile->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
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
            return;
        }
    }

    QTextStream oStream(g_pLogFile);
    oStream << sLine << Qt::endl;
}
