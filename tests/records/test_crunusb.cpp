#include "records/crunusb.h"

#include <QtTest>

namespace {

const qint64 SIXTEEN_GIB = Q_INT64_C(16) * 1024 * 1024 * 1024;

// Hex with blanks for readability; fromHex skips them.
QByteArray hex(const char* szHex)
{
    return QByteArray::fromHex(szHex);
}

QByteArray header()
{
    return hex("00000100 00000020") + QByteArray(32, '\0');
}

// Every field away from its initial value; 150 bytes on the wire, the last 17 being
// UsbCapacity (flag + 8) and the four unmount/aux flags (2 each).
CRunUsb filledRecord()
{
    CRunUsb oRecord;
    oRecord.setUsbDeviceState(2);
    oRecord.setUsbInfoText("i");
    oRecord.setUsbDataAvailable(true);
    oRecord.setUpdateFileFound(true);
    oRecord.setDatabaseDirFound(true);
    oRecord.setLogbookDirFound(true);
    oRecord.setUsbDeviceNode("/dev/sda");
    oRecord.setUsbDeviceText("t");
    oRecord.setUsbVendor("v");
    oRecord.setUsbModel("m");
    oRecord.setUsbMountPath("/mnt/usbstick");
    oRecord.setUsbCapacity(SIXTEEN_GIB);
    oRecord.setStartUnmountUsbDevice(true);
    oRecord.setUnmountUsbDeviceActive(true);
    oRecord.setUsbDeviceUnmounted(true);
    oRecord.setUsbAuxFlag(true);
    return oRecord;
}

} // namespace

Q_DECLARE_METATYPE(CRunUsb)

class TestCRunUsb : public QObject
{
    Q_OBJECT

private slots:
    void wireForm_data()
    {
        QTest::addColumn<CRunUsb>("oRecord");
        QTest::addColumn<QByteArray>("aExpected");

        // 100 bytes: the fields after the reserve block take 60, every flag and value zero.
        QTest::newRow("fresh") << CRunUsb() << header() + QByteArray(60, '\0');

        CRunUsb oDefaults;
        oDefaults.setStartupDefaults();
        QTest::newRow("start-up defaults") << oDefaults
                                           << header()
                                                  + hex(
                                                      "01 00000000  00 00000000  0100 0100 0100 0100"
                                                      "01 00000000  01 00000000  01 00000000  01 00000000  01 00000000"
                                                      "01 0000000000000000  0100 0100 0100 0100");

        CRunUsb oStick;
        oStick.setUsbDeviceState(2);
        oStick.setUsbVendor("Ab");
        oStick.setUsbCapacity(SIXTEEN_GIB);
        oStick.setUsbDeviceUnmounted(true);
        QTest::newRow("stick") << oStick
                               << header()
                                      + hex(
                                          "01 00000002  00 00000000  0000 0000 0000 0000"
                                          "00 00000000  00 00000000  01 00000004 0041 0062  00 00000000  00 00000000"
                                          "01 0000000400000000  0000 0000 0101 0000");
    }

    void wireForm()
    {
        QFETCH(CRunUsb, oRecord);
        QFETCH(QByteArray, aExpected);
        QCOMPARE(oRecord.toByteArray().toHex(' '), aExpected.toHex(' '));

        QByteArray aStreamed;
        QDataStream out(&aStreamed, QIODevice::WriteOnly);
        out << oRecord;
        QCOMPARE(aStreamed, aExpected);
        QCOMPARE(out.version(), int(QDataStream::Qt_4_6));
    }

    void bufferIsReplacedWhole()
    {
        CRunUsb oRecord;
        oRecord.setUsbModel(QString(200, QLatin1Char('x')));
        QCOMPARE(oRecord.toByteArray().size(), 500);
        oRecord.setUsbModel("");
        QCOMPARE(oRecord.toByteArray().size(), 100);
    }

    void readTakesOverFlaggedDifferingFields()
    {
        // 16 GiB has no bits in the low 32: a comparison cut to 32 bits would miss it.
        CRunUsb oSent = filledRecord();
        CRunUsb oReceived;
        oReceived.fromByteArray(oSent.toByteArray());
        QCOMPARE(oReceived.toByteArray(), oSent.toByteArray());
        QCOMPARE(oReceived.getUsbCapacity(), SIXTEEN_GIB);
        for (int i = 0; i < CRunUsb::FieldCount; ++i) {
            QVERIFY2(oReceived.isChanged(CRunUsb::EField(i)), qPrintable(QString::number(i)));
        }

        // A peer's pending unmount request wins over the service's own value, nothing else does.
        CRunUsb oService;
        oService.setStartupDefaults();
        oService.setUsbDeviceNode("/dev/sdb");
        CRunUsb oShared;
        oShared.setStartUnmountUsbDevice(true);
        oService.fromByteArray(oShared.toByteArray());
        QVERIFY(oService.getStartUnmountUsbDevice());
        QCOMPARE(oService.getUsbDeviceNode(), QString("/dev/sdb"));
        QCOMPARE(oService.toByteArray().mid(108, 2), hex("0101"));
    }

