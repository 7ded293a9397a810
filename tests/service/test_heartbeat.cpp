// The heartbeat thread on its own: the signal it sends on its own connection to the session bus
// and its period while the main thread is blocked, its stop (also one asked before it runs), a
// bus that goes away under it, and no session bus at all. CI also runs it under ThreadSanitizer.

#include "service/thread.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/csignalrecorder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QtTest>

#include <chrono>
#include <memory>
#include <thread>

namespace {
const char* const INTERFACE = "com.Quorvik.Veltrano.Signals";
const int BEATS = 11;

// The log at its default settings: the warnings of the thread.
QByteArray readLog()
{
    QFile oLog("/var/log/Veltrano/usb.log");
    return oLog.open(QIODevice::ReadOnly) ? oLog.readAll() : QByteArray();
}
} // namespace

// Takes every sigTrigger's arrival time on a thread of its own, so that the times hold while
// the test's main thread is blocked, as the service's is while it mounts.
class CBeatClock : public QObject
{
    Q_OBJECT

public:
    struct SBeat
    {
        QDBusMessage oMessage;
        qint64 llNs;
    };

    QList<SBeat> from(const QString& sPath) const
    {
        QMutexLocker oLock(&m_oMutex);
        QList<SBeat> lBeats;
        for (const SBeat& oBeat : m_lBeats) {
            if (oBeat.oMessage.path() == sPath) {
                lBeats << oBeat;
            }
        }
        return lBeats;
    }

