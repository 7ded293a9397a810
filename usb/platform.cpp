#include "usb/platform.h"

#include <sys/mount.h>
#include <unistd.h>

namespace Platform {

int mount(const char* szSource, const char* szTarget, const char* szType, unsigned long ulFlags, const void* pData)
{
    return ::mount(szSource, szTarget, szType, ulFlags, pData);
}

int umount(const char* szTarget)
{
    return ::umount(szTarget);
}

int stat(const char* szPath, struct stat* pStat)
{
    return ::stat(szPath, pStat);
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

} // namespace Platform
