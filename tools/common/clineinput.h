#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// Standard input line by line as it arrives, without blocking the event loop. ended() tells
// when the input has closed; what that means is the user's choice (the simulator goes on,
// the demo's console quits).
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
