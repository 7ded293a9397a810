#include "usb/cmounttable.h"

CMountTable::CMountTable(const QByteArray& aMountInfo)
{
    for (const QByteArray& aLine : aMountInfo.split('\n')) {
        SMount oMount;
        if (parseLine(aLine, &oMount)) {
            m_lMounts.append(oMount);
        }
    }
}

QByteArray CMountTable::sourceAt(const QByteArray& aMountPoint) const
{
    const SMount* pTop = topAt(aMountPoint);
    return pTop != nullptr ? pTop->aSource : QByteArray();
}

QByteArray CMountTable::typeAt(const QByteArray& aMountPoint) const
{
    const SMount* pTop = topAt(aMountPoint);
    return pTop != nullptr ? pTop->aType : QByteArray();
}

// Mounts stacked on one point: the top one is the one no other mount there sits on.
const CMountTable::SMount* CMountTable::topAt(const QByteArray& aMountPoint) const
{
    const SMount* pTop = nullptr;
    for (const SMount& oMount : m_lMounts) {
        if (oMount.aMountPoint == aMountPoint && (pTop == nullptr || oMount.aParentId == pTop->aId)) {
            pTop = &oMount;
        }
    }
    return pTop;
}

// "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw,errors=continue":
// a variable number of optional fields ends with "-", then type, source and options follow.
bool CMountTable::parseLine(const QByteArray& aLine, SMount* pMount)
{
    const QList<QByteArray> lFields = aLine.split(' ');
    const qsizetype iSeparator = lFields.indexOf("-");
    if (lFields.size() < 7 || iSeparator < 6 || iSeparator + 2 >= lFields.size()) {
        return false;
    }
    pMount->aId = lFields[0];
    pMount->aParentId = lFields[1];
    pMount->aMountPoint = unescape(lFields[4]);
    pMount->aType = lFields[iSeparator + 1];
    pMount->aSource = unescape(lFields[iSeparator + 2]);
    return true;
}

// The kernel writes a blank, a tab, a line break and a backslash as \040, \011, \012, \134.
QByteArray CMountTable::unescape(const QByteArray& aField)
{
    QByteArray aText;
    for (qsizetype i = 0; i < aField.size(); ++i) {
        const QByteArray aOctal = aField.mid(i + 1, 3);
        bool bOctal = false;
        const int iCode = aField[i] == '\\' && aOctal.size() == 3 ? aOctal.toInt(&bOctal, 8) : 0;
        if (bOctal && iCode < 256) {
            aText.append(static_cast<char>(iCode));
            i += 3;
        } else {
            aText.append(aField[i]);
        }
    }
    return aText;
}
