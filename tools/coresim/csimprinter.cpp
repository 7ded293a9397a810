#include "tools/coresim/csimprinter.h"

#include "tools/common/crungeneralview.h"
#include "tools/common/crunusbformat.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <cstdio>

namespace {
QString versionsText(const CRunGeneralView& oView)
{
    QStringList lsEntries;
    const QMap<QString, QString> mVersions = oView.swVersions();
    for (auto it = mVersions.cbegin(); it != mVersions.cend(); ++it) {
        lsEntries << it.key() + "=\"" + it.value() + "\"";
    }
    return "SwVersions {" + lsEntries.join(", ") + "}";
}

QJsonObject versionsJson(const CRunGeneralView& oView)
{
    QJsonObject oVersions;
    const QMap<QString, QString> mVersions = oView.swVersions();
    for (auto it = mVersions.cbegin(); it != mVersions.cend(); ++it) {
        oVersions.insert(it.key(), it.value());
    }
    return oVersions;
}

QString unreadable(int iSize)
{
    return QString("not a readable record (%1 bytes)").arg(iSize);
}

QString argumentsText(const QVariantList& lArguments)
{
    QStringList lsItems;
    for (const QVariant& vArgument : lArguments) {
        lsItems << vArgument.toString();
    }
    return lsItems.join(", ");
}
} // namespace

CSimPrinter::CSimPrinter(bool bJson)
    : m_bJson(bJson)
{
}

void CSimPrinter::ready(qint64 iPid, const QString& sService, const QString& sBus)
{
    if (m_bJson) {
        json("ready", {{"pid", iPid}, {"service", sService}});
        return;
    }
    line(QString("veltrano-core-sim (pid %1) serves %2 on %3; type \"help\" for the commands")
             .arg(iPid)
             .arg(sService, sBus));
}

void CSimPrinter::usbWritten(int iFrom, const QByteArray& aData, const CSimSettings& oSettings)
{
    const CRunUsbView oView(aData);
    if (m_bJson) {
        QJsonObject oFields {{"from", iFrom}};
        addBytes(oFields, aData);
        oFields.insert("record", CRunUsbFormat::toJson(oView));
        oFields.insert("changed", CRunUsbFormat::changedJson(oView));
        addAnswer(oFields, oSettings, true);
        json("setRuntimeUsb", oFields);
        return;
    }
    const QString sRecord = oView.isValid() ? CRunUsbFormat::summary(oView) : unreadable(oView.size());
    line(QString("setRuntimeUsb from %1: %2 -> %3").arg(iFrom).arg(sRecord, oSettings.answerText()));
}

void CSimPrinter::usbRead(const QByteArray& aData, const CSimSettings& oSettings)
{
    if (m_bJson) {
        QJsonObject oFields;
        addBytes(oFields, aData);
        addAnswer(oFields, oSettings, false);
        json("getRuntimeUsb", oFields);
        return;
    }
    const QString sAnswer =
        oSettings.m_bSilent ? QStringLiteral("no answer (silent)") : CRunUsbFormat::summary(CRunUsbView(aData));
    line("getRuntimeUsb -> " + sAnswer);
}

void CSimPrinter::generalWritten(int iFrom, const QByteArray& aData, const CSimSettings& oSettings)
{
    const CRunGeneralView oView(aData);
    if (m_bJson) {
        QJsonObject oFields {{"from", iFrom}};
        addBytes(oFields, aData);
        oFields.insert("swVersions", versionsJson(oView));
        oFields.insert("changed", QJsonArray::fromStringList(oView.changedNames()));
        addAnswer(oFields, oSettings, true);
        json("setRuntimeGeneralNonWM", oFields);
        return;
    }
    QString sRecord = unreadable(oView.size());
    if (oView.isValid()) {
        sRecord = QString("%1 bytes, %2, changed: %3")
                      .arg(oView.size())
                      .arg(versionsText(oView), oView.changedNames().join(' '));
    }
    line(QString("setRuntimeGeneralNonWM from %1: %2 -> %3").arg(iFrom).arg(sRecord, oSettings.answerText()));
}

void CSimPrinter::generalRead(const QByteArray& aData, const CSimSettings& oSettings)
{
    if (m_bJson) {
        QJsonObject oFields;
        addBytes(oFields, aData);
        addAnswer(oFields, oSettings, false);
        json("getRuntimeGeneralNonWM", oFields);
        return;
    }
    const QString sAnswer =
        oSettings.m_bSilent ? QStringLiteral("no answer (silent)") : versionsText(CRunGeneralView(aData));
    line("getRuntimeGeneralNonWM -> " + sAnswer);
}

