#include "log/clogstream.h"
#include "log/logmessagehandler.h"
#include "logtesthelpers.h"
#include "tools/standin/targetprogram.h"

#include <QProcess>
#include <QSettings>
#include <QtTest>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>

// Stand-in for the system log: the library's calls bind to these definitions, so the
// machine's syslog never sees a test message.
namespace {

struct SSyslogCall
{
    int iPriority;
    QByteArray aIdentity; // what the identity pointer given to openlog reads at this call
    QByteArray aText;
};

int g_iOpenCount = 0;
int g_iCloseCount = 0;
const char* g_szOpenIdentity = nullptr;
int g_iOpenOptions = -1;
int g_iOpenFacility = -1;
QList<SSyslogCall> g_lSyslogCalls;

void ResetFakeSyslog()
{
    g_iOpenCount = 0;
    g_iCloseCount = 0;
    g_szOpenIdentity = nullptr;
    g_iOpenOptions = -1;
    g_iOpenFacility = -1;
    g_lSyslogCalls.clear();
}

} // namespace

extern "C" void openlog(const char* szIdentity, int iOptions, int iFacility)
{
    ++g_iOpenCount;
    g_szOpenIdentity = szIdentity;
    g_iOpenOptions = iOptions;
    g_iOpenFacility = iFacility;
}

namespace {

void RecordSyslog(int iPriority, const char* szFormat, va_list oArguments)
{
    char szText[4096];
    std::vsnprintf(szText, sizeof(szText), szFormat, oArguments);
    g_lSyslogCalls.append({iPriority, QByteArray(g_szOpenIdentity), QByteArray(szText)});
}

} // namespace

extern "C" void syslog(int iPriority, const char* szFormat, ...)
{
    va_list oArguments;
    va_start(oArguments, szFormat);
    RecordSyslog(iPriority, szFormat, oArguments);
    va_end(oArguments);
}

// With _FORTIFY_SOURCE the library's calls of syslog() become calls of this one.
extern "C" void __syslog_chk(int iPriority, int, const char* szFormat, ...)
{
    va_list oArguments;
    va_start(oArguments, szFormat);
    RecordSyslog(iPriority, szFormat, oArguments);
    va_end(oArguments);
}

extern "C" void closelog()
{
    ++g_iCloseCount;
}

namespace {

const char* const FATAL_CHILD = "fatal-child";

const QByteArray CONSOLE_ONLY = "[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\nLog_Message=0\n";

QByteArray ReadBytes(const QString& sPath)
{
    QFile oFile(sPath);
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
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

QDateTime ParseUtc(const QString& sText, const QString& sFormat)
{
    QDateTime oTime = QDateTime::fromString(sText, sFormat);
    oTime.setTimeSpec(Qt::UTC);
    return oTime;
}

QDateTime NowUtcToTheMillisecond()
{
    return QDateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch(), Qt::UTC);
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
        ResetFakeSyslog();
        SetLogIdentifier(DefaultIdentifier());
    }

    void missingIniGetsAllKeysAtDefaults()
    {
        LogMessage(QtDebugMsg, QStringLiteral("first"));

        QSettings oIni(QString::fromLatin1(TEST_INI_FILE), QSettings::IniFormat);
        QCOMPARE(oIni.childGroups(), QStringList {QStringLiteral("DEBUG_MESSAGES")});
        oIni.beginGroup(QStringLiteral("DEBUG_MESSAGES"));
        QCOMPARE(oIni.childKeys().size(), 8);
        QCOMPARE(oIni.value("Display_Message").toString(), QStringLiteral("0"));
        QCOMPARE(oIni.value("Display_Level").toString(), QStringLiteral("1"));
        QCOMPARE(oIni.value("Log_Message").toString(), QStringLiteral("1"));
        QCOMPARE(oIni.value("Log_Level").toString(), QStringLiteral("1"));
        QCOMPARE(oIni.value("Logfile_Size").toString(), QStringLiteral("1048576"));
        QCOMPARE(oIni.value("Logfile_Redundancy").toString(), QStringLiteral("1"));
        QCOMPARE(oIni.value("Logfile_Name").toString(), QStringLiteral("/var/log/Veltrano/usb.log"));
        QCOMPARE(oIni.value("Use_SysLog").toString(), QStringLiteral("0"));
    }

