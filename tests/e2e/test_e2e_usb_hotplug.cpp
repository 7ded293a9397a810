// The real service following sticks that come and go while it runs (netlink events through
// umockdev), polled once a second.

#include "ce2efixture.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

class TestE2eUsbHotplug : public CE2eFixture
{
    Q_OBJECT

private slots:
    void mounts_a_stick_plugged_in_and_clears_it_when_pulled();
    void counts_a_change_as_a_removal_only_when_the_medium_is_gone();
    void leaves_the_recorded_stick_alone_for_another_disk();
    void handles_events_from_before_joining_one_per_tick();
    void drops_a_device_that_does_not_qualify();
    void retries_a_failed_udev_context_on_every_tick();
    void polls_with_one_select_per_idle_tick();
    void tells_a_restarted_core_what_it_has();
};

void TestE2eUsbHotplug::mounts_a_stick_plugged_in_and_clears_it_when_pulled()
{
    m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({"Veltrano/logbook/"}));
    startSimulator();
    startService();
    join();
    QCOMPARE(publications().size(), 1);

    const QString sStick = m_pSticks->addStick("sda");
    QTRY_COMPARE_WITH_TIMEOUT(publications().size(), 3, 10000);
    QCOMPARE(m_pService->count(":  USB-Device added  Stick_sda Acme_Stick_sda_0001 /dev/sda "), 1);
    QCOMPARE(publications()[1].value("UsbDeviceState").toInt(), 1);
    QCOMPARE(publications()[2].value("UsbDeviceState").toInt(), 2);
    QCOMPARE(publications()[2].value("LogbookDirFound").toBool(), true);
    QVERIFY(m_pService->isStickMounted());

    m_pSticks->uevent(sStick, "remove");
    QTRY_COMPARE_WITH_TIMEOUT(publications().size(), 7, 10000);
    QCOMPARE(m_pService->count(":  USB-Device removed  Stick_sda Acme_Stick_sda_0001 /dev/sda "), 1);
    QVERIFY(!m_pService->isStickMounted());
    QCOMPARE(m_pService->count("'umount' OK"), 1);
    QCOMPARE(m_pSim->events("getRuntimeUsb").size(), 2);

    const QList<QJsonObject> lRecords = publications();
    QCOMPARE(lRecords[3].value("UnmountUsbDeviceActive").toBool(), true);
    QCOMPARE(lRecords[4].value("UnmountUsbDeviceActive").toBool(), false);
    QCOMPARE(lRecords[4].value("UsbDeviceUnmounted").toBool(), true);
    QCOMPARE(lRecords[5].value("UsbAuxFlag").toBool(), false);
    const QJsonObject oCleared = lRecords[6];
    QCOMPARE(oCleared.value("UsbDeviceState").toInt(), 0);
    QCOMPARE(oCleared.value("UsbDeviceNode").toString(), QString(""));
    QCOMPARE(oCleared.value("UsbMountPath").toString(), QString(""));
    QCOMPARE(oCleared.value("UsbCapacity").toInteger(), Q_INT64_C(0));
    QCOMPARE(oCleared.value("LogbookDirFound").toBool(), false);
    QCOMPARE(oCleared.value("UsbDeviceUnmounted").toBool(), true);

    // Peers see the unmounted flag for five seconds.
    QTRY_COMPARE_WITH_TIMEOUT(publications().size(), 8, 8000);
    QCOMPARE(publications()[7].value("UsbDeviceUnmounted").toBool(), false);
    const QList<QJsonObject> lEvents = m_pSim->events("setRuntimeUsb");
    const double dShown = lEvents[7].value("ms").toDouble() - lEvents[6].value("ms").toDouble();
    QVERIFY2(dShown >= 4900 && dShown < 6000, qPrintable(QString("flag shown %1 ms").arg(dShown)));
    QCOMPARE(m_pService->count("ResetUSBFlag"), 1);
}

