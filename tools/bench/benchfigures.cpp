#include "tools/bench/benchfigures.h"

#include <algorithm>

namespace BenchFigures {

SSummary summarise(QList<double> lValues)
{
    SSummary oSummary;
    if (lValues.isEmpty()) {
        return oSummary;
    }
    std::sort(lValues.begin(), lValues.end());
    const qsizetype iCount = lValues.size();
    double dSum = 0;
    for (double dValue : lValues) {
        dSum += dValue;
    }
    oSummary.iCount = static_cast<int>(iCount);
    oSummary.dMean = dSum / static_cast<double>(iCount);
    oSummary.dMedian = iCount % 2 == 1 ? lValues[iCount / 2] : (lValues[iCount / 2 - 1] + lValues[iCount / 2]) / 2;
    oSummary.dMin = lValues.first();
    oSummary.dMax = lValues.last();
    return oSummary;
}

SMemory parseSmapsRollup(const QByteArray& aText)
{
    SMemory oMemory;
    qint64 llPrivateClean = -1;
    for (const QByteArray& aLine : aText.split('\n')) {
        const QList<QByteArray> lFields = aLine.simplified().split(' ');
        if (lFields.size() < 2) {
            continue;
        }
        bool bOk = false;
        const qint64 llKiB = lFields[1].toLongLong(&bOk);
        if (!bOk) {
            continue;
        }
        if (lFields[0] == "Rss:") {
            oMemory.llRss = llKiB;
        } else if (lFields[0] == "Pss:") {
            oMemory.llPss = llKiB;
        } else if (lFields[0] == "Private_Clean:") {
            llPrivateClean = llKiB;
        } else if (lFields[0] == "Private_Dirty:") {
            oMemory.llPrivateDirty = llKiB;
        }
    }
    if (llPrivateClean >= 0 && oMemory.llPrivateDirty >= 0) {
        oMemory.llUss = llPrivateClean + oMemory.llPrivateDirty;
    }
    return oMemory;
}

QMap<int, QMap<QByteArray, int>> countSystemCalls(const QByteArray& aStraceOutput, double dFrom, double dTo)
{
    QMap<int, QMap<QByteArray, int>> mCalls;
    for (const QByteArray& aLine : aStraceOutput.split('\n')) {
        // "<tid> <seconds>.<microseconds> <call or note>"
        const QList<QByteArray> lParts = aLine.simplified().split(' ');
        if (lParts.size() < 3) {
            continue;
        }
        bool bTid = false;
        bool bTime = false;
        const int iTid = lParts[0].toInt(&bTid);
        const double dTime = lParts[1].toDouble(&bTime);
        if (!bTid || !bTime || dTime < dFrom || dTime > dTo) {
            continue;
        }
        const QByteArray& aCall = lParts[2];
        if (aCall.startsWith("<...") || aCall == "---" || aCall == "+++" || aCall.startsWith("restart_syscall(")) {
            continue;
        }
        ++mCalls[iTid][aCall.left(aCall.indexOf('('))];
    }
    return mCalls;
}

} // namespace BenchFigures
