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
// real veltrano-usb in a private mount namespace with the vfat stand-in. The simulator plays
// the peer. The interactive console acts on it directly.
class CEmulatedStage : public CDemoStage
{
    Q_OBJECT

public:
    static const char* const STICK_NODE;
    static const char* const UPDATE_FILE;
    static const char* const STICK_SIZE;

    explicit CEmulatedStage(CStepPrinter* pPrinter);
    ~CEmulatedStage() override;

    // Stop: false when the service had to be killed. Change: this stage has no kernel to ask.
    bool act(EAct eAct) override;
    QStringList telling(EAct eAct) const override;
    SSeen seen() const override;
    SStick stick() const override;

    bool isPlugged() const;
    CServiceProcess& process() const;
    CCoreSimProcess& sim() const;

private slots:
    void onTrigger(const QDBusMessage& oMessage);

private:
    bool setUp();
    void plug();
    bool stop(int iTimeoutMs);
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
    bool m_bPlugged = false;
    int m_iStartTriggers = 0; // from the service object, before the heartbeat thread takes over
    int m_iHeartbeats = 0;
};