void TestE2eUsbHotplug::counts_a_change_as_a_removal_only_when_the_medium_is_gone()
{
    const QString sStick = m_pSticks->addStick("sda");
    m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({}));
    startSimulator();
    startService();
    join();
    QVERIFY(m_pService->isStickMounted());
    const qsizetype iPublished = publications().size();

    // The kernel's own "change" after every "add", and udevadm trigger's: the medium is there.
    m_pSticks->uevent(sStick, "change");
    QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("USB-Device changed, medium present  Stick_sda "), 1, 5000);
    QVERIFY(m_pService->isStickMounted());
    QCOMPARE(publications().size(), iPublished);

    // A card reader whose card was taken out: the disk stays, its size drops to 0.
    m_pSticks->setAttribute(sStick, "size", "0");
    m_pSticks->uevent(sStick, "change");
    QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("USB-Device removed "), 1, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!m_pService->isStickMounted(), 5000);
    // The unmount publishes the flag before the cleared record follows.
    QTRY_VERIFY_WITH_TIMEOUT(publications().last().value("UsbDeviceState").toInt() == 0
                                 && publications().last().value("UsbDeviceUnmounted").toBool(),
                             5000);
}

void TestE2eUsbHotplug::leaves_the_recorded_stick_alone_for_another_disk()
{
    const QString sFirst = m_pSticks->addStick("sda");
    m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({}) + ";vfat:/dev/sdb=" + makeStickFolder({}));
    startSimulator();
    startService();
    join();
    QVERIFY(m_pService->isStickMounted());
    const qsizetype iPublished = publications().size();

    // A second stick comes and goes while the first is mounted; then the first is plugged in
    // again without having been pulled, as "udevadm trigger --action=add" does.
    const QString sSecond = m_pSticks->addStick("sdb");
    QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("USB-Device ignored, another stick is in use  Stick_sdb "), 1, 5000);
    m_pSticks->uevent(sSecond, "remove");
    QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("USB-Device event ignored, another stick is in use  Stick_sdb "), 1,
                              5000);
    m_pSticks->uevent(sFirst, "add");
    QTRY_VERIFY_WITH_TIMEOUT(m_pService->count("USB-Device ignored, the stick is mounted already  Stick_sda ") >= 1,
                             5000);

    QVERIFY(m_pService->isStickMounted());
    QCOMPARE(publications().size(), iPublished);
    QCOMPARE(m_pService->count("USB-Device added "), 0);
    QCOMPARE(m_pService->count("mount failed"), 0);
}

void TestE2eUsbHotplug::handles_events_from_before_joining_one_per_tick()
{
    const QString sStick = m_pSticks->addStick("sda");
    m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({}));
    startSimulator();
    startService();

    // Queued while the service waits to join; the ticks leave them alone until then.
    m_pSticks->uevent(sStick, "remove");
    m_pSticks->uevent(sStick, "add");
    QTRY_VERIFY_WITH_TIMEOUT(m_pTriggers->signalsFrom("/Signals").size() >= 3, 5000);
    QCOMPARE(m_pService->count("USB-Device"), 0);

    // The start-up scan mounts the stick; then the removal, then the arrival mounts it again.
    join();
    QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("USB-Device added "), 1, 15000);
    QCOMPARE(m_pService->count("USB-Device removed "), 1);

    // The removal (with its publications) ends its tick; the arrival waits for the next one.
    const QStringList lLines = m_pService->lines();
    const int iRemoved = static_cast<int>(lLines.indexOf(m_pService->linesWith("USB-Device removed ").first()));
    const int iAdded = static_cast<int>(lLines.indexOf(m_pService->linesWith("USB-Device added ").first()));
    QVERIFY(iRemoved < iAdded);
    const int iRemovalDone =
        static_cast<int>(lLines.lastIndexOf(QRegularExpression(".*'setRuntimeUsb' successfull.*"), iAdded));
    const qint64 llRemovalDone = CServiceProcess::timeOf(lLines[iRemovalDone]);
    const qint64 llArrival = CServiceProcess::timeOf(lLines[iAdded]);
    QVERIFY2(llArrival - llRemovalDone >= 990, qPrintable(QString("%1 ms").arg(llArrival - llRemovalDone)));
}

