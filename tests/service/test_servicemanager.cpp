// What the daemon tells systemd, read from a notification socket of the test's own, as systemd
// reads it: READY=1 once, then WATCHDOG=1 at half the time-out; and nothing at all, no timer
// either, when the variables do not name this process.

#include "service/cservicemanager.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class TestServiceManager : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_oDir;
    int m_iSocket = -1;

    // The next datagram, or an empty string when none came within the bound.
    QByteArray receive(int iTimeoutMs)
    {
        QByteArray aMessage(4096, '\0');
        ssize_t iSize = -1;
        // Waiting through the event loop, so that the manager's timer runs meanwhile.
        const bool bReceived = QTest::qWaitFor(
            [&]() {
                iSize = recv(m_iSocket, aMessage.data(), aMessage.size(), 0);
                return iSize >= 0;
            },
            iTimeoutMs);
        if (!bReceived) {
            return QByteArray();
        }
        return iSize > 0 ? aMessage.left(iSize) : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_oDir.isValid());
        m_iSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        QVERIFY(m_iSocket >= 0);
        struct sockaddr_un oAddress = {};
        oAddress.sun_family = AF_UNIX;
        const QByteArray aPath = QFile::encodeName(m_oDir.filePath("notify"));
        QVERIFY(aPath.size() < static_cast<int>(sizeof(oAddress.sun_path)));
        memcpy(oAddress.sun_path, aPath.constData(), aPath.size());
        QCOMPARE(bind(m_iSocket, reinterpret_cast<sockaddr*>(&oAddress), sizeof(oAddress)), 0);
    }

    void cleanupTestCase() { close(m_iSocket); }

    void init()
    {
        qputenv("NOTIFY_SOCKET", QFile::encodeName(m_oDir.filePath("notify")));
        qunsetenv("WATCHDOG_USEC");
        qunsetenv("WATCHDOG_PID");
        // Whatever an earlier case left on the socket.
        while (!receive(0).isEmpty()) {
        }
    }

    void readyThenRegularBeats()
    {
        qputenv("WATCHDOG_USEC", "400000");
        qputenv("WATCHDOG_PID", QByteArray::number(getpid()));
        CServiceManager oManager(nullptr);
        oManager.notifyReady();
        QCOMPARE(receive(5000), QByteArray("READY=1"));

        // Every 200 ms: three beats take at least two intervals (less 5 % for a coarse timer).
        QElapsedTimer oClock;
        oClock.start();
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(receive(5000), QByteArray("WATCHDOG=1"));
        }
        QVERIFY2(oClock.elapsed() >= 380, qPrintable(QString::number(oClock.elapsed())));
    }

    void beatTimerFollowsTheWatchdog_data()
    {
        QTest::addColumn<bool>("bSystemd"); // NOTIFY_SOCKET set
        QTest::addColumn<QByteArray>("aUsec"); // WATCHDOG_USEC
        QTest::addColumn<QByteArray>("aPid"); // WATCHDOG_PID
        QTest::addColumn<QList<int>>("lIntervals"); // of the running timers, in ms
        // A long time-out still gets a beat every five seconds: the unit's WatchdogSec= counts on it.
        QTest::newRow("capped") << true << QByteArray("600000000") << QByteArray::number(getpid()) << QList<int> {5000};
        // A child that inherited the variables: the watchdog is its parent's, the beats too.
        QTest::newRow("another process's")
            << true << QByteArray("400000") << QByteArray::number(getppid()) << QList<int>();
        QTest::newRow("without systemd") << false << QByteArray() << QByteArray() << QList<int>();
    }

    void beatTimerFollowsTheWatchdog()
    {
        QFETCH(bool, bSystemd);
        QFETCH(QByteArray, aUsec);
        QFETCH(QByteArray, aPid);
        QFETCH(QList<int>, lIntervals);
        if (!bSystemd) {
            qunsetenv("NOTIFY_SOCKET");
        }
        if (!aUsec.isNull()) {
            qputenv("WATCHDOG_USEC", aUsec);
            qputenv("WATCHDOG_PID", aPid);
        }
        CServiceManager oManager(nullptr);
        oManager.notifyReady();
        QCOMPARE(receive(bSystemd ? 5000 : 0), bSystemd ? QByteArray("READY=1") : QByteArray());
        QList<int> lRunning;
        for (const QTimer* pTimer : oManager.findChildren<QTimer*>()) {
            if (pTimer->isActive()) {
                lRunning << pTimer->interval();
            }
        }
        QCOMPARE(lRunning, lIntervals);
    }
};

QTEST_GUILESS_MAIN(TestServiceManager)
#include "test_servicemanager.moc"
