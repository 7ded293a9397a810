#include "records/crungeneralnonwm.h"

#include "records/boundedread.h"

#include <QDataStream>
#include <QIODevice>
#include <QStringList>

namespace {

// Every process of the family reads and writes the record in the Qt 4.6 stream format.
const int STREAM_VERSION = QDataStream::Qt_4_6;
const qint32 FORMAT_VERSION = 256;
const int RESERVE_SIZE = 32;

} // namespace

CRunGeneralNonWM::CRunGeneralNonWM()
    : m_iVersion(FORMAT_VERSION)
    , m_aReserve(RESERVE_SIZE, '\0')
    , m_sGeneralText1(QLatin1String(""))
    , m_sGeneralText2(QLatin1String(""))
    , m_iGeneralNumber1(-1)
    , m_sGeneralText3(QLatin1String(""))
    , m_iGeneralNumber2(-1)
    , m_iGeneralNumber3(0)
    , m_iGeneralNumber4(0)
    , m_bGeneralFlag(false)
    , m_iGeneralNumber5(0)
    , m_dtGeneralTime(QDateTime::fromMSecsSinceEpoch(0))
    , m_sGeneralText4(QLatin1String(""))
    , m_sGeneralText5(QLatin1String(""))
    , m_sGeneralText6(QLatin1String(""))
    , m_sGeneralText7(QLatin1String(""))
    , m_sGeneralText8(QLatin1String(""))
    , m_sGeneralText9(QLatin1String(""))
    , m_sGeneralText10(QLatin1String(""))
    , m_sGeneralText11(QLatin1String(""))
    , m_sGeneralText12(QLatin1String(""))
    , m_sGeneralText13(QLatin1String(""))
    , m_sGeneralText14(QLatin1String(""))
    , m_sGeneralText15(QLatin1String(""))
    , m_sGeneralText16(QLatin1String(""))
    , m_sGeneralText17(QLatin1String(""))
    , m_sGeneralText18(QLatin1String(""))
    , m_sGeneralText19(QLatin1String(""))
    , m_sGeneralText20(QLatin1String(""))
    , m_sGeneralText21(QLatin1String(""))
    , m_sGeneralText22(QLatin1String(""))
    , m_iGeneralNumber6(0)
    , m_abChanged {}
    , m_bChanged(false)
{
}

void CRunGeneralNonWM::markChanged(EField eField)
{
    m_abChanged[eField] = true;
    m_bChanged = true;
}

void CRunGeneralNonWM::setText(QString& sField, EField eField, const QString& sValue)
{
    sField = sValue;
    markChanged(eField);
}

void CRunGeneralNonWM::setGeneralText1(const QString& sValue)
{
    setText(m_sGeneralText1, GeneralText1, sValue);
}

void CRunGeneralNonWM::setGeneralText2(const QString& sValue)
{
    setText(m_sGeneralText2, GeneralText2, sValue);
}

void CRunGeneralNonWM::setGeneralText3(const QString& sValue)
{
    setText(m_sGeneralText3, GeneralText3, sValue);
}

void CRunGeneralNonWM::setGeneralText4(const QString& sValue)
{
    setText(m_sGeneralText4, GeneralText4, sValue);
}

void CRunGeneralNonWM::setGeneralText5(const QString& sValue)
{
    setText(m_sGeneralText5, GeneralText5, sValue);
}

void CRunGeneralNonWM::setGeneralText6(const QString& sValue)
{
    setText(m_sGeneralText6, GeneralText6, sValue);
}

void CRunGeneralNonWM::setGeneralText7(const QString& sValue)
{
    setText(m_sGeneralText7, GeneralText7, sValue);
}

void CRunGeneralNonWM::setGeneralText8(const QString& sValue)
{
    setText(m_sGeneralText8, GeneralText8, sValue);
}

void CRunGeneralNonWM::setGeneralText9(const QString& sValue)
{
    setText(m_sGeneralText9, GeneralText9, sValue);
}

void CRunGeneralNonWM::setGeneralText10(const QString& sValue)
{
    setText(m_sGeneralText10, GeneralText10, sValue);
}

void CRunGeneralNonWM::setGeneralText11(const QString& sValue)
{
    setText(m_sGeneralText11, GeneralText11, sValue);
}

void CRunGeneralNonWM::setGeneralText12(const QString& sValue)
{
    setText(m_sGeneralText12, GeneralText12, sValue);
}

void CRunGeneralNonWM::setGeneralText13(const QString& sValue)
{
    setText(m_sGeneralText13, GeneralText13, sValue);
}

void CRunGeneralNonWM::setGeneralText14(const QString& sValue)
{
    setText(m_sGeneralText14, GeneralText14, sValue);
}

