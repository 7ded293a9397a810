// The heartbeat thread on its own, without the service object. CI also runs it under
// ThreadSanitizer.

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
const int BEATS = 11;

// The log at its default settings: the warnings of the thread.
QString readLog()
{
    QFile oLog("/var/log/Veltrano/usb.log");
    return oLog.open(QIODevice::ReadOnly) ? QString::fromLatin1(oLog.readAll()) : QString();
}

// Blocks the calling thread until fnDone, at most iTimeoutMs, with no event loop running. It
// polls: ThreadSanitizer sees QMutex, annotated in its header, but not a wait condition's relock.
template<typename FDone> bool blockUntil(FDone fnDone, int iTimeoutMs)
{
    const QDeadlineTimer oDeadline(iTimeoutMs);
    while (!fnDone()) {
        if (oDeadline.hasExpired()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
} // namespace

// Takes every sigTrigger's arrival time on a thread of its own, so that the times hold while
// the test's main thread is blocked, as the service's is while it mounts; and the bus's notices
// of connections that left, since the bus has passed on everything a connection sent by then.
class CBeatClock : public QObject
{
    Q_OBJECT

public:
    struct SBeat
    {
        QDBusMessage oMessage;
        qint64 llNs;
    };

    QList<SBeat> beats() const
    {
        QMutexLocker oLock(&m_oMutex);
        return m_lBeats;
    }

    bool departed(const QString& sService) const
    {
        QMutexLocker oLock(&m_oMutex);
        return m_lDeparted.contains(sService);
    }

public slots:
    void record(const QDBusMessage& oMessage)
    {
        const qint64 llNs = QDeadlineTimer::current().deadlineNSecs();
        QMutexLocker oLock(&m_oMutex);
        if (oMessage.member() == "sigTrigger") {
            m_lBeats << SBeat {oMessage, llNs};
        } else if (oMessage.arguments().value(2).toString().isEmpty()) {
            m_lDeparted << oMessage.arguments().value(0).toString();
        }
    }

private:
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
    void initTestCase()
    {
        QVERIFY(m_pBus->isRunning());
        QVERIFY(m_pDoomedBus->isRunning());
        // The log's folder, for the warnings the tests look for (nsrun gives an empty /var/log).
        QVERIFY(QDir().mkpath("/var/log/Veltrano"));
        m_oClock.moveToThread(&m_oClockThread);
        m_oClockThread.start();
        QDBusConnection oPeer = m_pBus->connection("peer");
        QVERIFY(oPeer.connect(QString(), QString(), "com.Quorvik.Veltrano.Signals", "sigTrigger", &m_oClock,
                              SLOT(record(QDBusMessage))));
        QVERIFY(oPeer.connect("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameOwnerChanged", &m_oClock, SLOT(record(QDBusMessage))));
    }

    void init() { qputenv("DBUS_SESSION_BUS_ADDRESS", m_pBus->address().toLatin1()); }

    void cleanupTestCase()
    {
        m_oClockThread.quit();
        m_oClockThread.wait();
    }

    void beatsOnTimeWhileMainThreadBlocked()
    {
        Thread oThread;
        oThread.start();
        QVERIFY(blockUntil([this] { return m_oClock.beats().size() >= BEATS; }, 15000));
        QVERIFY(oThread.m_bRunning);

        const qsizetype iBeforeStop = m_oClock.beats().size();
        oThread.m_bStop = true;
        QVERIFY(oThread.wait(2000));
        QVERIFY(!oThread.m_bRunning);
        // Its connection closes as it ends, after everything it sent.
        const QString sSender = m_oClock.beats().constFirst().oMessage.service();
        QVERIFY(blockUntil([&] { return m_oClock.departed(sSender); }, 5000));
        const QList<CBeatClock::SBeat> lBeats = m_oClock.beats();
        // A stop during a sleep lets that sleep's beat out, and no more.
        QVERIFY2(lBeats.size() <= iBeforeStop + 1,
                 qPrintable(QString("%1 beats after the stop").arg(lBeats.size() - iBeforeStop)));

        for (const CBeatClock::SBeat& oBeat : lBeats) {
            QCOMPARE(oBeat.oMessage.service(), sSender);
            QCOMPARE(oBeat.oMessage.path(), QString("/"));
            QCOMPARE(oBeat.oMessage.signature(), QString("i"));
            QCOMPARE(oBeat.oMessage.arguments(), QVariantList {static_cast<int>(QCoreApplication::applicationPid())});
        }
        const double dMeanMs = double(lBeats[BEATS - 1].llNs - lBeats[0].llNs) / (BEATS - 1) / 1e6;
        QVERIFY2(qAbs(dMeanMs - 800) < 0.5, qPrintable(QString("mean period %1 ms").arg(dMeanMs, 0, 'f', 3)));
    }

    void beatsOnAfterTheBusIsGone()
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

    void endsAtOnceWithoutSessionBus_data()
    {
        QTest::addColumn<bool>("bStopFirst");
        // Not even a connection is tried, so nothing can be on its way.
        QTest::newRow("stop asked before the start") << true;
        // The operator must see, at the default level, that the service runs without a heartbeat.
        QTest::newRow("no session bus") << false;
    }

    void endsAtOnceWithoutSessionBus()
    {
        QFETCH(bool, bStopFirst);
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        Thread oThread;
        oThread.m_bStop = bStopFirst;
        oThread.start();
        QVERIFY(oThread.wait(2000));
        QVERIFY(!oThread.m_bRunning);
        const QRegularExpression oWarning(
            " W File: cusb Line:  \\d+ :  Heartbeat not started, no session bus:  "
            "DBUS_SESSION_BUS_ADDRESS is not set \n");
        QVERIFY2(readLog().count(oWarning) == (bStopFirst ? 0 : 1), qPrintable(readLog()));
    }
};

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
