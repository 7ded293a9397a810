#include "tools/common/crunusbview.h"

#include <QDataStream>

namespace {
const char* const FIELD_NAMES[CRunUsb::FieldCount] = {"UsbDeviceState",
                                                      "UsbInfoText",
                                                      "UsbDataAvailable",
                                                      "UpdateFileFound",
                                                      "DatabaseDirFound",
                                                      "LogbookDirFound",
                                                      "UsbDeviceNode",
                                                      "UsbDeviceText",
                                                      "UsbVendor",
                                                      "UsbModel",
                                                      "UsbMountPath",
                                                      "UsbCapacity",
                                                      "StartUnmountUsbDevice",
                                                      "UnmountUsbDeviceActive",
                                                      "UsbDeviceUnmounted",
                                                      "UsbAuxFlag"};

// Versions below this one are ignored by every reader of the family.
const qint32 FIRST_VERSION = 256;

bool isText(CRunUsb::EField eField)
{
    return eField == CRunUsb::UsbInfoText || eField == CRunUsb::UsbDeviceNode || eField == CRunUsb::UsbDeviceText
           || eField == CRunUsb::UsbVendor || eField == CRunUsb::UsbModel || eField == CRunUsb::UsbMountPath;
}

QVariant readValue(QDataStream& in, CRunUsb::EField eField)
{
    if (eField == CRunUsb::UsbDeviceState) {
        qint32 iValue = 0;
        in >> iValue;
        return iValue;
    }
    if (eField == CRunUsb::UsbCapacity) {
        qint64 llValue = 0;
        in >> llValue;
        return llValue;
    }
    if (isText(eField)) {
        QString sValue;
        in >> sValue;
        return sValue;
    }
    bool bValue = false;
    in >> bValue;
    return bValue;
}
} // namespace

CRunUsbView::CRunUsbView(const QByteArray& aData)
    : m_iSize(aData.size())
    , m_iVersion(0)
    , m_bValid(false)
{
    read(aData);
}

QString CRunUsbView::fieldName(CRunUsb::EField eField)
{
    return QString::fromLatin1(FIELD_NAMES[eField]);
}

QStringList CRunUsbView::changedNames() const
{
    QStringList lsNames;
    for (int i = 0; i < CRunUsb::FieldCount; ++i) {
        if (m_abChanged[i]) {
            lsNames << fieldName(CRunUsb::EField(i));
        }
    }
    return lsNames;
}

void CRunUsbView::read(const QByteArray& aData)
{
    QDataStream in(aData);
    in.setVersion(QDataStream::Qt_4_6);
    QByteArray aReserve;
    in >> m_iVersion >> aReserve;
    for (int i = 0; i < CRunUsb::FieldCount; ++i) {
        bool bFlag = false;
        in >> bFlag;
        m_abChanged[i] = bFlag;
        m_avValues[i] = readValue(in, CRunUsb::EField(i));
    }
    m_bValid = in.status() == QDataStream::Ok && m_iVersion >= FIRST_VERSION;
}
