#pragma once

#include "log/slogsettings.h"

#include <QString>

class QFile;

// The log file: appends finished lines (without line end) and rotates the file by size. It
// is not locked itself: CLogState calls it with its mutex held, and since that mutex is not
// recursive, nothing here may emit a Qt message.
class CLogFile
{
public:
    constexpr CLogFile() = default;

    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    // The one attempt to open per run, on a closed file; a failure is said on standard output.
    void open(const SLogSettings& oSettings);
    void write(const SLogSettings& oSettings, const QString& sLine);
    void close();

private:
    QFile* openFile(const SLogSettings& oSettings, const char* szFailure);
    void refuse(const SLogSettings& oSettings, const char* szWhat);
    void rotate(const SLogSettings& oSettings);
    bool isTooLarge(const SLogSettings& oSettings) const;
    void countLostLine(const SLogSettings& oSettings, const QString& sReason);
    bool appendLine(const QString& sLine);

    QFile* m_pFile = nullptr;
    // Lines the log took but could not write since the last line that was written.
    qint64 m_llLostLines = 0;
    // The first loss of the process also goes to syslog, in case nobody reads the file again.
    bool m_bLossReported = false;
    // A link (or a fifo, a device) stands in the log's place: said in syslog once, until the
    // log opens again.
    bool m_bLinkRefused = false;
    // The log is to be opened again at the next line: its reopen failed, or a link was refused.
    bool m_bReopen = false;
};
