// The heartbeat thread on its own: the signal it sends and its period while the main thread is
// blocked, its stop (also one asked before it runs), and a bus that goes away under it.
// CI also runs it under ThreadSanitizer.

#include "service/thread.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/csignalrecorder.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutex>
#include <QtTest>

#include <chrono>
#include <memory>
#include <thread>

namespace {
const char* const INTERFACE = "com.Quorvik.Veltrano.Signals";
const int BEATS = 11;
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

private:
    mutable QMutex m_oMutex;
    QList<SBeat> m_lBeats;
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
    // Whatever the service's connection sent before is in m_oClock once this returns true.
    bool flush();

    CPrivateBus* m_pBus;
    std::unique_ptr<CPrivateBus> m_pDoomedBus;
    QDBusConnection m_oService = QDBusConnection(QString());
    QThread m_oClockThread;
    CBeatClock m_oClock;

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void beatsOnTimeWhileMainThreadBlocked();
    void stopAskedBeforeStartSendsNothing();
    void beatsOnAfterTheBusIsGone();
};

bool TestHeartbeat::flush()
{
    m_oService.send(QDBusMessage::createSignal("/flush", INTERFACE, "sigTrigger"));
    return m_oClock.waitFor("/flush", 1, 5000);
}

void TestHeartbeat::initTestCase()
{
    QVERIFY(m_pBus->isRunning());
    QVERIFY(m_pDoomedBus->isRunning());
    m_oService = m_pBus->connection("service");
    m_oClock.moveToThread(&m_oClockThread);
    m_oClockThread.start();
    QVERIFY(m_pBus->connection("peer").connect(QString(), QString(), INTERFACE, "sigTrigger", &m_oClock,
                                               SLOT(record(QDBusMessage))));
}

void TestHeartbeat::init()
{
    m_oClock.clear();
}

void TestHeartbeat::cleanupTestCase()
{
    m_oClockThread.quit();
    m_oClockThread.wait();
}

void TestHeartbeat::beatsOnTimeWhileMainThreadBlocked()
{
    Thread oThread(m_oService);
    oThread.start();
    // No event loop runs here meanwhile.
    QVERIFY(m_oClock.waitFor("/", BEATS, 15000));
    QVERIFY(oThread.m_bRunning);

    const qsizetype iBeforeStop = m_oClock.from("/").size();
    oThread.m_bStop = true;
    QVERIFY(oThread.wait(2000));
    QVERIFY(!oThread.m_bRunning);
    QVERIFY(flush());
    const QList<CBeatClock::SBeat> lBeats = m_oClock.from("/");
    // A stop during a sleep lets that sleep's beat out, and no more.
    QVERIFY2(lBeats.size() <= iBeforeStop + 1,
             qPrintable(QString("%1 beats after the stop").arg(lBeats.size() - iBeforeStop)));

    for (const CBeatClock::SBeat& oBeat : lBeats) {
        QCOMPARE(oBeat.oMessage.service(), m_oService.baseService());
        QCOMPARE(oBeat.oMessage.signature(), QString("i"));
        QCOMPARE(oBeat.oMessage.arguments(), QVariantList {static_cast<int>(QCoreApplication::applicationPid())});
    }
    const double dMeanMs = double(lBeats[BEATS - 1].llNs - lBeats[0].llNs) / (BEATS - 1) / 1e6;
    QVERIFY2(qAbs(dMeanMs - 800) < 0.5, qPrintable(QString("mean period %1 ms").arg(dMeanMs, 0, 'f', 3)));
}

void TestHeartbeat::stopAskedBeforeStartSendsNothing()
{
    Thread oThread(m_oService);
    oThread.m_bStop = true;
    oThread.start();
    QVERIFY(oThread.wait(2000));
    QVERIFY(!oThread.m_bRunning);
    QVERIFY(flush());
    QCOMPARE(m_oClock.from("/").size(), 0);
}

void TestHeartbeat::beatsOnAfterTheBusIsGone()
{
    CSignalRecorder oBeats(m_pDoomedBus->connection("doomed-peer"), "sigTrigger");
    Thread oThread(m_pDoomedBus->connection("doomed-service"));
    oThread.start();
    QTRY_VERIFY_WITH_TIMEOUT(!oBeats.signalsFrom("/").isEmpty(), 5000);

    m_pDoomedBus.reset();
    // Two beats into a connection whose peer has gone: the thread neither ends nor ends the process.
    QVERIFY(!oThread.wait(1700));
    QVERIFY(oThread.m_bRunning);
    oThread.m_bStop = true;
    QVERIFY(oThread.wait(2000));
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
