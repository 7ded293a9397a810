// The package on a machine that boots like the board: Debian 12 with systemd as PID 1
// (tools/vm/make-image), our .deb installed with apt, the family's bus and the core
// simulator as units of their own, the service enabled with a drop-in that names that bus, as
// the README tells an integrator. What systemd, the journal, findmnt (a process outside the
// service) and the simulator saw is what counts.

#include "cvmfixture.h"
#include "tools/standin/cserviceprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QtTest>

namespace {

const char* const BUS_ADDRESS = "unix:path=/run/veltrano-bus";

// A session-style bus of the family; dbus-daemon tells systemd when it listens.
const char* const BUS_UNIT = R"([Unit]
Description=The product family's bus
[Service]
Type=notify
ExecStart=/usr/bin/dbus-daemon --session --nofork --nopidfile --address=unix:path=/run/veltrano-bus
[Install]
WantedBy=multi-user.target
)";

// The simulator stands in for the core; it goes down and comes back with the bus, and asks the
// service to join by itself. Its JSON lines land in the folder the host reads.
const char* const CORE_UNIT = R"([Unit]
Description=Metering core simulator
Requires=veltrano-bus.service
# The agent mounts the folder that the host reads.
After=veltrano-bus.service veltrano-agent.service
PartOf=veltrano-bus.service
[Service]
ExecStart=/usr/bin/veltrano-core-sim --address unix:path=/run/veltrano-bus --json --welcome
StandardInput=null
StandardOutput=append:/run/vm/sim.jsonl
[Install]
WantedBy=multi-user.target
)";

// The README's drop-in, with the bus above.
const char* const BUS_DROP_IN = R"([Unit]
Wants=veltrano-bus.service
After=veltrano-bus.service
[Service]
Environment=DBUS_SESSION_BUS_ADDRESS=unix:path=/run/veltrano-bus
)";

// A core that holds its answers longer than the watchdog allows.
const char* const SLOW_CORE_DROP_IN = R"([Service]
ExecStart=
ExecStart=/usr/bin/veltrano-core-sim --address unix:path=/run/veltrano-bus --json --welcome --delay 20000
)";
const char* const WATCHDOG_DROP_IN = "[Service]\nWatchdogSec=8\n";

const int RESTART_TIMEOUT_MS = 60000;

} // namespace

