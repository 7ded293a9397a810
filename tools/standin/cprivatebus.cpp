#include "tools/standin/cprivatebus.h"

#include <QDir>
#include <QFile>
#include <QtDebug>

#include <signal.h>
#include <sys/prctl.h>

namespace {
const int START_TIMEOUT_MS = 10000;
const int STOP_TIMEOUT_MS = 5000;
} // namespace

CPrivateBus::CPrivateBus(bool bListenOnTcp, quint16 uiTcpPort)
    : m_oDir(QDir::tempPath() + "/veltrano-bus-XXXXXX")
    , m_uiTcpPort(uiTcpPort)
{
    if (!m_oDir.isValid()) {
        qWarning() << "CPrivateBus: no temporary directory:" << m_oDir.errorString();
        return;
    }
    if (!writeConfig(bListenOnTcp) || !startDaemon()) {
        stopDaemon();
        m_sAddress.clear();
        m_sTcpAddress.clear();
    }
}

CPrivateBus::~CPrivateBus()
{
    stopDaemon();
}

bool CPrivateBus::isRunning() const
{
    return !m_sAddress.isEmpty();
}

QString CPrivateBus::address() const
{
    return m_sAddress;
}

QString CPrivateBus::tcpAddress() const
{
    return m_sTcpAddress;
}

QDBusConnection CPrivateBus::connection(const QString& sName)
{
    if (!m_oConnectionNames.contains(sName)) {
        m_oConnectionNames.append(sName);
    }
    return QDBusConnection::connectToBus(m_sAddress, sName);
}

bool CPrivateBus::writeConfig(bool bListenOnTcp)
{
    // Port 0 lets the daemon pick a free port; it prints the one it took. TCP offers no peer
    // credentials, so anonymous clients are let in; the socket is bound to 127.0.0.1 only.
    QByteArray aTcp;
    if (bListenOnTcp) {
        aTcp =
            "  <listen>tcp:host=127.0.0.1,bind=127.0.0.1,port=" + QByteArray::number(m_uiTcpPort)
            + ",family=ipv4</listen>\n"
            "  <auth>ANONYMOUS</auth>\n"
            "  <allow_anonymous/>\n";
    }
    const QByteArray aConfig =
        "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
        "<busconfig>\n"
        "  <type>session</type>\n"
        "  <listen>unix:path=" + m_oDir.filePath("bus").toUtf8() + "</listen>\n"
        "  <auth>EXTERNAL</auth>\n"
        + aTcp +
        "  <policy context=\"default\">\n"
        "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
        "    <allow eavesdrop=\"true\"/>\n"
        "    <allow own=\"*\"/>\n"
        "  </policy>\n"
        "</busconfig>\n";

    QFile oFile(m_oDir.filePath("bus.conf"));
    if (!oFile.open(QIODevice::WriteOnly) || oFile.write(aConfig) != aConfig.size()) {
        qWarning() << "CPrivateBus: cannot write" << oFile.fileName() << oFile.errorString();
        return false;
    }
    return true;
}

bool CPrivateBus::startDaemon()
{
    m_oDaemon.setProgram("dbus-daemon");
    m_oDaemon.setArguments({"--config-file=" + m_oDir.filePath("bus.conf"), "--nofork", "--print-address"});
    m_oDaemon.setStandardErrorFile(m_oDir.filePath("daemon.log"));
    // A test that crashes or is killed runs no destructor: the daemon must not outlive it.
    m_oDaemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_oDaemon.start();
    if (!m_oDaemon.waitForStarted(START_TIMEOUT_MS)) {
        qWarning() << "CPrivateBus: dbus-daemon did not start:" << m_oDaemon.errorString();
        return false;
    }
    // The daemon prints one line once it listens: its addresses joined by ';', in no fixed order.
    while (!m_oDaemon.canReadLine()) {
        if (!m_oDaemon.waitForReadyRead(START_TIMEOUT_MS)) {
            QFile oLog(m_oDir.filePath("daemon.log"));
            oLog.open(QIODevice::ReadOnly);
            qWarning() << "CPrivateBus: dbus-daemon printed no address:" << oLog.readAll();
            return false;
        }
    }
    const QString sLine = QString::fromUtf8(m_oDaemon.readLine()).trimmed();
    for (const QString& sAddress : sLine.split(';')) {
        if (sAddress.startsWith("unix:")) {
            m_sAddress = sAddress;
        } else if (sAddress.startsWith("tcp:")) {
            m_sTcpAddress = sAddress;
        }
    }
    return !m_sAddress.isEmpty();
}

void CPrivateBus::stopDaemon()
{
    for (const QString& sName : qAsConst(m_oConnectionNames)) {
        QDBusConnection::disconnectFromBus(sName);
    }
    m_oConnectionNames.clear();
    if (m_oDaemon.state() == QProcess::NotRunning) {
        return;
    }
    m_oDaemon.terminate();
    if (!m_oDaemon.waitForFinished(STOP_TIMEOUT_MS)) {
        m_oDaemon.kill();
        m_oDaemon.waitForFinished(STOP_TIMEOUT_MS);
    }
}
