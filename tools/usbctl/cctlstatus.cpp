#include "tools/usbctl/cctlstatus.h"

#include "tools/common/crunusbformat.h"
#include "tools/usbctl/cctlbus.h"
#include "tools/usbctl/cctloutput.h"
#include "tools/usbctl/cctlstick.h"
#include "tools/usbctl/ctlexitcodes.h"

int CCtlStatus::run(CCtlBus& oBus, bool bJson)
{
    QByteArray aData;
    QString sError;
    if (!oBus.readUsb(&aData, &sError)) {
        CCtlOutput::error(sError);
        return ExitFailure;
    }
    const CRunUsbView oView(aData);
    if (bJson) {
        QJsonObject oRecord = CRunUsbFormat::toJson(oView);
        oRecord.insert("changed", CRunUsbFormat::changedJson(oView));
        CCtlOutput::json(oRecord);
        return ExitSuccess;
    }
    CCtlOutput::line(CCtlStick::describe(oView));
    CCtlOutput::line(
        QString("shared runtime USB record (%1 bytes; \"changed\": the field has been written):").arg(oView.size()));
    for (const QString& sLine : CRunUsbFormat::fieldLines(oView)) {
        CCtlOutput::line("  " + sLine);
    }
    return ExitSuccess;
}
