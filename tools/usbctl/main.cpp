// veltrano-usbctl: the operator's client for the USB service, through the metering core.
#include "tools/usbctl/cctlbus.h"
#include "tools/usbctl/cctloptions.h"
#include "tools/usbctl/cctloutput.h"
#include "tools/usbctl/cctlstatus.h"
#include "tools/usbctl/cctlunmount.h"
#include "tools/usbctl/cctlversion.h"
#include "tools/usbctl/cctlwatch.h"
#include "tools/usbctl/ctlexitcodes.h"

#include <QCoreApplication>

#include <cstdio>

namespace {
int runCommand(const CCtlOptions& oOptions, CCtlBus& oBus)
{
    switch (oOptions.m_eCommand) {
    case CCtlOptions::Status:
        return CCtlStatus::run(oBus, oOptions.m_bJson);
    case CCtlOptions::Watch:
        return CCtlWatch(oBus, oOptions.m_bJson).run();
    case CCtlOptions::Unmount:
        return CCtlUnmount(oBus, oOptions.m_iTimeoutS).run();
    case CCtlOptions::Version:
        return CCtlVersion::run(oBus);
    }
    return ExitUsage;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication oApp(argc, argv);
    CCtlOptions oOptions;
    switch (oOptions.parse(oApp.arguments())) {
    case CCtlOptions::ShowHelp:
        std::fputs(qPrintable(CCtlOptions::helpText()), stdout);
        return ExitSuccess;
    case CCtlOptions::Fail:
        CCtlOutput::error(oOptions.errorText() + "\nTry \"veltrano-usbctl --help\".");
        return ExitUsage;
    case CCtlOptions::Run:
        break;
    }
    CCtlBus oBus;
    QString sError;
    if (!oBus.open(oOptions.m_sAddress, &sError)) {
        CCtlOutput::error(sError);
        return ExitNoCore;
    }
    return runCommand(oOptions, oBus);
}
