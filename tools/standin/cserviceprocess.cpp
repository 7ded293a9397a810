#include "tools/standin/cserviceprocess.h"

#include "tools/standin/targetprogram.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <csignal>
#include <sys/prctl.h>

CServiceProcess::CServiceProcess(const QString& sBusAddress)
    : m_oRoot(QDir::tempPath() + "/veltrano-e2e-XXXXXX")
    , m_sIni("[DEBUG_MESSAGES]\nDisplay_Message=1\nDisplay_Level=0\n")
    , m_lCommand(targetCommand(VELTRANO_SERVICE))
{
    m_oEnvironment.insert("DBUS_SESSION_BUS_ADDRESS", sBusAddress);
    m_oProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that dies must not leave a daemon behind.
    m_oProcess.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    connect(&m_oProcess, &QProcess::readyReadStandardOutput, this, &CServiceProcess::readOutput);
    connect(&m_oProcess, &QProcess::finished, this, &CServiceProcess::finished);
}

CServiceProcess::~CServiceProcess()
{
    if (m_oProcess.state() != QProcess::NotRunning) {
        m_oProcess.kill();
        m_oProcess.waitForFinished(5000);
    }
}

void CServiceProcess::setIni(const QString& sContent)
{
    m_sIni = sContent;
}

void CServiceProcess::setSticks(const QString& sSticks)
{
    m_oEnvironment.insert("VELTRANO_SHIM_STICKS", sSticks);
}

void CServiceProcess::setEnvironment(const QString& sName, const QString& sValue)
{
    m_oEnvironment.insert(sName, sValue);
}

void CServiceProcess::setPrepareCommand(const QString& sCommand)
{
    m_sPrepare = sCommand;
}

void CServiceProcess::setCommand(const QStringList& lCommand)
{
    m_lCommand = lCommand;
}

QString CServiceProcess::rootDir() const
{
    return m_oRoot.path();
}

QString CServiceProcess::iniPath() const
{
    return rootDir() + "/etc/Veltrano/usb.ini";
}

QString CServiceProcess::logDir() const
{
    return rootDir() + "/log/Veltrano";
}

QString CServiceProcess::mountDir() const
{
    return rootDir() + "/mnt";
}

bool CServiceProcess::start()
{
    QDir().mkpath(rootDir() + "/etc/Veltrano");
    QDir().mkpath(logDir());
    QDir().mkpath(mountDir());
    QFile oIni(iniPath());
    if (!oIni.open(QIODevice::WriteOnly) || oIni.write(m_sIni.toUtf8()) < 0) {
        return false;
    }
    oIni.close();

    QString sCommand = "exec \"$0\" \"$@\"";
    if (!m_sPrepare.isEmpty()) {
        sCommand = m_sPrepare + " && " + sCommand;
    }
    // Taken now, so that an emulated-device testbed made after construction is inherited.
    QProcessEnvironment oEnvironment = QProcessEnvironment::systemEnvironment();
    oEnvironment.insert(m_oEnvironment);
    oEnvironment.insert("LD_PRELOAD", oEnvironment.value("LD_PRELOAD") + " " + VELTRANO_MOUNTSHIM);
    m_oProcess.setProcessEnvironment(oEnvironment);
    m_oProcess.start(VELTRANO_NSRUN, QStringList {"--root", rootDir(), "--", "bash", "-c", sCommand} + m_lCommand);
    return m_oProcess.waitForStarted(5000);
}

qint64 CServiceProcess::pid() const
{
    return m_oProcess.processId();
}

bool CServiceProcess::isRunning() const
{
    return m_oProcess.state() != QProcess::NotRunning;
}

void CServiceProcess::sendSignal(int iSignal)
{
    ::kill(static_cast<pid_t>(pid()), iSignal);
}

bool CServiceProcess::waitForExit(int iTimeoutMs)
{
    const bool bExited = m_oProcess.state() == QProcess::NotRunning || m_oProcess.waitForFinished(iTimeoutMs);
    readOutput();
    return bExited;
}

int CServiceProcess::exitCode() const
{
    return m_oProcess.exitCode();
}

QProcess::ExitStatus CServiceProcess::exitStatus() const
{
    return m_oProcess.exitStatus();
}

QStringList CServiceProcess::lines()
{
    drainOutput();
    return m_lLines;
}

QStringList CServiceProcess::linesWith(const QString& sNeedle)
{
    return lines().filter(sNeedle);
}

int CServiceProcess::count(const QString& sNeedle)
{
    return static_cast<int>(linesWith(sNeedle).size());
}

QByteArray CServiceProcess::mountTable() const
{
    QFile oMounts(QString("/proc/%1/mountinfo").arg(pid()));
    return oMounts.open(QIODevice::ReadOnly) ? oMounts.readAll() : QByteArray();
}

bool CServiceProcess::isStickMounted() const
{
    return mountTable().contains(" /mnt/usbstick ");
}

qint64 CServiceProcess::timeOf(const QString& sLine)
{
    static const QRegularExpression oTime("^NOID\\(\\d+\\):(\\d\\d):(\\d\\d):(\\d\\d):(\\d\\d\\d) ");
    const QRegularExpressionMatch oMatch = oTime.match(sLine);
    if (!oMatch.hasMatch()) {
        return -1;
    }
    return ((oMatch.captured(1).toLongLong() * 60 + oMatch.captured(2).toLongLong()) * 60
            + oMatch.captured(3).toLongLong())
               * 1000
           + oMatch.captured(4).toLongLong();
}

QString CServiceProcess::messageOf(const QString& sLine)
{
    static const QRegularExpression oPrefix("File: cusb Line:  \\d+ :  ");
    const QRegularExpressionMatch oMatch = oPrefix.match(sLine);
    return oMatch.hasMatch() ? sLine.mid(oMatch.capturedEnd()) : QString();
}

QString CServiceProcess::plainLine(const QByteArray& aLine)
{
    static const QRegularExpression oColour("\x1b\\[[0-9]*m");
    return QString::fromLatin1(aLine).remove(oColour);
}

// A line the daemon wrote before a peer saw its effect may still wait in the pipe while the
// test already looks for it: take in what the pipe holds now.
void CServiceProcess::drainOutput()
{
    while (m_oProcess.waitForReadyRead(0)) {
    }
}

void CServiceProcess::readOutput()
{
    m_aPartial += m_oProcess.readAllStandardOutput();
    int iEnd = m_aPartial.indexOf('\n');
    while (iEnd >= 0) {
        m_lLines << plainLine(m_aPartial.left(iEnd));
        m_aPartial.remove(0, iEnd + 1);
        iEnd = m_aPartial.indexOf('\n');
        emit lineReceived(m_lLines.last());
    }
}
