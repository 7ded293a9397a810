#pragma once

#include "tools/common/crunusbview.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The ways the tools print a runtime USB record: one readable line, a field-by-field table,
// and JSON for scripts.
class CRunUsbFormat
{
public:
    // A byte count in binary units with one decimal, e.g. "16.0 GiB"; below 1 KiB "512 B".
    static QString capacityText(qint64 llBytes);

    // One line, e.g. "state=2 node=/dev/sda vendor=Acme ... aux=no".
    static QString summary(const CRunUsbView& oView);

    // One line per field: name, value and "changed" for a flagged field.
    static QStringList fieldLines(const CRunUsbView& oView);

    // The 16 fields by name; numbers and flags as JSON numbers and booleans.
    static QJsonObject toJson(const CRunUsbView& oView);
    static QJsonArray changedJson(const CRunUsbView& oView);

private:
    static QString textItem(const QString& sValue);
    static QString fieldText(const CRunUsbView& oView, CRunUsb::EField eField);
};
