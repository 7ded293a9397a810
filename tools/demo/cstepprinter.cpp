#include "tools/demo/cstepprinter.h"

#include "tools/standin/cserviceprocess.h"

#include <QDateTime>
#include <QRegularExpression>

#include <cstdio>
#include <unistd.h>

namespace {
const int LABEL_WIDTH = 20;
const qint64 DAY_MS = 24 * 3600 * 1000;
const char* const BOLD = "\x1b[1m";
const char* const RED = "\x1b[1;31m";
const char* const RESET = "\x1b[0m";
} // namespace

CStepPrinter::CStepPrinter()
    : m_llStartOfDayMs(QDateTime::currentDateTimeUtc().time().msecsSinceStartOfDay())
    , m_llStepStartMs(0)
    , m_bTerminal(isatty(STDOUT_FILENO) == 1)
{
    m_oClock.start();
}

void CStepPrinter::heading(const QString& sTitle)
{
    m_llStepStartMs = m_oClock.elapsed();
    const QString sLine = stamp() + " " + sTitle;
    write("\n" + (m_bTerminal ? BOLD + sLine + RESET : sLine));
}

void CStepPrinter::text(const QString& sText)
{
    write("    " + sText);
}

void CStepPrinter::item(const QString& sLabel, const QStringList& lsValues)
{
    QString sLabelColumn = sLabel;
    for (const QString& sValue : lsValues) {
        write("    " + sLabelColumn.leftJustified(LABEL_WIDTH) + sValue);
        sLabelColumn.clear();
    }
}

void CStepPrinter::item(const QString& sLabel, const QString& sValue)
{
    item(sLabel, QStringList {sValue});
}

void CStepPrinter::logLines(const QStringList& lsLines)
{
    if (lsLines.isEmpty()) {
        return;
    }
    write("    daemon log:");
    for (const QString& sLine : lsLines) {
        const QString sText = logLine(sLine);
        if (!sText.isEmpty()) {
            write("      " + sText);
        }
    }
}

void CStepPrinter::stepDone()
{
    write(QString("    (step took %1 s)").arg((m_oClock.elapsed() - m_llStepStartMs) / 1000.0, 0, 'f', 1));
}

void CStepPrinter::failure(const QString& sText)
{
    const QString sLine = stamp() + " FAILED: " + sText;
    write("\n" + (m_bTerminal ? RED + sLine + RESET : sLine));
}

void CStepPrinter::plain(const QString& sText)
{
    write(sText);
}

QString CStepPrinter::stamp() const
{
    return stampAt(m_oClock.elapsed());
}

QString CStepPrinter::logLine(const QString& sLine) const
{
    // "NOID(12):10:00:00:000 W: File: cusb Line:  49 :  text"; a few lines have no file prefix.
    static const QRegularExpression oLevel("^NOID\\(\\d+\\):[\\d:]+ ([A-Z]): (.*)$");
    const QRegularExpressionMatch oMatch = oLevel.match(sLine);
    if (!oMatch.hasMatch()) {
        return sLine.trimmed(); // the rest of a message that spans lines, or empty
    }
    QString sMessage = CServiceProcess::messageOf(sLine);
    if (sMessage.isEmpty()) {
        sMessage = oMatch.captured(2);
    }
    if (sMessage.trimmed().isEmpty()) {
        return QString();
    }
    qint64 llMs = CServiceProcess::timeOf(sLine) - m_llStartOfDayMs;
    if (llMs < -DAY_MS / 2) {
        llMs += DAY_MS; // the demo ran over midnight (UTC)
    }
    return stampAt(llMs) + " " + oMatch.captured(1) + "  " + sMessage.trimmed();
}

void CStepPrinter::write(const QString& sText)
{
    std::fputs(sText.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString CStepPrinter::stampAt(qint64 llMs) const
{
    return QString("[+%1 s]").arg(llMs / 1000.0, 5, 'f', 1);
}
