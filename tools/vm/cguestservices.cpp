#include "tools/vm/cguestservices.h"

#include "tools/standin/ccoresimprocess.h"
#include "tools/standin/cserviceprocess.h"
#include "tools/vm/cvirtualmachine.h"

#include <QFile>
#include <QJsonDocument>
#include <QtCore/qtestsupport_core.h>

namespace {

const char* const g_szBusEnvironment = "DBUS_SESSION_BUS_ADDRESS=unix:path=/run/bus";
const int g_iStartTimeout = 30000;
// The join's scan mounts a stick that is present: 3 s of waiting, on an emulated machine.
const int g_iJoinTimeout = 60000;

} // namespace

CGuestServices::CGuestServices(CVirtualMachine* pMachine)
    : m_pMachine(pMachine)
{
}

bool CGuestServices::startCore()
{
    const QString sStart = "setsid " + onBus("veltrano-core-sim --json") + " </dev/null >/run/vm/sim.jsonl "
                           "2>/run/vm/sim.err &";
    if (m_pMachine->run(sStart).iStatus != 0) {
        return fail("the simulator does not start in the guest");
    }
    return QTest::qWaitFor([this] { return !events("ready").isEmpty(); }, g_iStartTimeout)
           || fail("the simulator is not ready: " + QString::fromLatin1(shared("sim.err")));
}

bool CGuestServices::startService()
{
    const QString sIni =
        "mkdir -p /etc/Veltrano && "
        "printf '[DEBUG_MESSAGES]\\nDisplay_Message=1\\nDisplay_Level=0\\n' >/etc/Veltrano/usb.ini";
    // A shell waits for the daemon to record how it ended; the daemon's pid comes first.
    const QString sStart = "rm -f /run/vm/service.pid /run/vm/service.status && setsid bash -c '" + onBus("veltrano-usb")
                           + " & echo $! >/run/vm/service.pid; wait $!; echo $? >/run/vm/service.status' "
                             "</dev/null >/run/vm/service.log 2>&1 & "
                             "timeout 10 bash -c 'until [ -s /run/vm/service.pid ]; do sleep 0.1; done'";
    if (m_pMachine->run(sIni).iStatus != 0) {
        return fail("cannot write the guest's usb.ini");
    }
    m_iServicePid = m_pMachine->run(sStart).iStatus == 0 ? shared("service.pid").trimmed().toInt() : 0;
    return m_iServicePid > 0 || fail("the daemon does not start in the guest");
}

bool CGuestServices::isServiceRunning() const
{
    return m_iServicePid > 0 && serviceExitCode() < 0;
}

int CGuestServices::serviceExitCode() const
{
    bool bOk = false;
    const int iStatus = shared("service.status").trimmed().toInt(&bOk);
    return bOk ? iStatus : -1;
}

bool CGuestServices::join()
{
    // The daemon listens once it is on the bus; until then the start signal goes unheard.
    const QString sJoin = withBus(QString("gdbus emit --session --object-path /Peer --signal "
                                          "com.Quorvik.Veltrano.Signals.sigProcessStart 4242 %1")
                                      .arg(m_iServicePid));
    const qsizetype iAnnounced = events("setRuntimeGeneralNonWM").size();
    const qsizetype iRead = events("getRuntimeUsb").size();
    const qsizetype iPublished = publications().size();
    const auto hasAnnounced = [&] { return events("setRuntimeGeneralNonWM").size() > iAnnounced; };
    for (int i = 0; i < 10 && !hasAnnounced(); ++i) {
        m_pMachine->run(sJoin);
        if (QTest::qWaitFor(hasAnnounced, 3000)) {
            break;
        }
    }
    const auto hasJoined = [&] { return events("getRuntimeUsb").size() > iRead && publications().size() > iPublished; };
    return (hasAnnounced() && QTest::qWaitFor(hasJoined, g_iJoinTimeout)) || fail("the daemon did not join");
}

bool CGuestServices::stopService()
{
    const QString sStop = QString("kill -TERM %1 && timeout 10 tail --pid=%1 -f /dev/null").arg(m_iServicePid);
    return m_pMachine->run(sStop).iStatus == 0 || fail("the daemon did not end on SIGTERM");
}

QString CGuestServices::error() const
{
    return m_sError;
}

int CGuestServices::servicePid() const
{
    return m_iServicePid;
}

QList<QJsonObject> CGuestServices::events(const QString& sEvent) const
{
    QList<QJsonObject> lEvents;
    for (const QByteArray& aLine : shared("sim.jsonl").split('\n')) {
        const QJsonObject oEvent = QJsonDocument::fromJson(aLine).object();
        if (oEvent.value("event").toString() == sEvent) {
            lEvents << oEvent;
        }
    }
    return lEvents;
}

QList<QJsonObject> CGuestServices::publications() const
{
    return CCoreSimProcess::recordsOf(events("setRuntimeUsb"));
}

QList<QJsonObject> CGuestServices::publishedBy(int iPid) const
{
    return CCoreSimProcess::recordsOf(events("setRuntimeUsb"), iPid);
}

QJsonObject CGuestServices::lastRecord() const
{
    const QList<QJsonObject> lRecords = publications();
    return lRecords.isEmpty() ? QJsonObject() : lRecords.last();
}

QStringList CGuestServices::lines() const
{
    QStringList lLines;
    for (const QByteArray& aLine : shared("service.log").split('\n')) {
        if (!aLine.isEmpty()) {
            lLines << CServiceProcess::plainLine(aLine);
        }
    }
    return lLines;
}

QStringList CGuestServices::linesWith(const QString& sNeedle) const
{
    QStringList lMessages;
    for (const QString& sLine : lines().filter(sNeedle)) {
        lMessages << CServiceProcess::messageOf(sLine);
    }
    return lMessages;
}

int CGuestServices::count(const QString& sNeedle) const
{
    return static_cast<int>(linesWith(sNeedle).size());
}

QString CGuestServices::stickMount() const
{
    return QString::fromLatin1(m_pMachine->run("grep ' /mnt/usbstick ' /proc/mounts").aOutput.trimmed());
}

QString CGuestServices::programDir()
{
    return qEnvironmentVariable("VELTRANO_VM_BIN_DIR", VELTRANO_BIN_DIR);
}

QString CGuestServices::onBus(const QString& sProgramAndArguments)
{
    return withBus(programDir() + "/" + sProgramAndArguments);
}

QString CGuestServices::withBus(const QString& sCommand)
{
    return QString("env %1 %2").arg(g_szBusEnvironment, sCommand);
}

QByteArray CGuestServices::shared(const QString& sName) const
{
    QFile oFile(m_pMachine->shareDir() + "/" + sName);
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}

bool CGuestServices::fail(const QString& sError)
{
    m_sError = sError;
    return false;
}
