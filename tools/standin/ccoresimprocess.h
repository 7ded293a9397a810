#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>

// veltrano-core-sim serving "com.Quorvik.Veltrano" on the test's bus, driven through its
// standard input and observed through its JSON lines.
class CCoreSimProcess : public QObject
{
    Q_OBJECT

public:
    explicit CCoreSimProcess(const QString& sBusAddress, const QStringList& lArguments = {});
    ~CCoreSimProcess() override;

    // Starts the simulator and waits until it serves the name.
    bool start();
    qint64 pid() const;
    void command(const QString& sCommand);

    // The events of one kind ("setRuntimeUsb", "getRuntimeUsb", ...), or all of them.
    QList<QJsonObject> events(const QString& sEvent = QString()) const;
    // The publications the service made, i.e. the setRuntimeUsb events' records.
    QList<QJsonObject> publications() const;
    // Whether a service has joined: its joining ends with the publication that follows its
    // read of the shared record.
    bool hasJoined() const;

signals:
    // Emitted for each JSON line as it arrives, after events() has it.
    void eventReceived(const QJsonObject& oEvent);

private slots:
    void readOutput();

private:
    QProcess m_oProcess;
    QByteArray m_aPartial;
    QList<QJsonObject> m_lEvents;
};
