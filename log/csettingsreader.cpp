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

namespace {

// What the file says as text: a value with a comma comes back as a list, and a serialised
// variant as a value of its type, which has no text unless it is a number or text itself.
bool isText(const QVariant& oValue)
{
    const int iType = oValue.typeId();
    return iType == QMetaType::QString || iType == QMetaType::QStringList || iType == QMetaType::QByteArray;
}

QString textOf(const QVariant& oValue)
{
    if (oValue.typeId() == QMetaType::QStringList) {
        return oValue.toStringList().join(QLatin1Char(','));
    }
    return oValue.toString();
}

// How a refused value is named in the warning: its text, else its type.
QString describe(const QVariant& oValue)
{
    if (!oValue.isValid()) {
        return QStringLiteral("<unreadable>");
    }
    if (isText(oValue)) {
        return textOf(oValue);
    }
    return QLatin1Char('<') + QLatin1String(oValue.typeName()) + QLatin1Char('>');
}

} // namespace

// A key whose value Qt cannot read (an invalid variant) is present all the same: it gets a
// warning, not silence.
std::optional<QVariant> CSettingsReader::valueOf(const char* szKey) const
{
    if (m_pSettings == nullptr || !m_pSettings->contains(QLatin1String(szKey))) {
        return std::nullopt;
    }
    return m_pSettings->value(QLatin1String(szKey));
}

int CSettingsReader::readInt(const char* szKey, int iDefault, int iMin, int iMax)
{
    const std::optional<QVariant> oValue = valueOf(szKey);
    if (!oValue) {
        return iDefault;
    }
    bool bNumber = false;
    const qlonglong llValue = textOf(*oValue).toLongLong(&bNumber);
    if (!bNumber || llValue < iMin || llValue > iMax) {
        reject(szKey, *oValue, QString::number(iDefault));
        return iDefault;
    }
    return static_cast<int>(llValue);
}

QString CSettingsReader::readString(const char* szKey, const QString& sDefault)
{
    const std::optional<QVariant> oValue = valueOf(szKey);
    if (!oValue) {
        return sDefault;
    }
    if (!isText(*oValue)) {
        reject(szKey, *oValue, sDefault);
        return sDefault;
    }
    return textOf(*oValue);
}

void CSettingsReader::writeBackIfMissing(const char* szKey, const QVariant& oValue)
{
    if (m_pSettings != nullptr && !m_pSettings->contains(QLatin1String(szKey))) {
        m_pSettings->setValue(QLatin1String(szKey), oValue);
    }
}

void CSettingsReader::reject(const char* szKey, const QVariant& oValue, const QString& sDefault)
{
    m_lRejected.append({QLatin1String(szKey), describe(oValue), sDefault});
}

void CSettingsReader::logRejected() const
{
    if (isTooLarge()) {
        CUSB_WARNING << m_sFile << "is larger than" << MAX_FILE_SIZE << "bytes and not read => defaults";
    }
    for (const SRejected& oRejected : m_lRejected) {
        CUSB_WARNING << "Setting" << oRejected.sKey << "=" << oRejected.sValue
                     << "is out of range or not a number => default" << oRejected.sDefault.toLatin1().constData();
    }
}
