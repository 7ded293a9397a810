#include "log/logmessagehandler.h"
#include "service/ccommandline.h"
#include "service/cusb.h"

#include <QCoreApplication>

#include <iostream>

int main(int argc, char* argv[])
{
    // The handler must be in place before any Qt object can log.
    qInstallMessageHandler(LogMessageHandler);
    const CCommandLine oCommandLine(argc, argv);
    if (!oCommandLine.startsService()) {
        return oCommandLine.answer(std::cout, std::cerr);
    }
    QCoreApplication oApplication(argc, argv);
    CUsb* pUsb = new CUsb(&oApplication);
    const int iResult = oApplication.exec();
    delete pUsb;
    return iResult;
}
