#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusPendingCall>

// The ways the service talks to its peers on the bus, kept in one place.
//
// A call whose reply matters is awaited on the calling thread and reduced to its first
// value; a failed call (error reply, time-out, nobody serving the name) gives the type's
// default. A call whose reply does not matter is simply made through the proxy and its
// pending reply dropped: the message is on its way and nothing waits for the answer.

// The first value of the reply as an integer; 0 when the call failed, and then, if asked for,
// the bus's name of the error in *pError ("no value" for a reply without one).
int awaitInt(const QDBusPendingCall& oCall, QString* pError = nullptr);

// The first value of the reply as a byte array; a null array when nothing arrived.
QByteArray awaitByteArray(const QDBusPendingCall& oCall);

// Receives a signal of the product's broadcast interface from any sender and any path.
bool subscribeBroadcast(QDBusConnection& oConnection, const char* szSignal, QObject* pReceiver, const char* szSlot);