// Waits use qWaitFor, not QTRY_*: a failing QTRY waits twice its time again before it reports,
// and restarts on an emulated machine are slow enough as they are.
class TestVmBooted : public CVmFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString sImage = qEnvironmentVariable("VELTRANO_VM_IMAGE_DIR", VELTRANO_VM_IMAGE_DIR);
        QElapsedTimer oTimer;
        oTimer.start();
        bootMachine(sImage);
        QVERIFY(m_pMachine->isBooted());
        const QString sState =
            QString::fromLatin1(m_pMachine->run("systemctl is-system-running --wait", 180000).aOutput.trimmed());
        qInfo("systemd %s after %lld ms", qPrintable(sState), oTimer.elapsed());
        QVERIFY2(sState == "running", qPrintable(must("systemctl --failed --no-legend; true")));

        // As an integrator installs it: apt, from the image alone (the guest has no network).
        const QString sPack = makeDebs();
        QVERIFY(!sPack.isEmpty());
        QVERIFY(step("cp -r " + sPack
                     + " /root/pack && cd /root/pack && DEBIAN_FRONTEND=noninteractive "
                       "apt-get install -y ./*.deb"));
        writeSetupFile("veltrano-bus.service", BUS_UNIT);
        writeSetupFile("veltrano-core-sim.service", CORE_UNIT);
        writeSetupFile("family-bus.conf", BUS_DROP_IN);
        QVERIFY(
            step("cd /run/vm/setup && install -m644 veltrano-bus.service veltrano-core-sim.service /etc/systemd/system/"
                 " && install -D -m644 family-bus.conf /etc/systemd/system/veltrano-usb.service.d/family-bus.conf"));
        // Every line in the journal; the edit is also what an upgrade must keep.
        QVERIFY(
            step("sed -i 's/^Display_Message=.*/Display_Message=1/; s/^Display_Level=.*/Display_Level=0/' "
                 "/etc/Veltrano/usb.ini"));
        QVERIFY(step("systemctl daemon-reload && systemctl enable --now veltrano-bus veltrano-core-sim veltrano-usb"));

        // The stick is there when the machine comes up again.
        QVERIFY(plug("boot", m_pMachine->makeStick("mbr-fat32", {"Veltrano/logbook/"})));
        QVERIFY(step("udevadm settle --timeout=60"));
        oTimer.restart();
        QVERIFY2(m_pMachine->reboot(), qPrintable(m_pMachine->error()));
        const QString sAgain =
            QString::fromLatin1(m_pMachine->run("systemctl is-system-running --wait", 180000).aOutput.trimmed());
        qInfo("rebooted, systemd %s after %lld ms", qPrintable(sAgain), oTimer.elapsed());
    }

    void init() { m_oTestTimer.start(); }

    void cleanup()
    {
        if (QTest::currentTestFailed()) {
            const QStringList lJournal = journal("veltrano-usb");
            qInfo().noquote() << "journal of veltrano-usb:\n" + lJournal.mid(qMax(0, lJournal.size() - 60)).join('\n');
        }
        CVmFixture::cleanup();
        // A mount left behind must not decide the next test; nor a service that systemd gave up on.
        m_pMachine->run("while mountpoint -q /mnt/usbstick; do umount -l /mnt/usbstick; done");
        m_pMachine->run(
            "systemctl reset-failed veltrano-usb; systemctl is-enabled -q veltrano-usb && systemctl start "
            "veltrano-usb");
        qInfo("%s took %lld ms", QTest::currentTestFunction(), m_oTestTimer.elapsed());
    }

    void starts_after_the_bus_joins_and_mounts_the_stick_present_at_boot()
    {
        QCOMPARE(unitValue("veltrano-usb", "ActiveState"), QString("active"));
        const qint64 iBusUp = unitValue("veltrano-bus", "ActiveEnterTimestampMonotonic").toLongLong();
        const qint64 iServiceStart = unitValue("veltrano-usb", "ExecMainStartTimestampMonotonic").toLongLong();
        QVERIFY2(iBusUp > 0 && iBusUp <= iServiceStart, qPrintable(QString("%1 %2").arg(iBusUp).arg(iServiceStart)));

        const int iPid = servicePid();
        QVERIFY(QTest::qWaitFor([&] { return isMountedBy(iPid); }, RESTART_TIMEOUT_MS));
        // Joined: it read the core's shared record after its scan.
        QVERIFY(QTest::qWaitFor([&] { return !m_pGuest->events("getRuntimeUsb").isEmpty(); }, RESTART_TIMEOUT_MS));
        QCOMPARE(stickMounts().size(), 1);
        QVERIFY2(stickMounts().first().endsWith("1 vfat"), qPrintable(stickMounts().first()));
        // Another process sees what the service mounted.
        QCOMPARE(must("ls /mnt/usbstick/Veltrano").trimmed(), QString("logbook"));
    }

    void a_killed_service_is_started_again_and_publishes_only_the_stick_it_finds()
    {
        // Killed with its stick in place: the next process takes the stick over.
        QVERIFY(plugAndMount("killed"));
        const int iPid = servicePid();
        const int iRestarts = unitValue("veltrano-usb", "NRestarts").toInt();
        QVERIFY(step(QString("kill -9 %1").arg(iPid)));
        QVERIFY(QTest::qWaitFor([&] { return unitValue("veltrano-usb", "NRestarts").toInt() > iRestarts; },
                                RESTART_TIMEOUT_MS));
        expectStickTakenOverBy(iPid);
        QCOMPARE(stickMounts().size(), 1);

        // Killed again, the pull falling into the 5 s before systemd starts it: no stick, no mount.
        const int iTakenOver = servicePid();
        QVERIFY(step("systemctl kill -s KILL veltrano-usb"));
        QVERIFY(pull("killed"));
        QVERIFY(QTest::qWaitFor([&] { return servicePid() > 0 && servicePid() != iTakenOver; }, RESTART_TIMEOUT_MS));
        const int iNewPid = servicePid();
        QVERIFY(QTest::qWaitFor([&] { return !m_pGuest->publishedBy(iNewPid).isEmpty(); }, RESTART_TIMEOUT_MS));
        QVERIFY2(stickMounts().isEmpty(), qPrintable(stickMounts().join('\n')));

        QVERIFY(plugAndMount("after-pull"));
        QCOMPARE(stickMounts().size(), 1);
        const QList<QJsonObject> lRecords = m_pGuest->publishedBy(iNewPid);
        for (const QJsonObject& oRecord : lRecords.mid(0, lRecords.size() - 2)) {
            QCOMPARE(oRecord.value("UsbDeviceState").toInt(), 0);
            QCOMPARE(oRecord.value("UsbDeviceNode").toString(), QString(""));
        }
        QVERIFY(pullAndWait("after-pull"));
    }

    void a_restarted_bus_ends_the_service_which_joins_the_new_core()
    {
        const int iPid = servicePid();
        const int iCores = static_cast<int>(m_pGuest->events("ready").size());
        QVERIFY(step("systemctl restart veltrano-bus"));
        QVERIFY(QTest::qWaitFor([&] { return servicePid() > 0 && servicePid() != iPid; }, RESTART_TIMEOUT_MS));
        QVERIFY(journal("veltrano-usb").filter("Main process exited, code=exited, status=1/FAILURE").size() >= 1);
        // The simulator came back with the bus, and the new service joined it.
        QCOMPARE(m_pGuest->events("ready").size(), iCores + 1);
        QVERIFY(QTest::qWaitFor([&] { return !m_pGuest->publishedBy(servicePid()).isEmpty(); }, RESTART_TIMEOUT_MS));
        QCOMPARE(m_pGuest->lastRecord().value("UsbDeviceState").toInt(), 0);
    }

    void upgrade_restarts_on_the_new_binary_and_keeps_stick_and_settings()
    {
        QVERIFY(plugAndMount("upgrade"));
        const int iPid = servicePid();
        // The same build under a higher version.
        QVERIFY(
            step("rm -rf /root/up && mkdir /root/up && cd /root/up && for deb in /root/pack/*.deb; do "
                 "dpkg-deb -R $deb tree && sed -i 's/^Version: .*/&+up1/' tree/DEBIAN/control && "
                 "dpkg-deb -b tree . >/dev/null && rm -rf tree; done"));
        QVERIFY(step("cd /root/up && DEBIAN_FRONTEND=noninteractive apt-get install -y ./*.deb"));
        QVERIFY(must("dpkg-query -W -f='${Version}' veltrano-usb").endsWith("+up1"));

        expectStickTakenOverBy(iPid);
        const QString sExe = must(QString("readlink /proc/%1/exe").arg(servicePid())).trimmed();
        QCOMPARE(sExe, QString("/usr/sbin/veltrano-usb"));
        QCOMPARE(must("grep -c '^Display_Level=0' /etc/Veltrano/usb.ini").trimmed(), QString("1"));
        expectOneMountThenNoneAfterThePull("upgrade");
    }

    void prints_the_exposure_score()
    {
        const QString sScore = must("systemd-analyze security --no-pager veltrano-usb | tail -n 1");
        qInfo("%s", qPrintable(sScore.trimmed()));
        const QRegularExpressionMatch oMatch = QRegularExpression(": (\\d+\\.\\d+) ").match(sScore);
        QVERIFY2(oMatch.hasMatch(), qPrintable(sScore));
        QVERIFY2(oMatch.captured(1).toDouble() <= 4.5, qPrintable(sScore));
    }

    void the_watchdog_restarts_a_service_whose_core_holds_its_answers()
    {
        writeSetupFile("slow-core.conf", SLOW_CORE_DROP_IN);
        writeSetupFile("watchdog.conf", WATCHDOG_DROP_IN);
        QVERIFY(step(
            "install -D -m644 /run/vm/setup/slow-core.conf /etc/systemd/system/veltrano-core-sim.service.d/slow.conf"
            " && install -D -m644 /run/vm/setup/watchdog.conf /etc/systemd/system/veltrano-usb.service.d/watchdog.conf"
            " && systemctl daemon-reload && systemctl restart veltrano-usb veltrano-core-sim"));
        const int iPid = servicePid();
        QVERIFY(plug("watchdog", m_pMachine->makeStick("fat16")));
        QVERIFY(QTest::qWaitFor([&] { return journal("veltrano-usb").filter("Watchdog timeout").size() >= 1; }, 90000));
        QVERIFY(QTest::qWaitFor([&] { return servicePid() > 0 && servicePid() != iPid; }, RESTART_TIMEOUT_MS));

        QVERIFY(
            step("rm -r /etc/systemd/system/veltrano-core-sim.service.d "
                 "/etc/systemd/system/veltrano-usb.service.d/watchdog.conf"
                 " && systemctl daemon-reload && systemctl restart veltrano-core-sim veltrano-usb"));
        QVERIFY(QTest::qWaitFor([&] { return isMountedBy(servicePid()); }, RESTART_TIMEOUT_MS));
    }

    // exFAT as sticks of 64 GB and more ship: the service's own mount has the kernel load the module,
    // and the unit's device policy and system-call filter let the mount through.
    void mounts_an_exfat_stick_under_the_hardened_unit()
    {
        QVERIFY2(m_pMachine->run("grep -qw exfat /proc/filesystems").iStatus != 0, "exfat is loaded already");
        // No entries: writing them would have the guest load the module first.
        QVERIFY(plugAndMount("exfat", "exfat-mbr", {}));
        QVERIFY2(stickMounts().first().endsWith("1 exfat"), qPrintable(stickMounts().first()));
        QCOMPARE(journal("veltrano-usb").filter("mount failed (exfat)").size(), 0);
        expectOneMountThenNoneAfterThePull("exfat");
    }

    void purge_stops_disables_and_removes_it_and_leaves_the_stick_alone()
    {
        QVERIFY(plugAndMount("purge"));
        const QString sBefore = must("cd /mnt/usbstick && find . | sort | md5sum");
        QVERIFY(step("DEBIAN_FRONTEND=noninteractive apt-get purge -y veltrano-usb"));
        QCOMPARE(unitValue("veltrano-usb", "ActiveState"), QString("inactive"));
        QCOMPARE(m_pMachine->run("systemctl is-enabled veltrano-usb").iStatus == 0, false);
        // What the purge removes is test_package's; here, that systemd let go of the service.
        QCOMPARE(m_pMachine->run("ls /etc/systemd/system/multi-user.target.wants/veltrano-usb.service").iStatus == 0,
                 false);
        // The stick stays mounted when the service ends, with its data as it was.
        QCOMPARE(stickMounts().size(), 1);
        QCOMPARE(must("cd /mnt/usbstick && find . | sort | md5sum"), sBefore);
        QVERIFY(step("umount /mnt/usbstick"));
        QVERIFY(pull("purge"));
    }

