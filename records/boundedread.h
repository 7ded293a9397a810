#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QHash>
#include <QString>

// Reads of the records' length-prefixed values that refuse a length longer than the bytes
// left before anything is allocated: Qt would first allocate up to a megabyte of it. A refused
// value reads as null and leaves the stream at its end with ReadPastEnd, just as Qt leaves it
// when the bytes run out part way, so a record reads the same either way.
void readBounded(QDataStream& in, QString& sValue);
void readBounded(QDataStream& in, QByteArray& aValue);
// A table that cannot be read whole comes back empty.
void readBounded(QDataStream& in, QHash<QString, QString>& hValue);

// Values of a fixed size need no bound.
template<typename T> void readBounded(QDataStream& in, T& value)
{
    in >> value;
}
