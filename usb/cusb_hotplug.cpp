// CUsb: the hot-plug monitor, polled once a second, and what an arrival or a removal does.

#include "service/cusb.h"

#include "log/clogstream.h"

#include <QTimer>

#include <cerrno>
#include <sys/select.h>

namespace {

const int g_iResetDelay = 5000;

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

    // Anything but "add" ("remove", "change", ...) means the stick can no longer be trusted.
    if (bDeviceAdded) {
        CUSB_DEBUG << "USB-Device added " << szModel << szSerial << szDevName;
        recordArrival(szDevName, szModel, szVendor);
        SendDbus();
        if (MountUsbStick(szDevName)) {
            CheckMount(s_szMountDir);
        }
    } else {
        CUSB_DEBUG << "USB-Device removed " << szModel << szSerial << szDevName;
        UnmountUsbDevice(true);
        recordRemoval();
        SendDbus();
        m_pResetTimer->start(g_iResetDelay);
    }
}

// The udev texts go into the record as the peers have always read C strings: as Latin-1.
void CUsb::recordArrival(const char* szDeviceNode, const char* szModel, const char* szVendor)
{
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
