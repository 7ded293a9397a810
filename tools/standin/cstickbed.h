#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

typedef struct _UMockdevTestbed UMockdevTestbed;

// Emulated block devices for the real libudev code of the service, through umockdev. The
// test program must run under umockdev-wrapper; processes it starts inherit the testbed.
class CStickBed
{
public:
    CStickBed();
    ~CStickBed();

    CStickBed(const CStickBed&) = delete;
    CStickBed& operator=(const CStickBed&) = delete;

    // Adding a device also sends its "add" event, as plugging it in would.
    // A USB stick as udev describes one: a block disk with the usb-storage properties.
    // Properties given here are added or replace the stick's own; an empty value removes one.
    QString addStick(const QString& sName, const QMap<QString, QString>& mProperties = {});

    // As addStick, with values given as bytes: control characters, any length, any encoding.
    QString addStickBytes(const QString& sName, const QMap<QString, QByteArray>& mProperties);

    // Any block disk with exactly these properties (DEVNAME and DEVTYPE added).
    QString addDisk(const QString& sName, const QMap<QString, QString>& mProperties);

    // Sends a kernel event ("add", "remove", "change") for a device added before.
    void uevent(const QString& sSysPath, const QString& sAction);

    void remove(const QString& sSysPath);

    // A device node without a device behind it, e.g. "sda1" for the partition of a stick.
    void addNode(const QString& sName);

private:
    QString addDiskBytes(const QString& sName, const QMap<QString, QByteArray>& mProperties);

    UMockdevTestbed* m_pTestbed;
};
