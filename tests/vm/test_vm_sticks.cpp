// The sticks people carry, made by the real formatting tools and plugged in one after the other
// in one test machine: which partition the real kernel mounts, what the daemon saw on it, and the
// warning that tells what a refused stick holds.

#include "cvmfixture.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QtTest>

class TestVmSticks : public CVmFixture
{
    Q_OBJECT

private slots:
    void mounts_the_stick_from_where_its_data_is_data()
    {
        QTest::addColumn<QString>("sKind");
        // Mounted: the partition mounted ("" for the whole disk) and its file system; refused: the
        // partition and the end of the warning.
        QTest::addColumn<QString>("sPartition");
        QTest::addColumn<QString>("sOutcome");
        QTest::newRow("FAT32, MBR, from 1 MiB") << "mbr-fat32"
                                                << "1"
                                                << "vfat";
        QTest::newRow("FAT16, whole disk") << "fat16"
                                           << ""
                                           << "vfat";
        QTest::newRow("GPT, FAT32") << "gpt-fat32"
                                    << "1"
                                    << "vfat";
        QTest::newRow("GPT of a Mac, EFI partition first") << "mac-gpt"
                                                           << "2"
                                                           << "vfat";
        QTest::newRow("exFAT, MBR, from 4 MiB") << "exfat-mbr"
                                                << "1"
                                                << "exfat";
        QTest::newRow("exFAT, whole disk") << "exfat"
                                           << ""
                                           << "exfat";
        // Debian's kernel has no NTFS driver at all, neither ntfs nor ntfs3.
        QTest::newRow("NTFS, MBR") << "ntfs-mbr"
                                   << "1"
                                   << "holds ntfs, not mounted (this kernel mounts vfat exfat) ";
        QTest::newRow("ext4, MBR") << "ext4"
                                   << "1"
                                   << "holds ext4, not mounted (this kernel mounts vfat exfat) ";
        QTest::newRow("blank") << "blank"
                               << ""
                               << "holds no partition table and no file system, not mounted (this kernel mounts vfat "
                                  "exfat) ";
    }

    void mounts_the_stick_from_where_its_data_is()
    {
        QFETCH(QString, sKind);
        QFETCH(QString, sPartition);
        QFETCH(QString, sOutcome);
        QElapsedTimer oTimer;
        oTimer.start();
        const QString sImage = m_pMachine->makeStick(sKind, {"Veltrano/logbook/", "Veltrano/update/firmware.bin"});
        QVERIFY(!sImage.isEmpty());
        const qint64 iMade = oTimer.restart();
        const QJsonObject oRecord = plugAndWait("stick", sImage);
        qInfo("image made in %lld ms, published %lld ms after the plug", iMade, oTimer.elapsed());
        QVERIFY2(!oRecord.isEmpty(), "neither mounted nor refused in time");
        const QString sSource = oRecord.value("UsbDeviceNode").toString() + sPartition;
        // udev had probed the partitions by the time the service read them, 3 s after the disk.
        QCOMPARE(m_pGuest->count("not fully probed by udev"), 0);

        if (sOutcome.startsWith("holds")) {
            QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 1);
            QCOMPARE(m_pGuest->linesWith(", not mounted (").last(), QString("USB  %1  %2").arg(sSource, sOutcome));
            QVERIFY(m_pGuest->stickMount().isEmpty());
            // The kernel's own answer to the last attempt: there is no "ntfs" driver.
            QCOMPARE(m_pGuest->linesWith(" mount failed errno = ").last(),
                     QString("USB  %1  mount failed errno =  19  :  No such device ")
                         .arg(oRecord.value("UsbDeviceNode").toString()));
        } else {
            QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 2);
            // Mounted where the stick of an untrusted user may bring no set-user-ID program nor device.
            QVERIFY2(m_pGuest->stickMount().startsWith(
                         QString("%1 /mnt/usbstick %2 rw,sync,nosuid,nodev,").arg(sSource, sOutcome)),
                     qPrintable(m_pGuest->stickMount()));
            QCOMPARE(oRecord.value("UpdateFileFound").toBool(), true);
            QCOMPARE(oRecord.value("LogbookDirFound").toBool(), true);
            QCOMPARE(oRecord.value("DatabaseDirFound").toBool(), false);
            const QList<QByteArray> lSize =
                m_pMachine->run("stat -f -c '%S %b' /mnt/usbstick").aOutput.trimmed().split(' ');
            QCOMPARE(oRecord.value("UsbCapacity").toInteger(),
                     lSize.value(0).toLongLong() * lSize.value(1).toLongLong());
            // The operator tool tells the same from the mount table.
            const QJsonObject oStatus =
                QJsonDocument::fromJson(m_pMachine->run(CGuestServices::onBus("veltrano-usbctl status --json")).aOutput)
                    .object();
            QCOMPARE(oStatus.value("mount").toObject(), QJsonObject({{"source", sSource}, {"type", sOutcome}}));
        }
        QVERIFY(pullAndWait("stick"));
    }
};

QTEST_GUILESS_MAIN(TestVmSticks)
#include "test_vm_sticks.moc"
