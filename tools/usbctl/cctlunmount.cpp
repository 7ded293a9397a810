#include "tools/usbctl/cctlunmount.h"

#include "records/crunusb.h"
#include "records/replycodes.h"
#include "runtimeinterface.h"
#include "tools/common/crunusbview.h"
#include "tools/usbctl/cctlbus.h"
#include "tools/usbctl/cctloutput.h"
#include "tools/usbctl/cctlstick.h"
#include "tools/usbctl/ctlexitcodes.h"

#include <QCoreApplication>

namespace {
// The core gets this long for the reading at the deadline.
const int LAST_LOOK_MS = 1000;
} // namespace

CCtlUnmount::CCtlUnmount(CCtlBus& oBus, int iTimeoutS, QObject* pParent)
    : QObject(pParent)
    , m_oBus(oBus)
    , m_iTimeoutS(iTimeoutS)
    , m_bToldUnmounting(false)
    , m_bFinished(false)
{
    m_oTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early: the user is promised the full time.
    m_oTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_oTimer, &QTimer::timeout, this, &CCtlUnmount::onTimeout);
}

int CCtlUnmount::run()
{
    m_oDeadline.setRemainingTime(qint64(m_iTimeoutS) * 1000);
    QByteArray aBefore;
    if (!read(&aBefore, remainingMs())) {
        return ExitFailure;
    }
    announce(CRunUsbView(aBefore));
    // Subscribed before the request goes out, so that no answer of the service is missed.
    connect(m_oBus.runtime(), &ComQuorvikVeltranoRuntimeInterface::sigRuntimeUsb, this, &CCtlUnmount::onRuntimeUsb);
    const int iRequested = request();
    if (iRequested != ExitSuccess) {
        return iRequested;
    }
    CCtlOutput::line(QString("unmount requested; waiting up to %1 s for the USB service").arg(m_iTimeoutS));
    m_oTimer.start(remainingMs());
    return m_oLoop.exec();
}

// Every reading after the request has been answered counts, whoever wrote last: the service
// publishes three times and the readings may well skip the one in between.
void CCtlUnmount::onRuntimeUsb()
{
    QByteArray aData;
    if (m_bFinished || !read(&aData, remainingMs())) {
        return;
    }
    const EStage eStage = stageOf(CRunUsbView(aData));
    if (eStage == Unmounting && !m_bToldUnmounting) {
        m_bToldUnmounting = true;
        CCtlOutput::line("the USB service took the request and is unmounting the stick");
    }
    finishAt(eStage);
}

// One last look, for an outcome whose signal was lost.
void CCtlUnmount::onTimeout()
{
    QByteArray aData;
    EStage eStage = Requested;
    if (read(&aData, LAST_LOOK_MS)) {
        eStage = stageOf(CRunUsbView(aData));
    }
    if (finishAt(eStage)) {
        return;
    }
    if (eStage == Unmounting) {
        CCtlOutput::error(QString("the USB service took the request but is still unmounting after %1 s;"
                                  " see its log (/var/log/Veltrano/usb.log)")
                              .arg(m_iTimeoutS));
    } else {
        CCtlOutput::error(QString("no answer from the USB service within %1 s: the request is still pending in"
                                  " the shared record (is veltrano-usb running?)")
                              .arg(m_iTimeoutS));
    }
    finish(ExitTimeout);
}

CCtlUnmount::EStage CCtlUnmount::stageOf(const CRunUsbView& oView)
{
    if (oView.value(CRunUsb::StartUnmountUsbDevice).toBool()) {
        return Requested;
    }
    if (oView.value(CRunUsb::UnmountUsbDeviceActive).toBool()) {
        return Unmounting;
    }
    return oView.value(CRunUsb::UsbDeviceUnmounted).toBool() ? Unmounted : StillMounted;
}

void CCtlUnmount::announce(const CRunUsbView& oView)
{
    CCtlOutput::line(CCtlStick::describe(oView));
    const QString sNotMounted = CCtlStick::notMountedReason(oView);
    if (!sNotMounted.isEmpty()) {
        CCtlOutput::warning("no stick is mounted (" + sNotMounted
                            + "): sending the request anyway, the USB service clears it");
    }
    m_sMountPath = oView.value(CRunUsb::UsbMountPath).toString();
}

// A record in which only the request is flagged: the core takes over nothing else from it.
int CCtlUnmount::request()
{
    CRunUsb oRequest;
    oRequest.setStartUnmountUsbDevice(true);
    const int iPid = int(QCoreApplication::applicationPid());
    m_oBus.setCallTimeout(remainingMs());
    QDBusPendingReply<int> oReply = m_oBus.runtime()->setRuntimeUsb(iPid, oRequest.toByteArray());
    oReply.waitForFinished();
    if (oReply.isError()) {
        const QDBusError oError = oReply.error();
        if (oError.type() == QDBusError::NoReply || oError.type() == QDBusError::Timeout) {
            CCtlOutput::error(QString("the metering core did not answer setRuntimeUsb within %1 s").arg(m_iTimeoutS));
            return ExitTimeout;
        }
        CCtlOutput::error(QString("setRuntimeUsb failed: %1 (%2)").arg(oError.message(), oError.name()));
        return ExitFailure;
    }
    if (oReply.value() != REPLY_SUCCESS) {
        CCtlOutput::error(QString("the metering core refused the unmount request: setRuntimeUsb answered %1 (%2)")
                              .arg(oReply.value())
                              .arg(ReplyCodeName(oReply.value())));
        return ExitFailure;
    }
    return ExitSuccess;
}

int CCtlUnmount::remainingMs() const
{
    return int(qMax<qint64>(m_oDeadline.remainingTime(), 1));
}

bool CCtlUnmount::read(QByteArray* pData, int iTimeoutMs)
{
    m_oBus.setCallTimeout(iTimeoutMs);
    QString sError;
    if (!m_oBus.readUsb(pData, &sError)) {
        CCtlOutput::error(sError);
        return false;
    }
    return true;
}

bool CCtlUnmount::finishAt(EStage eStage)
{
    if (eStage == Unmounted) {
        CCtlOutput::line("the stick is unmounted" + (m_sMountPath.isEmpty() ? QString() : " from " + m_sMountPath)
                         + ": it can be pulled out now");
        finish(ExitSuccess);
        return true;
    }
    if (eStage == StillMounted) {
        CCtlOutput::error(
            "the USB service could not unmount the stick: it may be busy (a file on it still open)"
            " or nothing was mounted; see the service's log (/var/log/Veltrano/usb.log)");
        finish(ExitFailure);
        return true;
    }
    return false;
}

void CCtlUnmount::finish(int iExitCode)
{
    m_bFinished = true;
    m_oTimer.stop();
    m_oLoop.exit(iExitCode);
}
