#pragma once

#include "usb/csticklayout.h"

#include <QByteArray>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

// The system calls of the stick handling, reached only through here. The product links the
// libc versions; a test program may link its own definitions of all of them instead.
namespace Platform {

int mount(const char* szSource, const char* szTarget, const char* szType, unsigned long ulFlags, const void* pData);
int umount2(const char* szTarget, int iFlags);
int stat(const char* szPath, struct stat* pStat);
int lstat(const char* szPath, struct stat* pStat);
int mkdir(const char* szPath, mode_t iMode);
int statvfs(const char* szPath, struct statvfs* pStat);
unsigned int sleep(unsigned int uiSeconds);
int usleep(useconds_t uiMicroseconds);
// The process's mount table as the kernel shows it (/proc/self/mountinfo); empty when unreadable.
QByteArray mountTable();
// What udev's database says of the disk and its partitions (libudev, no probe of our own).
CStickLayout stickLayout(const QByteArray& aNode);
// The file systems the kernel has registered (/proc/filesystems), and the module aliases of
// those it can load (modules.alias of the running kernel); empty when unreadable.
QByteArray fileSystems();
QByteArray moduleAliases();

} // namespace Platform
