// Mounting, take-over, inspection and unmounting of the stick, against the system calls stood in.

#include "fakeplatform.h"
#include "usb/cstickmounter.h"
#include "usblog.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/mount.h>

Q_DECLARE_METATYPE(CStickLayout)

class TestCStickMounter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void mounts_what_the_stick_holds_data();
    void mounts_what_the_stick_holds();
    void waits_for_partitions_udev_has_not_probed();
    void prepares_the_mount_point();
    void takes_over_its_own_mount();
    void detaches_stale_mounts_before_mounting();
    void reports_the_product_folders_data();
    void reports_the_product_folders();
    void counts_unreadable_entries_and_measures_in_64_bits();
    void unmounts_its_mount_point();
    void leaves_nothing_of_a_removed_stick();

private:
    std::unique_ptr<QTemporaryDir> m_pStick;
    QString m_sStick;
};

namespace {

QString mountCall(const QString& sSource, const QString& sType)
{
    // Nothing on a stick may become a device node or a set-user-ID program here.
    return QString("mount %1 /mnt/usbstick %2 %3").arg(sSource, sType).arg(MS_SYNCHRONOUS | MS_NOSUID | MS_NODEV);
}

QString mountFailed(const QString& sSource, const char* szWording, int iError)
{
    return Warning({"USB ", sSource, szWording, QString::number(iError), " : ", strerror(iError)});
}

// "gpt", "", {"1 c12a7328-f81f-11d2-ba4b-00a0c93ec93b vfat", "2 0x83"}: the disk's table and
// file system, and its partitions' number, entry type and file system, as udev probed them.
CStickLayout layout(const QByteArray& aTable, const QByteArray& aFsType, const QByteArrayList& lPartitions,
                    bool bProbed = true)
{
    CStickLayout oLayout("/dev/sdb", aTable, aFsType);
    for (const QByteArray& aPartition : lPartitions) {
        const QByteArrayList lFields = aPartition.split(' ');
        oLayout.addPartition(
            {"/dev/sdb" + lFields[0], lFields[0].toInt(), lFields.value(1), lFields.value(2), bProbed});
    }
    return oLayout;
}

const QByteArray g_aEsp = "1 C12A7328-F81F-11D2-BA4B-00A0C93EC93B vfat";
const QByteArray g_aBasicData = "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7";

QString stale(const char* szSource)
{
    return Warning({"Stale mount detached ", szSource});
}

const QString g_sDetach = QString("umount2 /mnt/usbstick %1").arg(MNT_DETACH | UMOUNT_NOFOLLOW);
const QString g_sUnmount = QString("umount2 /mnt/usbstick %1").arg(UMOUNT_NOFOLLOW);

} // namespace

void TestCStickMounter::init()
{
    g_oPlatform.reset();
    g_oPlatform.hModes = {
        {"/mnt/usbstick", S_IFDIR | 0755}, {"/dev/sdb", S_IFBLK}, {"/dev/sdb1", S_IFBLK}, {"/dev/sdc1", S_IFBLK}};
    m_pStick = std::make_unique<QTemporaryDir>();
    m_sStick = m_pStick->path();
    g_oPlatform.aRealRoot = m_sStick.toUtf8();
    CaptureLog();
}

