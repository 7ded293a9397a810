// The figures of veltrano-bench: summaries, /proc memory and strace's per-thread calls.

#include "tools/bench/benchfigures.h"

#include <QtTest>

using namespace BenchFigures;

class CTestBenchFigures : public QObject
{
    Q_OBJECT

private slots:
    void summaryOfUnsortedValues()
    {
        const SSummary oOdd = summarise({801, 790, 800});
        QCOMPARE(QList<double>({double(oOdd.iCount), oOdd.dMedian, oOdd.dMin, oOdd.dMax, oOdd.dMean}),
                 QList<double>({3, 800, 790, 801, 797}));
        QCOMPARE(summarise({4, 1, 3, 2}).dMedian, 2.5);
        QCOMPARE(summarise({}).iCount, 0);
        QCOMPARE(summarise({}).dMax, 0.0);
    }

    void memoryFromSmapsRollup()
    {
        const SMemory oMemory = parseSmapsRollup(
            "55d0c0a4e000-7ffd5a7f1000 ---p 00000000 00:00 0                          [rollup]\n"
            "Rss:               13132 kB\n"
            "Pss:                2651 kB\n"
            "Pss_Dirty:          1290 kB\n"
            "Private_Clean:       128 kB\n"
            "Private_Dirty:      1300 kB\n");
        // USS is Private_Clean + Private_Dirty; not Pss_Dirty, the other dirty figure.
        QCOMPARE(QList<qint64>({oMemory.llRss, oMemory.llPss, oMemory.llUss, oMemory.llPrivateDirty}),
                 QList<qint64>({13132, 2651, 1428, 1300}));

        // Half of USS is not USS.
        const SMemory oHalf = parseSmapsRollup("Rss: 10 kB\nPrivate_Clean: 4 kB\n");
        QCOMPARE(QList<qint64>({oHalf.llUss, oHalf.llPrivateDirty}), QList<qint64>({-1, -1}));
    }

    void callsPerThreadWithinTheWindow()
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
        QCOMPARE(countSystemCalls(aTrace, 1000.0, 1003.0),
                 (QMap<int, QMap<QByteArray, int>> {
                     {100, {{"pselect6", 2}}}, {101, {{"poll", 1}}}, {102, {{"clock_nanosleep", 1}, {"write", 1}}}}));
    }
};

QTEST_GUILESS_MAIN(CTestBenchFigures)
#include "test_benchfigures.moc"
