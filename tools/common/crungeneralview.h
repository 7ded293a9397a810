#pragma once

#include "records/crungeneralnonwm.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

// A serialised runtime general record taken apart as it travels: every change flag and value
// as the writer sent them (see CRunUsbView for why the record's own reader cannot show that).
class CRunGeneralView
{
public:
    explicit CRunGeneralView(const QByteArray& aData);

    // The name of a field as the record spells it, e.g. "SwVersions".
    static QString fieldName(CRunGeneralNonWM::EField eField);

    bool isValid() const { return m_bValid; }
    int size() const { return m_iSize; }

    // int, bool, QString or QDateTime; SwVersions is in swVersions().
    QVariant value(CRunGeneralNonWM::EField eField) const { return m_avValues[eField]; }
    QMap<QString, QString> swVersions() const { return m_mSwVersions; }
    bool isChanged(CRunGeneralNonWM::EField eField) const { return m_abChanged[eField]; }
    // The names of the flagged fields, in the record's flag order.
    QStringList changedNames() const;

private:
    void read(const QByteArray& aData);
    void readSwVersions(QDataStream& in);

    int m_iSize;
    bool m_bValid;
    QVariant m_avValues[CRunGeneralNonWM::FieldCount];
    QMap<QString, QString> m_mSwVersions;
    bool m_abChanged[CRunGeneralNonWM::FieldCount];
};