void TestCStickMounter::mounts_what_the_stick_holds_data()
{
    QTest::addColumn<CStickLayout>("oLayout");
    // What /proc/filesystems lists; "+name": a module the kernel can load.
    QTest::addColumn<QByteArrayList>("lKernel");
    // "<source> <type>" in order; all but a mount's last one fail.
    QTest::addColumn<QStringList>("lAttempts");
    QTest::addColumn<bool>("bMounted");
    QTest::addColumn<QString>("sRefusal");

    const QString sDisk = "/dev/sdb vfat";
    const QStringList lThree = {sDisk, "/dev/sdb1 vfat", "/dev/sdb ntfs"};
    QTest::newRow("FAT in partition 1") << layout("dos", "", {"1 0xc vfat"}) << QByteArrayList() << lThree.mid(0, 2)
                                        << true << "";
    QTest::newRow("NTFS on the disk") << layout("", "ntfs", {}) << QByteArrayList({"ntfs"}) << lThree << true << "";
    QTest::newRow("data behind an EFI partition")
        << layout("gpt", "", {g_aEsp, "2 " + g_aBasicData + " vfat"}) << QByteArrayList()
        << QStringList({sDisk, "/dev/sdb2 vfat"}) << true << "";
    QTest::newRow("EFI partition and Linux")
        << layout("gpt", "", {g_aEsp, "2 0fc63daf-8483-4772-8e79-3d69d8477de4 ext4"}) << QByteArrayList()
        << lThree.mid(0, 2) << true << "";
    QTest::newRow("exFAT on the disk") << layout("dos", "exfat", {}) << QByteArrayList({"+exfat"})
                                       << lThree + QStringList("/dev/sdb exfat") << true << "";
    QTest::newRow("exFAT in partition 1") << layout("dos", "", {"1 0x7 exfat"}) << QByteArrayList()
                                          << lThree + QStringList("/dev/sdb1 exfat") << true << "";
    QTest::newRow("exFAT behind an EFI partition")
        << layout("gpt", "", {g_aEsp, "2 " + g_aBasicData + " exfat", "3 " + g_aBasicData + " vfat"})
        << QByteArrayList() << QStringList({sDisk, "/dev/sdb2 vfat", "/dev/sdb ntfs", "/dev/sdb2 exfat"}) << true << "";
    QTest::newRow("exFAT without its driver")
        << layout("", "exfat", {}) << QByteArrayList() << lThree + QStringList("/dev/sdb exfat") << false
        << "/dev/sdb holds exfat, not mounted (this kernel mounts vfat)";
    QTest::newRow("NTFS with ntfs3 only") << layout("dos", "", {"1 0x7 ntfs"}) << QByteArrayList({"ntfs3"})
                                          << lThree + QStringList("/dev/sdb1 ntfs3") << true << "";
    QTest::newRow("NTFS with both drivers")
        << layout("dos", "", {"1 0x7 ntfs"}) << QByteArrayList({"ntfs", "+ntfs3"}) << lThree << false
        << "/dev/sdb1 holds ntfs, not mounted (this kernel mounts vfat ntfs ntfs3)";
    QTest::newRow("NTFS without a driver")
        << layout("dos", "", {"1 0x7 ntfs"}) << QByteArrayList({"+exfat"}) << lThree << false
        << "/dev/sdb1 holds ntfs, not mounted (this kernel mounts vfat exfat)";
    QTest::newRow("ext4") << layout("dos", "", {"1 0x83 ext4"}) << QByteArrayList() << lThree << false
                          << "/dev/sdb1 holds ext4, not mounted (this kernel mounts vfat)";
    QTest::newRow("empty partition") << layout("gpt", "", {"1 " + g_aBasicData}) << QByteArrayList() << lThree << false
                                     << "/dev/sdb1 holds no file system, not mounted (this kernel mounts vfat)";
    QTest::newRow("blank, no stick driver")
        << layout("", "", {}) << QByteArrayList({"-"}) << lThree << false
        << "/dev/sdb holds no partition table and no file system, not mounted (this kernel mounts none of vfat "
           "exfat ntfs ntfs3)";
}

