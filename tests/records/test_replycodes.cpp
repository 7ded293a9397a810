#include "records/replycodes.h"

#include <QtTest>

// The lookups, not their tables: a named value, its unnamed neighbour, and the ends of the
// main modes' range.
class TestReplyCodes : public QObject
{
    Q_OBJECT

private slots:
    void names_listed_values_and_gives_others_in_decimal()
    {
        QCOMPARE(ReplyCodeName(2001), QString("SUCCESS_AFTER_DELETE_ONE_ROW"));
        QCOMPARE(ReplyCodeName(-1004), QString("Object_Array_Pointer_NULL"));
        QCOMPARE(ReplyCodeName(2000), QString("2000"));
        QCOMPARE(MainModeName(0), QString("MainModeUndefined"));
        QCOMPARE(MainModeName(22), QString("MainModeDrainFpm"));
        QCOMPARE(MainModeName(23), QString("23"));
        QCOMPARE(MainModeName(-1), QString("-1"));
    }
};

QTEST_APPLESS_MAIN(TestReplyCodes)

#include "test_replycodes.moc"
