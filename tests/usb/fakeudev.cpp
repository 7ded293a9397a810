// Defined in the test program, these win over the shared libudev for the product's calls.
// select() is stood in as well, so that a poll can be made to fail.

#include "fakeudev.h"

#include <QQueue>

#include <libudev.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>
#include <utility>
#include <vector>

CFakeUdev g_oUdev;

struct udev
{
};

struct udev_list_entry
{
    QByteArray aName;
    QByteArray aValue;
    udev_list_entry* pNext = nullptr;
};

struct udev_monitor
{
};

// Linked only once the list is complete: the vector no longer moves its entries then.
static udev_list_entry* linkEntries(std::vector<udev_list_entry>& lEntries)
{
    for (size_t i = 0; i + 1 < lEntries.size(); ++i) {
        lEntries[i].pNext = &lEntries[i + 1];
    }
    return lEntries.empty() ? nullptr : &lEntries.front();
}

struct udev_device
{
    CFakeDevice oDevice;
    std::vector<udev_list_entry> lEntries;
};

struct udev_enumerate
{
    std::vector<udev_list_entry> lEntries;
};

namespace {

QQueue<CFakeDevice> g_qEvents;
int g_aPipe[2] = {-1, -1};

const char* text(const QByteArray& aText)
{
    return aText.isNull() ? nullptr : aText.constData();
}

udev_device* newDevice(const CFakeDevice& oDevice)
{
    udev_device* pDevice = new udev_device {oDevice, {}};
    for (const auto& oProperty : oDevice.lProperties) {
        pDevice->lEntries.push_back({oProperty.first, oProperty.second});
    }
    ++g_oUdev.iLiveDevices;
    return pDevice;
}

const char* property(udev_device* pDevice, const char* szName)
{
    for (const auto& oProperty : pDevice->oDevice.lProperties) {
        if (oProperty.first == szName) {
            return oProperty.second.constData();
        }
    }
    return nullptr;
}

} // namespace

CFakeDevice CFakeDevice::with(const QByteArray& aName, const QByteArray& aValue) const
{
    CFakeDevice oDevice = without(aName);
    oDevice.lProperties.append({aName, aValue});
    return oDevice;
}

CFakeDevice CFakeDevice::without(const QByteArray& aName) const
{
    CFakeDevice oDevice = *this;
    oDevice.lProperties.removeIf([&](const auto& oProperty) { return oProperty.first == aName; });
    return oDevice;
}

CFakeDevice FakeStick(const QByteArray& aNode, const QByteArray& aAction)
{
    const QByteArray aName = aNode.mid(aNode.lastIndexOf('/') + 1);
    CFakeDevice oDevice {"/sys/block/" + aName, {}, "7864320"};
    if (!aAction.isNull()) {
        oDevice.lProperties.append({"ACTION", aAction});
    }
    oDevice.lProperties += {{"DEVNAME", aNode},
                            {"ID_BUS", "usb"},
                            {"ID_MODEL", "Stick_" + aName},
                            {"ID_SERIAL", "Serial_" + aName},
                            {"ID_TYPE", "disk"},
                            {"ID_USB_DRIVER", "usb-storage"},
                            {"ID_VENDOR", "Vendor"}};
    return oDevice;
}