    void partlyFilledGroupKeepsItsValuesAndOtherGroups()
    {
        ResetLog("[SETUP_GENERAL]\nUse_Session_Bus=0\n\n[DEBUG_MESSAGES]\nDisplay_Message=1\n\n[OTHER]\nKey=text\n");

        const QByteArray aConsole = CaptureStdout([] { LogMessage(QtWarningMsg, QStringLiteral("shown")); });
        QVERIFY(aConsole.contains(" W: shown"));

        QSettings oIni(QString::fromLatin1(TEST_INI_FILE), QSettings::IniFormat);
        QCOMPARE(oIni.value("SETUP_GENERAL/Use_Session_Bus").toString(), QStringLiteral("0"));
        QCOMPARE(oIni.value("OTHER/Key").toString(), QStringLiteral("text"));
        QCOMPARE(oIni.allKeys().size(), 10);
        QCOMPARE(oIni.value("DEBUG_MESSAGES/Display_Message").toString(), QStringLiteral("1"));
        QCOMPARE(oIni.value("DEBUG_MESSAGES/Log_Level").toString(), QStringLiteral("1"));
    }

    void settingsAreReadOnceUntilCloseLog()
    {
        LogMessage(QtWarningMsg, QStringLiteral("one"));
        WriteFile(QString::fromLatin1(TEST_INI_FILE), "[DEBUG_MESSAGES]\nLog_Message=0\n");
        LogMessage(QtWarningMsg, QStringLiteral("two"));
        CloseLog();
        LogMessage(QtWarningMsg, QStringLiteral("three"));

        const QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        QCOMPARE(lLines.size(), 2);
        QVERIFY(lLines[1].endsWith(QLatin1String(" W two")));
    }

    // A value of any wrong form costs one warning and gets the default; the file keeps what it
    // says. The variant of a type this Qt does not know makes QSettings warn while the handler
    // reads the settings: that warning must neither hang the handler nor be lost.
    void valueOfAWrongFormGivesTheDefault()
    {
        const QByteArray aIni =
            "[DEBUG_MESSAGES]\nDisplay_Message=\nDisplay_Level=4294967297\nLog_Message=1,1\n"
            "Log_Level=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5QFoo\\0)\nLogfile_Size=-5\n"
            "Logfile_Redundancy=2147483647\nLogfile_Name=@Rect(1 2 3 4)\nUse_SysLog=abc\n";
        ResetLog(aIni);
        const QtMessageHandler pfPrevious = qInstallMessageHandler(LogMessageHandler);
        LogMessage(QtDebugMsg, QStringLiteral("debug"));
        for (int i = 0; i < 3; ++i) {
            LogMessage(QtWarningMsg, QStringLiteral("line %1").arg(i));
        }
        qInstallMessageHandler(pfPrevious);

        QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        QVERIFY2(lLines.size() == 12, qPrintable(lLines.join('\n')));
        QVERIFY2(lLines[0].endsWith(" W QVariant::load: unknown user type with name QFoo."), qPrintable(lLines[0]));
        for (QString& sLine : lLines) {
            sLine = sLine.mid(sLine.indexOf(QLatin1String(" :  ")) + 4);
        }
        const QString sRejected =
            QStringLiteral("Setting \"%1\" = \"%2\" is out of range or not a number => default %3 ");
        QCOMPARE(
            lLines.mid(1, 8),
            QStringList({sRejected.arg("Display_Message", "", "0"), sRejected.arg("Display_Level", "4294967297", "1"),
                         sRejected.arg("Log_Message", "1,1", "1"), sRejected.arg("Log_Level", "<unreadable>", "1"),
                         sRejected.arg("Logfile_Size", "-5", "1048576"),
                         sRejected.arg("Logfile_Redundancy", "2147483647", "1"),
                         sRejected.arg("Logfile_Name", "<QRect>", "/var/log/Veltrano/usb.log"),
                         sRejected.arg("Use_SysLog", "abc", "0")}));
        // Level 1, and no rotation before every line.
        QVERIFY(!QFile::exists(QString::fromLatin1(TEST_LOG_FILE) + QStringLiteral(".1")));

        QSettings oIni(QString::fromLatin1(TEST_INI_FILE), QSettings::IniFormat);
        QCOMPARE(oIni.value("DEBUG_MESSAGES/Logfile_Size").toString(), QStringLiteral("-5"));
        QCOMPARE(oIni.value("DEBUG_MESSAGES/Display_Level").toString(), QStringLiteral("4294967297"));
    }

