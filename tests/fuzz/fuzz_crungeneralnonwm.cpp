// Any bytes a peer sends as a general record: the reader must neither fault nor allocate more
// than the input can hold, and what it reads must survive being written and read again.

#include "records/crungeneralnonwm.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

// The version table goes out in the table's iteration order, which Qt 6 may make differ
// between two equal tables. Equal records then differ in one stretch of bytes that holds the
// same bytes in another order; anything else is a real difference.
bool sameRecord(CRunGeneralNonWM& oFirst, CRunGeneralNonWM& oSecond)
{
    const QByteArray aFirst = oFirst.toByteArray();
    const QByteArray aSecond = oSecond.toByteArray();
    if (aFirst == aSecond) {
        return true;
    }
    if (aFirst.size() != aSecond.size() || oFirst.getSwVersions() != oSecond.getSwVersions()) {
        return false;
    }
    qsizetype iBegin = 0;
    while (aFirst[iBegin] == aSecond[iBegin]) {
        ++iBegin;
    }
    qsizetype iEnd = aFirst.size();
    while (aFirst[iEnd - 1] == aSecond[iEnd - 1]) {
        --iEnd;
    }
    QByteArray aFirstPart = aFirst.mid(iBegin, iEnd - iBegin);
    QByteArray aSecondPart = aSecond.mid(iBegin, iEnd - iBegin);
    std::sort(aFirstPart.begin(), aFirstPart.end());
    std::sort(aSecondPart.begin(), aSecondPart.end());
    return aFirstPart == aSecondPart;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize)
{
    CRunGeneralNonWM oRead;
    oRead.fromByteArray(QByteArray::fromRawData(reinterpret_cast<const char*>(pData), static_cast<qsizetype>(uiSize)));

    CRunGeneralNonWM oReadAgain;
    oReadAgain.fromByteArray(oRead.toByteArray());
    if (!sameRecord(oRead, oReadAgain)) {
        std::abort();
    }
    return 0;
}
