#pragma once

#include "tools/demo/cdemostage.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTemporaryDir>

#include <memory>

class CCoreSimProcess;
class CPrivateBus;
class CServiceProcess;
class CStickBed;

// Everything the demo runs, none of it on the machine itself: a private bus, the core
// simulator, an emulated stick (umockdev) whose contents live on a sized tmpfs, and the
// real veltrano-usb in a private mount namespace with the vfat stand-in. The interactive
// console acts on it directly.
class CEmulatedStage : public CDemoStage
{
    Q_OBJECT

public:
    static const char* const STICK_NODE;
    static const char* const UPDATE_FILE;
    static const char* const STICK_SIZE;

    CEmulatedStage();
    ~CEmulatedStage() override;

    // Starts the bus and the simulator and prepares the service.
    bool setUp(CStepPrinter* pPrinter) override;
    bool startService() override;
    // The simulator, playing a peer, asks the service to join.
    bool join() override;
    bool plug() override;
    // The simulator, playing a peer, asks for the stick to be released.
    bool requestUnmount() override;
    bool pull() override;
    // False when the service had to be killed.
    bool stopService(int iTimeoutMs) override;
    QStringList telling(EAct eAct) const override;
    QString serviceSetting() const override;

    qint64 servicePid() const override;
    bool isServiceRunning() const override;
    int serviceExitCode() const override;
    QStringList serviceLines() const override;
    QList<QJsonObject> events(const QString& sEvent) const override;
    int triggers(const QString& sPath) const override;
    QString stickMount() const override;
    QStringList stickFolders() const override;

    bool isPlugged() const;
    CServiceProcess& service() const;
    CCoreSimProcess& sim() const;

private slots:
    void onTrigger(const QDBusMessage& oMessage);

private:
    QString busAddress() const;
    QString stickFolder() const;
    QString prepareCommand() const;

    std::unique_ptr<CStickBed> m_pSticks;
    std::unique_ptr<CPrivateBus> m_pBus;
    std::unique_ptr<CCoreSimProcess> m_pSim;
    std::unique_ptr<CServiceProcess> m_pService;
    QTemporaryDir m_oFolders;
    QDBusConnection m_oWatch;
    QString m_sStickPath;
    bool m_bPlugged;
    int m_iStartTriggers; // from the service object, before the heartbeat thread takes over
    int m_iHeartbeats;
};
