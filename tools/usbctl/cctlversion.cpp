#include "tools/usbctl/cctlversion.h"

#include "tools/common/crungeneralview.h"
#include "tools/usbctl/cctlbus.h"
#include "tools/usbctl/cctloutput.h"
#include "tools/usbctl/ctlexitcodes.h"

int CCtlVersion::run(CCtlBus& oBus)
{
    QByteArray aData;
    QString sError;
    if (!oBus.readGeneral(&aData, &sError)) {
        CCtlOutput::error(sError);
        return ExitFailure;
    }
    const CRunGeneralView oView(aData);
    // A QMap: already sorted by module.
    const QMap<QString, QString> mVersions = oView.swVersions();
    if (mVersions.isEmpty()) {
        CCtlOutput::line("no software versions announced yet");
        return ExitSuccess;
    }
    int iWidth = 0;
    for (auto it = mVersions.cbegin(); it != mVersions.cend(); ++it) {
        iWidth = qMax(iWidth, int(it.key().size()) + 1);
    }
    for (auto it = mVersions.cbegin(); it != mVersions.cend(); ++it) {
        CCtlOutput::line(QString("%1 %2").arg(it.key() + ":", -iWidth).arg(it.value()));
    }
    return ExitSuccess;
}
