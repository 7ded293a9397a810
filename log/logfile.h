#pragma once

#include <QString>

// Appends one finished line (without line end) to the log file, rotating the file by size.
// Thread-safe; lines from different threads never interleave.
void WriteLogFile(int iLevel, const QString& sLine);
