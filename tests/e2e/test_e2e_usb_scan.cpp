// The real service finding a stick that is already plugged in when it joins: which devices
// qualify, which one is taken, and how it is mounted (for real where this kernel can fail,
// through the mount stand-in where it would succeed).

#include "ce2efixture.h"

#include <QDir>
#include <QtTest>

namespace {

const QString g_sNoDevice = "errno =  19  :  No such device ";

} // namespace

class TestE2eUsbScan : public CE2eFixture
{
    Q_OBJECT

private slots:
    void qualifies_only_usb_storage_disks_and_fails_for_real_without_vfat();
    void takes_only_the_first_of_two_sticks();
    void mounts_whole_disk_then_partition_then_ntfs_data();
    void mounts_whole_disk_then_partition_then_ntfs();
    void records_nothing_without_a_stick();
};

void TestE2eUsbScan::qualifies_only_usb_storage_disks_and_fails_for_real_without_vfat()
{
    m_pSticks->addStick("sda", {{"ID_USB_DRIVER", "uas"}});
    m_pSticks->addStick("sdb", {{"ID_BUS", ""}});
    m_pSticks->addDisk("sdc", {{"ID_BUS", "ata"}, {"ID_TYPE", "disk"}, {"ID_MODEL", "SATA_Disk"}});
    m_pSticks->addStick("sdd", {{"ID_MODEL", QString(250, 'M')}});
    startSimulator();
    startService();
    join();

    // Every device is examined in order, each property on a line of its own.
    QStringList lExamined;
    for (const QString& sLine : m_pService->linesWith("Device Node Path: ")) {
        lExamined << sLine.section(":  Device Node Path:  ", 1).trimmed();
    }
    QCOMPARE(lExamined, QStringList({"/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd"}));
    QCOMPARE(m_pService->count("UDEV-Item Name:  ID_USB_DRIVER  Value:  uas "), 1);
    QCOMPARE(m_pService->count("UDEV-Item Name:  ID_BUS  Value:  ata "), 1);
    QCOMPARE(m_pService->count("UDEV-Item Name:  ID_SERIAL  Value:  Acme_Stick_sdd_0001 "), 1);
    QCOMPARE(m_pService->count("UDEV-Item Name:  ID_MODEL  Value:  " + QString(250, 'M') + " "), 1);

    // Only sdd qualifies; its long model is cut to 199 characters.
    const QList<QJsonObject> lRecords = publications();
    QCOMPARE(lRecords.size(), 2);
    for (const QJsonObject& oRecord : lRecords) {
        QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 1);
        QCOMPARE(oRecord.value("UsbDeviceNode").toString(), QString("/dev/sdd"));
        QCOMPARE(oRecord.value("UsbVendor").toString(), QString("Acme"));
        QCOMPARE(oRecord.value("UsbModel").toString(), QString(199, 'M'));
        QCOMPARE(oRecord.value("UsbMountPath").toString(), QString(""));
    }

    // No vfat and no ntfs in this kernel: three real failures, in their order, after the wait.
    QCOMPARE(m_pService->count("create dir   /mnt/usbstick "), 1);
    QVERIFY(QDir(m_pService->mountDir() + "/usbstick").exists());
    const QStringList lFailures = m_pService->linesWith(" mount failed ");
    QCOMPARE(lFailures.size(), 3);
    QVERIFY(lFailures[0].endsWith(":  USB  /dev/sdd  mount failed (vfat) " + g_sNoDevice));
    QVERIFY(lFailures[1].endsWith(":  USB  /dev/sdd1  mount failed (vfat) " + g_sNoDevice));
    QVERIFY(lFailures[2].endsWith(":  USB  /dev/sdd  mount failed " + g_sNoDevice));
    for (const QString& sLine : lFailures) {
        QVERIFY(sLine.contains(" W: "));
    }
    const qint64 llPublished = CServiceProcess::timeOf(m_pService->linesWith("'setRuntimeUsb' successfull").first());
    QVERIFY(CServiceProcess::timeOf(lFailures[0]) - llPublished >= 2990);
    QCOMPARE(m_pService->count("statvfs"), 0);
    QVERIFY(!m_pService->isStickMounted());
}

