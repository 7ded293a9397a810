#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

class CVirtualMachine;

// The core simulator and the real veltrano-usb inside a test machine, on the guest's private
// bus, started from programDir() (the guest sees that folder at the same path). What they did
// is read from the folder the guest shares with the host: the simulator's JSON lines and the
// daemon's console.
class CGuestServices
{
public:
    explicit CGuestServices(CVirtualMachine* pMachine);

    // The folder the guest starts the programs from: this build's bin folder, or another
    // build's that VELTRANO_VM_BIN_DIR names (a cross build's, for a guest of its architecture).
    static QString programDir();

    // The simulator as the core; waits until it serves the name. False with error() set.
    bool startCore();
    // The daemon, with every console line shown (Display_Level 0). False with error() set.
    bool startService();
    // Until the daemon has ended; then the status it ended with (128 + the signal that killed it).
    bool isServiceRunning() const;
    int serviceExitCode() const;
    // Asks the daemon to join until it does, and waits for its first publication.
    bool join();
    // Ends the daemon with SIGTERM and waits for it. A daemon started again writes its console
    // anew, while the simulator keeps what it received.
    bool stopService();
    QString error() const;
    int servicePid() const;

    QList<QJsonObject> events(const QString& sEvent) const;
    // The records the daemon published: the simulator's setRuntimeUsb events.
    QList<QJsonObject> publications() const;
    // The records that the daemon of process iPid published.
    QList<QJsonObject> publishedBy(int iPid) const;
    QJsonObject lastRecord() const;
    // The daemon's console lines without colour codes.
    QStringList lines() const;
    // The message items of the console lines that contain the needle.
    QStringList linesWith(const QString& sNeedle) const;
    int count(const QString& sNeedle) const;
    // The guest's /proc/mounts line of /mnt/usbstick, empty when nothing is mounted there.
    QString stickMount() const;

    // The command line that runs one of our programs in the guest, on the guest's bus.
    static QString onBus(const QString& sProgramAndArguments);
    // The same for any command line of the guest.
    static QString withBus(const QString& sCommand);

private:
    QByteArray shared(const QString& sName) const;
    bool fail(const QString& sError);

    CVirtualMachine* m_pMachine;
    int m_iServicePid = 0;
    QString m_sError;
};