// The three attempts as always, in that order after 3 s; then only what udev found on the stick,
// and a word on what a stick that stays unmounted holds.
void TestCStickMounter::mounts_what_the_stick_holds()
{
    QFETCH(CStickLayout, oLayout);
    QFETCH(QByteArrayList, lKernel);
    QFETCH(QStringList, lAttempts);
    QFETCH(bool, bMounted);
    QFETCH(QString, sRefusal);
    g_oPlatform.lLayouts = {oLayout};
    for (const QByteArray& aType : lKernel) {
        if (aType == "-") {
            g_oPlatform.aFileSystems = "nodev\tproc\n";
        } else if (aType.startsWith('+')) {
            g_oPlatform.aModuleAliases += "alias fs-" + aType.mid(1) + ' ' + aType.mid(1) + '\n';
        } else {
            g_oPlatform.aFileSystems += '\t' + aType + '\n';
        }
    }
    QStringList lCalls("sleep 3");
    QStringList lLog;
    for (qsizetype i = 0; i < lAttempts.size(); ++i) {
        const QStringList lAttempt = lAttempts[i].split(' ');
        lCalls << mountCall(lAttempt[0], lAttempt[1]);
        if (!bMounted || i + 1 < lAttempts.size()) {
            g_oPlatform.hMountErrors.insert(lAttempts[i].toUtf8(), EINVAL);
            const QString sType = lAttempt[1] == "ntfs" ? QString() : "(" + lAttempt[1] + ") ";
            lLog << mountFailed(lAttempt[0], qPrintable(" mount failed " + sType + "errno = "), EINVAL);
        }
    }
    if (!sRefusal.isEmpty()) {
        lLog << Warning({"USB ", sRefusal.section(' ', 0, 0), ' ' + sRefusal.section(' ', 1)});
    }

    CStickMounter oMounter;
    QCOMPARE(oMounter.mount("/dev/sdb"), bMounted);
    QCOMPARE(oMounter.isMounted(), bMounted);
    QCOMPARE(g_oPlatform.lCalls, lCalls);
    QCOMPARE(TakeLog(), lLog);
}

// udev probes a new disk's partitions after the disk: the layout is asked again until it has,
// within a bound, and then taken as far as it goes.
void TestCStickMounter::waits_for_partitions_udev_has_not_probed()
{
    const CStickLayout oMac = layout("gpt", "", {g_aEsp, "2 " + g_aBasicData + " vfat"});
    g_oPlatform.hMountErrors.insert("/dev/sdb vfat", EINVAL);
    g_oPlatform.lLayouts = {layout("gpt", "", {}), layout("gpt", "", {g_aEsp, "2"}, false), oMac};
    QVERIFY(CStickMounter().mount("/dev/sdb"));
    QCOMPARE(g_oPlatform.lCalls, QStringList({"sleep 3", mountCall("/dev/sdb", "vfat"), "usleep 250000",
                                              "usleep 250000", mountCall("/dev/sdb2", "vfat")}));
    TakeLog();

    g_oPlatform.reset();
    g_oPlatform.hModes.insert("/mnt/usbstick", S_IFDIR | 0755);
    g_oPlatform.hMountErrors.insert("/dev/sdb vfat", EINVAL);
    g_oPlatform.lLayouts = {layout("gpt", "", {g_aEsp, "2"}, false)};
    QVERIFY(CStickMounter().mount("/dev/sdb"));
    QCOMPARE(g_oPlatform.lCalls.filter("usleep 250000").size(), 20);
    QCOMPARE(g_oPlatform.lCalls.last(), mountCall("/dev/sdb1", "vfat"));
    QCOMPARE(TakeLog().last(),
             Warning({"USB ", "/dev/sdb", " not fully probed by udev, mounted as far as it is known"}));
}

