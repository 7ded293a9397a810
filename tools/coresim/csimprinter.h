#pragma once

#include "tools/coresim/csimsettings.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVariantList>

// Everything the simulator reports: readable lines for a person, or with --json one JSON
// object per line (the form that scripts and tests read).
class CSimPrinter
{
public:
    explicit CSimPrinter(bool bJson);

    void ready(qint64 iPid, const QString& sService, const QString& sBus);
    void usbWritten(int iFrom, const QByteArray& aData, const CSimSettings& oSettings);
    void usbRead(const QByteArray& aData, const CSimSettings& oSettings);
    void generalWritten(int iFrom, const QByteArray& aData, const CSimSettings& oSettings);
    void generalRead(const QByteArray& aData, const CSimSettings& oSettings);
    void signalSent(const QString& sName, const QString& sPath, const QString& sInterface,
                    const QVariantList& lArguments);
    void show(const QByteArray& aUsb, const QByteArray& aGeneral);
    void refused(const QString& sInterface, const QString& sMember);
    void settings(const CSimSettings& oSettings);
    void note(const QString& sText);
    void help(const QString& sText);
    void error(const QString& sText);
    void exiting(const QString& sReason);

private:
    void json(const QString& sEvent, QJsonObject oFields, bool bWithTime = true);
    void line(const QString& sText);
    static void addBytes(QJsonObject& oFields, const QByteArray& aData);
    static void addAnswer(QJsonObject& oFields, const CSimSettings& oSettings, bool bWithReply);

    bool m_bJson;
};
