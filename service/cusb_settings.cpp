#include "service/cusb.h"

#include "log/clogstream.h"
#include "log/csettingsreader.h"

namespace {

const char* const g_szIniFile = "/etc/Veltrano/usb.ini";

const char* const g_szUseSessionBus = "Use_Session_Bus";
const char* const g_szTcpBusAddress = "TCP_Bus_Address";
const char* const g_szTcpBusName = "TCP_Bus_Name";
const char* const g_szDbusConnectionRetry = "Dbus_Connection_Retry";
const char* const g_szSetupPollRate = "Setup_Poll_Rate";

} // namespace

void CUsb::readSettingsFromIniFile()
{
    CUSB_DEBUG << "CPpp::readSettingsFromIniFile()" << endl;

    CSettingsReader oSettings(QLatin1String(g_szIniFile), QLatin1String("SETUP_GENERAL"));

    m_iUseSessionBus = oSettings.readInt(g_szUseSessionBus, 1);
    m_sTcpBusAddress = oSettings.readString(g_szTcpBusAddress, "tcp:host=127.0.0.1,port=7777");
    m_sTcpBusName = oSettings.readString(g_szTcpBusName, "remote");
    m_iDbusConnectionRetry = oSettings.readInt(g_szDbusConnectionRetry, 5000, 0);
    m_iSetupPollRate = oSettings.readInt(g_szSetupPollRate, 1000, 0);

    oSettings.writeBackIfMissing(g_szUseSessionBus, m_iUseSessionBus);
    oSettings.writeBackIfMissing(g_szTcpBusAddress, m_sTcpBusAddress);
    oSettings.writeBackIfMissing(g_szTcpBusName, m_sTcpBusName);
    oSettings.writeBackIfMissing(g_szDbusConnectionRetry, m_iDbusConnectionRetry);
    oSettings.writeBackIfMissing(g_szSetupPollRate, m_iSetupPollRate);

    // A file too large to read has been reported by the log, which read it first.
    if (!oSettings.isTooLarge()) {
        oSettings.logRejected();
    }
}
