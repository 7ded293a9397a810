#pragma once

#include <QByteArray>
#include <QList>

// What udev's probe found on a stick: the disk's partition table or file system, and each
// partition's number, entry type and file system. The disk has been probed once it qualifies
// as a stick (its ID_ properties come from udev); its partitions are probed after it, and
// complete() says whether udev has got to them yet.
class CStickLayout
{
public:
    struct SPartition
    {
        QByteArray aNode;
        int iNumber = 0;
        // A GPT type GUID, or an MBR type such as "0xc"; empty while not probed.
        QByteArray aEntryType;
        // Empty when the partition holds no file system that blkid knows.
        QByteArray aFsType;
        bool bProbed = false;
    };

    CStickLayout() = default;
    CStickLayout(const QByteArray& aNode, const QByteArray& aTableType, const QByteArray& aFsType);

    void addPartition(const SPartition& oPartition);
    // udev has probed each partition, and a partition table (but not a disk formatted whole)
    // has its partitions.
    bool complete() const;

    // The partition tried after the whole disk: partition 1, unless that is an EFI system
    // partition and a later one holds a file system the service mounts.
    QByteArray dataPartition() const;
    // The whole disk or the data partition when it holds that file system; null otherwise.
    QByteArray holderOf(const QByteArray& aFsType) const;
    // The device that holds the stick's data and what it holds, in words.
    QByteArray device() const;
    QByteArray contentText() const;

private:
    const SPartition* partition(int iNumber) const;
    const SPartition* data() const;

    QByteArray m_aNode;
    QByteArray m_aTableType;
    QByteArray m_aFsType;
    QList<SPartition> m_lPartitions;
};
