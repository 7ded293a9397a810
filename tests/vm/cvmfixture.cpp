#include "cvmfixture.h"

#include <QtTest>

void CVmFixture::initTestCase()
{
    bootMachine();
}

void CVmFixture::bootMachine(const QString& sDir)
{
    // Another build's prepared machine and programs when asked: the cross build's, on arm64.
    const QString sPreparedDir = sDir.isEmpty() ? qEnvironmentVariable("VELTRANO_VM_DIR", VELTRANO_VM_DIR) : sDir;
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
        qInfo().noquote() << "guest kernel:\n" + QString::fromLatin1(run("dmesg | tail -n 40").aOutput);
    }
    // Each test starts with no stick in the machine and the daemon at rest.
    for (const QString& sId : QStringList(m_lPlugged)) {
        pullAndWait(sId);
    }
}

QString CVmFixture::makeStick(const QString& sKind, const QStringList& lEntries)
{
    static int s_iCount = 0;
    const QString sImage = m_oImages.filePath(QString("%1-%2.img").arg(sKind).arg(++s_iCount));
    return CVirtualMachine::makeStick(sKind, sImage, lEntries) ? sImage : QString();
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
    const qsizetype iBefore = publications().size();
    if (!pull(sId)) {
        return false;
    }
    const auto isReset = [&] {
        const QList<QJsonObject> lRecords = publications().mid(iBefore);
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

void CVmFixture::startAndJoin()
{
    // Sticks plugged in before are part of the machine the daemon starts on.
    QCOMPARE(run("udevadm settle --timeout=60").iStatus, 0);
    QVERIFY2(m_pGuest->startCore(), qPrintable(m_pGuest->error()));
    QVERIFY2(m_pGuest->startService(), qPrintable(m_pGuest->error()));
    QVERIFY2(m_pGuest->join(), qPrintable(m_pGuest->error()));
}

CVirtualMachine::SResult CVmFixture::run(const QString& sCommand)
{
    return m_pMachine->run(sCommand);
}

QList<QJsonObject> CVmFixture::events(const QString& sEvent) const
{
    return m_pGuest->events(sEvent);
}

QList<QJsonObject> CVmFixture::publications() const
{
    return m_pGuest->publications();
}

QJsonObject CVmFixture::lastRecord() const
{
    return m_pGuest->lastRecord();
}

QStringList CVmFixture::linesWith(const QString& sNeedle) const
{
    return m_pGuest->linesWith(sNeedle);
}

int CVmFixture::count(const QString& sNeedle) const
{
    return static_cast<int>(linesWith(sNeedle).size());
}

QString CVmFixture::stickMount() const
{
    return m_pGuest->stickMount();
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
