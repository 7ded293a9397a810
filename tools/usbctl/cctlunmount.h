#pragma once

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>

class CCtlBus;
class CRunUsbView;

// "unmount": asks the USB service to release the stick the way a peer does, by writing
// StartUnmountUsbDevice into the shared record through the metering core, then follows
// sigRuntimeUsb until the record tells the outcome or the time is up.
class CCtlUnmount : public QObject
{
    Q_OBJECT

public:
    CCtlUnmount(CCtlBus& oBus, int iTimeoutS, QObject* pParent = nullptr);

    int run();

private slots:
    void onRuntimeUsb();
    void onTimeout();

private:
    // How far the service has got with the request, as the record shows it.
    enum EStage { Requested, Unmounting, Unmounted, StillMounted };

    static EStage stageOf(const CRunUsbView& oView);
    void announce(const CRunUsbView& oView);
    int request();
    int remainingMs() const;
    bool read(QByteArray* pData, int iTimeoutMs);
    // Ends the wait when the stage is a final one; true if it was.
    bool finishAt(EStage eStage);
    void finish(int iExitCode);

    CCtlBus& m_oBus;
    int m_iTimeoutS;
    QDeadlineTimer m_oDeadline;
    QTimer m_oTimer;
    QEventLoop m_oLoop;
    QString m_sMountPath;
    bool m_bToldUnmounting;
    bool m_bFinished;
};
