// What a real kernel answers when a stick cannot be used or released: file systems the service
// does not mount, a write-protected stick, and a file held open on the stick; and what it does
// with what a hostile user plants: a link as the mount point.

#include "cvmfixture.h"

#include <QCryptographicHash>
#include <QFile>
#include <QtTest>

class TestVmFailures : public CVmFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keeps_a_stick_it_cannot_mount_detected_data();
    void keeps_a_stick_it_cannot_mount_detected();
    void leaves_a_write_protected_stick_as_it_was();
    void keeps_a_busy_stick_mounted_until_the_file_is_closed();
    void mounts_nothing_through_a_link_at_the_mount_point();

private:
    QString unmountRequest();
};

void TestVmFailures::initTestCase()
{
    bootMachine();
    startAndJoin();
}

QString TestVmFailures::unmountRequest()
{
    return CGuestServices::onBus("veltrano-usbctl unmount --timeout 20");
}

void TestVmFailures::keeps_a_stick_it_cannot_mount_detected_data()
{
    QTest::addColumn<QString>("sKind");
    QTest::newRow("NTFS") << "ntfs";
    QTest::newRow("never formatted") << "blank";
}

void TestVmFailures::keeps_a_stick_it_cannot_mount_detected()
{
    QFETCH(QString, sKind);
    const QStringList lBefore = m_pGuest->linesWith("mount failed");
    const QJsonObject oRecord = plugAndWait("unusable", m_pMachine->makeStick(sKind));
    QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 1);
    const QString sNode = oRecord.value("UsbDeviceNode").toString();

    // The kernel's own answers: no FAT on the disk, no partition 1, no "ntfs" driver.
    const QStringList lFailures = m_pGuest->linesWith("mount failed").mid(lBefore.size());
    QCOMPARE(lFailures.size(), 3);
    QCOMPARE(lFailures[0], QString("USB  %1  mount failed (vfat) errno =  22  :  Invalid argument ").arg(sNode));
    QCOMPARE(lFailures[1],
             QString("USB  %1  mount failed (vfat) errno =  2  :  No such file or directory ").arg(sNode + "1"));
    QCOMPARE(lFailures[2], QString("USB  %1  mount failed errno =  19  :  No such device ").arg(sNode));
    QVERIFY(m_pGuest->stickMount().isEmpty());
    QVERIFY(pullAndWait("unusable"));
}

void TestVmFailures::leaves_a_write_protected_stick_as_it_was()
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
    QCOMPARE(lFailures[0], QString("USB  %1  mount failed (vfat) errno =  30  :  Read-only file system ").arg(sNode));
    QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 1);
    QVERIFY(m_pGuest->stickMount().isEmpty());
    QVERIFY(pullAndWait("protected"));

    QVERIFY(oImage.open(QIODevice::ReadOnly));
    QCOMPARE(QCryptographicHash::hash(oImage.readAll(), QCryptographicHash::Sha256), aBefore);
}

void TestVmFailures::keeps_a_busy_stick_mounted_until_the_file_is_closed()
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
    QCOMPARE(
        m_pMachine->run(QString("kill %1 && while kill -0 %1 2>/dev/null; do sleep 0.1; done").arg(iHolder)).iStatus,
        0);
    QCOMPARE(m_pMachine->run(unmountRequest()).iStatus, 0);
    QVERIFY(m_pGuest->stickMount().isEmpty());
    QCOMPARE(m_pGuest->lastRecord().value("UsbDeviceUnmounted").toBool(), true);
    QCOMPARE(m_pGuest->count("'umount' OK"), 1);
    QVERIFY(pullAndWait("busy"));
}

void TestVmFailures::mounts_nothing_through_a_link_at_the_mount_point()
{
    QCOMPARE(m_pMachine->run("rm -rf /mnt/usbstick && mkdir -p /run/elsewhere && ln -s /run/elsewhere /mnt/usbstick")
                 .iStatus,
             0);
    const int iRefusals = m_pGuest->count("Mount point is not a directory, not mounted ");
    const int iMountFailures = m_pGuest->count("mount failed");

    QVERIFY(plug("linked", m_pMachine->makeStick("fat16")));
    QTRY_COMPARE_WITH_TIMEOUT(m_pGuest->count("Mount point is not a directory, not mounted "), iRefusals + 1, 20000);
    QVERIFY(m_pGuest->linesWith("Mount point is not a directory, not mounted ").last().contains("/mnt/usbstick"));
    QCOMPARE(m_pGuest->lastRecord().value("UsbDeviceState").toInt(), 1);
    QCOMPARE(m_pGuest->count("mount failed"), iMountFailures);
    QCOMPARE(m_pMachine->run("grep -c -e ' /run/elsewhere ' -e ' /mnt/usbstick ' /proc/mounts").aOutput.trimmed(),
             QByteArray("0"));
    QVERIFY(pullAndWait("linked"));
    QCOMPARE(m_pMachine->run("rm /mnt/usbstick").iStatus, 0);
}

QTEST_GUILESS_MAIN(TestVmFailures)
#include "test_vm_failures.moc"