void CFakeUdev::reset()
{
    *this = CFakeUdev();
    g_qEvents.clear();
    if (g_aPipe[0] < 0 && pipe2(g_aPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        qFatal("pipe2 failed");
    }
    char cByte;
    while (read(g_aPipe[0], &cByte, 1) == 1) {
    }
}

void CFakeUdev::queue(const CFakeDevice& oEvent)
{
    g_qEvents.enqueue(oEvent);
    if (write(g_aPipe[1], "e", 1) != 1) {
        qFatal("the event pipe is full");
    }
}

// The watcher's poll: an error instead of polling when one is set, else the real thing.
int select(int iCount, fd_set* pRead, fd_set* pWrite, fd_set* pExcept, struct timeval* pTimeout)
{
    if (g_oUdev.iSelectErrno != 0) {
        errno = g_oUdev.iSelectErrno;
        return -1;
    }
    struct timespec oTimeout = {};
    if (pTimeout != nullptr) {
        oTimeout = {pTimeout->tv_sec, pTimeout->tv_usec * 1000};
    }
    return pselect(iCount, pRead, pWrite, pExcept, pTimeout != nullptr ? &oTimeout : nullptr, nullptr);
}

udev* udev_new()
{
    ++g_oUdev.iNewCalls;
    if (g_oUdev.bNewFails) {
        return nullptr;
    }
    ++g_oUdev.iLiveContexts;
    return new udev;
}

udev* udev_unref(udev* pUdev)
{
    if (pUdev != nullptr) {
        --g_oUdev.iLiveContexts;
        delete pUdev;
    }
    return nullptr;
}

udev_monitor* udev_monitor_new_from_netlink(udev* pUdev, const char*)
{
    return pUdev == nullptr || g_oUdev.bMonitorFails ? nullptr : new udev_monitor;
}

int udev_monitor_filter_add_match_subsystem_devtype(udev_monitor*, const char*, const char*)
{
    return g_oUdev.bFilterFails ? -EINVAL : 0;
}

int udev_monitor_enable_receiving(udev_monitor*)
{
    return g_oUdev.bEnableFails ? -EPERM : 0;
}

int udev_monitor_get_fd(udev_monitor*)
{
    return g_aPipe[0];
}

udev_device* udev_monitor_receive_device(udev_monitor*)
{
    char cByte;
    if (read(g_aPipe[0], &cByte, 1) != 1 || g_qEvents.isEmpty()) {
        return nullptr;
    }
    return newDevice(g_qEvents.dequeue());
}

udev_monitor* udev_monitor_unref(udev_monitor* pMonitor)
{
    delete pMonitor;
    return nullptr;
}

udev_device* udev_device_new_from_syspath(udev*, const char* szSyspath)
{
    for (const CFakeDevice& oDevice : std::as_const(g_oUdev.lDevices)) {
        if (oDevice.aSyspath == szSyspath) {
            return newDevice(oDevice);
        }
    }
    return nullptr;
}

udev_device* udev_device_unref(udev_device* pDevice)
{
    if (pDevice != nullptr) {
        --g_oUdev.iLiveDevices;
        delete pDevice;
    }
    return nullptr;
}

const char* udev_device_get_action(udev_device* pDevice)
{
    return property(pDevice, "ACTION");
}

const char* udev_device_get_devnode(udev_device* pDevice)
{
    return property(pDevice, "DEVNAME");
}

const char* udev_device_get_sysattr_value(udev_device* pDevice, const char* szName)
{
    return strcmp(szName, "size") == 0 ? text(pDevice->oDevice.aSize) : nullptr;
}

udev_list_entry* udev_device_get_properties_list_entry(udev_device* pDevice)
{
    return linkEntries(pDevice->lEntries);
}

udev_list_entry* udev_list_entry_get_next(udev_list_entry* pEntry)
{
    return pEntry->pNext;
}

const char* udev_list_entry_get_name(udev_list_entry* pEntry)
{
    return pEntry->aName.constData();
}

const char* udev_list_entry_get_value(udev_list_entry* pEntry)
{
    return text(pEntry->aValue);
}

// Like libudev, the calls on a missing enumeration fail with -EINVAL or give nothing.
udev_enumerate* udev_enumerate_new(udev*)
{
    return g_oUdev.bEnumerateFails ? nullptr : new udev_enumerate;
}

int udev_enumerate_add_match_subsystem(udev_enumerate* pEnumerate, const char*)
{
    return pEnumerate != nullptr ? g_oUdev.iMatchResult : -EINVAL;
}

int udev_enumerate_scan_devices(udev_enumerate* pEnumerate)
{
    if (pEnumerate == nullptr) {
        return -EINVAL;
    }
    for (const CFakeDevice& oDevice : std::as_const(g_oUdev.lDevices)) {
        pEnumerate->lEntries.push_back({oDevice.aSyspath, QByteArray()});
    }
    return g_oUdev.iScanResult;
}

udev_list_entry* udev_enumerate_get_list_entry(udev_enumerate* pEnumerate)
{
    return pEnumerate != nullptr ? linkEntries(pEnumerate->lEntries) : nullptr;
}

udev_enumerate* udev_enumerate_unref(udev_enumerate* pEnumerate)
{
    delete pEnumerate;
    return nullptr;
}
