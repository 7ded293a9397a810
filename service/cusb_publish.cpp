// CUsb: publishing the runtime USB record and joining the running system.

#include "service/cusb.h"

#include "log/clogstream.h"
#include "records/crungeneralnonwm.h"
#include "records/replycodes.h"
#include "runtimeinterface.h"
#include "service/dbuscalls.h"
#include "service/thread.h"
#include "service/version.h"

#include <QTimer>

void CUsb::SendDbus()
{
    publishRuntimeUsb(false);
}

void CUsb::publishRuntimeUsb(bool bLineEndOnFailure)
{
    QString sError;
    const int iResult = awaitInt(m_pRuntime->setRuntimeUsb(m_iPid, m_oRunUsb.toByteArray()), &sError);
    if (iResult == REPLY_SUCCESS) {
        CUSB_DEBUG << "'setRuntimeUsb' successfull";
        return;
    }
    // Whatever came back, the peers' logs have always named the failure this way.
    const QString sFailure = ReplyCodeName(REPLY_NO_SUCCESS);
    if (bLineEndOnFailure) {
        CUSB_WARNING << "Dbus-Error: " << sFailure << endl;
    } else {
        CUSB_WARNING << "Dbus-Error: " << sFailure;
    }
    // The line above cannot tell a core that refused from a bus that failed: this one does.
    if (sError.isEmpty()) {
        CUSB_WARNING << "'setRuntimeUsb' answered " << ReplyCodeName(iResult).toLatin1().constData();
    } else {
        CUSB_WARNING << "'setRuntimeUsb' failed: " << sError.toLatin1().constData();
    }
}

QByteArray CUsb::fetchRuntimeUsb()
{
    return awaitByteArray(m_pRuntime->getRuntimeUsb());
}

void CUsb::announceVersion()
{
    CRunGeneralNonWM oGeneral;
    oGeneral.setSwVersion("USB", g_sSwVersion);
    m_pRuntime->setRuntimeGeneralNonWM(m_iPid, oGeneral.toByteArray());
}

void CUsb::onsigProcessStart(int iProcess, int iAppID)
{
    if (iProcess == m_iPid || iAppID != m_iPid) {
        return;
    }

    CUSB_WARNING << "signal 'onsigProcessStart' received. Set SW-Version to " << g_sSwVersion;
    announceVersion();

    if (m_bProcessStarted) {
        return;
    }

    CUSB_WARNING << "set default values for getRuntimeUsb";
    // In TCP mode too, the heartbeat goes out on the session bus.
    m_pThread = new Thread;
    m_pThread->start(QThread::InheritPriority);
    m_bProcessStarted = true;
    m_pTriggerTimer->stop();

    m_oRunUsb.setStartupDefaults();
    StartupUdev();

    // What a peer asked for in the shared copy (a pending unmount request, say) is taken over;
    // what it says of the stick is not: the core may keep a record of a stick from an earlier
    // run that is long gone, and the scan has just found out what is there.
    const QByteArray aShared = fetchRuntimeUsb();
    if (aShared.isNull()) {
        CUSB_WARNING << "getRuntimeUsb returns NULL";
    } else {
        m_oRunUsb.fromSharedCopy(aShared);
    }
    publishRuntimeUsb(true);
}
