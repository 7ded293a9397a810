#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>

// Base of the simulator's served objects. The generated classes derived from it give every
// method of an interface a slot that calls refuse(); without such a slot the adaptor's
// invokeMethod() would fail quietly and the caller would get an uninitialised value.
class CUnmodelledObject : public QObject, protected QDBusContext
{
    Q_OBJECT

public:
    CUnmodelledObject(const QString& sInterface, QObject* pParent);

    QString interfaceName() const { return m_sInterface; }

signals:
    // A caller got the error for a member the simulator does not model.
    void refused(const QString& sInterface, const QString& sMember);

protected:
    // Answers the current call with org.freedesktop.DBus.Error.NotSupported.
    void refuse(const char* pMember);

private:
    QString m_sInterface;
};
