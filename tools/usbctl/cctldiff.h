#pragma once

#include "tools/common/crunusbview.h"

#include <QJsonObject>
#include <QList>
#include <QStringList>

// The fields whose values differ between two readings of the shared runtime USB record.
// Change flags are left out: once set they stay set, so they tell nothing about one write.
class CCtlDiff
{
public:
    CCtlDiff(const CRunUsbView& oBefore, const CRunUsbView& oAfter);

    bool isEmpty() const { return m_leFields.isEmpty(); }
    // One line per field, e.g. "UsbDeviceState  1 -> 2".
    QStringList lines() const;
    // {"UsbDeviceState": {"old": 1, "new": 2}, ...}
    QJsonObject json() const;

private:
    static QString valueText(const CRunUsbView& oView, CRunUsb::EField eField);

    CRunUsbView m_oBefore;
    CRunUsbView m_oAfter;
    QList<CRunUsb::EField> m_leFields;
};