void CRunGeneralNonWM::setGeneralText15(const QString& sValue)
{
    setText(m_sGeneralText15, GeneralText15, sValue);
}

void CRunGeneralNonWM::setGeneralText16(const QString& sValue)
{
    setText(m_sGeneralText16, GeneralText16, sValue);
}

void CRunGeneralNonWM::setGeneralText17(const QString& sValue)
{
    setText(m_sGeneralText17, GeneralText17, sValue);
}

void CRunGeneralNonWM::setGeneralText18(const QString& sValue)
{
    setText(m_sGeneralText18, GeneralText18, sValue);
}

void CRunGeneralNonWM::setGeneralText19(const QString& sValue)
{
    setText(m_sGeneralText19, GeneralText19, sValue);
}

void CRunGeneralNonWM::setGeneralText20(const QString& sValue)
{
    setText(m_sGeneralText20, GeneralText20, sValue);
}

void CRunGeneralNonWM::setGeneralText21(const QString& sValue)
{
    setText(m_sGeneralText21, GeneralText21, sValue);
}

void CRunGeneralNonWM::setGeneralText22(const QString& sValue)
{
    setText(m_sGeneralText22, GeneralText22, sValue);
}

void CRunGeneralNonWM::setGeneralTime(const QDateTime& dtValue)
{
    m_dtGeneralTime = dtValue;
    markChanged(GeneralTime);
}

void CRunGeneralNonWM::setSwVersion(const QString& sModule, const QString& sVersion)
{
    m_hSwVersions.insert(sModule, sVersion);
    markChanged(SwVersions);
}

QByteArray CRunGeneralNonWM::toByteArray()
{
    // A write-only stream on a byte array overwrites from the start but does not truncate:
    // without the clear, a shorter record would keep the tail of an earlier, longer one.
    m_aBuffer.clear();
    QDataStream out(&m_aBuffer, QIODevice::WriteOnly);
    out << *this;
    return m_aBuffer;
}

void CRunGeneralNonWM::fromByteArray(const QByteArray& aData)
{
    QDataStream in(aData);
    in >> *this;
}

QByteArray CRunGeneralNonWM::toPlainByteArray()
{
    m_aBuffer.clear();
    QDataStream out(&m_aBuffer, QIODevice::WriteOnly);
    out.setVersion(STREAM_VERSION);
    write(out, false);
    return m_aBuffer;
}

template<typename T>
void CRunGeneralNonWM::writeField(QDataStream& out, bool bWithFlags, EField eField, const T& value) const
{
    if (bWithFlags) {
        out << m_abChanged[eField];
    }
    out << value;
}

// Qt 4, which our peers run, wrote a hash from its last entry to its first; Qt 6 writes it
// the other way round, so the entries are written here by hand.
void CRunGeneralNonWM::writeSwVersions(QDataStream& out) const
{
    const QStringList lsModules = m_hSwVersions.keys();
    out << quint32(lsModules.size());
    for (auto it = lsModules.crbegin(); it != lsModules.crend(); ++it) {
        out << *it << m_hSwVersions.value(*it);
    }
}

// The fields in wire order, which differs from the order the record keeps them in.
void CRunGeneralNonWM::write(QDataStream& out, bool bWithFlags) const
{
    writeField(out, bWithFlags, GeneralNumber3, m_iGeneralNumber3);
    writeField(out, bWithFlags, GeneralNumber4, m_iGeneralNumber4);
    writeField(out, bWithFlags, GeneralFlag, m_bGeneralFlag);
    writeField(out, bWithFlags, GeneralText4, m_sGeneralText4);
    writeField(out, bWithFlags, GeneralText5, m_sGeneralText5);
    writeField(out, bWithFlags, GeneralText6, m_sGeneralText6);
    writeField(out, bWithFlags, GeneralText7, m_sGeneralText7);
    writeField(out, bWithFlags, GeneralText8, m_sGeneralText8);
    writeField(out, bWithFlags, GeneralText9, m_sGeneralText9);
    writeField(out, bWithFlags, GeneralText10, m_sGeneralText10);
    writeField(out, bWithFlags, GeneralText11, m_sGeneralText11);
    writeField(out, bWithFlags, GeneralText12, m_sGeneralText12);
    writeField(out, bWithFlags, GeneralText13, m_sGeneralText13);
    writeField(out, bWithFlags, GeneralNumber5, m_iGeneralNumber5);
    writeField(out, bWithFlags, GeneralTime, m_dtGeneralTime);
    writeField(out, bWithFlags, GeneralText1, m_sGeneralText1);
    writeField(out, bWithFlags, GeneralNumber1, m_iGeneralNumber1);
    writeField(out, bWithFlags, GeneralText3, m_sGeneralText3);
    writeField(out, bWithFlags, GeneralNumber2, m_iGeneralNumber2);
    writeField(out, bWithFlags, GeneralText14, m_sGeneralText14);
    writeField(out, bWithFlags, GeneralText15, m_sGeneralText15);
    writeField(out, bWithFlags, GeneralText16, m_sGeneralText16);
    writeField(out, bWithFlags, GeneralText17, m_sGeneralText17);
    writeField(out, bWithFlags, GeneralText18, m_sGeneralText18);
    writeField(out, bWithFlags, GeneralText19, m_sGeneralText19);
    writeField(out, bWithFlags, GeneralText20, m_sGeneralText20);
    writeField(out, bWithFlags, GeneralText21, m_sGeneralText21);
    writeField(out, bWithFlags, GeneralText22, m_sGeneralText22);
    if (bWithFlags) {
        out << m_abChanged[SwVersions];
    }
    writeSwVersions(out);
    writeField(out, bWithFlags, GeneralText2, m_sGeneralText2);
    writeField(out, bWithFlags, GeneralNumber6, m_iGeneralNumber6);
}

