// CUsb: the hot-plug monitor, polled once a second, and what an arrival or a removal does.

#include "service/cusb.h"

#include "log/clogstream.h"
#include "usb/platform.h"

#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/select.h>

namespace {

const int g_iResetDelay = 5000;

bool isChangeEvent(udev_device* pDevice)
{
    const char* szAction = udev_device_get_action(pDevice);
    return szAction != nullptr && strcmp(szAction, "change") == 0;
}

// A disk without a medium reports the size 0; one that is gone has no size and no node left.
bool hasMedium(udev_device* pDevice, const char* szDevName)
{
    const char* szSize = udev_device_get_sysattr_value(pDevice, "size");
    struct stat oStat;
    return szSize != nullptr && strcmp(szSize, "0") != 0 && Platform::stat(szDevName, &oStat) == 0;
}

} // namespace

bool CUsb::OpenHotplugMonitor()
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
        return false;
    }
    if (udev_monitor_filter_add_match_subsystem_devtype(m_pUdevMonitor, "block", "disk") < 0) {
        CUSB_DEBUG << "udev_monitor_filter_add_match_subsystem_devtype FAILED";
        return false;
    }
    if (udev_monitor_enable_receiving(m_pUdevMonitor) < 0) {
        CUSB_DEBUG << "udev_monitor_enable_receiving FAILED";
        return false;
    }
    return true;
}

void CUsb::check_usb()
{
    if (!m_bProcessStarted) {
        return;
    }

    // Stopped while the tick works, so a slow arrival never lets ticks overlap or pile up.
    m_pUsbTimer->stop();

    udev_device* pDevice = receiveHotplugDevice();
    if (pDevice != nullptr) {
        handleHotplugDevice(pDevice);
        udev_device_unref(pDevice);
    }

    m_pUsbTimer->start(s_iPollInterval);
}

udev_device* CUsb::receiveHotplugDevice()
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

void CUsb::handleHotplugDevice(udev_device* pDevice)
{
    char szModel[s_iTextLength];
    char szSerial[s_iTextLength];
    char szDevName[s_iTextLength];
    char szVendor[s_iTextLength];
    bool bDeviceAdded = false;

    if (!CheckUSBDevice(pDevice, szModel, s_iTextLength, szSerial, s_iTextLength, szDevName, s_iTextLength, szVendor,
                        s_iTextLength, &bDeviceAdded)) {
        return;
    }

    // One mount point: while a stick is recorded, the events of any other disk leave it alone.
    if (!m_sStickNode.isEmpty() && m_sStickNode != QString::fromLatin1(szDevName)) {
        if (bDeviceAdded) {
            CUSB_WARNING << "USB-Device ignored, another stick is in use " << szModel << szSerial << szDevName;
        } else {
            CUSB_DEBUG << "USB-Device event ignored, another stick is in use " << szModel << szSerial << szDevName;
        }
        return;
    }

    if (bDeviceAdded) {
        if (m_bStickMounted) {
            CUSB_WARNING << "USB-Device ignored, the stick is mounted already " << szModel << szSerial << szDevName;
            return;
        }
        handleArrival(szDevName, szModel, szSerial, szVendor);
        return;
    }

    // The kernel follows every "add" with a "change", and "udevadm trigger" sends one for every
    // disk: a change means the stick is gone only when its medium is (a card taken out of a reader).
    if (isChangeEvent(pDevice) && hasMedium(pDevice, szDevName)) {
        CUSB_DEBUG << "USB-Device changed, medium present " << szModel << szSerial << szDevName;
        return;
    }
    handleRemoval(szDevName, szModel, szSerial);
}

void CUsb::handleArrival(const char* szDevName, const char* szModel, const char* szSerial, const char* szVendor)
{
    CUSB_DEBUG << "USB-Device added " << szModel << szSerial << szDevName;
    recordArrival(szDevName, szModel, szVendor);
    SendDbus();
    if (MountUsbStick(szDevName)) {
        CheckMount(s_szMountDir);
    }
}

void CUsb::handleRemoval(const char* szDevName, const char* szModel, const char* szSerial)
{
    CUSB_DEBUG << "USB-Device removed " << szModel << szSerial << szDevName;
    UnmountUsbDevice(true);
    detachRemovedStick(QByteArray(szDevName));
    recordRemoval();
    SendDbus();
    m_pResetTimer->start(g_iResetDelay);
}

// The udev texts go into the record as the peers have always read C strings: as Latin-1.
void CUsb::recordArrival(const char* szDeviceNode, const char* szModel, const char* szVendor)
{
    m_sStickNode = QString::fromLatin1(szDeviceNode);
    m_bStickMounted = false;
    m_oRunUsb.setUsbDeviceState(1);
    m_oRunUsb.setUsbDeviceNode(QString::fromLatin1(szDeviceNode));
    m_oRunUsb.setUsbModel(QString::fromLatin1(szModel));
    m_oRunUsb.setUsbDeviceText(QString(""));
    m_oRunUsb.setUsbVendor(QString::fromLatin1(szVendor));
    m_oRunUsb.setUsbDataAvailable(false);
    m_oRunUsb.setUpdateFileFound(false);
    m_oRunUsb.setDatabaseDirFound(false);
    m_oRunUsb.setLogbookDirFound(false);
}

void CUsb::recordRemoval()
{
    m_sStickNode.clear();
    m_bStickMounted = false;
    m_oRunUsb.setUsbDeviceState(0);
    m_oRunUsb.setUsbDeviceNode(QString(""));
    m_oRunUsb.setUsbModel(QString(""));
    m_oRunUsb.setUsbDeviceText(QString(""));
    m_oRunUsb.setUsbVendor(QString(""));
    m_oRunUsb.setUsbDataAvailable(false);
    m_oRunUsb.setUpdateFileFound(false);
    m_oRunUsb.setDatabaseDirFound(false);
    m_oRunUsb.setLogbookDirFound(false);
    m_oRunUsb.setUsbInfoText(QString(""));
    m_oRunUsb.setUsbMountPath(QString(""));
    m_oRunUsb.setUsbCapacity(0);
    m_oRunUsb.setUsbDeviceUnmounted(true);
}
