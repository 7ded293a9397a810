#include "log/logmessagehandler.h"
#include "logtesthelpers.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

// The log as the daemon's threads meet it: the main thread and the heartbeat log at once, and
// the log may be closed or renamed meanwhile. Also built under ThreadSanitizer (tests/tsan).

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

private:
    std::atomic<bool> m_bGate {false};
    std::atomic<int> m_iRunning;
    std::vector<std::thread> m_lThreads;
};

} // namespace

class CTestLogThreads : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase() { CloseLog(); }

    // Two writers let go at once find the log still to be opened (a debug line, below the log's
    // level, has read the settings): it is opened once, for syslog (the first row: no identifier
    // set yet) with the default identity. One writer meets a main thread that renames and closes
    // the log, so that usb.ini is reread, the sink reopened and a new name copied for syslog
    // meanwhile. No line is lost or torn, nor a name.
    void linesOfThreadsStayWhole_data()
    {
        QTest::addColumn<QByteArray>("aIni");
        QTest::addColumn<QStringList>("lWriters");
        QTest::addColumn<bool>("bRename");
        const QByteArray aSyslog = "[DEBUG_MESSAGES]\nUse_SysLog=1\n";
        const QStringList lTwo = {QStringLiteral("first"), QStringLiteral("second")};
        QTest::newRow("two writers, syslog") << aSyslog << lTwo << false;
        QTest::newRow("two writers, file") << QByteArray() << lTwo << false;
        QTest::newRow("renamed and closed, file") << QByteArray() << QStringList {"first"} << true;
        QTest::newRow("renamed and closed, syslog") << aSyslog << QStringList {"first"} << true;
    }

    void linesOfThreadsStayWhole()
    {
        QFETCH(QByteArray, aIni);
        QFETCH(QStringList, lWriters);
        QFETCH(bool, bRename);
        ResetLog(aIni);
        LogMessage(QtDebugMsg, QStringLiteral("reads the settings"));
        const int iLines = 1000;
        CWriters oWriters(lWriters, iLines);
        const QDeadlineTimer oDeadline(60000);
        for (int i = 0; bRename && oWriters.isRunning() && !oDeadline.hasExpired(); ++i) {
            SetLogIdentifier(i % 2 == 0 ? QStringLiteral("even") : QStringLiteral("odd"));
            CloseLog();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!oWriters.isRunning(), 60000);
        SetLogIdentifier(DefaultIdentifier());
        const QString sNames =
            (bRename ? QStringLiteral("even|odd|") : QString()) + QRegularExpression::escape(DefaultIdentifier());
        if (aIni.isNull()) {
            // Every line of each writer, whole and in its order.
            const QRegularExpression oPattern(
                QStringLiteral(
                    "^(%1):\\d{4}-\\d\\d-\\d\\d_\\d\\d:\\d\\d:\\d\\d:\\d{3} W (first|second) (\\d+) \\.{40}$")
                    .arg(sNames));
            QHash<QString, int> oNext;
            const QStringList lLines = ReadLines(QString::fromLatin1(TEST_LOG_FILE));
            QCOMPARE(lLines.size(), lWriters.size() * iLines);
            for (const QString& sLine : lLines) {
                const QRegularExpressionMatch oMatch = oPattern.match(sLine);
                QVERIFY2(oMatch.hasMatch(), qPrintable(sLine));
                QCOMPARE(oMatch.captured(3).toInt(), oNext[oMatch.captured(2)]++);
            }
            return;
        }
        const SSyslog oSyslog = HeardBySyslog();
        QVERIFY(bRename || oSyslog.iOpenCount == 1);
        QCOMPARE(oSyslog.lCalls.size(), lWriters.size() * iLines);
        const QRegularExpression oName(QStringLiteral("^(%1)$").arg(sNames));
        for (const SSyslogCall& oCall : oSyslog.lCalls) {
            QVERIFY2(oName.match(QString::fromLatin1(oCall.aIdentity)).hasMatch(), oCall.aIdentity.constData());
        }
        QVERIFY(!QFile::exists(QString::fromLatin1(TEST_LOG_FILE)));
    }
};

QTEST_GUILESS_MAIN(CTestLogThreads)
#include "test_logthreads.moc"