    void readLeavesUnflaggedAndEqualFields()
    {
        CRunUsb oEqual;
        oEqual.setUsbDeviceState(0);
        oEqual.setUsbVendor("");
        CRunUsb oReceived;
        oReceived.fromByteArray(oEqual.toByteArray());
        QVERIFY(!oReceived.isChanged(CRunUsb::UsbDeviceState));
        QVERIFY(!oReceived.hasChanges());

        // Unflagged values are dropped, but the reserve block is always taken over.
        QByteArray aUnflagged = CRunUsb().toByteArray();
        aUnflagged.replace(8, 32, QByteArray(32, '\x5a'));
        CRunUsb oOwn;
        oOwn.setUsbDeviceState(2);
        oOwn.setUsbModel("mine");
        QByteArray aExpected = oOwn.toByteArray();
        aExpected.replace(8, 32, QByteArray(32, '\x5a'));
        oOwn.fromByteArray(aUnflagged);
        QCOMPARE(oOwn.toByteArray().toHex(' '), aExpected.toHex(' '));
    }

    // The core keeps the last record of an earlier run, stick and all: only the fields peers may
    // change come from it, flags included, and the stick stays what the service knows.
    void sharedCopyTakesOverOnlyWhatPeersMayChange()
    {
        CRunUsb oService;
        oService.setStartupDefaults();
        oService.fromSharedCopy(filledRecord().toByteArray());
        CRunUsb oExpected;
        oExpected.setStartupDefaults();
        oExpected.setUsbInfoText("i");
        oExpected.setUsbDeviceText("t");
        oExpected.setStartUnmountUsbDevice(true);
        oExpected.setUnmountUsbDeviceActive(true);
        oExpected.setUsbDeviceUnmounted(true);
        oExpected.setUsbAuxFlag(true);
        QCOMPARE(oService.toByteArray().toHex(' '), oExpected.toByteArray().toHex(' '));

        CRunUsb oUnjoined;
        oUnjoined.fromSharedCopy(filledRecord().toByteArray());
        QVERIFY(!oUnjoined.isChanged(CRunUsb::UsbDeviceState));
        QVERIFY(!oUnjoined.isChanged(CRunUsb::UsbCapacity));
        QVERIFY(oUnjoined.isChanged(CRunUsb::UsbAuxFlag));
    }

    void oldFormatVersionChangesNothing()
    {
        for (const char* szVersion : {"000000ff", "00000000", "ffffff00"}) {
            QByteArray aOld = filledRecord().toByteArray().replace(0, 4, hex(szVersion));
            aOld.replace(8, 32, QByteArray(32, '\x5a'));
            CRunUsb oRecord;
            oRecord.fromByteArray(aOld);
            QVERIFY2(oRecord.toByteArray() == CRunUsb().toByteArray(), szVersion);
            QVERIFY(!oRecord.hasChanges());
        }
    }

    void nullText()
    {
        CRunUsb oSent;
        oSent.setUsbModel(QString());
        const QByteArray aSent = oSent.toByteArray();
        QCOMPARE(aSent.mid(73, 5), hex("01 ffffffff"));

        // Texts compare by content: a null text differs from "m" but not from "".
        CRunUsb oHasModel;
        oHasModel.setUsbModel("m");
        oHasModel.fromByteArray(aSent);
        QCOMPARE(oHasModel.toByteArray(), aSent);

        CRunUsb oFresh;
        oFresh.fromByteArray(aSent);
        QVERIFY(!oFresh.getUsbModel().isNull());
        QVERIFY(!oFresh.isChanged(CRunUsb::UsbModel));
    }

    void truncatedInput()
    {
        const QByteArray aFull = filledRecord().toByteArray();
        QCOMPARE(aFull.size(), 150);

        CRunUsb oRecord;
        oRecord.setUsbMountPath("/old");
        oRecord.setUsbCapacity(5);
        const QByteArray aOwn = oRecord.toByteArray();

        CRunUsb oTooShort = oRecord;
        oTooShort.fromByteArray(aFull.left(2));
        QCOMPARE(oTooShort.toByteArray(), aOwn);

        // The capacity's flag arrives but half its value: it reads as 0 and is taken over;
        // the flags after it cannot be read and leave their fields alone.
        CRunUsb oCutInCapacity = oRecord;
        oCutInCapacity.fromByteArray(aFull.left(aFull.size() - 12));
        QCOMPARE(oCutInCapacity.getUsbCapacity(), Q_INT64_C(0));
        QCOMPARE(oCutInCapacity.getUsbMountPath(), QString("/mnt/usbstick"));
        QVERIFY(!oCutInCapacity.isChanged(CRunUsb::StartUnmountUsbDevice));

        CRunUsb oCutInText = oRecord;
        oCutInText.fromByteArray(aFull.left(aFull.size() - 27));
        QCOMPARE(oCutInText.getUsbModel(), QString("m"));
        QVERIFY(oCutInText.getUsbMountPath().isEmpty());
        QCOMPARE(oCutInText.getUsbCapacity(), Q_INT64_C(5));
    }

