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
    if (isWrapped(oValue)) {
        return qdbus_cast<QByteArray>(oValue);
    }
    if (!oValue.canConvert<QByteArray>()) {
        return QByteArray();
    }
    return oValue.toByteArray();
}

bool subscribeBroadcast(QDBusConnection& oConnection, const char* szSignal, QObject* pReceiver,
                        const char* szSlot)
{
    return oConnection.connect(QString(), QString(), "com.Quorvik.Veltrano.Signals", szSignal, pReceiver,
                               szSlot);
}
