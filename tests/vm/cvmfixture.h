#pragma once

#include "tools/vm/cguestservices.h"
#include "tools/vm/cvirtualmachine.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// What every test on the real kernel starts from: one booted test machine per test program, in
// which the core simulator and the real veltrano-usb run on the guest's private bus. What the
// test looks at is what the guest really did (m_pGuest): the records the simulator received,
// the daemon's console lines and the guest's /proc/mounts. Each test ends with no stick in.
class CVmFixture : public QObject
{
    Q_OBJECT

protected:
    // Boots the test machine (the prepared one unless a folder is given, e.g. a booted image's);
    // initTestCase() does, unless a test program has its own.
    void bootMachine(const QString& sDir = QString());

    // Plugs in and pulls out as the machine does, and keeps count for cleanup().
    bool plug(const QString& sId, const QString& sImage, bool bReadOnly = false);
    bool pull(const QString& sId);
    // Pulls the recorded stick and waits for the removal's whole story: the record cleared with
    // the unmounted flag, and the flag reset five seconds later.
    bool pullAndWait(const QString& sId);
    // Plugs a stick in and waits until the daemon has published it detected (state 1) and then
    // mounted it (state 2) or told why not; the last record, empty when that took too long.
    QJsonObject plugAndWait(const QString& sId, const QString& sImage, bool bReadOnly = false);

    // The simulator as the core, then the daemon, which is asked to join until it does.
    void startAndJoin();
    // Whether the condition holds throughout the span, checked four times a second.
    bool holdsFor(const std::function<bool()>& fCondition, int iMs);

    std::unique_ptr<CVirtualMachine> m_pMachine;
    std::unique_ptr<CGuestServices> m_pGuest;

protected slots:
    // Pulls what a test left plugged in; a test program with a cleanup() of its own calls it.
    void cleanup();

private slots:
    void initTestCase();
    void cleanupTestCase();

private:
    QStringList m_lPlugged;
};
