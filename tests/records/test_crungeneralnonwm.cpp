#include "records/crungeneralnonwm.h"

#include <QtTest>

#include <algorithm>
#include <time.h>

namespace {

using TextSetter = void (CRunGeneralNonWM::*)(const QString&);

const char* const SW_VERSION = "1.1.1 / vt-release-1.14.3_2025-12-17_1-0-gd9c016b";
const int SW_VERSIONS_FLAG = 182;
const int GENERAL_TIME_FLAG = 107;

QByteArray hex(const char* szHex)
{
    return QByteArray::fromHex(szHex);
}

// A stream text of ASCII characters: byte length, then UTF-16 big-endian.
QByteArray asciiText(const QByteArray& aText)
{
    QByteArray aEncoded = hex("000000");
    aEncoded.append(char(aText.size() * 2));
    for (char c : aText) {
        aEncoded.append('\0').append(c);
    }
    return aEncoded;
}

// A fresh record on the wire with TZ=UTC: 197 bytes.
QByteArray freshBytes()
{
    return hex("00000100 00000020") + QByteArray(32, '\0')
           + hex(
               "00 00000000  00 00000000  00 00" // GeneralNumber3, 4, GeneralFlag
               "00 00000000  00 00000000  00 00000000  00 00000000  00 00000000"
               "00 00000000  00 00000000  00 00000000  00 00000000  00 00000000" // GeneralText4 to 13
               "00 00000000" // GeneralNumber5
               "00 00253d8c 00000000 ff" // GeneralTime
               "00 00000000  00 ffffffff  00 00000000  00 ffffffff" // Text1, Number1, Text3, Number2
               "00 00000000  00 00000000  00 00000000  00 00000000  00 00000000"
               "00 00000000  00 00000000  00 00000000  00 00000000" // GeneralText14 to 22
               "00 00000000" // SwVersions
               "00 00000000  00 00000000"); // GeneralText2, GeneralNumber6
}

// Every text setter with the offset of its flag in a fresh record.
const struct
{
    TextSetter pSetter;
    int iFlagOffset;
} TEXTS[] = {
    {&CRunGeneralNonWM::setGeneralText1, 117},  {&CRunGeneralNonWM::setGeneralText2, 187},
    {&CRunGeneralNonWM::setGeneralText3, 127},  {&CRunGeneralNonWM::setGeneralText4, 52},
    {&CRunGeneralNonWM::setGeneralText5, 57},   {&CRunGeneralNonWM::setGeneralText6, 62},
    {&CRunGeneralNonWM::setGeneralText7, 67},   {&CRunGeneralNonWM::setGeneralText8, 72},
    {&CRunGeneralNonWM::setGeneralText9, 77},   {&CRunGeneralNonWM::setGeneralText10, 82},
    {&CRunGeneralNonWM::setGeneralText11, 87},  {&CRunGeneralNonWM::setGeneralText12, 92},
    {&CRunGeneralNonWM::setGeneralText13, 97},  {&CRunGeneralNonWM::setGeneralText14, 137},
    {&CRunGeneralNonWM::setGeneralText15, 142}, {&CRunGeneralNonWM::setGeneralText16, 147},
    {&CRunGeneralNonWM::setGeneralText17, 152}, {&CRunGeneralNonWM::setGeneralText18, 157},
    {&CRunGeneralNonWM::setGeneralText19, 162}, {&CRunGeneralNonWM::setGeneralText20, 167},
    {&CRunGeneralNonWM::setGeneralText21, 172}, {&CRunGeneralNonWM::setGeneralText22, 177},
};

void setTimeZone(const char* szZone)
{
    qputenv("TZ", szZone);
    tzset();
}

} // namespace

class TestCRunGeneralNonWM : public QObject
{
    Q_OBJECT

private slots:
    void init() { setTimeZone("UTC"); }

    void serviceAnnouncement()
    {
        CRunGeneralNonWM oRecord;
        oRecord.setSwVersion("USB", SW_VERSION);

        QByteArray aExpected = freshBytes();
        aExpected.replace(SW_VERSIONS_FLAG, 5, hex("01 00000001") + asciiText("USB") + asciiText(SW_VERSION));
        QCOMPARE(aExpected.size(), 309);
        QCOMPARE(oRecord.toByteArray().toHex(' '), aExpected.toHex(' '));
        for (int i = 0; i < CRunGeneralNonWM::FieldCount; ++i) {
            QCOMPARE(oRecord.isChanged(CRunGeneralNonWM::EField(i)), i == CRunGeneralNonWM::SwVersions);
        }

        // The date-time form depends on the stream version: the operator must set its own.
        QByteArray aStreamed;
        QDataStream out(&aStreamed, QIODevice::WriteOnly);
        out << oRecord;
        QCOMPARE(aStreamed, aExpected);
    }

    void generalTimeIsLocal_data()
    {
        QTest::addColumn<QByteArray>("aZone");
        QTest::addColumn<QByteArray>("aTimeBytes");
        QTest::newRow("UTC") << QByteArray("UTC") << hex("00253d8c 00000000 ff");
        QTest::newRow("one hour east") << QByteArray("CET-1") << hex("00253d8c 0036ee80 ff");
    }

