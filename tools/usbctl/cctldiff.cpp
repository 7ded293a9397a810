#include "tools/usbctl/cctldiff.h"

#include "tools/common/crunusbformat.h"

CCtlDiff::CCtlDiff(const CRunUsbView& oBefore, const CRunUsbView& oAfter)
    : m_oBefore(oBefore)
    , m_oAfter(oAfter)
{
    for (int i = 0; i < CRunUsb::FieldCount; ++i) {
        const CRunUsb::EField eField = CRunUsb::EField(i);
        if (oBefore.value(eField) != oAfter.value(eField)) {
            m_leFields << eField;
        }
    }
}

QStringList CCtlDiff::lines() const
{
    QStringList lsLines;
    for (CRunUsb::EField eField : m_leFields) {
        lsLines << QString("%1 %2 -> %3")
                       .arg(CRunUsbView::fieldName(eField), -22)
                       .arg(valueText(m_oBefore, eField), valueText(m_oAfter, eField));
    }
    return lsLines;
}

QJsonObject CCtlDiff::json() const
{
    const QJsonObject oBefore = CRunUsbFormat::toJson(m_oBefore);
    const QJsonObject oAfter = CRunUsbFormat::toJson(m_oAfter);
    QJsonObject oFields;
    for (CRunUsb::EField eField : m_leFields) {
        const QString sName = CRunUsbView::fieldName(eField);
        oFields.insert(sName, QJsonObject {{"old", oBefore.value(sName)}, {"new", oAfter.value(sName)}});
    }
    return oFields;
}

// Texts always quoted here, so that a text that became empty is still seen.
QString CCtlDiff::valueText(const CRunUsbView& oView, CRunUsb::EField eField)
{
    const QVariant vValue = oView.value(eField);
    if (eField == CRunUsb::UsbCapacity) {
        return QString("%1 (%2)").arg(vValue.toLongLong()).arg(CRunUsbFormat::capacityText(vValue.toLongLong()));
    }
    if (vValue.typeId() == QMetaType::Bool) {
        return vValue.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    }
    if (vValue.typeId() == QMetaType::QString) {
        return '"' + vValue.toString() + '"';
    }
    return vValue.toString();
}
