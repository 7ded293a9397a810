#include "tools/demo/crecordtext.h"

#include "tools/common/crunusbformat.h"
#include "tools/common/crunusbview.h"

namespace {
const int NAME_WIDTH = 24;

QString stateText(int iState)
{
    switch (iState) {
    case 0:
        return QStringLiteral("0 (no stick)");
    case 1:
        return QStringLiteral("1 (stick detected)");
    case 2:
        return QStringLiteral("2 (stick mounted and inspected)");
    default:
        return QString::number(iState);
    }
}
} // namespace

QStringList CRecordText::fieldLines(const QJsonObject& oRecord)
{
    QStringList lsLines;
    for (const QString& sField : fieldNames()) {
        lsLines << sField.leftJustified(NAME_WIDTH) + valueText(sField, oRecord.value(sField));
    }
    return lsLines;
}

QStringList CRecordText::changeLines(const QJsonObject& oBefore, const QJsonObject& oAfter)
{
    QStringList lsLines;
    for (const QString& sField : fieldNames()) {
        const QJsonValue vBefore = oBefore.value(sField);
        const QJsonValue vAfter = oAfter.value(sField);
        if (vBefore != vAfter) {
            lsLines << sField.leftJustified(NAME_WIDTH) + valueText(sField, vBefore) + " -> "
                           + valueText(sField, vAfter);
        }
    }
    return lsLines;
}

QString CRecordText::valueText(const QString& sField, const QJsonValue& vValue)
{
    if (sField == "UsbDeviceState") {
        return stateText(vValue.toInt());
    }
    if (sField == "UsbCapacity") {
        return CRunUsbFormat::capacityText(vValue.toInteger());
    }
    if (vValue.isBool()) {
        return vValue.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    }
    const QString sText = vValue.toString();
    return sText.isEmpty() || sText.contains(' ') ? '"' + sText + '"' : sText;
}

QStringList CRecordText::fieldNames()
{
    QStringList lsNames;
    for (int i = 0; i < CRunUsb::FieldCount; ++i) {
        lsNames << CRunUsbView::fieldName(CRunUsb::EField(i));
    }
    return lsNames;
}
