// GLib names a member "signals", which Qt defines as a keyword: GLib comes first.
#include <umockdev.h>

#include "tools/standin/cstickbed.h"

#include <QByteArrayList>
#include <QDir>
#include <QFile>
#include <vector>

namespace {

QMap<QString, QString> stickProperties(const QString& sName)
{
    return {
        {"ID_BUS", "usb"},
        {"ID_TYPE", "disk"},
        {"ID_USB_DRIVER", "usb-storage"},
        {"ID_VENDOR", "Acme"},
        {"ID_MODEL", "Stick_" + sName},
        {"ID_SERIAL", "Acme_Stick_" + sName + "_0001"},
    };
}

} // namespace

CStickBed::CStickBed()
    : m_pTestbed(umockdev_testbed_new())
{
}

CStickBed::~CStickBed()
{
    g_object_unref(m_pTestbed);
}

QString CStickBed::addStick(const QString& sName, const QMap<QString, QString>& mProperties)
{
    QMap<QString, QString> mAll = stickProperties(sName);
    for (auto it = mProperties.cbegin(); it != mProperties.cend(); ++it) {
        if (it.value().isEmpty()) {
            mAll.remove(it.key());
        } else {
            mAll.insert(it.key(), it.value());
        }
    }
    return addDisk(sName, mAll);
}

QString CStickBed::addStickBytes(const QString& sName, const QMap<QString, QByteArray>& mProperties)
{
    QMap<QString, QByteArray> mAll;
    const QMap<QString, QString> mOwn = stickProperties(sName);
    for (auto it = mOwn.cbegin(); it != mOwn.cend(); ++it) {
        mAll.insert(it.key(), it.value().toUtf8());
    }
    mAll.insert(mProperties);
    return addDiskBytes(sName, mAll);
}

QString CStickBed::addDisk(const QString& sName, const QMap<QString, QString>& mProperties)
{
    QMap<QString, QByteArray> mAll;
    for (auto it = mProperties.cbegin(); it != mProperties.cend(); ++it) {
        mAll.insert(it.key(), it.value().toUtf8());
    }
    return addDiskBytes(sName, mAll);
}

QString CStickBed::addDiskBytes(const QString& sName, const QMap<QString, QByteArray>& mProperties)
{
    QMap<QString, QByteArray> mAll = mProperties;
    mAll.insert("DEVNAME", "/dev/" + sName.toUtf8());
    mAll.insert("DEVTYPE", "disk");

    // umockdev takes NULL-terminated name/value lists.
    QByteArrayList lStorage;
    for (auto it = mAll.cbegin(); it != mAll.cend(); ++it) {
        lStorage << it.key().toUtf8() << it.value();
    }
    std::vector<const char*> vProperties;
    for (const QByteArray& aItem : lStorage) {
        vProperties.push_back(aItem.constData());
    }
    vProperties.push_back(nullptr);
    const char* aszAttributes[] = {"size", "31277232", nullptr};

    gchar* szSysPath =
        umockdev_testbed_add_devicev(m_pTestbed, "block", sName.toUtf8().constData(), nullptr,
                                     const_cast<gchar**>(aszAttributes), const_cast<gchar**>(vProperties.data()));
    const QString sSysPath = QString::fromUtf8(szSysPath);
    g_free(szSysPath);

    // Its device node, which the service looks for when a disk reports a change.
    addNode(sName);
    return sSysPath;
}

void CStickBed::uevent(const QString& sSysPath, const QString& sAction)
{
    umockdev_testbed_uevent(m_pTestbed, sSysPath.toUtf8().constData(), sAction.toUtf8().constData());
}

void CStickBed::remove(const QString& sSysPath)
{
    umockdev_testbed_remove_device(m_pTestbed, sSysPath.toUtf8().constData());
}

void CStickBed::addNode(const QString& sName)
{
    gchar* szRoot = umockdev_testbed_get_root_dir(m_pTestbed);
    const QString sDevDir = QString::fromUtf8(szRoot) + "/dev";
    g_free(szRoot);
    QDir().mkpath(sDevDir);
    QFile(sDevDir + "/" + sName).open(QIODevice::WriteOnly);
}
