// CUsb: the bus connection and the small slots that answer the peers' signals.

#include "service/cusb.h"

#include "log/clogstream.h"
#include "logbookinterface.h"
#include "runtimeinterface.h"
#include "service/cservicemanager.h"
#include "service/dbuscalls.h"
#include "setupinterface.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QTimer>

#include <cstdlib>

namespace {

const char* const g_szCoreService = "com.Quorvik.Veltrano";
const int g_iRetryLimit = 5;
const int g_iTriggerInterval = 1000;
const int g_iUnmountDelay = 1000;
// The service's own name for its session bus connection; see attemptConnection().
const char* const g_szSessionConnection = "veltrano_session";
// Ends the process when the bus goes away, so that the service manager starts it again.
const int g_iBusLostStatus = 1;

} // namespace

QDBusConnection CUsb::attemptConnection()
{
    const QString sName = m_iUseSessionBus != 0 ? QString::fromLatin1(g_szSessionConnection) : m_sTcpBusName;
    // Qt keeps a failed connection under its name and hands it back to every later attempt
    // (QDBusConnection::sessionBus() too, for good): drop it so that the attempt is a new one.
    QDBusConnection::disconnectFromBus(sName);
    if (m_iUseSessionBus != 0) {
        return QDBusConnection::connectToBus(QDBusConnection::SessionBus, sName);
    }
    return QDBusConnection::connectToBus(m_sTcpBusAddress, sName);
}

void CUsb::connectDbus()
{
    m_pDbusTimer->stop();

    QDBusConnection oConnection = attemptConnection();

    if (!oConnection.isConnected()) {
        ++m_iDbusRetryCount;
        if (m_iDbusRetryCount > g_iRetryLimit) {
            CUSB_WARNING << "Retry limit reached => exit program!";
            exit(0);
        }
        if (m_iUseSessionBus != 0) {
            CUSB_DEBUG << "Can't connect to session bus!";
        } else {
            CUSB_DEBUG << "Can't connect to " << m_sTcpBusAddress << "." << m_sTcpBusName;
        }
        m_pDbusTimer->start(m_iDbusConnectionRetry);
        return;
    }

    CUSB_DEBUG << "DBus connection is OK";
    m_oBus = oConnection;

    m_pSetup = new ComQuorvikVeltranoSetupInterface(g_szCoreService, "/SetupData", oConnection, this);
    m_pRuntime = new ComQuorvikVeltranoRuntimeInterface(g_szCoreService, "/RuntimeData", oConnection, this);
    m_pLogbook = new ComQuorvikVeltranoLogbookInterface(g_szCoreService, "/Logbook", oConnection, this);

    connect(m_pUsbTimer, SIGNAL(timeout()), this, SLOT(checkBusConnection()));
    connect(m_pUsbTimer, SIGNAL(timeout()), this, SLOT(check_usb()));
    connect(m_pUnmountTimer, SIGNAL(timeout()), this, SLOT(UnmountUsbDevice()));
    connect(m_pResetTimer, SIGNAL(timeout()), this, SLOT(ResetUSBFlag()));

    m_bProcessStarted = false;
    connect(m_pTriggerTimer, SIGNAL(timeout()), this, SLOT(SendsigTrigger()));

    // The signatures as the family has always written them; the connection normalises them.
    // clang-format off
    subscribeBroadcast(oConnection, "sigGetName", this, SLOT(onsigGetName ( int , int)));
    subscribeBroadcast(oConnection, "sigSystemReady", this, SLOT(onsigSystemReady ( int )));
    subscribeBroadcast(oConnection, "sigProcessStart", this, SLOT(onsigProcessStart ( int, int)));
    // clang-format on

    setupLinuxSignalHandlers();

    m_pTriggerTimer->start(g_iTriggerInterval);
    m_pUsbTimer->start(s_iPollInterval);

    connect(m_pRuntime, SIGNAL(sigRuntimeUsb(int)), this, SLOT(Signal_sigRuntimeUsb(int)));

    oConnection.registerObject("/Signals", this, QDBusConnection::ExportAdaptors);

    auto* pCoreWatcher =
        new QDBusServiceWatcher(g_szCoreService, oConnection, QDBusServiceWatcher::WatchForRegistration, this);
    connect(pCoreWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &CUsb::onCoreOwnerChanged);

    m_oWatcher.OpenHotplugMonitor();

    // Under systemd: the service is up now, and the main loop beats the watchdog from here on.
    auto* pServiceManager = new CServiceManager(this);
    pServiceManager->notifyReady();
}

// The bus library marks the connection closed when the bus daemon goes away, and nothing would
// ever connect it again: end, and let the service manager start the service anew.
void CUsb::checkBusConnection()
{
    if (m_oBus.isConnected()) {
        return;
    }
    m_pUsbTimer->stop();
    CUSB_CRITICAL << "DBus connection lost => exit program!";
    QCoreApplication::exit(g_iBusLostStatus);
}

// A restarted core knows nothing of us: tell it what a joining tells it, from what we have.
void CUsb::onCoreOwnerChanged(const QString&, const QString&, const QString& sNewOwner)
{
    if (!m_bProcessStarted || sNewOwner.isEmpty()) {
        return;
    }
    CUSB_WARNING << "Core service has a new owner => publish again";
    announceVersion();
    publishRuntimeUsb(true);
}

void CUsb::onsigGetName(int iPID, int iAppID)
{
    CLogStream(QtDebugMsg) << "onsigGetName()" << endl;
    if (iPID != m_iPid && iAppID == m_iPid) {
        CLogStream(QtDebugMsg) << "SetGetName(...,'USB1'');" << endl;
        emit sigSendName(m_iPid, QByteArray("USB1"));
    }
}

void CUsb::onsigSystemReady(int iPID)
{
    if (iPID != m_iPid) {
        CUSB_DEBUG << "sigSystemReady ignored";
    }
}

void CUsb::Signal_sigRuntimeUsb(int iProcessID)
{
    // Our own publications raise this signal too; only a peer's change can ask for an unmount.
    if (iProcessID == m_iPid) {
        return;
    }
    CUSB_DEBUG << "'Signal_sigRuntimeUsb' received";
    m_pUnmountTimer->start(g_iUnmountDelay);
}

void CUsb::SendsigTrigger()
{
    emit sigTrigger(m_iPid);
}
