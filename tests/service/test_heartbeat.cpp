// The heartbeat thread on its own: it starts, beats every 800 ms on the connection it is
// handed, and ends within a beat once told to stop. CI also runs it under ThreadSanitizer.

#include "service/thread.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/csignalrecorder.h"

#include <QCoreApplication>
#include <QtTest>

class TestHeartbeat : public QObject
{
    Q_OBJECT

public:
    explicit TestHeartbeat(CPrivateBus* pBus)
        : m_pBus(pBus)
    {
    }

private:
    CPrivateBus* m_pBus;

private slots:
    void beatsUntilStopped();
};

void TestHeartbeat::beatsUntilStopped()
{
    QVERIFY(m_pBus->isRunning());
    CSignalRecorder oBeats(m_pBus->connection("peer"), "sigTrigger");

    Thread oThread(m_pBus->connection("service"));
    oThread.start();
    QTRY_VERIFY_WITH_TIMEOUT(oBeats.signalsFrom("/").size() >= 3, 5000);
    QVERIFY(oThread.m_bRunning);

    oThread.m_bStop = true;
    QVERIFY(oThread.wait(2000));
    QVERIFY(!oThread.m_bRunning);

    const QList<CSignalRecorder::SSignal> lBeats = oBeats.signalsFrom("/");
    for (const CSignalRecorder::SSignal& oBeat : lBeats) {
        QCOMPARE(oBeat.oMessage.arguments().value(0).toInt(), static_cast<int>(QCoreApplication::applicationPid()));
    }
    const double dMean = double(lBeats.last().llMs - lBeats.first().llMs) / (lBeats.size() - 1);
    QVERIFY2(dMean > 720 && dMean < 880, qPrintable(QString("mean period %1 ms").arg(dMean)));
}

// The bus daemon is started before Qt Test starts its watchdog thread: ThreadSanitizer ignores
// from then on the thread that forks while others exist, and would pass anything it does.
int main(int argc, char** argv)
{
    QCoreApplication oApp(argc, argv);
    CPrivateBus oBus;
    TestHeartbeat oTest(&oBus);
    return QTest::qExec(&oTest, argc, argv);
}
#include "test_heartbeat.moc"
