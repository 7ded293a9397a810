#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class CGuestServices;
class CStepPrinter;
class CVirtualMachine;

// The life of one real stick on a real kernel: Debian's kernel in a test machine (QEMU,
// tools/vm), its udev, a FAT32 disk image plugged in as a USB stick, mounted for real by
// veltrano-usb, kept through the kernel's own "change" event, released on a peer's request,
// pulled out. Each step waits for its event with a bound.
class CMachineStage
{
public:
    CMachineStage(const QString& sPreparedDir, CStepPrinter* pPrinter);
    ~CMachineStage();

    // The whole story; the exit status: 0 when every step happened.
    int run();
    QString failureText() const;
    // Ends the current wait at once (Ctrl-C).
    void interrupt();

private:
    bool boot();
    bool startServices();
    bool plugIn();
    bool mounted();
    bool keptThroughChange();
    bool releaseOnRequest();
    bool pullOut();

    void begin(const QString& sTitle);
    bool await(const std::function<bool()>& fDone, int iTimeoutMs, const QString& sWhat);
    bool fail(const QString& sWhat);
    // The daemon's console lines of this step that contain one of the needles, or are warnings.
    QStringList stepLines(const QStringList& lsNeedles) const;
    void showChanges(const QJsonObject& oBefore);
    QStringList kernelLines(const QString& sPattern);

    QString m_sPreparedDir;
    CStepPrinter* m_pPrinter;
    std::unique_ptr<CVirtualMachine> m_pMachine;
    std::unique_ptr<CGuestServices> m_pGuest;
    QString m_sFailure;
    int m_iStep = 0;
    int m_iLineMark = 0;
    bool m_bInterrupted = false;
};