private:
    // One shell line in the guest that must succeed; its output, a failure of the test if not.
    QString must(const QString& sCommand);
    // The same for a step of a test that cannot go on without it: false, with the output shown.
    bool step(const QString& sCommand, QString* pOutput = nullptr);
    QString unitValue(const QString& sUnit, const QString& sProperty);
    int servicePid();
    // The lines of the unit's journal since the boot, systemd's about it included.
    QStringList journal(const QString& sUnit);
    // Every mount at /mnt/usbstick, stacked ones too, as findmnt sees them: "SOURCE FSTYPE".
    QStringList stickMounts();
    // Plugs a stick (a FAT one with a logbook folder unless told) and waits until the service
    // has it in state 2.
    bool plugAndMount(const QString& sId, const QString& sKind = "mbr-fat32",
                      const QStringList& lEntries = {"Veltrano/logbook/"});
    bool isMountedBy(int iPid);
    // A new main process after a restart, which has joined and publishes the stick in state 2.
    void expectStickTakenOverBy(int iOldPid);
    void expectOneMountThenNoneAfterThePull(const QString& sId);
    void writeSetupFile(const QString& sName, const QString& sText);
    QString makeDebs();

    QElapsedTimer m_oTestTimer;
};

QString TestVmBooted::must(const QString& sCommand)
{
    QString sOutput;
    if (!step(sCommand, &sOutput)) {
        QTest::qFail(qPrintable("failed in the guest: " + sCommand), __FILE__, __LINE__);
    }
    return sOutput;
}

