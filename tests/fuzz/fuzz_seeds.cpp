// Writes the fuzzers' seed corpus with the records' own writers: fuzz_seeds <folder> gives
// <folder>/crunusb/ and <folder>/crungeneralnonwm/.

#include "records/crungeneralnonwm.h"
#include "records/crunusb.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>

namespace {

bool writeSeed(const QString& sFolder, const QString& sName, const QByteArray& aRecord)
{
    QDir().mkpath(sFolder);
    QFile oFile(sFolder + "/" + sName);
    return oFile.open(QIODevice::WriteOnly) && oFile.write(aRecord) == aRecord.size();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <folder>\n");
        return 2;
    }
    const QString sUsb = QString::fromLocal8Bit(argv[1]) + "/crunusb";
    const QString sGeneral = QString::fromLocal8Bit(argv[1]) + "/crungeneralnonwm";
    bool bOk = true;

    CRunUsb oEmptyUsb;
    bOk &= writeSeed(sUsb, "empty", oEmptyUsb.toByteArray());
    CRunUsb oMounted;
    oMounted.setUsbDeviceState(2);
    oMounted.setUsbInfoText("Stick \u00e4\u00f6\u00fc");
    oMounted.setUsbDataAvailable(true);
    oMounted.setUpdateFileFound(true);
    oMounted.setDatabaseDirFound(true);
    oMounted.setLogbookDirFound(true);
    oMounted.setUsbDeviceNode("/dev/sda");
    oMounted.setUsbDeviceText("Acme_Stick_0001");
    oMounted.setUsbVendor("Acme");
    oMounted.setUsbModel("Stick");
    oMounted.setUsbMountPath("/mnt/usbstick");
    oMounted.setUsbCapacity(Q_INT64_C(17179869184));
    oMounted.setStartUnmountUsbDevice(true);
    oMounted.setUnmountUsbDeviceActive(true);
    oMounted.setUsbDeviceUnmounted(true);
    oMounted.setUsbAuxFlag(true);
    bOk &= writeSeed(sUsb, "mounted", oMounted.toByteArray());

    CRunGeneralNonWM oEmptyGeneral;
    bOk &= writeSeed(sGeneral, "empty", oEmptyGeneral.toByteArray());
    CRunGeneralNonWM oVersions;
    oVersions.setSwVersion("USB", "1.1.1");
    oVersions.setSwVersion("CORE", "2.0");
    oVersions.setGeneralText1("text \u00df");
    oVersions.setGeneralText22("last");
    oVersions.setGeneralTime(QDateTime::fromMSecsSinceEpoch(Q_INT64_C(1700000000000), Qt::UTC));
    bOk &= writeSeed(sGeneral, "versions", oVersions.toByteArray());

    return bOk ? 0 : 1;
}
