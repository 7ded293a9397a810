#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class CCoreSimProcess;
class CPrivateBus;
class CServiceProcess;
class CStickBed;

// Everything the demo runs, none of it on the machine itself: a private bus, the core
// simulator, an emulated stick (umockdev) whose contents live on a sized tmpfs, and the
// real veltrano-usb in a private mount namespace with the vfat stand-in.
class CEmulatedStage : public QObject
{
    Q_OBJECT

public:
    static const char* const STICK_NODE;
    static const char* const UPDATE_FILE;
    static const char* const STICK_SIZE;

    CEmulatedStage();
    ~CEmulatedStage() override;

    // Starts the bus and the simulator and prepares the service; false with error() set.
    bool setUp();
    bool startService();
    QString error() const;

    // Waits, on the event loop, until fDone holds, the time is up, the demo is interrupted
    // or the service has ended; returns fDone().
    bool waitUntil(const std::function<bool()>& fDone, int iTimeoutMs);
    // Ends every wait at once (Ctrl-C).
    void interrupt();
    // Ctrl-C was pressed (seen by the demo or by the service).
    bool isInterrupted() const;

    // The simulator, playing a peer, asks the service to join.
    void join();
    // The service answered the request to join: it read the shared record and published.
    bool hasJoined() const;
    // The service sent its first trigger, so it listens to its peers.
    bool isListening() const;
    int heartbeats() const;

    bool isPlugged() const;
    void plug();
    void pull();
    // The simulator, playing a peer, asks for the stick to be released.
    void requestUnmount();
    // Stops the service with SIGTERM and waits for it; false when it had to be killed.
    bool stopService(int iTimeoutMs);

    CServiceProcess& service() const;
    CCoreSimProcess& sim() const;
    QString busAddress() const;
    QString stickFolder() const;
    // What the service published so far: the records the simulator received.
    QList<QJsonObject> publications() const;

signals:
    // Something arrived: a console line, a simulator event, a trigger, the service's end.
    void changed();

private slots:
    void onTrigger(const QDBusMessage& oMessage);

private:
    bool waitFor(const std::function<bool()>& fDone, int iTimeoutMs, bool bInterruptible);
    QString prepareCommand() const;

    std::unique_ptr<CStickBed> m_pSticks;
    std::unique_ptr<CPrivateBus> m_pBus;
    std::unique_ptr<CCoreSimProcess> m_pSim;
    std::unique_ptr<CServiceProcess> m_pService;
    QTemporaryDir m_oFolders;
    QDBusConnection m_oWatch;
    QString m_sStickPath;
    QString m_sError;
    bool m_bPlugged;
    bool m_bInterrupted;
    int m_iStartTriggers; // from the service object, before the heartbeat thread takes over
    int m_iHeartbeats;
};
