#include "log/clogstream.h"

#include <QtTest>

#include <climits>

namespace {

QList<QPair<QtMsgType, QString>> g_lMessages;

void RecordMessage(QtMsgType eType, const QMessageLogContext&, const QString& sText)
{
    g_lMessages.append({eType, sText});
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
        g_lMessages.clear();
        SetLogStreamHandler(RecordMessage);
    }

    void cleanup()
    {
        SetLogStreamHandler(nullptr);
        QLoggingCategory::setFilterRules(QString());
    }

    // Qt's logging rules (QT_LOGGING_RULES, qtlogging.ini) must not silence our lines: the
    // levels in usb.ini alone decide.
    void callSitesNameFileAndLineWhateverTheLoggingRules()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.warning=false\n*.critical=false"));
        const int iLine = __LINE__ + 1;
        CUSB_WARNING << QString("x") << "abc";
        CUSB_DEBUG << "text";
        CUSB_CRITICAL << 1;
        const QString sPrefix = QStringLiteral("File: cusb Line:  %1 :  ");
        QCOMPARE(g_lMessages, (QList<QPair<QtMsgType, QString>> {{QtWarningMsg, sPrefix.arg(iLine) + "\"x\" abc "},
                                                                 {QtDebugMsg, sPrefix.arg(iLine + 1) + "text "},
                                                                 {QtCriticalMsg, sPrefix.arg(iLine + 2) + "1 "}}));
    }

    void itemsAreWrittenAsThePeersReadThem()
    {
        CLogStream(QtDebugMsg) << QString("a\"b\\c") << QByteArray("d\"e") << "f\"g";
        // Byte strings are taken as Latin-1, byte for byte.
        CLogStream(QtDebugMsg) << "M\xfcller" << QByteArray("\xc3\xbc");
        CLogStream(QtDebugMsg) << -5 << 7u << LONG_MIN << ULONG_MAX << -1LL << ULLONG_MAX << true << false;
        // A line break adds no blank.
        CLogStream(QtDebugMsg) << "x" << endl << 1 << endl;
        QStringList lTexts;
        for (const auto& oMessage : std::as_const(g_lMessages)) {
            lTexts << oMessage.second;
        }
        QCOMPARE(lTexts, QStringList({QStringLiteral("\"a\"b\\c\" \"d\"e\" f\"g "),
                                      QString::fromUtf8("M\u00fcller \"\u00c3\u00bc\" "),
                                      QStringLiteral("-5 7 %1 %2 -1 18446744073709551615 true false ")
                                          .arg(QString::number(LONG_MIN), QString::number(ULONG_MAX)),
                                      QStringLiteral("x \n1 \n")}));
    }
};

QTEST_GUILESS_MAIN(CTestCLogStream)
#include "test_clogstream.moc"
