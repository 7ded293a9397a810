// Decoding and printing of the runtime records by the tools.

#include "records/crungeneralnonwm.h"
#include "records/crunusb.h"
#include "tests/tools/mountedstick.h"
#include "tools/common/crungeneralview.h"
#include "tools/common/crunusbformat.h"
#include "tools/common/crunusbview.h"

#include <QtTest>

class CTestRunUsbFormat : public QObject
{
    Q_OBJECT

private slots:
    void viewShowsValuesAndFlagsAsSent();
    void viewRejectsDamagedRecords();
    void capacityInBinaryUnits_data();
    void capacityInBinaryUnits();
    void summaryLine();
    void fieldLinesMarkChanges();
    void jsonKeepsTypes();
    void generalViewReadsVersionsAndFlags();
};

// A flagged value equal to the initial one is what the record's own merge would hide.
void CTestRunUsbFormat::viewShowsValuesAndFlagsAsSent()
{
    CRunUsb oRecord = mountedStick();
    oRecord.setUsbAuxFlag(false);
    const CRunUsbView oView(oRecord.toByteArray());

    QVERIFY(oView.isValid());
    QCOMPARE(oView.version(), 256);
    QCOMPARE(oView.value(CRunUsb::UsbDeviceState).toInt(), 2);
    QCOMPARE(oView.value(CRunUsb::UsbVendor).toString(), QString("Acme"));
    QCOMPARE(oView.value(CRunUsb::UsbCapacity).toLongLong(), SIXTEEN_GIB);
    QCOMPARE(oView.value(CRunUsb::LogbookDirFound).toBool(), false);
    QCOMPARE(oView.changedNames(),
             QStringList({"UsbDeviceState", "UsbDataAvailable", "UpdateFileFound", "DatabaseDirFound", "UsbDeviceNode",
                          "UsbVendor", "UsbModel", "UsbMountPath", "UsbCapacity", "UsbAuxFlag"}));
    QVERIFY(!oView.isChanged(CRunUsb::UsbInfoText));
}

void CTestRunUsbFormat::viewRejectsDamagedRecords()
{
    const QByteArray aWhole = mountedStick().toByteArray();
    QVERIFY(!CRunUsbView(aWhole.left(aWhole.size() - 1)).isValid());
    QVERIFY(!CRunUsbView(QByteArray()).isValid());

    QByteArray aOldVersion = aWhole;
    aOldVersion[2] = 0;
    aOldVersion[3] = char(0xff);
    const CRunUsbView oOld(aOldVersion);
    QCOMPARE(oOld.version(), 255);
    QVERIFY(!oOld.isValid());
}

void CTestRunUsbFormat::capacityInBinaryUnits_data()
{
    QTest::addColumn<qint64>("llBytes");
    QTest::addColumn<QString>("sText");
    QTest::newRow("zero") << Q_INT64_C(0) << "0 B";
    QTest::newRow("below 1 KiB") << Q_INT64_C(1023) << "1023 B";
    QTest::newRow("1 KiB") << Q_INT64_C(1024) << "1.0 KiB";
    QTest::newRow("1.5 MiB") << Q_INT64_C(1572864) << "1.5 MiB";
    QTest::newRow("16 GiB") << SIXTEEN_GIB << "16.0 GiB";
    QTest::newRow("2 TiB") << Q_INT64_C(2) * 1024 * SIXTEEN_GIB / 16 << "2.0 TiB";
}

void CTestRunUsbFormat::capacityInBinaryUnits()
{
    QFETCH(qint64, llBytes);
    QFETCH(QString, sText);
    QCOMPARE(CRunUsbFormat::capacityText(llBytes), sText);
}

void CTestRunUsbFormat::summaryLine()
{
    QCOMPARE(CRunUsbFormat::summary(CRunUsbView(mountedStick().toByteArray())),
             QString("state=2 node=/dev/sda vendor=Acme model=Stick mount=/mnt/usbstick capacity=16.0 GiB "
                     "data=yes update=yes database=yes logbook=no unmount-request=no unmounting=no "
                     "unmounted=no aux=no"));

    // The free texts show up once they carry something; texts with blanks are quoted.
    CRunUsb oRecord;
    oRecord.setUsbInfoText("see the manual");
    oRecord.setUsbVendor("Acme Corp");
    const QString sLine = CRunUsbFormat::summary(CRunUsbView(oRecord.toByteArray()));
    QVERIFY2(sLine.startsWith("state=0 info=\"see the manual\" node=\"\" vendor=\"Acme Corp\" "), qPrintable(sLine));
}

void CTestRunUsbFormat::fieldLinesMarkChanges()
{
    CRunUsb oRecord;
    oRecord.setStartUnmountUsbDevice(true);
    const QStringList lsLines = CRunUsbFormat::fieldLines(CRunUsbView(oRecord.toByteArray()));
    QCOMPARE(lsLines.size(), int(CRunUsb::FieldCount));
    QVERIFY2(lsLines.at(CRunUsb::StartUnmountUsbDevice)
                 .contains(QRegularExpression("^StartUnmountUsbDevice +yes +changed$")),
             qPrintable(lsLines.at(CRunUsb::StartUnmountUsbDevice)));
    QCOMPARE(lsLines.at(CRunUsb::UsbCapacity), QString("UsbCapacity            0 (0 B)"));
}

void CTestRunUsbFormat::jsonKeepsTypes()
{
    const CRunUsbView oView(mountedStick().toByteArray());
    const QJsonObject oJson = CRunUsbFormat::toJson(oView);
    QCOMPARE(oJson.size(), int(CRunUsb::FieldCount));
    QVERIFY(oJson.value("UsbDeviceState").isDouble());
    QCOMPARE(oJson.value("UsbDeviceState").toInt(), 2);
    QCOMPARE(oJson.value("UsbCapacity").toInteger(), SIXTEEN_GIB);
    QVERIFY(oJson.value("UsbDataAvailable").isBool());
    QCOMPARE(oJson.value("UsbMountPath").toString(), QString("/mnt/usbstick"));
    QCOMPARE(oJson.value("UsbInfoText").toString(), QString(""));
    QCOMPARE(CRunUsbFormat::changedJson(oView).first().toString(), QString("UsbDeviceState"));
}

void CTestRunUsbFormat::generalViewReadsVersionsAndFlags()
{
    CRunGeneralNonWM oRecord;
    oRecord.setSwVersion("USB", "1.1.1 / x");
    oRecord.setSwVersion("DISPLAY", "2.0");
    oRecord.setGeneralText3("");
    const CRunGeneralView oView(oRecord.toByteArray());
    QVERIFY(oView.isValid());
    QCOMPARE(oView.swVersions().value("USB"), QString("1.1.1 / x"));
    QCOMPARE(oView.swVersions().value("DISPLAY"), QString("2.0"));
    // Flag order, not wire order.
    QCOMPARE(oView.changedNames(), QStringList({"GeneralText3", "SwVersions"}));
    QCOMPARE(oView.value(CRunGeneralNonWM::GeneralNumber1).toInt(), -1);
    QCOMPARE(oView.value(CRunGeneralNonWM::GeneralTime).toDateTime().toMSecsSinceEpoch(), Q_INT64_C(0));

    const QByteArray aWhole = oRecord.toByteArray();
    QVERIFY(!CRunGeneralView(aWhole.left(aWhole.size() - 2)).isValid());
}

QTEST_GUILESS_MAIN(CTestRunUsbFormat)
#include "test_crunusbformat.moc"
