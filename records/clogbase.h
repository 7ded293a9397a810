#pragma once

// The product's logbook base class. The service only needs its sub-type enumeration, as the
// parameter type of CUsb::CreateLogEntry; it writes no logbook entries itself.
class CLogBase
{
public:
    enum ELogSubType { LogSubTypeUndefined = 0, LogSubTypeUsbInserted, LogSubTypeUsbRemoved, LogSubTypeUpdate };
};
