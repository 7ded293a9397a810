// The hot-plug rules and the start-up scan, against libudev and the system calls stood in.

#include "fakeplatform.h"
#include "fakeudev.h"
#include "usb/cstickwatcher.h"
#include "usblog.h"

#include <QtTest>

#include <cerrno>

namespace {

CStickWatcher::EEvent pollOnce(CStickWatcher& oWatcher, const CFakeDevice& oEvent, bool bMounted = false)
{
    g_oUdev.queue(oEvent);
    CStick oStick;
    return oWatcher.poll(oStick, bMounted);
}

QStringList facts(const char* szNode)
{
    const QString sName = QString(szNode).mid(5);
    return {"Stick_" + sName, "Serial_" + sName, szNode};
}

} // namespace

class TestCStickWatcher : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        g_oUdev.reset();
        g_oPlatform.reset();
        g_oPlatform.hModes = {{"/dev/sdb", S_IFBLK}, {"/dev/sdc", S_IFBLK}};
        CaptureLog();
    }

    // Only the three exact values make a stick; its texts are kept as bytes and cut like the old buffers.
    void qualifies_usb_mass_storage_disks_only()
    {
        CStickWatcher oWatcher;
        const CFakeDevice oAdd = FakeStick("/dev/sdb", "add");
        const QList<QPair<QByteArray, QByteArray>> lRequired = {
            {"ID_USB_DRIVER", "usb-storage"}, {"ID_BUS", "usb"}, {"ID_TYPE", "disk"}};
        for (const auto& oRequired : lRequired) {
            QCOMPARE(pollOnce(oWatcher, oAdd.without(oRequired.first)), CStickWatcher::NoEvent);
            QCOMPARE(pollOnce(oWatcher, oAdd.with(oRequired.first, oRequired.second + "x")), CStickWatcher::NoEvent);
            QCOMPARE(pollOnce(oWatcher, oAdd.with(oRequired.first, oRequired.second.toUpper())),
                     CStickWatcher::NoEvent);
        }
        // Every property examined is logged, also of a device that does not qualify.
        const QStringList lLog = TakeLog();
        QCOMPARE(lLog.size(), 9 * 8 - 3);
        QVERIFY(lLog.contains(Debug({"UDEV-Item Name: ", "ID_BUS", " Value: ", "USB"})));

        const QByteArray aLong = QByteArray(150, 'a') + "\xe9" + QByteArray(150, 'b');
        g_oUdev.queue(
            oAdd.with("ID_MODEL", aLong).with("ID_VENDOR", aLong.left(199)).with("ID_SERIAL", aLong.left(200)));
        CStick oStick;
        QCOMPARE(oWatcher.poll(oStick, false), CStickWatcher::Arrived);
        QCOMPARE(oStick.aModel, aLong.left(199));
        QCOMPARE(oStick.aVendor, aLong.left(199));
        QCOMPARE(oStick.aSerial, aLong.left(199));
        QCOMPARE(oStick.aNode, QByteArray("/dev/sdb"));
    }

    // An add is an arrival unless the stick is mounted; a change counts as a removal only without medium.
    void reports_arrivals_and_removals()
    {
        struct SStep
        {
            CFakeDevice oEvent;
            bool bMounted;
            CStickWatcher::EEvent eExpected;
            QString sLine;
        };
        const QStringList lFacts = facts("/dev/sdb");
        const QString sAdded = Debug(QStringList("USB-Device added ") + lFacts);
        const QString sRemoved = Debug(QStringList("USB-Device removed ") + lFacts);
        const CFakeDevice oChange = FakeStick("/dev/sdb", "change");
        const QList<SStep> lSteps = {
            {FakeStick("/dev/sdb", "add"), false, CStickWatcher::Arrived, sAdded},
            {FakeStick("/dev/sdb", "add"), true, CStickWatcher::NoEvent,
             Warning(QStringList("USB-Device ignored, the stick is mounted already ") + lFacts)},
            // While it is not mounted (its mount failed), another add of it is a new try.
            {FakeStick("/dev/sdb", "add"), false, CStickWatcher::Arrived, sAdded},
            {oChange, true, CStickWatcher::NoEvent, Debug(QStringList("USB-Device changed, medium present ") + lFacts)},
            {CFakeDevice {oChange.aSyspath, oChange.lProperties, "0"}, true, CStickWatcher::Removed, sRemoved},
            {FakeStick("/dev/sdb", "add"), false, CStickWatcher::Arrived, sAdded},
            {CFakeDevice {oChange.aSyspath, oChange.lProperties, QByteArray()}, true, CStickWatcher::Removed, sRemoved},
            {FakeStick("/dev/sdb", "add"), false, CStickWatcher::Arrived, sAdded},
            {FakeStick("/dev/sdb", "remove"), true, CStickWatcher::Removed, sRemoved},
            // What follows a removal has no stick left to remove.
            {FakeStick("/dev/sdb", "remove"), false, CStickWatcher::NoEvent,
             Debug(QStringList("USB-Device event ignored, no stick in use ") + lFacts)},
        };
        CStickWatcher oWatcher;
        for (qsizetype i = 0; i < lSteps.size(); ++i) {
            QCOMPARE(pollOnce(oWatcher, lSteps[i].oEvent, lSteps[i].bMounted), lSteps[i].eExpected);
            const QStringList lLog = TakeLog().filter(QRegularExpression("^. USB-Device"));
            QVERIFY2(lLog == QStringList(lSteps[i].sLine), qPrintable(QString::number(i) + ": " + lLog.join('|')));
        }

        // A change whose node is gone is a removal even with a size left.
        QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdb", "add")), CStickWatcher::Arrived);
        g_oPlatform.hModes.remove("/dev/sdb");
        QCOMPARE(pollOnce(oWatcher, oChange, true), CStickWatcher::Removed);
    }

    // One mount point: while a stick is in use, mounted or not, another disk's events leave it alone.
    void keeps_to_the_stick_in_use()
    {
        CStickWatcher oWatcher;
        QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdb", "add")), CStickWatcher::Arrived);
        TakeLog();
        QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdc", "add"), false), CStickWatcher::NoEvent);
        QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdc", "add"), true), CStickWatcher::NoEvent);
        QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdc", "change"), true), CStickWatcher::NoEvent);
        QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdc", "remove"), true), CStickWatcher::NoEvent);
        const QString sAdd = Warning(QStringList("USB-Device ignored, another stick is in use ") + facts("/dev/sdc"));
        const QString sOther =
            Debug(QStringList("USB-Device event ignored, another stick is in use ") + facts("/dev/sdc"));
        QCOMPARE(TakeLog().filter(QRegularExpression("^. USB-Device")), QStringList({sAdd, sAdd, sOther, sOther}));

        QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdb", "remove"), true), CStickWatcher::Removed);
        QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdc", "add")), CStickWatcher::Arrived);
    }

    // A poll takes at most one event and releases it; a failed select ends the poll, quietly for EINTR.
    void takes_one_event_per_poll()
    {
        CStickWatcher oWatcher;
        CStick oStick;
        QCOMPARE(oWatcher.poll(oStick, false), CStickWatcher::NoEvent);
        g_oUdev.queue(FakeStick("/dev/sdb", "add"));
        g_oUdev.queue(FakeStick("/dev/sdb", "remove"));

        g_oUdev.iSelectErrno = EINTR;
        QCOMPARE(oWatcher.poll(oStick, false), CStickWatcher::NoEvent);
        QCOMPARE(TakeLog(), QStringList());
        g_oUdev.iSelectErrno = EBADF;
        QCOMPARE(oWatcher.poll(oStick, false), CStickWatcher::NoEvent);
        QCOMPARE(TakeLog(), QStringList(Debug({"Error receiving uevent message"})));
        g_oUdev.iSelectErrno = 0;

        QCOMPARE(oWatcher.poll(oStick, false), CStickWatcher::Arrived);
        QCOMPARE(oWatcher.poll(oStick, true), CStickWatcher::Removed);
        QCOMPARE(oWatcher.poll(oStick, false), CStickWatcher::NoEvent);
        QCOMPARE(g_oUdev.iLiveDevices, 0);
    }

    // A failed context is made again by the next poll; a context that worked is never made again.
    void retries_only_a_failed_context()
    {
        {
            CStickWatcher oWatcher;
            CStick oStick;
            g_oUdev.bNewFails = true;
            const QStringList lFailed = {Debug({"udev_new FAILED"}), Debug({"udev_monitor_new_from_netlink FAILED"})};
            QCOMPARE(oWatcher.poll(oStick, false), CStickWatcher::NoEvent);
            QCOMPARE(oWatcher.poll(oStick, false), CStickWatcher::NoEvent);
            QCOMPARE(TakeLog(), lFailed
                                    + QStringList(Warning(
                                        {"udev context not created => hot-plug monitor tried again on every poll"}))
                                    + lFailed);
            g_oUdev.bNewFails = false;
            QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdb", "add")), CStickWatcher::Arrived);
            QCOMPARE(oWatcher.poll(oStick, false), CStickWatcher::NoEvent);
            QCOMPARE(g_oUdev.iNewCalls, 3);
        }
        QCOMPARE(g_oUdev.iLiveContexts, 0);
        TakeLog();

        const QList<QPair<bool*, QString>> lSteps = {
            {&g_oUdev.bMonitorFails, "udev_monitor_new_from_netlink FAILED"},
            {&g_oUdev.bFilterFails, "udev_monitor_filter_add_match_subsystem_devtype FAILED"},
            {&g_oUdev.bEnableFails, "udev_monitor_enable_receiving FAILED"},
        };
        for (const auto& oStep : lSteps) {
            g_oUdev.reset();
            *oStep.first = true;
            {
                CStickWatcher oWatcher;
                CStick oStick;
                oWatcher.poll(oStick, false);
                oWatcher.poll(oStick, false);
            }
            QCOMPARE(TakeLog(), QStringList({Debug({oStep.second}), Warning({"Hot-plug monitor not set up => sticks "
                                                                             "plugged in later are not seen"})}));
            QCOMPARE(g_oUdev.iNewCalls, 1);
            QCOMPARE(g_oUdev.iLiveContexts, 0);
        }
    }

    // At start the first stick among the block devices is taken, and it is then the stick in use.
    void scan_takes_the_first_stick()
    {
        const CFakeDevice oSata {
            "/sys/block/sda", {{"DEVNAME", "/dev/sda"}, {"ID_BUS", "ata"}, {"ID_TYPE", "disk"}}, "9"};
        g_oUdev.lDevices = {oSata, FakeStick("/dev/sdb"), FakeStick("/dev/sdc")};
        CStickWatcher oWatcher;
        CStick oStick;
        QCOMPARE(oWatcher.scan(oStick), CStickWatcher::StickFound);
        QCOMPARE(oStick.aNode, QByteArray("/dev/sdb"));
        QCOMPARE(oStick.aVendor, QByteArray("Vendor"));
        const QStringList lLog = TakeLog();
        QCOMPARE(lLog.first(), Debug({"Check u_dev"}));
        QCOMPARE(lLog.filter("Device Node Path"),
                 QStringList({Debug({"Device Node Path: ", "/dev/sda"}), Debug({"Device Node Path: ", "/dev/sdb"})}));
        QCOMPARE(g_oUdev.iLiveDevices, 0);
        QCOMPARE(g_oUdev.iLiveContexts, 0);
        QCOMPARE(pollOnce(oWatcher, FakeStick("/dev/sdc", "add")), CStickWatcher::NoEvent);

        g_oUdev.lDevices = {oSata};
        QCOMPARE(CStickWatcher().scan(oStick), CStickWatcher::NoStick);
        g_oUdev.bNewFails = true;
        TakeLog();
        QCOMPARE(CStickWatcher().scan(oStick), CStickWatcher::ScanFailed);
        QCOMPARE(TakeLog(), QStringList(Warning({"Can't create u_dev"})));
    }

    // Each failed step of the enumeration is logged and the scan goes on with what it has.
    void scan_goes_on_after_enumeration_errors()
    {
        g_oUdev.lDevices = {FakeStick("/dev/sdb")};
        g_oUdev.iMatchResult = -5;
        g_oUdev.iScanResult = -5;
        CStick oStick;
        QCOMPARE(CStickWatcher().scan(oStick), CStickWatcher::StickFound);
        QCOMPARE(TakeLog().filter("returns"),
                 QStringList({Warning({"udev_enumerate_add_match_subsystem() returns error ", "-5"}),
                              Warning({"udev_enumerate_scan_devices() returns error ", "-5"})}));

        g_oUdev.bEnumerateFails = true;
        QCOMPARE(CStickWatcher().scan(oStick), CStickWatcher::NoStick);
        QCOMPARE(TakeLog(), QStringList({Debug({"Check u_dev"}), Warning({"udev_enumerate_new() returns NULL"}),
                                         Warning({"udev_enumerate_add_match_subsystem() returns error ", "-22"}),
                                         Warning({"udev_enumerate_scan_devices() returns error ", "-22"}),
                                         Warning({"udev_enumerate_get_list_entry() returns NULL"})}));
        QCOMPARE(g_oUdev.iLiveContexts, 0);
    }
};

QTEST_GUILESS_MAIN(TestCStickWatcher)
#include "test_cstickwatcher.moc"