    void theEdgesOfTheRangesHold()
    {
        ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=0\nLogfile_Redundancy=99\nLog_Level=-7\n");
        LogMessage(QtDebugMsg, QStringLiteral("one"));
        LogMessage(QtDebugMsg, QStringLiteral("two"));
        LogMessage(QtDebugMsg, QStringLiteral("three"));
        QCOMPARE(ReadLines(QString::fromLatin1(TEST_LOG_FILE)).size(), 1);
        QCOMPARE(ReadLines(QString::fromLatin1(TEST_LOG_FILE) + QStringLiteral(".2")).size(), 1);
    }

    void oversizedIniIsNotRead()
    {
        QByteArray aIni = "[DEBUG_MESSAGES]\nLog_Level=3\n";
        while (aIni.size() <= 64 * 1024) {
            aIni += "; padding padding padding padding padding padding padding padding\n";
        }
        ResetLog(aIni);
        LogMessage(QtWarningMsg, QStringLiteral("kept"));

        // The settings' warning waits until the message that had them read is written.
        const QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        QCOMPARE(lLines.size(), 2);
        QVERIFY(lLines[0].endsWith(QLatin1String(" W kept")));
        QVERIFY2(lLines[1].endsWith(QLatin1String(" :  \"/etc/Veltrano/usb.ini\" is larger than 65536 bytes and not "
                                                  "read => defaults ")),
                 qPrintable(lLines[1]));
        QFile oIni(QString::fromLatin1(TEST_INI_FILE));
        QVERIFY(oIni.open(QIODevice::ReadOnly));
        QCOMPARE(oIni.readAll(), aIni);
    }

    void defaultsSendWarningsToTheFileOnly()
    {
        const QByteArray aConsole = CaptureStdout([] {
            LogMessage(QtDebugMsg, QStringLiteral("debug"));
            QVERIFY(!QFile::exists(QString::fromLatin1(TEST_LOG_FILE)));
            LogMessage(QtWarningMsg, QStringLiteral("warning"));
        });
        QCOMPARE(aConsole, QByteArray());
        const QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        QCOMPARE(lLines.size(), 1);
        QVERIFY(lLines[0].endsWith(QLatin1String(" W warning")));
    }

    void fileLinesCarryIdentifierUtcTimeAndLabel()
    {
        ResetLog("[DEBUG_MESSAGES]\nLog_Level=0\n");
        const QString sText = QStringLiteral("File: cusb Line:  172 :  \"a\"b\" ");
        const QDateTime oBefore = NowUtcToTheMillisecond();
        LogMessage(QtDebugMsg, sText);
        LogMessage(QtWarningMsg, sText);
        LogMessage(QtCriticalMsg, sText);
        const QDateTime oAfter = NowUtcToTheMillisecond();

        const QRegularExpression oPattern(
            QStringLiteral("^(.*):(\\d{4}-\\d\\d-\\d\\d_\\d\\d:\\d\\d:\\d\\d:\\d{3})(...)(.*)$"));
        const QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        const QStringList lLabels = {QStringLiteral(" D "), QStringLiteral(" W "), QStringLiteral(" C ")};
        QCOMPARE(lLines.size(), lLabels.size());
        for (int i = 0; i < lLines.size(); ++i) {
            const QRegularExpressionMatch oMatch = oPattern.match(lLines[i]);
            QVERIFY2(oMatch.hasMatch(), qPrintable(lLines[i]));
            QCOMPARE(oMatch.captured(1), DefaultIdentifier());
            const QDateTime oTime = ParseUtc(oMatch.captured(2), QStringLiteral("yyyy-MM-dd_hh:mm:ss:zzz"));
            QVERIFY2(oBefore <= oTime && oTime <= oAfter, qPrintable(lLines[i]));
            QCOMPARE(oMatch.captured(3), lLabels[i]);
            QCOMPARE(oMatch.captured(4), sText);
        }
    }

