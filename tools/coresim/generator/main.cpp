// coresim-unmodelledgen XML CLASS BASEPATH: writes BASEPATH.h and BASEPATH.cpp with class
// CLASS, which refuses every method of the interface described in XML (a build-time helper).
#include "tools/coresim/generator/cunmodelledgenerator.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: coresim-unmodelledgen XML CLASS BASEPATH\n");
        return 2;
    }
    CUnmodelledGenerator oGenerator(QString::fromLocal8Bit(argv[2]));
    if (!oGenerator.readInterface(QString::fromLocal8Bit(argv[1]))
        || !oGenerator.write(QString::fromLocal8Bit(argv[3]))) {
        std::fprintf(stderr, "coresim-unmodelledgen: %s\n", qPrintable(oGenerator.errorText()));
        return 1;
    }
    return 0;
}
