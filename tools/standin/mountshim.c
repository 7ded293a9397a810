/*
 * Test-only stand-in for the vfat and ntfs drivers this kernel lacks, preloaded into the
 * service under test. The service itself is untouched: it calls mount(2) as always.
 *
 * VELTRANO_SHIM_STICKS="vfat:/dev/sda=/some/dir;ntfs:/dev/sdb=/other/dir"
 *     A mount of a listed source with the listed type becomes an overlay whose upper layer is
 *     the folder: writes land there, and the mount table shows the listed source and the
 *     flags asked for, as for a real mount of the stick. A folder that is itself the root of a
 *     mount (a sized tmpfs) leaves no room beside it for the overlay's work folder: it is bind
 *     mounted instead. Every other mount goes to the real mount(2), so unknown file systems
 *     still fail for real (ENODEV).
 * VELTRANO_SHIM_SOCKETPAIR_FAILS=1
 *     Every socketpair() fails with EMFILE, as it would without a free descriptor.
 * VELTRANO_SHIM_SLEEP_SECONDS=N
 *     Every sleep() lasts at most N seconds. The 3 s wait before each mount would otherwise
 *     make a soak of hundreds of plug cycles take hours (scripts/bench sets 0).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

static const char* findStickFolder(const char* source, const char* type, char* folder, size_t size)
{
    const char* sticks = getenv("VELTRANO_SHIM_STICKS");
    if (sticks == NULL || source == NULL || type == NULL) {
        return NULL;
    }
    char wanted[512];
    snprintf(wanted, sizeof(wanted), "%s:%s=", type, source);
    const char* entry = strstr(sticks, wanted);
    while (entry != NULL && entry != sticks && entry[-1] != ';') {
        entry = strstr(entry + 1, wanted);
    }
    if (entry == NULL) {
        return NULL;
    }
    entry += strlen(wanted);
    size_t length = strcspn(entry, ";");
    if (length >= size) {
        return NULL;
    }
    memcpy(folder, entry, length);
    folder[length] = '\0';
    return folder;
}

int mount(const char* source, const char* target, const char* type, unsigned long flags, const void* data)
{
    typedef int (*MountFunction)(const char*, const char*, const char*, unsigned long, const void*);
    MountFunction realMount = (MountFunction)dlsym(RTLD_NEXT, "mount");
    char folder[4096];
    if (findStickFolder(source, type, folder, sizeof(folder)) != NULL) {
        char lower[4200];
        char work[4200];
        char options[12800];
        snprintf(lower, sizeof(lower), "%s.lower", folder);
        snprintf(work, sizeof(work), "%s.work", folder);
        mkdir(lower, 0755);
        mkdir(work, 0755);
        snprintf(options, sizeof(options), "lowerdir=%s,upperdir=%s,workdir=%s", lower, folder, work);
        if (realMount(source, target, "overlay", flags, options) == 0) {
            return 0;
        }
        return realMount(folder, target, NULL, MS_BIND, NULL);
    }
    return realMount(source, target, type, flags, data);
}

int socketpair(int domain, int type, int protocol, int fds[2])
{
    const char* fails = getenv("VELTRANO_SHIM_SOCKETPAIR_FAILS");
    if (fails != NULL && strcmp(fails, "1") == 0) {
        errno = EMFILE;
        return -1;
    }
    typedef int (*SocketpairFunction)(int, int, int, int[2]);
    SocketpairFunction realSocketpair = (SocketpairFunction)dlsym(RTLD_NEXT, "socketpair");
    return realSocketpair(domain, type, protocol, fds);
}

unsigned int sleep(unsigned int seconds)
{
    const char* limit = getenv("VELTRANO_SHIM_SLEEP_SECONDS");
    if (limit != NULL && (unsigned int)atoi(limit) < seconds) {
        seconds = (unsigned int)atoi(limit);
    }
    typedef unsigned int (*SleepFunction)(unsigned int);
    SleepFunction realSleep = (SleepFunction)dlsym(RTLD_NEXT, "sleep");
    return realSleep(seconds);
}
