#include "tools/demo/cdemostage.h"

#include <QEventLoop>
#include <QTimer>

namespace {
// A stage that does not say when something arrives is looked at this often.
const int POLL_MS = 100;
} // namespace

CDemoStage::CDemoStage(CStepPrinter* pPrinter, const SSetting& oSetting)
    : m_pPrinter(pPrinter)
    , m_oSetting(oSetting)
{
}

QStringList CDemoStage::kernelLines(const QString&)
{
    return QStringList();
}

CDemoStage::SSetting CDemoStage::setting() const
{
    return m_oSetting;
}

QList<QJsonObject> CDemoStage::events(const QString& sEvent) const
{
    QList<QJsonObject> lEvents;
    for (const QJsonObject& oEvent : seen().lEvents) {
        if (oEvent.value("event").toString() == sEvent) {
            lEvents << oEvent;
        }
    }
    return lEvents;
}

QList<QJsonObject> CDemoStage::publications() const
{
    const qint64 iPid = seen().iPid;
    QList<QJsonObject> lPublications;
    for (const QJsonObject& oEvent : events("setRuntimeUsb")) {
        if (oEvent.value("from").toInteger() == iPid) {
            lPublications << oEvent;
        }
    }
    return lPublications;
}

QString CDemoStage::error() const
{
    return m_sError;
}

bool CDemoStage::waitUntil(const std::function<bool()>& fDone, int iTimeoutMs)
{
    return waitFor(fDone, iTimeoutMs, true);
}

void CDemoStage::interrupt()
{
    m_bInterrupted = true;
    emit changed();
}

bool CDemoStage::isInterrupted() const
{
    // Ctrl-C reaches the whole process group: the service may have seen it before the demo.
    return m_bInterrupted || !seen().lsLines.filter("Signal SIGINT received").isEmpty();
}

CStepPrinter* CDemoStage::printer() const
{
    return m_pPrinter;
}

bool CDemoStage::waitFor(const std::function<bool()>& fDone, int iTimeoutMs, bool bInterruptible)
{
    const bool bServiceRunning = seen().bRunning;
    const auto isOver = [&] {
        return fDone() || (bInterruptible && m_bInterrupted) || (bServiceRunning && !seen().bRunning);
    };
    if (isOver()) {
        return fDone();
    }
    QEventLoop oLoop;
    QTimer oDeadline;
    oDeadline.setSingleShot(true);
    connect(&oDeadline, &QTimer::timeout, &oLoop, &QEventLoop::quit);
    const auto quitWhenOver = [&] {
        if (isOver()) {
            oLoop.quit();
        }
    };
    connect(this, &CDemoStage::changed, &oLoop, quitWhenOver);
    QTimer oPoll;
    connect(&oPoll, &QTimer::timeout, &oLoop, quitWhenOver);
    oPoll.start(POLL_MS);
    oDeadline.start(iTimeoutMs);
    oLoop.exec();
    return fDone();
}

bool CDemoStage::fail(const QString& sError)
{
    m_sError = sError;
    return false;
}
