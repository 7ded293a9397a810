#pragma once

#include "usb/cstickcontent.h"

#include <QByteArray>
#include <QString>

#include <functional>

// Mounts the stick at the one mount point, takes over a mount left by an earlier run, looks at
// what the stick carries, and unmounts it, all through the platform layer. Every outcome is
// logged here and returned; the record and the bus are the caller's.
class CStickMounter
{
public:
    static constexpr const char* s_szMountDir = "/mnt/usbstick";

    // After a 3 s wait: the whole disk as vfat, then partition 1 (or the data partition behind
    // an EFI system partition) as vfat, then the disk as NTFS; then exFAT, or NTFS through
    // ntfs3, where udev found it; else a warning that says what the stick holds.
    bool mount(const QByteArray& aNode);
    bool isMounted() const { return m_bMounted; }

    CStickContent inspect(const char* szMountDir);
    // Whether the update folder holds at least one entry that is not hidden.
    static bool hasUpdate(const char* szUpdateDir);

    // Unmounts the path the service's record names: the mount point, or nothing; true on success.
    bool unmount(const QString& sMountPath);
    // Leaves nothing of a pulled stick, nor of a vanished disk, at the mount point.
    void detachRemoved(const QByteArray& aNode);
    // Leaves nothing at the mount point: there is no stick to keep.
    void detachStale();

private:
    bool takeOver(const QByteArray& aNode);
    QByteArray detachWhile(const std::function<bool(const QByteArray&)>& fDetach);

    bool m_bMounted = false;
};
