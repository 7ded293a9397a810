#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the event loop, so that a tool can say
// goodbye and end with status 0.
class CQuitSignals : public QObject
{
    Q_OBJECT

public:
    explicit CQuitSignals(QObject* pParent = nullptr);

    // False when the socket pair cannot be made; the signals then keep their default action.
    bool install();

signals:
    void received(const QString& sName);

private slots:
    void readSignal();

private:
    QSocketNotifier* m_pNotifier;
};
