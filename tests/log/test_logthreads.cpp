#include "log/logmessagehandler.h"
#include "logtesthelpers.h"

#include <QtTest>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

// The log as the daemon's threads meet it: the main thread and the heartbeat log at once, and
// the log may be closed or renamed meanwhile. Also built under ThreadSanitizer (tests/tsan).

// Stand-in for the system log, counting what it is asked for; it reads the identity the way
// the library does, so a rename racing with a syslog call shows.
namespace {

std::atomic<int> g_iOpenCount {0};
std::atomic<int> g_iSyslogCount {0};
std::atomic<const char*> g_szIdentity {nullptr};

void CountSyslog()
{
    const char* szIdentity = g_szIdentity;
    if (szIdentity != nullptr && std::strlen(szIdentity) > 0) {
        ++g_iSyslogCount;
    }
}

} // namespace

extern "C" void openlog(const char* szIdentity, int, int)
{
    g_szIdentity = szIdentity;
    ++g_iOpenCount;
}

extern "C" void syslog(int, const char*, ...)
{
    CountSyslog();
}

// With _FORTIFY_SOURCE the library's calls of syslog() become calls of this one.
extern "C" void __syslog_chk(int, int, const char*, ...)
{
    CountSyslog();
}

extern "C" void closelog()
{
}

namespace {

// Threads that each log iLines warnings "<name> <i> ........", let go at once so that their
// first messages meet. std::thread, not QThread: ThreadSanitizer, told to ignore Qt's own
// accesses, also drops every report from a thread that Qt started.
class CWriters
{
public:
    CWriters(const QStringList& lNames, int iLines)
        : m_iRunning(static_cast<int>(lNames.size()))
    {
        for (const QString& sName : lNames) {
            m_lThreads.emplace_back([this, iLines, sName] {
                while (!m_bGate) {
                    std::this_thread::yield();
                }
                for (int i = 0; i < iLines; ++i) {
                    LogMessage(QtWarningMsg,
                               QStringLiteral("%1 %2 %3").arg(sName).arg(i).arg(QString(40, QLatin1Char('.'))));
                }
                --m_iRunning;
            });
        }
        m_bGate = true;
    }

    ~CWriters()
    {
        for (std::thread& oThread : m_lThreads) {
            oThread.join();
        }
    }

    bool isRunning() const { return m_iRunning > 0; }
    bool waitForAll()
    {
        return QTest::qWaitFor([this] { return !isRunning(); }, 60000);
    }

private:
    std::atomic<bool> m_bGate {false};
    std::atomic<int> m_iRunning;
    std::vector<std::thread> m_lThreads;
};

// Checks that the log holds every line of the named writers, whole and in each writer's order.
void VerifyLines(const QString& sIdentifiers, int iLines, int iWriters)
{
    const QRegularExpression oPattern(
        QStringLiteral("^(%1):\\d{4}-\\d\\d-\\d\\d_\\d\\d:\\d\\d:\\d\\d:\\d{3} W (first|second) (\\d+) \\.{40}$")
            .arg(sIdentifiers));
    QHash<QString, int> oNext;
    const QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
    QCOMPARE(lLines.size(), iWriters * iLines);
    for (const QString& sLine : lLines) {
        const QRegularExpressionMatch oMatch = oPattern.match(sLine);
        QVERIFY2(oMatch.hasMatch(), qPrintable(sLine));
        QCOMPARE(oMatch.captured(3).toInt(), oNext[oMatch.captured(2)]++);
    }
}

} // namespace

class CTestLogThreads : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase() { CloseLog(); }

    void linesOfTwoThreadsNeverInterleave()
    {
        ResetLog(QByteArray());
        const int iLines = 2000;
        CWriters oWriters({QStringLiteral("first"), QStringLiteral("second")}, iLines);
        QVERIFY(oWriters.waitForAll());
        VerifyLines(QRegularExpression::escape(DefaultIdentifier()), iLines, 2);
    }

    // Both threads find the system log still to be opened; a debug line, below the log's
    // level, has read the settings.
    void syslogIsOpenedOnceWhenTwoThreadsStart()
    {
        ResetLog("[DEBUG_MESSAGES]\nUse_SysLog=1\n");
        LogMessage(QtDebugMsg, QStringLiteral("reads the settings"));
        g_iOpenCount = 0;
        g_iSyslogCount = 0;
        const int iLines = 500;
        CWriters oWriters({QStringLiteral("first"), QStringLiteral("second")}, iLines);
        QVERIFY(oWriters.waitForAll());
        QCOMPARE(g_iOpenCount.load(), 1);
        QCOMPARE(g_iSyslogCount.load(), 2 * iLines);
        QVERIFY(!QFile::exists(QString::fromLatin1(TEST_LOG_FILE)));
    }

    // Closing reopens the file and rereads usb.ini under a running writer: no line is lost or torn.
    void closeAndRenameWhileAnotherThreadLogs()
    {
        ResetLog(QByteArray());
        const int iLines = 500;
        CWriters oWriter({QStringLiteral("first")}, iLines);
        const QDeadlineTimer oDeadline(60000);
        for (int i = 0; oWriter.isRunning() && !oDeadline.hasExpired(); ++i) {
            SetLogIdentifier(i % 2 == 0 ? QStringLiteral("even") : QStringLiteral("odd"));
            CloseLog();
        }
        QVERIFY(oWriter.waitForAll());
        SetLogIdentifier(DefaultIdentifier());
        VerifyLines(QStringLiteral("even|odd|") + QRegularExpression::escape(DefaultIdentifier()), iLines, 1);
    }

    void renameWhileAnotherThreadUsesSyslog()
    {
        ResetLog("[DEBUG_MESSAGES]\nUse_SysLog=1\n");
        g_iSyslogCount = 0;
        const int iLines = 2000;
        CWriters oWriter({QStringLiteral("first")}, iLines);
        const QDeadlineTimer oDeadline(60000);
        for (int i = 0; oWriter.isRunning() && !oDeadline.hasExpired(); ++i) {
            SetLogIdentifier(i % 2 == 0 ? QStringLiteral("even") : QStringLiteral("odd"));
        }
        QVERIFY(oWriter.waitForAll());
        SetLogIdentifier(DefaultIdentifier());
        QCOMPARE(g_iSyslogCount.load(), iLines);
    }
};

QTEST_GUILESS_MAIN(CTestLogThreads)
#include "test_logthreads.moc"
