#pragma once

#include <QtGlobal>

// What a mounted stick offers the product, and its file system's total size when known.
struct CStickContent
{
    bool bUpdate = false;
    bool bDatabase = false;
    bool bLogbook = false;
    bool bSizeKnown = false;
    qint64 llCapacity = 0;
};
