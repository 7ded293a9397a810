#include "service/thread.h"

#include "log/clogstream.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>

Thread::Thread(const QDBusConnection& oSessionBus)
    : QThread(nullptr)
    , m_bStop(false)
    , m_bRunning(false)
    , m_oSessionBus(oSessionBus)
{
}

Thread::~Thread() = default;

void Thread::run()
{
    QDBusConnection oConnection = m_oSessionBus;
    QDBusMessage oMessage = QDBusMessage::createSignal("/", "com.Quorvik.Veltrano.Signals", "sigTrigger");

    if (oConnection.isConnected()) {
        CUSB_DEBUG << "Thread connected to session bus!";
        oMessage << static_cast<int>(QCoreApplication::applicationPid());
        m_bStop = false;
        m_bRunning = true;
        while (!m_bStop) {
            m_bRunning = true;
            QThread::msleep(800);
            oConnection.send(oMessage);
        }
        m_bRunning = false;
    }
    CUSB_DEBUG << "Thread end";
    m_bRunning = false;
}
