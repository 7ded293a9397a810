#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QtGlobal>

class QDataStream;

// The family's runtime general record. This service fills only its own entry of the
// software-version table; every other field travels at its initial value, but the whole
// layout must match what the other processes read.
class CRunGeneralNonWM
{
public:
    // The change flags, in the order the record keeps them.
    enum EField {
        GeneralText1,
        GeneralText2,
        GeneralNumber1,
        GeneralNumber3,
        GeneralNumber4,
        GeneralFlag,
        GeneralNumber5,
        GeneralTime,
        GeneralText4,
        GeneralText5,
        GeneralText6,
        GeneralText7,
        GeneralText8,
        GeneralText9,
        GeneralText10,
        GeneralText11,
        GeneralText12,
        GeneralText13,
        GeneralText14,
        GeneralText15,
        GeneralText16,
        GeneralText17,
        GeneralText18,
        GeneralText19,
        GeneralText20,
        GeneralText21,
        GeneralText3,
        GeneralNumber2,
        GeneralText22,
        SwVersions,
        GeneralNumber6,
        FieldCount
    };

    CRunGeneralNonWM();

    // Every setter marks its field changed, also when the value stays the same.
    void setGeneralText1(const QString& sValue);
    void setGeneralText2(const QString& sValue);
    void setGeneralText3(const QString& sValue);
    void setGeneralText4(const QString& sValue);
    void setGeneralText5(const QString& sValue);
    void setGeneralText6(const QString& sValue);
    void setGeneralText7(const QString& sValue);
    void setGeneralText8(const QString& sValue);
    void setGeneralText9(const QString& sValue);
    void setGeneralText10(const QString& sValue);
    void setGeneralText11(const QString& sValue);
    void setGeneralText12(const QString& sValue);
    void setGeneralText13(const QString& sValue);
    void setGeneralText14(const QString& sValue);
    void setGeneralText15(const QString& sValue);
    void setGeneralText16(const QString& sValue);
    void setGeneralText17(const QString& sValue);
    void setGeneralText18(const QString& sValue);
    void setGeneralText19(const QString& sValue);
    void setGeneralText20(const QString& sValue);
    void setGeneralText21(const QString& sValue);
    void setGeneralText22(const QString& sValue);
    void setGeneralTime(const QDateTime& dtValue);
    QDateTime getGeneralTime() const { return m_dtGeneralTime; }

    // Inserts or replaces the version of one software module.
    void setSwVersion(const QString& sModule, const QString& sVersion);
    QHash<QString, QString> getSwVersions() const { return m_hSwVersions; }

    bool isChanged(EField eField) const { return m_abChanged[eField]; }
    bool hasChanges() const { return m_bChanged; }

    QByteArray toByteArray();
    void fromByteArray(const QByteArray& aData);
    QByteArray toPlainByteArray();

    friend QDataStream& operator<<(QDataStream& out, const CRunGeneralNonWM& oRecord);
    friend QDataStream& operator>>(QDataStream& in, CRunGeneralNonWM& oRecord);

private:
    void markChanged(EField eField);
    void setText(QString& sField, EField eField, const QString& sValue);
    template<typename T> void writeField(QDataStream& out, bool bWithFlags, EField eField, const T& value) const;
    void writeSwVersions(QDataStream& out) const;
    void write(QDataStream& out, bool bWithFlags) const;
    template<typename T> void readField(QDataStream& in, EField eField, T& value);
    void readSwVersions(QDataStream& in);
    void read(QDataStream& in);

    QByteArray m_aBuffer;
    qint32 m_iVersion;
    QByteArray m_aReserve;
    QString m_sGeneralText1;
    QString m_sGeneralText2;
    qint32 m_iGeneralNumber1;
    QString m_sGeneralText3;
    qint32 m_iGeneralNumber2;
    qint32 m_iGeneralNumber3;
    qint32 m_iGeneralNumber4;
    bool m_bGeneralFlag;
    qint32 m_iGeneralNumber5;
    QDateTime m_dtGeneralTime;
    QString m_sGeneralText4;
    QString m_sGeneralText5;
    QString m_sGeneralText6;
    QString m_sGeneralText7;
    QString m_sGeneralText8;
    QString m_sGeneralText9;
    QString m_sGeneralText10;
    QString m_sGeneralText11;
    QString m_sGeneralText12;
    QString m_sGeneralText13;
    QString m_sGeneralText14;
    QString m_sGeneralText15;
    QString m_sGeneralText16;
    QString m_sGeneralText17;
    QString m_sGeneralText18;
    QString m_sGeneralText19;
    QString m_sGeneralText20;
    QString m_sGeneralText21;
    QString m_sGeneralText22;
    QHash<QString, QString> m_hSwVersions;
    qint32 m_iGeneralNumber6;
    bool m_abChanged[FieldCount];
    bool m_bChanged;
};
