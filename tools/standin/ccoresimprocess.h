#pragma once

#include <QHash>
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

    // Starts the simulator and waits until it serves the name; false if it does not get there
    // (then waitForExitCode() and errorOutput() tell why).
    bool start();
    qint64 pid() const;
    void command(const QString& sCommand);
    // Gives the command and waits for the event it prints, as nextEvent() does.
    QJsonObject command(const QString& sCommand, const QString& sEvent);
    // Closes the simulator's standard input, after a last line without its line break if one
    // is given.
    void endInput(const QString& sLastLine = QString());
    // Asks it to end (SIGTERM).
    void terminate();
    // Waits up to the bound for the end and gives its status; -1 if it still runs or crashed.
    int waitForExitCode(int iTimeoutMs);
    // What it wrote to standard error (it is passed on to the test's own as well).
    QByteArray errorOutput() const;

    // The events of one kind ("setRuntimeUsb", "getRuntimeUsb", ...), or all of them; each
    // of these first takes in what the simulator has printed so far.
    QList<QJsonObject> events(const QString& sEvent = QString());
    // The next event of that kind not handed out by nextEvent() before, waiting for it up to
    // the bound; an empty object if none came.
    QJsonObject nextEvent(const QString& sEvent, int iTimeoutMs = 5000);
    // Output lines that are not JSON objects (none are expected).
    QList<QByteArray> strayLines() const;
    // The publications the service made, i.e. the setRuntimeUsb events' records.
    QList<QJsonObject> publications();
    // The records of the given setRuntimeUsb events, wherever the simulator's lines were read.
    static QList<QJsonObject> recordsOf(const QList<QJsonObject>& lPublishEvents);
    // The same, of the events that process iPid sent.
    static QList<QJsonObject> recordsOf(const QList<QJsonObject>& lPublishEvents, int iPid);
    // Whether a service has joined: its joining ends with the publication that follows its
    // read of the shared record.
    bool hasJoined();

signals:
    // Emitted for each JSON line as it arrives, after events() has it.
    void eventReceived(const QJsonObject& oEvent);

private slots:
    void readOutput();
    void readErrors();

private:
    void drainOutput();

    QProcess m_oProcess;
    QByteArray m_aPartial;
    QByteArray m_aErrors;
    QList<QJsonObject> m_lEvents;
    QList<QByteArray> m_lStray;
    QHash<QString, int> m_hTaken; // per kind, how many nextEvent() handed out
};