    void callSiteMessageReachesTheFile()
    {
        const QtMessageHandler pfPrevious = qInstallMessageHandler(LogMessageHandler);
        CUSB_WARNING << QString("x") << "abc";
        const int iLine = __LINE__ - 1;
        qInstallMessageHandler(pfPrevious);

        const QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        QCOMPARE(lLines.size(), 1);
        QVERIFY(lLines[0].endsWith(QStringLiteral(" W File: cusb Line:  %1 :  \"x\" abc ").arg(iLine)));
    }

    void controlCharactersReachNoTerminal()
    {
        ResetLog("[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\nLog_Level=0\n");
        // A stick's model with a screen clear, a title change, a bell and an 8-bit CSI.
        const QString sModel = QString::fromLatin1(
            "M\x1b[2J\x1b]0;owned\x07\x9b"
            "1m\x7f\tend");
        const QByteArray aConsole = CaptureStdout([&] { LogMessage(QtDebugMsg, sModel); });
        const QString sShown = QStringLiteral("M?[2J?]0;owned??1m?\tend");
        QVERIFY2(aConsole.contains(" D: " + sShown.toLatin1() + "\x1b[0m\n"), aConsole.constData());
        const QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        QCOMPARE(lLines.size(), 1);
        QVERIFY2(lLines[0].endsWith(QStringLiteral(" D ") + sShown), qPrintable(lLines[0]));
    }

    void consoleLinesAreColouredWithUtcTime()
    {
        ResetLog(CONSOLE_ONLY);
        const QDateTime oBefore = NowUtcToTheMillisecond();
        const QByteArray aConsole = CaptureStdout([] {
            LogMessage(QtDebugMsg, QStringLiteral("debug "));
            LogMessage(QtWarningMsg, QStringLiteral("warning "));
            LogMessage(QtCriticalMsg, QStringLiteral("critical "));
        });
        const QDateTime oAfter = NowUtcToTheMillisecond();

        const QRegularExpression oPattern(QStringLiteral("^\x1b\\[92m%1\x1b\\[0m:(\\d\\d:\\d\\d:\\d\\d:\\d{3})(.*)$")
                                              .arg(QRegularExpression::escape(DefaultIdentifier())));
        const QStringList lTails = {QStringLiteral("\x1b[94m D: debug \x1b[0m"),
                                    QStringLiteral("\x1b[93m W: warning \x1b[0m"),
                                    QStringLiteral("\x1b[95m C: critical \x1b[0m")};
        QVERIFY(aConsole.endsWith('\n'));
        const QStringList lLines = QString::fromLatin1(aConsole.chopped(1)).split(QLatin1Char('\n'));
        QCOMPARE(lLines.size(), lTails.size());
        for (int i = 0; i < lLines.size(); ++i) {
            const QRegularExpressionMatch oMatch = oPattern.match(lLines[i]);
            QVERIFY2(oMatch.hasMatch(), qPrintable(lLines[i]));
            QCOMPARE(oMatch.captured(2), lTails[i]);
            const QDateTime oTime(oBefore.date(), QTime::fromString(oMatch.captured(1), QStringLiteral("hh:mm:ss:zzz")),
                                  Qt::UTC);
            QVERIFY2(oBefore <= oTime && oTime <= oAfter, qPrintable(lLines[i]));
        }
        QVERIFY(!QFile::exists(QString::fromLatin1(TEST_LOG_FILE)));
    }

