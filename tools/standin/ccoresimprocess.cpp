#include "tools/standin/ccoresimprocess.h"

#include <QDeadlineTimer>
#include <QJsonDocument>

#include <csignal>
#include <sys/prctl.h>

CCoreSimProcess::CCoreSimProcess(const QString& sBusAddress, const QStringList& lArguments)
{
    m_oProcess.setProgram(VELTRANO_CORESIM);
    m_oProcess.setArguments(QStringList {"--address", sBusAddress, "--json"} + lArguments);
    m_oProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_oProcess.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    connect(&m_oProcess, &QProcess::readyReadStandardOutput, this, &CCoreSimProcess::readOutput);
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
    if (!m_oProcess.waitForStarted(5000)) {
        return false;
    }
    const QDeadlineTimer oDeadline(10000);
    while (events("ready").isEmpty() && !oDeadline.hasExpired()) {
        if (!m_oProcess.waitForReadyRead(static_cast<int>(oDeadline.remainingTime()))) {
            return false;
        }
    }
    return !events("ready").isEmpty();
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

QList<QJsonObject> CCoreSimProcess::events(const QString& sEvent) const
{
    QList<QJsonObject> lResult;
    for (const QJsonObject& oEvent : m_lEvents) {
        if (sEvent.isEmpty() || oEvent.value("event").toString() == sEvent) {
            lResult << oEvent;
        }
    }
    return lResult;
}

QList<QJsonObject> CCoreSimProcess::publications() const
{
    QList<QJsonObject> lRecords;
    for (const QJsonObject& oEvent : events("setRuntimeUsb")) {
        lRecords << oEvent.value("record").toObject();
    }
    return lRecords;
}

bool CCoreSimProcess::hasJoined() const
{
    bool bRead = false;
    for (const QJsonObject& oEvent : m_lEvents) {
        const QString sEvent = oEvent.value("event").toString();
        bRead = bRead || sEvent == "getRuntimeUsb";
        if (bRead && sEvent == "setRuntimeUsb") {
            return true;
        }
    }
    return false;
}

void CCoreSimProcess::readOutput()
{
    m_aPartial += m_oProcess.readAllStandardOutput();
    int iEnd = m_aPartial.indexOf('\n');
    while (iEnd >= 0) {
        const QJsonDocument oLine = QJsonDocument::fromJson(m_aPartial.left(iEnd));
        if (oLine.isObject()) {
            m_lEvents << oLine.object();
            emit eventReceived(m_lEvents.last());
        }
        m_aPartial.remove(0, iEnd + 1);
        iEnd = m_aPartial.indexOf('\n');
    }
}
