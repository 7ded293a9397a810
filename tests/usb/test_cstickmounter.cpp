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

namespace {

QString mountCall(const QString& sSource, const QString& sType)
{
    // Nothing on a stick may become a device node or a set-user-ID program here.
    return QString("mount %1 /mnt/usbstick %2 %3").arg(sSource, sType).arg(MS_SYNCHRONOUS | MS_NOSUID | MS_NODEV);
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

QString failed(const char* szCall, const QString& sWhat, int iError)
{
    return Warning({szCall, sWhat, " failed  errno = ", strerror(iError), QString::number(iError)});
}

const QString g_sDetach = QString("umount2 /mnt/usbstick %1").arg(MNT_DETACH | UMOUNT_NOFOLLOW);
const QString g_sUnmount = QString("umount2 /mnt/usbstick %1").arg(UMOUNT_NOFOLLOW);

// One row of the mount table: "<source> <type>" attempts, separated by commas, all but a
// mount's last one failing; no refusal means the last attempt mounts.
void addMountRow(const char* szName, const CStickLayout& oLayout, const QByteArray& aKernel, const QString& sAttempts,
                 const QString& sRefusal = QString())
{
    QTest::newRow(szName) << oLayout << aKernel << sAttempts.split(',') << sRefusal;
}

} // namespace

class TestCStickMounter : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        g_oPlatform.reset();
        g_oPlatform.hModes = {
            {"/mnt/usbstick", S_IFDIR | 0755}, {"/dev/sdb", S_IFBLK}, {"/dev/sdb1", S_IFBLK}, {"/dev/sdc1", S_IFBLK}};
        m_pStick = std::make_unique<QTemporaryDir>();
        m_sStick = m_pStick->path();
        g_oPlatform.aRealRoot = m_sStick.toUtf8();
        CaptureLog();
    }

    void mounts_what_the_stick_holds_data()
    {
        QTest::addColumn<CStickLayout>("oLayout");
        // What /proc/filesystems lists; "+name": a module the kernel can load; "-": not even vfat.
        QTest::addColumn<QByteArray>("aKernel");
        QTest::addColumn<QStringList>("lAttempts");
        QTest::addColumn<QString>("sRefusal");

        const QString sTwo = "/dev/sdb vfat,/dev/sdb1 vfat";
        const QString sThree = sTwo + ",/dev/sdb ntfs";
        addMountRow("FAT in partition 1", layout("dos", "", {"1 0xc vfat"}), "", sTwo);
        addMountRow("NTFS on the disk", layout("", "ntfs", {}), "ntfs", sThree);
        addMountRow("data behind an EFI partition", layout("gpt", "", {g_aEsp, "2 " + g_aBasicData + " vfat"}), "",
                    "/dev/sdb vfat,/dev/sdb2 vfat");
        addMountRow("EFI partition and Linux",
                    layout("gpt", "", {g_aEsp, "2 0fc63daf-8483-4772-8e79-3d69d8477de4 ext4"}), "", sTwo);
        addMountRow("exFAT on the disk", layout("dos", "exfat", {}), "+exfat", sThree + ",/dev/sdb exfat");
        addMountRow("exFAT in partition 1", layout("dos", "", {"1 0x7 exfat"}), "", sThree + ",/dev/sdb1 exfat");
        addMountRow("exFAT behind an EFI partition",
                    layout("gpt", "", {g_aEsp, "2 " + g_aBasicData + " exfat", "3 " + g_aBasicData + " vfat"}), "",
                    "/dev/sdb vfat,/dev/sdb2 vfat,/dev/sdb ntfs,/dev/sdb2 exfat");
        addMountRow("exFAT without its driver", layout("", "exfat", {}), "", sThree + ",/dev/sdb exfat",
                    "/dev/sdb holds exfat, not mounted (this kernel mounts vfat)");
        addMountRow("NTFS with ntfs3 only", layout("dos", "", {"1 0x7 ntfs"}), "ntfs3", sThree + ",/dev/sdb1 ntfs3");
        addMountRow("NTFS with both drivers", layout("dos", "", {"1 0x7 ntfs"}), "ntfs +ntfs3", sThree,
                    "/dev/sdb1 holds ntfs, not mounted (this kernel mounts vfat ntfs ntfs3)");
        addMountRow("NTFS without a driver", layout("dos", "", {"1 0x7 ntfs"}), "+exfat", sThree,
                    "/dev/sdb1 holds ntfs, not mounted (this kernel mounts vfat exfat)");
        addMountRow("ext4", layout("dos", "", {"1 0x83 ext4"}), "", sThree,
                    "/dev/sdb1 holds ext4, not mounted (this kernel mounts vfat)");
        addMountRow("empty partition", layout("gpt", "", {"1 " + g_aBasicData}), "", sThree,
                    "/dev/sdb1 holds no file system, not mounted (this kernel mounts vfat)");
        addMountRow("blank, no stick driver", layout("", "", {}), "-", sThree,
                    "/dev/sdb holds no partition table and no file system, not mounted (this kernel mounts none of "
                    "vfat exfat ntfs ntfs3)");
    }

    // The three attempts as always, in that order after 3 s; then only what udev found on the
    // stick, and a word on what a stick that stays unmounted holds.
    void mounts_what_the_stick_holds()
    {
        QFETCH(CStickLayout, oLayout);
        QFETCH(QByteArray, aKernel);
        QFETCH(QStringList, lAttempts);
        QFETCH(QString, sRefusal);
        g_oPlatform.lLayouts = {oLayout};
        for (const QByteArray& aType : aKernel.split(' ')) {
            if (aType == "-") {
                g_oPlatform.aFileSystems = "nodev\tproc\n";
            } else if (aType.startsWith('+')) {
                g_oPlatform.aModuleAliases += "alias fs-" + aType.mid(1) + ' ' + aType.mid(1) + '\n';
            } else if (!aType.isEmpty()) {
                g_oPlatform.aFileSystems += '\t' + aType + '\n';
            }
        }
        const bool bMounted = sRefusal.isEmpty();
        QStringList lCalls("sleep 3");
        QStringList lLog;
        for (qsizetype i = 0; i < lAttempts.size(); ++i) {
            const QStringList lAttempt = lAttempts[i].split(' ');
            lCalls << mountCall(lAttempt[0], lAttempt[1]);
            if (!bMounted || i + 1 < lAttempts.size()) {
                g_oPlatform.hMountErrors.insert(lAttempts[i].toUtf8(), EINVAL);
                const QString sType = lAttempt[1] == "ntfs" ? QString() : "(" + lAttempt[1] + ") ";
                lLog << Warning({"USB ", lAttempt[0], " mount failed " + sType + "errno = ", QString::number(EINVAL),
                                 " : ", strerror(EINVAL)});
            }
        }
        if (!bMounted) {
            lLog << Warning({"USB ", sRefusal.section(' ', 0, 0), ' ' + sRefusal.section(' ', 1)});
        }

        CStickMounter oMounter;
        QCOMPARE(oMounter.mount("/dev/sdb"), bMounted);
        QCOMPARE(oMounter.isMounted(), bMounted);
        QCOMPARE(g_oPlatform.lCalls, lCalls);
        QCOMPARE(TakeLog(), lLog);
    }

    // udev probes a new disk's partitions after the disk: the layout is asked again until it
    // has, within a bound, and then taken as far as it goes.
    void waits_for_partitions_udev_has_not_probed()
    {
        g_oPlatform.hMountErrors.insert("/dev/sdb vfat", EINVAL);
        g_oPlatform.lLayouts = {layout("gpt", "", {}), layout("gpt", "", {g_aEsp, "2"}, false),
                                layout("gpt", "", {g_aEsp, "2 " + g_aBasicData + " vfat"})};
        QVERIFY(CStickMounter().mount("/dev/sdb"));
        QCOMPARE(g_oPlatform.lCalls, QStringList({"sleep 3", mountCall("/dev/sdb", "vfat"), "usleep 250000",
                                                  "usleep 250000", mountCall("/dev/sdb2", "vfat")}));

        init();
        g_oPlatform.hMountErrors.insert("/dev/sdb vfat", EINVAL);
        g_oPlatform.lLayouts = {layout("gpt", "", {g_aEsp, "2"}, false)};
        QVERIFY(CStickMounter().mount("/dev/sdb"));
        QCOMPARE(g_oPlatform.lCalls.filter("usleep 250000").size(), 20);
        QCOMPARE(g_oPlatform.lCalls.last(), mountCall("/dev/sdb1", "vfat"));
        QCOMPARE(TakeLog().last(),
                 Warning({"USB ", "/dev/sdb", " not fully probed by udev, mounted as far as it is known"}));
    }

    // The mount point is made when missing, and refused when it is anything but a directory.
    void prepares_the_mount_point()
    {
        const QStringList lMounted = {"sleep 3", mountCall("/dev/sdb", "vfat")};
        const QString sCreate = Debug({"create dir  ", "/mnt/usbstick"});
        const QString sRefused = Warning({"Mount point is not a directory, not mounted ", "/mnt/usbstick"});
        // The outcome, then the calls made, then the lines logged.
        const auto mount = [] {
            const bool bMounted = CStickMounter().mount("/dev/sdb");
            const QStringList lOutcome =
                QStringList(bMounted ? "mounted" : "not mounted") + g_oPlatform.lCalls + TakeLog();
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

    // A restarted service keeps its own mount of the stick, disk or partition, when its node is
    // still there.
    void takes_over_its_own_mount()
    {
        g_oPlatform.hModes.insert("/dev/sdb2", S_IFBLK);
        for (const char* szSource : {"/dev/sdb", "/dev/sdb1", "/dev/sdb2"}) {
            g_oPlatform.setMounts({"/dev/vanished", szSource});
            CStickMounter oMounter;
            QVERIFY(oMounter.mount("/dev/sdb"));
            QVERIFY(oMounter.isMounted());
            QCOMPARE(TakeLog(), QStringList({Warning({"USB-Device mounted already, taken over ", szSource})}));
            QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>({"/dev/vanished", szSource}));
        }
        QVERIFY(!g_oPlatform.lCalls.join(' ').contains("mount"));

        // A mount under the stick's name whose node is gone is an earlier stick's: detached, then
        // mounted anew.
        g_oPlatform.setMounts({"/dev/sdb1"});
        g_oPlatform.hModes.remove("/dev/sdb1");
        g_oPlatform.lCalls.clear();
        QVERIFY(CStickMounter().mount("/dev/sdb"));
        QCOMPARE(g_oPlatform.lCalls, QStringList({"sleep 3", g_sDetach, mountCall("/dev/sdb", "vfat")}));
        QCOMPARE(TakeLog(), QStringList(stale("/dev/sdb1")));
    }

    // Whatever else sits at the mount point is detached top down, another disk whose name begins
    // with the stick's too; a detach that fails does not stop the mount.
    void detaches_stale_mounts_before_mounting()
    {
        g_oPlatform.hModes.insert("/dev/sdba1", S_IFBLK);
        g_oPlatform.setMounts({"/dev/sdx1", "tmpfs", "/dev/sdba1"});
        QVERIFY(CStickMounter().mount("/dev/sdb"));
        QCOMPARE(g_oPlatform.lCalls,
                 QStringList({"sleep 3", g_sDetach, g_sDetach, g_sDetach, mountCall("/dev/sdb", "vfat")}));
        QCOMPARE(TakeLog(), QStringList({stale("/dev/sdba1"), stale("tmpfs"), stale("/dev/sdx1")}));
        QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>({"/dev/sdb"}));

        g_oPlatform.setMounts({"/dev/sdc1"});
        g_oPlatform.iUmountErrno = EBUSY;
        QVERIFY(CStickMounter().mount("/dev/sdb"));
        QCOMPARE(TakeLog(), QStringList(failed("'umount2' ", "/dev/sdc1", EBUSY)));
        QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>({"/dev/sdc1", "/dev/sdb"}));
    }

    void reports_the_product_folders_data()
    {
        // "!name": an entry that cannot be looked at.
        QTest::addColumn<QStringList>("lEntries");
        QTest::addColumn<QString>("sFound");
        // The whole log, with the stick's path left out; not checked when empty.
        QTest::addColumn<QStringList>("lLog");
        const QString sUpdate = "/Veltrano/update";
        const QString sSize = Debug({"'statvfs' reports  f_frsize =  ", "4096", " f_blocks = ", "3000000"});
        const QString sNoLogbook = Warning({"Log directory not found on USB-Stick ", "/Veltrano/logbook"});
        QTest::newRow("nothing") << QStringList() << "---"
                                 << QStringList({Warning({"Update directory not found on USB-Stick ", sUpdate}),
                                                 sNoLogbook, sSize});
        QTest::newRow("all three")
            << QStringList({"Veltrano/update/fw.bin", "Veltrano/database/", "Veltrano/logbook/"}) << "udl"
            << QStringList({Debug({"Update directory exists on USB-Stick ", sUpdate}),
                            Debug({"Found ", "3", " files in Update dir"}), Debug({"Found update file in ", sUpdate}),
                            Debug({"Database directory exists on USB-Stick ", "/Veltrano/database"}),
                            Debug({"Log directory exists on USB-Stick  ", "/Veltrano/logbook"}), sSize});
        QTest::newRow("empty update folder")
            << QStringList("Veltrano/update/") << "---"
            << QStringList({Debug({"Update directory exists on USB-Stick ", sUpdate}),
                            Debug({"Found ", "2", " files in Update dir"}),
                            Debug({"No valid update file in ", sUpdate}), sNoLogbook, sSize});
        QTest::newRow("hidden files only") << QStringList("Veltrano/update/.hidden") << "---" << QStringList();
        QTest::newRow("a subfolder is an update") << QStringList("Veltrano/update/sub/") << "u--" << QStringList();
        // Only a missing entry is absent: plain files and entries that cannot be looked at count
        // as the folders.
        QTest::newRow("plain files") << QStringList({"Veltrano/update", "Veltrano/database", "Veltrano/logbook"})
                                     << "-dl" << QStringList();
        QTest::newRow("unreadable") << QStringList({"!Veltrano/update", "!Veltrano/database", "!Veltrano/logbook"})
                                    << "-dl" << QStringList();
    }

    // What the stick offers: the update folder must hold a visible entry, the other two need
    // only be there. The size is formed in 64 bits: sticks above 4 GiB are common.
    void reports_the_product_folders()
    {
        QFETCH(QStringList, lEntries);
        QFETCH(QString, sFound);
        QFETCH(QStringList, lLog);
        const QDir oStick(m_sStick);
        for (const QString& sEntry : lEntries) {
            if (sEntry.startsWith('!')) {
                g_oPlatform.hErrors.insert(oStick.filePath(sEntry.mid(1)).toUtf8(), EACCES);
            } else if (sEntry.endsWith('/')) {
                QVERIFY(oStick.mkpath(sEntry));
            } else {
                QVERIFY(oStick.mkpath(QFileInfo(sEntry).path()));
                QFile oFile(oStick.filePath(sEntry));
                QVERIFY(oFile.open(QIODevice::WriteOnly));
            }
        }
        g_oPlatform.ulBlocks = 3000000;
        const CStickContent oContent = CStickMounter().inspect(m_sStick.toUtf8().constData());
        QCOMPARE(QString(oContent.bUpdate ? "u" : "-") + (oContent.bDatabase ? "d" : "-")
                     + (oContent.bLogbook ? "l" : "-"),
                 sFound);
        QCOMPARE(oContent.oCapacity.value_or(0), Q_INT64_C(12288000000));
        if (!lLog.isEmpty()) {
            QCOMPARE(TakeLog().replaceInStrings(m_sStick, QString()), lLog);
        }
    }

    void leaves_the_size_unknown_when_unmeasured()
    {
        g_oPlatform.iStatvfsErrno = EIO;
        QVERIFY(!CStickMounter().inspect(m_sStick.toUtf8().constData()).oCapacity);
        QCOMPARE(TakeLog().last(), Debug({"'statvfs' failed"}));
    }

    // Never lazily, and failures are told; an empty path (nothing mounted) fails too.
    void unmounts_its_mount_point()
    {
        CStickMounter oMounter;
        QVERIFY(oMounter.mount("/dev/sdb"));
        g_oPlatform.lCalls.clear();

        const QString sStart = Warning({"start 'umount'"});
        QVERIFY(!oMounter.unmount(QString()));
        QCOMPARE(TakeLog(), QStringList({sStart, failed("'umount' ", "\"\"", ENOENT)}));

        g_oPlatform.iUmountErrno = EBUSY;
        QVERIFY(!oMounter.unmount("/mnt/usbstick"));
        QVERIFY(oMounter.isMounted());
        QCOMPARE(TakeLog(), QStringList({sStart, failed("'umount' ", "\"/mnt/usbstick\"", EBUSY)}));

        g_oPlatform.iUmountErrno = 0;
        QVERIFY(oMounter.unmount("/mnt/usbstick"));
        QVERIFY(!oMounter.isMounted());
        QCOMPARE(TakeLog(), QStringList({sStart, Warning({"'umount' OK"})}));
        QCOMPARE(g_oPlatform.lCalls,
                 QStringList({QString("umount2  %1").arg(UMOUNT_NOFOLLOW), g_sUnmount, g_sUnmount}));
        QCOMPARE(g_oPlatform.sourcesAt(), QList<QByteArray>());
    }

    // After a removal the stick's mounts and those of vanished disks are gone from the top down;
    // the first mount of a disk still present ends the detaching, and stays.
    void leaves_nothing_of_a_removed_stick()
    {
        g_oPlatform.setMounts({"/dev/sdc1", "/dev/sdx", "tmpfs", "/dev/sdb", "/dev/sdb1", "/dev/sdb2"});
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

private:
    std::unique_ptr<QTemporaryDir> m_pStick;
    QString m_sStick;
};

QTEST_GUILESS_MAIN(TestCStickMounter)
#include "test_cstickmounter.moc"
