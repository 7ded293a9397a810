#pragma once

#include "tools/demo/cdemostage.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

class CStepPrinter;

// The life of one stick, step by step: the service starts and joins, a stick is plugged in,
// mounted and inspected, released on a peer's request, pulled, and its record reset. Each
// step waits for its event with a bound; a step that does not happen in time ends the demo.
// The same story on either stage; a stage with a kernel of its own also shows what the kernel
// said, keeps the stick through a "change" of every disk, and mounts an exFAT stick after it.
class CDemoScenario
{
public:
    CDemoScenario(CDemoStage* pStage, CStepPrinter* pPrinter);

    // The whole story; the exit status: 0 when every step happened.
    int run();
    // The first steps only, up to the joined service (for the interactive console).
    bool bringUp();
    // Why the demo stopped early, for the exit message.
    QString failureText() const;

private:
    // What a step does after its heading and its act: waits for the outcome and tells it.
    bool startService();
    bool joinService();
    bool plugIn();
    bool inspect();
    bool tellExfat();
    bool keepThroughChange();
    bool releaseOnRequest();
    bool pullOut();
    bool resetFlag();
    bool stopService();

    // One step: its heading, fStep, and its time when fStep did it all. Its log lines and
    // publications count from the heading on.
    bool step(const QString& sTitle, const std::function<bool()>& fStep);
    // Tells how the stage does the act, and does it.
    bool act(CDemoStage::EAct eAct);
    bool failure(const QString& sWhy);
    // A step's bound on this stage.
    int bound(int iTimeoutMs) const;
    bool await(const std::function<bool()>& fDone, int iTimeoutMs, const QString& sWhat);
    // The step's console lines that contain one of the needles, or are warnings.
    QStringList stepLines(const QStringList& lsNeedles, bool bWithWarnings = false) const;
    QList<QJsonObject> stepPublications() const;
    // The first publication of this step for which fMatch holds, or an empty record.
    QJsonObject stepPublication(const std::function<bool(const QJsonObject&)>& fMatch) const;
    QJsonObject lastBeforeStep() const;
    void showChanges(const QString& sLabel, const QJsonObject& oBefore, const QJsonObject& oAfter,
                     const QString& sNoChange = "(no field changed)");

    CDemoStage* m_pStage;
    CStepPrinter* m_pPrinter;
    int m_iStep;
    int m_iSteps;
    int m_iLineMark;
    int m_iPublicationMark;
    QString m_sFailure;
};
