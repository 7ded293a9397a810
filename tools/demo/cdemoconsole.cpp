#include "tools/demo/cdemoconsole.h"

#include "tools/common/clineinput.h"
#include "tools/demo/cemulatedstage.h"
#include "tools/demo/crecordtext.h"
#include "tools/demo/cstepprinter.h"
#include "tools/standin/ccoresimprocess.h"
#include "tools/standin/cserviceprocess.h"

#include <cstdio>
#include <unistd.h>

namespace {
const int PLUG_TIMEOUT_MS = 12000; // up to 5 s without polling after an unmount, 3 s settling
const int PULL_TIMEOUT_MS = 12000;
const int UNMOUNT_TIMEOUT_MS = 6000;
const int STATUS_TIMEOUT_MS = 3000;
const int LOG_LINES = 20;

// Debug lines worth showing as they come; every warning is shown anyway.
const char* const TELLING[] = {"USB-Device added",
                               "USB-Device removed",
                               "Found update file",
                               "No valid update file",
                               "directory exists",
                               "'statvfs' reports",
                               "'Signal_sigRuntimeUsb' received",
                               "getStartUnmountUsbDevice",
                               "ResetUSBFlag"};

bool isTelling(const QString& sLine)
{
    if (sLine.contains(" W: ")) {
        return true;
    }
    for (const char* szNeedle : TELLING) {
        if (sLine.contains(QLatin1String(szNeedle))) {
            return true;
        }
    }
    return false;
}
} // namespace

CDemoConsole::CDemoConsole(CEmulatedStage* pStage, CStepPrinter* pPrinter)
    : m_pStage(pStage)
    , m_pPrinter(pPrinter)
    , m_pInput(new CLineInput(this))
    , m_iShownLines(0)
    , m_iShownPublications(0)
    , m_bBusy(false)
    , m_bInputEnded(false)
    , m_bPromptShown(false)
    , m_bTerminal(isatty(STDIN_FILENO) == 1)
    , m_bQuitting(false)
{
    m_oDeadline.setSingleShot(true);
    connect(&m_oDeadline, &QTimer::timeout, this, &CDemoConsole::onDeadline);
    connect(m_pInput, &CLineInput::lineRead, this, &CDemoConsole::onLine);
    connect(m_pInput, &CLineInput::ended, this, &CDemoConsole::onInputEnded);
}

int CDemoConsole::run()
{
    m_pPrinter->heading("Your turn");
    showHelp();
    m_iShownLines = static_cast<int>(m_pStage->process().lines().size());
    m_iShownPublications = publicationCount();
    connect(m_pStage, &CEmulatedStage::changed, this, &CDemoConsole::onChanged);
    if (!m_pInput->start()) {
        say("standard input is closed: nothing to do");
        return 0;
    }
    showPrompt();
    const int iStatus = m_oLoop.exec();

    disconnect(m_pStage, &CEmulatedStage::changed, this, &CDemoConsole::onChanged);
    if (m_pStage->process().isRunning()) {
        m_pPrinter->plain(m_pPrinter->stamp() + " stopping the service (SIGTERM)");
        m_pStage->act(CDemoStage::EAct::Stop);
    }
    m_pPrinter->plain(
        QString("%1 the service ended with status %2").arg(m_pPrinter->stamp()).arg(m_pStage->process().exitCode()));
    return iStatus;
}

void CDemoConsole::interrupt()
{
    say("interrupted");
    quit(0);
}

void CDemoConsole::onLine(const QString& sLine)
{
    const QString sCommand = sLine.simplified();
    if (!sCommand.isEmpty()) {
        m_lsQueue << sCommand;
    }
    runNext();
}

void CDemoConsole::onInputEnded()
{
    m_bInputEnded = true;
    runNext();
}

void CDemoConsole::onChanged()
{
    showNews();
    if (!m_pStage->process().isRunning() && !m_bQuitting) {
        // Ctrl-C reaches the whole process group, so the service may see it first.
        const bool bBySignal = m_pStage->isInterrupted() && m_pStage->process().exitCode() == 0;
        say(QString("the service has ended (status %1)").arg(m_pStage->process().exitCode()));
        quit(bBySignal ? 0 : 1);
        return;
    }
    if (m_fPending && m_fPending()) {
        finishCommand();
    }
}

