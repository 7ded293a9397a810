#pragma once

#include "records/clogbase.h"
#include "records/crunusb.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <libudev.h>

#include <functional>

class ComQuorvikVeltranoLogbookInterface;
class ComQuorvikVeltranoRuntimeInterface;
class ComQuorvikVeltranoSetupInterface;
class QSocketNotifier;
class QTimer;
class Thread;

// The USB-stick service: owns the timers, the bus proxies, the udev handles, the runtime
// USB record and the heartbeat thread. Everything runs as slots on the event-loop thread.
// The slot bodies live beside their subsystem: service/ (bus, signals, publishing) and
// usb/ (hot-plug, qualification, mounting, inspection, unmount).
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
    static constexpr int s_iTextLength = 200;
    static constexpr const char* s_szMountDir = "/mnt/usbstick";

    void readSettingsFromIniFile();
    QDBusConnection attemptConnection();
    void handleSignalNumber(int iSignal);
    void announceVersion();
    void setupLinuxSignalHandlers();
    bool OpenHotplugMonitor();
    udev_device* receiveHotplugDevice();
    void handleHotplugDevice(udev_device* pDevice);
    void handleArrival(const char* szDevName, const char* szModel, const char* szSerial, const char* szVendor);
    void handleRemoval(const char* szDevName, const char* szModel, const char* szSerial);
    void recordArrival(const char* szDeviceNode, const char* szModel, const char* szVendor);
    void recordRemoval();
    bool MountUsbStick(const char* szDeviceNode);
    bool takeOverMount(const QByteArray& aDevice, const QByteArray& aPartition);
    void detachRemovedStick(const QByteArray& aDevice);
    QByteArray detachMountsWhile(const std::function<bool(const QByteArray&)>& fDetach);
    void unmountStick(const QString& sMountPath);
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
    udev* m_pUdev = nullptr;
    udev_monitor* m_pUdevMonitor = nullptr;
    bool m_bUdevReady = false;
    CRunUsb m_oRunUsb;
    // The service's own facts about the stick. The record is merged with what peers wrote, so
    // it cannot decide which disk is in use or whether it is mounted.
    QString m_sStickNode;
    bool m_bStickMounted = false;
    bool m_bProcessStarted = false;
    QTimer* m_pTriggerTimer = nullptr;
    QSocketNotifier* m_pSignalNotifier = nullptr;
    Thread* m_pThread = nullptr;
};
