#include "records/replycodes.h"

#include <QtTest>

class TestReplyCodes : public QObject
{
    Q_OBJECT

private slots:
    void replyCodeName_data();
    void replyCodeName();
    void mainModeName_data();
    void mainModeName();
};

void TestReplyCodes::replyCodeName_data()
{
    QTest::addColumn<int>("iCode");
    QTest::addColumn<QString>("sName");

    QTest::newRow("0") << 0 << "REPLY_NO_SUCCESS";
    QTest::newRow("1") << 1 << "REPLY_SUCCESS";
    QTest::newRow("2001") << 2001 << "SUCCESS_AFTER_DELETE_ONE_ROW";
    QTest::newRow("-1002") << -1002 << "HASH_COMPARE_ERROR";
    QTest::newRow("-1004") << -1004 << "Object_Array_Pointer_NULL";
    QTest::newRow("-2065") << -2065 << "SQL_QUERY_EXEC_CREATE_INDEX";
    QTest::newRow("-2081") << -2081 << "SQL_SELECT_DATA_POINTER_0";
    QTest::newRow("-3001") << -3001 << "LOGBOOK_MAIN_LIST_EMPTY";

    // Neighbours of listed codes: the table has no ranges.
    for (int iCode : {4, 2000, 2002, -999, -1007, -2002, -2012, -2066, -2082, -3004}) {
        QTest::addRow("%d", iCode) << iCode << QString::number(iCode);
    }
}

void TestReplyCodes::replyCodeName()
{
    QFETCH(int, iCode);
    QFETCH(QString, sName);
    QCOMPARE(ReplyCodeName(iCode), sName);
}

void TestReplyCodes::mainModeName_data()
{
    QTest::addColumn<int>("iMode");
    QTest::addColumn<QString>("sName");

    QTest::newRow("0") << 0 << "MainModeUndefined";
    QTest::newRow("11") << 11 << "MainModeCompEmptyTest";
    QTest::newRow("12") << 12 << "MainModeLoadingEnd";
    QTest::newRow("22") << 22 << "MainModeDrainFpm";
    QTest::newRow("23") << 23 << "23";
    QTest::newRow("-1") << -1 << "-1";
}

void TestReplyCodes::mainModeName()
{
    QFETCH(int, iMode);
    QFETCH(QString, sName);
    QCOMPARE(MainModeName(iMode), sName);
}

QTEST_APPLESS_MAIN(TestReplyCodes)

#include "test_replycodes.moc"