void CDemoConsole::onDeadline()
{
    say(QString("%1 did not happen in time").arg(m_sPending));
    m_fThen = nullptr;
    finishCommand();
}

void CDemoConsole::runNext()
{
    if (m_bBusy || m_bQuitting) {
        return;
    }
    if (m_lsQueue.isEmpty()) {
        if (m_bInputEnded) {
            say("end of input");
            quit(0);
        }
        return;
    }
    const QString sCommand = m_lsQueue.takeFirst();
    if (!m_bTerminal) {
        m_pPrinter->plain("> " + sCommand); // so that a piped script reads like a session
    }
    m_bPromptShown = false;
    m_bBusy = true;
    execute(sCommand);
}

void CDemoConsole::execute(const QString& sCommand)
{
    const QString sWord = sCommand.toLower();
    if (sWord == "plug") {
        plug();
    } else if (sWord == "pull") {
        pull();
    } else if (sWord == "unmount") {
        unmount();
    } else if (sWord == "status") {
        status();
    } else if (sWord == "log") {
        showLog();
    } else if (sWord == "help") {
        showHelp();
    } else if (sWord == "quit" || sWord == "exit") {
        quit(0);
    } else {
        say("unknown command \"" + sCommand + "\" (\"help\" lists the commands)");
    }
    if (!m_fPending && !m_bQuitting) {
        finishCommand();
    }
}

void CDemoConsole::plug()
{
    if (m_pStage->isPlugged()) {
        say("a stick is plugged in already; \"pull\" it first");
        return;
    }
    const int iMark = publicationCount();
    m_pStage->act(CDemoStage::EAct::Plug);
    say(QString("stick %1 plugged in (umockdev sent \"add\"); it is mounted after 3 s of settling")
            .arg(CEmulatedStage::STICK_NODE));
    expect(
        "the mount of the stick",
        [this, iMark] {
            const QList<QJsonObject> lRecords = m_pStage->sim().publications().mid(iMark);
            return !lRecords.isEmpty() && lRecords.last().value("UsbDeviceState").toInt() == 2;
        },
        PLUG_TIMEOUT_MS);
}

void CDemoConsole::pull()
{
    if (!m_pStage->isPlugged()) {
        say("no stick is plugged in");
        return;
    }
    const int iMark = publicationCount();
    m_pStage->act(CDemoStage::EAct::Pull);
    say(QString("stick %1 pulled out (umockdev sent \"remove\")").arg(CEmulatedStage::STICK_NODE));
    expect(
        "the cleared record",
        [this, iMark] {
            const QList<QJsonObject> lRecords = m_pStage->sim().publications().mid(iMark);
            return !lRecords.isEmpty() && lRecords.last().value("UsbDeviceState").toInt() == 0
                   && lRecords.last().value("UsbDeviceUnmounted").toBool();
        },
        PULL_TIMEOUT_MS, [this] { say("UsbDeviceUnmounted stays set for 5 s, then the service clears it"); });
}

void CDemoConsole::unmount()
{
    const int iMark = m_pStage->process().count("m_pUsbTimer");
    m_pStage->act(CDemoStage::EAct::Unmount);
    say("the simulator, as a peer, set StartUnmountUsbDevice and sent sigRuntimeUsb; the service looks 1 s later");
    expect(
        "the service's answer", [this, iMark] { return m_pStage->process().count("m_pUsbTimer") > iMark; },
        UNMOUNT_TIMEOUT_MS);
}

void CDemoConsole::status()
{
    const int iMark = static_cast<int>(m_pStage->sim().events("show").size());
    m_pStage->sim().command("show");
    expect(
        "the simulator's answer", [this, iMark] { return m_pStage->sim().events("show").size() > iMark; },
        STATUS_TIMEOUT_MS,
        [this] {
            const QJsonObject oShow = m_pStage->sim().events("show").last();
            m_pPrinter->item("shared USB record", CRecordText::fieldLines(oShow.value("record").toObject()));
            m_pPrinter->item("versions",
                             QString("USB = \"%1\"").arg(oShow.value("swVersions").toObject().value("USB").toString()));
            m_pPrinter->item("stick plugged in", m_pStage->isPlugged() ? "yes" : "no");
            m_pPrinter->item("mounted", m_pStage->process().isStickMounted()
                                            ? "yes, at /mnt/usbstick in the service's namespace"
                                            : "no");
        });
}

