#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

// The runtime USB record as the simulator reports it (its fields by name, as JSON), in words.
class CRecordText
{
public:
    // All 16 fields in record order, one per line: "UsbCapacity           16.0 GiB".
    static QStringList fieldLines(const QJsonObject& oRecord);
    // The fields whose values differ, one per line: "UsbDeviceState        0 -> 1 (stick detected)".
    static QStringList changeLines(const QJsonObject& oBefore, const QJsonObject& oAfter);
    static QString valueText(const QString& sField, const QJsonValue& vValue);

private:
    static QStringList fieldNames();
};
