// veltrano-usbctl asking the real service, through the core simulator, to unmount an emulated
// stick, and reporting the outcome the service published.

#include "ce2efixture.h"

#include <QProcess>
#include <QtTest>

class TestE2eUsbCtl : public CE2eFixture
{
    Q_OBJECT

private slots:
    void unmount_is_done_by_the_real_service();
};

void TestE2eUsbCtl::unmount_is_done_by_the_real_service()
{
    m_pSticks->addStick("sda");
    m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({"Veltrano/database/"}));
    startSimulator();
    startService();
    join();
    QVERIFY(m_pService->isStickMounted());

    QProcess oCtl;
    oCtl.start(VELTRANO_USBCTL, {"--address", m_pBus->address(), "unmount"});
    QVERIFY(oCtl.waitForFinished(20000));
    const QString sOut = QString::fromUtf8(oCtl.readAllStandardOutput());
    QVERIFY2(oCtl.exitStatus() == QProcess::NormalExit && oCtl.exitCode() == 0,
             qPrintable(QString::fromUtf8(oCtl.readAllStandardError()) + "\n" + m_pService->lines().join('\n')));
    QVERIFY(sOut.contains("the stick is unmounted from /mnt/usbstick"));
    QVERIFY(!m_pService->isStickMounted());
}

QTEST_GUILESS_MAIN(TestE2eUsbCtl)
#include "test_e2e_usbctl.moc"
