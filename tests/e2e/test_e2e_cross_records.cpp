// The daemon of a cross build (run under qemu-user) and this build's daemon, each in turn
// beside this build's core simulator, joining without a stick and then given the same emulated
// 16 GiB stick: every record they publish must be the same bytes, whatever the target's word
// size and statvfs field widths.
//
// VELTRANO_CROSS_DAEMONS lists, colon-separated, the bin/veltrano-usb-emulated scripts of the
// cross builds to compare (scripts/cross sets it); without it there is nothing to compare.

#include "ce2efixture.h"

#include <QFileInfo>
#include <QtTest>

#include <csignal>

namespace {

const qint64 SIXTEEN_GIB = Q_INT64_C(16) * 1024 * 1024 * 1024;

struct SPublished
{
    QStringList lUsb; // hex of each setRuntimeUsb record, in order
    QStringList lGeneral; // hex of each setRuntimeGeneralNonWM record
    qint64 llCapacity = -1;
};

} // namespace

class TestE2eCrossRecords : public CE2eFixture
{
    Q_OBJECT

private slots:
    void the_cross_daemon_publishes_the_native_bytes_data()
    {
        QTest::addColumn<QString>("sDaemon");
        const QStringList lDaemons = qEnvironmentVariable("VELTRANO_CROSS_DAEMONS").split(':', Qt::SkipEmptyParts);
        for (const QString& sDaemon : lDaemons) {
            // build-armhf/bin/veltrano-usb-emulated is named "build-armhf".
            QTest::newRow(qPrintable(QFileInfo(sDaemon).absolutePath().section('/', -2, -2))) << sDaemon;
        }
        if (lDaemons.isEmpty()) {
            QSKIP("no cross build given in VELTRANO_CROSS_DAEMONS");
        }
    }

    void the_cross_daemon_publishes_the_native_bytes()
    {
        QFETCH(QString, sDaemon);
        QVERIFY2(QFileInfo(sDaemon).isExecutable(), qPrintable(sDaemon));

        SPublished oNative;
        publish({VELTRANO_SERVICE}, oNative);
        QVERIFY(!QTest::currentTestFailed());
        SPublished oCross;
        publish({sDaemon}, oCross);
        QVERIFY(!QTest::currentTestFailed());

        QCOMPARE(oNative.llCapacity, SIXTEEN_GIB);
        QCOMPARE(oCross.llCapacity, SIXTEEN_GIB);
        // The record of a service without a stick is 100 bytes.
        QCOMPARE(oNative.lUsb.value(0).size(), 2 * 100);
        QCOMPARE(oCross.lUsb, oNative.lUsb);
        QCOMPARE(oNative.lGeneral.size(), 1);
        QCOMPARE(oNative.lGeneral[0].size(), 2 * 309);
        QCOMPARE(oCross.lGeneral, oNative.lGeneral);
        qInfo("identical: %lld USB records, the general record", static_cast<long long>(oNative.lUsb.size()));
    }

private:
    // Fills oPublished; a failure is the test's.
    void publish(const QStringList& lCommand, SPublished& oPublished);
};

void TestE2eCrossRecords::publish(const QStringList& lCommand, SPublished& oPublished)
{
    // Each run has its own testbed, stick folder, service, simulator and heartbeat recorder.
    // The old testbed goes first: it takes its UMOCKDEV_DIR out of the environment.
    m_pSticks.reset();
    m_pSticks.reset(new CStickBed);
    const QString sFolder = makeStickFolder({});
    m_pTriggers.reset(new CSignalRecorder(m_oClient, "sigTrigger"));
    m_pService.reset(new CServiceProcess(m_pBus->address()));
    m_pService->setCommand(lCommand);
    m_pService->setSticks("vfat:/dev/sda=" + sFolder);
    m_pService->setPrepareCommand(
        QString("mount -t tmpfs -o size=16g tmpfs %1 && mkdir -p %1/Veltrano/update "
                "%1/Veltrano/database %1/Veltrano/logbook && touch %1/Veltrano/update/app.bin")
            .arg(sFolder));
    startSimulator();
    QVERIFY(!QTest::currentTestFailed());
    startService();
    QVERIFY(!QTest::currentTestFailed());
    join();
    QVERIFY(!QTest::currentTestFailed());
    // Joined without a stick; then one is plugged in (detected, mounted and inspected) and a
    // peer asks for the unmount (taken, done, flag cleared).
    m_pSticks->addStick("sda");
    QTRY_VERIFY_WITH_TIMEOUT(m_pSim->publications().last().value("UsbDeviceState").toInt() == 2, 20000);
    const qsizetype iInspected = m_pSim->publications().size();
    m_pSim->command("unmount");
    QTRY_VERIFY_WITH_TIMEOUT(m_pSim->publications().size() >= iInspected + 3, 20000);

    for (const QJsonObject& oEvent : m_pSim->events("setRuntimeUsb")) {
        oPublished.lUsb.append(oEvent.value("hex").toString());
        if (oEvent.value("record").toObject().value("UsbDeviceState").toInt() == 2 && oPublished.llCapacity < 0) {
            oPublished.llCapacity = oEvent.value("record").toObject().value("UsbCapacity").toInteger();
        }
    }
    for (const QJsonObject& oEvent : m_pSim->events("setRuntimeGeneralNonWM")) {
        oPublished.lGeneral.append(oEvent.value("hex").toString());
    }
    m_pService->sendSignal(SIGTERM);
    QVERIFY(m_pService->waitForExit(10000));
}

QTEST_GUILESS_MAIN(TestE2eCrossRecords)
#include "test_e2e_cross_records.moc"
