// The real daemon and real sticks on a real kernel: kept mounted through the kernel's and udev's
// own "change" events, released when pulled or when the medium is taken out, and forgotten when
// pulled while the daemon was down; what the kernel answers for a write-protected stick and one
// with a file held open, and a link a hostile user plants as the mount point. Which sticks mount
// from where: test_vm_sticks.

#include "cvmfixture.h"

#include <QCryptographicHash>
#include <QFile>
#include <QtTest>

class TestVmHotplug : public CVmFixture
{
    Q_OBJECT

private slots:
    void keeps_the_stick_through_the_kernels_and_a_triggered_change()
    {
        const int iKernelChanges = m_pGuest->count("USB-Device changed, medium present ");
        QCOMPARE(plugAndWait("triggered", m_pMachine->makeStick("fat16")).value("UsbDeviceState").toInt(), 2);
        // The kernel follows the "add" with a "change" of the disk; the stick stays.
        QTRY_VERIFY_WITH_TIMEOUT(m_pGuest->count("USB-Device changed, medium present ") > iKernelChanges, 10000);
        const int iChanges = m_pGuest->count("USB-Device changed, medium present ");
        const qsizetype iPublished = m_pGuest->publications().size();
        QVERIFY(holdsFor([&] { return !m_pGuest->stickMount().isEmpty(); }, 5000));

        // What packages and administrators run: a "change" for every disk.
        QCOMPARE(m_pMachine->run("udevadm trigger --action=change --subsystem-match=block").iStatus, 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_pGuest->count("USB-Device changed, medium present ") > iChanges, 10000);
        QVERIFY(!m_pGuest->stickMount().isEmpty());
        QCOMPARE(m_pGuest->publications().size(), iPublished);
        QVERIFY(pullAndWait("triggered"));
    }

    void releases_the_stick_when_its_medium_is_taken_out()
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

