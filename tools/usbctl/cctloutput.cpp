#include "tools/usbctl/cctloutput.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cstdio>

namespace {
void write(FILE* pFile, const QByteArray& aLine)
{
    std::fwrite(aLine.constData(), 1, size_t(aLine.size()), pFile);
    std::fputc('\n', pFile);
    std::fflush(pFile);
}
} // namespace

void CCtlOutput::line(const QString& sText)
{
    write(stdout, sText.toUtf8());
}

void CCtlOutput::json(const QJsonObject& oObject)
{
    write(stdout, QJsonDocument(oObject).toJson(QJsonDocument::Compact));
}

void CCtlOutput::warning(const QString& sText)
{
    write(stderr, "veltrano-usbctl: warning: " + sText.toUtf8());
}

void CCtlOutput::error(const QString& sText)
{
    write(stderr, "veltrano-usbctl: " + sText.toUtf8());
}

QString CCtlOutput::timeText(qint64 llMsSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(llMsSinceEpoch).toString("yyyy-MM-dd hh:mm:ss.zzz");
}
