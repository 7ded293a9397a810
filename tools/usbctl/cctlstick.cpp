#include "tools/usbctl/cctlstick.h"

#include "tools/common/crunusbformat.h"

#include <QStringList>

QString CCtlStick::notMountedReason(const CRunUsbView& oView)
{
    if (oView.value(CRunUsb::UsbDeviceState).toInt() == 0) {
        return "UsbDeviceState 0";
    }
    if (oView.value(CRunUsb::UsbMountPath).toString().isEmpty()) {
        return "UsbMountPath is empty";
    }
    // The service leaves state and path as they were after an unmount on request.
    if (oView.value(CRunUsb::UsbDeviceUnmounted).toBool()) {
        return "UsbDeviceUnmounted: it has been unmounted already";
    }
    return QString();
}

QString CCtlStick::describe(const CRunUsbView& oView)
{
    return stickText(oView) + handshakeText(oView);
}

QString CCtlStick::stickText(const CRunUsbView& oView)
{
    const int iState = oView.value(CRunUsb::UsbDeviceState).toInt();
    const QString sPath = oView.value(CRunUsb::UsbMountPath).toString();
    if (iState == 0) {
        return "no stick";
    }
    if (iState == 1) {
        return "stick detected (" + identity(oView) + "), not mounted yet";
    }
    if (iState != 2) {
        return QString("unknown stick state %1").arg(iState);
    }
    if (sPath.isEmpty()) {
        return "stick inspected (" + identity(oView) + "), no mount path";
    }
    if (oView.value(CRunUsb::UsbDeviceUnmounted).toBool()) {
        return "stick unmounted from " + sPath + " (" + identity(oView) + ")";
    }
    return "stick mounted at " + sPath + " (" + identity(oView) + ")";
}

QString CCtlStick::identity(const CRunUsbView& oView)
{
    QStringList lsParts;
    const QString sNode = oView.value(CRunUsb::UsbDeviceNode).toString();
    const QString sName =
        (oView.value(CRunUsb::UsbVendor).toString() + " " + oView.value(CRunUsb::UsbModel).toString()).trimmed();
    const qint64 llCapacity = oView.value(CRunUsb::UsbCapacity).toLongLong();
    if (!sNode.isEmpty()) {
        lsParts << sNode;
    }
    if (!sName.isEmpty()) {
        lsParts << sName;
    }
    if (llCapacity > 0) {
        lsParts << CRunUsbFormat::capacityText(llCapacity);
    }
    return lsParts.isEmpty() ? QString("nothing known about it") : lsParts.join(", ");
}

// An unmount under way.
QString CCtlStick::handshakeText(const CRunUsbView& oView)
{
    if (oView.value(CRunUsb::StartUnmountUsbDevice).toBool()) {
        return "; unmount requested, not yet taken by the USB service";
    }
    if (oView.value(CRunUsb::UnmountUsbDeviceActive).toBool()) {
        return "; the USB service is unmounting it";
    }
    return QString();
}
