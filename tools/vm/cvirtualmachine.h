#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QLocalSocket>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real kernel for the tests and the demo: Debian's kernel package booted under QEMU (software
// emulation), with this machine's root shared read-only and a memory overlay on top, the real
// systemd-udevd and a private bus inside (tools/vm). The host runs shell commands in the
// guest through an agent on a virtio serial port, and plugs and pulls USB sticks through QMP.
//
//     CVirtualMachine oMachine(CVirtualMachine::defaultDir());
//     QVERIFY2(oMachine.boot(), qPrintable(oMachine.error()));
//     oMachine.plug("stick1", oMachine.makeStick("fat16"));  // usb-storage on the xHCI bus
//     CVirtualMachine::SResult oResult = oMachine.run("grep usbstick /proc/mounts");
//
// The guest sees shareDir() as /run/vm. The destructor ends QEMU and removes the folder.
//
// A folder that make-image made boots Debian with systemd as PID 1 instead: its own kernel and
// root (through a qcow2 overlay, so the image stays clean), the agent as a unit of it, the same
// shared folder, QMP and xHCI bus.
//
// The prepared folder says the guest's architecture. An arm64 guest (a "virt" board) runs on a
// root of its own that prepare made; of this machine it sees only the folders of the guest's
// second stage and of the prepared kernel, and the host folders given, at the same paths.
class CVirtualMachine
{
public:
    struct SResult
    {
        int iStatus = -1; // -1: no answer in time
        QByteArray aOutput;
    };

    explicit CVirtualMachine(const QString& sPreparedDir, const QStringList& lHostFolders = {});
    ~CVirtualMachine();

    CVirtualMachine(const CVirtualMachine&) = delete;
    CVirtualMachine& operator=(const CVirtualMachine&) = delete;

    // What prepare made in the build folder, or another build's that VELTRANO_VM_DIR names
    // (a cross build's, for a guest of its architecture).
    static QString defaultDir();

    // Makes a stick's disk image in the machine's folder with make-stick and gives its path,
    // empty on failure: a kind of make-stick's ("fat16", "mbr-fat32", "mac-gpt", "exfat-mbr",
    // "ext4", "blank", ...), with folders ("a/b/") and small files on FAT and exFAT. An exFAT
    // stick with entries is made inside the running guest (make-stick on this machine's root,
    // through the guest kernel's exFAT): on a prepared amd64 machine only.
    QString makeStick(const QString& sKind, const QStringList& lEntries = {});

    // Boots and waits for the guest's agent; false with error() set.
    bool boot(int iTimeoutMs = 180000);
    // A booted image's guest restarts through systemd and comes up again on the same disk,
    // with the same sticks plugged in; waits for its agent. False with error() set.
    bool reboot(int iTimeoutMs = 180000);
    // Whether the folder holds a booted image (make-image) rather than a prepared kernel.
    bool isBooted() const;
    QString error() const;
    // The guest kernel's version, as the agent reported it.
    QString kernelVersion() const;

    // One shell command line in the guest (bash -c), standard output and error together.
    SResult run(const QString& sCommand, int iTimeoutMs = 60000);

    // Plugs an image file in as a USB stick; a read-only one is write-protected for the guest.
    bool plug(const QString& sId, const QString& sImage, bool bReadOnly = false);
    // Pulls the stick out and waits until QEMU has let go of it.
    bool pull(const QString& sId);
    // Takes the medium out of a plugged stick, as of a card reader whose card is taken out:
    // the device stays, its size drops to 0.
    bool eject(const QString& sId);

    // Host folder that the guest sees as /run/vm.
    QString shareDir() const;
    // What the guest kernel printed on its serial console.
    QByteArray console() const;

private:
    QJsonObject qmp(const QJsonObject& oCommand, int iTimeoutMs = 10000);
    bool waitForEvent(const QString& sEvent, const QString& sDevice, int iTimeoutMs);
    bool readQmpLine(int iTimeoutMs, QJsonObject* pMessage);
    bool connectSocket(QLocalSocket* pSocket, const QString& sPath, int iTimeoutMs);
    QByteArray readLine(QLocalSocket* pSocket, int iTimeoutMs);
    // The guest's kernel, initramfs and root: of a prepared folder, or of a booted image.
    bool preparedArguments(bool bArm64, QStringList* pArguments);
    bool bootedArguments(bool bArm64, QStringList* pArguments);
    // What both kinds have: emulation, memory, the shared folder, the agent, QMP, the xHCI bus.
    QStringList machineArguments(bool bArm64) const;
    bool fail(const QString& sError);

    QString m_sPreparedDir;
    QStringList m_lHostFolders;
    QTemporaryDir m_oDir;
    QProcess m_oQemu;
    QLocalSocket m_oAgent;
    QLocalSocket m_oQmp;
    QList<QJsonObject> m_lEvents;
    QString m_sError;
    QString m_sKernelVersion;
    int m_iSticks = 0;
};
