#include "usb/cstickwatcher.h"

#include "log/clogstream.h"
#include "usb/platform.h"

#include <cerrno>
#include <cstring>
#include <sys/select.h>

namespace {

// The service's text buffers held 200 bytes with their NUL; the peers never saw more.
const int g_iTextLength = 200;

QByteArray property(const char* szValue)
{
    return QByteArray(szValue).left(g_iTextLength - 1);
}

bool isProperty(const char* szName, const char* szValue, const char* szKey, const char* szExpected)
{
    return strcmp(szName, szKey) == 0 && strcmp(szValue, szExpected) == 0;
}

bool isChangeEvent(udev_device* pDevice)
{
    const char* szAction = udev_device_get_action(pDevice);
    return szAction != nullptr && strcmp(szAction, "change") == 0;
}

// A disk without a medium reports the size 0; one that is gone has no size and no node left.
bool hasMedium(udev_device* pDevice, const QByteArray& aNode)
{
    const char* szSize = udev_device_get_sysattr_value(pDevice, "size");
    struct stat oStat;
    return szSize != nullptr && strcmp(szSize, "0") != 0 && Platform::stat(aNode.constData(), &oStat) == 0;
}

} // namespace

CStickWatcher::~CStickWatcher()
{
    if (m_pUdevMonitor != nullptr) {
        udev_monitor_unref(m_pUdevMonitor);
    }
    if (m_pUdev != nullptr) {
        udev_unref(m_pUdev);
    }
}

bool CStickWatcher::OpenHotplugMonitor()
{
    m_pUdevMonitor = nullptr;
    m_bUdevReady = false;

    m_pUdev = udev_new();
    if (m_pUdev != nullptr) {
        m_bUdevReady = true;
    } else {
        CUSB_DEBUG << "udev_new FAILED";
    }

    // Without a context there is no monitor either; libudev is not asked to make one from nothing.
    if (m_pUdev != nullptr) {
        m_pUdevMonitor = udev_monitor_new_from_netlink(m_pUdev, "udev");
    }
    if (m_pUdevMonitor == nullptr) {
        CUSB_DEBUG << "udev_monitor_new_from_netlink FAILED";
        return monitorUnusable();
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(m_pUdevMonitor, "block", "disk") < 0) {
        CUSB_DEBUG << "udev_monitor_filter_add_match_subsystem_devtype FAILED";
        return monitorUnusable();
    }
    if (udev_monitor_enable_receiving(m_pUdevMonitor) < 0) {
        CUSB_DEBUG << "udev_monitor_enable_receiving FAILED";
        return monitorUnusable();
    }
    return true;
}

// At the operator's level: without a monitor no stick plugged in later is seen. A context that
// could not be made is made again by every poll, so that is said once.
bool CStickWatcher::monitorUnusable()
{
    if (m_bUdevReady) {
        CUSB_WARNING << "Hot-plug monitor not set up => sticks plugged in later are not seen";
    } else if (!m_bContextFailureTold) {
        m_bContextFailureTold = true;
        CUSB_WARNING << "udev context not created => hot-plug monitor tried again on every poll";
    }
    return false;
}

CStickWatcher::EEvent CStickWatcher::poll(CStick& oStick, bool bStickMounted)
{
    udev_device* pDevice = receive();
    if (pDevice == nullptr) {
        return NoEvent;
    }
    const EEvent eEvent = classify(pDevice, oStick, bStickMounted);
    udev_device_unref(pDevice);
    if (eEvent == Arrived) {
        CUSB_DEBUG << "USB-Device added " << oStick.aModel.constData() << oStick.aSerial.constData()
                   << oStick.aNode.constData();
        m_aStickNode = oStick.aNode;
    } else if (eEvent == Removed) {
        CUSB_DEBUG << "USB-Device removed " << oStick.aModel.constData() << oStick.aSerial.constData()
                   << oStick.aNode.constData();
        m_aStickNode.clear();
    }
    return eEvent;
}

udev_device* CStickWatcher::receive()
{
    if (!m_bUdevReady && !OpenHotplugMonitor()) {
        return nullptr;
    }
    if (m_pUdevMonitor == nullptr) {
        return nullptr;
    }

    // A zero time-out: an idle tick costs this one system call.
    const int iFd = udev_monitor_get_fd(m_pUdevMonitor);
    fd_set oReadSet;
    FD_ZERO(&oReadSet);
    FD_SET(iFd, &oReadSet);
    struct timeval oTimeout = {0, 0};
    const int iReady = select(iFd + 1, &oReadSet, nullptr, nullptr, &oTimeout);
    if (iReady < 0) {
        if (errno != EINTR) {
            CUSB_DEBUG << "Error receiving uevent message";
        }
        return nullptr;
    }
    if (!FD_ISSET(iFd, &oReadSet)) {
        return nullptr;
    }
    return udev_monitor_receive_device(m_pUdevMonitor);
}

