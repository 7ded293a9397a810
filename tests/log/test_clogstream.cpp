#include "log/clogstream.h"

#include <QtTest>

#include <climits>

namespace {

QtMsgType g_eLastType = QtInfoMsg;
QString g_sLastText;
int g_iMessageCount = 0;

void RecordMessage(QtMsgType eType, const QMessageLogContext&, const QString& sText)
{
    g_eLastType = eType;
    g_sLastText = sText;
    ++g_iMessageCount;
}

} // namespace

// The peers read our log with Qt 4 eyes: one blank after every item, the last one kept,
// strings quoted but never escaped.
class CTestCLogStream : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        g_iMessageCount = 0;
        SetLogStreamHandler(RecordMessage);
    }

    void cleanup()
    {
        SetLogStreamHandler(nullptr);
        QLoggingCategory::setFilterRules(QString());
    }

    // Qt's logging rules (QT_LOGGING_RULES, qtlogging.ini) must not silence our lines: the
    // levels in usb.ini alone decide.
    void loggingRulesDoNotFilter()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false"));
        CUSB_DEBUG << "still here";
        CUSB_WARNING << "and here";
        QCOMPARE(g_iMessageCount, 2);
        QCOMPARE(g_eLastType, QtWarningMsg);
    }

    void callSitePrefixNamesFileAndLine()
    {
        CUSB_WARNING << QString("x") << "abc";
        const int iLine = __LINE__ - 1;
        QCOMPARE(g_iMessageCount, 1);
        QCOMPARE(g_eLastType, QtWarningMsg);
        QCOMPARE(g_sLastText, QStringLiteral("File: cusb Line:  %1 :  \"x\" abc ").arg(iLine));

        CUSB_DEBUG << "text";
        QCOMPARE(g_eLastType, QtDebugMsg);
        QVERIFY(g_sLastText.startsWith(QLatin1String("File: cusb Line:  ")));
        QVERIFY(g_sLastText.endsWith(QLatin1String(" :  text ")));
    }

    void stringsAreQuotedUnescaped()
    {
        CLogStream(QtDebugMsg) << QString("a\"b\\c") << QByteArray("d\"e") << "f\"g";
        QCOMPARE(g_sLastText, QStringLiteral("\"a\"b\\c\" \"d\"e\" f\"g "));

        // Byte strings are taken as Latin-1, byte for byte.
        CLogStream(QtDebugMsg) << "M\xfcller" << QByteArray("\xc3\xbc");
        QCOMPARE(g_sLastText, QString::fromUtf8("M\u00fcller \"\u00c3\u00bc\" "));
    }

    void numbersAndBooleans()
    {
        CLogStream(QtCriticalMsg) << -5 << 7u << LONG_MIN << ULONG_MAX << -1LL << ULLONG_MAX << true << false;
        QCOMPARE(g_eLastType, QtCriticalMsg);
        QCOMPARE(g_sLastText, QStringLiteral("-5 7 %1 %2 -1 18446744073709551615 true false ")
                                  .arg(QString::number(LONG_MIN), QString::number(ULONG_MAX)));
    }

    void lineBreakAddsNoBlank()
    {
        CLogStream(QtDebugMsg) << "x" << endl << 1 << endl;
        QCOMPARE(g_sLastText, QStringLiteral("x \n1 \n"));
    }
};

QTEST_GUILESS_MAIN(CTestCLogStream)
#include "test_clogstream.moc"
