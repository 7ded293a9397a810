#pragma once

#include <QByteArray>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QObject>
#include <QString>

class CCtlBus;
class CQuitSignals;

// "watch": follows sigRuntimeUsb and prints, after each signal, what changed in the shared
// runtime USB record since the last reading, until SIGINT or SIGTERM.
class CCtlWatch : public QObject
{
    Q_OBJECT

public:
    CCtlWatch(CCtlBus& oBus, bool bJson, QObject* pParent = nullptr);

    int run();

private slots:
    void onRuntimeUsb(int iProcess);
    void onCoreLeft();
    void onCoreBack();
    void stop();

private:
    bool read(QByteArray* pData);
    void printBaseline(const QString& sEvent, const QString& sText);

    CCtlBus& m_oBus;
    bool m_bJson;
    QByteArray m_aLast;
    QEventLoop m_oLoop;
    QDBusServiceWatcher m_oCoreWatcher;
    CQuitSignals* m_pQuitSignals;
};
