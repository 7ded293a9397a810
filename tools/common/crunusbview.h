#pragma once

#include "records/crunusb.h"

#include <QByteArray>
#include <QStringList>
#include <QVariant>

// A serialised runtime USB record taken apart as it travels: every value and every change
// flag as the writer sent them. CRunUsb::fromByteArray() cannot show this, because it merges
// (an unflagged value, or a flagged one equal to its own, leaves no trace in the record).
class CRunUsbView
{
public:
    explicit CRunUsbView(const QByteArray& aData);

    // The name of a field as the record and the tools spell it, e.g. "UsbDeviceState".
    static QString fieldName(CRunUsb::EField eField);

    // False when the bytes are not a whole record of a known format version; the values
    // that could not be read are then 0, false or empty.
    bool isValid() const { return m_bValid; }
    int size() const { return m_iSize; }
    qint32 version() const { return m_iVersion; }

    // int for UsbDeviceState, qint64 for UsbCapacity, bool or QString for the others.
    QVariant value(CRunUsb::EField eField) const { return m_avValues[eField]; }
    bool isChanged(CRunUsb::EField eField) const { return m_abChanged[eField]; }
    // The names of the flagged fields, in field order.
    QStringList changedNames() const;

private:
    void read(const QByteArray& aData);

    int m_iSize;
    qint32 m_iVersion;
    bool m_bValid;
    QVariant m_avValues[CRunUsb::FieldCount];
    bool m_abChanged[CRunUsb::FieldCount];
};
