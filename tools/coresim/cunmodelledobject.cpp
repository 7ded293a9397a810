#include "tools/coresim/cunmodelledobject.h"

#include <QDBusError>

CUnmodelledObject::CUnmodelledObject(const QString& sInterface, QObject* pParent)
    : QObject(pParent)
    , m_sInterface(sInterface)
{
}

void CUnmodelledObject::refuse(const char* pMember)
{
    const QString sMember = QString::fromLatin1(pMember);
    sendErrorReply(QDBusError::NotSupported, "veltrano-core-sim does not model " + sMember);
    emit refused(m_sInterface, sMember);
}
