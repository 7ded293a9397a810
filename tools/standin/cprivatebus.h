#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A private D-Bus daemon for a test or the demo, so that nothing reaches the machine's own bus.
//
// The constructor starts `dbus-daemon --nofork --print-address` with a session-bus style
// configuration in a temporary directory: it listens on a unix socket there and, when asked,
// also on TCP 127.0.0.1 at a free port. Anyone may own any name and send anything.
// The destructor closes the connections handed out by connection(), stops the daemon and
// removes the directory. Should the test process die first, the daemon is ended with it.
//
// In-process use:
//     CPrivateBus oBus;
//     QVERIFY(oBus.isRunning());
//     QDBusConnection oConnection = oBus.connection("server");
//
// For a child process, put address() (or tcpAddress()) into its DBUS_SESSION_BUS_ADDRESS.
class CPrivateBus
{
public:
    // A TCP port of 0 lets the daemon pick a free one.
    explicit CPrivateBus(bool bListenOnTcp = false, quint16 uiTcpPort = 0);
    ~CPrivateBus();

    CPrivateBus(const CPrivateBus&) = delete;
    CPrivateBus& operator=(const CPrivateBus&) = delete;

    // False when the daemon could not be started; the reason has been logged as a warning.
    bool isRunning() const;

    // The unix socket address, e.g. "unix:path=/tmp/veltrano-bus-XXXXXX/bus,guid=...".
    QString address() const;

    // "tcp:host=127.0.0.1,port=<n>,family=ipv4,guid=..." when constructed with TCP, else empty.
    QString tcpAddress() const;

    // A connection to address() under the given Qt connection name (unique per test process).
    QDBusConnection connection(const QString& sName);

private:
    bool writeConfig(bool bListenOnTcp);
    bool startDaemon();
    void stopDaemon();

    QTemporaryDir m_oDir;
    QProcess m_oDaemon;
    QString m_sAddress;
    QString m_sTcpAddress;
    QStringList m_oConnectionNames;
    quint16 m_uiTcpPort;
};
