#include "usb/cstickmounter.h"

#include "log/clogstream.h"
#include "usb/cmounttable.h"
#include "usb/platform.h"

#include <QDir>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mount.h>

namespace {

// A stick is anyone's: nothing on it may become a device node or a set-user-ID program here.
const unsigned long g_ulMountFlags = MS_SYNCHRONOUS | MS_NOSUID | MS_NODEV;
const int g_iPathBufferSize = 256;
const char* const g_szVfatFailure = " mount failed (vfat) errno = ";
// udev probes a new disk's partitions after the disk: how long, and how often, to ask again.
const int g_iProbeWaitMs = 5000;
const int g_iProbeIntervalMs = 250;
// The file systems of sticks that the service knows how to mount, in the order it names them.
const QList<QByteArray> g_lStickTypes = {"vfat", "exfat", "ntfs", "ntfs3"};

// One mount attempt; a failure is logged with the given wording and errno.
bool mountAs(const QByteArray& aSource, const char* szType, const char* szFailure)
{
    if (Platform::mount(aSource.constData(), CStickMounter::s_szMountDir, szType, g_ulMountFlags, "") == 0) {
        return true;
    }
    const int iError = errno;
    CUSB_WARNING << "USB " << aSource.constData() << szFailure << iError << " : " << strerror(iError);
    return false;
}

// The stick is mounted from its disk (no partition table) or from one of its partitions, whose
// nodes are the disk's followed by the number.
bool isStickSource(const QByteArray& aSource, const QByteArray& aNode)
{
    if (!aSource.startsWith(aNode)) {
        return false;
    }
    const QByteArray aNumber = aSource.mid(aNode.size());
    return std::all_of(aNumber.cbegin(), aNumber.cend(), [](char c) { return c >= '0' && c <= '9'; });
}

bool exists(const QByteArray& aPath)
{
    struct stat oStat;
    return Platform::stat(aPath.constData(), &oStat) == 0;
}

// Only a missing entry counts as absent; a plain file or an unreadable entry is present.
bool isPresent(const char* szPath)
{
    struct stat oStat;
    return !(Platform::stat(szPath, &oStat) != 0 && errno == ENOENT);
}

void formatPath(char* szPath, const char* szMountDir, const char* szFolder)
{
    snprintf(szPath, g_iPathBufferSize - 1, "%s%s", szMountDir, szFolder);
}

// Not stat: a link planted at the mount point would have the stick mounted wherever it leads.
bool prepareMountPoint()
{
    struct stat oStat;
    if (Platform::lstat(CStickMounter::s_szMountDir, &oStat) == 0) {
        if (S_ISDIR(oStat.st_mode)) {
            return true;
        }
        CUSB_WARNING << "Mount point is not a directory, not mounted " << CStickMounter::s_szMountDir;
        return false;
    }
    if (errno != ENOENT) {
        return true;
    }
    CUSB_DEBUG << "create dir  " << CStickMounter::s_szMountDir;
    if (Platform::mkdir(CStickMounter::s_szMountDir, 0777) != 0) {
        CUSB_DEBUG << "failed to create dir " << CStickMounter::s_szMountDir;
        return false;
    }
    return true;
}

// What udev knows of the stick; a partition it has not probed yet is waited for, a while.
CStickLayout readLayout(const QByteArray& aNode)
{
    CStickLayout oLayout = Platform::stickLayout(aNode);
    for (int iWaited = 0; !oLayout.complete() && iWaited < g_iProbeWaitMs; iWaited += g_iProbeIntervalMs) {
        Platform::usleep(g_iProbeIntervalMs * 1000);
        oLayout = Platform::stickLayout(aNode);
    }
    if (!oLayout.complete()) {
        CUSB_WARNING << "USB " << aNode.constData() << " not fully probed by udev, mounted as far as it is known";
    }
    return oLayout;
}

// The stick file systems the kernel has, or can load as a module when a mount asks for one.
QList<QByteArray> offeredTypes()
{
    const QByteArray aRegistered = Platform::fileSystems();
    const QByteArray aAliases = Platform::moduleAliases();
    QList<QByteArray> lOffered;
    for (const QByteArray& aType : g_lStickTypes) {
        if (aRegistered.contains('\t' + aType + '\n') || aAliases.contains("alias fs-" + aType + ' ')) {
            lOffered.append(aType);
        }
    }
    return lOffered;
}

// exFAT, which sticks of 64 GB and more ship with, and NTFS through the newer driver where the
// kernel has only that one; the operator is told what a stick that stays unmounted holds.
bool mountOther(const CStickLayout& oLayout)
{
    const QByteArray aExfat = oLayout.holderOf("exfat");
    if (!aExfat.isNull() && mountAs(aExfat, "exfat", " mount failed (exfat) errno = ")) {
        return true;
    }
    const QList<QByteArray> lOffered = offeredTypes();
    const QByteArray aNtfs = oLayout.holderOf("ntfs");
    if (!aNtfs.isNull() && lOffered.contains("ntfs3") && !lOffered.contains("ntfs")
        && mountAs(aNtfs, "ntfs3", " mount failed (ntfs3) errno = ")) {
        return true;
    }
    const QByteArray aKernel = lOffered.isEmpty() ? "none of " + g_lStickTypes.join(' ') : lOffered.join(' ');
    CUSB_WARNING
        << "USB " << oLayout.device().constData()
        << (" holds " + oLayout.contentText() + ", not mounted (this kernel mounts " + aKernel + ")").constData();
    return false;
}

// After the whole disk: partition 1 or the data partition behind an EFI system partition,
// the disk as NTFS, then what udev says the stick holds.
bool mountPartitioned(const QByteArray& aNode)
{
    const CStickLayout oLayout = readLayout(aNode);
    return mountAs(oLayout.dataPartition(), "vfat", g_szVfatFailure) || mountAs(aNode, "ntfs", " mount failed errno = ")
           || mountOther(oLayout);
}

} // namespace

