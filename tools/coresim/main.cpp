// veltrano-core-sim: a stand-in for the metering core, for tests, demos and integrators.
#include "tools/coresim/ccoresim.h"
#include "tools/coresim/csimoptions.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication oApp(argc, argv);
    CSimOptions oOptions;
    switch (oOptions.parse(oApp.arguments())) {
    case CSimOptions::ShowHelp:
        std::fputs(qPrintable(oOptions.helpText()), stdout);
        return 0;
    case CSimOptions::Fail:
        std::fprintf(stderr, "veltrano-core-sim: %s\nTry \"veltrano-core-sim --help\".\n",
                     qPrintable(oOptions.errorText()));
        return 1;
    case CSimOptions::Run:
        break;
    }
    CCoreSim oSim(oOptions);
    QString sError;
    if (!oSim.start(&sError)) {
        std::fprintf(stderr, "veltrano-core-sim: %s\n", qPrintable(sError));
        return 1;
    }
    return oApp.exec();
}