void TestE2eUsbHotplug::drops_a_device_that_does_not_qualify()
{
    startSimulator();
    startService();
    join();

    m_pSticks->addDisk("sdc", {{"ID_BUS", "ata"}, {"ID_TYPE", "disk"}});
    // A stick after it shows that the disk's tick is over.
    m_pSticks->addStick("sdd");
    QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("USB-Device added "), 1, 10000);

    QCOMPARE(m_pService->count("UDEV-Item Name:  ID_BUS  Value:  ata "), 1);
    QCOMPARE(m_pService->count("USB-Device added  Stick_sdd "), 1);
    QCOMPARE(m_pService->count("/dev/sdc "), 1);
}

void TestE2eUsbHotplug::retries_a_failed_udev_context_on_every_tick()
{
    // The first three contexts fail: the monitor's at the connection, the start-up scan's,
    // and the monitor's again at the first tick after joining.
    m_pService->setEnvironment("VELTRANO_SHIM_UDEV_NEW_FAILURES", "3");
    startSimulator();
    startService();
    QCOMPARE(m_pService->count("udev_new FAILED"), 1);
    QCOMPARE(m_pService->count("udev_monitor_new_from_netlink FAILED"), 1);
    join();
    QCOMPARE(m_pService->count("Can't create u_dev"), 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_pService->count("udev_new FAILED"), 2, 5000);

    // Events only reach a monitor that exists, so offer arrivals until one is taken.
    const QString sStick = m_pSticks->addStick("sda");
    const auto isTaken = [this] { return m_pService->count("USB-Device added ") > 0; };
    for (int i = 0; i < 6 && !QTest::qWaitFor(isTaken, 1500); ++i) {
        m_pSticks->uevent(sStick, "add");
    }
    QVERIFY(isTaken());
    QCOMPARE(m_pService->count("udev_new FAILED"), 2);
}

void TestE2eUsbHotplug::polls_with_one_select_per_idle_tick()
{
    startSimulator();
    startService();
    join();

    QProcess oStrace;
    oStrace.start("timeout", {"-s", "INT", "3.5", "strace", "-f", "-qq", "-e", "trace=select,pselect6", "-p",
                              QString::number(servicePid())});
    QVERIFY(oStrace.waitForFinished(10000));
    const QStringList lCalls = QString::fromUtf8(oStrace.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    // The C library makes select() a pselect6 call; either way the time-out is zero.
    const QStringList lSelects = lCalls.filter(QRegularExpression("select6?\\("));
    QVERIFY2(lSelects.size() >= 2 && lSelects.size() <= 4, qPrintable(lCalls.join('\n')));
    for (const QString& sCall : lSelects) {
        QVERIFY2(sCall.contains(QRegularExpression("NULL, NULL, \\{tv_sec=0, tv_[nu]sec=0\\}")), qPrintable(sCall));
    }
}

void TestE2eUsbHotplug::tells_a_restarted_core_what_it_has()
{
    m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({"Veltrano/update/"}));
    startSimulator();
    startService();
    join();
    m_pSticks->addStick("sda");
    QTRY_COMPARE_WITH_TIMEOUT(publications().size(), 3, 10000);
    const QJsonObject oMounted = publications()[2];
    QCOMPARE(oMounted.value("UsbDeviceState").toInt(), 2);
    const int iLines = static_cast<int>(m_pService->lines().size());

    m_pSim->terminate();
    QCOMPARE(m_pSim->waitForExitCode(5000), 0);
    startSimulator();

    // The new core hears the version and the record as it stands, with no new scan or mount.
    QTRY_COMPARE_WITH_TIMEOUT(publications().size(), 1, 5000);
    const QJsonObject oGeneral = m_pSim->events("setRuntimeGeneralNonWM").value(0);
    QCOMPARE(oGeneral.value("swVersions").toObject().keys(), QStringList({"USB"}));
    QCOMPARE(publications()[0], oMounted);
    QCOMPARE(m_pSim->events("getRuntimeUsb").size(), 0);
    QCOMPARE(m_pService->count("Core service has a new owner => publish again"), 1);
    const QStringList lSince = m_pService->lines().mid(iLines);
    for (const QString& sLine : lSince) {
        QVERIFY2(!sLine.contains("mount", Qt::CaseInsensitive), qPrintable(sLine));
    }
    QVERIFY(m_pService->isStickMounted());
}

QTEST_GUILESS_MAIN(TestE2eUsbHotplug)
#include "test_e2e_usb_hotplug.moc"
