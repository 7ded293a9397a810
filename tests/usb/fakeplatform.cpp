#include "fakeplatform.h"

#include "usb/platform.h"

#include <cerrno>
#include <cstring>

CFakePlatform g_oPlatform;

namespace {

const char* const g_szRootMount = "21 1 8:2 / / rw - ext4 /dev/vda2 rw\n";

int fakeStat(const char* szPath, struct stat* pStat, bool bFollow)
{
    QByteArray aPath(szPath);
    if (bFollow && g_oPlatform.hLinks.contains(aPath)) {
        aPath = g_oPlatform.hLinks.value(aPath);
    }
    if (g_oPlatform.hErrors.contains(aPath)) {
        errno = g_oPlatform.hErrors.value(aPath);
        return -1;
    }
    if (!g_oPlatform.aRealRoot.isEmpty() && aPath.startsWith(g_oPlatform.aRealRoot)) {
        return bFollow ? ::stat(aPath.constData(), pStat) : ::lstat(aPath.constData(), pStat);
    }
    memset(pStat, 0, sizeof(*pStat));
    if (!bFollow && g_oPlatform.hLinks.contains(aPath)) {
        pStat->st_mode = S_IFLNK | 0777;
        return 0;
    }
    if (!g_oPlatform.hModes.contains(aPath)) {
        errno = ENOENT;
        return -1;
    }
    pStat->st_mode = g_oPlatform.hModes.value(aPath);
    return 0;
}

int fail(int iError)
{
    errno = iError;
    return -1;
}

} // namespace

void CFakePlatform::reset()
{
    *this = CFakePlatform();
}

void CFakePlatform::addMount(const QByteArray& aSource, const QByteArray& aType, const QByteArray& aTarget)
{
    int iParent = 21;
    for (const SMount& oMount : lMounts) {
        if (oMount.aTarget == aTarget) {
            iParent = oMount.iId;
        }
    }
    lMounts.append({iNextId++, iParent, aTarget, aType, aSource});
}

void CFakePlatform::setMounts(const QList<QByteArray>& lSources)
{
    lMounts.clear();
    for (const QByteArray& aSource : lSources) {
        addMount(aSource, aSource == "tmpfs" ? "tmpfs" : "vfat");
    }
}

QList<QByteArray> CFakePlatform::sourcesAt(const QByteArray& aTarget) const
{
    QList<QByteArray> lSources;
    for (const SMount& oMount : lMounts) {
        if (oMount.aTarget == aTarget) {
            lSources.append(oMount.aSource);
        }
    }
    return lSources;
}

namespace Platform {

int mount(const char* szSource, const char* szTarget, const char* szType, unsigned long ulFlags, const void*)
{
    g_oPlatform.lCalls.append(QString("mount %1 %2 %3 %4").arg(szSource, szTarget, szType).arg(ulFlags));
    const int iError = g_oPlatform.hMountErrors.value(QByteArray(szSource) + ' ' + szType);
    if (iError != 0) {
        return fail(iError);
    }
    g_oPlatform.addMount(szSource, szType, szTarget);
    return 0;
}

int umount2(const char* szTarget, int iFlags)
{
    g_oPlatform.lCalls.append(QString("umount2 %1 %2").arg(szTarget).arg(iFlags));
    if (g_oPlatform.iUmountErrno != 0) {
        return fail(g_oPlatform.iUmountErrno);
    }
    if (*szTarget == '\0') {
        return fail(ENOENT);
    }
    for (qsizetype i = g_oPlatform.lMounts.size() - 1; i >= 0; --i) {
        if (g_oPlatform.lMounts[i].aTarget == szTarget) {
            g_oPlatform.lMounts.removeAt(i);
            return 0;
        }
    }
    return fail(EINVAL);
}

int stat(const char* szPath, struct stat* pStat)
{
    return fakeStat(szPath, pStat, true);
}

int lstat(const char* szPath, struct stat* pStat)
{
    return fakeStat(szPath, pStat, false);
}

int mkdir(const char* szPath, mode_t iMode)
{
    g_oPlatform.lCalls.append(QString("mkdir %1 %2").arg(szPath).arg(iMode, 0, 8));
    if (g_oPlatform.iMkdirErrno != 0) {
        return fail(g_oPlatform.iMkdirErrno);
    }
    g_oPlatform.hModes.insert(szPath, S_IFDIR | iMode);
    return 0;
}

int statvfs(const char*, struct statvfs* pStat)
{
    if (g_oPlatform.iStatvfsErrno != 0) {
        return fail(g_oPlatform.iStatvfsErrno);
    }
    memset(pStat, 0, sizeof(*pStat));
    pStat->f_frsize = g_oPlatform.ulFrsize;
    pStat->f_blocks = g_oPlatform.ulBlocks;
    return 0;
}

unsigned int sleep(unsigned int uiSeconds)
{
    g_oPlatform.lCalls.append(QString("sleep %1").arg(uiSeconds));
    return 0;
}

int usleep(useconds_t uiMicroseconds)
{
    g_oPlatform.lCalls.append(QString("usleep %1").arg(uiMicroseconds));
    return 0;
}

CStickLayout stickLayout(const QByteArray& aNode)
{
    if (g_oPlatform.lLayouts.isEmpty()) {
        return CStickLayout(aNode, QByteArray(), QByteArray());
    }
    return g_oPlatform.lLayouts.size() > 1 ? g_oPlatform.lLayouts.takeFirst() : g_oPlatform.lLayouts.first();
}

QByteArray fileSystems()
{
    return g_oPlatform.aFileSystems;
}

QByteArray moduleAliases()
{
    return g_oPlatform.aModuleAliases;
}

QByteArray mountTable()
{
    QByteArray aTable = g_szRootMount;
    for (const CFakePlatform::SMount& oMount : g_oPlatform.lMounts) {
        aTable += QByteArray::number(oMount.iId) + ' ' + QByteArray::number(oMount.iParent) + " 8:1 / " + oMount.aTarget
                  + " rw shared:7 - " + oMount.aType + ' ' + oMount.aSource + " rw\n";
    }
    return aTable;
}

} // namespace Platform
