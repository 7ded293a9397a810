#pragma once

#include <QString>
#include <QStringList>

// The command that starts a program of this build: the program itself, or in a cross build
// the emulator followed by the program (the build machine cannot run the target's code).
QStringList targetCommand(const QString& sProgram);
