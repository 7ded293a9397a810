// The real service following sticks that come and go while it runs (netlink events through
// umockdev), polled once a second. Which events count, and for which disk, the unit tests of
// the stick watcher show.

#include "ce2efixture.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

class TestE2eUsbHotplug : public CE2eFixture
{
    Q_OBJECT

private slots:
    void mounts_a_stick_plugged_in_and_clears_it_when_pulled()
    {
        m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({"Veltrano/logbook/"}));
        startAndJoin();
        QCOMPARE(publications().size(), 1);

        const QString sStick = m_pSticks->addStick("sda");
        QTRY_COMPARE_WITH_TIMEOUT(publications().size(), 3, 10000);
        QCOMPARE(m_pService->count(":  USB-Device added  Stick_sda Acme_Stick_sda_0001 /dev/sda "), 1);
        QCOMPARE(publications()[1].value("UsbDeviceState").toInt(), 1);
        QCOMPARE(publications()[2].value("UsbDeviceState").toInt(), 2);
        // The kernel is given three seconds with a fresh stick before it is mounted.
        const QList<QJsonObject> lArrival = m_pSim->events("setRuntimeUsb");
        QVERIFY(lArrival[2].value("ms").toDouble() - lArrival[1].value("ms").toDouble() >= 3000);
        QCOMPARE(publications()[2].value("LogbookDirFound").toBool(), true);
        QVERIFY(m_pService->isStickMounted());

        m_pSticks->uevent(sStick, "remove");
        QTRY_COMPARE_WITH_TIMEOUT(publications().size(), 7, 10000);
        QCOMPARE(m_pService->count(":  USB-Device removed  Stick_sda Acme_Stick_sda_0001 /dev/sda "), 1);
        QVERIFY(!m_pService->isStickMounted());
        QCOMPARE(m_pService->count("'umount' OK"), 1);
        QCOMPARE(m_pSim->events("getRuntimeUsb").size(), 2);

        verifyUnmountPublications(3, true);
        const QJsonObject oCleared = publications()[6];
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
    }

    void handles_events_from_before_joining_one_per_tick()
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

    void polls_with_one_select_per_idle_tick()
    {
        startAndJoin();

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

    void tells_a_restarted_core_what_it_has()
    {
        m_pService->setSticks("vfat:/dev/sda=" + makeStickFolder({"Veltrano/update/"}));
        startAndJoin();
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
};

QTEST_GUILESS_MAIN(TestE2eUsbHotplug)
#include "test_e2e_usb_hotplug.moc"
