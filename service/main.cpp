#include "log/logmessagehandler.h"
#include "service/cusb.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    // The handler must be in place before any Qt object can log.
    qInstallMessageHandler(LogMessageHandler);
    QCoreApplication oApplication(argc, argv);
    CUsb* pUsb = new CUsb(&oApplication);
    const int iResult = oApplication.exec();
    delete pUsb;
    return iResult;
}
