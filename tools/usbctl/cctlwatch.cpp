#include "tools/usbctl/cctlwatch.h"

#include "runtimeinterface.h"
#include "tools/common/cquitsignals.h"
#include "tools/common/crunusbformat.h"
#include "tools/usbctl/cctlbus.h"
#include "tools/usbctl/cctldiff.h"
#include "tools/usbctl/cctloutput.h"
#include "tools/usbctl/ctlexitcodes.h"

#include <QDateTime>

namespace {
QJsonObject eventLine(const QString& sEvent, qint64 llMs)
{
    return QJsonObject {{"event", sEvent}, {"ms", llMs}, {"time", CCtlOutput::timeText(llMs)}};
}
} // namespace

CCtlWatch::CCtlWatch(CCtlBus& oBus, bool bJson, QObject* pParent)
    : QObject(pParent)
    , m_oBus(oBus)
    , m_bJson(bJson)
    , m_oCoreWatcher(CCtlBus::serviceName(), oBus.connection(),
                     QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration)
    , m_pQuitSignals(new CQuitSignals(this))
{
    connect(m_pQuitSignals, &CQuitSignals::received, this, &CCtlWatch::stop);
    connect(&m_oCoreWatcher, &QDBusServiceWatcher::serviceUnregistered, this, &CCtlWatch::onCoreLeft);
    connect(&m_oCoreWatcher, &QDBusServiceWatcher::serviceRegistered, this, &CCtlWatch::onCoreBack);
}

int CCtlWatch::run()
{
    m_pQuitSignals->install();
    // Subscribed before the first reading, so that no write falls between the two.
    connect(m_oBus.runtime(), &ComQuorvikVeltranoRuntimeInterface::sigRuntimeUsb, this, &CCtlWatch::onRuntimeUsb);
    if (!read(&m_aLast)) {
        return ExitFailure;
    }
    printBaseline("initial", "shared record:");
    return m_oLoop.exec();
}

// The record is read after the signal, so writes in quick succession may show up together
// under the first writer, and the later signals then find nothing new.
void CCtlWatch::onRuntimeUsb(int iProcess)
{
    const qint64 llNow = QDateTime::currentMSecsSinceEpoch();
    QByteArray aData;
    if (!read(&aData)) {
        return;
    }
    const CRunUsbView oView(aData);
    const CCtlDiff oDiff(CRunUsbView(m_aLast), oView);
    m_aLast = aData;
    if (m_bJson) {
        QJsonObject oLine = eventLine("change", llNow);
        oLine.insert("from", iProcess);
        oLine.insert("fields", oDiff.json());
        oLine.insert("record", CRunUsbFormat::toJson(oView));
        oLine.insert("changed", CRunUsbFormat::changedJson(oView));
        CCtlOutput::json(oLine);
        return;
    }
    const QString sHead = CCtlOutput::timeText(llNow) + QString(" written by pid %1:").arg(iProcess);
    if (oDiff.isEmpty()) {
        CCtlOutput::line(sHead + " no field changed");
        return;
    }
    CCtlOutput::line(sHead);
    for (const QString& sLine : oDiff.lines()) {
        CCtlOutput::line("  " + sLine);
    }
}

void CCtlWatch::onCoreLeft()
{
    const qint64 llNow = QDateTime::currentMSecsSinceEpoch();
    if (m_bJson) {
        CCtlOutput::json(eventLine("core-left", llNow));
        return;
    }
    CCtlOutput::line(CCtlOutput::timeText(llNow) + " the metering core left the bus; waiting for it to come back");
}

// A core that comes back starts with a record of its own, so it becomes the new baseline.
void CCtlWatch::onCoreBack()
{
    if (read(&m_aLast)) {
        printBaseline("core-back", "the metering core is back; shared record:");
    }
}

void CCtlWatch::stop()
{
    m_oLoop.exit(ExitSuccess);
}

bool CCtlWatch::read(QByteArray* pData)
{
    QString sError;
    if (!m_oBus.readUsb(pData, &sError)) {
        CCtlOutput::error(sError);
        return false;
    }
    return true;
}

void CCtlWatch::printBaseline(const QString& sEvent, const QString& sText)
{
    const qint64 llNow = QDateTime::currentMSecsSinceEpoch();
    const CRunUsbView oView(m_aLast);
    if (m_bJson) {
        QJsonObject oLine = eventLine(sEvent, llNow);
        oLine.insert("record", CRunUsbFormat::toJson(oView));
        oLine.insert("changed", CRunUsbFormat::changedJson(oView));
        CCtlOutput::json(oLine);
        return;
    }
    CCtlOutput::line(CCtlOutput::timeText(llNow) + " " + sText + " " + CRunUsbFormat::summary(oView));
}