// Flag and value are always both read so the stream stays in step. What the stream cannot
// deliver reads as 0, false or an empty text, and counts like any other value.
template<typename T> void CRunGeneralNonWM::readField(QDataStream& in, EField eField, T& value)
{
    bool bFlag = false;
    T read {};
    in >> bFlag;
    readBounded(in, read);
    if (bFlag && read != value) {
        value = read;
        markChanged(eField);
    }
}

// Each process owns its own entries: a flagged, differing table adds or updates the entries
// it carries and leaves the others alone. A table that cannot be read whole comes back empty.
void CRunGeneralNonWM::readSwVersions(QDataStream& in)
{
    bool bFlag = false;
    QHash<QString, QString> hRead;
    in >> bFlag;
    readBounded(in, hRead);
    if (!bFlag || hRead == m_hSwVersions) {
        return;
    }
    for (auto it = hRead.cbegin(); it != hRead.cend(); ++it) {
        m_hSwVersions.insert(it.key(), it.value());
    }
    markChanged(SwVersions);
}

void CRunGeneralNonWM::read(QDataStream& in)
{
    qint32 iVersion = 0;
    in >> iVersion;
    if (iVersion < FORMAT_VERSION) {
        return;
    }
    readBounded(in, m_aReserve);

    readField(in, GeneralNumber3, m_iGeneralNumber3);
    readField(in, GeneralNumber4, m_iGeneralNumber4);
    readField(in, GeneralFlag, m_bGeneralFlag);
    readField(in, GeneralText4, m_sGeneralText4);
    readField(in, GeneralText5, m_sGeneralText5);
    readField(in, GeneralText6, m_sGeneralText6);
    readField(in, GeneralText7, m_sGeneralText7);
    readField(in, GeneralText8, m_sGeneralText8);
    readField(in, GeneralText9, m_sGeneralText9);
    readField(in, GeneralText10, m_sGeneralText10);
    readField(in, GeneralText11, m_sGeneralText11);
    readField(in, GeneralText12, m_sGeneralText12);
    readField(in, GeneralText13, m_sGeneralText13);
    readField(in, GeneralNumber5, m_iGeneralNumber5);
    readField(in, GeneralTime, m_dtGeneralTime);
    readField(in, GeneralText1, m_sGeneralText1);
    readField(in, GeneralNumber1, m_iGeneralNumber1);
    readField(in, GeneralText3, m_sGeneralText3);
    readField(in, GeneralNumber2, m_iGeneralNumber2);
    readField(in, GeneralText14, m_sGeneralText14);
    readField(in, GeneralText15, m_sGeneralText15);
    readField(in, GeneralText16, m_sGeneralText16);
    readField(in, GeneralText17, m_sGeneralText17);
    readField(in, GeneralText18, m_sGeneralText18);
    readField(in, GeneralText19, m_sGeneralText19);
    readField(in, GeneralText20, m_sGeneralText20);
    readField(in, GeneralText21, m_sGeneralText21);
    readField(in, GeneralText22, m_sGeneralText22);
    readSwVersions(in);
    readField(in, GeneralText2, m_sGeneralText2);
    readField(in, GeneralNumber6, m_iGeneralNumber6);
}

QDataStream& operator<<(QDataStream& out, const CRunGeneralNonWM& oRecord)
{
    out.setVersion(STREAM_VERSION);
    out << oRecord.m_iVersion << oRecord.m_aReserve;
    oRecord.write(out, true);
    return out;
}

QDataStream& operator>>(QDataStream& in, CRunGeneralNonWM& oRecord)
{
    in.setVersion(STREAM_VERSION);
    oRecord.read(in);
    return in;
}