bool TestVmBooted::step(const QString& sCommand, QString* pOutput)
{
    const CVirtualMachine::SResult oResult = m_pMachine->run(sCommand, 120000);
    if (oResult.iStatus != 0) {
        qWarning("guest: %s: status %d\n%s", qPrintable(sCommand), oResult.iStatus, oResult.aOutput.constData());
    }
    if (pOutput) {
        *pOutput = QString::fromUtf8(oResult.aOutput);
    }
    return oResult.iStatus == 0;
}

QString TestVmBooted::unitValue(const QString& sUnit, const QString& sProperty)
{
    return QString::fromLatin1(
        m_pMachine->run(QString("systemctl show -p %1 --value %2").arg(sProperty, sUnit)).aOutput.trimmed());
}

int TestVmBooted::servicePid()
{
    return unitValue("veltrano-usb", "MainPID").toInt();
}

QStringList TestVmBooted::journal(const QString& sUnit)
{
    QStringList lLines;
    for (const QByteArray& aLine : m_pMachine->run("journalctl -b --no-pager -o cat -u " + sUnit).aOutput.split('\n')) {
        if (!aLine.trimmed().isEmpty()) {
            lLines << CServiceProcess::plainLine(aLine);
        }
    }
    return lLines;
}

QStringList TestVmBooted::stickMounts()
{
    const QString sFindmnt = "findmnt -rn -o TARGET,SOURCE,FSTYPE | awk '$1 == \"/mnt/usbstick\" { print $2, $3 }'";
    return QString::fromLatin1(m_pMachine->run(sFindmnt).aOutput).split('\n', Qt::SkipEmptyParts);
}

