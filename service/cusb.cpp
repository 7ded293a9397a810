#include "service/cusb.h"

#include "log/clogstream.h"
#include "service/thread.h"
#include "signalsadaptor.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>


CUsb::CUsb(QObject* parent)
    : QObject(parent)
{
    CUSB_DEBUG << "CUsb::constructor()\n" << endl;

    // The timers have no parent: the service object owns them for the life of the process.
    m_pDbusTimer = new QTimer;
    m_pTriggerTimer = new QTimer;
    m_pUsbTimer = new QTimer;
    m_pUnmountTimer = new QTimer;
    m_pResetTimer = new QTimer;
    // Peers expect the intervals as given; a coarse timer may fire up to 5 % early.
    for (QTimer* pTimer : {m_pDbusTimer, m_pTriggerTimer, m_pUsbTimer, m_pUnmountTimer, m_pResetTimer}) {
        pTimer->setTimerType(Qt::PreciseTimer);
    }

    m_iPid = static_cast<int>(QCoreApplication::applicationPid());
    m_iDbusRetryCount = 0;

    // Relays sigTrigger and sigSendName once the object is registered at "/Signals".
    new SignalsAdaptor(this);

    readSettingsFromIniFile();

    connect(m_pDbusTimer, SIGNAL(timeout()), this, SLOT(connectDbus()));
    m_pDbusTimer->start(100);
}

CUsb::~CUsb()
{
    CUSB_DEBUG << "CUsb deconstruktor!";

    // Peers have always seen us leave the bus 1 to 2 s after the stop: a 1 s floor, a 2 s bound.
    if (m_pThread != nullptr) {
        const QDeadlineTimer oFloor(1000);
        m_pThread->m_bStop = true;
        // A thread still beating after that ends with the process; only an ended one is deleted.
        if (m_pThread->wait(QDeadlineTimer(2000))) {
            delete m_pThread;
        }
        QThread::msleep(static_cast<unsigned long>(oFloor.remainingTime()));
    }

    // The rest lives as long as the process; released here so that a leak check at the exit
    // reports only what is really lost.
    for (QTimer* pTimer : {m_pDbusTimer, m_pTriggerTimer, m_pUsbTimer, m_pUnmountTimer, m_pResetTimer}) {
        delete pTimer;
    }
}

void CUsb::CreateLogEntry(CLogBase::ELogSubType eLogSubType)
{
    Q_UNUSED(eLogSubType);
}