    // A length field that promises more than the input holds reads as an input cut short there,
    // and is refused before the promised size is allocated (the fuzz runs hold allocations to
    // 1 MiB; Qt alone would take 2 MiB for this text).
    void lengthBeyondTheInput()
    {
        const QByteArray aFull = filledRecord().toByteArray();
        CRunUsb oRecord;
        oRecord.setUsbModel("old");
        oRecord.setUsbCapacity(5);

        QByteArray aLyingPath = aFull;
        aLyingPath.replace(aFull.size() - 47, 4, hex("7ffffffe"));
        CRunUsb oFromLie = oRecord;
        oFromLie.fromByteArray(aLyingPath);
        CRunUsb oFromCut = oRecord;
        oFromCut.fromByteArray(aFull.left(aFull.size() - 27));
        QCOMPARE(oFromLie.toByteArray(), oFromCut.toByteArray());
        QCOMPARE(oFromLie.getUsbModel(), QString("m"));
        QCOMPARE(oFromLie.getUsbCapacity(), Q_INT64_C(5));

        QByteArray aLyingReserve = aFull;
        aLyingReserve.replace(4, 4, hex("ffff0000"));
        CRunUsb oUnchanged = oRecord;
        oUnchanged.fromByteArray(aLyingReserve);
        QCOMPARE(oUnchanged.toPlainByteArray(), oRecord.toPlainByteArray());
    }

    // The named changes set their fields together: a field left out would reach the peers stale.
    void changesAlongAStick()
    {
        CRunUsb oRecord;
        oRecord.setStartupDefaults();
        QVERIFY(!oRecord.isChanged(CRunUsb::UsbInfoText));

        oRecord.stickArrived("/dev/sdb", "Model", "Vendor");
        QCOMPARE(oRecord.getUsbDeviceState(), int(CRunUsb::USB_STICK_DETECTED));
        QCOMPARE(oRecord.getUsbDeviceNode(), QString("/dev/sdb"));
        QCOMPARE(oRecord.getUsbModel(), QString("Model"));
        QCOMPARE(oRecord.getUsbVendor(), QString("Vendor"));

        oRecord.setUsbDeviceUnmounted(true);
        oRecord.stickMounted("/mnt/usbstick", false, false, true);
        QCOMPARE(oRecord.getUsbDeviceState(), int(CRunUsb::USB_STICK_MOUNTED));
        QCOMPARE(oRecord.getUsbMountPath(), QString("/mnt/usbstick"));
        QVERIFY(!oRecord.getUsbDeviceUnmounted());
        QVERIFY(oRecord.getUsbDataAvailable() && oRecord.getLogbookDirFound());
        QVERIFY(!oRecord.getUpdateFileFound() && !oRecord.getDatabaseDirFound());
        oRecord.stickMounted("/mnt/usbstick", false, false, false);
        QVERIFY(!oRecord.getUsbDataAvailable());

        oRecord.setStartUnmountUsbDevice(true);
        oRecord.unmountTaken();
        QVERIFY(!oRecord.getStartUnmountUsbDevice() && oRecord.getUnmountUsbDeviceActive());
        oRecord.unmountDone(true);
        QVERIFY(!oRecord.getUnmountUsbDeviceActive() && oRecord.getUsbDeviceUnmounted());

        oRecord.setUsbCapacity(SIXTEEN_GIB);
        oRecord.setUsbInfoText("i");
        oRecord.stickCleared();
        CRunUsb oExpected;
        oExpected.setStartupDefaults();
        oExpected.setUsbInfoText("");
        oExpected.setUsbDeviceUnmounted(true);
        oExpected.setStartUnmountUsbDevice(false);
        oExpected.setUnmountUsbDeviceActive(false);
        oExpected.setUsbAuxFlag(false);
        QCOMPARE(oRecord.toByteArray().toHex(' '), oExpected.toByteArray().toHex(' '));
    }

    // An unmount that failed leaves the unmounted flag as it was; only the active flag drops.
    void failedUnmountKeepsTheFlag()
    {
        CRunUsb oRecord;
        oRecord.unmountTaken();
        oRecord.unmountDone(false);
        QVERIFY(!oRecord.getUsbDeviceUnmounted());
        QVERIFY(!oRecord.isChanged(CRunUsb::UsbDeviceUnmounted));
        QVERIFY(!oRecord.getUnmountUsbDeviceActive());
    }
};

QTEST_APPLESS_MAIN(TestCRunUsb)

#include "test_crunusb.moc"