// The mount point is made when missing, and refused when it is anything but a directory.
void TestCStickMounter::prepares_the_mount_point()
{
    const QStringList lMounted = {"sleep 3", mountCall("/dev/sdb", "vfat")};
    const QString sCreate = Debug({"create dir  ", "/mnt/usbstick"});
    const QString sRefused = Warning({"Mount point is not a directory, not mounted ", "/mnt/usbstick"});
    // The outcome, then the calls made, then the lines logged.
    const auto mount = [] {
        const bool bMounted = CStickMounter().mount("/dev/sdb");
        const QStringList lOutcome = QStringList(bMounted ? "mounted" : "not mounted") + g_oPlatform.lCalls + TakeLog();
        g_oPlatform.lCalls.clear();
        g_oPlatform.lMounts.clear();
        return lOutcome;
    };

    QCOMPARE(mount(), QStringList("mounted") + lMounted);
    g_oPlatform.hModes.remove("/mnt/usbstick");
    QCOMPARE(mount(), QStringList({"mounted", "mkdir /mnt/usbstick 777"}) + lMounted + QStringList(sCreate));
    QCOMPARE(g_oPlatform.hModes.value("/mnt/usbstick") & S_IFMT, mode_t(S_IFDIR));

    g_oPlatform.hModes.remove("/mnt/usbstick");
    g_oPlatform.iMkdirErrno = EROFS;
    QCOMPARE(mount(), QStringList({"not mounted", "mkdir /mnt/usbstick 777", sCreate,
                                   Debug({"failed to create dir ", "/mnt/usbstick"})}));

    g_oPlatform.hModes.insert("/mnt/usbstick", S_IFREG | 0644);
    QCOMPARE(mount(), QStringList({"not mounted", sRefused}));
    // A planted link to a directory: mounting there would put the stick wherever it leads.
    g_oPlatform.hModes.insert("/etc", S_IFDIR | 0755);
    g_oPlatform.hLinks.insert("/mnt/usbstick", "/etc");
    QCOMPARE(mount(), QStringList({"not mounted", sRefused}));

    // Any other failure to look at it is left to the mount to find out.
    g_oPlatform.hErrors.insert("/mnt/usbstick", EACCES);
    QCOMPARE(mount(), QStringList("mounted") + lMounted);
}

// A restarted service keeps its own mount of the stick, disk or partition, when its node is still there.
void TestCStickMounter::takes_over_its_own_mount()
{
    for (const char* szSource : {"/dev/sdb", "/dev/sdb1", "/dev/sdb2"}) {
        g_oPlatform.hModes.insert(szSource, S_IFBLK);
        g_oPlatform.lMounts.clear();
        g_oPlatform.addMount("/dev/vanished");
        g_oPlatform.addMount(szSource);
        CStickMounter oMounter;
        QVERIFY(oMounter.mount("/dev/sdb"));
        QVERIFY(oMounter.isMounted());
        QCOMPARE(TakeLog(), QStringList({Warning({"USB-Device mounted already, taken over ", szSource})}));
        QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>({"/dev/vanished", szSource}));
    }
    QVERIFY(!g_oPlatform.lCalls.join(' ').contains("mount"));

    // A mount under the stick's name whose node is gone is an earlier stick's: detached, then mounted anew.
    g_oPlatform.lMounts.clear();
    g_oPlatform.addMount("/dev/sdb1");
    g_oPlatform.hModes.remove("/dev/sdb1");
    g_oPlatform.lCalls.clear();
    QVERIFY(CStickMounter().mount("/dev/sdb"));
    QCOMPARE(g_oPlatform.lCalls, QStringList({"sleep 3", g_sDetach, mountCall("/dev/sdb", "vfat")}));
    QCOMPARE(TakeLog(), QStringList(stale("/dev/sdb1")));
}

// Whatever else sits at the mount point is detached top down, another disk whose name begins
// with the stick's too; a detach that fails does not stop the mount.
void TestCStickMounter::detaches_stale_mounts_before_mounting()
{
    g_oPlatform.hModes.insert("/dev/sdba1", S_IFBLK);
    g_oPlatform.addMount("/dev/sdx1");
    g_oPlatform.addMount("tmpfs", "tmpfs");
    g_oPlatform.addMount("/dev/sdba1");
    QVERIFY(CStickMounter().mount("/dev/sdb"));
    QCOMPARE(g_oPlatform.lCalls,
             QStringList({"sleep 3", g_sDetach, g_sDetach, g_sDetach, mountCall("/dev/sdb", "vfat")}));
    QCOMPARE(TakeLog(), QStringList({stale("/dev/sdba1"), stale("tmpfs"), stale("/dev/sdx1")}));
    QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>({"/dev/sdb"}));

    g_oPlatform.lMounts.clear();
    g_oPlatform.addMount("/dev/sdc1");
    g_oPlatform.iUmountErrno = EBUSY;
    QVERIFY(CStickMounter().mount("/dev/sdb"));
    QCOMPARE(TakeLog(),
             QStringList({Warning({"'umount2' ", "/dev/sdc1", " failed  errno = ", strerror(EBUSY), "16"})}));
    QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>({"/dev/sdc1", "/dev/sdb"}));
}

