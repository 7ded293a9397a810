#include "tools/usbctl/cctloptions.h"

#include <QCommandLineParser>

namespace {
const int DEFAULT_TIMEOUT_S = 15;
// A day: anything longer is a typing error, and the milliseconds must fit an int.
const int MAXIMUM_TIMEOUT_S = 86400;

const char* const HELP =
    "Usage: veltrano-usbctl [--address ADDR] COMMAND [OPTIONS]\n"
    "\n"
    "Looks at and drives the USB-stick service veltrano-usb through the metering core\n"
    "\"com.Quorvik.Veltrano\" (object /RuntimeData): the shared runtime USB record, its\n"
    "change signal sigRuntimeUsb, and the unmount request.\n"
    "\n"
    "Commands:\n"
    "  status [--json]        print the shared runtime USB record field by field, with\n"
    "                         its change flags, and the file system mounted at its\n"
    "                         path with its source (mount table); --json: one JSON\n"
    "                         object, the mount as \"mount\" (null when none)\n"
    "  watch [--json]         follow sigRuntimeUsb and print what changed, with the time\n"
    "                         and the writer's pid; --json: one JSON object per line.\n"
    "                         Runs until Ctrl-C or SIGTERM\n"
    "  unmount [--timeout S]  ask the USB service to unmount the stick, as a peer does,\n"
    "                         and wait up to S seconds (default 15) for the outcome\n"
    "  version                print the software versions that the processes announced\n"
    "                         in the shared runtime general record\n"
    "\n"
    "Options:\n"
    "  --address ADDR         the D-Bus bus, e.g. unix:path=/run/bus or\n"
    "                         tcp:host=127.0.0.1,port=7777 (default: the session bus,\n"
    "                         $DBUS_SESSION_BUS_ADDRESS)\n"
    "  --json                 JSON output (status, watch)\n"
    "  --timeout SECONDS      how long unmount waits for the outcome, calls included\n"
    "  -h, --help             this text\n"
    "\n"
    "Exit status:\n"
    "  0  success (the stick is unmounted, for unmount)\n"
    "  1  failure: the core refused the request or a call failed, a record could not be\n"
    "     read, or the USB service could not unmount the stick\n"
    "  2  unmount: no outcome within the time-out\n"
    "  3  usage error\n"
    "  4  no bus, or the metering core is not on it\n";
} // namespace

CCtlOptions::CCtlOptions()
    : m_eCommand(Status)
    , m_bJson(false)
    , m_iTimeoutS(DEFAULT_TIMEOUT_S)
{
}

CCtlOptions::EResult CCtlOptions::parse(const QStringList& lsArguments)
{
    QCommandLineParser oParser;
    const QCommandLineOption oHelp({"h", "help"}, "help");
    const QCommandLineOption oAddress("address", "bus", "ADDR");
    const QCommandLineOption oJson("json", "json");
    const QCommandLineOption oTimeout("timeout", "timeout", "SECONDS");
    oParser.addOptions({oHelp, oAddress, oJson, oTimeout});
    if (!oParser.parse(lsArguments)) {
        m_sError = oParser.errorText();
        return Fail;
    }
    if (oParser.isSet(oHelp)) {
        return ShowHelp;
    }
    if (!takeCommand(oParser.positionalArguments())) {
        return Fail;
    }
    m_sAddress = oParser.value(oAddress);
    m_bJson = oParser.isSet(oJson);
    if (m_bJson && m_eCommand != Status && m_eCommand != Watch) {
        m_sError = "--json goes with status and watch only";
        return Fail;
    }
    if (oParser.isSet(oTimeout)) {
        bool bOk = false;
        m_iTimeoutS = oParser.value(oTimeout).toInt(&bOk);
        if (m_eCommand != Unmount) {
            m_sError = "--timeout goes with unmount only";
            return Fail;
        }
        if (!bOk || m_iTimeoutS < 1 || m_iTimeoutS > MAXIMUM_TIMEOUT_S) {
            m_sError = QString("--timeout needs whole seconds from 1 to %1, got \"%2\"")
                           .arg(MAXIMUM_TIMEOUT_S)
                           .arg(oParser.value(oTimeout));
            return Fail;
        }
    }
    return Run;
}

QString CCtlOptions::helpText()
{
    return QString::fromLatin1(HELP);
}

bool CCtlOptions::takeCommand(const QStringList& lsPositional)
{
    if (lsPositional.isEmpty()) {
        m_sError = "no command given (status, watch, unmount or version)";
        return false;
    }
    if (lsPositional.size() > 1) {
        m_sError = "unexpected argument \"" + lsPositional.at(1) + "\"";
        return false;
    }
    const QString sCommand = lsPositional.first();
    if (sCommand == "status") {
        m_eCommand = Status;
    } else if (sCommand == "watch") {
        m_eCommand = Watch;
    } else if (sCommand == "unmount") {
        m_eCommand = Unmount;
    } else if (sCommand == "version") {
        m_eCommand = Version;
    } else {
        m_sError = "unknown command \"" + sCommand + "\" (status, watch, unmount or version)";
        return false;
    }
    return true;
}
