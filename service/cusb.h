#pragma once

#include "records/clogbase.h"
#include "records/crunusb.h"
#include "usb/cstickmounter.h"
#include "usb/cstickwatcher.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <libudev.h>

class ComQuorvikVeltranoLogbookInterface;
class ComQuorvikVeltranoRuntimeInterface;
class ComQuorvikVeltranoSetupInterface;
class QSocketNotifier;
class QTimer;
class Thread;

// The USB-stick service, the one object the peers meet: owns the timers, the bus proxies, the
// runtime USB record and the heartbeat thread, and is the only place that publishes. The device
// work is usb/'s: the watcher (with the udev handles) reports sticks, the mounter mounts,
// inspects and unmounts them. Everything runs as slots on the event-loop thread.
class CUsb : public QObject
{
    Q_OBJECT

public:
    explicit CUsb(QObject* parent);
    virtual ~CUsb();

signals:
    void sigTrigger(int iProcess);
    void sigSendName(int iProcess, QByteArray Processname);

private slots:
    void connectDbus();
    void Signal_sigRuntimeUsb(int iProcessID);
    void UnmountUsbDevice(bool bRemoved = false);
    void ResetUSBFlag();
    void handleLinuxSignal();
    void check_usb();
    void CheckMount(const char* szMountDir);
    void SendDbus();
    bool CheckUSBDevice(udev_device* device, char* pID_MODEL, int iID_ModelLength, char* pID_SERIAL,
                        int iID_SERIALLength, char* pDEVNAME, int iDEVNAMELength, char* pVENDOR, int iVENDORLength,
                        bool* bDeviceAdded);
    bool CheckUpdateDir(const char* szUpdateDir);
    void CreateLogEntry(CLogBase::ELogSubType eLogSubType);
    bool StartupUdev();
    void onsigSystemReady(int iPID);
    void onsigProcessStart(int iProcess, int iAppID);
    void onsigGetName(int iPID, int iAppID);
    void SendsigTrigger();
    void checkBusConnection();
    void onCoreOwnerChanged(const QString& sService, const QString& sOldOwner, const QString& sNewOwner);
    void handlePendingSignals();

private:
    // Shared by the bus set-up, the poll, the mounting and the unmount handling.
    static constexpr int s_iPollInterval = 1000;

    void readSettingsFromIniFile();
    QDBusConnection attemptConnection();
    void handleSignalNumber(int iSignal);
    void announceVersion();
    void setupLinuxSignalHandlers();
    bool handleArrival(const CStick& oStick);
    void handleRemoval(const CStick& oStick);
    bool MountUsbStick(const char* szDeviceNode);
    void publishRuntimeUsb(bool bLineEndOnFailure);
    QByteArray fetchRuntimeUsb();

    ComQuorvikVeltranoSetupInterface* m_pSetup = nullptr;
    ComQuorvikVeltranoRuntimeInterface* m_pRuntime = nullptr;
    ComQuorvikVeltranoLogbookInterface* m_pLogbook = nullptr;
    QTimer* m_pDbusTimer = nullptr;
    QTimer* m_pUsbTimer = nullptr;
    QTimer* m_pUnmountTimer = nullptr;
    QTimer* m_pResetTimer = nullptr;
    int m_iPid = 0;
    int m_iUseSessionBus = 0;
    QString m_sTcpBusAddress;
    QString m_sTcpBusName;
    int m_iDbusConnectionRetry = 0;
    int m_iSetupPollRate = 0;
    int m_iDbusRetryCount = 0;
    // The bus of the service once connected (session or TCP), watched on the poll tick.
    QDBusConnection m_oBus = QDBusConnection(QString());
    // The record is merged with what peers wrote, so it cannot decide which disk is in use or
    // whether it is mounted: the watcher and the mounter keep those facts.
    CStickWatcher m_oWatcher;
    CStickMounter m_oMounter;
    CRunUsb m_oRunUsb;
    bool m_bProcessStarted = false;
    QTimer* m_pTriggerTimer = nullptr;
    QSocketNotifier* m_pSignalNotifier = nullptr;
    Thread* m_pThread = nullptr;
};