    void publishes_no_stick_pulled_while_it_was_down()
    {
        QCOMPARE(plugAndWait("gone", m_pMachine->makeStick("mbr-fat32", {"Veltrano/logbook/"}))
                     .value("UsbDeviceState")
                     .toInt(),
                 2);

        // Killed as a crash would end it, the stick pulled while nothing watches: the kernel keeps
        // the vanished disk's mount, and the core the last record.
        const int iPid = m_pGuest->servicePid();
        QCOMPARE(m_pMachine->run(QString("kill -KILL %1 && timeout 10 tail --pid=%1 -f /dev/null").arg(iPid)).iStatus,
                 0);
        QVERIFY(pull("gone"));
        QCOMPARE(m_pMachine->run("udevadm settle --timeout=60").iStatus, 0);
        QVERIFY(!m_pGuest->stickMount().isEmpty());
        QVERIFY2(m_pGuest->startService() && m_pGuest->join(), qPrintable(m_pGuest->error()));
        QVERIFY(m_pGuest->stickMount().isEmpty());
        QCOMPARE(m_pGuest->count("Stale mount detached "), 1);

        // A stick plugged in afterwards is mounted once; until then the new run published no stick.
        QCOMPARE(plugAndWait("after", m_pMachine->makeStick("fat16")).value("UsbDeviceState").toInt(), 2);
        QCOMPARE(m_pMachine->run("grep -c ' /mnt/usbstick ' /proc/mounts").aOutput.trimmed(), QByteArray("1"));
        const QList<QJsonObject> lRecords = m_pGuest->publishedBy(m_pGuest->servicePid());
        QVERIFY(lRecords.size() > 2);
        for (const QJsonObject& oRecord : lRecords.mid(0, lRecords.size() - 2)) {
            QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 0);
            QCOMPARE(oRecord.value("UsbDeviceNode").toString(), QString(""));
        }
        QVERIFY(pullAndWait("after"));
    }

    void leaves_a_write_protected_stick_as_it_was()
    {
        const QString sImage = m_pMachine->makeStick("fat16", {"Veltrano/update/firmware.bin"});
        QFile oImage(sImage);
        QVERIFY(oImage.open(QIODevice::ReadOnly));
        const QByteArray aBefore = QCryptographicHash::hash(oImage.readAll(), QCryptographicHash::Sha256);
        oImage.close();

        const QStringList lBefore = m_pGuest->linesWith("mount failed");
        const QJsonObject oRecord = plugAndWait("protected", sImage, true);
        QVERIFY(!oRecord.isEmpty());
        const QString sNode = oRecord.value("UsbDeviceNode").toString();
        QVERIFY(m_pMachine->run("dmesg | grep -q 'Write Protect is on'").iStatus == 0);

        // The kernel refuses a writable mount of a write-protected disk; the service mounts read-write
        // only, so the stick stays detected and unmounted.
        const QStringList lFailures = m_pGuest->linesWith("mount failed").mid(lBefore.size());
        QCOMPARE(lFailures.size(), 3);
        QCOMPARE(lFailures[0],
                 QString("USB  %1  mount failed (vfat) errno =  30  :  Read-only file system ").arg(sNode));
        QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 1);
        QVERIFY(m_pGuest->stickMount().isEmpty());
        QVERIFY(pullAndWait("protected"));

        QVERIFY(oImage.open(QIODevice::ReadOnly));
        QCOMPARE(QCryptographicHash::hash(oImage.readAll(), QCryptographicHash::Sha256), aBefore);
    }

    void keeps_a_busy_stick_mounted_until_the_file_is_closed()
    {
        const QJsonObject oRecord =
            plugAndWait("busy", m_pMachine->makeStick("mbr-fat32", {"Veltrano/update/firmware.bin"}));
        QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 2);

        // A process in the guest holds a file on the stick open.
        const CVirtualMachine::SResult oHolder =
            m_pMachine->run("setsid sleep 600 </mnt/usbstick/Veltrano/update/firmware.bin >/dev/null 2>&1 & echo $!");
        const int iHolder = oHolder.aOutput.trimmed().toInt();
        QVERIFY(iHolder > 0);

        // A peer asks for the stick; the kernel says it is busy, and it stays mounted.
        const qsizetype iFailedBefore = m_pGuest->linesWith("failed  errno").size();
        QCOMPARE(m_pMachine->run(unmountRequest()).iStatus, 1);
        const QStringList lFailed = m_pGuest->linesWith("failed  errno").mid(iFailedBefore);
        QCOMPARE(lFailed.size(), 1);
        QCOMPARE(lFailed.first(), QString("'umount'  \"/mnt/usbstick\"  failed  errno =  Device or resource busy 16 "));
        QVERIFY(!m_pGuest->stickMount().isEmpty());
        QCOMPARE(m_pGuest->lastRecord().value("UsbDeviceUnmounted").toBool(), false);

        // Closed, then asked again: released.
        QCOMPARE(m_pMachine->run(QString("kill %1 && while kill -0 %1 2>/dev/null; do sleep 0.1; done").arg(iHolder))
                     .iStatus,
                 0);
        const int iUnmounts = m_pGuest->count("'umount' OK");
        QCOMPARE(m_pMachine->run(unmountRequest()).iStatus, 0);
        QVERIFY(m_pGuest->stickMount().isEmpty());
        QCOMPARE(m_pGuest->lastRecord().value("UsbDeviceUnmounted").toBool(), true);
        QCOMPARE(m_pGuest->count("'umount' OK"), iUnmounts + 1);
        QVERIFY(pullAndWait("busy"));
    }

    void mounts_nothing_through_a_link_at_the_mount_point()
    {
        QCOMPARE(
            m_pMachine->run("rm -rf /mnt/usbstick && mkdir -p /run/elsewhere && ln -s /run/elsewhere /mnt/usbstick")
                .iStatus,
            0);
        const int iRefusals = m_pGuest->count("Mount point is not a directory, not mounted ");
        const int iMountFailures = m_pGuest->count("mount failed");

        QVERIFY(plug("linked", m_pMachine->makeStick("fat16")));
        QTRY_COMPARE_WITH_TIMEOUT(m_pGuest->count("Mount point is not a directory, not mounted "), iRefusals + 1,
                                  20000);
        QVERIFY(m_pGuest->linesWith("Mount point is not a directory, not mounted ").last().contains("/mnt/usbstick"));
        QCOMPARE(m_pGuest->lastRecord().value("UsbDeviceState").toInt(), 1);
        QCOMPARE(m_pGuest->count("mount failed"), iMountFailures);
        QCOMPARE(m_pMachine->run("grep -c -e ' /run/elsewhere ' -e ' /mnt/usbstick ' /proc/mounts").aOutput.trimmed(),
                 QByteArray("0"));
        QVERIFY(pullAndWait("linked"));
        QCOMPARE(m_pMachine->run("rm /mnt/usbstick").iStatus, 0);
    }

private:
    QString unmountRequest();
};

QString TestVmHotplug::unmountRequest()
{
    return CGuestServices::onBus("veltrano-usbctl unmount --timeout 20");
}

QTEST_GUILESS_MAIN(TestVmHotplug)
#include "test_vm_hotplug.moc"
