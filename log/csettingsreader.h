#pragma once

#include <QString>
#include <QVariant>

#include <climits>
#include <memory>
#include <optional>

class QSettings;

// Reads one group of an INI settings file with a bound on what a hostile file can cost.
// A file above MAX_FILE_SIZE is not parsed at all: every key reads as its default and
// nothing is written back. A value of the wrong form (a number outside its range or no
// number, a serialised variant of any type, a value Qt cannot read) reads as the default and
// is remembered for a warning; the file keeps the value as written.
class CSettingsReader
{
public:
    static constexpr qint64 MAX_FILE_SIZE = 64 * 1024;

    CSettingsReader(const QString& sFile, const QString& sGroup);
    ~CSettingsReader();

    CSettingsReader(const CSettingsReader&) = delete;
    CSettingsReader& operator=(const CSettingsReader&) = delete;

    bool isTooLarge() const;
    int readInt(const char* szKey, int iDefault, int iMin = INT_MIN, int iMax = INT_MAX);
    // A value with a comma is the whole text, commas and all.
    QString readString(const char* szKey, const QString& sDefault);
    // Keys missing from the file are written back, so after the first start it lists them all.
    void writeBackIfMissing(const char* szKey, const QVariant& oValue);
    // One warning per refused value, naming key and value; one for a file that is too large.
    void logRejected() const;

private:
    struct SRejected
    {
        QString sKey;
        QString sValue;
        QString sDefault;
    };

    // The key's value; none when the file is not read or lacks the key.
    std::optional<QVariant> valueOf(const char* szKey) const;
    void reject(const char* szKey, const QVariant& oValue, const QString& sDefault);

    QString m_sFile;
    std::unique_ptr<QSettings> m_pSettings; // null when the file is too large
    QList<SRejected> m_lRejected;
};
