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
    // SetUp starts what the service needs around it and tells what it made; Change is a
    // "change" of every disk, as packages and administrators cause it, on a stage with a kernel.
    enum class EAct { SetUp, Start, Join, Plug, Change, Unmount, Pull, Stop };

    // What has been seen of the service so far.
    struct SSeen
    {
        qint64 iPid = 0;
        bool bRunning = false;
        int iExitCode = -1;
        // Its console lines without colour codes.
        QStringList lsLines;
        // Everything the simulator received, in order.
        QList<QJsonObject> lEvents;
        // sigTrigger from "/Signals" (before the service joins) and from "/" (the heartbeat).
        int iStartTriggers = 0;
        int iHeartbeats = 0;
    };

    // What sets a stage apart in the story.
    struct SSetting
    {
        // Where the service runs, for its pid's line.
        QString sWhere;
        // How many times the emulated stage's bounds a step may take here.
        int iSlowness = 1;
        // A real kernel of its own: the story shows what it said, and sends it a change event.
        bool bHasKernel = false;
    };

    // What the service sees of the stick.
    struct SStick
    {
        // The mount table's line of /mnt/usbstick, empty when nothing is there.
        QString sMount;
        // What /mnt/usbstick/Veltrano holds.
        QStringList lsFolders;
    };

    // False with error() set. Stop is SIGTERM and a bounded wait for the end.
    virtual bool act(EAct eAct) = 0;
    // How this stage does an act, in a sentence or two for the reader; empty when it goes unsaid.
    virtual QStringList telling(EAct eAct) const = 0;
    virtual SSeen seen() const = 0;
    virtual SStick stick() const = 0;
    // The kernel's messages that match the pattern (an extended regular expression).
    virtual QStringList kernelLines(const QString& sPattern);

    SSetting setting() const;
    // The simulator's events of one kind.
    QList<QJsonObject> events(const QString& sEvent) const;
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
    CDemoStage(CStepPrinter* pPrinter, const SSetting& oSetting);

    CStepPrinter* printer() const;
    bool waitFor(const std::function<bool()>& fDone, int iTimeoutMs, bool bInterruptible);
    bool fail(const QString& sError);

private:
    CStepPrinter* m_pPrinter;
    SSetting m_oSetting;
    QString m_sError;
    bool m_bInterrupted = false;
};