void TestCStickMounter::reports_the_product_folders_data()
{
    QTest::addColumn<QStringList>("lEntries");
    QTest::addColumn<QString>("sFound");
    QTest::newRow("nothing") << QStringList() << "---";
    QTest::newRow("all three") << QStringList({"Veltrano/update/fw.bin", "Veltrano/database/", "Veltrano/logbook/"})
                               << "udl";
    QTest::newRow("empty update folder") << QStringList("Veltrano/update/") << "---";
    QTest::newRow("hidden files only") << QStringList("Veltrano/update/.hidden") << "---";
    QTest::newRow("a subfolder is an update") << QStringList("Veltrano/update/sub/") << "u--";
    // Only a missing entry is absent: plain files count as the folders.
    QTest::newRow("plain files") << QStringList({"Veltrano/update", "Veltrano/database", "Veltrano/logbook"}) << "-dl";
}

// What the stick offers: the update folder must hold a visible entry, the other two need only be there.
void TestCStickMounter::reports_the_product_folders()
{
    QFETCH(QStringList, lEntries);
    QFETCH(QString, sFound);
    const QDir oStick(m_sStick);
    for (const QString& sEntry : lEntries) {
        if (sEntry.endsWith('/')) {
            QVERIFY(oStick.mkpath(sEntry));
        } else {
            QVERIFY(oStick.mkpath(QFileInfo(sEntry).path()));
            QFile oFile(oStick.filePath(sEntry));
            QVERIFY(oFile.open(QIODevice::WriteOnly));
        }
    }
    const CStickContent oContent = CStickMounter().inspect(m_sStick.toUtf8().constData());
    QCOMPARE(QString(oContent.bUpdate ? "u" : "-") + (oContent.bDatabase ? "d" : "-") + (oContent.bLogbook ? "l" : "-"),
             sFound);
    QVERIFY(oContent.oCapacity);

    const QString sUpdate = m_sStick + "/Veltrano/update";
    const QString sLogbook = m_sStick + "/Veltrano/logbook";
    const QString sSize = Debug({"'statvfs' reports  f_frsize =  ", "4096", " f_blocks = ", "1000"});
    if (QTest::currentDataTag() == QLatin1String("nothing")) {
        QCOMPARE(TakeLog(), QStringList({Warning({"Update directory not found on USB-Stick ", sUpdate}),
                                         Warning({"Log directory not found on USB-Stick ", sLogbook}), sSize}));
    } else if (QTest::currentDataTag() == QLatin1String("all three")) {
        QCOMPARE(TakeLog(),
                 QStringList({Debug({"Update directory exists on USB-Stick ", sUpdate}),
                              Debug({"Found ", "3", " files in Update dir"}), Debug({"Found update file in ", sUpdate}),
                              Debug({"Database directory exists on USB-Stick ", m_sStick + "/Veltrano/database"}),
                              Debug({"Log directory exists on USB-Stick  ", sLogbook}), sSize}));
    } else if (QTest::currentDataTag() == QLatin1String("empty update folder")) {
        QCOMPARE(TakeLog().mid(0, 3), QStringList({Debug({"Update directory exists on USB-Stick ", sUpdate}),
                                                   Debug({"Found ", "2", " files in Update dir"}),
                                                   Debug({"No valid update file in ", sUpdate})}));
    }
}

