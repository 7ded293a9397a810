// CUsb: the start-up scan for a stick that is already plugged in, and mounting a stick.

#include "service/cusb.h"

#include "log/clogstream.h"
#include "usb/cmounttable.h"
#include "usb/platform.h"

#include <QByteArray>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace {

// A stick is anyone's: nothing on it may become a device node or a set-user-ID program here.
const unsigned long g_ulMountFlags = MS_SYNCHRONOUS | MS_NOSUID | MS_NODEV;

// One mount attempt; a failure is logged with the given wording and errno.
bool mountAs(const QByteArray& aSource, const char* szTarget, const char* szType, const char* szFailure)
{
    if (Platform::mount(aSource.constData(), szTarget, szType, g_ulMountFlags, "") == 0) {
        return true;
    }
    const int iError = errno;
    CUSB_WARNING << "USB " << aSource.constData() << szFailure << iError << " : " << strerror(iError);
    return false;
}

bool exists(const QByteArray& aPath)
{
    struct stat oStat;
    return Platform::stat(aPath.constData(), &oStat) == 0;
}

} // namespace

bool CUsb::StartupUdev()
{
    udev* pUdev = udev_new();
    if (pUdev == nullptr) {
        CUSB_WARNING << "Can't create u_dev";
        return false;
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
        udev_enumerate_unref(pEnumerate);
        udev_unref(pUdev);
        return true;
    }

    char szModel[s_iTextLength];
    char szSerial[s_iTextLength];
    char szDevName[s_iTextLength];
    char szVendor[s_iTextLength];
    bool bDeviceAdded = false;
    udev_device* pDevice = nullptr;

    // Disks and partitions alike; the first that qualifies is the stick.
    for (; pEntry != nullptr; pEntry = udev_list_entry_get_next(pEntry)) {
        pDevice = udev_device_new_from_syspath(pUdev, udev_list_entry_get_name(pEntry));
        CUSB_DEBUG << "Device Node Path: " << udev_device_get_devnode(pDevice);
        if (CheckUSBDevice(pDevice, szModel, s_iTextLength, szSerial, s_iTextLength, szDevName, s_iTextLength, szVendor,
                           s_iTextLength, &bDeviceAdded)) {
            break;
        }
        udev_device_unref(pDevice);
        pDevice = nullptr;
    }

    bool bMounted = true;
    if (pDevice != nullptr) {
        recordArrival(szDevName, szModel, szVendor);
        SendDbus();
        bMounted = MountUsbStick(szDevName);
        if (bMounted) {
            CheckMount(s_szMountDir);
        }
        udev_device_unref(pDevice);
    }

    udev_enumerate_unref(pEnumerate);
    udev_unref(pUdev);
    return bMounted;
}

bool CUsb::MountUsbStick(const char* szDeviceNode)
{
    const QByteArray aDevice(szDeviceNode);
    const QByteArray aPartition = aDevice + '1';

    // Not stat: a link planted at the mount point would have the stick mounted wherever it leads.
    struct stat oStat;
    if (Platform::lstat(s_szMountDir, &oStat) != 0) {
        if (errno == ENOENT) {
            CUSB_DEBUG << "create dir  " << s_szMountDir;
            if (Platform::mkdir(s_szMountDir, 0777) != 0) {
                CUSB_DEBUG << "failed to create dir " << s_szMountDir;
                return false;
            }
        }
    } else if (!S_ISDIR(oStat.st_mode)) {
        CUSB_WARNING << "Mount point is not a directory, not mounted " << s_szMountDir;
        return false;
    }

    // Gives the kernel time to finish with a freshly plugged stick before it is mounted.
    Platform::sleep(3);

    // A stick formatted without a partition table, then the usual partitioned one, then NTFS.
    m_bStickMounted = takeOverMount(aDevice, aPartition)
                      || mountAs(aDevice, s_szMountDir, "vfat", " mount failed (vfat) errno = ")
                      || mountAs(aPartition, s_szMountDir, "vfat", " mount failed (vfat) errno = ")
                      || mountAs(aDevice, s_szMountDir, "ntfs", " mount failed errno = ");
    return m_bStickMounted;
}

// A service that was restarted finds its own mount of the stick still there: it keeps it. What
// else is there (a stick long gone, another disk) would hide the new mount or sit below it.
bool CUsb::takeOverMount(const QByteArray& aDevice, const QByteArray& aPartition)
{
    const auto isTheStick = [&](const QByteArray& aSource) {
        return (aSource == aDevice || aSource == aPartition) && exists(aSource);
    };
    const QByteArray aSource = detachMountsWhile([&](const QByteArray& aTop) { return !isTheStick(aTop); });
    if (!isTheStick(aSource)) {
        return false;
    }
    CUSB_WARNING << "USB-Device mounted already, taken over " << aSource.constData();
    return true;
}

// After a removal nothing of the stick may stay at the mount point, whether it came from this
// run or an earlier one, nor a mount of a disk that is gone.
void CUsb::detachRemovedStick(const QByteArray& aDevice)
{
    const QByteArray aPartition = aDevice + '1';
    detachMountsWhile([&](const QByteArray& aTop) {
        return aTop == aDevice || aTop == aPartition || !exists(aTop);
    });
}

QByteArray CUsb::detachMountsWhile(const std::function<bool(const QByteArray&)>& fDetach)
{
    QByteArray aSource = CMountTable(Platform::mountTable()).sourceAt(s_szMountDir);
    while (!aSource.isNull() && fDetach(aSource)) {
        // Lazily: a file still open on a vanished stick must not keep its mount in the way.
        if (Platform::umount2(s_szMountDir, MNT_DETACH | UMOUNT_NOFOLLOW) != 0) {
            const int iError = errno;
            CUSB_WARNING << "'umount2' " << aSource.constData() << " failed  errno = " << strerror(iError) << iError;
            return aSource;
        }
        CUSB_WARNING << "Stale mount detached " << aSource.constData();
        aSource = CMountTable(Platform::mountTable()).sourceAt(s_szMountDir);
    }
    return aSource;
}
