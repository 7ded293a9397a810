#include "tools/usbctl/cctlstatus.h"

#include "tools/common/crunusbformat.h"
#include "tools/usbctl/cctlbus.h"
#include "tools/usbctl/cctloutput.h"
#include "tools/usbctl/cctlstick.h"
#include "tools/usbctl/ctlexitcodes.h"
#include "usb/cmounttable.h"
#include "usb/platform.h"

namespace {

// What the kernel has mounted where the record says the stick is, which the record does not
// tell: source and file system type; null when the record names no path or nothing is there.
QJsonValue mountJson(const CRunUsbView& oView)
{
    const QByteArray aPath = oView.value(CRunUsb::UsbMountPath).toString().toUtf8();
    const CMountTable oTable(Platform::mountTable());
    const QByteArray aSource = aPath.isEmpty() ? QByteArray() : oTable.sourceAt(aPath);
    if (aSource.isNull()) {
        return QJsonValue::Null;
    }
    return QJsonObject({{"source", QString::fromUtf8(aSource)}, {"type", QString::fromUtf8(oTable.typeAt(aPath))}});
}

} // namespace

int CCtlStatus::run(CCtlBus& oBus, bool bJson)
{
    QByteArray aData;
    QString sError;
    if (!oBus.readUsb(&aData, &sError)) {
        CCtlOutput::error(sError);
        return ExitFailure;
    }
    const CRunUsbView oView(aData);
    const QJsonValue vMount = mountJson(oView);
    if (bJson) {
        QJsonObject oRecord = CRunUsbFormat::toJson(oView);
        oRecord.insert("changed", CRunUsbFormat::changedJson(oView));
        oRecord.insert("mount", vMount);
        CCtlOutput::json(oRecord);
        return ExitSuccess;
    }
    CCtlOutput::line(CCtlStick::describe(oView));
    if (vMount.isObject()) {
        CCtlOutput::line(QString("file system %1 from %2, as the mount table shows it")
                             .arg(vMount["type"].toString(), vMount["source"].toString()));
    }
    CCtlOutput::line(
        QString("shared runtime USB record (%1 bytes; \"changed\": the field has been written):").arg(oView.size()));
    for (const QString& sLine : CRunUsbFormat::fieldLines(oView)) {
        CCtlOutput::line("  " + sLine);
    }
    return ExitSuccess;
}
