#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Standard input line by line as it arrives, without blocking the event loop; tells when
// the input has ended, so that a piped script of commands ends the console.
class CLineInput : public QObject
{
    Q_OBJECT

public:
    explicit CLineInput(QObject* pParent = nullptr);

    // False when standard input is closed.
    bool start();

signals:
    void lineRead(const QString& sLine);
    void ended();

private slots:
    void readAvailable();

private:
    QSocketNotifier* m_pNotifier;
    QByteArray m_aPending;
};
