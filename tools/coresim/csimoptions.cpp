#include "tools/coresim/csimoptions.h"

#include "tools/coresim/csimcommands.h"

#include <QCommandLineParser>

#include <limits>

namespace {
const char* const DESCRIPTION =
    "Stands in for the metering core that serves \"com.Quorvik.Veltrano\": serves the\n"
    "runtime, setup and logbook objects, keeps the shared runtime USB and general records\n"
    "(setRuntimeUsb, getRuntimeUsb, setRuntimeGeneralNonWM, getRuntimeGeneralNonWM, with\n"
    "sigRuntimeUsb after every write), answers every other member with the D-Bus error\n"
    "org.freedesktop.DBus.Error.NotSupported, sends the peers' broadcast signals on\n"
    "command, and prints every record it receives.\n"
    "\n"
    "Example, with the USB service running as process 1234 on the same bus:\n"
    "  veltrano-core-sim --address unix:path=/tmp/bus -c \"start 1234\"\n"
    "Commands are read from standard input as well; running in the background, give it\n"
    "</dev/null or a pipe.";

const char* const JSON_NOTE =
    "\nWith --json each line is one JSON object with an \"event\" key: ready, setRuntimeUsb,\n"
    "getRuntimeUsb, setRuntimeGeneralNonWM, getRuntimeGeneralNonWM, signal, show, refused,\n"
    "settings, help, error, exit.\n";
} // namespace

CSimOptions::CSimOptions()
    : m_bJson(false)
    , m_bWelcome(false)
{
}

CSimOptions::EResult CSimOptions::parse(const QStringList& lsArguments)
{
    QCommandLineParser oParser;
    oParser.setApplicationDescription(DESCRIPTION);
    const QCommandLineOption oHelp({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption oAddress("address",
                                      "Connect to the D-Bus bus at ADDR (default: the session bus,"
                                      " $DBUS_SESSION_BUS_ADDRESS).",
                                      "ADDR");
    const QCommandLineOption oJson("json", "Print one JSON object per line instead of readable lines.");
    const QCommandLineOption oCommand({"c", "command"}, "Run CMD once the name is taken (repeatable; in order).",
                                      "CMD");
    const QCommandLineOption oReply("reply-code", "Answer set calls with reply code N (default 1, REPLY_SUCCESS).",
                                    "N");
    const QCommandLineOption oDelay("delay", "Hold every answer to a modelled call back for MS milliseconds.", "MS");
    const QCommandLineOption oNoAnswer("no-answer", "Never answer modelled calls (as the command \"silent on\").");
    const QCommandLineOption oWelcome("welcome",
                                      "Ask every process that has not joined to join, as the core does: answer"
                                      " its heartbeat sigTrigger(PID) from /Signals with"
                                      " sigProcessStart(<sim pid>, PID).");
    oParser.addOptions({oHelp, oAddress, oJson, oCommand, oReply, oDelay, oNoAnswer, oWelcome});
    m_sHelp = oParser.helpText() + "\n" + CSimCommands::helpText() + JSON_NOTE;

    if (!oParser.parse(lsArguments)) {
        m_sError = oParser.errorText();
        return Fail;
    }
    if (oParser.isSet(oHelp)) {
        return ShowHelp;
    }
    if (!oParser.positionalArguments().isEmpty()) {
        m_sError = "unexpected argument \"" + oParser.positionalArguments().first() + "\"";
        return Fail;
    }
    m_sAddress = oParser.value(oAddress);
    m_bJson = oParser.isSet(oJson);
    m_bWelcome = oParser.isSet(oWelcome);
    m_lsCommands = oParser.values(oCommand);
    m_oSettings.m_bSilent = oParser.isSet(oNoAnswer);
    const int iMinimumCode = std::numeric_limits<int>::min();
    if ((oParser.isSet(oReply)
         && !number("--reply-code", oParser.value(oReply), iMinimumCode, &m_oSettings.m_iReplyCode))
        || (oParser.isSet(oDelay) && !number("--delay", oParser.value(oDelay), 0, &m_oSettings.m_iDelayMs))) {
        return Fail;
    }
    return Run;
}

bool CSimOptions::number(const QString& sOption, const QString& sText, int iMinimum, int* pValue)
{
    bool bOk = false;
    const int iValue = sText.toInt(&bOk);
    if (!bOk || iValue < iMinimum) {
        m_sError = QString("%1 needs a whole number%2, got \"%3\"")
                       .arg(sOption, iMinimum == 0 ? QString(" of 0 or more") : QString(), sText);
        return false;
    }
    *pValue = iValue;
    return true;
}
