// The shipped usb.ini sample against the real daemon: it holds exactly the keys and defaults
// that the daemon writes into an empty file, so the daemon finds nothing to write back and
// the sample keeps its comments.

#include "tests/e2e/ce2efixture.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

#include <csignal>

namespace {

QByteArray sample()
{
    QFile oFile(VELTRANO_SAMPLE_INI);
    return oFile.open(QIODevice::ReadOnly) ? oFile.readAll() : QByteArray();
}

QMap<QString, QString> valuesOf(const QString& sPath)
{
    QSettings oSettings(sPath, QSettings::IniFormat);
    QMap<QString, QString> mValues;
    for (const QString& sKey : oSettings.allKeys()) {
        mValues.insert(sKey, oSettings.value(sKey).toString());
    }
    return mValues;
}

} // namespace

class TestSampleIni : public CE2eFixture
{
    Q_OBJECT

private slots:
    void holds_what_the_daemon_writes_into_an_empty_file()
    {
        m_pService->setIni(QString());
        startService();
        // Both groups are written back while the service object is made, before the first trigger.
        QCOMPARE(valuesOf(VELTRANO_SAMPLE_INI), valuesOf(m_pService->iniPath()));
    }

    void is_left_as_it_is()
    {
        const QByteArray aSample = sample();
        QVERIFY(aSample.contains("\n;"));
        m_pService->setIni(QString::fromUtf8(aSample));
        startService();
        m_pService->sendSignal(SIGTERM);
        QVERIFY(m_pService->waitForExit(10000));
        QCOMPARE(m_pService->exitCode(), 0);

        QFile oIni(m_pService->iniPath());
        QVERIFY(oIni.open(QIODevice::ReadOnly));
        QCOMPARE(oIni.readAll(), aSample);
    }
};

QTEST_GUILESS_MAIN(TestSampleIni)
#include "test_sample_ini.moc"
