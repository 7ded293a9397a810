#include "log/logfile.h"

#include "log/logstate.h"

#include <QFile>
#include <QMutexLocker>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

// Everything here runs with g_oLogMutex held. The mutex is not recursive, so nothing here
// may emit a Qt message: the handler would come back into WriteLogFile on this thread.

namespace {

// Lines the log took but could not write since the last line that was written.
qint64 g_llLostLines = 0;
// The first loss of the process also goes to syslog, in case nobody reads the file again.
bool g_bLossReported = false;

// A link (or a fifo, a device) stands in the log's place: said in syslog once, until the log
// opens again.
bool g_bLinkRefused = false;

// Root writes here: a symbolic link planted in a log file's place is never followed, and a
// fifo planted there does not hold the open up until someone reads it.
int OpenNoFollow(const QString& sPath, int iFlags)
{
    return ::open(QFile::encodeName(sPath).constData(), iFlags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
}

const char* const LINK_REFUSED = " is a symbolic link, not followed";

void ReportRefused(const QString& sPath, const char* szWhat)
{
    const QString sText = g_sLogIdentifier + QLatin1String(": ") + sPath + QLatin1String(szWhat);
    syslog(LOG_USER | LOG_ERR, "%s", sText.toLatin1().constData());
}

bool IsRegularFile(int iHandle)
{
    struct stat oStat;
    return ::fstat(iHandle, &oStat) == 0 && S_ISREG(oStat.st_mode);
}

void RefuseLogFile(const char* szWhat)
{
    if (!g_bLinkRefused) {
        g_bLinkRefused = true;
        ReportRefused(g_sLogfileName, szWhat);
    }
}

// Returns the opened log file, or null after reporting szFailure on standard output (or, for
// a link in its place, in syslog, once until the log opens again).
QFile* OpenLogFile(const char* szFailure)
{
    // QFile warns through the message handler about an empty name; avoid asking it.
    if (!g_sLogfileName.isEmpty()) {
        const int iHandle = OpenNoFollow(g_sLogfileName, O_WRONLY | O_APPEND | O_CREAT);
        if (iHandle < 0 && errno == ELOOP) {
            RefuseLogFile(LINK_REFUSED);
            return nullptr;
        }
        // ENXIO: a fifo that nobody reads.
        if ((iHandle < 0 && errno == ENXIO) || (iHandle >= 0 && !IsRegularFile(iHandle))) {
            if (iHandle >= 0) {
                ::close(iHandle);
            }
            RefuseLogFile(" is not a regular file, not written");
            return nullptr;
        }
        QFile* pFile = new QFile(g_sLogfileName);
        // Unbuffered: a line that cannot be written is dropped at once, never held in memory.
        if (iHandle >= 0
            && pFile->open(iHandle, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered,
                           QFileDevice::AutoCloseHandle)) {
            g_bLinkRefused = false;
            return pFile;
        }
        delete pFile;
        if (iHandle >= 0) {
            ::close(iHandle);
        }
    }
    WriteStdoutLine(g_sLogIdentifier.toLatin1() + szFailure);
    return nullptr;
}

QString GenerationName(int iGeneration)
{
    return g_sLogfileName + QLatin1Char('.') + QString::number(iGeneration);
}

// A copy made afresh (O_EXCL), so that a link planted as a generation is neither read nor
// written through.
void CopyGeneration(const QString& sSource, const QString& sTarget)
{
    const int iSource = OpenNoFollow(sSource, O_RDONLY);
    if (iSource < 0) {
        if (errno == ELOOP) {
            ReportRefused(sSource, LINK_REFUSED);
        }
        return;
    }
    const int iTarget = OpenNoFollow(sTarget, O_WRONLY | O_CREAT | O_EXCL);
    if (iTarget < 0) {
        ::close(iSource);
        return;
    }
    char aBuffer[65536];
    ssize_t llRead;
    while ((llRead = ::read(iSource, aBuffer, sizeof(aBuffer))) > 0 && ::write(iTarget, aBuffer, llRead) == llRead) {
    }
    ::close(iTarget);
    ::close(iSource);
}

// Generations are copied, not moved, and failures (e.g. a generation that does not exist
// yet) are ignored.
void RotateLogFile()
{
    g_pLogFile->close();
    for (int iGeneration = g_iLogfileRedundancy; iGeneration >= 1; --iGeneration) {
        const QString sTarget = GenerationName(iGeneration);
        QFile::remove(sTarget);
        CopyGeneration(iGeneration == 1 ? g_sLogfileName : GenerationName(iGeneration - 1), sTarget);
    }
    QFile::remove(g_sLogfileName);
    delete g_pLogFile;
    g_pLogFile = OpenLogFile("reopen log file failed");
}

bool LogFileTooLarge()
{
    // A log removed from outside (no link left) is not checked; lines keep going to the open handle.
    struct stat oStat;
    return ::fstat(g_pLogFile->handle(), &oStat) == 0 && oStat.st_nlink > 0
           && oStat.st_size > static_cast<off_t>(g_iLogfileSize);
}

void CountLostLine(const QString& sReason)
{
    ++g_llLostLines;
    // A refused link has told syslog already.
    if (!g_bLossReported && !g_bLinkRefused) {
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

    if (g_iLogMessage == 0 || iLevel < g_iLogLevel) {
        return;
    }
    // A refused link is looked at again for every line: once it is gone, the log goes on.
    if (g_pLogFile == nullptr && g_bLinkRefused) {
        g_pLogFile = OpenLogFile("reopen log file failed");
        if (g_pLogFile == nullptr) {
            // Syslog heard of the link when it was refused.
            ++g_llLostLines;
            return;
        }
    }
    if (g_pLogFile == nullptr) {
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
