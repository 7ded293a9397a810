#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Hands out standard input line by line as it arrives, without blocking the event loop.
// The end of the input only ends the reading, not the program.
class CStdinReader : public QObject
{
    Q_OBJECT

public:
    explicit CStdinReader(QObject* pParent = nullptr);

    // Starts watching standard input; does nothing when it is closed.
    void start();

signals:
    void lineRead(const QString& sLine);

private slots:
    void readAvailable();

private:
    void stop();

    QSocketNotifier* m_pNotifier;
    QByteArray m_aPending;
};
