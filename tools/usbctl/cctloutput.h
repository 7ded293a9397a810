#pragma once

#include <QJsonObject>
#include <QString>

// Where veltrano-usbctl writes: results and progress on standard output, problems on standard
// error. Every line is flushed at once, because a reader often sits at the end of a pipe.
class CCtlOutput
{
public:
    static void line(const QString& sText);
    static void json(const QJsonObject& oObject);
    static void warning(const QString& sText);
    static void error(const QString& sText);
    // Local time with milliseconds, for lines about events.
    static QString timeText(qint64 llMsSinceEpoch);
};