void CSimPrinter::signalSent(const QString& sName, const QString& sPath, const QString& sInterface,
                             const QVariantList& lArguments)
{
    if (m_bJson) {
        json("signal", {{"name", sName},
                        {"args", QJsonArray::fromVariantList(lArguments)},
                        {"path", sPath},
                        {"interface", sInterface}});
        return;
    }
    line(QString("sent %1(%2) from %3, interface %4").arg(sName, argumentsText(lArguments), sPath, sInterface));
}

void CSimPrinter::show(const QByteArray& aUsb, const QByteArray& aGeneral)
{
    const CRunUsbView oUsb(aUsb);
    const CRunGeneralView oGeneral(aGeneral);
    if (m_bJson) {
        json("show",
             {{"record", CRunUsbFormat::toJson(oUsb)},
              {"changed", CRunUsbFormat::changedJson(oUsb)},
              {"swVersions", versionsJson(oGeneral)}},
             false);
        return;
    }
    line("shared runtime USB record:");
    for (const QString& sField : CRunUsbFormat::fieldLines(oUsb)) {
        line("  " + sField);
    }
    line("shared runtime general record: " + versionsText(oGeneral));
}

void CSimPrinter::refused(const QString& sInterface, const QString& sMember)
{
    if (m_bJson) {
        json("refused", {{"interface", sInterface}, {"member", sMember}});
        return;
    }
    line(QString("refused %1.%2: not modelled (answered org.freedesktop.DBus.Error.NotSupported)")
             .arg(sInterface, sMember));
}

void CSimPrinter::settings(const CSimSettings& oSettings)
{
    if (m_bJson) {
        json("settings",
             {{"reply", oSettings.m_iReplyCode}, {"delay", oSettings.m_iDelayMs}, {"silent", oSettings.m_bSilent}},
             false);
        return;
    }
    line("now: " + oSettings.describe());
}

// Notes are for a person watching; the JSON events already say the same.
void CSimPrinter::note(const QString& sText)
{
    if (!m_bJson) {
        line(sText);
    }
}

void CSimPrinter::help(const QString& sText)
{
    if (m_bJson) {
        json("help", {{"text", sText}}, false);
        return;
    }
    std::fputs(qPrintable(sText), stdout);
    std::fflush(stdout);
}

void CSimPrinter::error(const QString& sText)
{
    if (m_bJson) {
        json("error", {{"text", sText}}, false);
        return;
    }
    std::fprintf(stderr, "veltrano-core-sim: %s\n", qPrintable(sText));
}

void CSimPrinter::exiting(const QString& sReason)
{
    if (m_bJson) {
        json("exit", {{"reason", sReason}});
        return;
    }
    line("exiting (" + sReason + ")");
}

// The event name comes first so that a person reading the stream, or grep, finds it at once.
void CSimPrinter::json(const QString& sEvent, QJsonObject oFields, bool bWithTime)
{
    if (bWithTime) {
        oFields.insert("ms", QDateTime::currentMSecsSinceEpoch());
    }
    const QByteArray aFields = QJsonDocument(oFields).toJson(QJsonDocument::Compact);
    QByteArray aLine = "{\"event\":\"" + sEvent.toUtf8() + "\"";
    if (!oFields.isEmpty()) {
        aLine += "," + aFields.mid(1);
    } else {
        aLine += "}";
    }
    aLine += "\n";
    std::fwrite(aLine.constData(), 1, size_t(aLine.size()), stdout);
    std::fflush(stdout);
}

void CSimPrinter::line(const QString& sText)
{
    const QString sTime = QDateTime::currentDateTime().toString("hh:mm:ss.zzz");
    std::fprintf(stdout, "%s %s\n", qPrintable(sTime), qPrintable(sText));
    std::fflush(stdout);
}

void CSimPrinter::addBytes(QJsonObject& oFields, const QByteArray& aData)
{
    oFields.insert("size", aData.size());
    oFields.insert("hex", QString::fromLatin1(aData.toHex()));
}

// A silent simulator sends nothing, so there is no reply code to report.
void CSimPrinter::addAnswer(QJsonObject& oFields, const CSimSettings& oSettings, bool bWithReply)
{
    if (bWithReply) {
        oFields.insert("reply", oSettings.m_bSilent ? QJsonValue() : QJsonValue(oSettings.m_iReplyCode));
    }
    if (oSettings.m_bSilent) {
        oFields.insert("answered", false);
    }
}
