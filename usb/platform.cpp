#include "usb/platform.h"

#include <QFile>

#include <libudev.h>
#include <sys/mount.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {

// A proc file has no size: read until the end rather than trusting size().
QByteArray readAll(const QString& sPath)
{
    QFile oFile(sPath);
    return oFile.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ? oFile.readAll() : QByteArray();
}

QByteArray property(udev_device* pDevice, const char* szName)
{
    return QByteArray(udev_device_get_property_value(pDevice, szName));
}

CStickLayout::SPartition partitionOf(udev_device* pDevice)
{
    CStickLayout::SPartition oPartition;
    oPartition.aNode = QByteArray(udev_device_get_devnode(pDevice));
    // The kernel's number is there before udev has probed the partition.
    oPartition.iNumber = QByteArray(udev_device_get_sysattr_value(pDevice, "partition")).toInt();
    oPartition.aEntryType = property(pDevice, "ID_PART_ENTRY_TYPE");
    oPartition.aFsType = property(pDevice, "ID_FS_TYPE");
    oPartition.bProbed = udev_device_get_is_initialized(pDevice) > 0;
    return oPartition;
}

// The disk's partitions as sysfs lists them: the kernel adds them before it announces the disk.
void addPartitions(udev* pUdev, udev_device* pDisk, CStickLayout* pLayout)
{
    udev_enumerate* pEnumerate = udev_enumerate_new(pUdev);
    if (pEnumerate == nullptr) {
        return;
    }
    udev_enumerate_add_match_parent(pEnumerate, pDisk);
    udev_enumerate_add_match_subsystem(pEnumerate, "block");
    udev_enumerate_scan_devices(pEnumerate);
    udev_list_entry* pEntry = udev_enumerate_get_list_entry(pEnumerate);
    for (; pEntry != nullptr; pEntry = udev_list_entry_get_next(pEntry)) {
        udev_device* pDevice = udev_device_new_from_syspath(pUdev, udev_list_entry_get_name(pEntry));
        if (pDevice == nullptr) {
            continue;
        }
        // The list holds the disk itself too.
        if (qstrcmp(udev_device_get_devtype(pDevice), "partition") == 0) {
            pLayout->addPartition(partitionOf(pDevice));
        }
        udev_device_unref(pDevice);
    }
    udev_enumerate_unref(pEnumerate);
}

} // namespace

namespace Platform {

int mount(const char* szSource, const char* szTarget, const char* szType, unsigned long ulFlags, const void* pData)
{
    return ::mount(szSource, szTarget, szType, ulFlags, pData);
}

int umount2(const char* szTarget, int iFlags)
{
    return ::umount2(szTarget, iFlags);
}

int stat(const char* szPath, struct stat* pStat)
{
    return ::stat(szPath, pStat);
}

int lstat(const char* szPath, struct stat* pStat)
{
    return ::lstat(szPath, pStat);
}

int mkdir(const char* szPath, mode_t iMode)
{
    return ::mkdir(szPath, iMode);
}

int statvfs(const char* szPath, struct statvfs* pStat)
{
    return ::statvfs(szPath, pStat);
}

unsigned int sleep(unsigned int uiSeconds)
{
    return ::sleep(uiSeconds);
}

int usleep(useconds_t uiMicroseconds)
{
    return ::usleep(uiMicroseconds);
}

QByteArray mountTable()
{
    return readAll(QStringLiteral("/proc/self/mountinfo"));
}

CStickLayout stickLayout(const QByteArray& aNode)
{
    // Nothing found, when udev cannot say.
    CStickLayout oLayout(aNode, QByteArray(), QByteArray());
    udev* pUdev = udev_new();
    if (pUdev == nullptr) {
        return oLayout;
    }
    const QByteArray aName = aNode.mid(aNode.lastIndexOf('/') + 1);
    udev_device* pDisk = udev_device_new_from_subsystem_sysname(pUdev, "block", aName.constData());
    if (pDisk != nullptr) {
        oLayout = CStickLayout(aNode, property(pDisk, "ID_PART_TABLE_TYPE"), property(pDisk, "ID_FS_TYPE"));
        addPartitions(pUdev, pDisk, &oLayout);
        udev_device_unref(pDisk);
    }
    udev_unref(pUdev);
    return oLayout;
}

QByteArray fileSystems()
{
    return readAll(QStringLiteral("/proc/filesystems"));
}

QByteArray moduleAliases()
{
    struct utsname oName;
    if (uname(&oName) != 0) {
        return QByteArray();
    }
    return readAll(QStringLiteral("/lib/modules/%1/modules.alias").arg(QString::fromLatin1(oName.release)));
}

} // namespace Platform
