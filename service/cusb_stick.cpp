// CUsb: a stick's way from the watcher's report through the mounter to the published record.
// usb/ does the device work and returns what happened; the record and the bus are kept here.

#include "service/cusb.h"

#include "log/clogstream.h"

#include <QTimer>

#include <cstdio>

namespace {

const int g_iResetDelay = 5000;
const int g_iPollAfterUnmount = 5000;

void copyText(char* pBuffer, int iLength, const QByteArray& aText)
{
    snprintf(pBuffer, static_cast<size_t>(iLength), "%s", aText.constData());
}

} // namespace

void CUsb::check_usb()
{
    if (!m_bProcessStarted) {
        return;
    }

    // Stopped while the tick works, so a slow arrival never lets ticks overlap or pile up.
    m_pUsbTimer->stop();

    CStick oStick;
    const CStickWatcher::EEvent eEvent = m_oWatcher.poll(oStick, m_oMounter.isMounted());
    if (eEvent == CStickWatcher::Arrived) {
        handleArrival(oStick);
    } else if (eEvent == CStickWatcher::Removed) {
        handleRemoval(oStick);
    }

    m_pUsbTimer->start(s_iPollInterval);
}

bool CUsb::StartupUdev()
{
    CStick oStick;
    const CStickWatcher::EScan eScan = m_oWatcher.scan(oStick);
    if (eScan == CStickWatcher::StickFound) {
        return handleArrival(oStick);
    }
    // A mount an earlier run left (of a stick pulled while the service was down) must not stay.
    if (eScan == CStickWatcher::NoStick) {
        m_oMounter.detachStale();
    }
    return eScan == CStickWatcher::NoStick;
}

// The udev texts go into the record as the peers have always read C strings: as Latin-1.
bool CUsb::handleArrival(const CStick& oStick)
{
    m_oRunUsb.stickArrived(QString::fromLatin1(oStick.aNode), QString::fromLatin1(oStick.aModel),
                           QString::fromLatin1(oStick.aVendor));
    SendDbus();
    if (!MountUsbStick(oStick.aNode.constData())) {
        return false;
    }
    CheckMount(CStickMounter::s_szMountDir);
    return true;
}

void CUsb::handleRemoval(const CStick& oStick)
{
    UnmountUsbDevice(true);
    m_oMounter.detachRemoved(oStick.aNode);
    m_oRunUsb.stickCleared();
    SendDbus();
    m_pResetTimer->start(g_iResetDelay);
}

bool CUsb::CheckUSBDevice(udev_device* device, char* pID_MODEL, int iID_ModelLength, char* pID_SERIAL,
                          int iID_SERIALLength, char* pDEVNAME, int iDEVNAMELength, char* pVENDOR, int iVENDORLength,
                          bool* bDeviceAdded)
{
    CStick oStick;
    const bool bQualifies = CStickWatcher::qualify(device, oStick, *bDeviceAdded);
    copyText(pID_MODEL, iID_ModelLength, oStick.aModel);
    copyText(pID_SERIAL, iID_SERIALLength, oStick.aSerial);
    copyText(pDEVNAME, iDEVNAMELength, oStick.aNode);
    copyText(pVENDOR, iVENDORLength, oStick.aVendor);
    return bQualifies;
}

bool CUsb::MountUsbStick(const char* szDeviceNode)
{
    return m_oMounter.mount(QByteArray(szDeviceNode));
}

void CUsb::CheckMount(const char* szMountDir)
{
    const CStickContent oContent = m_oMounter.inspect(szMountDir);
    m_oRunUsb.stickMounted(QString::fromLatin1(szMountDir), oContent.bUpdate, oContent.bDatabase, oContent.bLogbook);
    // A file system that cannot be measured keeps the size known before.
    if (oContent.oCapacity) {
        m_oRunUsb.setUsbCapacity(*oContent.oCapacity);
    }
    SendDbus();
}

bool CUsb::CheckUpdateDir(const char* szUpdateDir)
{
    return CStickMounter::hasUpdate(szUpdateDir);
}

void CUsb::UnmountUsbDevice(bool bRemoved)
{
    m_pUsbTimer->stop();
    m_pUnmountTimer->stop();
    CUSB_DEBUG << "UnmountUsbDevice";

    const QByteArray aShared = fetchRuntimeUsb();
    if (aShared.isNull()) {
        CUSB_WARNING << "'getRuntimeUsb' returns NULL";
        m_pUsbTimer->start(s_iPollInterval);
        return;
    }
    m_oRunUsb.fromSharedCopy(aShared);
    CLogStream(QtDebugMsg) << "m_oRunUsb.getStartUnmountUsbDevice() " << m_oRunUsb.getStartUnmountUsbDevice() << endl;

    if (m_oRunUsb.getStartUnmountUsbDevice() || bRemoved) {
        m_oRunUsb.unmountTaken();
        SendDbus();
        m_oRunUsb.unmountDone(m_oMounter.unmount(m_oRunUsb.getUsbMountPath()));
        SendDbus();
    }

    m_oRunUsb.setUsbAuxFlag(false);
    SendDbus();
    CUSB_WARNING << "m_pUsbTimer";
    m_pUsbTimer->start(g_iPollAfterUnmount);
}

void CUsb::ResetUSBFlag()
{
    m_pResetTimer->stop();
    CUSB_DEBUG << "ResetUSBFlag";

    // The shared copy only tells that the core answers; the record is not reloaded from it.
    if (fetchRuntimeUsb().isNull()) {
        CUSB_WARNING << "'getRuntimeUsb' returns NULL";
        return;
    }
    m_oRunUsb.setUsbDeviceUnmounted(false);
    SendDbus();
    CUSB_WARNING << "m_pUsbTimer";
}