    // Blocks the calling thread until iCount signals came from sPath, at most iTimeoutMs. It polls:
    // ThreadSanitizer sees QMutex, annotated in its header, but not a wait condition's relock.
    bool waitFor(const QString& sPath, int iCount, int iTimeoutMs) const
    {
        const QDeadlineTimer oDeadline(iTimeoutMs);
        while (from(sPath).size() < iCount) {
            if (oDeadline.hasExpired()) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Blocks until the connection named sService has left the bus, at most iTimeoutMs: the bus
    // has passed on everything it sent by then.
    bool waitForDeparture(const QString& sService, int iTimeoutMs) const
    {
        const QDeadlineTimer oDeadline(iTimeoutMs);
        while (!departed(sService)) {
            if (oDeadline.hasExpired()) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    void clear()
    {
        QMutexLocker oLock(&m_oMutex);
        m_lBeats.clear();
    }

public slots:
    void record(const QDBusMessage& oMessage)
    {
        const qint64 llNs = QDeadlineTimer::current().deadlineNSecs();
        QMutexLocker oLock(&m_oMutex);
        m_lBeats << SBeat {oMessage, llNs};
    }

    void recordOwner(const QString& sName, const QString&, const QString& sNewOwner)
    {
        QMutexLocker oLock(&m_oMutex);
        if (sNewOwner.isEmpty()) {
            m_lDeparted << sName;
        }
    }

private:
    bool departed(const QString& sService) const
    {
        QMutexLocker oLock(&m_oMutex);
        return m_lDeparted.contains(sService);
    }

    mutable QMutex m_oMutex;
    QList<SBeat> m_lBeats;
    QStringList m_lDeparted;
};

class TestHeartbeat : public QObject
{
    Q_OBJECT

public:
    TestHeartbeat(CPrivateBus* pBus, std::unique_ptr<CPrivateBus> pDoomedBus)
        : m_pBus(pBus)
        , m_pDoomedBus(std::move(pDoomedBus))
    {
    }

private:
    CPrivateBus* m_pBus;
    std::unique_ptr<CPrivateBus> m_pDoomedBus;
    QThread m_oClockThread;
    CBeatClock m_oClock;

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void beatsOnTimeWhileMainThreadBlocked();
    void stopAskedBeforeStartSendsNothing();
    void beatsOnAfterTheBusIsGone();
    void saysWhenThereIsNoSessionBus();
};

void TestHeartbeat::initTestCase()
{
    QVERIFY(m_pBus->isRunning());
    QVERIFY(m_pDoomedBus->isRunning());
    // The log's folder, for the warnings the tests look for (nsrun gives an empty /var/log).
    QVERIFY(QDir().mkpath("/var/log/Veltrano"));
    m_oClock.moveToThread(&m_oClockThread);
    m_oClockThread.start();
    QDBusConnection oPeer = m_pBus->connection("peer");
    QVERIFY(oPeer.connect(QString(), QString(), INTERFACE, "sigTrigger", &m_oClock, SLOT(record(QDBusMessage))));
    QVERIFY(oPeer.connect("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged",
                          &m_oClock, SLOT(recordOwner(QString, QString, QString))));
}

void TestHeartbeat::init()
{
    m_oClock.clear();
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_pBus->address().toLatin1());
}

void TestHeartbeat::cleanupTestCase()
{
    m_oClockThread.quit();
    m_oClockThread.wait();
}

void TestHeartbeat::beatsOnTimeWhileMainThreadBlocked()
{
    Thread oThread;
    oThread.start();
    // No event loop runs here meanwhile.
    QVERIFY(m_oClock.waitFor("/", BEATS, 15000));
    QVERIFY(oThread.m_bRunning);

    const qsizetype iBeforeStop = m_oClock.from("/").size();
    oThread.m_bStop = true;
    QVERIFY(oThread.wait(2000));
    QVERIFY(!oThread.m_bRunning);
    // Its connection closes as it ends, after everything it sent.
    const QString sSender = m_oClock.from("/").constFirst().oMessage.service();
    QVERIFY(m_oClock.waitForDeparture(sSender, 5000));
    const QList<CBeatClock::SBeat> lBeats = m_oClock.from("/");
    // A stop during a sleep lets that sleep's beat out, and no more.
    QVERIFY2(lBeats.size() <= iBeforeStop + 1,
             qPrintable(QString("%1 beats after the stop").arg(lBeats.size() - iBeforeStop)));

    for (const CBeatClock::SBeat& oBeat : lBeats) {
        QCOMPARE(oBeat.oMessage.service(), sSender);
        QCOMPARE(oBeat.oMessage.signature(), QString("i"));
        QCOMPARE(oBeat.oMessage.arguments(), QVariantList {static_cast<int>(QCoreApplication::applicationPid())});
    }
    const double dMeanMs = double(lBeats[BEATS - 1].llNs - lBeats[0].llNs) / (BEATS - 1) / 1e6;
    QVERIFY2(qAbs(dMeanMs - 800) < 0.5, qPrintable(QString("mean period %1 ms").arg(dMeanMs, 0, 'f', 3)));
}

void TestHeartbeat::stopAskedBeforeStartSendsNothing()
{
    // Not even a connection is made, so nothing can be on its way.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    Thread oThread;
    oThread.m_bStop = true;
    oThread.start();
    QVERIFY(oThread.wait(2000));
    QVERIFY(!oThread.m_bRunning);
    QCOMPARE(readLog().count("Heartbeat not started"), 0);
}

void TestHeartbeat::beatsOnAfterTheBusIsGone()
{
    CSignalRecorder oBeats(m_pDoomedBus->connection("doomed-peer"), "sigTrigger");
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_pDoomedBus->address().toLatin1());
    Thread oThread;
    oThread.start();
    QTRY_VERIFY_WITH_TIMEOUT(!oBeats.signalsFrom("/").isEmpty(), 5000);

    m_pDoomedBus.reset();
    // Two beats into a connection whose peer has gone: the thread neither ends nor ends the process.
    QVERIFY(!oThread.wait(1700));
    QVERIFY(oThread.m_bRunning);
    oThread.m_bStop = true;
    QVERIFY(oThread.wait(2000));
    // Said once, not at every attempt to connect again.
    QCOMPARE(readLog().count("Heartbeat connection lost => connecting again"), 1);
}

// The operator must see, at the default level, that the service runs without a heartbeat.
void TestHeartbeat::saysWhenThereIsNoSessionBus()
{
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    Thread oThread;
    oThread.start();
    QVERIFY(oThread.wait(2000));
    QVERIFY(!oThread.m_bRunning);
    QVERIFY2(
        readLog().contains(" W File: cusb Line:  ")
            && readLog().contains(":  Heartbeat not started, no session bus:  DBUS_SESSION_BUS_ADDRESS is not set "),
        readLog().constData());
}

// The bus daemons are started before Qt Test starts its watchdog thread: ThreadSanitizer ignores
// from then on the thread that forks while others exist, and would pass anything it does.
int main(int argc, char** argv)
{
    QCoreApplication oApp(argc, argv);
    CPrivateBus oBus;
    TestHeartbeat oTest(&oBus, std::make_unique<CPrivateBus>());
    return QTest::qExec(&oTest, argc, argv);
}
#include "test_heartbeat.moc"
