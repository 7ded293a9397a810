#include "tools/usbctl/cctlbus.h"

#include "runtimeinterface.h"
#include "tools/common/crungeneralview.h"
#include "tools/common/crunusbview.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>

namespace {
const char* const SERVICE_NAME = "com.Quorvik.Veltrano";
const char* const RUNTIME_PATH = "/RuntimeData";
const char* const CONNECTION_NAME = "veltrano-usbctl";
// Far below the bus library's 25 s: a person is waiting at the prompt.
const int CALL_TIMEOUT_MS = 10000;

bool takeBytes(QDBusPendingReply<QByteArray> oReply, const QString& sMember, QByteArray* pData, QString* pError)
{
    oReply.waitForFinished();
    if (oReply.isError()) {
        *pError = QString("%1 failed: %2 (%3)").arg(sMember, oReply.error().message(), oReply.error().name());
        return false;
    }
    *pData = oReply.value();
    return true;
}

QString unreadable(int iSize, const QString& sRecord)
{
    return QString("the metering core answered %1 bytes that are not a %2").arg(iSize).arg(sRecord);
}
} // namespace

CCtlBus::CCtlBus()
    : m_oConnection(CONNECTION_NAME)
{
}

CCtlBus::~CCtlBus()
{
    m_pRuntime.reset();
    QDBusConnection::disconnectFromBus(CONNECTION_NAME);
}

bool CCtlBus::open(const QString& sAddress, QString* pError)
{
    QString sBus = sAddress;
    if (sBus.isEmpty()) {
        sBus = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        if (sBus.isEmpty()) {
            *pError = "no bus: give --address ADDR or set DBUS_SESSION_BUS_ADDRESS";
            return false;
        }
    }
    m_oConnection = QDBusConnection::connectToBus(sBus, CONNECTION_NAME);
    if (!m_oConnection.isConnected()) {
        *pError = QString("cannot reach the bus at %1: %2").arg(sBus, m_oConnection.lastError().message());
        return false;
    }
    const QDBusReply<bool> oServed = m_oConnection.interface()->isServiceRegistered(SERVICE_NAME);
    if (!oServed.isValid()) {
        *pError = QString("cannot ask the bus at %1 for its names: %2").arg(sBus, oServed.error().message());
        return false;
    }
    if (!oServed.value()) {
        *pError = QString("the metering core %1 is not on the bus at %2").arg(SERVICE_NAME, sBus);
        return false;
    }
    m_pRuntime = std::make_unique<ComQuorvikVeltranoRuntimeInterface>(SERVICE_NAME, RUNTIME_PATH, m_oConnection);
    setCallTimeout(CALL_TIMEOUT_MS);
    return true;
}

bool CCtlBus::readUsb(QByteArray* pData, QString* pError)
{
    if (!takeBytes(m_pRuntime->getRuntimeUsb(), "getRuntimeUsb", pData, pError)) {
        return false;
    }
    if (!CRunUsbView(*pData).isValid()) {
        *pError = unreadable(pData->size(), "runtime USB record");
        return false;
    }
    return true;
}

bool CCtlBus::readGeneral(QByteArray* pData, QString* pError)
{
    if (!takeBytes(m_pRuntime->getRuntimeGeneralNonWM(), "getRuntimeGeneralNonWM", pData, pError)) {
        return false;
    }
    if (!CRunGeneralView(*pData).isValid()) {
        *pError = unreadable(pData->size(), "runtime general record");
        return false;
    }
    return true;
}

void CCtlBus::setCallTimeout(int iMs)
{
    m_pRuntime->setTimeout(qMin(iMs, CALL_TIMEOUT_MS));
}

QString CCtlBus::serviceName()
{
    return QString::fromLatin1(SERVICE_NAME);
}
