#include "log/clogstream.h"
#include "log/logmessagehandler.h"
#include "logtesthelpers.h"
#include "tools/standin/targetprogram.h"

#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <cstring>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>

namespace {

const char* const FATAL_CHILD = "fatal-child";
const QString g_sLogFile = QString::fromLatin1(TEST_LOG_FILE);

QMap<QString, QString> IniGroup(const QString& sPath, const QString& sGroup)
{
    QSettings oIni(sPath, QSettings::IniFormat);
    oIni.beginGroup(sGroup);
    QMap<QString, QString> mValues;
    for (const QString& sKey : oIni.childKeys()) {
        mValues.insert(sKey, oIni.value(sKey).toString());
    }
    return mValues;
}

// The shipped sample holds every key at its default.
QMap<QString, QString> Defaults()
{
    return IniGroup(QStringLiteral(VELTRANO_SAMPLE_INI), QStringLiteral("DEBUG_MESSAGES"));
}

// A 0600 file in oFolder and a link to it at sLink; returns the file's path.
QString PlantLink(const QTemporaryDir& oFolder, const QString& sLink)
{
    const QString sTarget = oFolder.filePath(QStringLiteral("secret"));
    WriteFile(sTarget, "secret\n");
    QFile::setPermissions(sTarget, QFile::ReadOwner | QFile::WriteOwner);
    QFile::link(sTarget, sLink);
    return sTarget;
}

// The child half of the fatal tests: log one fatal message through the installed handler.
[[noreturn]] void RunFatalChild()
{
    // The abort is expected; it should leave no core file behind.
    const rlimit oNoCore = {0, 0};
    setrlimit(RLIMIT_CORE, &oNoCore);
    qInstallMessageHandler(LogMessageHandler);
    CLogStream(QtFatalMsg) << "fatal end";
    std::exit(0); // not reached when the handler aborts
}

} // namespace

class CTestLogMessageHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Timestamps must be UTC whatever the local zone says.
        qputenv("TZ", "JST-9");
        tzset();
    }

    void init()
    {
        ResetLog(QByteArray());
        SetLogIdentifier(DefaultIdentifier());
    }

    // At the defaults, warnings go to the log file only, opened by the first line it gets, and
    // the keys are written back at their defaults; the settings are read once, until CloseLog.
    // Other groups and keys that are set are left alone: test_e2e_settings checks that on the
    // daemon, whose settings have both groups.
    void defaultsAreWrittenBackAndReadOnceUntilCloseLog()
    {
        const QString sIni = QString::fromLatin1(TEST_INI_FILE);
        QByteArray aConsole = CaptureStdout([] {
            LogMessage(QtDebugMsg, QStringLiteral("debug"));
            QVERIFY(!QFile::exists(g_sLogFile));
            LogMessage(QtWarningMsg, QStringLiteral("one"));
        });
        QCOMPARE(QSettings(sIni, QSettings::IniFormat).childGroups(), QStringList {QStringLiteral("DEBUG_MESSAGES")});
        QCOMPARE(IniGroup(sIni, QStringLiteral("DEBUG_MESSAGES")), Defaults());
        WriteFile(sIni, "[DEBUG_MESSAGES]\nLog_Message=0\n");
        aConsole += CaptureStdout([] { LogMessage(QtWarningMsg, QStringLiteral("two")); });
        QCOMPARE(aConsole, QByteArray());
        CloseLog();
        LogMessage(QtWarningMsg, QStringLiteral("three"));
        QCOMPARE(LoggedTexts(), QStringList({"W one", "W two"}));
    }

    // A value of any wrong form costs one warning and gets the default; a file too large is not
    // read at all. The file keeps what it says, and the warnings wait until the message that had
    // the settings read is written. The variant of a type this Qt does not know makes QSettings
    // warn while the handler reads the settings: that warning must neither hang the handler nor
    // be lost.
    void badSettingsGiveTheDefaults_data()
    {
        QTest::addColumn<QByteArray>("aIni");
        QTest::addColumn<QStringList>("lWarnings");
        const QMap<QString, QString> mDefaults = Defaults();
        const auto fnRejected = [&mDefaults](const QString& sKey, const QString& sShown) {
            return QStringLiteral("W Setting \"%1\" = \"%2\" is out of range or not a number => default %3 ")
                .arg(sKey, sShown, mDefaults.value(sKey));
        };
        QTest::newRow("wrong forms")
            << QByteArray(
                   "[DEBUG_MESSAGES]\nDisplay_Message=\nDisplay_Level=4294967297\nLog_Message=1,1\n"
                   "Log_Level=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5QFoo\\0)\nLogfile_Size=-5\n"
                   "Logfile_Redundancy=2147483647\nLogfile_Name=@Rect(1 2 3 4)\nUse_SysLog=abc\n")
            << QStringList({"W QVariant::load: unknown user type with name QFoo.", fnRejected("Display_Message", ""),
                            fnRejected("Display_Level", "4294967297"), fnRejected("Log_Message", "1,1"),
                            fnRejected("Log_Level", "<unreadable>"), fnRejected("Logfile_Size", "-5"),
                            fnRejected("Logfile_Redundancy", "2147483647"), fnRejected("Logfile_Name", "<QRect>"),
                            fnRejected("Use_SysLog", "abc")});
        // Read, its level would drop every line.
        QTest::newRow("too large")
            << "[DEBUG_MESSAGES]\nLog_Level=3\n" + QByteArray("; padding padding padding padding\n").repeated(2000)
            << QStringList("W \"/etc/Veltrano/usb.ini\" is larger than 65536 bytes and not read => defaults ");
    }

    void badSettingsGiveTheDefaults()
    {
        QFETCH(QByteArray, aIni);
        QFETCH(QStringList, lWarnings);
        ResetLog(aIni);
        const QtMessageHandler pfPrevious = qInstallMessageHandler(LogMessageHandler);
        LogMessage(QtWarningMsg, QStringLiteral("first"));
        LogMessage(QtDebugMsg, QStringLiteral("debug"));
        LogMessage(QtWarningMsg, QStringLiteral("last"));
        qInstallMessageHandler(pfPrevious);

        const QStringList lTexts =
            LoggedTexts().replaceInStrings(QRegularExpression(QStringLiteral("^W File: \\S+ Line: +\\d+ :  ")), "W ");
        QCOMPARE(lTexts, QStringList("W first") + lWarnings + QStringList("W last"));
        // Level 1, and no rotation before every line.
        QVERIFY(!QFile::exists(g_sLogFile + QStringLiteral(".1")));
        QCOMPARE(ReadFile(QString::fromLatin1(TEST_INI_FILE)), aIni);
    }

    // A stick's texts (here a model with a screen clear, a title change, a bell and an 8-bit
    // CSI) reach no terminal, on the console nor in the log.
    void linesCarryIdentifierUtcTimeAndLevel()
    {
        ResetLog("[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\nLog_Level=0\n");
        const QtMsgType aTypes[] = {QtDebugMsg, QtWarningMsg, QtCriticalMsg};
        const QStringList lSent = {QString::fromLatin1("M\x1b[2J\x1b]0;owned\x07\x9b"
                                                       "1m\x7f\tend"),
                                   QStringLiteral("File: cusb Line:  172 :  \"a\"b\" "), QStringLiteral("critical ")};
        const QStringList lShown = {QStringLiteral("M?[2J?]0;owned??1m?\tend"), lSent[1], lSent[2]};
        const QStringList lFileLabels = {" D ", " W ", " C "};
        const QStringList lConsoleTags = {"\x1b[94m D: ", "\x1b[93m W: ", "\x1b[95m C: "};
        const QString sBefore = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd_hh:mm:ss:zzz"));
        const QByteArray aConsole = CaptureStdout([&] {
            for (int i = 0; i < 3; ++i) {
                LogMessage(aTypes[i], lSent[i]);
            }
        });
        const QString sAfter = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd_hh:mm:ss:zzz"));

        const QString sIdentifier = QRegularExpression::escape(DefaultIdentifier());
        const QRegularExpression oConsolePattern("^\x1b\\[92m" + sIdentifier
                                                 + "\x1b\\[0m:(\\d\\d:\\d\\d:\\d\\d:\\d{3})(.*)$");
        const QRegularExpression oFilePattern("^" + sIdentifier
                                              + ":(\\d{4}-\\d\\d-\\d\\d_\\d\\d:\\d\\d:\\d\\d:\\d{3})(.*)$");
        const QStringList lConsole = QString::fromLatin1(aConsole).split(QLatin1Char('\n'));
        const QStringList lFile = ReadLines(g_sLogFile);
        QCOMPARE(lConsole.mid(3), QStringList {QString()}); // the last line ends too
        QCOMPARE(lFile.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QRegularExpressionMatch oConsole = oConsolePattern.match(lConsole[i]);
            const QRegularExpressionMatch oFile = oFilePattern.match(lFile[i]);
            QVERIFY2(oConsole.hasMatch() && oFile.hasMatch(), qPrintable(lConsole[i] + '\n' + lFile[i]));
            QCOMPARE(oConsole.captured(2), lConsoleTags[i] + lShown[i] + "\x1b[0m");
            QCOMPARE(oFile.captured(2), lFileLabels[i] + lShown[i]);
            // Fixed width: the texts sort as the times do.
            QVERIFY2(sBefore <= oFile.captured(1) && oFile.captured(1) <= sAfter, qPrintable(lFile[i]));
            QVERIFY2(sBefore.mid(11) <= oConsole.captured(1) && oConsole.captured(1) <= sAfter.mid(11),
                     qPrintable(lConsole[i]));
        }
    }

    // Its identity is the identifier, cut to what the library keeps; openlog keeps the buffer's
    // address, so a new identifier shows at the next call.
    void syslogReplacesTheFile()
    {
        ResetLog("[DEBUG_MESSAGES]\nUse_SysLog=1\nDisplay_Message=1\n");
        const QString sLong = QStringLiteral("L").repeated(300);
        const QByteArray aConsole = CaptureStdout([&sLong] {
            LogMessage(QtDebugMsg, QStringLiteral("below the level"));
            QCOMPARE(HeardBySyslog().iOpenCount, 0);
            LogMessage(QtWarningMsg, QStringLiteral("File: cusb Line:  9 :  warning "));
            SetLogIdentifier(sLong);
            LogMessage(QtCriticalMsg, QStringLiteral("critical"));
        });
        QVERIFY(aConsole.contains("\n\x1b[92m" + sLong.toLatin1() + "\x1b[0m:"));

        SSyslog oSyslog = HeardBySyslog();
        QCOMPARE(oSyslog.iOpenCount, 1);
        QCOMPARE(oSyslog.iOpenOptions, LOG_CONS | LOG_PID);
        QCOMPARE(oSyslog.iOpenFacility, LOG_USER);
        QCOMPARE(oSyslog.lCalls.size(), 2);
        QCOMPARE(oSyslog.lCalls[0].iPriority, LOG_WARNING);
        QCOMPARE(oSyslog.lCalls[0].aIdentity, DefaultIdentifier().toLatin1());
        QCOMPARE(oSyslog.lCalls[0].aText, QByteArray("File: cusb Line:  9 :  warning "));
        QCOMPARE(oSyslog.lCalls[1].iPriority, LOG_CRIT);
        QCOMPARE(oSyslog.lCalls[1].aIdentity, sLong.left(254).toLatin1());
        QCOMPARE(oSyslog.lCalls[1].aText, QByteArray("critical"));
        QVERIFY(QDir(QString::fromLatin1(TEST_LOG_FOLDER)).isEmpty());

        CloseLog();
        CaptureStdout([] { LogMessage(QtWarningMsg, QStringLiteral("after close")); });
        oSyslog = HeardBySyslog();
        QCOMPARE(oSyslog.iCloseCount, 1);
        QCOMPARE(oSyslog.iOpenCount, 2);

        // The file log takes the identifier whole.
        ResetLog(QByteArray());
        SetLogIdentifier(sLong);
        LogMessage(QtWarningMsg, QStringLiteral("three"));
        QVERIFY(ReadLines(g_sLogFile).value(0).startsWith(sLong + QLatin1Char(':')));
    }

    void fatalIsWrittenThenAborts_data()
    {
        QTest::addColumn<QByteArray>("aIni");
        QTest::addColumn<QString>("sConsole"); // what is shown and logged; %1 the child's identifier
        QTest::addColumn<QString>("sLog");
        QTest::newRow("console and file") << QByteArray("[DEBUG_MESSAGES]\nDisplay_Message=1\n")
                                          << "\\A\x1b\\[92m%1\x1b\\[0m:[^\n]*\x1b\\[91m F: fatal end \x1b\\[0m\n\\z"
                                          << "\\A%1:[^\n]* F fatal end \n\\z";
        QTest::newRow("neither") << QByteArray("[DEBUG_MESSAGES]\nLog_Message=0\n") << "\\A\\z"
                                 << "\\A\\z";
    }

    void fatalIsWrittenThenAborts()
    {
        QFETCH(QByteArray, aIni);
        QFETCH(QString, sConsole);
        QFETCH(QString, sLog);
        ResetLog(aIni);
        const QStringList lSelf = targetCommand(QCoreApplication::applicationFilePath());
        QProcess oChild;
        oChild.start(lSelf.first(), lSelf.mid(1) + QStringList {QString::fromLatin1(FATAL_CHILD)});
        QVERIFY(oChild.waitForStarted(30000));
        const QString sChild = QRegularExpression::escape(QStringLiteral("NOID(%1)").arg(oChild.processId()));
        QVERIFY(oChild.waitForFinished(30000));
        QCOMPARE(oChild.exitStatus(), QProcess::CrashExit);
        const QString sShown = QString::fromLatin1(oChild.readAllStandardOutput());
        QVERIFY2(QRegularExpression(sConsole.arg(sChild)).match(sShown).hasMatch(), qPrintable(sShown));
        const QString sLogged = QString::fromLatin1(ReadFile(g_sLogFile));
        QVERIFY2(QRegularExpression(sLog.arg(sChild)).match(sLogged).hasMatch(), qPrintable(sLogged));
    }

    // A full disk: the lines that could not be written are counted, the first line written
    // afterwards says how many, and syslog hears of it once per process.
    void linesLostToAFullDiskAreCounted()
    {
        const QString sFiller = QString::fromLatin1(TEST_LOG_FOLDER) + QStringLiteral("/filler");
        QCOMPARE(mount("tmpfs", TEST_LOG_FOLDER, "tmpfs", 0, "size=64k"), 0);
        const auto fnFillDisk = [&sFiller] {
            QFile oFiller(sFiller);
            QVERIFY(oFiller.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered));
            const QByteArray aBlock(1024, 'x');
            while (oFiller.write(aBlock) == aBlock.size()) {
            }
        };

        // Full before the first line: not a block left for the log file.
        fnFillDisk();
        for (int i = 0; i < 40; ++i) {
            LogMessage(QtWarningMsg, QStringLiteral("lost %1").arg(i));
        }
        QVERIFY(QFile::remove(sFiller));
        LogMessage(QtWarningMsg, QStringLiteral("after"));

        // Longer than the rest of the file's last block.
        fnFillDisk();
        LogMessage(QtWarningMsg, QStringLiteral("lost again ").repeated(500));
        QVERIFY(QFile::remove(sFiller));
        LogMessage(QtWarningMsg, QStringLiteral("last"));

        const QStringList lTexts = LoggedTexts();
        CloseLog();
        QCOMPARE(umount(TEST_LOG_FOLDER), 0);
        // Lost lines leave no fragment behind.
        QCOMPARE(lTexts, QStringList({"W 40 log lines lost", "W after", "W 1 log lines lost", "W last"}));
        const SSyslog oSyslog = HeardBySyslog();
        QCOMPARE(oSyslog.lCalls.size(), 1);
        QCOMPARE(oSyslog.lCalls[0].iPriority, LOG_USER | LOG_ERR);
        QVERIFY2(oSyslog.lCalls[0].aText.contains("log lines lost, writing " + QByteArray(TEST_LOG_FILE)),
                 oSyslog.lCalls[0].aText.constData());
    }

    // While the log cannot be opened its lines are lost; it is tried again with each line, and
    // once it opens it says how many were lost. Said once besides: on the console when a
    // rotation cannot make the log again (a read-only folder here), and in syslog for each. Root
    // must not append to whatever a link planted as the log points at, nor hang the service on
    // a fifo that nobody reads.
    void linesLostWhileTheLogCannotBeOpened_data()
    {
        QTest::addColumn<QByteArray>("aConsole");
        QTest::addColumn<QByteArray>("aSyslog"); // null: syslog hears of a loss once a process
        const QByteArray aLog = DefaultIdentifier().toLatin1() + ": " + TEST_LOG_FILE;
        QTest::newRow("read-only") << DefaultIdentifier().toLatin1() + "reopen log file failed\n" << QByteArray();
        QTest::newRow("link") << QByteArray() << aLog + " is a symbolic link, not followed";
        QTest::newRow("fifo") << QByteArray() << aLog + " is not a regular file, not written";
    }

    void linesLostWhileTheLogCannotBeOpened()
    {
        QFETCH(QByteArray, aConsole);
        QFETCH(QByteArray, aSyslog);
        const QByteArray aBlock = QTest::currentDataTag();
        QTemporaryDir oOutside;
        const QString sTarget = aBlock == "link" ? PlantLink(oOutside, g_sLogFile) : QString();
        QVERIFY(aBlock != "fifo" || mkfifo(TEST_LOG_FILE, 0600) == 0);
        if (aBlock == "read-only") {
            ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=0\n");
            LogMessage(QtWarningMsg, QStringLiteral("first"));
            QCOMPARE(mount(TEST_LOG_FOLDER, TEST_LOG_FOLDER, nullptr, MS_BIND, nullptr), 0);
            QCOMPARE(mount(nullptr, TEST_LOG_FOLDER, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
        }
        const QByteArray aShown = CaptureStdout([] {
            for (int i = 0; i < 3; ++i) {
                LogMessage(QtWarningMsg, QStringLiteral("lost %1").arg(i));
            }
        });
        QVERIFY(aBlock == "read-only" ? umount(TEST_LOG_FOLDER) == 0 : QFile::remove(g_sLogFile));
        LogMessage(QtWarningMsg, QStringLiteral("after"));

        QCOMPARE(aShown, aConsole);
        QCOMPARE(LoggedTexts(), QStringList({"W 3 log lines lost", "W after"}));
        const SSyslog oSyslog = HeardBySyslog();
        if (!aSyslog.isNull()) {
            QCOMPARE(oSyslog.lCalls.size(), 1);
            QCOMPARE(oSyslog.lCalls[0].aText, aSyslog);
        }
        if (!sTarget.isEmpty()) {
            QCOMPARE(ReadFile(sTarget), QByteArray("secret\n"));
            QCOMPARE(QFileInfo(sTarget).permissions() & QFile::ReadOther, QFile::Permissions());
        }
    }

    // A rotation neither writes through a link planted as a copy nor copies what it points at.
    void linkAsARotatedCopyIsRefused()
    {
        ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=0\nLogfile_Redundancy=2\n");
        const QString sFirst = g_sLogFile + QStringLiteral(".1");
        WriteFile(g_sLogFile, "current\n");
        QTemporaryDir oOutside;
        const QString sTarget = PlantLink(oOutside, sFirst);

        LogMessage(QtWarningMsg, QStringLiteral("rotates"));

        QCOMPARE(ReadFile(sTarget), QByteArray("secret\n"));
        QVERIFY(!QFileInfo(sFirst).isSymLink());
        QCOMPARE(ReadFile(sFirst), QByteArray("current\n"));
        QVERIFY(!QFile::exists(g_sLogFile + QStringLiteral(".2")));
        QCOMPARE(LoggedTexts(), QStringList {"W rotates"});
        const SSyslog oSyslog = HeardBySyslog();
        QCOMPARE(oSyslog.lCalls.size(), 1);
        QCOMPARE(oSyslog.lCalls[0].aText,
                 DefaultIdentifier().toLatin1() + ": " + sFirst.toLatin1() + " is a symbolic link, not followed");
    }

    // Runs last: the console cannot be allowed again in this process.
    void consoleShowsNothingAboveFatalNorOnceDisabled()
    {
        ResetLog("[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=4\n");
        QCOMPARE(CaptureStdout([] { LogMessage(QtCriticalMsg, QStringLiteral("critical")); }), QByteArray());
        QCOMPARE(LoggedTexts(), QStringList {"C critical"});

        ResetLog("[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\nLog_Message=0\n");
        DisableConsoleOutput();
        QCOMPARE(CaptureStdout([] { LogMessage(QtWarningMsg, QStringLiteral("before")); }), QByteArray());
        CloseLog();
        QCOMPARE(CaptureStdout([] { LogMessage(QtWarningMsg, QStringLiteral("reread")); }), QByteArray());
        QVERIFY(QDir(QString::fromLatin1(TEST_LOG_FOLDER)).isEmpty());
    }
};

int main(int argc, char* argv[])
{
    if (argc == 2 && std::strcmp(argv[1], FATAL_CHILD) == 0) {
        RunFatalChild();
    }
    QCoreApplication oApplication(argc, argv);
    CTestLogMessageHandler oTest;
    return QTest::qExec(&oTest, argc, argv);
}

#include "test_logmessagehandler.moc"
