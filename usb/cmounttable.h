#pragma once

#include <QByteArray>
#include <QList>

// What the kernel has mounted where, read from a mount table in the form of
// /proc/self/mountinfo. A service that restarts knows nothing of its own mounts but what the
// kernel tells it, so it reads this before it mounts again.
class CMountTable
{
public:
    explicit CMountTable(const QByteArray& aMountInfo);

    // The source of the topmost mount at the mount point (the one a path there reaches), and
    // its file system type; null when nothing is mounted there.
    QByteArray sourceAt(const QByteArray& aMountPoint) const;
    QByteArray typeAt(const QByteArray& aMountPoint) const;

private:
    struct SMount
    {
        QByteArray aId;
        QByteArray aParentId;
        QByteArray aMountPoint;
        QByteArray aType;
        QByteArray aSource;
    };

    const SMount* topAt(const QByteArray& aMountPoint) const;

    static bool parseLine(const QByteArray& aLine, SMount* pMount);
    static QByteArray unescape(const QByteArray& aField);

    QList<SMount> m_lMounts;
};
