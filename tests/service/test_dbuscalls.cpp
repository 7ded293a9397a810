// The service's ways of talking on the bus, against a peer served by the generated adaptors
// in a thread of its own (so that an awaited call can be answered while the caller blocks).

#include "runtimeadaptor.h"
#include "runtimeinterface.h"
#include "service/dbuscalls.h"
#include "signalsadaptor.h"
#include "tools/standin/cprivatebus.h"

#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

namespace {

const char* const g_szCore = "com.Quorvik.Veltrano";

// A subscription reaches the bus daemon without a reply to wait for; a call on the same
// connection, answered in order after it, shows that it is in place.
void settle(QDBusConnection oConnection)
{
    oConnection.interface()->isServiceRegistered("org.freedesktop.DBus");
}

} // namespace

// The part of the metering core that these calls need; one call is never answered.
class CFakeRuntime : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    QByteArray m_aStored;
    int m_iReply = 2001;

public slots:
    int setRuntimeUsb(int iProcess, const QByteArray& data)
    {
        Q_UNUSED(iProcess);
        m_aStored = data;
        return m_iReply;
    }
    QByteArray getRuntimeUsb() { return m_aStored; }
    int setRuntimeGeneralNonWM(int iProcess, const QByteArray& data)
    {
        Q_UNUSED(iProcess);
        Q_UNUSED(data);
        setDelayedReply(true);
        return 0;
    }
};

// Receives broadcasts and emits the service's two bus signals.
class CPeer : public QObject
{
    Q_OBJECT

public:
    QList<QPair<int, int>> m_lNameQueries;

signals:
    void sigTrigger(int iProcess);
    void sigSendName(int iProcess, QByteArray Processname);

public slots:
    void onGetName(int iPID, int iAppID) { m_lNameQueries << qMakePair(iPID, iAppID); }
    void onMessage(const QDBusMessage& oMessage) { m_lMessages << oMessage; }

public:
    QList<QDBusMessage> m_lMessages;
};

class TestDbusCalls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void awaited_calls_give_the_first_reply_value();
    void awaited_calls_give_defaults_when_nobody_serves_the_name();
    void a_call_whose_reply_is_dropped_does_not_wait();
    void broadcasts_are_received_from_any_sender_and_path_on_the_signals_interface_only();
    void the_adaptor_relays_sigSendName_from_the_registered_path();

private:
    CPrivateBus m_oBus;
    QThread m_oServerThread;
    CFakeRuntime* m_pRuntime = nullptr;
};

void TestDbusCalls::initTestCase()
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

void TestDbusCalls::cleanupTestCase()
{
    m_oServerThread.quit();
    m_oServerThread.wait();
}

void TestDbusCalls::awaited_calls_give_the_first_reply_value()
{
    ComQuorvikVeltranoRuntimeInterface oRuntime(g_szCore, "/RuntimeData", m_oBus.connection("client"));
    QCOMPARE(awaitInt(oRuntime.setRuntimeUsb(42, QByteArray("\x00\x01\x02", 3))), 2001);
    QCOMPARE(awaitByteArray(oRuntime.getRuntimeUsb()), QByteArray("\x00\x01\x02", 3));

    // An empty answer is still an answer.
    QCOMPARE(awaitInt(oRuntime.setRuntimeUsb(42, QByteArray(""))), 2001);
    const QByteArray aEmpty = awaitByteArray(oRuntime.getRuntimeUsb());
    QVERIFY(aEmpty.isEmpty());
    QVERIFY(!aEmpty.isNull());
}

void TestDbusCalls::awaited_calls_give_defaults_when_nobody_serves_the_name()
{
    ComQuorvikVeltranoRuntimeInterface oNobody("com.Quorvik.Nobody", "/RuntimeData", m_oBus.connection("client"));
    QElapsedTimer oTimer;
    oTimer.start();
    QCOMPARE(awaitInt(oNobody.setRuntimeUsb(42, QByteArray("x"))), 0);
    QVERIFY(awaitByteArray(oNobody.getRuntimeUsb()).isNull());
    // The bus answers at once; nobody waits for a time-out.
    QVERIFY2(oTimer.elapsed() < 1000, qPrintable(QString::number(oTimer.elapsed())));
}

void TestDbusCalls::a_call_whose_reply_is_dropped_does_not_wait()
{
    ComQuorvikVeltranoRuntimeInterface oRuntime(g_szCore, "/RuntimeData", m_oBus.connection("client"));
    QElapsedTimer oTimer;
    oTimer.start();
    oRuntime.setRuntimeGeneralNonWM(42, QByteArray(309, '\0'));
    // Waiting would take the bus's 25 s time-out; the bound leaves room for a sanitizer build.
    QVERIFY2(oTimer.elapsed() < 1000, qPrintable(QString::number(oTimer.elapsed())));
}

void TestDbusCalls::broadcasts_are_received_from_any_sender_and_path_on_the_signals_interface_only()
{
    QDBusConnection oListener = m_oBus.connection("listener");
    CPeer oPeer;
    // clang-format off
    QVERIFY(subscribeBroadcast(oListener, "sigGetName", &oPeer, SLOT(onGetName ( int , int))));
    // clang-format on
    settle(oListener);

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

void TestDbusCalls::the_adaptor_relays_sigSendName_from_the_registered_path()
{
    CPeer oService;
    new SignalsAdaptor(&oService);
    QDBusConnection oServiceBus = m_oBus.connection("service");
    QVERIFY(oServiceBus.registerObject("/Signals", &oService, QDBusConnection::ExportAdaptors));

    CPeer oListener;
    QDBusConnection oListenerBus = m_oBus.connection("listener");
    QVERIFY(oListenerBus.connect(QString(), QString(), "com.Quorvik.Veltrano.Signals", "sigSendName", &oListener,
                                 SLOT(onMessage(QDBusMessage))));
    // The match rule must be in place at the bus before the signal leaves.
    settle(oListenerBus);
    emit oService.sigSendName(812, QByteArray("USB1"));

    QTRY_COMPARE_WITH_TIMEOUT(oListener.m_lMessages.size(), 1, 5000);
    const QDBusMessage oMessage = oListener.m_lMessages.first();
    QCOMPARE(oMessage.path(), QString("/Signals"));
    QCOMPARE(oMessage.interface(), QString("com.Quorvik.Veltrano.Signals"));
    QCOMPARE(oMessage.signature(), QString("iay"));
    QCOMPARE(oMessage.arguments().value(0).toInt(), 812);
    QCOMPARE(oMessage.arguments().value(1).toByteArray(), QByteArray("USB1"));
}

QTEST_GUILESS_MAIN(TestDbusCalls)
#include "test_dbuscalls.moc"
