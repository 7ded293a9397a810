#include "service/dbuscalls.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QVariant>

namespace {

// The first argument of the reply, or an invalid variant when the call failed.
QVariant awaitFirstValue(const QDBusPendingCall& oCall)
{
    QDBusPendingCall oPending(oCall);
    oPending.waitForFinished();
    const QDBusMessage oReply = oPending.reply();
    if (oReply.type() != QDBusMessage::ReplyMessage || oReply.arguments().isEmpty()) {
        return QVariant();
    }
    return oReply.arguments().constFirst();
}

bool isWrapped(const QVariant& oValue)
{
    return oValue.metaType() == QMetaType::fromType<QDBusArgument>();
}

} // namespace

int awaitInt(const QDBusPendingCall& oCall)
{
    const QVariant oValue = awaitFirstValue(oCall);
    if (isWrapped(oValue)) {
        return qdbus_cast<int>(oValue);
    }
    return oValue.toInt();
}

QByteArray awaitByteArray(const QDBusPendingCall& oCall)
{
    const QVariant oValue = awaitFirstValue(oCall);
    QByteArray aValue;
    if (isWrapped(oValue)) {
        aValue = qdbus_cast<QByteArray>(oValue);
    } else if (oValue.isValid() && oValue.canConvert<QByteArray>()) {
        aValue = oValue.toByteArray();
    } else {
        return QByteArray();
    }
    // An empty array that arrived is an answer, but the bus library hands it over as null.
    return aValue.isNull() ? QByteArray("", 0) : aValue;
}

bool subscribeBroadcast(QDBusConnection& oConnection, const char* szSignal, QObject* pReceiver, const char* szSlot)
{
    return oConnection.connect(QString(), QString(), "com.Quorvik.Veltrano.Signals", szSignal, pReceiver, szSlot);
}
