#include "usb/platform.h"

#include <QFile>

#include <sys/mount.h>
#include <unistd.h>

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

QByteArray mountTable()
{
    // A proc file has no size: read until the end rather than trusting size().
    QFile oFile(QStringLiteral("/proc/self/mountinfo"));
    return oFile.open(QIODevice::ReadOnly | QIODevice::Unbuffered) ? oFile.readAll() : QByteArray();
}

} // namespace Platform
