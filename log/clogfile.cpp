#include "log/clogfile.h"

#include "log/logmessagehandler.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Root writes here: a symbolic link planted in a log file's place is never followed, and a
// fifo planted there does not hold the open up until someone reads it.
int OpenNoFollow(const QString& sPath, int iFlags)
{
    return ::open(QFile::encodeName(sPath).constData(), iFlags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
}

const char* const LINK_REFUSED = " is a symbolic link, not followed";

void ReportRefused(const QString& sIdentifier, const QString& sPath, const char* szWhat)
{
    const QString sText = sIdentifier + QLatin1String(": ") + sPath + QLatin1String(szWhat);
    syslog(LOG_USER | LOG_ERR, "%s", sText.toLatin1().constData());
}

bool IsRegularFile(int iHandle)
{
    struct stat oStat;
    return ::fstat(iHandle, &oStat) == 0 && S_ISREG(oStat.st_mode);
}

QString GenerationName(const SLogSettings& oSettings, int iGeneration)
{
    return oSettings.sLogfileName + QLatin1Char('.') + QString::number(iGeneration);
}

// A copy made afresh (O_EXCL), so that a link planted as a generation is neither read nor
// written through.
void CopyGeneration(const QString& sIdentifier, const QString& sSource, const QString& sTarget)
{
    const int iSource = OpenNoFollow(sSource, O_RDONLY);
    if (iSource < 0) {
        if (errno == ELOOP) {
            ReportRefused(sIdentifier, sSource, LINK_REFUSED);
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

} // namespace

void CLogFile::open(const SLogSettings& oSettings)
{
    m_pFile = openFile(oSettings, "open log file failed");
}

void CLogFile::write(const SLogSettings& oSettings, const QString& sLine)
{
    // After a failed reopen, or while a link stands in the log's place, the log is opened again
    // for every line, quietly: once it opens, its first line says how many were lost meanwhile.
    if (m_pFile == nullptr && m_bReopen) {
        m_pFile = openFile(oSettings, nullptr);
        if (m_pFile == nullptr) {
            ++m_llLostLines;
            return;
        }
    }
    if (m_pFile == nullptr) {
        return;
    }

    if (isTooLarge(oSettings)) {
        rotate(oSettings);
        if (m_pFile == nullptr) {
            countLostLine(oSettings, QLatin1String("reopen log file failed"));
            return;
        }
    }

    if (m_llLostLines > 0
        && appendLine(
            LogFileLine(oSettings.sIdentifier, 1, QString::number(m_llLostLines) + QLatin1String(" log lines lost")))) {
        m_llLostLines = 0;
    }
    if (m_llLostLines > 0 || !appendLine(sLine)) {
        countLostLine(oSettings, m_pFile->errorString());
    }
}

void CLogFile::close()
{
    delete m_pFile;
    m_pFile = nullptr;
}

// Returns the opened log file, or null after reporting szFailure on standard output unless it
// is null (a link in its place is told in syslog, once until the log opens again).
QFile* CLogFile::openFile(const SLogSettings& oSettings, const char* szFailure)
{
    const QString& sName = oSettings.sLogfileName;
    // QFile warns through the message handler about an empty name; avoid asking it.
    if (!sName.isEmpty()) {
        const int iHandle = OpenNoFollow(sName, O_WRONLY | O_APPEND | O_CREAT);
        if (iHandle < 0 && errno == ELOOP) {
            refuse(oSettings, LINK_REFUSED);
            return nullptr;
        }
        // ENXIO: a fifo that nobody reads.
        if ((iHandle < 0 && errno == ENXIO) || (iHandle >= 0 && !IsRegularFile(iHandle))) {
            if (iHandle >= 0) {
                ::close(iHandle);
            }
            refuse(oSettings, " is not a regular file, not written");
            return nullptr;
        }
        QFile* pFile = new QFile(sName);
        // Unbuffered: a line that cannot be written is dropped at once, never held in memory.
        if (iHandle >= 0
            && pFile->open(iHandle, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text | QIODevice::Unbuffered,
                           QFileDevice::AutoCloseHandle)) {
            m_bLinkRefused = false;
            m_bReopen = false;
            return pFile;
        }
        delete pFile;
        if (iHandle >= 0) {
            ::close(iHandle);
        }
    }
    if (szFailure != nullptr) {
        WriteStdoutLine(oSettings.sIdentifier.toLatin1() + szFailure);
    }
    return nullptr;
}

void CLogFile::refuse(const SLogSettings& oSettings, const char* szWhat)
{
    m_bReopen = true;
    if (!m_bLinkRefused) {
        m_bLinkRefused = true;
        ReportRefused(oSettings.sIdentifier, oSettings.sLogfileName, szWhat);
    }
}

// Generations are copied, not moved, and failures (e.g. a generation that does not exist
// yet) are ignored.
void CLogFile::rotate(const SLogSettings& oSettings)
{
    m_pFile->close();
    for (int iGeneration = oSettings.iLogfileRedundancy; iGeneration >= 1; --iGeneration) {
        const QString sTarget = GenerationName(oSettings, iGeneration);
        QFile::remove(sTarget);
        CopyGeneration(oSettings.sIdentifier,
                       iGeneration == 1 ? oSettings.sLogfileName : GenerationName(oSettings, iGeneration - 1), sTarget);
    }
    QFile::remove(oSettings.sLogfileName);
    delete m_pFile;
    m_pFile = openFile(oSettings, "reopen log file failed");
    m_bReopen = m_pFile == nullptr;
}

bool CLogFile::isTooLarge(const SLogSettings& oSettings) const
{
    // A log removed from outside (no link left) is not checked; lines keep going to the open handle.
    struct stat oStat;
    return ::fstat(m_pFile->handle(), &oStat) == 0 && oStat.st_nlink > 0
           && oStat.st_size > static_cast<off_t>(oSettings.iLogfileSize);
}

void CLogFile::countLostLine(const SLogSettings& oSettings, const QString& sReason)
{
    ++m_llLostLines;
    // A refused link has told syslog already.
    if (!m_bLossReported && !m_bLinkRefused) {
        m_bLossReported = true;
        const QString sText = oSettings.sIdentifier + QLatin1String(": log lines lost, writing ")
                              + oSettings.sLogfileName + QLatin1String(" failed: ") + sReason;
        syslog(LOG_USER | LOG_ERR, "%s", sText.toLatin1().constData());
    }
}

// A failed write may have left part of the line behind: cut it off so the next line starts
// on a line of its own.
bool CLogFile::appendLine(const QString& sLine)
{
    const QByteArray aLine = sLine.toUtf8() + '\n';
    const qint64 llSizeBefore = m_pFile->size();
    if (m_pFile->write(aLine) == aLine.size()) {
        return true;
    }
    m_pFile->resize(llSizeBefore);
    return false;
}
