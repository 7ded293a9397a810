#pragma once

#include <QStringList>

// The service's log as the stick tests read it: one "D " or "W " line per message, without the
// "File: cusb Line: N: " prefix, whose number moves with every edit of the product.
void CaptureLog();
QStringList TakeLog();

// An expected line: the items joined as the log stream joins them, each followed by a blank.
QString Debug(const QStringList& lItems);
QString Warning(const QStringList& lItems);
