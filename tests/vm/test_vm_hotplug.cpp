// The real daemon and real sticks on a real kernel: mounted at the start and when plugged in,
// kept mounted through the kernel's and udev's own "change" events, released when pulled, and
// forgotten when pulled while the daemon was down.

#include "cvmfixture.h"

#include <QtTest>

class TestVmHotplug : public CVmFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void mounts_a_stick_present_at_start_and_clears_it_when_pulled();
    void keeps_a_plugged_in_stick_mounted_data();
    void keeps_a_plugged_in_stick_mounted();
    void keeps_the_stick_through_a_triggered_change();
    void releases_the_stick_when_its_medium_is_taken_out();
    void publishes_no_stick_pulled_while_it_was_down();
};

void TestVmHotplug::initTestCase()
{
    bootMachine();
    startAndJoin();
}

void TestVmHotplug::mounts_a_stick_present_at_start_and_clears_it_when_pulled()
{
    // The daemon starts again, with the stick already there.
    QVERIFY2(m_pGuest->stopService(), qPrintable(m_pGuest->error()));
    QVERIFY(plug("start", m_pMachine->makeStick("fat16", {"Veltrano/logbook/", "Veltrano/update/firmware.bin"})));
    QCOMPARE(m_pMachine->run("udevadm settle --timeout=60").iStatus, 0);
    QVERIFY2(m_pGuest->startService() && m_pGuest->join(), qPrintable(m_pGuest->error()));
    QTRY_COMPARE_WITH_TIMEOUT(m_pGuest->lastRecord().value("UsbDeviceState").toInt(), 2, 30000);

    const QJsonObject oRecord = m_pGuest->lastRecord();
    const QString sNode = oRecord.value("UsbDeviceNode").toString();
    QVERIFY2(sNode.startsWith("/dev/sd"), qPrintable(sNode));
    // The mount flags as the kernel shows them: MS_SYNCHRONOUS is "sync", then MS_NOSUID and MS_NODEV.
    const QString sMount = m_pGuest->stickMount();
    QVERIFY2(sMount.startsWith(sNode + " /mnt/usbstick vfat rw,sync,nosuid,nodev,"), qPrintable(sMount));
    QCOMPARE(oRecord.value("UpdateFileFound").toBool(), true);
    QCOMPARE(oRecord.value("LogbookDirFound").toBool(), true);
    QCOMPARE(oRecord.value("DatabaseDirFound").toBool(), false);
    QCOMPARE(oRecord.value("UsbVendor").toString(), QString("QEMU"));

    // The capacity is the file system's size as the guest's statvfs tells it.
    const QList<QByteArray> lSize = m_pMachine->run("stat -f -c '%S %b' /mnt/usbstick").aOutput.trimmed().split(' ');
    QCOMPARE(lSize.size(), 2);
    QCOMPARE(oRecord.value("UsbCapacity").toInteger(), lSize[0].toLongLong() * lSize[1].toLongLong());

    QVERIFY(pull("start"));
    QTRY_VERIFY_WITH_TIMEOUT(m_pGuest->lastRecord().value("UsbDeviceState").toInt() == 0
                                 && m_pGuest->lastRecord().value("UsbDeviceUnmounted").toBool(),
                             20000);
    QVERIFY(m_pGuest->stickMount().isEmpty());
    QCOMPARE(m_pGuest->count("'umount' OK"), 1);
    const QJsonObject oCleared = m_pGuest->lastRecord();
    QCOMPARE(oCleared.value("UsbDeviceNode").toString(), QString(""));
    QCOMPARE(oCleared.value("UsbMountPath").toString(), QString(""));
    QCOMPARE(oCleared.value("UsbCapacity").toInteger(), Q_INT64_C(0));
    QCOMPARE(oCleared.value("LogbookDirFound").toBool(), false);

    // Peers see the unmounted flag for about five seconds.
    QTRY_VERIFY_WITH_TIMEOUT(!m_pGuest->lastRecord().value("UsbDeviceUnmounted").toBool(), 15000);
    const QList<QJsonObject> lEvents = m_pGuest->events("setRuntimeUsb");
    const double dShown = lEvents.last().value("ms").toDouble() - lEvents[lEvents.size() - 2].value("ms").toDouble();
    QVERIFY2(dShown >= 4900 && dShown < 7000, qPrintable(QString("flag shown %1 ms").arg(dShown)));
}

void TestVmHotplug::keeps_a_plugged_in_stick_mounted_data()
{
    QTest::addColumn<QString>("sKind");
    QTest::addColumn<QString>("sPartition");
    QTest::newRow("FAT16 without a partition table") << "fat16"
                                                     << "";
    QTest::newRow("FAT32 in an MBR partition") << "mbr-fat32"
                                               << "1";
    QTest::newRow("FAT32 in a GPT partition") << "gpt-fat32"
                                              << "1";
}

