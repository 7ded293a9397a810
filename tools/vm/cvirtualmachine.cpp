#include "tools/vm/cvirtualmachine.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <csignal>
#include <sys/prctl.h>

CVirtualMachine::CVirtualMachine(const QString& sPreparedDir, const QStringList& lHostFolders)
    : m_sPreparedDir(QDir(sPreparedDir).absolutePath())
    , m_lHostFolders(lHostFolders)
    , m_oDir(QDir::tempPath() + "/veltrano-vm-XXXXXX")
{
    QDir().mkpath(shareDir());
    m_oQemu.setProcessChannelMode(QProcess::MergedChannels);
    // A test that dies must not leave a machine behind.
    m_oQemu.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

CVirtualMachine::~CVirtualMachine()
{
    m_oAgent.abort();
    m_oQmp.abort();
    if (m_oQemu.state() != QProcess::NotRunning) {
        m_oQemu.kill();
        m_oQemu.waitForFinished(10000);
    }
}

QString CVirtualMachine::defaultDir()
{
    return qEnvironmentVariable("VELTRANO_VM_DIR", VELTRANO_VM_DIR);
}

QString CVirtualMachine::makeStick(const QString& sKind, const QStringList& lEntries)
{
    const QString sName = QString("%1-%2.img").arg(sKind).arg(++m_iSticks);
    if (!sKind.startsWith("exfat") || lEntries.isEmpty()) {
        const QString sImage = m_oDir.filePath(sName);
        return QProcess::execute(VELTRANO_MAKE_STICK, QStringList {sKind, sImage} + lEntries) == 0 ? sImage : QString();
    }
    // Entries go onto exFAT through a kernel's driver, which this machine's kernel lacks: the
    // guest makes the image, in the folder it shares.
    QString sCommand = QString("%1 %2 /run/vm/%3").arg(VELTRANO_MAKE_STICK, sKind, sName);
    for (const QString& sEntry : lEntries) {
        sCommand += " '" + sEntry + "'";
    }
    const SResult oResult = run(sCommand, 120000);
    if (oResult.iStatus != 0) {
        qWarning("make-stick in the guest: %s", oResult.aOutput.constData());
        return QString();
    }
    return shareDir() + "/" + sName;
}

bool CVirtualMachine::boot(int iTimeoutMs)
{
    const QDeadlineTimer oDeadline(iTimeoutMs);
    QFile oArch(m_sPreparedDir + "/arch");
    const bool bArm64 = oArch.open(QIODevice::ReadOnly) && oArch.readAll().trimmed() == "arm64";
    QStringList lArguments;
    if (!(isBooted() ? bootedArguments(bArm64, &lArguments) : preparedArguments(bArm64, &lArguments))) {
        return false;
    }
    const QString sQemu = bArm64 ? "qemu-system-aarch64" : "qemu-system-x86_64";
    m_oQemu.start(sQemu, lArguments + machineArguments(bArm64));
    if (!m_oQemu.waitForStarted(10000)) {
        return fail(sQemu + " does not start: " + m_oQemu.errorString());
    }
    if (!connectSocket(&m_oQmp, m_oDir.filePath("qmp.sock"), 10000)) {
        return fail("no QMP socket: " + m_oQemu.readAll());
    }
    QJsonObject oGreeting;
    if (!readQmpLine(10000, &oGreeting) || !oGreeting.contains("QMP")
        || !qmp({{"execute", "qmp_capabilities"}}).contains("return")) {
        return fail("QMP does not answer");
    }
    if (!connectSocket(&m_oAgent, m_oDir.filePath("agent.sock"), 10000)) {
        return fail("no agent socket");
    }
    const QByteArray aReady = readLine(&m_oAgent, static_cast<int>(oDeadline.remainingTime()));
    if (!aReady.startsWith("ready ")) {
        return fail("the guest did not come up in time; its console ends with:\n" + console().right(3000));
    }
    m_sKernelVersion = QString::fromLatin1(aReady.mid(6).trimmed());
    return true;
}

bool CVirtualMachine::reboot(int iTimeoutMs)
{
    const QDeadlineTimer oDeadline(iTimeoutMs);
    if (run("systemctl reboot").iStatus != 0) {
        return fail("systemctl reboot refused");
    }
    // The port stays connected on the host's side; the next agent says "ready" on it again.
    QByteArray aLine;
    do {
        aLine = readLine(&m_oAgent, static_cast<int>(oDeadline.remainingTime()));
    } while (!aLine.isEmpty() && !aLine.startsWith("ready "));
    return !aLine.isEmpty()
           || fail("the guest did not come up again; its console ends with:\n" + console().right(3000));
}

QString CVirtualMachine::error() const
{
    return m_sError;
}

QString CVirtualMachine::kernelVersion() const
{
    return m_sKernelVersion;
}

CVirtualMachine::SResult CVirtualMachine::run(const QString& sCommand, int iTimeoutMs)
{
    SResult oResult;
    if (m_oAgent.state() != QLocalSocket::ConnectedState || sCommand.contains('\n')) {
        return oResult;
    }
    m_oAgent.write(sCommand.toUtf8() + '\n');
    m_oAgent.flush();
    const QByteArray aAnswer = readLine(&m_oAgent, iTimeoutMs).trimmed();
    const int iBlank = static_cast<int>(aAnswer.indexOf(' '));
    bool bOk = false;
    const int iStatus = aAnswer.left(iBlank < 0 ? aAnswer.size() : iBlank).toInt(&bOk);
    if (bOk) {
        oResult.iStatus = iStatus;
        oResult.aOutput = iBlank < 0 ? QByteArray() : QByteArray::fromBase64(aAnswer.mid(iBlank + 1));
    }
    return oResult;
}

bool CVirtualMachine::plug(const QString& sId, const QString& sImage, bool bReadOnly)
{
    const QString sNode = "image-" + sId;
    const QJsonObject oFile {
        {"driver", "file"}, {"filename", QFileInfo(sImage).absoluteFilePath()}, {"read-only", bReadOnly}};
    const QJsonObject oImage {{"node-name", sNode}, {"driver", "raw"}, {"read-only", bReadOnly}, {"file", oFile}};
    if (!qmp({{"execute", "blockdev-add"}, {"arguments", oImage}}).contains("return")) {
        return fail("blockdev-add " + sImage + " refused");
    }
    // Sticks tell the host their medium is removable, as this one does.
    const QJsonObject oDevice {
        {"driver", "usb-storage"}, {"bus", "xhci.0"}, {"drive", sNode}, {"id", sId}, {"removable", true}};
    if (!qmp({{"execute", "device_add"}, {"arguments", oDevice}}).contains("return")) {
        return fail("device_add " + sId + " refused");
    }
    return true;
}

bool CVirtualMachine::pull(const QString& sId)
{
    // A stick plugged in again under the same id must not be taken as gone by its last removal.
    m_lEvents.clear();
    if (!qmp({{"execute", "device_del"}, {"arguments", QJsonObject {{"id", sId}}}}).contains("return")
        || !waitForEvent("DEVICE_DELETED", sId, 10000)) {
        return fail("device_del " + sId + " did not end");
    }
    const QJsonObject oNode {{"node-name", "image-" + sId}};
    return qmp({{"execute", "blockdev-del"}, {"arguments", oNode}}).contains("return") || fail("blockdev-del refused");
}

bool CVirtualMachine::eject(const QString& sId)
{
    // The SCSI disk that usb-storage made for its drive.
    const QJsonObject oDisk {{"id", QString("/machine/peripheral/%1/%1.0/legacy[0]").arg(sId)}, {"force", true}};
    return qmp({{"execute", "eject"}, {"arguments", oDisk}}).contains("return") || fail("eject " + sId + " refused");
}

QString CVirtualMachine::shareDir() const
{
    return m_oDir.filePath("share");
}

QByteArray CVirtualMachine::console() const
{
    QFile oFile(m_oDir.filePath("console.log"));
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}

QJsonObject CVirtualMachine::qmp(const QJsonObject& oCommand, int iTimeoutMs)
{
    m_oQmp.write(QJsonDocument(oCommand).toJson(QJsonDocument::Compact) + '\n');
    m_oQmp.flush();
    const QDeadlineTimer oDeadline(iTimeoutMs);
    QJsonObject oMessage;
    while (readQmpLine(static_cast<int>(oDeadline.remainingTime()), &oMessage)) {
        if (oMessage.contains("return") || oMessage.contains("error")) {
            return oMessage;
        }
    }
    return QJsonObject();
}

bool CVirtualMachine::waitForEvent(const QString& sEvent, const QString& sDevice, int iTimeoutMs)
{
    const auto isWanted = [&](const QJsonObject& oMessage) {
        return oMessage.value("event").toString() == sEvent
               && oMessage.value("data").toObject().value("device").toString() == sDevice;
    };
    for (const QJsonObject& oEvent : m_lEvents) {
        if (isWanted(oEvent)) {
            return true;
        }
    }
    const QDeadlineTimer oDeadline(iTimeoutMs);
    QJsonObject oMessage;
    while (readQmpLine(static_cast<int>(oDeadline.remainingTime()), &oMessage)) {
        if (isWanted(oMessage)) {
            return true;
        }
    }
    return false;
}

// Events that arrive between answers are kept for waitForEvent().
bool CVirtualMachine::readQmpLine(int iTimeoutMs, QJsonObject* pMessage)
{
    const QByteArray aLine = readLine(&m_oQmp, iTimeoutMs);
    if (aLine.isEmpty()) {
        return false;
    }
    *pMessage = QJsonDocument::fromJson(aLine).object();
    if (pMessage->contains("event")) {
        m_lEvents.append(*pMessage);
    }
    return true;
}

bool CVirtualMachine::connectSocket(QLocalSocket* pSocket, const QString& sPath, int iTimeoutMs)
{
    // QEMU makes its sockets only after it has started.
    const QDeadlineTimer oDeadline(iTimeoutMs);
    do {
        pSocket->connectToServer(sPath);
        if (pSocket->waitForConnected(1000)) {
            return true;
        }
        pSocket->abort();
        m_oQemu.waitForFinished(100);
    } while (!oDeadline.hasExpired() && m_oQemu.state() == QProcess::Running);
    return false;
}

QByteArray CVirtualMachine::readLine(QLocalSocket* pSocket, int iTimeoutMs)
{
    const QDeadlineTimer oDeadline(iTimeoutMs);
    while (!pSocket->canReadLine()) {
        if (oDeadline.hasExpired() || pSocket->state() != QLocalSocket::ConnectedState
            || !pSocket->waitForReadyRead(static_cast<int>(qMax<qint64>(1, oDeadline.remainingTime())))) {
            if (!pSocket->canReadLine()) {
                return QByteArray();
            }
        }
    }
    return pSocket->readLine();
}

bool CVirtualMachine::isBooted() const
{
    return QFile::exists(m_sPreparedDir + "/rootfs.ext4");
}

bool CVirtualMachine::preparedArguments(bool bArm64, QStringList* pArguments)
{
    const QString sKernel = QDir(m_sPreparedDir + "/kernel").canonicalPath();
    const QString sVersion = QFileInfo(sKernel).fileName().mid(QString("kernel-").size());
    if (sVersion.isEmpty() || !QFile::exists(sKernel + "/root/boot/vmlinuz-" + sVersion)) {
        return fail("no kernel prepared in " + m_sPreparedDir + " (tools/vm/prepare makes it)");
    }
    const QString sModules = sKernel + "/root/lib/modules/" + sVersion;
    QString sCommandLine = QString(bArm64 ? "console=ttyAMA0" : "console=ttyS0")
                           + " panic=-1 quiet veltrano.stage2=" VELTRANO_VM_GUEST_INIT
                             " veltrano.share=share veltrano.modules="
                           + sModules;
    // multidevs=remap: the machine's root spans several file systems.
    const QString sReadOnly = ",security_model=none,readonly=on,multidevs=remap";
    QString sRoot = "/";
    if (bArm64) {
        const QStringList lBinds =
            QStringList {QFileInfo(VELTRANO_VM_GUEST_INIT).absolutePath(), m_sPreparedDir} + m_lHostFolders;
        sCommandLine += " veltrano.binds=" + lBinds.join(',');
        sRoot = m_sPreparedDir + "/root";
    }
    *pArguments += {"-kernel", sKernel + "/root/boot/vmlinuz-" + sVersion};
    *pArguments += {"-initrd", m_sPreparedDir + "/initramfs.img", "-append", sCommandLine};
    *pArguments += {"-virtfs", "local,path=" + sRoot + ",mount_tag=hostroot" + sReadOnly};
    if (bArm64) {
        *pArguments += {"-virtfs", "local,path=/,mount_tag=host" + sReadOnly};
    }
    return true;
}

// The image's own kernel and initramfs (make-image copies them beside it), its root on a virtio
// disk through a qcow2 overlay: what the guest writes stays in the machine's folder.
bool CVirtualMachine::bootedArguments(bool bArm64, QStringList* pArguments)
{
    const QString sOverlay = m_oDir.filePath("root.qcow2");
    QProcess oImage;
    oImage.setProcessChannelMode(QProcess::MergedChannels);
    oImage.start("qemu-img",
                 {"create", "-q", "-f", "qcow2", "-F", "raw", "-b", m_sPreparedDir + "/rootfs.ext4", sOverlay});
    if (!oImage.waitForFinished(30000) || oImage.exitStatus() != QProcess::NormalExit || oImage.exitCode() != 0) {
        return fail("qemu-img cannot make the overlay: " + oImage.readAll() + oImage.errorString());
    }
    const QString sConsole = bArm64 ? "ttyAMA0" : "ttyS0";
    *pArguments += {"-kernel", m_sPreparedDir + "/vmlinuz", "-initrd", m_sPreparedDir + "/initrd.img"};
    *pArguments += {"-append", "root=LABEL=debvm rw panic=-1 quiet console=" + sConsole};
    *pArguments += {"-drive", "file=" + sOverlay + ",format=qcow2,if=none,id=root,cache=unsafe,discard=unmap"};
    *pArguments += {"-device", "virtio-blk-pci,drive=root"};
    return true;
}

QStringList CVirtualMachine::machineArguments(bool bArm64) const
{
    const QString sAgent = "socket,id=agent,path=" + m_oDir.filePath("agent.sock") + ",server=on,wait=off";
    QStringList lArguments;
    // Software emulation unless asked otherwise: a KVM guest hangs on some hosts.
    lArguments += {"-accel", qEnvironmentVariable("VELTRANO_VM_ACCEL", "tcg")};
    if (bArm64) {
        lArguments += {"-machine", "virt", "-cpu", "cortex-a57"};
    }
    lArguments += {"-m", "1024", "-smp", "1", "-nodefaults", "-nographic"};
    // A booted guest may reboot; the other kind powers off by a reboot when it is done.
    if (!isBooted()) {
        lArguments += "-no-reboot";
    }
    lArguments += {"-virtfs", "local,path=" + shareDir() + ",mount_tag=share,security_model=none"};
    lArguments += {"-device", "virtio-serial-pci", "-chardev", sAgent};
    lArguments += {"-device", "virtserialport,chardev=agent,name=veltrano.agent"};
    lArguments += {"-qmp", "unix:" + m_oDir.filePath("qmp.sock") + ",server=on,wait=off"};
    lArguments += {"-device", "qemu-xhci,id=xhci", "-serial", "file:" + m_oDir.filePath("console.log")};
    return lArguments;
}

bool CVirtualMachine::fail(const QString& sError)
{
    m_sError = sError;
    return false;
}
