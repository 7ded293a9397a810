#include "tools/standin/targetprogram.h"

QStringList targetCommand(const QString& sProgram)
{
    QStringList lCommand = QString(VELTRANO_EMULATOR).split(' ', Qt::SkipEmptyParts);
    lCommand.append(sProgram);
    return lCommand;
}
