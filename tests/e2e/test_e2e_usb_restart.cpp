// A service started again finds at /mnt/usbstick what an earlier run left there. The earlier
// run's mounts are made by the test inside the service's namespace before it starts; a tmpfs
// takes any text as its source, so it stands in for a mount of any device. Which mount is taken
// over and which detached, the unit tests of the stick mounter show.

#include "ce2efixture.h"

#include <QtTest>

#include <csignal>

class TestE2eUsbRestart : public CE2eFixture
{
    Q_OBJECT

private slots:
    void leaves_nothing_mounted_when_the_stick_is_pulled()
    {
        // Two runs ago the stick was mounted as a whole disk, in the last run on partition 1 above it.
        const QString sStick = m_pSticks->addStick("sda");
        m_pSticks->addNode("sda1");
        m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({}));
        m_pService->setPrepareCommand("mkdir -p /mnt/usbstick && " + earlierMount("/dev/sda") + " && "
                                      + earlierMount("/dev/sda1"));
        startAndJoin();
        QTRY_COMPARE_WITH_TIMEOUT(publications().last().value("UsbDeviceState").toInt(), 2, 10000);
        QCOMPARE(mountsAtStick(), 2);

        m_pSticks->uevent(sStick, "remove");
        QTRY_VERIFY_WITH_TIMEOUT(publications().last().value("UsbDeviceState").toInt() == 0
                                     && publications().last().value("UsbDeviceUnmounted").toBool(),
                                 5000);
        QCOMPARE(m_pService->count("'umount' OK"), 1);
        QCOMPARE(m_pService->count("Stale mount detached  /dev/sda "), 1);
        QCOMPARE(mountsAtStick(), 0);
    }

    void publishes_no_stick_that_was_pulled_while_it_was_down()
    {
        // The first run mounts the stick and is killed as a crash would end it; the core keeps its
        // last record.
        const QString sStick = m_pSticks->addStick("sda");
        m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({"Veltrano/logbook/"}));
        startAndJoin();
        QTRY_COMPARE_WITH_TIMEOUT(publications().last().value("UsbDeviceState").toInt(), 2, 10000);
        m_pService->sendSignal(SIGKILL);
        QVERIFY(m_pService->waitForExit(5000));

        // Pulled while nothing watches; the next run finds the first one's mount still there.
        m_pSticks->remove(sStick);
        m_pService.reset(new CServiceProcess(m_pBus->address()));
        m_pService->setSticks("vfat:/dev/sdb=" + makeStickFolder({}));
        m_pService->setPrepareCommand("mkdir -p /mnt/usbstick && " + earlierMount("/dev/sda"));
        m_pTriggers.reset(new CSignalRecorder(m_oClient, "sigTrigger"));
        startService();
        sendSignal("sigProcessStart", {s_iPeerPid, servicePid()});
        QTRY_VERIFY_WITH_TIMEOUT(!publishedBy(servicePid()).isEmpty(), 15000);
        QCOMPARE(m_pService->count("Stale mount detached  /dev/sda "), 1);
        QCOMPARE(mountsAtStick(), 0);

        // A stick plugged in afterwards is the first this run publishes, and is mounted once.
        m_pSticks->addStick("sdb");
        QTRY_COMPARE_WITH_TIMEOUT(publishedBy(servicePid()).last().value("UsbDeviceState").toInt(), 2, 10000);
        const QList<QJsonObject> lRecords = publishedBy(servicePid());
        for (const QJsonObject& oRecord : lRecords.mid(0, lRecords.size() - 2)) {
            QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 0);
            QCOMPARE(oRecord.value("UsbDeviceNode").toString(), QString(""));
        }
        QCOMPARE(lRecords[lRecords.size() - 2].value("UsbDeviceNode").toString(), QString("/dev/sdb"));
        QCOMPARE(mountsAtStick(), 1);
        QCOMPARE(stickSource(), QByteArray("/dev/sdb"));
    }

private:
    // Mounts a tmpfs with the given source at /mnt/usbstick before the service starts.
    static QString earlierMount(const QString& sSource);
};

QString TestE2eUsbRestart::earlierMount(const QString& sSource)
{
    return "mount -t tmpfs " + sSource + " /mnt/usbstick && mkdir -p /mnt/usbstick/Veltrano/logbook";
}

QTEST_GUILESS_MAIN(TestE2eUsbRestart)
#include "test_e2e_usb_restart.moc"
