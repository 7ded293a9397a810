#include "service/dbuscalls.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QVariant>

namespace {

// The first argument of the reply, or an invalid variant when the call failed, with the name of
// the error in *pError if asked for.
QVariant awaitFirstValue(const QDBusPendingCall& oCall, QString* pError)
{
    QDBusPendingCall oPending(oCall);
    oPending.waitForFinished();
    const QDBusMessage oReply = oPending.reply();
    if (oReply.type() == QDBusMessage::ReplyMessage && !oReply.arguments().isEmpty()) {
        return oReply.arguments().constFirst();
    }
    if (pError != nullptr) {
        *pError = oReply.type() == QDBusMessage::ErrorMessage ? oReply.errorName() : QStringLiteral("no value");
    }
    return QVariant();
}

bool isWrapped(const QVariant& oValue)
{
    return oValue.metaType() == QMetaType::fromType<QDBusArgument>();
}

} // namespace

int awaitInt(const QDBusPendingCall& oCall, QString* pError)
{
    const QVariant oValue = awaitFirstValue(oCall, pError);
    if (isWrapped(oValue)) {
        return qdbus_cast<int>(oValue);
    }
    return oValue.toInt();
}

QByteArray awaitByteArray(const QDBusPendingCall& oCall)
{
    const QVariant oValue = awaitFirstValue(oCall, nullptr);
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
