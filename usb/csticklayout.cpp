#include "usb/csticklayout.h"

namespace {

// The GPT type of an EFI system partition, as udev writes it (lower case).
const QByteArray g_aEfiSystem = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";

bool isMountable(const QByteArray& aFsType)
{
    return aFsType == "vfat" || aFsType == "exfat" || aFsType == "ntfs";
}

} // namespace

CStickLayout::CStickLayout(const QByteArray& aNode, const QByteArray& aTableType, const QByteArray& aFsType)
    : m_aNode(aNode)
    , m_aTableType(aTableType)
    , m_aFsType(aFsType)
{
}

void CStickLayout::addPartition(const SPartition& oPartition)
{
    m_lPartitions.append(oPartition);
}

bool CStickLayout::complete() const
{
    // blkid also reports an MBR on a disk formatted whole with exFAT: its boot sector has the
    // same signature, and the kernel finds no partition in it.
    if (m_aFsType.isEmpty() && !m_aTableType.isEmpty() && m_lPartitions.isEmpty()) {
        return false;
    }
    for (const SPartition& oPartition : m_lPartitions) {
        if (!oPartition.bProbed) {
            return false;
        }
    }
    return true;
}

QByteArray CStickLayout::dataPartition() const
{
    const SPartition* pData = data();
    return pData != nullptr ? pData->aNode : m_aNode + '1';
}

QByteArray CStickLayout::holderOf(const QByteArray& aFsType) const
{
    if (m_aFsType == aFsType) {
        return m_aNode;
    }
    const SPartition* pData = data();
    return pData != nullptr && pData->aFsType == aFsType ? pData->aNode : QByteArray();
}

QByteArray CStickLayout::device() const
{
    const SPartition* pData = data();
    return m_aFsType.isEmpty() && pData != nullptr ? pData->aNode : m_aNode;
}

QByteArray CStickLayout::contentText() const
{
    if (!m_aFsType.isEmpty()) {
        return m_aFsType;
    }
    if (m_aTableType.isEmpty()) {
        return "no partition table and no file system";
    }
    const SPartition* pData = data();
    return pData != nullptr && !pData->aFsType.isEmpty() ? pData->aFsType : QByteArray("no file system");
}

const CStickLayout::SPartition* CStickLayout::partition(int iNumber) const
{
    for (const SPartition& oPartition : m_lPartitions) {
        if (oPartition.iNumber == iNumber) {
            return &oPartition;
        }
    }
    return nullptr;
}

// A Mac formats a stick with GUID map as an EFI system partition of 200 MiB and the user's
// data behind it: mounting partition 1 would show the user an empty stick.
const CStickLayout::SPartition* CStickLayout::data() const
{
    const SPartition* pFirst = partition(1);
    if (pFirst == nullptr || pFirst->aEntryType.toLower() != g_aEfiSystem) {
        return pFirst;
    }
    const SPartition* pData = nullptr;
    for (const SPartition& oPartition : m_lPartitions) {
        if (oPartition.iNumber > 1 && isMountable(oPartition.aFsType)
            && (pData == nullptr || oPartition.iNumber < pData->iNumber)) {
            pData = &oPartition;
        }
    }
    return pData != nullptr ? pData : pFirst;
}
