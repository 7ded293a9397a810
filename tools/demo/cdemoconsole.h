#pragma once

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class CEmulatedStage;
class CLineInput;
class CStepPrinter;

// The interactive demo: commands from standard input act on the running service (plug,
// pull, unmount, status, log, help, quit). What the service publishes and the telling
// lines of its log are printed as they come. A command that sets something going is
// finished when its outcome arrives (or its bound is up) before the next one is read, so a
// piped script of commands plays out as typed ones would.
class CDemoConsole : public QObject
{
    Q_OBJECT

public:
    CDemoConsole(CEmulatedStage* pStage, CStepPrinter* pPrinter);

    // Until quit, the end of the input or interrupt(); returns the exit status.
    int run();

public slots:
    void interrupt();

private slots:
    void onLine(const QString& sLine);
    void onInputEnded();
    void onChanged();
    void onDeadline();

private:
    void runNext();
    void execute(const QString& sCommand);
    void plug();
    void pull();
    void unmount();
    void status();
    void showLog();
    void showHelp();
    void quit(int iStatus);
    // Keeps the command going until fDone holds; then fThen runs and the next command is read.
    void expect(const QString& sWhat, const std::function<bool()>& fDone, int iTimeoutMs,
                const std::function<void()>& fThen = nullptr);
    void finishCommand();
    // New publications and the telling new console lines of the service.
    void showNews();
    void showPrompt();
    void clearPrompt();
    void say(const QString& sText);
    int publicationCount() const;

    CEmulatedStage* m_pStage;
    CStepPrinter* m_pPrinter;
    CLineInput* m_pInput;
    QEventLoop m_oLoop;
    QTimer m_oDeadline;
    QStringList m_lsQueue;
    QString m_sPending;
    std::function<bool()> m_fPending;
    std::function<void()> m_fThen;
    int m_iShownLines;
    int m_iShownPublications;
    bool m_bBusy;
    bool m_bInputEnded;
    bool m_bPromptShown;
    bool m_bTerminal;
    bool m_bQuitting;
};
