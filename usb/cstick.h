#pragma once

#include <QByteArray>

// What udev tells of a stick, as the C strings it gave: the peers have always read them as
// Latin-1, and a text longer than the service's 200-byte buffers is cut to 199 bytes.
struct CStick
{
    QByteArray aNode;
    QByteArray aModel;
    QByteArray aSerial;
    QByteArray aVendor;
};
