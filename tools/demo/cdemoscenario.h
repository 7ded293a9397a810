#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

class CEmulatedStage;
class CStepPrinter;

// The life of one stick, step by step: the service starts and joins, a stick is plugged in,
// mounted and inspected, released on a peer's request, pulled, and its record reset. Each
// step waits for its event with a bound; a step that does not happen in time ends the demo.
class CDemoScenario
{
public:
    CDemoScenario(CEmulatedStage* pStage, CStepPrinter* pPrinter);

    // The whole story; the exit status: 0 when every step happened.
    int run();
    // The first steps only, up to the joined service (for the interactive console).
    bool bringUp();
    // Why the demo stopped early, for the exit message.
    QString failureText() const;

private:
    bool setTheStage();
    bool startService();
    bool joinService();
    bool plugIn();
    bool inspect();
    bool releaseOnRequest();
    bool pullOut();
    bool resetFlag();
    bool stopService();

    // Starts a step: its heading, and marks from where its log lines and publications count.
    void begin(const QString& sTitle);
    bool await(const std::function<bool()>& fDone, int iTimeoutMs, const QString& sWhat);
    // The step's console lines that contain one of the needles, or are warnings.
    QStringList stepLines(const QStringList& lsNeedles, bool bWithWarnings = false) const;
    QList<QJsonObject> stepPublications() const;
    // The first publication of this step for which fMatch holds, or an empty record.
    QJsonObject stepPublication(const std::function<bool(const QJsonObject&)>& fMatch) const;
    QJsonObject lastBeforeStep() const;
    void showChanges(const QString& sLabel, const QJsonObject& oBefore, const QJsonObject& oAfter,
                     const QString& sNoChange = "(no field changed)");

    CEmulatedStage* m_pStage;
    CStepPrinter* m_pPrinter;
    int m_iStep;
    int m_iSteps;
    int m_iLineMark;
    int m_iPublicationMark;
    QString m_sFailure;
};