CStickWatcher::EEvent CStickWatcher::classify(udev_device* pDevice, CStick& oStick, bool bStickMounted)
{
    bool bAdded = false;
    if (!qualify(pDevice, oStick, bAdded) || isOtherDisk(oStick, bAdded)) {
        return NoEvent;
    }
    if (bAdded) {
        if (bStickMounted) {
            CUSB_WARNING << "USB-Device ignored, the stick is mounted already " << oStick.aModel.constData()
                         << oStick.aSerial.constData() << oStick.aNode.constData();
            return NoEvent;
        }
        return Arrived;
    }

    // A pull gives a "change" with the medium gone and then the "remove": only the first of
    // them has a stick left to remove.
    if (m_aStickNode.isEmpty()) {
        CUSB_DEBUG << "USB-Device event ignored, no stick in use " << oStick.aModel.constData()
                   << oStick.aSerial.constData() << oStick.aNode.constData();
        return NoEvent;
    }

    // The kernel follows every "add" with a "change", and "udevadm trigger" sends one for every
    // disk: a change means the stick is gone only when its medium is (a card taken out of a reader).
    if (isChangeEvent(pDevice) && hasMedium(pDevice, oStick.aNode)) {
        CUSB_DEBUG << "USB-Device changed, medium present " << oStick.aModel.constData() << oStick.aSerial.constData()
                   << oStick.aNode.constData();
        return NoEvent;
    }
    return Removed;
}

// One mount point: while a stick is in use, the events of any other disk leave it alone.
bool CStickWatcher::isOtherDisk(const CStick& oStick, bool bAdded) const
{
    if (m_aStickNode.isEmpty() || m_aStickNode == oStick.aNode) {
        return false;
    }
    if (bAdded) {
        CUSB_WARNING << "USB-Device ignored, another stick is in use " << oStick.aModel.constData()
                     << oStick.aSerial.constData() << oStick.aNode.constData();
    } else {
        CUSB_DEBUG << "USB-Device event ignored, another stick is in use " << oStick.aModel.constData()
                   << oStick.aSerial.constData() << oStick.aNode.constData();
    }
    return true;
}

CStickWatcher::EScan CStickWatcher::scan(CStick& oStick)
{
    udev* pUdev = udev_new();
    if (pUdev == nullptr) {
        CUSB_WARNING << "Can't create u_dev";
        return ScanFailed;
    }
    CUSB_DEBUG << "Check u_dev";

    // The enumeration's failures are logged and the scan goes on; libudev answers the
    // following calls on a missing enumeration with errors of its own.
    udev_enumerate* pEnumerate = udev_enumerate_new(pUdev);
    if (pEnumerate == nullptr) {
        CUSB_WARNING << "udev_enumerate_new() returns NULL";
    }
    int iResult = udev_enumerate_add_match_subsystem(pEnumerate, "block");
    if (iResult < 0) {
        CUSB_WARNING << "udev_enumerate_add_match_subsystem() returns error " << iResult;
    }
    iResult = udev_enumerate_scan_devices(pEnumerate);
    if (iResult < 0) {
        CUSB_WARNING << "udev_enumerate_scan_devices() returns error " << iResult;
    }
    udev_list_entry* pEntry = udev_enumerate_get_list_entry(pEnumerate);
    if (pEntry == nullptr) {
        CUSB_WARNING << "udev_enumerate_get_list_entry() returns NULL";
    }

    // Disks and partitions alike; the first that qualifies is the stick.
    EScan eScan = NoStick;
    for (; pEntry != nullptr && eScan == NoStick; pEntry = udev_list_entry_get_next(pEntry)) {
        udev_device* pDevice = udev_device_new_from_syspath(pUdev, udev_list_entry_get_name(pEntry));
        CUSB_DEBUG << "Device Node Path: " << udev_device_get_devnode(pDevice);
        bool bAdded = false;
        if (qualify(pDevice, oStick, bAdded)) {
            m_aStickNode = oStick.aNode;
            eScan = StickFound;
        }
        udev_device_unref(pDevice);
    }

    udev_enumerate_unref(pEnumerate);
    udev_unref(pUdev);
    return eScan;
}

bool CStickWatcher::qualify(udev_device* pDevice, CStick& oStick, bool& bAdded)
{
    bool bDriverMatches = false;
    bool bBusMatches = false;
    bool bTypeMatches = false;
    oStick = CStick();
    bAdded = false;

    udev_list_entry* pEntry = udev_device_get_properties_list_entry(pDevice);
    for (; pEntry != nullptr; pEntry = udev_list_entry_get_next(pEntry)) {
        const char* szName = udev_list_entry_get_name(pEntry);
        const char* szValue = udev_list_entry_get_value(pEntry);
        if (szValue == nullptr) {
            szValue = "";
        }
        CUSB_DEBUG << "UDEV-Item Name: " << szName << " Value: " << szValue;

        if (isProperty(szName, szValue, "ID_USB_DRIVER", "usb-storage")) {
            bDriverMatches = true;
        } else if (isProperty(szName, szValue, "ID_BUS", "usb")) {
            bBusMatches = true;
        } else if (isProperty(szName, szValue, "ID_TYPE", "disk")) {
            bTypeMatches = true;
        } else if (strcmp(szName, "ID_MODEL") == 0) {
            oStick.aModel = property(szValue);
        } else if (strcmp(szName, "ID_VENDOR") == 0) {
            oStick.aVendor = property(szValue);
        } else if (strcmp(szName, "ID_SERIAL") == 0) {
            oStick.aSerial = property(szValue);
        } else if (strcmp(szName, "DEVNAME") == 0) {
            oStick.aNode = property(szValue);
        } else if (isProperty(szName, szValue, "ACTION", "add")) {
            bAdded = true;
        }
    }
    return bDriverMatches && bBusMatches && bTypeMatches;
}
