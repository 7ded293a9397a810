#include "tools/common/crunusbformat.h"

namespace {
// Short names for the one-line form, in field order; the two free texts are left out of it
// while they are empty, as they almost always are.
const char* const SHORT_NAMES[CRunUsb::FieldCount] = {
    "state",  "info",  "data",  "update",   "database",        "logbook",    "node",      "text",
    "vendor", "model", "mount", "capacity", "unmount-request", "unmounting", "unmounted", "aux"};

const char* const UNITS[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
const int UNIT_COUNT = 5;

QString yesNo(bool bValue)
{
    return bValue ? QStringLiteral("yes") : QStringLiteral("no");
}
} // namespace

QString CRunUsbFormat::capacityText(qint64 llBytes)
{
    if (llBytes < 1024 && llBytes > -1024) {
        return QString::number(llBytes) + " B";
    }
    double dValue = double(llBytes) / 1024.0;
    int iUnit = 0;
    while ((dValue >= 1024.0 || dValue <= -1024.0) && iUnit < UNIT_COUNT - 1) {
        dValue /= 1024.0;
        ++iUnit;
    }
    return QString::number(dValue, 'f', 1) + " " + UNITS[iUnit];
}

QString CRunUsbFormat::summary(const CRunUsbView& oView)
{
    // The order reads like the stick's story: where it is, what it is, what is on it.
    const CRunUsb::EField aeOrder[] = {CRunUsb::UsbDeviceState,
                                       CRunUsb::UsbInfoText,
                                       CRunUsb::UsbDeviceNode,
                                       CRunUsb::UsbDeviceText,
                                       CRunUsb::UsbVendor,
                                       CRunUsb::UsbModel,
                                       CRunUsb::UsbMountPath,
                                       CRunUsb::UsbCapacity,
                                       CRunUsb::UsbDataAvailable,
                                       CRunUsb::UpdateFileFound,
                                       CRunUsb::DatabaseDirFound,
                                       CRunUsb::LogbookDirFound,
                                       CRunUsb::StartUnmountUsbDevice,
                                       CRunUsb::UnmountUsbDeviceActive,
                                       CRunUsb::UsbDeviceUnmounted,
                                       CRunUsb::UsbAuxFlag};
    QStringList lsItems;
    for (CRunUsb::EField eField : aeOrder) {
        const bool bFreeText = eField == CRunUsb::UsbInfoText || eField == CRunUsb::UsbDeviceText;
        if (bFreeText && oView.value(eField).toString().isEmpty()) {
            continue;
        }
        lsItems << QString::fromLatin1(SHORT_NAMES[eField]) + "=" + fieldText(oView, eField);
    }
    return lsItems.join(' ');
}

QStringList CRunUsbFormat::fieldLines(const CRunUsbView& oView)
{
    QStringList lsLines;
    for (int i = 0; i < CRunUsb::FieldCount; ++i) {
        const CRunUsb::EField eField = CRunUsb::EField(i);
        QString sValue = fieldText(oView, eField);
        if (eField == CRunUsb::UsbCapacity) {
            sValue = QString::number(oView.value(eField).toLongLong()) + " (" + sValue + ")";
        }
        const QString sLine = QString("%1 %2").arg(CRunUsbView::fieldName(eField), -22).arg(sValue, -32);
        lsLines << (oView.isChanged(eField) ? sLine + " changed" : sLine.trimmed());
    }
    return lsLines;
}

QJsonObject CRunUsbFormat::toJson(const CRunUsbView& oView)
{
    QJsonObject oRecord;
    for (int i = 0; i < CRunUsb::FieldCount; ++i) {
        const CRunUsb::EField eField = CRunUsb::EField(i);
        oRecord.insert(CRunUsbView::fieldName(eField), QJsonValue::fromVariant(oView.value(eField)));
    }
    return oRecord;
}

QJsonArray CRunUsbFormat::changedJson(const CRunUsbView& oView)
{
    return QJsonArray::fromStringList(oView.changedNames());
}

// Texts stay unquoted where that is unambiguous; an empty text shows as "" and a null one,
// which only a peer can send, as (null).
QString CRunUsbFormat::textItem(const QString& sValue)
{
    if (sValue.isNull()) {
        return QStringLiteral("(null)");
    }
    if (sValue.isEmpty() || sValue.contains(' ') || sValue.contains('"')) {
        return '"' + sValue + '"';
    }
    return sValue;
}

QString CRunUsbFormat::fieldText(const CRunUsbView& oView, CRunUsb::EField eField)
{
    const QVariant vValue = oView.value(eField);
    if (eField == CRunUsb::UsbDeviceState) {
        return QString::number(vValue.toInt());
    }
    if (eField == CRunUsb::UsbCapacity) {
        return capacityText(vValue.toLongLong());
    }
    if (vValue.typeId() == QMetaType::Bool) {
        return yesNo(vValue.toBool());
    }
    return textItem(vValue.toString());
}
