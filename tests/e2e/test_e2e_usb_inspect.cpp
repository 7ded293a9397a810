// The real service looking at what a mounted stick carries: one case per folder layout, and
// the file-system size, also above 4 GiB.

#include "ce2efixture.h"

#include <QtTest>

#include <sys/statvfs.h>

namespace {

const QString g_sUpdate = "/mnt/usbstick/Veltrano/update ";
const QString g_sDatabase = "/mnt/usbstick/Veltrano/database ";
const QString g_sLogbook = "/mnt/usbstick/Veltrano/logbook ";

} // namespace

class TestE2eUsbInspect : public CE2eFixture
{
    Q_OBJECT

private slots:
    void reports_the_product_folders_data();
    void reports_the_product_folders();
    void reports_the_total_size_beyond_4_gib();

private:
    QJsonObject inspect(const QString& sFolder, const QString& sPrepare = QString());
};

QJsonObject TestE2eUsbInspect::inspect(const QString& sFolder, const QString& sPrepare)
{
    m_pSticks->addStick("sda");
    m_pService->setSticks("vfat:/dev/sda=" + sFolder);
    m_pService->setPrepareCommand(sPrepare);
    startSimulator();
    startService();
    join();

    // Detected, inspected (the one publication with state 2), then the merged record.
    const QList<QJsonObject> lRecords = publications();
    if (lRecords.size() != 3 || lRecords[1].value("UsbDeviceState").toInt() != 2) {
        qWarning() << "unexpected publications" << lRecords;
        return QJsonObject();
    }
    return lRecords[1];
}

void TestE2eUsbInspect::reports_the_product_folders_data()
{
    QTest::addColumn<QStringList>("lEntries");
    QTest::addColumn<QString>("sFlags"); // data, update, database, logbook
    QTest::addColumn<QStringList>("lMessages");

    const QString sNoLogbook = "Log directory not found on USB-Stick  " + g_sLogbook;
    QTest::newRow("no Veltrano folder") << QStringList() << "----"
                                        << QStringList(
                                               {"Update directory not found on USB-Stick  " + g_sUpdate, sNoLogbook});
    QTest::newRow("empty update folder") << QStringList({"Veltrano/update/"}) << "----"
                                         << QStringList({"Update directory exists on USB-Stick  " + g_sUpdate,
                                                         "Found  2  files in Update dir ",
                                                         "No valid update file in  " + g_sUpdate, sNoLogbook});
    QTest::newRow("update folder with a subfolder")
        << QStringList({"Veltrano/update/v2/"}) << "DU--"
        << QStringList({"Found  3  files in Update dir ", "Found update file in  " + g_sUpdate, sNoLogbook});
    QTest::newRow("only hidden files in update")
        << QStringList({"Veltrano/update/.hidden", "Veltrano/update/.more"}) << "----"
        << QStringList({"Found  2  files in Update dir ", "No valid update file in  " + g_sUpdate, sNoLogbook});
    QTest::newRow("plain file named update") << QStringList({"Veltrano/update"}) << "----"
                                             << QStringList({"Update directory exists on USB-Stick  " + g_sUpdate,
                                                             "Found  0  files in Update dir ", sNoLogbook});
    QTest::newRow("database only") << QStringList({"Veltrano/database/"}) << "D-D-"
                                   << QStringList({"Database directory exists on USB-Stick  " + g_sDatabase,
                                                   "Update directory not found on USB-Stick  " + g_sUpdate,
                                                   sNoLogbook});
    QTest::newRow("all three") << QStringList({"Veltrano/update/image.bin", "Veltrano/database/", "Veltrano/logbook/"})
                               << "DUDL"
                               << QStringList({"Found update file in  " + g_sUpdate,
                                               "Database directory exists on USB-Stick  " + g_sDatabase,
                                               "Log directory exists on USB-Stick   " + g_sLogbook});
}

void TestE2eUsbInspect::reports_the_product_folders()
{
    QFETCH(QStringList, lEntries);
    QFETCH(QString, sFlags);
    QFETCH(QStringList, lMessages);

    const QString sFolder = makeStickFolder(lEntries);
    const QJsonObject oRecord = inspect(sFolder);
    QVERIFY(!oRecord.isEmpty());

    QCOMPARE(oRecord.value("UsbDataAvailable").toBool(), sFlags[0] == 'D');
    QCOMPARE(oRecord.value("UpdateFileFound").toBool(), sFlags[1] == 'U');
    QCOMPARE(oRecord.value("DatabaseDirFound").toBool(), sFlags[2] == 'D');
    QCOMPARE(oRecord.value("LogbookDirFound").toBool(), sFlags[3] == 'L');
    QCOMPARE(oRecord.value("UsbMountPath").toString(), QString("/mnt/usbstick"));
    QCOMPARE(oRecord.value("UsbDeviceUnmounted").toBool(), false);
    for (const QString& sMessage : lMessages) {
        QVERIFY2(m_pService->count(sMessage) == 1, qPrintable(sMessage));
    }
    // A missing update or logbook folder is worth a warning, a missing database folder not.
    const QStringList lMissing = m_pService->linesWith("not found on USB-Stick");
    QCOMPARE(lMissing.size(), lMessages.filter("not found on USB-Stick").size());
    for (const QString& sLine : lMissing) {
        QVERIFY2(sLine.contains(" W: "), qPrintable(sLine));
    }

    // The total size of the stick's file system, as the kernel reports it.
    struct statvfs oFileSystem;
    QCOMPARE(statvfs(sFolder.toUtf8().constData(), &oFileSystem), 0);
    const qint64 llExpected = qint64(oFileSystem.f_frsize) * qint64(oFileSystem.f_blocks);
    QCOMPARE(oRecord.value("UsbCapacity").toInteger(), llExpected);
    QCOMPARE(m_pService->count(QString("'statvfs' reports  f_frsize =   %1  f_blocks =  %2 ")
                                   .arg(oFileSystem.f_frsize)
                                   .arg(oFileSystem.f_blocks)),
             1);
}

void TestE2eUsbInspect::reports_the_total_size_beyond_4_gib()
{
    // A 16 GiB tmpfs, mounted inside the service's namespace only.
    const QString sFolder = makeStickFolder({});
    const QJsonObject oRecord = inspect(sFolder, "mount -t tmpfs -o size=16g tmpfs " + sFolder + " && mkdir -p "
                                                     + sFolder + "/Veltrano/logbook");
    QVERIFY(!oRecord.isEmpty());
    QCOMPARE(oRecord.value("UsbCapacity").toInteger(), Q_INT64_C(17179869184));
    QCOMPARE(oRecord.value("LogbookDirFound").toBool(), true);
    QCOMPARE(m_pService->count("'statvfs' reports  f_frsize =   4096  f_blocks =  4194304 "), 1);
}

QTEST_GUILESS_MAIN(TestE2eUsbInspect)
#include "test_e2e_usb_inspect.moc"
