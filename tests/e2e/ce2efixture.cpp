#include "ce2efixture.h"

#include "usb/cmounttable.h"

#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtTest>

void CE2eFixture::init()
{
    // Made first, so that the service inherits it and sees none of the machine's devices.
    m_pSticks.reset(new CStickBed);
    m_pBus.reset(new CPrivateBus);
    QVERIFY(m_pBus->isRunning());
    m_oClient = m_pBus->connection("peer");
    QVERIFY(m_oClient.isConnected());
    m_pTriggers.reset(new CSignalRecorder(m_oClient, "sigTrigger"));
    m_pService.reset(new CServiceProcess(m_pBus->address()));
    m_pStickFolders.reset(new QTemporaryDir(QDir::tempPath() + "/veltrano-sticks-XXXXXX"));
}

void CE2eFixture::cleanup()
{
    // Qt tells of a misuse (a thread touching what another owns, a failed connect) in a warning
    // of its own words, without the service's prefix: in any test, that is a fault.
    const QStringList lQtWarnings =
        m_pService->lines().filter(QRegularExpression("^NOID\\(\\d+\\):\\S+ [WCF]: (?!File: cusb Line: )"));
    // What the service said is the first thing to read when a test fails.
    if (QTest::currentTestFailed()) {
        qInfo().noquote() << "service console:\n" + m_pService->lines().join('\n');
    }
    m_pService.reset();
    m_pSim.reset();
    m_pTriggers.reset();
    m_oClient = QDBusConnection(QString());
    m_pBus.reset();
    m_pSticks.reset();
    m_pStickFolders.reset();
    QVERIFY2(lQtWarnings.isEmpty(), qPrintable("Qt warned:\n" + lQtWarnings.join('\n')));
}

void CE2eFixture::startService()
{
    QVERIFY(m_pService->start());
    // The first trigger leaves after the subscriptions and the registration are in place.
    QTRY_VERIFY_WITH_TIMEOUT(!m_pTriggers->signalsFrom("/Signals").isEmpty(), 5000);
}

void CE2eFixture::startSimulator(const QStringList& lArguments)
{
    m_pSim.reset(new CCoreSimProcess(m_pBus->address(), lArguments));
    QVERIFY(m_pSim->start());
}

void CE2eFixture::sendSignal(const QString& sMember, const QList<int>& lArguments)
{
    QDBusMessage oSignal = QDBusMessage::createSignal("/Peer", "com.Quorvik.Veltrano.Signals", sMember);
    for (int iArgument : lArguments) {
        oSignal << iArgument;
    }
    QVERIFY(m_oClient.send(oSignal));
}

void CE2eFixture::join()
{
    QVERIFY(m_pSim);
    sendSignal("sigProcessStart", {s_iPeerPid, servicePid()});
    QTRY_VERIFY_WITH_TIMEOUT(m_pSim->hasJoined(), 15000);
}

void CE2eFixture::startAndJoin()
{
    startSimulator();
    startService();
    join();
}

int CE2eFixture::servicePid() const
{
    return static_cast<int>(m_pService->pid());
}

QString CE2eFixture::makeStickFolder(const QStringList& lEntries)
{
    static int s_iCount = 0;
    const QString sFolder = m_pStickFolders->filePath(QString("stick%1").arg(++s_iCount));
    QDir().mkpath(sFolder);
    for (const QString& sEntry : lEntries) {
        const QString sPath = sFolder + "/" + sEntry;
        if (sEntry.endsWith('/')) {
            QDir().mkpath(sPath);
        } else {
            QDir().mkpath(QFileInfo(sPath).path());
            QFile oFile(sPath);
            oFile.open(QIODevice::WriteOnly);
            oFile.write("content\n");
        }
    }
    return sFolder;
}

QList<QJsonObject> CE2eFixture::publications() const
{
    return m_pSim->publications();
}

QList<QJsonObject> CE2eFixture::publishedBy(int iPid) const
{
    return CCoreSimProcess::recordsOf(m_pSim->events("setRuntimeUsb"), iPid);
}

void CE2eFixture::verifyUnmountPublications(qsizetype iFirst, bool bUnmounted)
{
    const QList<QJsonObject> lRecords = publications().mid(iFirst, 3);
    QCOMPARE(lRecords.size(), 3);
    QCOMPARE(lRecords[0].value("StartUnmountUsbDevice").toBool(), false);
    QCOMPARE(lRecords[0].value("UnmountUsbDeviceActive").toBool(), true);
    QCOMPARE(lRecords[1].value("UnmountUsbDeviceActive").toBool(), false);
    QCOMPARE(lRecords[1].value("UsbDeviceUnmounted").toBool(), bUnmounted);
    QCOMPARE(lRecords[2].value("UsbAuxFlag").toBool(), false);
}

int CE2eFixture::mountsAtStick() const
{
    return static_cast<int>(m_pService->mountTable().count(" /mnt/usbstick "));
}

QByteArray CE2eFixture::stickSource() const
{
    return CMountTable(m_pService->mountTable()).sourceAt("/mnt/usbstick");
}
