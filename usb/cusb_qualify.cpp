// CUsb: deciding from its udev properties whether a device is a USB mass-storage disk.

#include "service/cusb.h"

#include "log/clogstream.h"

#include <cstdio>
#include <cstring>

namespace {

bool isProperty(const char* szName, const char* szValue, const char* szKey, const char* szExpected)
{
    return strcmp(szName, szKey) == 0 && strcmp(szValue, szExpected) == 0;
}

// A longer value is cut to the buffer; the copy always ends with a NUL.
void copyProperty(char* pBuffer, int iLength, const char* szValue)
{
    snprintf(pBuffer, static_cast<size_t>(iLength), "%s", szValue);
}

} // namespace

bool CUsb::CheckUSBDevice(udev_device* device, char* pID_MODEL, int iID_ModelLength, char* pID_SERIAL,
                          int iID_SERIALLength, char* pDEVNAME, int iDEVNAMELength, char* pVENDOR, int iVENDORLength,
                          bool* bDeviceAdded)
{
    bool bDriverMatches = false;
    bool bBusMatches = false;
    bool bTypeMatches = false;

    pID_MODEL[0] = '\0';
    pID_SERIAL[0] = '\0';
    pDEVNAME[0] = '\0';
    pVENDOR[0] = '\0';
    *bDeviceAdded = false;

    udev_list_entry* pEntry = udev_device_get_properties_list_entry(device);
    if (pEntry == nullptr) {
        return false;
    }

    for (; pEntry != nullptr; pEntry = udev_list_entry_get_next(pEntry)) {
        const char* szName = udev_list_entry_get_name(pEntry);
        const char* szValue = udev_list_entry_get_value(pEntry);
        if (szValue == nullptr) {
            szValue = "";
        }
        CUSB_DEBUG << "UDEV-Item Name: " << szName << " Value: " << szValue;

        if (isProperty(szName, szValue, "ID_USB_DRIVER", "usb-storage")) {
            bDriverMatches = true;
        } else if (isProperty(szName, szValue, "ID_BUS", "usb")) {
            bBusMatches = true;
        } else if (isProperty(szName, szValue, "ID_TYPE", "disk")) {
            bTypeMatches = true;
        } else if (strcmp(szName, "ID_MODEL") == 0) {
            copyProperty(pID_MODEL, iID_ModelLength, szValue);
        } else if (strcmp(szName, "ID_VENDOR") == 0) {
            copyProperty(pVENDOR, iVENDORLength, szValue);
        } else if (strcmp(szName, "ID_SERIAL") == 0) {
            copyProperty(pID_SERIAL, iID_SERIALLength, szValue);
        } else if (strcmp(szName, "DEVNAME") == 0) {
            copyProperty(pDEVNAME, iDEVNAMELength, szValue);
        } else if (isProperty(szName, szValue, "ACTION", "add")) {
            *bDeviceAdded = true;
        }
    }

    return bDriverMatches && bBusMatches && bTypeMatches;
}
