#include "usblog.h"

#include "log/clogstream.h"

#include <QRegularExpression>

#include <utility>

namespace {

QStringList g_lLog;

void record(QtMsgType eType, const QMessageLogContext&, const QString& sText)
{
    static const QRegularExpression oPrefix(QStringLiteral("^File: cusb Line:  \\d+ :  "));
    const QString sLevel = eType == QtDebugMsg ? "D " : eType == QtWarningMsg ? "W " : "? ";
    g_lLog.append(sLevel + QString(sText).remove(oPrefix));
}

QString join(const QStringList& lItems)
{
    QString sText;
    for (const QString& sItem : lItems) {
        sText += sItem + ' ';
    }
    return sText;
}

} // namespace

void CaptureLog()
{
    g_lLog.clear();
    SetLogStreamHandler(record);
}

QStringList TakeLog()
{
    return std::exchange(g_lLog, QStringList());
}

QString Debug(const QStringList& lItems)
{
    return "D " + join(lItems);
}

QString Warning(const QStringList& lItems)
{
    return "W " + join(lItems);
}
