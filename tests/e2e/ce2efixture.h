#pragma once

#include "tools/standin/ccoresimprocess.h"
#include "tools/standin/cprivatebus.h"
#include "tools/standin/cserviceprocess.h"
#include "tools/standin/csignalrecorder.h"
#include "tools/standin/cstickbed.h"

#include <QDBusConnection>
#include <QJsonObject>
#include <QObject>
#include <QTemporaryDir>

#include <memory>

// What every end-to-end test of the service starts from: an empty umockdev testbed, a private
// bus with a peer connection that records the heartbeats, and a service ready to be started.
// Test classes derive from it; init() and cleanup() run around each test function.
class CE2eFixture : public QObject
{
    Q_OBJECT

protected:
    static const int s_iPeerPid = 4242;

    // Starts the service and waits until it listens to its peers.
    void startService();
    void startSimulator(const QStringList& lArguments = {});
    // Broadcasts a signal of the product's Signals interface with int arguments.
    void sendSignal(const QString& sMember, const QList<int>& lArguments);
    // Sends the start signal addressed to the service and waits until it has joined
    // (the simulator must be running).
    void join();
    // The simulator as the core, the service, and its joining.
    void startAndJoin();
    int servicePid() const;
    // A folder that the mount stand-in serves as a stick: entries ending in "/" are folders,
    // the others files.
    QString makeStickFolder(const QStringList& lEntries);
    // The publications the service made so far (the records the simulator received), and those
    // of one process of it.
    QList<QJsonObject> publications() const;
    QList<QJsonObject> publishedBy(int iPid) const;
    // The three publications of an unmount, from iFirst on: the request taken with the unmount
    // active, the unmount done (with the unmounted flag as it went), the auxiliary flag cleared.
    void verifyUnmountPublications(qsizetype iFirst, bool bUnmounted);
    // The mounts at /mnt/usbstick in the service's namespace, and the source of the one on top.
    int mountsAtStick() const;
    QByteArray stickSource() const;

    std::unique_ptr<CStickBed> m_pSticks;
    std::unique_ptr<CPrivateBus> m_pBus;
    std::unique_ptr<CCoreSimProcess> m_pSim;
    std::unique_ptr<CServiceProcess> m_pService;
    std::unique_ptr<CSignalRecorder> m_pTriggers;
    QDBusConnection m_oClient = QDBusConnection(QString());
    std::unique_ptr<QTemporaryDir> m_pStickFolders;

private slots:
    void init();
    void cleanup();
};