bool CStickMounter::mount(const QByteArray& aNode)
{
    if (!prepareMountPoint()) {
        return false;
    }

    // Gives the kernel time to finish with a freshly plugged stick before it is mounted.
    Platform::sleep(3);

    // A stick formatted without a partition table costs one mount; the rest asks udev first.
    m_bMounted = takeOver(aNode) || mountAs(aNode, "vfat", g_szVfatFailure) || mountPartitioned(aNode);
    return m_bMounted;
}

// A service that was restarted finds its own mount of the stick still there: it keeps it. What
// else is there (a stick long gone, another disk) would hide the new mount or sit below it.
bool CStickMounter::takeOver(const QByteArray& aNode)
{
    const auto isTheStick = [&](const QByteArray& aSource) { return isStickSource(aSource, aNode) && exists(aSource); };
    const QByteArray aSource = detachWhile([&](const QByteArray& aTop) { return !isTheStick(aTop); });
    if (!isTheStick(aSource)) {
        return false;
    }
    CUSB_WARNING << "USB-Device mounted already, taken over " << aSource.constData();
    return true;
}

// After a removal nothing of the stick may stay at the mount point, whether it came from this
// run or an earlier one, nor a mount of a disk that is gone.
void CStickMounter::detachRemoved(const QByteArray& aNode)
{
    detachWhile([&](const QByteArray& aTop) { return isStickSource(aTop, aNode) || !exists(aTop); });
    m_bMounted = false;
}

void CStickMounter::detachStale()
{
    detachWhile([](const QByteArray&) { return true; });
    m_bMounted = false;
}

QByteArray CStickMounter::detachWhile(const std::function<bool(const QByteArray&)>& fDetach)
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

CStickContent CStickMounter::inspect(const char* szMountDir)
{
    CStickContent oContent;
    char szPath[g_iPathBufferSize];

    formatPath(szPath, szMountDir, "/Veltrano/update");
    if (!isPresent(szPath)) {
        CUSB_WARNING << "Update directory not found on USB-Stick " << szPath;
    } else {
        CUSB_DEBUG << "Update directory exists on USB-Stick " << szPath;
        oContent.bUpdate = hasUpdate(szPath);
        if (oContent.bUpdate) {
            CUSB_DEBUG << "Found update file in " << szPath;
        } else {
            CUSB_DEBUG << "No valid update file in " << szPath;
        }
    }

    formatPath(szPath, szMountDir, "/Veltrano/database");
    oContent.bDatabase = isPresent(szPath);
    if (oContent.bDatabase) {
        CUSB_DEBUG << "Database directory exists on USB-Stick " << szPath;
    }

    formatPath(szPath, szMountDir, "/Veltrano/logbook");
    oContent.bLogbook = isPresent(szPath);
    if (oContent.bLogbook) {
        CUSB_DEBUG << "Log directory exists on USB-Stick  " << szPath;
    } else {
        CUSB_WARNING << "Log directory not found on USB-Stick " << szPath;
    }

    struct statvfs oFileSystem;
    if (Platform::statvfs(szMountDir, &oFileSystem) != 0) {
        CUSB_DEBUG << "'statvfs' failed";
    } else {
        CUSB_DEBUG << "'statvfs' reports  f_frsize =  " << oFileSystem.f_frsize
                   << " f_blocks = " << oFileSystem.f_blocks;
        // The total size, formed in 64 bits: sticks above 4 GiB are common.
        oContent.oCapacity = static_cast<qint64>(oFileSystem.f_frsize) * static_cast<qint64>(oFileSystem.f_blocks);
    }
    return oContent;
}

bool CStickMounter::hasUpdate(const char* szUpdateDir)
{
    // The default filter counts "." and ".." and leaves hidden entries out.
    const QDir oDir(QString::fromLatin1(szUpdateDir));
    const qsizetype iCount = oDir.count();
    CUSB_DEBUG << "Found " << iCount << " files in Update dir";
    return iCount > 2;
}

bool CStickMounter::unmount(const QString& sMountPath)
{
    CUSB_WARNING << "start 'umount'";
    if (Platform::umount2(sMountPath.toLatin1().constData(), UMOUNT_NOFOLLOW) != 0) {
        const int iError = errno;
        CUSB_WARNING << "'umount' " << sMountPath << " failed  errno = " << strerror(iError) << iError;
        return false;
    }
    m_bMounted = false;
    CUSB_WARNING << "'umount' OK";
    return true;
}
