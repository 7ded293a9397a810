#include "tools/standin/csignalrecorder.h"

#include <QDateTime>

CSignalRecorder::CSignalRecorder(QDBusConnection oConnection, const QString& sMember, const QString& sInterface)
{
    oConnection.connect(QString(), QString(), sInterface, sMember, this, SLOT(record(QDBusMessage)));
}

QList<CSignalRecorder::SSignal> CSignalRecorder::signalsFrom(const QString& sPath) const
{
    QList<SSignal> lResult;
    for (const SSignal& oSignal : m_lSignals) {
        if (oSignal.oMessage.path() == sPath) {
            lResult << oSignal;
        }
    }
    return lResult;
}

const QList<CSignalRecorder::SSignal>& CSignalRecorder::all() const
{
    return m_lSignals;
}

int CSignalRecorder::count(const QString& sMember) const
{
    int iCount = 0;
    for (const SSignal& oSignal : m_lSignals) {
        iCount += oSignal.oMessage.member() == sMember ? 1 : 0;
    }
    return iCount;
}

QDBusMessage CSignalRecorder::last(const QString& sMember) const
{
    for (auto it = m_lSignals.crbegin(); it != m_lSignals.crend(); ++it) {
        if (it->oMessage.member() == sMember) {
            return it->oMessage;
        }
    }
    return QDBusMessage();
}

void CSignalRecorder::record(const QDBusMessage& oMessage)
{
    m_lSignals << SSignal {oMessage, QDateTime::currentMSecsSinceEpoch()};
}
