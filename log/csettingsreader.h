#pragma once

#include <QString>
#include <QVariant>

#include <climits>
#include <memory>

class QSettings;

// Reads one group of an INI settings file with a bound on what a hostile file can cost.
// A file above MAX_FILE_SIZE is not parsed at all: every key reads as its default and
// nothing is written back. A number outside its range, or no number, reads as the default
// and is remembered for a warning; the file keeps the value as written.
class CSettingsReader
{
public:
    static constexpr qint64 MAX_FILE_SIZE = 64 * 1024;

    struct SRejected
    {
        QString sKey;
        QString sValue;
        int iDefault;
    };

    CSettingsReader(const QString& sFile, const QString& sGroup);
    ~CSettingsReader();

    CSettingsReader(const CSettingsReader&) = delete;
    CSettingsReader& operator=(const CSettingsReader&) = delete;

    bool isTooLarge() const;
    int readInt(const char* szKey, int iDefault, int iMin = INT_MIN, int iMax = INT_MAX);
    QString readString(const char* szKey, const QString& sDefault);
    // Keys missing from the file are written back, so after the first start it lists them all.
    void writeBackIfMissing(const char* szKey, const QVariant& oValue);
    // The values readInt refused, in the order they were read.
    const QList<SRejected>& rejected() const;
    // One warning per refused value, naming key and value; one for a file that is too large.
    void logRejected() const;

private:
    QString m_sFile;
    std::unique_ptr<QSettings> m_pSettings; // null when the file is too large
    QList<SRejected> m_lRejected;
};
