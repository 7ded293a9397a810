#include "tools/coresim/csimruntime.h"

#include "tools/coresim/csimprinter.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTimer>

namespace {
const char* const RUNTIME_PATH = "/RuntimeData";
const char* const RUNTIME_INTERFACE = "com.Quorvik.Veltrano.Runtime";
} // namespace

CSimRuntime::CSimRuntime(CSimPrinter* pPrinter, const CSimSettings& oSettings, QObject* pParent)
    : CRuntimeUnmodelled(pParent)
    , m_pPrinter(pPrinter)
    , m_oSettings(oSettings)
{
}

void CSimRuntime::requestUnmount(int iSimPid)
{
    m_oUsb.setStartUnmountUsbDevice(true);
    m_pPrinter->note("StartUnmountUsbDevice set in the shared runtime USB record");
    notify(UsbNotice, iSimPid);
}

QByteArray CSimRuntime::getRuntimeUsb()
{
    const QByteArray aData = m_oUsb.toByteArray();
    m_pPrinter->usbRead(aData, m_oSettings);
    answer(aData, NoNotice, 0);
    return aData;
}

int CSimRuntime::setRuntimeUsb(int iProcess, const QByteArray& data)
{
    m_pPrinter->usbWritten(iProcess, data, m_oSettings);
    m_oUsb.fromByteArray(data);
    answer(m_oSettings.m_iReplyCode, UsbNotice, iProcess);
    return m_oSettings.m_iReplyCode;
}

QByteArray CSimRuntime::getRuntimeGeneralNonWM()
{
    const QByteArray aData = m_oGeneral.toByteArray();
    m_pPrinter->generalRead(aData, m_oSettings);
    answer(aData, NoNotice, 0);
    return aData;
}

int CSimRuntime::setRuntimeGeneralNonWM(int iProcess, const QByteArray& data)
{
    m_pPrinter->generalWritten(iProcess, data, m_oSettings);
    m_oGeneral.fromByteArray(data);
    answer(m_oSettings.m_iReplyCode, GeneralNotice, iProcess);
    return m_oSettings.m_iReplyCode;
}

// The reply is always sent by hand, so that it leaves before the change notice (as from a
// core that announces a write once it has answered it), and so that it can be held back.
// A silent simulator keeps the write and announces it, but the caller never hears back.
void CSimRuntime::answer(const QVariant& vValue, ENotice eNotice, int iWriter)
{
    setDelayedReply(true);
    if (m_oSettings.m_bSilent) {
        notify(eNotice, iWriter);
        return;
    }
    const QDBusMessage oReply = message().createReply(vValue);
    const QDBusConnection oConnection = connection();
    if (m_oSettings.m_iDelayMs <= 0) {
        oConnection.send(oReply);
        notify(eNotice, iWriter);
        return;
    }
    QTimer::singleShot(m_oSettings.m_iDelayMs, Qt::PreciseTimer, this, [this, oConnection, oReply, eNotice, iWriter]() {
        oConnection.send(oReply);
        notify(eNotice, iWriter);
    });
}

void CSimRuntime::notify(ENotice eNotice, int iWriter)
{
    if (eNotice == UsbNotice) {
        emit sigRuntimeUsb(iWriter);
        m_pPrinter->signalSent("sigRuntimeUsb", RUNTIME_PATH, RUNTIME_INTERFACE, {iWriter});
    } else if (eNotice == GeneralNotice) {
        emit sigRuntimeGeneralNonWM(iWriter);
        m_pPrinter->signalSent("sigRuntimeGeneralNonWM", RUNTIME_PATH, RUNTIME_INTERFACE, {iWriter});
    }
}
