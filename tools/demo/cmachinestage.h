#pragma once

#include "tools/demo/cdemostage.h"

#include <memory>

class CGuestServices;
class CVirtualMachine;

// The story on a real kernel: Debian's kernel in the test machine (QEMU, tools/vm), its udev, a
// FAT32 disk image plugged in and pulled out as a USB stick, then an exFAT one, which the real
// veltrano-usb in the guest mounts for real; the core simulator runs in the guest,
// veltrano-usbctl plays the peer.
class CMachineStage : public CDemoStage
{
    Q_OBJECT

public:
    CMachineStage(CStepPrinter* pPrinter, const QString& sPreparedDir);
    ~CMachineStage() override;

    // SetUp boots the machine, starts the simulator and a watch of the bus, and makes the
    // sticks; each Plug plugs the next one in; Unmount tells what veltrano-usbctl answered.
    bool act(EAct eAct) override;
    QStringList telling(EAct eAct) const override;
    SSeen seen() const override;
    SStick stick() const override;
    QStringList kernelLines(const QString& sPattern) override;

private:
    bool setUp();
    bool boot();
    bool makeSticks();
    bool requestUnmount();
    // A command in the guest, its output trimmed.
    QString guestOutput(const QString& sCommand) const;
    // A file the guest writes into the folder it shares with the host.
    QByteArray shared(const QString& sName) const;

    QString m_sPreparedDir;
    // In this order, so that the guest's services end before the machine they run in.
    std::unique_ptr<CVirtualMachine> m_pMachine;
    std::unique_ptr<CGuestServices> m_pGuest;
    QStringList m_lImages;
    int m_iPlugs = 0;
};