void TestE2eUsbScan::takes_only_the_first_of_two_sticks()
{
    m_pSticks->addStick("sda");
    m_pSticks->addStick("sdb");
    m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({}) + ";vfat:/dev/sdb=" + makeStickFolder({}));
    startSimulator();
    startService();
    join();

    QCOMPARE(m_pService->count("Device Node Path:  /dev/sda "), 1);
    QCOMPARE(m_pService->count("Device Node Path:  /dev/sdb "), 0);
    QCOMPARE(publications().last().value("UsbDeviceNode").toString(), QString("/dev/sda"));
    QCOMPARE(publications().last().value("UsbDeviceState").toInt(), 2);
}

void TestE2eUsbScan::mounts_whole_disk_then_partition_then_ntfs_data()
{
    QTest::addColumn<QString>("sType");
    QTest::addColumn<QString>("sSource");
    QTest::addColumn<QStringList>("lExpectedFailures");
    QTest::newRow("whole disk") << "vfat"
                                << "/dev/sda" << QStringList();
    QTest::newRow("partition 1") << "vfat"
                                 << "/dev/sda1" << QStringList({"USB  /dev/sda  mount failed (vfat) " + g_sNoDevice});
    QTest::newRow("ntfs") << "ntfs"
                          << "/dev/sda"
                          << QStringList({"USB  /dev/sda  mount failed (vfat) " + g_sNoDevice,
                                          "USB  /dev/sda1  mount failed (vfat) " + g_sNoDevice});
}

void TestE2eUsbScan::mounts_whole_disk_then_partition_then_ntfs()
{
    QFETCH(QString, sType);
    QFETCH(QString, sSource);
    QFETCH(QStringList, lExpectedFailures);

    m_pSticks->addStick("sda");
    m_pService->setSticks(sType + ":" + sSource + "=" + makeStickFolder({"Veltrano/database/"}));
    // An existing mount point is used as it is.
    QDir().mkpath(m_pService->mountDir() + "/usbstick");
    startSimulator();
    startService();
    join();

    QStringList lFailures;
    for (const QString& sLine : m_pService->linesWith(" mount failed ")) {
        lFailures << CServiceProcess::messageOf(sLine);
    }
    QCOMPARE(lFailures, lExpectedFailures);
    QCOMPARE(m_pService->count("create dir"), 0);
    QVERIFY(m_pService->isStickMounted());

    // Detected, then mounted and inspected at least three seconds later.
    const QList<QJsonObject> lEvents = m_pSim->events("setRuntimeUsb");
    QCOMPARE(lEvents.size(), 3);
    const QJsonObject oDetected = lEvents[0].value("record").toObject();
    QCOMPARE(oDetected.value("UsbDeviceState").toInt(), 1);
    QCOMPARE(oDetected.value("UsbDeviceNode").toString(), QString("/dev/sda"));
    QCOMPARE(oDetected.value("UsbModel").toString(), QString("Stick_sda"));
    QCOMPARE(oDetected.value("UsbVendor").toString(), QString("Acme"));
    const QJsonObject oInspected = lEvents[1].value("record").toObject();
    QCOMPARE(oInspected.value("UsbDeviceState").toInt(), 2);
    QCOMPARE(oInspected.value("UsbMountPath").toString(), QString("/mnt/usbstick"));
    QCOMPARE(oInspected.value("DatabaseDirFound").toBool(), true);
    QVERIFY(lEvents[1].value("ms").toDouble() - lEvents[0].value("ms").toDouble() >= 3000);
    QCOMPARE(lEvents[2].value("record").toObject(), oInspected);
}

void TestE2eUsbScan::records_nothing_without_a_stick()
{
    startSimulator();
    startService();
    join();

    QCOMPARE(m_pService->count("udev_enumerate_get_list_entry() returns NULL"), 1);
    QCOMPARE(publications().size(), 1);
    QCOMPARE(publications().first().value("UsbDeviceState").toInt(), 0);
    QCOMPARE(publications().first().value("UsbDeviceNode").toString(), QString(""));
    QCOMPARE(m_pService->count(" mount failed "), 0);
}

QTEST_GUILESS_MAIN(TestE2eUsbScan)
#include "test_e2e_usb_scan.moc"
