#include "tools/standin/ccoresimprocess.h"

#include "tools/standin/targetprogram.h"

#include <QDeadlineTimer>
#include <QJsonDocument>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

CCoreSimProcess::CCoreSimProcess(const QString& sBusAddress, const QStringList& lArguments)
{
    const QStringList lCommand = targetCommand(VELTRANO_CORESIM);
    m_oProcess.setProgram(lCommand.first());
    m_oProcess.setArguments(lCommand.mid(1) + QStringList {"--address", sBusAddress, "--json"} + lArguments);
    m_oProcess.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    connect(&m_oProcess, &QProcess::readyReadStandardOutput, this, &CCoreSimProcess::readOutput);
    connect(&m_oProcess, &QProcess::readyReadStandardError, this, &CCoreSimProcess::readErrors);
}

CCoreSimProcess::~CCoreSimProcess()
{
    if (m_oProcess.state() != QProcess::NotRunning) {
        m_oProcess.kill();
        m_oProcess.waitForFinished(5000);
    }
}

bool CCoreSimProcess::start()
{
    m_oProcess.start();
    return m_oProcess.waitForStarted(5000) && !nextEvent("ready", 10000).isEmpty();
}

qint64 CCoreSimProcess::pid() const
{
    return m_oProcess.processId();
}

void CCoreSimProcess::command(const QString& sCommand)
{
    m_oProcess.write(sCommand.toUtf8() + '\n');
    m_oProcess.waitForBytesWritten(1000);
}

QJsonObject CCoreSimProcess::command(const QString& sCommand, const QString& sEvent)
{
    command(sCommand);
    return nextEvent(sEvent);
}

void CCoreSimProcess::endInput(const QString& sLastLine)
{
    m_oProcess.write(sLastLine.toUtf8());
    m_oProcess.closeWriteChannel();
}

void CCoreSimProcess::terminate()
{
    m_oProcess.terminate();
}

int CCoreSimProcess::waitForExitCode(int iTimeoutMs)
{
    const bool bEnded = m_oProcess.state() == QProcess::NotRunning || m_oProcess.waitForFinished(iTimeoutMs);
    return bEnded && m_oProcess.exitStatus() == QProcess::NormalExit ? m_oProcess.exitCode() : -1;
}

QByteArray CCoreSimProcess::errorOutput() const
{
    return m_aErrors;
}

QList<QJsonObject> CCoreSimProcess::events(const QString& sEvent)
{
    drainOutput();
    QList<QJsonObject> lResult;
    for (const QJsonObject& oEvent : m_lEvents) {
        if (sEvent.isEmpty() || oEvent.value("event").toString() == sEvent) {
            lResult << oEvent;
        }
    }
    return lResult;
}

QJsonObject CCoreSimProcess::nextEvent(const QString& sEvent, int iTimeoutMs)
{
    const QDeadlineTimer oDeadline(iTimeoutMs);
    const int iTaken = m_hTaken.value(sEvent);
    while (events(sEvent).size() <= iTaken) {
        if (oDeadline.hasExpired() || !m_oProcess.waitForReadyRead(static_cast<int>(oDeadline.remainingTime()))) {
            return QJsonObject();
        }
    }
    m_hTaken[sEvent] = iTaken + 1;
    return events(sEvent).at(iTaken);
}

QList<QByteArray> CCoreSimProcess::strayLines() const
{
    return m_lStray;
}

QList<QJsonObject> CCoreSimProcess::publications()
{
    return recordsOf(events("setRuntimeUsb"));
}

QList<QJsonObject> CCoreSimProcess::recordsOf(const QList<QJsonObject>& lPublishEvents)
{
    QList<QJsonObject> lRecords;
    for (const QJsonObject& oEvent : lPublishEvents) {
        lRecords << oEvent.value("record").toObject();
    }
    return lRecords;
}

QList<QJsonObject> CCoreSimProcess::recordsOf(const QList<QJsonObject>& lPublishEvents, int iPid)
{
    QList<QJsonObject> lRecords;
    for (const QJsonObject& oEvent : lPublishEvents) {
        if (oEvent.value("from").toInt() == iPid) {
            lRecords << oEvent.value("record").toObject();
        }
    }
    return lRecords;
}

bool CCoreSimProcess::hasJoined()
{
    bool bRead = false;
    for (const QJsonObject& oEvent : events()) {
        const QString sEvent = oEvent.value("event").toString();
        bRead = bRead || sEvent == "getRuntimeUsb";
        if (bRead && sEvent == "setRuntimeUsb") {
            return true;
        }
    }
    return false;
}

// The simulator prints an event before it answers the call, so what the service logged after
// the answer may already be seen while the event still waits in the pipe: take it in now.
void CCoreSimProcess::drainOutput()
{
    while (m_oProcess.waitForReadyRead(0)) {
    }
}

void CCoreSimProcess::readOutput()
{
    m_aPartial += m_oProcess.readAllStandardOutput();
    int iEnd = m_aPartial.indexOf('\n');
    while (iEnd >= 0) {
        const QByteArray aLine = m_aPartial.left(iEnd);
        const QJsonDocument oLine = QJsonDocument::fromJson(aLine);
        if (oLine.isObject()) {
            m_lEvents << oLine.object();
            emit eventReceived(m_lEvents.last());
        } else {
            m_lStray << aLine;
        }
        m_aPartial.remove(0, iEnd + 1);
        iEnd = m_aPartial.indexOf('\n');
    }
}

// Captured for the tests that start it to fail, and still shown as a forwarded channel would.
void CCoreSimProcess::readErrors()
{
    const QByteArray aErrors = m_oProcess.readAllStandardError();
    m_aErrors += aErrors;
    std::fwrite(aErrors.constData(), 1, static_cast<size_t>(aErrors.size()), stderr);
}
