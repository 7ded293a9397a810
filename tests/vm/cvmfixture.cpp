#include "cvmfixture.h"

#include <QtTest>

void CVmFixture::initTestCase()
{
    bootMachine();
    startAndJoin();
}

void CVmFixture::bootMachine(const QString& sDir)
{
    const QString sPreparedDir = sDir.isEmpty() ? CVirtualMachine::defaultDir() : sDir;
    m_pMachine.reset(new CVirtualMachine(sPreparedDir, {CGuestServices::programDir()}));
    m_pGuest.reset(new CGuestServices(m_pMachine.get()));
    QElapsedTimer oTimer;
    oTimer.start();
    QVERIFY2(m_pMachine->boot(), qPrintable(m_pMachine->error()));
    qInfo("kernel %s up after %lld ms", qPrintable(m_pMachine->kernelVersion()), oTimer.elapsed());
}

void CVmFixture::cleanupTestCase()
{
    m_pGuest.reset();
    m_pMachine.reset();
}

void CVmFixture::cleanup()
{
    if (QTest::currentTestFailed()) {
        qInfo().noquote() << "daemon console:\n" + m_pGuest->lines().mid(m_pGuest->lines().size() - 150).join('\n');
        qInfo().noquote() << "guest kernel:\n" + QString::fromLatin1(m_pMachine->run("dmesg | tail -n 40").aOutput);
        // Where each of the daemon's threads waits: a hang shows here, a slow machine does not.
        const QString sThreads =
            "for t in /proc/$(pidof -s veltrano-usb)/task/*; do echo \"$(cat $t/comm):\"; "
            "cat $t/stack; done";
        qInfo().noquote() << "daemon threads:\n" + QString::fromLatin1(m_pMachine->run(sThreads).aOutput);
    }
    // Each test starts with no stick in the machine and the daemon at rest.
    for (const QString& sId : QStringList(m_lPlugged)) {
        pullAndWait(sId);
    }
}

bool CVmFixture::plug(const QString& sId, const QString& sImage, bool bReadOnly)
{
    if (!m_pMachine->plug(sId, sImage, bReadOnly)) {
        qWarning("%s", qPrintable(m_pMachine->error()));
        return false;
    }
    m_lPlugged << sId;
    return true;
}

bool CVmFixture::pull(const QString& sId)
{
    m_lPlugged.removeAll(sId);
    if (!m_pMachine->pull(sId)) {
        qWarning("%s", qPrintable(m_pMachine->error()));
        return false;
    }
    return true;
}

bool CVmFixture::pullAndWait(const QString& sId)
{
    const qsizetype iBefore = m_pGuest->publications().size();
    if (!pull(sId)) {
        return false;
    }
    const auto isReset = [&] {
        const QList<QJsonObject> lRecords = m_pGuest->publications().mid(iBefore);
        for (qsizetype i = 0; i + 1 < lRecords.size(); ++i) {
            if (lRecords[i].value("UsbDeviceState").toInt() == 0 && lRecords[i].value("UsbDeviceUnmounted").toBool()
                && !lRecords.last().value("UsbDeviceUnmounted").toBool()) {
                return true;
            }
        }
        return false;
    };
    return QTest::qWaitFor(isReset, 30000);
}

QJsonObject CVmFixture::plugAndWait(const QString& sId, const QString& sImage, bool bReadOnly)
{
    const char* const szRefused = ", not mounted (this kernel mounts ";
    const int iRefusals = m_pGuest->count(szRefused);
    const qsizetype iBefore = m_pGuest->publications().size();
    if (!plug(sId, sImage, bReadOnly)) {
        return QJsonObject();
    }
    const auto isDone = [&] {
        return m_pGuest->publications().size() > iBefore
               && (m_pGuest->count(szRefused) > iRefusals
                   || m_pGuest->lastRecord().value("UsbDeviceState").toInt() == 2);
    };
    // The arrival waits 3 s before it mounts; an emulated machine is slow besides.
    return QTest::qWaitFor(isDone, 30000) ? m_pGuest->lastRecord() : QJsonObject();
}

void CVmFixture::startAndJoin()
{
    // Sticks plugged in before are part of the machine the daemon starts on.
    QCOMPARE(m_pMachine->run("udevadm settle --timeout=60").iStatus, 0);
    QVERIFY2(m_pGuest->startCore(), qPrintable(m_pGuest->error()));
    QVERIFY2(m_pGuest->startService(), qPrintable(m_pGuest->error()));
    QVERIFY2(m_pGuest->join(), qPrintable(m_pGuest->error()));
}

bool CVmFixture::holdsFor(const std::function<bool()>& fCondition, int iMs)
{
    QElapsedTimer oTimer;
    oTimer.start();
    while (oTimer.elapsed() < iMs) {
        if (!fCondition()) {
            return false;
        }
        QTest::qWait(250);
    }
    return fCondition();
}
