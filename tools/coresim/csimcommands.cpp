#include "tools/coresim/csimcommands.h"

#include "tools/coresim/csimprinter.h"
#include "tools/coresim/csimruntime.h"

#include <QCoreApplication>
#include <QDBusMessage>

namespace {
const char* const SIGNALS_PATH = "/Signals";
const char* const SIGNALS_INTERFACE = "com.Quorvik.Veltrano.Signals";
} // namespace

CSimCommands::CSimCommands(const QDBusConnection& oConnection, CSimRuntime* pRuntime, CSimPrinter* pPrinter,
                           QObject* pParent)
    : QObject(pParent)
    , m_oConnection(oConnection)
    , m_pRuntime(pRuntime)
    , m_pPrinter(pPrinter)
    , m_iPid(int(QCoreApplication::applicationPid()))
{
}

QString CSimCommands::helpText()
{
    return QStringLiteral(
        "Commands (one per line; also with -c \"COMMAND\"):\n"
        "  start PID      broadcast sigProcessStart(<sim pid>, PID): asks the process PID to\n"
        "                 join, e.g. the USB service, which then publishes its records\n"
        "  getname PID    broadcast sigGetName(<sim pid>, PID): asks PID for its name\n"
        "  ready          broadcast sigSystemReady(<sim pid>)\n"
        "  unmount        set StartUnmountUsbDevice in the shared USB record and send\n"
        "                 sigRuntimeUsb(<sim pid>): asks the USB service to release the stick\n"
        "  show           print the shared USB record field by field, with its change\n"
        "                 flags, and the software versions of the shared general record\n"
        "  reply N        answer setRuntimeUsb/setRuntimeGeneralNonWM with reply code N\n"
        "                 (1 = REPLY_SUCCESS; anything else counts as a failure)\n"
        "  delay MS       hold every answer to a modelled call back for MS milliseconds\n"
        "  silent on|off  never answer modelled calls (the caller runs into its time-out)\n"
        "  help           this text\n"
        "  quit           end the simulator (as do SIGINT and SIGTERM)\n"
        "Empty lines and lines starting with # are ignored.\n");
}

void CSimCommands::run(const QString& sLine)
{
    const QStringList lsWords = sLine.simplified().split(' ', Qt::SkipEmptyParts);
    if (lsWords.isEmpty() || lsWords.first().startsWith('#')) {
        return;
    }
    const QString sCommand = lsWords.first().toLower();
    const QStringList lsBare = {"ready", "unmount", "show", "help", "quit"};
    if (lsBare.contains(sCommand) && lsWords.size() != 1) {
        m_pPrinter->error(QString("\"%1\" takes no arguments, got \"%2\"").arg(sCommand, lsWords.join(' ')));
        return;
    }
    int iPid = 0;
    if (sCommand == "start") {
        if (number(lsWords, "start PID", &iPid)) {
            broadcast("sigProcessStart", {m_iPid, iPid});
        }
    } else if (sCommand == "getname") {
        if (number(lsWords, "getname PID", &iPid)) {
            broadcast("sigGetName", {m_iPid, iPid});
        }
    } else if (sCommand == "ready") {
        broadcast("sigSystemReady", {m_iPid});
    } else if (sCommand == "unmount") {
        m_pRuntime->requestUnmount(m_iPid);
    } else if (sCommand == "show") {
        m_pPrinter->show(m_pRuntime->usbBytes(), m_pRuntime->generalBytes());
    } else if (sCommand == "reply") {
        setReply(lsWords);
    } else if (sCommand == "delay") {
        setDelay(lsWords);
    } else if (sCommand == "silent") {
        setSilent(lsWords);
    } else if (sCommand == "help") {
        m_pPrinter->help(helpText());
    } else if (sCommand == "quit") {
        emit quitRequested();
    } else {
        m_pPrinter->error(QString("unknown command \"%1\" (\"help\" lists the commands)").arg(lsWords.join(' ')));
    }
}

// Reads the one integer argument of a command; reports a usage error otherwise.
bool CSimCommands::number(const QStringList& lsWords, const QString& sUsage, int* pValue)
{
    bool bOk = false;
    if (lsWords.size() == 2) {
        *pValue = lsWords.at(1).toInt(&bOk);
    }
    if (!bOk) {
        m_pPrinter->error(QString("usage: %1 (a whole number), got \"%2\"").arg(sUsage, lsWords.join(' ')));
    }
    return bOk;
}

void CSimCommands::broadcast(const QString& sName, const QVariantList& lArguments)
{
    QDBusMessage oSignal = QDBusMessage::createSignal(SIGNALS_PATH, SIGNALS_INTERFACE, sName);
    oSignal.setArguments(lArguments);
    if (!m_oConnection.send(oSignal)) {
        m_pPrinter->error("could not send " + sName + ": " + m_oConnection.lastError().message());
        return;
    }
    m_pPrinter->signalSent(sName, SIGNALS_PATH, SIGNALS_INTERFACE, lArguments);
}

void CSimCommands::setReply(const QStringList& lsWords)
{
    int iCode = 0;
    if (number(lsWords, "reply N", &iCode)) {
        CSimSettings oSettings = m_pRuntime->settings();
        oSettings.m_iReplyCode = iCode;
        m_pRuntime->setSettings(oSettings);
        m_pPrinter->settings(oSettings);
    }
}

void CSimCommands::setDelay(const QStringList& lsWords)
{
    int iDelay = 0;
    if (!number(lsWords, "delay MS", &iDelay)) {
        return;
    }
    if (iDelay < 0) {
        m_pPrinter->error(QString("delay must be 0 or more milliseconds, got %1").arg(iDelay));
        return;
    }
    CSimSettings oSettings = m_pRuntime->settings();
    oSettings.m_iDelayMs = iDelay;
    m_pRuntime->setSettings(oSettings);
    m_pPrinter->settings(oSettings);
}

void CSimCommands::setSilent(const QStringList& lsWords)
{
    const QString sValue = lsWords.size() == 2 ? lsWords.at(1).toLower() : QString();
    if (sValue != "on" && sValue != "off") {
        m_pPrinter->error(QString("usage: silent on|off, got \"%1\"").arg(lsWords.join(' ')));
        return;
    }
    CSimSettings oSettings = m_pRuntime->settings();
    oSettings.m_bSilent = sValue == "on";
    m_pRuntime->setSettings(oSettings);
    m_pPrinter->settings(oSettings);
}
