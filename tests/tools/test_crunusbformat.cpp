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
    // A flagged value equal to the initial one is what the record's own merge would hide.
    void viewShowsValuesAndFlagsAsSent()
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
                 QStringList({"UsbDeviceState", "UsbDataAvailable", "UpdateFileFound", "DatabaseDirFound",
                              "UsbDeviceNode", "UsbVendor", "UsbModel", "UsbMountPath", "UsbCapacity", "UsbAuxFlag"}));
        QVERIFY(!oView.isChanged(CRunUsb::UsbInfoText));
    }

    void viewRejectsDamagedRecords()
    {
        const QByteArray aWhole = mountedStick().toByteArray();
        QVERIFY(!CRunUsbView(aWhole.chopped(1)).isValid());
        QVERIFY(!CRunUsbView(QByteArray()).isValid());

        const CRunUsbView oOld(QByteArray(aWhole).replace(0, 4, QByteArray::fromHex("000000ff")));
        QCOMPARE(oOld.version(), 255);
        QVERIFY(!oOld.isValid());
    }

    void capacityInBinaryUnits()
    {
        const QList<std::pair<qint64, QString>> lCases = {
            {0, "0 B"},           {1023, "1023 B"},          {1024, "1.0 KiB"},
            {1572864, "1.5 MiB"}, {SIXTEEN_GIB, "16.0 GiB"}, {SIXTEEN_GIB * 128, "2.0 TiB"}};
        for (const auto& [llBytes, sText] : lCases) {
            QCOMPARE(CRunUsbFormat::capacityText(llBytes), sText);
        }
    }

    void summaryLine()
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
        QVERIFY2(sLine.startsWith("state=0 info=\"see the manual\" node=\"\" vendor=\"Acme Corp\" "),
                 qPrintable(sLine));
    }

    void generalViewReadsVersionsAndFlags()
    {
        CRunGeneralNonWM oRecord;
        oRecord.setSwVersion("USB", "1.1 / x");
        oRecord.setSwVersion("DISPLAY", "2.0");
        oRecord.setGeneralText3("");
        const CRunGeneralView oView(oRecord.toByteArray());
        QVERIFY(oView.isValid());
        QCOMPARE(oView.swVersions(), (QMap<QString, QString> {{"USB", "1.1 / x"}, {"DISPLAY", "2.0"}}));
        // Flag order, not wire order.
        QCOMPARE(oView.changedNames(), QStringList({"GeneralText3", "SwVersions"}));
        QCOMPARE(oView.value(CRunGeneralNonWM::GeneralNumber1).toInt(), -1);
        QCOMPARE(oView.value(CRunGeneralNonWM::GeneralTime).toDateTime(), oRecord.getGeneralTime());

        QVERIFY(!CRunGeneralView(oRecord.toByteArray().chopped(2)).isValid());
    }
};

QTEST_GUILESS_MAIN(CTestRunUsbFormat)
#include "test_crunusbformat.moc"
