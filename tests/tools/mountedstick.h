#pragma once

#include "records/crunusb.h"

const qint64 SIXTEEN_GIB = Q_INT64_C(16) * 1024 * 1024 * 1024;

// The record the service publishes for a mounted stick with data, an update and a database.
inline CRunUsb mountedStick()
{
    CRunUsb oRecord;
    oRecord.setUsbDeviceState(2);
    oRecord.setUsbDeviceNode("/dev/sda");
    oRecord.setUsbVendor("Acme");
    oRecord.setUsbModel("Stick");
    oRecord.setUsbMountPath("/mnt/usbstick");
    oRecord.setUsbCapacity(SIXTEEN_GIB);
    oRecord.setUsbDataAvailable(true);
    oRecord.setUpdateFileFound(true);
    oRecord.setDatabaseDirFound(true);
    return oRecord;
}
