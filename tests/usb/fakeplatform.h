#pragma once

#include "usb/csticklayout.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QStringList>

#include <sys/stat.h>
#include <sys/types.h>

// Stands in for usb/platform.cpp in a test program: every answer is scripted, and what the
// code under test changed (mkdir, sleep, mount, umount2) is recorded in order.
struct CFakePlatform
{
    // stat and lstat: a path's mode, a link's target (stat follows it, lstat does not), or
    // the errno a path fails with. Paths under aRealRoot go to the real file system; any
    // other path is missing.
    QHash<QByteArray, mode_t> hModes;
    QHash<QByteArray, QByteArray> hLinks;
    QHash<QByteArray, int> hErrors;
    QByteArray aRealRoot;

    // mount fails with the errno given for "<source> <type>"; umount2 with iUmountErrno.
    QHash<QByteArray, int> hMountErrors;
    int iUmountErrno = 0;
    int iMkdirErrno = 0;
    int iStatvfsErrno = 0;
    unsigned long ulFrsize = 4096;
    unsigned long ulBlocks = 1000;

    // What udev says of the stick, one read after the other, the last one kept; while none is
    // given, a disk that udev found nothing on. The kernel's /proc/filesystems and modules.alias.
    QList<CStickLayout> lLayouts;
    QByteArray aFileSystems = "nodev\tproc\n\tvfat\n";
    QByteArray aModuleAliases;

    // "mkdir <path> <octal mode>", "sleep <s>", "usleep <us>", "mount <source> <target> <type>
    // <flags>", "umount2 <target> <flags>".
    QStringList lCalls;

    void reset();
    // Mounts on top of whatever is at the target already; the mount table shows the stack.
    void addMount(const QByteArray& aSource, const QByteArray& aType = "vfat",
                  const QByteArray& aTarget = "/mnt/usbstick");
    // Replaces what is mounted at the mount point by these sources, the bottom one first; one
    // named "tmpfs" is of that type, the others vfat.
    void setMounts(const QList<QByteArray>& lSources);
    // The sources mounted at the target, the bottom one first.
    QList<QByteArray> sourcesAt(const QByteArray& aTarget = "/mnt/usbstick") const;

    struct SMount
    {
        int iId;
        int iParent;
        QByteArray aTarget;
        QByteArray aType;
        QByteArray aSource;
    };
    QList<SMount> lMounts;
    int iNextId = 40;
};

extern CFakePlatform g_oPlatform;