    void consoleLevelAboveFatalShowsNothing()
    {
        ResetLog("[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=4\n");
        const QByteArray aConsole = CaptureStdout([] { LogMessage(QtCriticalMsg, QStringLiteral("critical")); });
        QCOMPARE(aConsole, QByteArray());
        QCOMPARE(ReadLines(QString::fromLatin1(TEST_LOG_FILE)).size(), 1);
    }

    void syslogReplacesTheFile()
    {
        ResetLog("[DEBUG_MESSAGES]\nUse_SysLog=1\n");
        LogMessage(QtDebugMsg, QStringLiteral("below the level"));
        QCOMPARE(g_iOpenCount, 0);

        LogMessage(QtWarningMsg, QStringLiteral("File: cusb Line:  9 :  warning "));
        LogMessage(QtCriticalMsg, QStringLiteral("critical"));

        QCOMPARE(g_iOpenCount, 1);
        QCOMPARE(QByteArray(g_szOpenIdentity), DefaultIdentifier().toLatin1());
        QCOMPARE(g_iOpenOptions, 3);
        QCOMPARE(g_iOpenFacility, 8);
        QCOMPARE(g_lSyslogCalls.size(), 2);
        QCOMPARE(g_lSyslogCalls[0].iPriority, LOG_WARNING);
        QCOMPARE(g_lSyslogCalls[0].aText, QByteArray("File: cusb Line:  9 :  warning "));
        QCOMPARE(g_lSyslogCalls[1].iPriority, LOG_CRIT);
        QCOMPARE(g_lSyslogCalls[1].aText, QByteArray("critical"));
        QVERIFY(QDir(QString::fromLatin1(TEST_LOG_FOLDER)).isEmpty());

        CloseLog();
        QCOMPARE(g_iCloseCount, 1);
        LogMessage(QtWarningMsg, QStringLiteral("after close"));
        QCOMPARE(g_iOpenCount, 2);
    }

    void longIdentifierIsCutForSyslogOnly()
    {
        ResetLog("[DEBUG_MESSAGES]\nUse_SysLog=1\nDisplay_Message=1\n");
        const QString sLong = QStringLiteral("L").repeated(300);
        SetLogIdentifier(sLong);
        const QByteArray aConsole = CaptureStdout([] { LogMessage(QtWarningMsg, QStringLiteral("one")); });
        QVERIFY(aConsole.startsWith("\x1b[92m" + sLong.toLatin1() + "\x1b[0m:"));
        QCOMPARE(g_lSyslogCalls.last().aIdentity, sLong.left(254).toLatin1());

        // openlog keeps the buffer's address, so a new identifier shows at the next call.
        SetLogIdentifier(QStringLiteral("USB1"));
        CaptureStdout([] { LogMessage(QtWarningMsg, QStringLiteral("two")); });
        QCOMPARE(g_iOpenCount, 1);
        QCOMPARE(g_lSyslogCalls.last().aIdentity, QByteArray("USB1"));

        ResetLog(QByteArray());
        LogMessage(QtWarningMsg, QStringLiteral("three"));
        QVERIFY(ReadLines(QString::fromLatin1(TEST_LOG_FILE)).value(0).startsWith(QLatin1String("USB1:")));
    }

    void fatalIsWrittenThenAborts()
    {
        ResetLog("[DEBUG_MESSAGES]\nDisplay_Message=1\n");
        const QStringList lSelf = targetCommand(QCoreApplication::applicationFilePath());
        QProcess oChild;
        oChild.start(lSelf.first(), lSelf.mid(1) + QStringList {QString::fromLatin1(FATAL_CHILD)});
        QVERIFY(oChild.waitForStarted(30000));
        const QString sChildIdentifier = QStringLiteral("NOID(%1)").arg(oChild.processId());
        QVERIFY(oChild.waitForFinished(30000));
        QCOMPARE(oChild.exitStatus(), QProcess::CrashExit);

        const QByteArray aConsole = oChild.readAllStandardOutput();
        QVERIFY2(aConsole.startsWith("\x1b[92m" + sChildIdentifier.toLatin1()), aConsole.constData());
        QVERIFY2(aConsole.endsWith("\x1b[91m F: fatal end \x1b[0m\n"), aConsole.constData());
        const QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        QCOMPARE(lLines.size(), 1);
        QVERIFY(lLines[0].startsWith(sChildIdentifier + QLatin1Char(':')));
        QVERIFY(lLines[0].endsWith(QLatin1String(" F fatal end ")));
    }

