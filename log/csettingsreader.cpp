#include "log/csettingsreader.h"

#include "log/clogstream.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>

CSettingsReader::CSettingsReader(const QString& sFile, const QString& sGroup)
    : m_sFile(sFile)
{
    // QSettings holds the whole parsed file in memory for as long as it exists.
    if (QFileInfo(sFile).size() > MAX_FILE_SIZE) {
        return;
    }
    m_pSettings = std::make_unique<QSettings>(sFile, QSettings::IniFormat);
    m_pSettings->beginGroup(sGroup);
}

// The destruction writes the keys that writeBackIfMissing added.
CSettingsReader::~CSettingsReader() = default;

bool CSettingsReader::isTooLarge() const
{
    return m_pSettings == nullptr;
}

int CSettingsReader::readInt(const char* szKey, int iDefault, int iMin, int iMax)
{
    if (m_pSettings == nullptr) {
        return iDefault;
    }
    const QVariant oValue = m_pSettings->value(QLatin1String(szKey));
    if (!oValue.isValid()) {
        return iDefault;
    }
    // A value with a comma comes back as a list; it is no number either.
    const QString sValue =
        oValue.typeId() == QMetaType::QStringList ? oValue.toStringList().join(QLatin1Char(',')) : oValue.toString();
    bool bNumber = false;
    const qlonglong llValue = sValue.toLongLong(&bNumber);
    if (!bNumber || llValue < iMin || llValue > iMax) {
        m_lRejected.append({QLatin1String(szKey), sValue, iDefault});
        return iDefault;
    }
    return static_cast<int>(llValue);
}

QString CSettingsReader::readString(const char* szKey, const QString& sDefault)
{
    if (m_pSettings == nullptr) {
        return sDefault;
    }
    return m_pSettings->value(QLatin1String(szKey), sDefault).toString();
}

void CSettingsReader::writeBackIfMissing(const char* szKey, const QVariant& oValue)
{
    if (m_pSettings != nullptr && !m_pSettings->contains(QLatin1String(szKey))) {
        m_pSettings->setValue(QLatin1String(szKey), oValue);
    }
}

const QList<CSettingsReader::SRejected>& CSettingsReader::rejected() const
{
    return m_lRejected;
}

void CSettingsReader::logRejected() const
{
    if (isTooLarge()) {
        CUSB_WARNING << m_sFile << "is larger than" << MAX_FILE_SIZE << "bytes and not read => defaults";
    }
    for (const SRejected& oRejected : m_lRejected) {
        CUSB_WARNING << "Setting" << oRejected.sKey << "=" << oRejected.sValue
                     << "is out of range or not a number => default" << oRejected.iDefault;
    }
}
