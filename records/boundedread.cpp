#include "records/boundedread.h"

#include <QIODevice>
#include <QtEndian>

namespace {

const quint32 NULL_LENGTH = 0xffffffff;

// The length field ahead, without reading it; false when fewer than its four bytes are left.
bool peekLength(QDataStream& in, quint32& uiLength)
{
    char acLength[sizeof(quint32)];
    if (in.device()->peek(acLength, sizeof(acLength)) != sizeof(acLength)) {
        return false;
    }
    uiLength = in.byteOrder() == QDataStream::BigEndian ? qFromBigEndian<quint32>(acLength)
                                                        : qFromLittleEndian<quint32>(acLength);
    return true;
}

bool exceedsRest(QDataStream& in, quint32 uiLength)
{
    return uiLength != NULL_LENGTH
           && static_cast<qint64>(uiLength) > in.device()->bytesAvailable() - static_cast<qint64>(sizeof(quint32));
}

void refuse(QDataStream& in)
{
    in.skipRawData(static_cast<int>(in.device()->bytesAvailable()));
    in.setStatus(QDataStream::ReadPastEnd);
}

} // namespace

void readBounded(QDataStream& in, QString& sValue)
{
    quint32 uiBytes = 0;
    // An odd length is refused by Qt before it allocates anything.
    if (peekLength(in, uiBytes) && (uiBytes & 1) == 0 && exceedsRest(in, uiBytes)) {
        sValue.clear();
        refuse(in);
        return;
    }
    in >> sValue;
}

void readBounded(QDataStream& in, QByteArray& aValue)
{
    quint32 uiBytes = 0;
    if (peekLength(in, uiBytes) && exceedsRest(in, uiBytes)) {
        aValue.clear();
        refuse(in);
        return;
    }
    in >> aValue;
}

// As Qt reads a table: with the stream's status cleared for the table and put back afterwards.
void readBounded(QDataStream& in, QHash<QString, QString>& hValue)
{
    const QDataStream::Status eBefore = in.status();
    in.resetStatus();
    hValue.clear();
    quint32 uiCount = 0;
    in >> uiCount;
    for (quint32 i = 0; i < uiCount; ++i) {
        QString sKey;
        QString sValue;
        readBounded(in, sKey);
        readBounded(in, sValue);
        if (in.status() != QDataStream::Ok) {
            hValue.clear();
            break;
        }
        hValue.insert(sKey, sValue);
    }
    if (eBefore != QDataStream::Ok) {
        in.resetStatus();
        in.setStatus(eBefore);
    }
}