    void fatalWithoutSinksStillAborts()
    {
        ResetLog("[DEBUG_MESSAGES]\nLog_Message=0\n");
        const QStringList lSelf = targetCommand(QCoreApplication::applicationFilePath());
        QProcess oChild;
        oChild.start(lSelf.first(), lSelf.mid(1) + QStringList {QString::fromLatin1(FATAL_CHILD)});
        QVERIFY(oChild.waitForFinished(30000));
        QCOMPARE(oChild.exitStatus(), QProcess::CrashExit);
        QCOMPARE(oChild.readAllStandardOutput(), QByteArray());
        QVERIFY(QDir(QString::fromLatin1(TEST_LOG_FOLDER)).isEmpty());
    }

    // A full disk: the lines that could not be written are counted, the first line written
    // afterwards says how many, and syslog hears of it once per process.
    void linesLostToAFullDiskAreCounted()
    {
        ResetLog(QByteArray());
        const QString sFolder = QString::fromLatin1(TEST_LOG_FOLDER);
        QCOMPARE(mount("tmpfs", TEST_LOG_FOLDER, "tmpfs", 0, "size=64k"), 0);
        const QString sFiller = sFolder + QStringLiteral("/filler");
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

        QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        CloseLog();
        QCOMPARE(umount(TEST_LOG_FOLDER), 0);
        for (QString& sLine : lLines) {
            sLine = sLine.mid(sLine.indexOf(QLatin1Char(' ')));
        }
        // Lost lines leave no fragment behind.
        QCOMPARE(lLines, QStringList({" W 40 log lines lost", " W after", " W 1 log lines lost", " W last"}));
        QCOMPARE(g_lSyslogCalls.size(), 1);
        QCOMPARE(g_lSyslogCalls[0].iPriority, LOG_USER | LOG_ERR);
        QVERIFY2(g_lSyslogCalls[0].aText.contains("log lines lost, writing " + QByteArray(TEST_LOG_FILE)),
                 g_lSyslogCalls[0].aText.constData());
    }

