#include "tools/coresim/ccoresim.h"

#include "clogbookunmodelled.h"
#include "csetupunmodelled.h"
#include "logbookadaptor.h"
#include "runtimeadaptor.h"
#include "setupadaptor.h"
#include "tools/common/clineinput.h"
#include "tools/common/cquitsignals.h"
#include "tools/coresim/csimcommands.h"
#include "tools/coresim/csimruntime.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace {
const char* const SERVICE_NAME = "com.Quorvik.Veltrano";
const char* const CONNECTION_NAME = "veltrano-core-sim";
const char* const SIGNALS_INTERFACE = "com.Quorvik.Veltrano.Signals";
const int FLUSH_TIMEOUT_MS = 2000;
} // namespace

CCoreSim::CCoreSim(const CSimOptions& oOptions, QObject* pParent)
    : QObject(pParent)
    , m_oOptions(oOptions)
    , m_oPrinter(oOptions.m_bJson)
    , m_oConnection(CONNECTION_NAME)
    , m_pRuntime(nullptr)
    , m_pCommands(nullptr)
    , m_pStdin(new CLineInput(this))
    , m_pQuitSignals(new CQuitSignals(this))
    , m_bQuitting(false)
{
    connect(m_pStdin, &CLineInput::lineRead, this, &CCoreSim::runLine);
    connect(m_pQuitSignals, &CQuitSignals::received, this, &CCoreSim::quit);
}

bool CCoreSim::start(QString* pError)
{
    m_pQuitSignals->install();
    if (!connectBus(pError)) {
        return false;
    }
    m_pRuntime = new CSimRuntime(&m_oPrinter, m_oOptions.m_oSettings, this);
    new RuntimeAdaptor(m_pRuntime);
    CUnmodelledObject* pSetup = new CSetupUnmodelled(this);
    new SetupAdaptor(pSetup);
    CUnmodelledObject* pLogbook = new CLogbookUnmodelled(this);
    new LogbookAdaptor(pLogbook);
    // Objects first, name last: whoever waits for the name may call at once.
    if (!serve(m_pRuntime, "/RuntimeData", pError) || !serve(pSetup, "/SetupData", pError)
        || !serve(pLogbook, "/Logbook", pError) || !takeName(pError)) {
        return false;
    }
    m_pCommands = new CSimCommands(m_oConnection, m_pRuntime, &m_oPrinter, this);
    connect(m_pCommands, &CSimCommands::quitRequested, this, [this]() { quit("quit"); });

    if (m_oOptions.m_bWelcome && !listenForNewcomers(pError)) {
        return false;
    }
    m_oPrinter.ready(QCoreApplication::applicationPid(), SERVICE_NAME, m_sBusText);
    for (const QString& sCommand : m_oOptions.m_lsCommands) {
        runLine(sCommand);
    }
    m_pStdin->start();
    return true;
}

void CCoreSim::runLine(const QString& sLine)
{
    if (!m_bQuitting) {
        m_pCommands->run(sLine);
    }
}

void CCoreSim::welcome(int iProcess)
{
    runLine(QString("start %1").arg(iProcess));
}

void CCoreSim::quit(const QString& sReason)
{
    if (m_bQuitting) {
        return;
    }
    m_bQuitting = true;
    m_oPrinter.exiting(sReason);
    // Signals are sent asynchronously; one round trip to the bus makes sure that all of them
    // have left before the connection closes with the process.
    m_oConnection.call(QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus.Peer", "Ping"),
                       QDBus::Block, FLUSH_TIMEOUT_MS);
    // Queued, because "quit" given with -c runs before the event loop does.
    QMetaObject::invokeMethod(QCoreApplication::instance(), "quit", Qt::QueuedConnection);
}

bool CCoreSim::connectBus(QString* pError)
{
    if (!m_oOptions.m_sAddress.isEmpty()) {
        m_sBusText = m_oOptions.m_sAddress;
        m_oConnection = QDBusConnection::connectToBus(m_oOptions.m_sAddress, CONNECTION_NAME);
    } else {
        m_sBusText = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
        if (m_sBusText.isEmpty()) {
            *pError = "no bus: give --address ADDR or set DBUS_SESSION_BUS_ADDRESS";
            return false;
        }
        m_oConnection = QDBusConnection::sessionBus();
    }
    if (!m_oConnection.isConnected()) {
        *pError = QString("cannot connect to the bus at %1: %2").arg(m_sBusText, m_oConnection.lastError().message());
        return false;
    }
    return true;
}

bool CCoreSim::serve(CUnmodelledObject* pObject, const QString& sPath, QString* pError)
{
    connect(pObject, &CUnmodelledObject::refused, this,
            [this](const QString& sInterface, const QString& sMember) { m_oPrinter.refused(sInterface, sMember); });
    if (!m_oConnection.registerObject(sPath, pObject, QDBusConnection::ExportAdaptors)) {
        *pError = QString("cannot serve %1 at %2: %3")
                      .arg(pObject->interfaceName(), sPath, m_oConnection.lastError().message());
        return false;
    }
    return true;
}

// A process beats from /Signals until it has joined (from "/" afterwards), so these are the
// ones that wait for sigProcessStart.
bool CCoreSim::listenForNewcomers(QString* pError)
{
    if (!m_oConnection.connect(QString(), "/Signals", SIGNALS_INTERFACE, "sigTrigger", this, SLOT(welcome(int)))) {
        *pError = "cannot listen for sigTrigger: " + m_oConnection.lastError().message();
        return false;
    }
    return true;
}

bool CCoreSim::takeName(QString* pError)
{
    QDBusConnectionInterface* pBus = m_oConnection.interface();
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> oReply = pBus->registerService(
        SERVICE_NAME, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!oReply.isValid()) {
        *pError = QString("cannot take the name %1: %2").arg(SERVICE_NAME, oReply.error().message());
        return false;
    }
    if (oReply.value() != QDBusConnectionInterface::ServiceRegistered) {
        *pError = QString(
                      "the name %1 is already taken on this bus (by %2): is another metering core or"
                      " simulator running?")
                      .arg(SERVICE_NAME, pBus->serviceOwner(SERVICE_NAME).value());
        return false;
    }
    return true;
}
