#include "log/logmessagehandler.h"
#include "service/ccommandline.h"
#include "service/cusb.h"

#include <QCoreApplication>

#include <cstdlib>
#include <iostream>

int main(int argc, char* argv[])
{
    // The handler must be in place before any Qt object can log.
    qInstallMessageHandler(LogMessageHandler);
    const CCommandLine oCommandLine(argc, argv);
    if (!oCommandLine.startsService()) {
        return oCommandLine.answer(std::cout, std::cerr);
    }
    // When the bus goes away, Qt's D-Bus thread can ask libdbus to wait on a name-owner call
    // that the lost connection never made; libdbus aborts on such a check by default, which
    // would turn the orderly end on a lost bus into a crash. Whoever sets the variable keeps it.
    setenv("DBUS_FATAL_WARNINGS", "0", 0);
    QCoreApplication oApplication(argc, argv);
    CUsb* pUsb = new CUsb(&oApplication);
    const int iResult = oApplication.exec();
    delete pUsb;
    return iResult;
}
