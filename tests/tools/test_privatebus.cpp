// The private bus that the tests of all folders run on.

#include "tools/standin/cprivatebus.h"

#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <QtTest>

class CTestTestBus : public QObject
{
    Q_OBJECT

private slots:
    void unixOnly();
    void tcpReachesSameBus();
    void destructorRemovesBus();
};

void CTestTestBus::unixOnly()
{
    CPrivateBus oBus;
    QVERIFY(oBus.isRunning());
    QVERIFY(oBus.address().startsWith("unix:path="));
    QVERIFY(oBus.tcpAddress().isEmpty());
    QVERIFY(oBus.connection("unix").isConnected());
}

// A name owned over TCP is seen from the unix socket: one bus, two doors.
void CTestTestBus::tcpReachesSameBus()
{
    CPrivateBus oBus(true);
    QVERIFY(oBus.isRunning());
    QVERIFY2(oBus.tcpAddress().startsWith("tcp:host=127.0.0.1,port="), qPrintable(oBus.tcpAddress()));

    QDBusConnection oTcp = QDBusConnection::connectToBus(oBus.tcpAddress(), "tcp");
    QVERIFY2(oTcp.isConnected(), qPrintable(oTcp.lastError().message()));
    QVERIFY(oTcp.registerService("com.Quorvik.Veltrano.TestBus"));
    QVERIFY(oBus.connection("local").interface()->isServiceRegistered("com.Quorvik.Veltrano.TestBus"));
    QDBusConnection::disconnectFromBus("tcp");
}

void CTestTestBus::destructorRemovesBus()
{
    QString sAddress;
    {
        CPrivateBus oBus;
        sAddress = oBus.address();
        QVERIFY(oBus.connection("gone").isConnected());
    }
    // The connection name is free again and the old address leads nowhere.
    QVERIFY(!QDBusConnection(QStringLiteral("gone")).isConnected());
    QVERIFY(!QDBusConnection::connectToBus(sAddress, "after").isConnected());
    QDBusConnection::disconnectFromBus("after");

    const QString sSocket = sAddress.section(',', 0, 0).section('=', 1);
    QVERIFY(!QFileInfo::exists(QFileInfo(sSocket).path()));
}

QTEST_GUILESS_MAIN(CTestTestBus)
#include "test_privatebus.moc"
