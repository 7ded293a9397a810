// A service started again finds at /mnt/usbstick what an earlier run left there: its own mount
// of the stick, which it takes over, or stale mounts, which it detaches before it mounts. The
// earlier run's mounts are made by the test inside the service's namespace before it starts;
// a tmpfs takes any text as its source, so it stands in for a mount of any device.

#include "ce2efixture.h"

#include "usb/cmounttable.h"

#include <QFile>
#include <QtTest>

#include <csignal>

class TestE2eUsbRestart : public CE2eFixture
{
    Q_OBJECT

private slots:
    void takes_over_its_own_mount_of_the_stick_data();
    void takes_over_its_own_mount_of_the_stick();
    void detaches_a_stale_mount_before_it_mounts_data();
    void detaches_a_stale_mount_before_it_mounts();
    void leaves_nothing_mounted_when_the_stick_is_pulled();
    void publishes_no_stick_that_was_pulled_while_it_was_down();

private:
    // Mounts a tmpfs with the given source at /mnt/usbstick before the service starts.
    static QString earlierMount(const QString& sSource);
    void startAndJoinOn(const QString& sEarlierMounts);
    QByteArray mountTable() const;
    int mountsAtStick() const;
    QByteArray stickSource() const;
    // The records the process iPid published.
    QList<QJsonObject> publishedBy(int iPid) const;
};

QString TestE2eUsbRestart::earlierMount(const QString& sSource)
{
    return "mount -t tmpfs " + sSource + " /mnt/usbstick && mkdir -p /mnt/usbstick/Veltrano/logbook";
}

void TestE2eUsbRestart::startAndJoinOn(const QString& sEarlierMounts)
{
    // Were the service to mount regardless, the stand-in would let it, and the table would show.
    m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({}));
    m_pService->setPrepareCommand("mkdir -p /mnt/usbstick && " + sEarlierMounts);
    startSimulator();
    startService();
    join();
}

QByteArray TestE2eUsbRestart::mountTable() const
{
    QFile oTable(QString("/proc/%1/mountinfo").arg(servicePid()));
    return oTable.open(QIODevice::ReadOnly) ? oTable.readAll() : QByteArray();
}

int TestE2eUsbRestart::mountsAtStick() const
{
    return static_cast<int>(mountTable().count(" /mnt/usbstick "));
}

QByteArray TestE2eUsbRestart::stickSource() const
{
    return CMountTable(mountTable()).sourceAt("/mnt/usbstick");
}

void TestE2eUsbRestart::takes_over_its_own_mount_of_the_stick_data()
{
    QTest::addColumn<QString>("sSource");
    QTest::newRow("whole disk") << "/dev/sda";
    QTest::newRow("partition 1") << "/dev/sda1";
}

void TestE2eUsbRestart::takes_over_its_own_mount_of_the_stick()
{
    QFETCH(QString, sSource);
    m_pSticks->addStick("sda");
    m_pSticks->addNode("sda1");
    startAndJoinOn(earlierMount(sSource));

    // Mounted and inspected as after a mount of its own, from what is on the mount it found.
    QTRY_COMPARE_WITH_TIMEOUT(publications().last().value("UsbDeviceState").toInt(), 2, 10000);
    QCOMPARE(publications().last().value("LogbookDirFound").toBool(), true);
    QCOMPARE(publications().last().value("UsbMountPath").toString(), QString("/mnt/usbstick"));
    const QStringList lTaken = m_pService->linesWith("USB-Device mounted already, taken over  " + sSource + " ");
    QCOMPARE(lTaken.size(), 1);
    QVERIFY(lTaken.first().contains(" W: "));
    QCOMPARE(m_pService->count(" mount failed "), 0);
    QCOMPARE(mountsAtStick(), 1);
    QCOMPARE(stickSource(), sSource.toLatin1());
}

void TestE2eUsbRestart::detaches_a_stale_mount_before_it_mounts_data()
{
    QTest::addColumn<QString>("sSource");
    QTest::newRow("a stick that is gone") << "/dev/sdz";
    QTest::newRow("another disk") << "/dev/sdb";
    QTest::newRow("no device at all") << "scratch";
}

void TestE2eUsbRestart::detaches_a_stale_mount_before_it_mounts()
{
    QFETCH(QString, sSource);
    m_pSticks->addStick("sda");
    m_pSticks->addDisk("sdb", {{"ID_BUS", "ata"}, {"ID_TYPE", "disk"}});
    startAndJoinOn(earlierMount(sSource));

    QTRY_COMPARE_WITH_TIMEOUT(publications().last().value("UsbDeviceState").toInt(), 2, 10000);
    const QStringList lDetached = m_pService->linesWith("Stale mount detached  " + sSource + " ");
    QCOMPARE(lDetached.size(), 1);
    QVERIFY(lDetached.first().contains(" W: "));
    QCOMPARE(m_pService->count("taken over"), 0);
    // The stick's own mount, alone: nothing below it, and the stale mount's folders are not reported.
    QCOMPARE(mountsAtStick(), 1);
    QCOMPARE(stickSource(), QByteArray("/dev/sda"));
    QCOMPARE(publications().last().value("LogbookDirFound").toBool(), false);
}

void TestE2eUsbRestart::leaves_nothing_mounted_when_the_stick_is_pulled()
{
    // Two runs ago the stick was mounted as a whole disk, in the last run on partition 1 above it.
    const QString sStick = m_pSticks->addStick("sda");
    m_pSticks->addNode("sda1");
    startAndJoinOn(earlierMount("/dev/sda") + " && " + earlierMount("/dev/sda1"));
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

QList<QJsonObject> TestE2eUsbRestart::publishedBy(int iPid) const
{
    QList<QJsonObject> lEvents = m_pSim->events("setRuntimeUsb");
    lEvents.removeIf([&](const QJsonObject& oEvent) { return oEvent.value("from").toInt() != iPid; });
    return CCoreSimProcess::recordsOf(lEvents);
}

void TestE2eUsbRestart::publishes_no_stick_that_was_pulled_while_it_was_down()
{
    // The first run mounts the stick and is killed as a crash would end it; the core keeps its
    // last record.
    const QString sStick = m_pSticks->addStick("sda");
    m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({"Veltrano/logbook/"}));
    startSimulator();
    startService();
    join();
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

QTEST_GUILESS_MAIN(TestE2eUsbRestart)
#include "test_e2e_usb_restart.moc"
