#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

// What the demo tells a person: headings per step with the time since the start, labelled
// items, record changes and the daemon's own console lines on the same clock.
class CStepPrinter
{
public:
    CStepPrinter();

    void heading(const QString& sTitle);
    // An indented paragraph of plain text.
    void text(const QString& sText);
    // "  label        value"; further values go on lines of their own under the first.
    void item(const QString& sLabel, const QStringList& lsValues);
    void item(const QString& sLabel, const QString& sValue);
    // The daemon's console lines, each with its time on the demo's clock and its level.
    void logLines(const QStringList& lsLines);
    // How long the step took, closing it.
    void stepDone();
    void failure(const QString& sText);
    // A line as it is, for the interactive console.
    void plain(const QString& sText);

    // "[+ 12.3 s]" for now.
    QString stamp() const;
    // A console line of the daemon made short: "[+  4.2 s] W  USB-Device added ...";
    // empty for a line without text.
    QString logLine(const QString& sLine) const;

private:
    void write(const QString& sText);
    QString stampAt(qint64 llMs) const;

    QElapsedTimer m_oClock;
    qint64 m_llStartOfDayMs; // UTC, as the daemon's console lines carry it
    qint64 m_llStepStartMs;
    bool m_bTerminal;
};
