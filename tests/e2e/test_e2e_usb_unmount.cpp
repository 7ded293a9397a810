// The real service unmounting the stick when a peer asks for it through the shared record,
// with real umount(2) results: success, a busy file system, nothing mounted.

#include "ce2efixture.h"

#include <QFile>
#include <QtTest>

class TestE2eUsbUnmount : public CE2eFixture
{
    Q_OBJECT

private slots:
    void unmounts_on_request_and_polls_again_five_seconds_later()
    {
        joinWithMountedStick();
        const int iBefore = static_cast<int>(publications().size());

        m_pSim->command("unmount");
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("m_pUsbTimer"), 1, 5000);
        QVERIFY(!m_pService->isStickMounted());

        QCOMPARE(m_pService->count("D: m_oRunUsb.getStartUnmountUsbDevice()  true "), 1);
        QCOMPARE(m_pService->linesWith("start 'umount'").size(), 1);
        QVERIFY(m_pService->linesWith("start 'umount'").first().contains(" W: "));
        QCOMPARE(m_pService->count(":  'umount' OK "), 1);

        verifyUnmountPublications(iBefore, true);
        QCOMPARE(publications().size(), iBefore + 3);
        QVERIFY(m_pSim->events("setRuntimeUsb").last().value("changed").toArray().contains("UsbAuxFlag"));

        // The next poll comes five seconds after the handling ended; a second stick shows it.
        const qint64 llDelay = msUntilASecondStickIsPolled("m_pUsbTimer", 8000);
        QVERIFY2(llDelay >= 4990 && llDelay < 6000, qPrintable(QString::number(llDelay)));
    }

    void clears_the_request_without_retrying_when_the_stick_is_busy()
    {
        joinWithMountedStick();

        // A file held open on the stick, seen through the service's own namespace.
        QFile oHeld(QString("/proc/%1/root/mnt/usbstick/Veltrano/database/records.db").arg(servicePid()));
        QVERIFY(oHeld.open(QIODevice::ReadOnly));
        const int iBefore = static_cast<int>(publications().size());

        m_pSim->command("unmount");
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("m_pUsbTimer"), 1, 5000);
        const QStringList lFailed = m_pService->linesWith("failed  errno");
        QCOMPARE(lFailed.size(), 1);
        QVERIFY(lFailed.first().contains(" W: "));
        QVERIFY2(
            lFailed.first().endsWith(":  'umount'  \"/mnt/usbstick\"  failed  errno =  Device or resource busy 16 "),
            qPrintable(lFailed.first()));
        QVERIFY(m_pService->isStickMounted());

        verifyUnmountPublications(iBefore, false);

        // No retry: after the next polls the stick is still mounted and nothing was tried again.
        QTRY_VERIFY_WITH_TIMEOUT(m_pTriggers->signalsFrom("/").size() >= 10, 10000);
        QCOMPARE(m_pService->count("start 'umount'"), 1);
        QVERIFY(m_pService->isStickMounted());
    }

    void clears_the_request_when_nothing_is_mounted()
    {
        startAndJoin();

        m_pSim->command("unmount");
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("m_pUsbTimer"), 1, 5000);
        QCOMPARE(m_pService->count(":  'umount'  \"\"  failed  errno =  No such file or directory 2 "), 1);
        QCOMPARE(publications().last().value("StartUnmountUsbDevice").toBool(), false);
        QCOMPARE(publications().last().value("UnmountUsbDeviceActive").toBool(), false);
    }

    void unmounts_nothing_when_the_shared_record_cannot_be_read()
    {
        joinWithMountedStick();

        // The notice arrives, then the core is gone when the service asks for the record.
        m_pSim->command("unmount");
        m_pSim->command("quit");
        QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("'getRuntimeUsb' returns NULL"), 1, 5000);
        QVERIFY(m_pService->isStickMounted());
        QCOMPARE(m_pService->count("start 'umount'"), 0);

        // Polling resumes a second later; a second stick shows it.
        const qint64 llDelay = msUntilASecondStickIsPolled("'getRuntimeUsb' returns NULL", 5000);
        QVERIFY2(llDelay >= 990 && llDelay < 2000, qPrintable(QString::number(llDelay)));
    }

private:
    void joinWithMountedStick()
    {
        m_pSticks->addStick("sda");
        m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({"Veltrano/database/records.db"}));
        startAndJoin();
        QVERIFY(m_pService->isStickMounted());
    }

    // Plugs a second stick and gives the milliseconds from the first line holding sFrom to the
    // poll that saw it (-1 if none did in time): when polling resumed.
    qint64 msUntilASecondStickIsPolled(const QString& sFrom, int iTimeoutMs)
    {
        m_pSticks->addStick("sdb");
        const QString sPolled = "another stick is in use  Stick_sdb ";
        if (!QTest::qWaitFor([&] { return m_pService->count(sPolled) == 1; }, iTimeoutMs)) {
            return -1;
        }
        return CServiceProcess::timeOf(m_pService->linesWith(sPolled).first())
               - CServiceProcess::timeOf(m_pService->linesWith(sFrom).first());
    }
};

QTEST_GUILESS_MAIN(TestE2eUsbUnmount)
#include "test_e2e_usb_unmount.moc"