// An entry that cannot be looked at is present; the size is exact above 4 GiB and unknown when unmeasured.
void TestCStickMounter::counts_unreadable_entries_and_measures_in_64_bits()
{
    const QByteArray aStick = m_sStick.toUtf8();
    g_oPlatform.hErrors.insert(aStick + "/Veltrano/update", EACCES);
    g_oPlatform.hErrors.insert(aStick + "/Veltrano/database", EACCES);
    g_oPlatform.hErrors.insert(aStick + "/Veltrano/logbook", EIO);
    g_oPlatform.ulBlocks = 3000000;
    CStickContent oContent = CStickMounter().inspect(aStick.constData());
    QVERIFY(!oContent.bUpdate);
    QVERIFY(oContent.bDatabase);
    QVERIFY(oContent.bLogbook);
    QCOMPARE(oContent.oCapacity.value_or(0), Q_INT64_C(12288000000));

    g_oPlatform.iStatvfsErrno = EIO;
    TakeLog();
    oContent = CStickMounter().inspect(aStick.constData());
    QVERIFY(!oContent.oCapacity);
    QCOMPARE(TakeLog().last(), Debug({"'statvfs' failed"}));
}

// Never lazily, and failures are told; an empty path (nothing mounted) fails too.
void TestCStickMounter::unmounts_its_mount_point()
{
    CStickMounter oMounter;
    QVERIFY(oMounter.mount("/dev/sdb"));
    g_oPlatform.lCalls.clear();

    const QString sStart = Warning({"start 'umount'"});
    QVERIFY(!oMounter.unmount(QString()));
    QCOMPARE(TakeLog(),
             QStringList({sStart, Warning({"'umount' ", "\"\"", " failed  errno = ", strerror(ENOENT), "2"})}));

    g_oPlatform.iUmountErrno = EBUSY;
    QVERIFY(!oMounter.unmount("/mnt/usbstick"));
    QVERIFY(oMounter.isMounted());
    QCOMPARE(
        TakeLog(),
        QStringList({sStart, Warning({"'umount' ", "\"/mnt/usbstick\"", " failed  errno = ", strerror(EBUSY), "16"})}));

    g_oPlatform.iUmountErrno = 0;
    QVERIFY(oMounter.unmount("/mnt/usbstick"));
    QVERIFY(!oMounter.isMounted());
    QCOMPARE(TakeLog(), QStringList({sStart, Warning({"'umount' OK"})}));
    QCOMPARE(g_oPlatform.lCalls, QStringList({QString("umount2  %1").arg(UMOUNT_NOFOLLOW), g_sUnmount, g_sUnmount}));
    QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>());
}

// After a removal the stick's mounts and those of vanished disks are gone from the top down; the first
// mount of a disk still present ends the detaching, and stays.
void TestCStickMounter::leaves_nothing_of_a_removed_stick()
{
    g_oPlatform.addMount("/dev/sdc1");
    g_oPlatform.addMount("/dev/sdx");
    g_oPlatform.addMount("tmpfs", "tmpfs");
    g_oPlatform.addMount("/dev/sdb");
    g_oPlatform.addMount("/dev/sdb1");
    g_oPlatform.addMount("/dev/sdb2");
    CStickMounter oMounter;
    oMounter.detachRemoved("/dev/sdb");
    QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>({"/dev/sdc1"}));
    QCOMPARE(TakeLog(), QStringList({stale("/dev/sdb2"), stale("/dev/sdb1"), stale("/dev/sdb"), stale("tmpfs"),
                                     stale("/dev/sdx")}));

    // The stick's nodes are gone once it is pulled: its mounts go all the same.
    QVERIFY(oMounter.mount("/dev/sdb"));
    g_oPlatform.hModes.remove("/dev/sdb");
    g_oPlatform.hModes.remove("/dev/sdb1");
    g_oPlatform.hModes.remove("/dev/sdc1");
    oMounter.detachRemoved("/dev/sdb");
    QVERIFY(!oMounter.isMounted());
    QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>());
}

QTEST_GUILESS_MAIN(TestCStickMounter)
#include "test_cstickmounter.moc"
