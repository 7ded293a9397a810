#pragma once

#include <QtGlobal>

#include <optional>

// What a mounted stick offers the product, and its file system's total size in bytes when
// it could be measured.
struct CStickContent
{
    bool bUpdate = false;
    bool bDatabase = false;
    bool bLogbook = false;
    std::optional<qint64> oCapacity;
};
