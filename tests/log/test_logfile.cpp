#include "log/logmessagehandler.h"
#include "logtesthelpers.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

// The log file itself for 0, else its rotated copy of that number.
QString Generation(int iGeneration)
{
    const QString sLog = QString::fromLatin1(TEST_LOG_FILE);
    return iGeneration == 0 ? sLog : sLog + QLatin1Char('.') + QString::number(iGeneration);
}

} // namespace

class CTestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase() { CloseLog(); }

    void sizeLimitIsStrict()
    {
        ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=100\n");
        const QByteArray aOld(100, 'x');
        WriteFile(Generation(0), aOld);

        LogMessage(QtWarningMsg, QStringLiteral("at the limit"));
        QVERIFY(!QFile::exists(Generation(1)));

        LogMessage(QtWarningMsg, QStringLiteral("over the limit"));
        QVERIFY(ReadFile(Generation(1)).startsWith(aOld + "NOID("));
        QVERIFY(ReadFile(Generation(1)).endsWith(" W at the limit\n"));
        QCOMPARE(LoggedTexts(), QStringList {"W over the limit"});
    }

    // Size 0 rotates before every line. The log and as many copies as are kept (three at most)
    // hold older lines at first; a negative level lets debug lines in.
    void rotationKeepsTheNewestCopies_data()
    {
        QTest::addColumn<int>("iRedundancy"); // -1: not in usb.ini
        QTest::addColumn<QStringList>("lGenerations"); // the log, usb.log.1, ...; no further copy
        QTest::newRow("none") << 0 << QStringList {"D c"};
        QTest::newRow("default") << -1 << QStringList {"D c", "D b"};
        QTest::newRow("three") << 3 << QStringList {"D c", "D b", "D a", "W log"};
        QTest::newRow("the most") << 99 << QStringList {"D c", "D b", "D a", "W log", "W 1", "W 2", "W 3"};
    }

    void rotationKeepsTheNewestCopies()
    {
        QFETCH(int, iRedundancy);
        QFETCH(QStringList, lGenerations);
        ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=0\nLog_Level=-7\n"
                 + (iRedundancy < 0 ? QByteArray() : "Logfile_Redundancy=" + QByteArray::number(iRedundancy) + '\n'));
        WriteFile(Generation(0), "old:time W log\n");
        for (int i = 1; i <= qMin(qAbs(iRedundancy), 3); ++i) {
            WriteFile(Generation(i), "old:time W " + QByteArray::number(i) + '\n');
        }
        for (const char* szText : {"a", "b", "c"}) {
            LogMessage(QtDebugMsg, QString::fromLatin1(szText));
        }
        QCOMPARE(QDir(QString::fromLatin1(TEST_LOG_FOLDER)).entryList(QDir::Files).size(), lGenerations.size());
        for (int i = 0; i < lGenerations.size(); ++i) {
            QCOMPARE(LoggedTexts(Generation(i)), QStringList {lGenerations[i]});
        }
    }

    void missingFolderIsReportedOnceAndNotRetried()
    {
        ResetLog(QByteArray());
        QDir(QString::fromLatin1(TEST_LOG_FOLDER)).removeRecursively();

        const QByteArray aConsole = CaptureStdout([] {
            LogMessage(QtWarningMsg, QStringLiteral("one"));
            LogMessage(QtCriticalMsg, QStringLiteral("two"));
            QDir().mkpath(QString::fromLatin1(TEST_LOG_FOLDER));
            LogMessage(QtWarningMsg, QStringLiteral("three"));
        });
        QCOMPARE(aConsole, DefaultIdentifier().toLatin1() + "open log file failed\n");
        QVERIFY(!QFile::exists(Generation(0)));
    }

    void linesBelowTheLogLevelAreDropped()
    {
        ResetLog(QByteArray());
        LogMessage(QtWarningMsg, QStringLiteral("opens the file"));
        WriteLogFile(0, QStringLiteral("debug line"));
        WriteLogFile(1, QStringLiteral("warning line"));
        QCOMPARE(ReadLines(Generation(0)).mid(1), QStringList {"warning line"});
    }
};

QTEST_GUILESS_MAIN(CTestLogFile)
#include "test_logfile.moc"
