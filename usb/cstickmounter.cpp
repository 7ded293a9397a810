#include "usb/cstickmounter.h"

#include "log/clogstream.h"
#include "usb/cmounttable.h"
#include "usb/platform.h"

#include <QDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/mount.h>

namespace {

// A stick is anyone's: nothing on it may become a device node or a set-user-ID program here.
const unsigned long g_ulMountFlags = MS_SYNCHRONOUS | MS_NOSUID | MS_NODEV;
const int g_iPathBufferSize = 256;

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

// The stick is mounted from its disk (no partition table) or from its first partition.
bool isStickSource(const QByteArray& aSource, const QByteArray& aNode)
{
    return aSource == aNode || aSource == aNode + '1';
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

} // namespace

bool CStickMounter::mount(const QByteArray& aNode)
{
    if (!prepareMountPoint()) {
        return false;
    }

    // Gives the kernel time to finish with a freshly plugged stick before it is mounted.
    Platform::sleep(3);

    // A stick formatted without a partition table, then the usual partitioned one, then NTFS.
    m_bMounted = takeOver(aNode) || mountAs(aNode, "vfat", " mount failed (vfat) errno = ")
                 || mountAs(aNode + '1', "vfat", " mount failed (vfat) errno = ")
                 || mountAs(aNode, "ntfs", " mount failed errno = ");
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
