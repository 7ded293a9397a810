// CUsb: unmounting when a peer asks for it through the shared record or the stick is pulled,
// and clearing the unmounted flag some seconds after a removal.

#include "service/cusb.h"

#include "log/clogstream.h"
#include "usb/platform.h"

#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

namespace {

const int g_iPollAfterUnmount = 5000;

} // namespace

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
    m_oRunUsb.fromByteArray(aShared);
    CLogStream(QtDebugMsg) << "m_oRunUsb.getStartUnmountUsbDevice() " << m_oRunUsb.getStartUnmountUsbDevice() << endl;

    if (m_oRunUsb.getStartUnmountUsbDevice() || bRemoved) {
        m_oRunUsb.setStartUnmountUsbDevice(false);
        m_oRunUsb.setUnmountUsbDeviceActive(true);
        SendDbus();

        // Peers write the record, and the service runs as root: it unmounts its own mount
        // point and nothing else, whatever path the record names.
        const QString sMountPath = m_oRunUsb.getUsbMountPath();
        if (!sMountPath.isEmpty() && sMountPath != QLatin1String(s_szMountDir)) {
            CUSB_WARNING << "'umount' refused, not the service's mount point " << sMountPath;
        } else {
            unmountStick(sMountPath);
        }
        m_oRunUsb.setUnmountUsbDeviceActive(false);
        SendDbus();
    }

    m_oRunUsb.setUsbAuxFlag(false);
    SendDbus();
    CUSB_WARNING << "m_pUsbTimer";
    m_pUsbTimer->start(g_iPollAfterUnmount);
}

void CUsb::unmountStick(const QString& sMountPath)
{
    CUSB_WARNING << "start 'umount'";
    if (Platform::umount2(sMountPath.toLatin1().constData(), UMOUNT_NOFOLLOW) != 0) {
        const int iError = errno;
        CUSB_WARNING << "'umount' " << sMountPath << " failed  errno = " << strerror(iError) << iError;
        return;
    }
    m_bStickMounted = false;
    m_oRunUsb.setUsbDeviceUnmounted(true);
    CUSB_WARNING << "'umount' OK";
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
