#include "log/logmessagehandler.h"
#include "logtesthelpers.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

QString LogFile()
{
    return QString::fromLatin1(TEST_LOG_FILE);
}

QString Generation(int iGeneration)
{
    return LogFile() + QLatin1Char('.') + QString::number(iGeneration);
}

// The message texts of a log file, without identifier, time and label.
QStringList Texts(const QString& sPath)
{
    QStringList lTexts;
    for (const QString& sLine : ReadLines(sPath)) {
        lTexts.append(sLine.section(QLatin1Char(' '), 2));
    }
    return lTexts;
}

QByteArray ReadAll(const QString& sPath)
{
    QFile oFile(sPath);
    oFile.open(QIODevice::ReadOnly);
    return oFile.readAll();
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
        WriteFile(LogFile(), aOld);

        LogMessage(QtWarningMsg, QStringLiteral("at the limit"));
        QVERIFY(!QFile::exists(Generation(1)));

        LogMessage(QtWarningMsg, QStringLiteral("over the limit"));
        QVERIFY(ReadAll(Generation(1)).startsWith(aOld + "NOID("));
        QVERIFY(ReadAll(Generation(1)).endsWith(" W at the limit\n"));
        QCOMPARE(Texts(LogFile()), QStringList {QStringLiteral("over the limit")});
    }

    void sizeZeroRotatesBeforeEveryLine()
    {
        ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=0\n");
        LogMessage(QtWarningMsg, QStringLiteral("a"));
        LogMessage(QtWarningMsg, QStringLiteral("b"));
        LogMessage(QtWarningMsg, QStringLiteral("c"));
        QCOMPARE(Texts(LogFile()), QStringList {QStringLiteral("c")});
        QCOMPARE(Texts(Generation(1)), QStringList {QStringLiteral("b")});
        QVERIFY(!QFile::exists(Generation(2)));
    }

    void redundancyThreeShiftsEveryGeneration()
    {
        ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=0\nLogfile_Redundancy=3\n");
        WriteFile(LogFile(), "current\n");
        WriteFile(Generation(1), "first\n");
        WriteFile(Generation(2), "second\n");
        WriteFile(Generation(3), "third\n");

        LogMessage(QtWarningMsg, QStringLiteral("new"));

        QCOMPARE(Texts(LogFile()), QStringList {QStringLiteral("new")});
        QCOMPARE(ReadAll(Generation(1)), QByteArray("current\n"));
        QCOMPARE(ReadAll(Generation(2)), QByteArray("first\n"));
        QCOMPARE(ReadAll(Generation(3)), QByteArray("second\n"));
        QVERIFY(!QFile::exists(Generation(4)));
    }

    void redundancyZeroKeepsNoCopy()
    {
        ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=0\nLogfile_Redundancy=0\n");
        WriteFile(LogFile(), "current\n");
        LogMessage(QtWarningMsg, QStringLiteral("new"));
        QCOMPARE(Texts(LogFile()), QStringList {QStringLiteral("new")});
        QCOMPARE(QDir(QString::fromLatin1(TEST_LOG_FOLDER)).entryList(QDir::Files),
                 QStringList {QStringLiteral("usb.log")});
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
        QVERIFY(!QFile::exists(LogFile()));
    }

    void linesBelowTheLogLevelAreDropped()
    {
        ResetLog(QByteArray());
        LogMessage(QtWarningMsg, QStringLiteral("opens the file"));
        WriteLogFile(0, QStringLiteral("debug line"));
        WriteLogFile(1, QStringLiteral("warning line"));
        QCOMPARE(ReadLines(LogFile()).size(), 2);
        QCOMPARE(ReadLines(LogFile()).last(), QStringLiteral("warning line"));
    }
};

QTEST_GUILESS_MAIN(CTestLogFile)
#include "test_logfile.moc"
