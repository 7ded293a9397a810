// The figures of veltrano-bench: summaries, /proc memory and strace's per-thread calls.

#include "tools/bench/benchfigures.h"

#include <QtTest>

using namespace BenchFigures;

class CTestBenchFigures : public QObject
{
    Q_OBJECT

private slots:
    void summaryOfUnsortedValues();
    void memoryFromSmapsRollup();
    void callsPerThreadWithinTheWindow();
};

void CTestBenchFigures::summaryOfUnsortedValues()
{
    const SSummary oOdd = summarise({801, 799, 800});
    QCOMPARE(oOdd.iCount, 3);
    QCOMPARE(oOdd.dMedian, 800.0);
    QCOMPARE(oOdd.dMin, 799.0);
    QCOMPARE(oOdd.dMax, 801.0);
    QCOMPARE(oOdd.dMean, 800.0);

    QCOMPARE(summarise({4, 1, 3, 2}).dMedian, 2.5);
    const SSummary oEmpty = summarise({});
    QCOMPARE(oEmpty.iCount, 0);
    QCOMPARE(oEmpty.dMax, 0.0);
}

void CTestBenchFigures::memoryFromSmapsRollup()
{
    const QByteArray aRollup =
        "55d0c0a4e000-7ffd5a7f1000 ---p 00000000 00:00 0                          [rollup]\n"
        "Rss:               13132 kB\n"
        "Pss:                2651 kB\n"
        "Pss_Dirty:          1290 kB\n"
        "Shared_Clean:      11600 kB\n"
        "Private_Clean:       128 kB\n"
        "Private_Dirty:      1300 kB\n"
        "Swap:                  0 kB\n";
    const SMemory oMemory = parseSmapsRollup(aRollup);
    QCOMPARE(oMemory.llRss, Q_INT64_C(13132));
    QCOMPARE(oMemory.llPss, Q_INT64_C(2651));
    QCOMPARE(oMemory.llUss, Q_INT64_C(1428));
    // Not Pss_Dirty, the other dirty figure.
    QCOMPARE(oMemory.llPrivateDirty, Q_INT64_C(1300));

    // Half of USS is not USS.
    const SMemory oHalf = parseSmapsRollup("Rss: 10 kB\nPrivate_Clean: 4 kB\n");
    QCOMPARE(oHalf.llUss, Q_INT64_C(-1));
    QCOMPARE(oHalf.llPrivateDirty, Q_INT64_C(-1));
}

void CTestBenchFigures::callsPerThreadWithinTheWindow()
{
    const QByteArray aTrace =
        "100 1000.500000 restart_syscall(<... resuming interrupted poll ...>) = 1\n"
        "100 1001.000000 pselect6(12, [11], NULL, NULL, {tv_sec=0, tv_nsec=0}, NULL) = 0 (Timeout)\n"
        "101 1001.100000 poll([{fd=3, events=POLLIN}], 2, -1 <unfinished ...>\n"
        "102 1001.200000 clock_nanosleep(CLOCK_MONOTONIC, 0, {tv_sec=0, tv_nsec=800000000},  <unfinished ...>\n"
        "101 1001.300000 <... poll resumed>) = 1 ([{fd=3, revents=POLLIN}])\n"
        "102 1002.000000 <... clock_nanosleep resumed>0x7f00) = 0\n"
        "100 1002.000000 --- SIGHUP {si_signo=SIGHUP, si_code=SI_USER, si_pid=1} ---\n"
        "100 1002.100000 pselect6(12, [11], NULL, NULL, {tv_sec=0, tv_nsec=0}, NULL) = 0 (Timeout)\n"
        "102 1002.200000 write(7, \"\\1\\0\\0\\0\\0\\0\\0\\0\", 8) = 8\n"
        "102 1002.300000 +++ exited with 0 +++\n"
        "100 1003.500000 pselect6(12, [11], NULL, NULL, {tv_sec=0, tv_nsec=0}, NULL) = 0 (Timeout)\n"
        "\n"
        "strace: Process 100 detached\n";
    const QMap<int, QMap<QByteArray, int>> mCalls = countSystemCalls(aTrace, 1000.0, 1003.0);
    QCOMPARE(mCalls.keys(), QList<int>({100, 101, 102}));
    QCOMPARE(mCalls[100], (QMap<QByteArray, int> {{"pselect6", 2}}));
    QCOMPARE(mCalls[101], (QMap<QByteArray, int> {{"poll", 1}}));
    QCOMPARE(mCalls[102], (QMap<QByteArray, int> {{"clock_nanosleep", 1}, {"write", 1}}));
}

QTEST_GUILESS_MAIN(CTestBenchFigures)
#include "test_benchfigures.moc"
