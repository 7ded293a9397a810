#pragma once

#include "tools/common/crunusbview.h"

#include <QString>

// What a shared runtime USB record says about the stick, in words for the operator.
class CCtlStick
{
public:
    // Why the record shows nothing to unmount, e.g. "UsbDeviceState 0"; empty while a stick
    // is mounted.
    static QString notMountedReason(const CRunUsbView& oView);
    // One line, e.g. "stick mounted at /mnt/usbstick (/dev/sda, Acme Stick, 16.0 GiB)".
    static QString describe(const CRunUsbView& oView);

private:
    static QString stickText(const CRunUsbView& oView);
    static QString identity(const CRunUsbView& oView);
    static QString handshakeText(const CRunUsbView& oView);
};
