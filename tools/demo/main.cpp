// veltrano-demo: the real veltrano-usb and one emulated stick, from plug-in to pull-out,
// told step by step. Runs under umockdev-wrapper, as root (scripts/run does both). With --vm the
// same story on a real kernel in a test machine, with a real FAT32 stick and then an exFAT one
// (scripts/run --vm).

#include "tools/common/cquitsignals.h"
#include "tools/demo/cdemoconsole.h"
#include "tools/demo/cdemoscenario.h"
#include "tools/demo/cemulatedstage.h"
#include "tools/demo/cmachinestage.h"
#include "tools/demo/cstepprinter.h"
#include "tools/vm/cvirtualmachine.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

namespace {
const int INTERRUPTED = 130;

void printIntro(CStepPrinter& oPrinter, bool bInteractive)
{
    oPrinter.plain("veltrano-usb demo: the USB-stick service and one stick, from plug-in to pull-out.");
    oPrinter.plain("");
    oPrinter.plain("This is a simulation. The service is the real veltrano-usb; around it:");
    oPrinter.plain("  - the metering core is veltrano-core-sim, which also plays the peer that asks for the stick;");
    oPrinter.plain("  - the stick is emulated with umockdev (udev device and kernel events, no hardware);");
    oPrinter.plain("  - this kernel has no vfat, so mounting the stick becomes a bind mount of a prepared folder;");
    oPrinter.plain("  - all of it runs on a private D-Bus bus and in a private mount namespace: the machine's");
    oPrinter.plain("    own bus, /etc/Veltrano, /var/log/Veltrano and /mnt are not touched.");
    if (!bInteractive) {
        oPrinter.plain("It ends by itself in under half a minute (\"--interactive\" lets you drive it).");
    }
}

// What must hold before anything is started, or the demo would reach the machine itself.
QString missingPrecondition(bool bVm)
{
    if (geteuid() != 0) {
        return "run it as root: the service gets a private mount namespace and mounts the stick";
    }
    if (bVm) {
        // QEMU under umockdev would see emulated devices instead of its own.
        return qEnvironmentVariable("LD_PRELOAD").contains("libumockdev-preload")
                   ? "run --vm without umockdev-wrapper (scripts/run --vm does)"
                   : QString();
    }
    if (!qEnvironmentVariable("LD_PRELOAD").contains("libumockdev-preload")) {
        return "run it under umockdev-wrapper (scripts/run does), or the service would see this "
               "machine's real devices";
    }
    return QString();
}

void printMachineIntro(CStepPrinter& oPrinter)
{
    oPrinter.plain("veltrano-usb demo on a real kernel: Debian's kernel in a test machine under QEMU, its udev,");
    oPrinter.plain("and a FAT32 disk image plugged in and pulled out as a USB stick, then an exFAT one. The");
    oPrinter.plain("service is the real veltrano-usb and mounts the sticks for real; the metering core is");
    oPrinter.plain("veltrano-core-sim. Nothing happens on this machine itself. It takes about a minute and a half.");
}

// The whole story on the stage; or, given the console's stage, its first steps and then the
// interactive console.
int runDemo(CDemoStage* pStage, CEmulatedStage* pConsoleStage, CStepPrinter& oPrinter, QString* pFailure)
{
    CDemoScenario oScenario(pStage, &oPrinter);
    CQuitSignals oQuit;
    oQuit.install();
    QObject::connect(&oQuit, &CQuitSignals::received, pStage, &CDemoStage::interrupt);
    if (!pConsoleStage) {
        const int iStatus = oScenario.run();
        *pFailure = oScenario.failureText();
        return iStatus != 0 && pStage->isInterrupted() ? INTERRUPTED : iStatus;
    }
    if (!oScenario.bringUp()) {
        *pFailure = oScenario.failureText();
        return pStage->isInterrupted() ? INTERRUPTED : 1;
    }
    CDemoConsole oConsole(pConsoleStage, &oPrinter);
    QObject::connect(&oQuit, &CQuitSignals::received, &oConsole, &CDemoConsole::interrupt);
    return oConsole.run();
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication oApplication(argc, argv);
    QCoreApplication::setApplicationName("veltrano-demo");

    QCommandLineParser oParser;
    oParser.setApplicationDescription(
        "The real veltrano-usb with an emulated stick, step by step. "
        "Run it under umockdev-wrapper, as root.");
    oParser.addHelpOption();
    const QCommandLineOption oInteractive({"i", "interactive"},
                                          "After the service has joined, read commands from standard input "
                                          "(plug, pull, unmount, status, log, help, quit).");
    const QCommandLineOption oVm(
        "vm", "The story on a real kernel in a test machine (QEMU), with a real FAT32 stick, then an exFAT one.");
    oParser.addOptions({oInteractive, oVm});
    oParser.process(oApplication);
    const bool bInteractive = oParser.isSet(oInteractive);
    const bool bVm = oParser.isSet(oVm);
    if (bVm && bInteractive) {
        std::fprintf(stderr, "veltrano-demo: --vm tells its story without --interactive\n");
        return 2;
    }

    const QString sMissing = missingPrecondition(bVm);
    if (!sMissing.isEmpty()) {
        std::fprintf(stderr, "veltrano-demo: %s\n", qPrintable(sMissing));
        return 2;
    }

    CStepPrinter oPrinter;
    QString sFailure;
    int iStatus = 0;
    if (bVm) {
        printMachineIntro(oPrinter);
        CMachineStage oStage(&oPrinter, CVirtualMachine::defaultDir());
        iStatus = runDemo(&oStage, nullptr, oPrinter, &sFailure);
    } else {
        printIntro(oPrinter, bInteractive);
        CEmulatedStage oStage(&oPrinter);
        iStatus = runDemo(&oStage, bInteractive ? &oStage : nullptr, oPrinter, &sFailure);
    }

    // Told only now: the stage's end has stopped the processes and removed the folders.
    oPrinter.plain("");
    const QString sCleanedUp =
        "the service, the simulator and the private bus are stopped, the temporary "
        "folders removed.";
    if (iStatus == 0) {
        oPrinter.plain(oPrinter.stamp() + " Demo over: " + sCleanedUp);
    } else if (iStatus == INTERRUPTED) {
        oPrinter.plain(oPrinter.stamp() + " Demo interrupted: " + sCleanedUp);
    } else {
        oPrinter.plain(QString("%1 Demo FAILED (%2), exit status %3: %4")
                           .arg(oPrinter.stamp(), sFailure.isEmpty() ? QString("see above") : sFailure)
                           .arg(iStatus)
                           .arg(sCleanedUp));
    }
    return iStatus;
}
