#include "service/ccommandline.h"

#include "service/version.h"

namespace {

const char* const g_szHelp =
    "Usage: veltrano-usb [--help | --version]\n"
    "\n"
    "The USB-stick service of the Veltrano metering and delivery computer. It\n"
    "notices USB mass-storage sticks, mounts one at /mnt/usbstick, looks for the\n"
    "Veltrano/update, Veltrano/database and Veltrano/logbook folders and the\n"
    "file-system size, and publishes that as the runtime USB record to the metering\n"
    "core (\"com.Quorvik.Veltrano\") over D-Bus. It unmounts the stick when a peer\n"
    "asks for it and when the stick is pulled. Without arguments it runs in the\n"
    "foreground until SIGTERM or SIGINT.\n"
    "\n"
    "Options:\n"
    "  -h, --help     show this text and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "Files:\n"
    "  /etc/Veltrano/usb.ini\n"
    "      settings, read once at start: group SETUP_GENERAL (the bus) and group\n"
    "      DEBUG_MESSAGES (the log); missing keys are written back with defaults\n"
    "  /var/log/Veltrano/usb.log\n"
    "      the log (Logfile_Name); usb.log.1, ... are its rotated copies, usb.log.1\n"
    "      the newest; the folder must exist\n"
    "  /mnt/usbstick\n"
    "      the mount point, created when missing\n"
    "\n"
    "Bus:\n"
    "  The session bus named by DBUS_SESSION_BUS_ADDRESS; with Use_Session_Bus=0 in\n"
    "  usb.ini, the bus at TCP_Bus_Address instead. The heartbeat always goes out\n"
    "  on the session bus. Six failed connection attempts, Dbus_Connection_Retry ms\n"
    "  apart, end the process.\n"
    "\n"
    "Signals (handled once the bus is connected; before that they end the process):\n"
    "  SIGTERM, SIGINT  orderly exit with status 0; a mounted stick stays mounted\n"
    "  SIGHUP           logged, nothing else\n";

} // namespace

CCommandLine::CCommandLine(int argc, const char* const argv[])
    : m_eAction(EStart)
{
    for (int i = 1; i < argc; ++i) {
        const std::string sArgument = argv[i];
        if (sArgument == "--help" || sArgument == "-h") {
            m_eAction = EHelp;
        } else if (sArgument == "--version") {
            if (m_eAction == EStart) {
                m_eAction = EVersion;
            }
        } else {
            // The first stranger is the one reported; nothing else is done then.
            m_eAction = EUnknown;
            m_sUnknown = sArgument;
            return;
        }
    }
}

bool CCommandLine::startsService() const
{
    return m_eAction == EStart;
}

int CCommandLine::answer(std::ostream& oOut, std::ostream& oErr) const
{
    switch (m_eAction) {
    case EVersion:
        oOut << "veltrano-usb " << g_sSwVersion.toStdString() << "\n";
        return 0;
    case EHelp:
        oOut << g_szHelp;
        return 0;
    case EUnknown:
        oErr << "veltrano-usb: unknown argument \"" << m_sUnknown << "\"\n"
             << "Try \"veltrano-usb --help\".\n";
        return 2;
    case EStart:
        break;
    }
    return 0;
}
