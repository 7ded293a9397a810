// Reading the mount table: what a restarted service takes over or detaches depends on it.

#include "usb/cmounttable.h"

#include <QtTest>

namespace {

const QByteArray g_aRoot = "21 1 8:2 / / rw,relatime shared:1 - ext4 /dev/vda2 rw\n";

} // namespace

class TestCMountTable : public QObject
{
    Q_OBJECT

private slots:
    void finds_the_source_of_a_mount_point()
    {
        // Optional fields vary in number; the source follows the type after "-".
        const CMountTable oTable(g_aRoot + "40 21 8:1 / /mnt/usbstick rw,sync,nosuid,nodev shared:7 master:3 - vfat "
                                           "/dev/sda1 rw,fmask=0022\n"
                                           "41 21 0:5 / /mnt/usbstick2 rw - tmpfs tmpfs rw\n");
        QCOMPARE(oTable.sourceAt("/mnt/usbstick"), QByteArray("/dev/sda1"));
        QCOMPARE(oTable.typeAt("/mnt/usbstick"), QByteArray("vfat"));
        QCOMPARE(oTable.sourceAt("/"), QByteArray("/dev/vda2"));
        QVERIFY(oTable.sourceAt("/mnt").isNull());
        QVERIFY(oTable.typeAt("/mnt").isNull());
        QVERIFY(CMountTable(QByteArray()).sourceAt("/mnt/usbstick").isNull());
    }

    void takes_the_top_of_stacked_mounts()
    {
        // An earlier run's mount of a vanished stick, with a new mount on top of it.
        const QByteArray aStacked =
            "40 21 8:1 / /mnt/usbstick rw - vfat /dev/sda1 rw\n"
            "52 40 8:17 / /mnt/usbstick rw - exfat /dev/sdb1 rw\n";
        QCOMPARE(CMountTable(g_aRoot + aStacked).sourceAt("/mnt/usbstick"), QByteArray("/dev/sdb1"));
        QCOMPARE(CMountTable(g_aRoot + aStacked).typeAt("/mnt/usbstick"), QByteArray("exfat"));

        // A mount below another one elsewhere in the table does not count as on top.
        const QByteArray aBeside =
            "40 21 8:1 / /mnt/usbstick rw - vfat /dev/sda1 rw\n"
            "53 21 8:33 / /mnt/other rw - vfat /dev/sdc1 rw\n";
        QCOMPARE(CMountTable(g_aRoot + aBeside).sourceAt("/mnt/usbstick"), QByteArray("/dev/sda1"));
    }

    void reads_escaped_names()
    {
        const CMountTable oTable(g_aRoot
                                 + "40 21 0:9 / /mnt/usb\\040stick rw - fuse /dev/disk\\134by-label\\040A rw\n");
        QCOMPARE(oTable.sourceAt("/mnt/usb stick"), QByteArray("/dev/disk\\by-label A"));
        QVERIFY(oTable.sourceAt("/mnt/usbstick").isNull());
    }

    void skips_lines_it_cannot_read()
    {
        const CMountTable oTable("garbage\n40 21 8:1 / /mnt/usbstick rw vfat /dev/sda1\n\n- - -\n" + g_aRoot
                                 + "44 21 8:1 / /mnt/usbstick rw -\n");
        QVERIFY(oTable.sourceAt("/mnt/usbstick").isNull());
        QCOMPARE(oTable.sourceAt("/"), QByteArray("/dev/vda2"));
    }
};

QTEST_GUILESS_MAIN(TestCMountTable)
#include "test_cmounttable.moc"
