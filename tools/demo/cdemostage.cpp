#include "tools/demo/cdemostage.h"

#include <QEventLoop>
#include <QTimer>

namespace {
// A stage that does not say when something arrives is looked at this often.
const int POLL_MS = 100;
} // namespace

bool CDemoStage::hasKernel() const
{
    return false;
}

QStringList CDemoStage::kernelLines(const QString&)
{
    return QStringList();
}

bool CDemoStage::triggerChange()
{
    return false;
}

int CDemoStage::slowness() const
{
    return 1;
}

QList<QJsonObject> CDemoStage::publications() const
{
    QList<QJsonObject> lPublications;
    for (const QJsonObject& oEvent : events("setRuntimeUsb")) {
        if (oEvent.value("from").toInteger() == servicePid()) {
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
    return m_bInterrupted || !serviceLines().filter("Signal SIGINT received").isEmpty();
}

bool CDemoStage::waitFor(const std::function<bool()>& fDone, int iTimeoutMs, bool bInterruptible)
{
    const bool bServiceRunning = isServiceRunning();
    const auto isOver = [&] {
        return fDone() || (bInterruptible && m_bInterrupted) || (bServiceRunning && !isServiceRunning());
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
