#include "tools/common/crungeneralview.h"

#include <QDataStream>
#include <QDateTime>

namespace {
const char* const FIELD_NAMES[CRunGeneralNonWM::FieldCount] = {
    "GeneralText1",   "GeneralText2",  "GeneralNumber1", "GeneralNumber3", "GeneralNumber4", "GeneralFlag",
    "GeneralNumber5", "GeneralTime",   "GeneralText4",   "GeneralText5",   "GeneralText6",   "GeneralText7",
    "GeneralText8",   "GeneralText9",  "GeneralText10",  "GeneralText11",  "GeneralText12",  "GeneralText13",
    "GeneralText14",  "GeneralText15", "GeneralText16",  "GeneralText17",  "GeneralText18",  "GeneralText19",
    "GeneralText20",  "GeneralText21", "GeneralText3",   "GeneralNumber2", "GeneralText22",  "SwVersions",
    "GeneralNumber6"};

// The fields in the order they travel, which is neither the declaration nor the flag order.
const CRunGeneralNonWM::EField WIRE_ORDER[CRunGeneralNonWM::FieldCount] = {
    CRunGeneralNonWM::GeneralNumber3, CRunGeneralNonWM::GeneralNumber4, CRunGeneralNonWM::GeneralFlag,
    CRunGeneralNonWM::GeneralText4,   CRunGeneralNonWM::GeneralText5,   CRunGeneralNonWM::GeneralText6,
    CRunGeneralNonWM::GeneralText7,   CRunGeneralNonWM::GeneralText8,   CRunGeneralNonWM::GeneralText9,
    CRunGeneralNonWM::GeneralText10,  CRunGeneralNonWM::GeneralText11,  CRunGeneralNonWM::GeneralText12,
    CRunGeneralNonWM::GeneralText13,  CRunGeneralNonWM::GeneralNumber5, CRunGeneralNonWM::GeneralTime,
    CRunGeneralNonWM::GeneralText1,   CRunGeneralNonWM::GeneralNumber1, CRunGeneralNonWM::GeneralText3,
    CRunGeneralNonWM::GeneralNumber2, CRunGeneralNonWM::GeneralText14,  CRunGeneralNonWM::GeneralText15,
    CRunGeneralNonWM::GeneralText16,  CRunGeneralNonWM::GeneralText17,  CRunGeneralNonWM::GeneralText18,
    CRunGeneralNonWM::GeneralText19,  CRunGeneralNonWM::GeneralText20,  CRunGeneralNonWM::GeneralText21,
    CRunGeneralNonWM::GeneralText22,  CRunGeneralNonWM::SwVersions,     CRunGeneralNonWM::GeneralText2,
    CRunGeneralNonWM::GeneralNumber6};

const qint32 FIRST_VERSION = 256;

QVariant readValue(QDataStream& in, CRunGeneralNonWM::EField eField)
{
    switch (eField) {
    case CRunGeneralNonWM::GeneralNumber1:
    case CRunGeneralNonWM::GeneralNumber2:
    case CRunGeneralNonWM::GeneralNumber3:
    case CRunGeneralNonWM::GeneralNumber4:
    case CRunGeneralNonWM::GeneralNumber5:
    case CRunGeneralNonWM::GeneralNumber6: {
        qint32 iValue = 0;
        in >> iValue;
        return iValue;
    }
    case CRunGeneralNonWM::GeneralFlag: {
        bool bValue = false;
        in >> bValue;
        return bValue;
    }
    case CRunGeneralNonWM::GeneralTime: {
        QDateTime dtValue;
        in >> dtValue;
        return dtValue;
    }
    default: {
        QString sValue;
        in >> sValue;
        return sValue;
    }
    }
}
} // namespace

CRunGeneralView::CRunGeneralView(const QByteArray& aData)
    : m_iSize(aData.size())
    , m_bValid(false)
{
    read(aData);
}

QString CRunGeneralView::fieldName(CRunGeneralNonWM::EField eField)
{
    return QString::fromLatin1(FIELD_NAMES[eField]);
}

QStringList CRunGeneralView::changedNames() const
{
    QStringList lsNames;
    for (int i = 0; i < CRunGeneralNonWM::FieldCount; ++i) {
        if (m_abChanged[i]) {
            lsNames << fieldName(CRunGeneralNonWM::EField(i));
        }
    }
    return lsNames;
}

void CRunGeneralView::read(const QByteArray& aData)
{
    QDataStream in(aData);
    in.setVersion(QDataStream::Qt_4_6);
    qint32 iVersion = 0;
    QByteArray aReserve;
    in >> iVersion >> aReserve;
    for (CRunGeneralNonWM::EField eField : WIRE_ORDER) {
        bool bFlag = false;
        in >> bFlag;
        m_abChanged[eField] = bFlag;
        if (eField == CRunGeneralNonWM::SwVersions) {
            readSwVersions(in);
        } else {
            m_avValues[eField] = readValue(in, eField);
        }
    }
    m_bValid = in.status() == QDataStream::Ok && iVersion >= FIRST_VERSION;
}

void CRunGeneralView::readSwVersions(QDataStream& in)
{
    quint32 uCount = 0;
    in >> uCount;
    // A damaged count must not make us loop long: the stream stops us at its end.
    for (quint32 u = 0; u < uCount && in.status() == QDataStream::Ok; ++u) {
        QString sModule;
        QString sVersion;
        in >> sModule >> sVersion;
        if (in.status() == QDataStream::Ok) {
            m_mSwVersions.insert(sModule, sVersion);
        }
    }
}
