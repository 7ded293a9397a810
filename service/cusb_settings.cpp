#include "service/cusb.h"

#include "log/clogstream.h"

#include <QSettings>

namespace {

const char* const g_szIniFile = "/etc/Veltrano/usb.ini";

const char* const g_szUseSessionBus = "Use_Session_Bus";
const char* const g_szTcpBusAddress = "TCP_Bus_Address";
const char* const g_szTcpBusName = "TCP_Bus_Name";
const char* const g_szDbusConnectionRetry = "Dbus_Connection_Retry";
const char* const g_szSetupPollRate = "Setup_Poll_Rate";

// Keys missing from the file are written back, so after the first start it lists them all.
void writeBackIfMissing(QSettings& oSettings, const char* szKey, const QVariant& oValue)
{
    if (!oSettings.contains(szKey)) {
        oSettings.setValue(szKey, oValue);
    }
}

} // namespace

void CUsb::readSettingsFromIniFile()
{
    CUSB_DEBUG << "CPpp::readSettingsFromIniFile()" << endl;

    QSettings oSettings(g_szIniFile, QSettings::IniFormat);
    oSettings.beginGroup("SETUP_GENERAL");

    m_iUseSessionBus = oSettings.value(g_szUseSessionBus, 1).toInt();
    m_sTcpBusAddress = oSettings.value(g_szTcpBusAddress, "tcp:host=127.0.0.1,port=7777").toString();
    m_sTcpBusName = oSettings.value(g_szTcpBusName, "remote").toString();
    m_iDbusConnectionRetry = oSettings.value(g_szDbusConnectionRetry, 5000).toInt();
    m_iSetupPollRate = oSettings.value(g_szSetupPollRate, 1000).toInt();

    writeBackIfMissing(oSettings, g_szUseSessionBus, m_iUseSessionBus);
    writeBackIfMissing(oSettings, g_szTcpBusAddress, m_sTcpBusAddress);
    writeBackIfMissing(oSettings, g_szTcpBusName, m_sTcpBusName);
    writeBackIfMissing(oSettings, g_szDbusConnectionRetry, m_iDbusConnectionRetry);
    writeBackIfMissing(oSettings, g_szSetupPollRate, m_iSetupPollRate);

    oSettings.endGroup();
}