    // A rotation that cannot make the log again (a read-only folder here) loses lines; the log is
    // tried again with each line, and once it opens it says how many were lost.
    void linesLostToAFailedReopenAreToldOnceItOpens()
    {
        ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=0\n");
        LogMessage(QtWarningMsg, QStringLiteral("first"));
        QCOMPARE(mount(TEST_LOG_FOLDER, TEST_LOG_FOLDER, nullptr, MS_BIND, nullptr), 0);
        QCOMPARE(mount(nullptr, TEST_LOG_FOLDER, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0);
        const QByteArray aConsole = CaptureStdout([] {
            for (int i = 0; i < 3; ++i) {
                LogMessage(QtWarningMsg, QStringLiteral("lost %1").arg(i));
            }
        });
        QCOMPARE(umount(TEST_LOG_FOLDER), 0);
        LogMessage(QtWarningMsg, QStringLiteral("back"));

        QCOMPARE(aConsole, DefaultIdentifier().toLatin1() + "reopen log file failed\n");
        QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        for (QString& sLine : lLines) {
            sLine = sLine.mid(sLine.indexOf(QLatin1Char(' ')));
        }
        QCOMPARE(lLines, QStringList({" W 3 log lines lost", " W back"}));
    }

    // Root must not append to whatever a link planted as the log points at: the link is said
    // in syslog once, its lines count as lost, and the log goes on once the link is gone.
    void linkAsTheLogIsRefused()
    {
        ResetLog(QByteArray());
        QTemporaryDir oOutside;
        const QString sTarget = PlantLink(oOutside, QString::fromLatin1(TEST_LOG_FILE));

        for (int i = 0; i < 3; ++i) {
            LogMessage(QtWarningMsg, QStringLiteral("refused %1").arg(i));
        }
        QCOMPARE(ReadBytes(sTarget), QByteArray("secret\n"));
        QCOMPARE(QFileInfo(sTarget).permissions() & QFile::ReadOther, QFile::Permissions());

        QVERIFY(QFile::remove(QString::fromLatin1(TEST_LOG_FILE)));
        LogMessage(QtWarningMsg, QStringLiteral("after"));
        QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
        for (QString& sLine : lLines) {
            sLine = sLine.mid(sLine.indexOf(QLatin1Char(' ')));
        }
        QCOMPARE(lLines, QStringList({" W 3 log lines lost", " W after"}));
        QCOMPARE(ReadBytes(sTarget), QByteArray("secret\n"));
        QCOMPARE(g_lSyslogCalls.size(), 1);
        QCOMPARE(g_lSyslogCalls[0].aText,
                 DefaultIdentifier().toLatin1() + ": " + TEST_LOG_FILE + " is a symbolic link, not followed");
    }

    void fifoAsTheLogIsRefused()
    {
        ResetLog(QByteArray());
        QVERIFY(mkfifo(TEST_LOG_FILE, 0600) == 0);

        // Nobody reads the fifo: writing to it would hang the service.
        LogMessage(QtWarningMsg, QStringLiteral("refused"));
        QCOMPARE(g_lSyslogCalls.size(), 1);
        QCOMPARE(g_lSyslogCalls[0].aText,
                 DefaultIdentifier().toLatin1() + ": " + TEST_LOG_FILE + " is not a regular file, not written");

        QVERIFY(QFile::remove(QString::fromLatin1(TEST_LOG_FILE)));
        LogMessage(QtWarningMsg, QStringLiteral("after"));
        QCOMPARE(ReadLines(QString::fromLatin1(TEST_LOG_FILE)).size(), 2);
    }

    // A rotation neither writes through a link planted as a copy nor copies what it points at.
    void linkAsARotatedCopyIsRefused()
    {
        ResetLog("[DEBUG_MESSAGES]\nLogfile_Size=0\nLogfile_Redundancy=2\n");
        const QString sFirst = QString::fromLatin1(TEST_LOG_FILE) + QStringLiteral(".1");
        const QString sSecond = QString::fromLatin1(TEST_LOG_FILE) + QStringLiteral(".2");
        WriteFile(QString::fromLatin1(TEST_LOG_FILE), "current\n");
        QTemporaryDir oOutside;
        const QString sTarget = PlantLink(oOutside, sFirst);

        LogMessage(QtWarningMsg, QStringLiteral("rotates"));

        QCOMPARE(ReadBytes(sTarget), QByteArray("secret\n"));
        QVERIFY(!QFileInfo(sFirst).isSymLink());
        QCOMPARE(ReadBytes(sFirst), QByteArray("current\n"));
        QVERIFY(!QFile::exists(sSecond));
        QCOMPARE(ReadLines(QString::fromLatin1(TEST_LOG_FILE)).size(), 1);
        QCOMPARE(g_lSyslogCalls.size(), 1);
        QVERIFY2(g_lSyslogCalls[0].aText.endsWith(sFirst.toLatin1() + " is a symbolic link, not followed"),
                 g_lSyslogCalls[0].aText.constData());
    }

    // Runs last: the console cannot be allowed again in this process.
    void disabledConsoleOverridesTheIni()
    {
        ResetLog(CONSOLE_ONLY);
        DisableConsoleOutput();
        QCOMPARE(CaptureStdout([] { LogMessage(QtWarningMsg, QStringLiteral("before")); }), QByteArray());
        CloseLog();
        QCOMPARE(CaptureStdout([] { LogMessage(QtWarningMsg, QStringLiteral("reread")); }), QByteArray());
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