bool TestVmBooted::plugAndMount(const QString& sId, const QString& sKind, const QStringList& lEntries)
{
    const int iPid = servicePid();
    const qsizetype iBefore = m_pGuest->publishedBy(iPid).size();
    if (!plug(sId, m_pMachine->makeStick(sKind, lEntries))) {
        return false;
    }
    return QTest::qWaitFor([&] { return m_pGuest->publishedBy(iPid).size() > iBefore && isMountedBy(iPid); }, 30000);
}

bool TestVmBooted::isMountedBy(int iPid)
{
    const QList<QJsonObject> lRecords = m_pGuest->publishedBy(iPid);
    return !lRecords.isEmpty() && lRecords.last().value("UsbDeviceState").toInt() == 2;
}

void TestVmBooted::expectStickTakenOverBy(int iOldPid)
{
    QVERIFY(QTest::qWaitFor([&] { return servicePid() > 0 && servicePid() != iOldPid; }, RESTART_TIMEOUT_MS));
    const int iPid = servicePid();
    QCOMPARE(unitValue("veltrano-usb", "ActiveState"), QString("active"));
    QVERIFY(QTest::qWaitFor([&] { return isMountedBy(iPid); }, RESTART_TIMEOUT_MS));
    QCOMPARE(m_pGuest->publishedBy(iPid).last().value("UsbMountPath").toString(), QString("/mnt/usbstick"));
}

void TestVmBooted::expectOneMountThenNoneAfterThePull(const QString& sId)
{
    QCOMPARE(stickMounts().size(), 1);
    QVERIFY(pullAndWait(sId));
    QVERIFY2(stickMounts().isEmpty(), qPrintable(stickMounts().join('\n')));
}

void TestVmBooted::writeSetupFile(const QString& sName, const QString& sText)
{
    QDir().mkpath(m_pMachine->shareDir() + "/setup");
    QFile oFile(m_pMachine->shareDir() + "/setup/" + sName);
    QVERIFY(oFile.open(QIODevice::WriteOnly) && oFile.write(sText.toUtf8()) == sText.toUtf8().size());
}

// The package(s) of the build under test, made by cpack into the shared folder.
QString TestVmBooted::makeDebs()
{
    const QString sConfig = qEnvironmentVariable("VELTRANO_VM_CPACK_CONFIG", VELTRANO_CPACK_CONFIG);
    const QString sPack = m_pMachine->shareDir() + "/pack";
    QProcess oCpack;
    oCpack.setProcessChannelMode(QProcess::MergedChannels);
    oCpack.start("cpack", {"-G", "DEB", "-B", sPack + "/build", "--config", sConfig});
    if (!oCpack.waitForFinished(300000) || oCpack.exitCode() != 0) {
        qWarning("cpack: %s", oCpack.readAll().constData());
        return QString();
    }
    const QStringList lDebs = QDir(sPack + "/build").entryList({"*.deb"});
    for (const QString& sDeb : lDebs) {
        QFile::rename(sPack + "/build/" + sDeb, sPack + "/" + sDeb);
    }
    QDir(sPack + "/build").removeRecursively();
    qInfo("packages: %s", qPrintable(lDebs.join(", ")));
    return lDebs.isEmpty() ? QString() : "/run/vm/pack";
}

QTEST_GUILESS_MAIN(TestVmBooted)
#include "test_vm_booted.moc"
