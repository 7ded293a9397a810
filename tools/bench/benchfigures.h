#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>

// The arithmetic and the /proc and strace readings of veltrano-bench, apart from the
// processes they come from so that they can be tested on their own.
namespace BenchFigures {

struct SSummary
{
    int iCount = 0;
    double dMean = 0;
    double dMedian = 0;
    double dMin = 0;
    double dMax = 0;
};

// All zero for an empty list; the median of an even count is the mean of the middle two.
SSummary summarise(QList<double> lValues);

// KiB; USS is what no other process shares (Private_Clean + Private_Dirty). Private_Dirty is
// the part that only this process has written: what it really costs the board's memory.
struct SMemory
{
    qint64 llRss = -1;
    qint64 llPss = -1;
    qint64 llUss = -1;
    qint64 llPrivateDirty = -1;
};

// From the text of /proc/PID/smaps_rollup; a field that is missing stays -1.
SMemory parseSmapsRollup(const QByteArray& aText);

// System calls by name per thread id from the output of "strace -f -ttt -o FILE -p PID" that began
// from dFrom to dTo (seconds since the epoch): a call split by a thread switch
// ("<unfinished ...>" and "<... resumed>") counts once, signals and exits not at all, and
// neither does the restart of the call each thread was in when strace attached.
QMap<int, QMap<QByteArray, int>> countSystemCalls(const QByteArray& aStraceOutput, double dFrom, double dTo);

} // namespace BenchFigures
