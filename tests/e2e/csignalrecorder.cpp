#include "csignalrecorder.h"

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

void CSignalRecorder::record(const QDBusMessage& oMessage)
{
    m_lSignals << SSignal {oMessage, QDateTime::currentMSecsSinceEpoch()};
}
