#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class CStepPrinter;

// Where the demo's story plays: a stage sets up a bus, the core simulator and a stick, runs
// the real veltrano-usb, and acts on it as a person or a peer would. The story (CDemoScenario)
// tells what the service makes of each act; the stage says how it did the act. The emulated
// bed (CEmulatedStage) and the test machine on a real kernel (CMachineStage) are the two.
class CDemoStage : public QObject
{
    Q_OBJECT

public:
    enum class EAct { Join, Plug, Unmount, Pull };

    // Each act: false with error() set.
    // Starts what the service needs around it and tells what it made; later acts may tell
    // what they saw through the same printer.
    virtual bool setUp(CStepPrinter* pPrinter) = 0;
    virtual bool startService() = 0;
    // A peer asks the service to join.
    virtual bool join() = 0;
    virtual bool plug() = 0;
    // A peer asks for the stick to be released.
    virtual bool requestUnmount() = 0;
    virtual bool pull() = 0;
    // SIGTERM, and waits for the end; false when it did not come in time.
    virtual bool stopService(int iTimeoutMs) = 0;
    // How this stage does an act, in a sentence or two for the reader.
    virtual QStringList telling(EAct eAct) const = 0;
    // Where the service runs, for its pid's line.
    virtual QString serviceSetting() const = 0;

    virtual qint64 servicePid() const = 0;
    virtual bool isServiceRunning() const = 0;
    virtual int serviceExitCode() const = 0;
    // The daemon's console lines without colour codes.
    virtual QStringList serviceLines() const = 0;
    // The simulator's events of one kind.
    virtual QList<QJsonObject> events(const QString& sEvent) const = 0;
    // The sigTrigger signals sent from the path: "/Signals" before joining, "/" the heartbeat.
    virtual int triggers(const QString& sPath) const = 0;
    // The mount table's line of /mnt/usbstick as the service sees it, empty when nothing is there.
    virtual QString stickMount() const = 0;
    // What the service sees in /mnt/usbstick/Veltrano.
    virtual QStringList stickFolders() const = 0;

    // A real kernel of its own: the scenario shows what it said, and sends it a change event.
    virtual bool hasKernel() const;
    // The kernel's messages that match the pattern (an extended regular expression).
    virtual QStringList kernelLines(const QString& sPattern);
    // A "change" of every disk, as packages and administrators cause it.
    virtual bool triggerChange();
    // How many times the emulated stage's bounds a step may take here.
    virtual int slowness() const;

    // The service's publications: the setRuntimeUsb events it sent (a peer's writes left out).
    QList<QJsonObject> publications() const;
    QString error() const;
    // Waits, on the event loop, until fDone holds, the time is up, the demo is interrupted or
    // the service has ended; returns fDone().
    bool waitUntil(const std::function<bool()>& fDone, int iTimeoutMs);
    // Ends every wait at once (Ctrl-C).
    void interrupt();
    // Ctrl-C was pressed (seen by the demo or by the service).
    bool isInterrupted() const;

signals:
    // Something arrived that a wait may be waiting for.
    void changed();

protected:
    bool waitFor(const std::function<bool()>& fDone, int iTimeoutMs, bool bInterruptible);
    bool fail(const QString& sError);

private:
    QString m_sError;
    bool m_bInterrupted = false;
};