void TestVmHotplug::keeps_a_plugged_in_stick_mounted()
{
    QFETCH(QString, sKind);
    QFETCH(QString, sPartition);
    const int iChanges = m_pGuest->count("USB-Device changed, medium present ");
    const int iWholeDiskFailures = m_pGuest->count("mount failed (vfat) errno =  22  :  Invalid argument");

    const QJsonObject oRecord = plugAndWait("plugged", m_pMachine->makeStick(sKind, {"Veltrano/database/"}));
    QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 2);
    const QString sNode = oRecord.value("UsbDeviceNode").toString();
    QVERIFY2(m_pGuest->stickMount().startsWith(sNode + sPartition + " /mnt/usbstick vfat rw,sync,nosuid,nodev,"),
             qPrintable(m_pGuest->stickMount()));
    QCOMPARE(oRecord.value("DatabaseDirFound").toBool(), true);
    // A partitioned stick is first tried, and refused by the kernel, as a whole disk.
    QCOMPARE(m_pGuest->count("mount failed (vfat) errno =  22  :  Invalid argument") - iWholeDiskFailures,
             sPartition.isEmpty() ? 0 : 1);

    // The kernel follows the "add" with a "change" of the disk; the stick stays.
    QTRY_VERIFY_WITH_TIMEOUT(m_pGuest->count("USB-Device changed, medium present ") > iChanges, 10000);
    const qsizetype iPublished = m_pGuest->publications().size();
    QVERIFY(holdsFor([&] { return !m_pGuest->stickMount().isEmpty(); }, 10000));
    QCOMPARE(m_pGuest->publications().size(), iPublished);
    QCOMPARE(m_pGuest->lastRecord().value("UsbDeviceState").toInt(), 2);

    QVERIFY(pullAndWait("plugged"));
    QVERIFY(m_pGuest->stickMount().isEmpty());
}

void TestVmHotplug::keeps_the_stick_through_a_triggered_change()
{
    QCOMPARE(plugAndWait("triggered", m_pMachine->makeStick("fat16")).value("UsbDeviceState").toInt(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(m_pGuest->count("USB-Device changed, medium present ") > 0, 10000);
    const int iChanges = m_pGuest->count("USB-Device changed, medium present ");
    const qsizetype iPublished = m_pGuest->publications().size();

    // What packages and administrators run: a "change" for every disk.
    QCOMPARE(m_pMachine->run("udevadm trigger --action=change --subsystem-match=block").iStatus, 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_pGuest->count("USB-Device changed, medium present ") > iChanges, 10000);
    QVERIFY(!m_pGuest->stickMount().isEmpty());
    QCOMPARE(m_pGuest->publications().size(), iPublished);
    QVERIFY(pullAndWait("triggered"));
}

void TestVmHotplug::releases_the_stick_when_its_medium_is_taken_out()
{
    QCOMPARE(plugAndWait("reader", m_pMachine->makeStick("fat16")).value("UsbDeviceState").toInt(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(m_pGuest->count("USB-Device changed, medium present ") > 0, 10000);
    const int iRemovals = m_pGuest->count("USB-Device removed ");

    // A card reader whose card is taken out: the kernel sees the size drop to 0 and says "change".
    QVERIFY(m_pMachine->eject("reader"));
    QTRY_VERIFY_WITH_TIMEOUT(m_pGuest->lastRecord().value("UsbDeviceState").toInt() == 0
                                 && m_pGuest->lastRecord().value("UsbDeviceUnmounted").toBool(),
                             20000);
    QCOMPARE(m_pGuest->count("USB-Device removed "), iRemovals + 1);
    QVERIFY(m_pGuest->stickMount().isEmpty());

    // The reader pulled afterwards has no stick left to remove.
    const int iIgnored = m_pGuest->count("USB-Device event ignored, no stick in use ");
    QVERIFY(pull("reader"));
    QTRY_VERIFY_WITH_TIMEOUT(m_pGuest->count("USB-Device event ignored, no stick in use ") > iIgnored, 20000);
    QCOMPARE(m_pGuest->count("USB-Device removed "), iRemovals + 1);
}

void TestVmHotplug::publishes_no_stick_pulled_while_it_was_down()
{
    QCOMPARE(
        plugAndWait("gone", m_pMachine->makeStick("mbr-fat32", {"Veltrano/logbook/"})).value("UsbDeviceState").toInt(),
        2);

    // Killed as a crash would end it, the stick pulled while nothing watches: the kernel keeps
    // the vanished disk's mount, and the core the last record.
    const int iPid = m_pGuest->servicePid();
    QCOMPARE(m_pMachine->run(QString("kill -KILL %1 && timeout 10 tail --pid=%1 -f /dev/null").arg(iPid)).iStatus, 0);
    QVERIFY(pull("gone"));
    QCOMPARE(m_pMachine->run("udevadm settle --timeout=60").iStatus, 0);
    QVERIFY(!m_pGuest->stickMount().isEmpty());
    QVERIFY2(m_pGuest->startService() && m_pGuest->join(), qPrintable(m_pGuest->error()));
    QVERIFY(m_pGuest->stickMount().isEmpty());
    QCOMPARE(m_pGuest->count("Stale mount detached "), 1);

    // A stick plugged in afterwards is mounted once; until then the new run published no stick.
    QCOMPARE(plugAndWait("after", m_pMachine->makeStick("fat16")).value("UsbDeviceState").toInt(), 2);
    QCOMPARE(m_pMachine->run("grep -c ' /mnt/usbstick ' /proc/mounts").aOutput.trimmed(), QByteArray("1"));
    QList<QJsonObject> lEvents = m_pGuest->events("setRuntimeUsb");
    lEvents.removeIf([&](const QJsonObject& oEvent) { return oEvent.value("from").toInt() != m_pGuest->servicePid(); });
    QVERIFY(lEvents.size() > 2);
    for (const QJsonObject& oEvent : lEvents.mid(0, lEvents.size() - 2)) {
        QCOMPARE(oEvent.value("record").toObject().value("UsbDeviceState").toInt(), 0);
        QCOMPARE(oEvent.value("record").toObject().value("UsbDeviceNode").toString(), QString(""));
    }
    QVERIFY(pullAndWait("after"));
}

QTEST_GUILESS_MAIN(TestVmHotplug)
#include "test_vm_hotplug.moc"
