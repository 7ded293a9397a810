#pragma once

#include "usb/cstick.h"

#include <libudev.h>

// Watches for sticks: the netlink monitor, polled without waiting, the start-up scan, the
// qualification of a device as a USB mass-storage disk, and the rules of one mount point.
// It reports an arrival or a removal with the stick's facts and leaves the rest to its caller.
class CStickWatcher
{
public:
    enum EEvent { NoEvent, Arrived, Removed };
    enum EScan { ScanFailed, NoStick, StickFound };

    CStickWatcher() = default;
    ~CStickWatcher();

    CStickWatcher(const CStickWatcher&) = delete;
    CStickWatcher& operator=(const CStickWatcher&) = delete;

    // Opens the monitor of whole disks; false when it is not usable. A failed context is
    // made again by the next poll; any later failure is not retried.
    bool OpenHotplugMonitor();

    // Takes at most one waiting event. While the stick in use is mounted, its "add" is ignored,
    // and while one is in use, the events of any other disk are.
    EEvent poll(CStick& oStick, bool bStickMounted);

    // The first USB disk present, as the service finds it at its start.
    EScan scan(CStick& oStick);

    // Whether the device is a USB mass-storage disk; its texts, and whether the event adds it.
    static bool qualify(udev_device* pDevice, CStick& oStick, bool& bAdded);

private:
    udev_device* receive();
    EEvent classify(udev_device* pDevice, CStick& oStick, bool bStickMounted);
    bool isOtherDisk(const CStick& oStick, bool bAdded) const;
    bool monitorUnusable();

    udev* m_pUdev = nullptr;
    udev_monitor* m_pUdevMonitor = nullptr;
    bool m_bUdevReady = false;
    bool m_bContextFailureTold = false;
    // The node of the stick reported last; empty while none is in use.
    QByteArray m_aStickNode;
};