    void generalTimeIsLocal()
    {
        QFETCH(QByteArray, aZone);
        QFETCH(QByteArray, aTimeBytes);
        setTimeZone(aZone.constData());
        CRunGeneralNonWM oRecord;
        QCOMPARE(oRecord.getGeneralTime().toMSecsSinceEpoch(), Q_INT64_C(0));
        QCOMPARE(oRecord.toByteArray().mid(GENERAL_TIME_FLAG + 1, 9).toHex(' '), aTimeBytes.toHex(' '));
    }

    void textsInWireOrder()
    {
        CRunGeneralNonWM oAll;
        for (const auto& oText : TEXTS) {
            CRunGeneralNonWM oRecord;
            (oRecord.*oText.pSetter)("x");
            QByteArray aExpected = freshBytes();
            aExpected.replace(oText.iFlagOffset, 5, hex("01 00000002 0078"));
            QVERIFY2(oRecord.toByteArray() == aExpected, qPrintable(QString::number(oText.iFlagOffset)));
            (oAll.*oText.pSetter)(QString::number(oText.iFlagOffset));
        }

        // Reading must follow the same odd order, or the distinct texts end up swapped.
        const QDateTime dtTime = QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1765900000000));
        oAll.setGeneralTime(dtTime);
        CRunGeneralNonWM oReceived;
        oReceived.fromByteArray(oAll.toByteArray());
        QCOMPARE(oReceived.toByteArray().toHex(' '), oAll.toByteArray().toHex(' '));
        QCOMPARE(oReceived.getGeneralTime(), dtTime);
    }

    void swVersionsInReverseIterationOrder()
    {
        CRunGeneralNonWM oRecord;
        for (const char* szModule : {"USB", "GUI", "CORE", "GPS", "CAN", "SMP"}) {
            oRecord.setSwVersion(szModule, "0");
            oRecord.setSwVersion(szModule, QString(szModule) + " 1.0");
        }
        QStringList lsExpected = oRecord.getSwVersions().keys();
        std::reverse(lsExpected.begin(), lsExpected.end());

        const QByteArray aBytes = oRecord.toByteArray();
        QDataStream in(aBytes.mid(SW_VERSIONS_FLAG + 1));
        in.setVersion(QDataStream::Qt_4_6);
        quint32 uiCount = 0;
        in >> uiCount;
        QStringList lsWritten;
        for (quint32 i = 0; i < uiCount; ++i) {
            QString sModule;
            QString sVersion;
            in >> sModule >> sVersion;
            QCOMPARE(sVersion, sModule + " 1.0");
            lsWritten << sModule;
        }
        QCOMPARE(lsWritten, lsExpected);

        CRunGeneralNonWM oReceived;
        oReceived.fromByteArray(aBytes);
        QCOMPARE(oReceived.getSwVersions(), oRecord.getSwVersions());
        QVERIFY(oReceived.isChanged(CRunGeneralNonWM::SwVersions));
    }

    void flaggedTableMergesIntoOwn()
    {
        CRunGeneralNonWM oPeer;
        oPeer.setSwVersion("USB", "B");
        CRunGeneralNonWM oOwn;
        oOwn.setSwVersion("USB", "A");
        oOwn.setSwVersion("GUI", "D");
        oOwn.fromByteArray(oPeer.toByteArray());
        QCOMPARE(oOwn.getSwVersions(), (QHash<QString, QString> {{"USB", "B"}, {"GUI", "D"}}));

        // A table cut short reads as empty: flagged, it differs but brings nothing.
        oPeer.setSwVersion("GPS", "C");
        oOwn.fromByteArray(oPeer.toByteArray().left(SW_VERSIONS_FLAG + 20));
        QCOMPARE(oOwn.getSwVersions(), (QHash<QString, QString> {{"USB", "B"}, {"GUI", "D"}}));
    }

    void nothingMarkedWithoutFlaggedDifference()
    {
        QByteArray aFlaggedEmpty = freshBytes();
        aFlaggedEmpty[SW_VERSIONS_FLAG] = '\x01';
        CRunGeneralNonWM oTablePeer;
        oTablePeer.setSwVersion("USB", "B");
        QByteArray aUnflaggedTable = oTablePeer.toByteArray();
        aUnflaggedTable[SW_VERSIONS_FLAG] = '\0';
        QByteArray aOldVersion = oTablePeer.toByteArray().replace(0, 4, hex("000000ff"));
        CRunGeneralNonWM oTextPeer;
        oTextPeer.setGeneralText1("x");
        QByteArray aUnflaggedText = oTextPeer.toByteArray();
        aUnflaggedText[117] = '\0';

        for (const QByteArray& aBytes : {aFlaggedEmpty, aUnflaggedTable, aUnflaggedText, aOldVersion}) {
            CRunGeneralNonWM oRecord;
            oRecord.fromByteArray(aBytes);
            QCOMPARE(oRecord.toByteArray(), freshBytes());
            QVERIFY(!oRecord.hasChanges());
        }
    }
};

QTEST_APPLESS_MAIN(TestCRunGeneralNonWM)

#include "test_crungeneralnonwm.moc"
