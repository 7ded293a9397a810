// Any bytes a peer sends as a USB record: the reader must neither fault nor allocate more than
// the input can hold, and what it reads must survive being written and read again.

#include "records/crunusb.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize)
{
    CRunUsb oRead;
    oRead.fromByteArray(QByteArray::fromRawData(reinterpret_cast<const char*>(pData), static_cast<qsizetype>(uiSize)));
    const QByteArray aWritten = oRead.toByteArray();

    CRunUsb oReadAgain;
    oReadAgain.fromByteArray(aWritten);
    if (oReadAgain.toByteArray() != aWritten) {
        std::abort();
    }
    return 0;
}
