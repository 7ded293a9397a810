#pragma once

#include "tools/demo/cdemostage.h"

#include <memory>

class CGuestServices;
class CVirtualMachine;

// The story on a real kernel: Debian's kernel in the test machine (QEMU, tools/vm), its udev, a
// FAT32 disk image plugged in and pulled out as a USB stick, which the real veltrano-usb in the
// guest mounts for real; the core simulator runs in the guest, veltrano-usbctl plays the peer.
class CMachineStage : public CDemoStage
{
    Q_OBJECT

public:
    explicit CMachineStage(const QString& sPreparedDir);
    ~CMachineStage() override;

    // Boots the machine, starts the simulator and a watch of the bus, and makes the stick.
    bool setUp(CStepPrinter* pPrinter) override;
    bool startService() override;
    bool join() override;
    bool plug() override;
    // Tells what veltrano-usbctl answered.
    bool requestUnmount() override;
    bool pull() override;
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

    bool hasKernel() const override;
    QStringList kernelLines(const QString& sPattern) override;
    bool triggerChange() override;
    int slowness() const override;

private:
    bool boot();
    bool makeStick();

    QString m_sPreparedDir;
    CStepPrinter* m_pPrinter = nullptr;
    std::unique_ptr<CVirtualMachine> m_pMachine;
    std::unique_ptr<CGuestServices> m_pGuest;
    QString m_sImage;
};