void CDemoConsole::showLog()
{
    const QStringList lsLines = m_pStage->process().lines();
    QStringList lsShown;
    for (const QString& sLine : lsLines) {
        const QString sText = m_pPrinter->logLine(sLine);
        if (!sText.isEmpty()) {
            lsShown << "  " + sText;
        }
    }
    for (const QString& sText : lsShown.mid(qMax(0, static_cast<int>(lsShown.size()) - LOG_LINES))) {
        m_pPrinter->plain(sText);
    }
}

void CDemoConsole::showHelp()
{
    m_pPrinter->item("plug", "plug the emulated stick in");
    m_pPrinter->item("pull", "pull it out");
    m_pPrinter->item("unmount", "a peer asks the service to release the stick");
    m_pPrinter->item("status", "the shared USB record as the metering core (the simulator) holds it");
    m_pPrinter->item("log", QString("the service's last %1 console lines").arg(LOG_LINES));
    m_pPrinter->item("help", "this list");
    m_pPrinter->item("quit", "stop everything and leave (so do Ctrl-C and the end of the input)");
}

void CDemoConsole::quit(int iStatus)
{
    if (m_bQuitting) {
        return;
    }
    m_bQuitting = true;
    m_oDeadline.stop();
    m_fPending = nullptr;
    m_oLoop.exit(iStatus);
}

void CDemoConsole::expect(const QString& sWhat, const std::function<bool()>& fDone, int iTimeoutMs,
                          const std::function<void()>& fThen)
{
    m_sPending = sWhat;
    m_fPending = fDone;
    m_fThen = fThen;
    m_oDeadline.start(iTimeoutMs);
    if (fDone()) {
        finishCommand();
    }
}

void CDemoConsole::finishCommand()
{
    m_oDeadline.stop();
    m_fPending = nullptr;
    showNews();
    if (m_fThen) {
        const std::function<void()> fThen = m_fThen;
        m_fThen = nullptr;
        fThen();
    }
    m_bBusy = false;
    showPrompt();
    runNext();
}

void CDemoConsole::showNews()
{
    const QStringList lsLines = m_pStage->process().lines();
    const QList<QJsonObject> lRecords = m_pStage->sim().publications();
    if (lsLines.size() == m_iShownLines && lRecords.size() == m_iShownPublications) {
        return;
    }
    clearPrompt();
    for (const QString& sLine : lsLines.mid(m_iShownLines)) {
        if (isTelling(sLine)) {
            m_pPrinter->plain("  " + m_pPrinter->logLine(sLine));
        }
    }
    m_iShownLines = static_cast<int>(lsLines.size());
    for (int i = m_iShownPublications; i < lRecords.size(); ++i) {
        const QStringList lsChanges = CRecordText::changeLines(i > 0 ? lRecords[i - 1] : QJsonObject(), lRecords[i]);
        m_pPrinter->plain(QString("  %1 record published (#%2)").arg(m_pPrinter->stamp()).arg(i + 1));
        for (const QString& sChange : lsChanges.isEmpty() ? QStringList {"(no field changed)"} : lsChanges) {
            m_pPrinter->plain("      " + sChange);
        }
    }
    m_iShownPublications = static_cast<int>(lRecords.size());
    showPrompt();
}

void CDemoConsole::showPrompt()
{
    if (m_bTerminal && !m_bBusy && !m_bQuitting && !m_bPromptShown) {
        std::fputs("> ", stdout);
        std::fflush(stdout);
        m_bPromptShown = true;
    }
}

// News may come while the prompt waits for a command; the prompt is shown again after it.
void CDemoConsole::clearPrompt()
{
    if (m_bPromptShown) {
        std::fputs("\r", stdout);
        m_bPromptShown = false;
    }
}

void CDemoConsole::say(const QString& sText)
{
    clearPrompt();
    m_pPrinter->plain(m_pPrinter->stamp() + " " + sText);
}

int CDemoConsole::publicationCount() const
{
    return static_cast<int>(m_pStage->sim().publications().size());
}
