// The service's ways of talking on the bus, against a peer served by the generated adaptor
// in a thread of its own (so that an awaited call can be answered while the caller blocks).

#include "runtimeadaptor.h"
#include "runtimeinterface.h"
#include "service/dbuscalls.h"
#include "tools/standin/cprivatebus.h"

#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

namespace {

const char* const g_szCore = "com.Quorvik.Veltrano";

} // namespace

// The part of the metering core that these calls need; one call is never answered.
class CFakeRuntime : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    QByteArray m_aStored;

public slots:
    int setRuntimeUsb(int, const QByteArray& data)
    {
        m_aStored = data;
        return 2001;
    }
    QByteArray getRuntimeUsb() { return m_aStored; }
    int setRuntimeGeneralNonWM(int, const QByteArray&)
    {
        setDelayedReply(true);
        return 0;
    }
};

// Receives the name queries broadcast to the service.
class CPeer : public QObject
{
    Q_OBJECT

public:
    QList<QPair<int, int>> m_lNameQueries;

public slots:
    void onGetName(int iPID, int iAppID) { m_lNameQueries << qMakePair(iPID, iAppID); }
};

class TestDbusCalls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_oBus.isRunning());
        m_pRuntime = new CFakeRuntime;
        new RuntimeAdaptor(m_pRuntime);
        m_pRuntime->moveToThread(&m_oServerThread);
        connect(&m_oServerThread, &QThread::finished, m_pRuntime, &QObject::deleteLater);
        m_oServerThread.start();
        QDBusConnection oServer = m_oBus.connection("server");
        QVERIFY(oServer.registerObject("/RuntimeData", m_pRuntime, QDBusConnection::ExportAdaptors));
        QVERIFY(oServer.registerService(g_szCore));
    }

    void cleanupTestCase()
    {
        m_oServerThread.quit();
        m_oServerThread.wait();
    }

    void awaited_calls_give_the_first_reply_value()
    {
        ComQuorvikVeltranoRuntimeInterface oRuntime(g_szCore, "/RuntimeData", m_oBus.connection("client"));
        QCOMPARE(awaitInt(oRuntime.setRuntimeUsb(42, QByteArray("\x00\x01\x02", 3))), 2001);
        QCOMPARE(awaitByteArray(oRuntime.getRuntimeUsb()), QByteArray("\x00\x01\x02", 3));

        // An empty answer is still an answer.
        QCOMPARE(awaitInt(oRuntime.setRuntimeUsb(42, QByteArray(""))), 2001);
        const QByteArray aEmpty = awaitByteArray(oRuntime.getRuntimeUsb());
        QVERIFY(aEmpty.isEmpty() && !aEmpty.isNull());
    }

    // Awaited calls to a name nobody serves give defaults, since the bus answers at once; a call
    // whose reply is dropped is not awaited, or it would take the bus's 25 s time-out. The bound
    // leaves room for a sanitizer build.
    void calls_that_get_no_value_do_not_wait()
    {
        ComQuorvikVeltranoRuntimeInterface oNobody("com.Quorvik.Nobody", "/RuntimeData", m_oBus.connection("client"));
        ComQuorvikVeltranoRuntimeInterface oRuntime(g_szCore, "/RuntimeData", m_oBus.connection("client"));
        QElapsedTimer oTimer;
        oTimer.start();
        QCOMPARE(awaitInt(oNobody.setRuntimeUsb(42, QByteArray("x"))), 0);
        QVERIFY(awaitByteArray(oNobody.getRuntimeUsb()).isNull());
        oRuntime.setRuntimeGeneralNonWM(42, QByteArray(309, '\0'));
        QVERIFY2(oTimer.elapsed() < 1000, qPrintable(QString::number(oTimer.elapsed())));
    }

    void broadcasts_are_received_from_any_sender_and_path_on_the_signals_interface_only()
    {
        QDBusConnection oListener = m_oBus.connection("listener");
        CPeer oPeer;
        // clang-format off
        QVERIFY(subscribeBroadcast(oListener, "sigGetName", &oPeer, SLOT(onGetName ( int , int))));
        // clang-format on
        // The subscription reaches the bus daemon without a reply to wait for; a call on the same
        // connection, answered in order after it, shows that it is in place.
        oListener.interface()->isServiceRegistered("org.freedesktop.DBus");

        QDBusConnection oSender = m_oBus.connection("sender");
        const auto send = [&oSender](const QString& sPath, const QString& sInterface, int iPid) {
            QDBusMessage oSignal = QDBusMessage::createSignal(sPath, sInterface, "sigGetName");
            oSignal << iPid << 7;
            oSender.send(oSignal);
        };
        send("/Signals", "com.Quorvik.Veltrano.Signals", 1);
        send("/Other/Path", "com.Quorvik.Veltrano.Signals", 2);
        send("/Signals", "com.Quorvik.Veltrano.Runtime", 3);
        send("/", "com.Quorvik.Veltrano.Signals", 4);

        // Signals arrive in order: once the last has come, the foreign one would have too.
        QTRY_COMPARE_WITH_TIMEOUT(oPeer.m_lNameQueries.size(), 3, 5000);
        QCOMPARE(oPeer.m_lNameQueries, (QList<QPair<int, int>> {{1, 7}, {2, 7}, {4, 7}}));
    }

private:
    CPrivateBus m_oBus;
    QThread m_oServerThread;
    CFakeRuntime* m_pRuntime = nullptr;
};

QTEST_GUILESS_MAIN(TestDbusCalls)
#include "test_dbuscalls.moc"
