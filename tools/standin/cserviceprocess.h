#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// The real veltrano-usb under test: started in a private mount namespace whose /etc, /var/log
// and /mnt are folders of this object (rootDir()), on the given bus, with the vfat/ntfs mount
// stand-in preloaded. Its console log (on by default) is collected line by line.
class CServiceProcess : public QObject
{
    Q_OBJECT

public:
    explicit CServiceProcess(const QString& sBusAddress);
    ~CServiceProcess() override;

    // The usb.ini written before the start; the default shows every message on the console.
    void setIni(const QString& sContent);
    // Sticks the mount stand-in serves, "vfat:/dev/sda=<folder>;ntfs:...".
    void setSticks(const QString& sSticks);
    void setEnvironment(const QString& sName, const QString& sValue);
    // Shell commands run inside the namespace before the daemon starts (e.g. mount a sized tmpfs).
    void setPrepareCommand(const QString& sCommand);
    // Another daemon than this build's, e.g. a cross build's under its emulator; it must exec
    // the daemon in its own process, whose pid the service announces.
    void setCommand(const QStringList& lCommand);

    QString rootDir() const;
    QString iniPath() const;
    QString logDir() const;
    QString mountDir() const;

    bool start();
    qint64 pid() const;
    bool isRunning() const;
    void sendSignal(int iSignal);
    bool waitForExit(int iTimeoutMs);
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;

    // Console lines with the colour codes removed, e.g. "NOID(12):10:00:00:000 W: File: ...".
    // Each takes in first what the daemon has written so far.
    QStringList lines();
    // The lines that contain sNeedle.
    QStringList linesWith(const QString& sNeedle);
    int count(const QString& sNeedle);
    // Milliseconds since midnight (UTC) of a console line, -1 if it has no time.
    static qint64 timeOf(const QString& sLine);
    // The message items of a console line: the text after "File: cusb Line:  <n> :  ".
    static QString messageOf(const QString& sLine);
    // A console line as written, without its colour codes.
    static QString plainLine(const QByteArray& aLine);

    // The mount table of the daemon's namespace, as /proc/<pid>/mountinfo has it.
    QByteArray mountTable() const;
    // Whether /mnt/usbstick is a mount point inside the daemon's namespace.
    bool isStickMounted() const;

signals:
    // Emitted for each console line as it arrives, after lines() has it.
    void lineReceived(const QString& sLine);
    void finished();

private slots:
    void readOutput();

private:
    void drainOutput();

    QProcess m_oProcess;
    QTemporaryDir m_oRoot;
    QString m_sIni;
    QString m_sPrepare;
    QStringList m_lCommand;
    QProcessEnvironment m_oEnvironment; // additions to the test's own environment
    QByteArray m_aPartial;
    QStringList m_lLines;
};
