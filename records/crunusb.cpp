#include "records/crunusb.h"

#include "records/boundedread.h"

#include <QDataStream>
#include <QIODevice>

namespace {

// Every process of the family reads and writes the record in the Qt 4.6 stream format.
const int STREAM_VERSION = QDataStream::Qt_4_6;
const qint32 FORMAT_VERSION = 256;
const int RESERVE_SIZE = 32;

} // namespace

CRunUsb::CRunUsb()
    : m_iVersion(FORMAT_VERSION)
    , m_aReserve(RESERVE_SIZE, '\0')
    , m_iUsbDeviceState(0)
    , m_sUsbInfoText(QLatin1String(""))
    , m_bUsbDataAvailable(false)
    , m_bUpdateFileFound(false)
    , m_bDatabaseDirFound(false)
    , m_bLogbookDirFound(false)
    , m_sUsbDeviceNode(QLatin1String(""))
    , m_sUsbDeviceText(QLatin1String(""))
    , m_sUsbVendor(QLatin1String(""))
    , m_sUsbModel(QLatin1String(""))
    , m_sUsbMountPath(QLatin1String(""))
    , m_llUsbCapacity(0)
    , m_bStartUnmountUsbDevice(false)
    , m_bUnmountUsbDeviceActive(false)
    , m_bUsbDeviceUnmounted(false)
    , m_bUsbAuxFlag(false)
    , m_abChanged {}
    , m_bChanged(false)
{
}

void CRunUsb::markChanged(EField eField)
{
    m_abChanged[eField] = true;
    m_bChanged = true;
}

void CRunUsb::setUsbDeviceState(int iValue)
{
    m_iUsbDeviceState = iValue;
    markChanged(UsbDeviceState);
}

void CRunUsb::setUsbInfoText(const QString& sValue)
{
    m_sUsbInfoText = sValue;
    markChanged(UsbInfoText);
}

void CRunUsb::setUsbDataAvailable(bool bValue)
{
    m_bUsbDataAvailable = bValue;
    markChanged(UsbDataAvailable);
}

void CRunUsb::setUpdateFileFound(bool bValue)
{
    m_bUpdateFileFound = bValue;
    markChanged(UpdateFileFound);
}

void CRunUsb::setDatabaseDirFound(bool bValue)
{
    m_bDatabaseDirFound = bValue;
    markChanged(DatabaseDirFound);
}

void CRunUsb::setLogbookDirFound(bool bValue)
{
    m_bLogbookDirFound = bValue;
    markChanged(LogbookDirFound);
}

void CRunUsb::setUsbDeviceNode(const QString& sValue)
{
    m_sUsbDeviceNode = sValue;
    markChanged(UsbDeviceNode);
}

void CRunUsb::setUsbDeviceText(const QString& sValue)
{
    m_sUsbDeviceText = sValue;
    markChanged(UsbDeviceText);
}

void CRunUsb::setUsbVendor(const QString& sValue)
{
    m_sUsbVendor = sValue;
    markChanged(UsbVendor);
}

void CRunUsb::setUsbModel(const QString& sValue)
{
    m_sUsbModel = sValue;
    markChanged(UsbModel);
}

void CRunUsb::setUsbMountPath(const QString& sValue)
{
    m_sUsbMountPath = sValue;
    markChanged(UsbMountPath);
}

void CRunUsb::setUsbCapacity(qint64 llValue)
{
    m_llUsbCapacity = llValue;
    markChanged(UsbCapacity);
}

void CRunUsb::setStartUnmountUsbDevice(bool bValue)
{
    m_bStartUnmountUsbDevice = bValue;
    markChanged(StartUnmountUsbDevice);
}

void CRunUsb::setUnmountUsbDeviceActive(bool bValue)
{
    m_bUnmountUsbDeviceActive = bValue;
    markChanged(UnmountUsbDeviceActive);
}

void CRunUsb::setUsbDeviceUnmounted(bool bValue)
{
    m_bUsbDeviceUnmounted = bValue;
    markChanged(UsbDeviceUnmounted);
}

void CRunUsb::setUsbAuxFlag(bool bValue)
{
    m_bUsbAuxFlag = bValue;
    markChanged(UsbAuxFlag);
}

// Every field but UsbInfoText.
void CRunUsb::setStartupDefaults()
{
    setNoStick();
    setStartUnmountUsbDevice(false);
    setUnmountUsbDeviceActive(false);
    setUsbDeviceUnmounted(false);
    setUsbAuxFlag(false);
}

void CRunUsb::stickArrived(const QString& sNode, const QString& sModel, const QString& sVendor)
{
    setStick(USB_STICK_DETECTED, sNode, sModel, sVendor);
}

// An update folder with nothing in it is present but offers nothing.
void CRunUsb::stickMounted(const QString& sMountPath, bool bUpdate, bool bDatabase, bool bLogbook)
{
    setUsbMountPath(sMountPath);
    setUsbDeviceUnmounted(false);
    setUpdateFileFound(bUpdate);
    setDatabaseDirFound(bDatabase);
    setLogbookDirFound(bLogbook);
    setUsbDataAvailable(bUpdate || bDatabase || bLogbook);
    setUsbDeviceState(USB_STICK_MOUNTED);
}

// The stick is gone: the record says so with the unmounted flag until it is reset.
void CRunUsb::stickCleared()
{
    setNoStick();
    setUsbInfoText(QString(""));
    setUsbDeviceUnmounted(true);
}

void CRunUsb::unmountTaken()
{
    setStartUnmountUsbDevice(false);
    setUnmountUsbDeviceActive(true);
}

void CRunUsb::unmountDone(bool bUnmounted)
{
    if (bUnmounted) {
        setUsbDeviceUnmounted(true);
    }
    setUnmountUsbDeviceActive(false);
}

// The stick's texts, with nothing known yet of what it carries.
void CRunUsb::setStick(EUsbDeviceState eState, const QString& sNode, const QString& sModel, const QString& sVendor)
{
    setUsbDeviceState(eState);
    setUsbDeviceNode(sNode);
    setUsbModel(sModel);
    setUsbDeviceText(QString(""));
    setUsbVendor(sVendor);
    setUsbDataAvailable(false);
    setUpdateFileFound(false);
    setDatabaseDirFound(false);
    setLogbookDirFound(false);
}

void CRunUsb::setNoStick()
{
    setStick(USB_NO_STICK, QString(""), QString(""), QString(""));
    setUsbMountPath(QString(""));
    setUsbCapacity(0);
}

QByteArray CRunUsb::toByteArray()
{
    // A write-only stream on a byte array overwrites from the start but does not truncate:
    // without the clear, a shorter record would keep the tail of an earlier, longer one.
    m_aBuffer.clear();
    QDataStream out(&m_aBuffer, QIODevice::WriteOnly);
    out << *this;
    return m_aBuffer;
}

void CRunUsb::fromByteArray(const QByteArray& aData)
{
    QDataStream in(aData);
    in >> *this;
}

void CRunUsb::fromSharedCopy(const QByteArray& aData)
{
    QDataStream in(aData);
    in.setVersion(STREAM_VERSION);
    read(in, false);
}

QByteArray CRunUsb::toPlainByteArray()
{
    m_aBuffer.clear();
    QDataStream out(&m_aBuffer, QIODevice::WriteOnly);
    out.setVersion(STREAM_VERSION);
    out << m_iUsbDeviceState << m_sUsbInfoText << m_bUsbDataAvailable << m_bUpdateFileFound << m_bDatabaseDirFound
        << m_bLogbookDirFound << m_sUsbDeviceNode << m_sUsbDeviceText << m_sUsbVendor << m_sUsbModel << m_sUsbMountPath
        << m_llUsbCapacity << m_bStartUnmountUsbDevice << m_bUnmountUsbDeviceActive << m_bUsbDeviceUnmounted
        << m_bUsbAuxFlag;
    return m_aBuffer;
}

bool CRunUsb::describesStick(EField eField)
{
    switch (eField) {
    case UsbDeviceState:
    case UsbDataAvailable:
    case UpdateFileFound:
    case DatabaseDirFound:
    case LogbookDirFound:
    case UsbDeviceNode:
    case UsbVendor:
    case UsbModel:
    case UsbMountPath:
    case UsbCapacity:
        return true;
    default:
        return false;
    }
}

// Flag and value are always both read so the stream stays in step. What the stream cannot
// deliver reads as 0, false or an empty text, and counts like any other value.
template<typename T> void CRunUsb::readField(QDataStream& in, EField eField, T& value, bool bStickFields)
{
    bool bFlag = false;
    T read {};
    in >> bFlag;
    readBounded(in, read);
    if (bFlag && read != value && (bStickFields || !describesStick(eField))) {
        value = read;
        markChanged(eField);
    }
}

void CRunUsb::read(QDataStream& in, bool bStickFields)
{
    qint32 iVersion = 0;
    in >> iVersion;
    if (iVersion < FORMAT_VERSION) {
        return;
    }
    readBounded(in, m_aReserve);

    readField(in, UsbDeviceState, m_iUsbDeviceState, bStickFields);
    readField(in, UsbInfoText, m_sUsbInfoText, bStickFields);
    readField(in, UsbDataAvailable, m_bUsbDataAvailable, bStickFields);
    readField(in, UpdateFileFound, m_bUpdateFileFound, bStickFields);
    readField(in, DatabaseDirFound, m_bDatabaseDirFound, bStickFields);
    readField(in, LogbookDirFound, m_bLogbookDirFound, bStickFields);
    readField(in, UsbDeviceNode, m_sUsbDeviceNode, bStickFields);
    readField(in, UsbDeviceText, m_sUsbDeviceText, bStickFields);
    readField(in, UsbVendor, m_sUsbVendor, bStickFields);
    readField(in, UsbModel, m_sUsbModel, bStickFields);
    readField(in, UsbMountPath, m_sUsbMountPath, bStickFields);
    readField(in, UsbCapacity, m_llUsbCapacity, bStickFields);
    readField(in, StartUnmountUsbDevice, m_bStartUnmountUsbDevice, bStickFields);
    readField(in, UnmountUsbDeviceActive, m_bUnmountUsbDeviceActive, bStickFields);
    readField(in, UsbDeviceUnmounted, m_bUsbDeviceUnmounted, bStickFields);
    readField(in, UsbAuxFlag, m_bUsbAuxFlag, bStickFields);
}

QDataStream& operator<<(QDataStream& out, const CRunUsb& oRecord)
{
    out.setVersion(STREAM_VERSION);
    const bool* abChanged = oRecord.m_abChanged;
    out << oRecord.m_iVersion << oRecord.m_aReserve << abChanged[CRunUsb::UsbDeviceState] << oRecord.m_iUsbDeviceState
        << abChanged[CRunUsb::UsbInfoText] << oRecord.m_sUsbInfoText << abChanged[CRunUsb::UsbDataAvailable]
        << oRecord.m_bUsbDataAvailable << abChanged[CRunUsb::UpdateFileFound] << oRecord.m_bUpdateFileFound
        << abChanged[CRunUsb::DatabaseDirFound] << oRecord.m_bDatabaseDirFound << abChanged[CRunUsb::LogbookDirFound]
        << oRecord.m_bLogbookDirFound << abChanged[CRunUsb::UsbDeviceNode] << oRecord.m_sUsbDeviceNode
        << abChanged[CRunUsb::UsbDeviceText] << oRecord.m_sUsbDeviceText << abChanged[CRunUsb::UsbVendor]
        << oRecord.m_sUsbVendor << abChanged[CRunUsb::UsbModel] << oRecord.m_sUsbModel
        << abChanged[CRunUsb::UsbMountPath] << oRecord.m_sUsbMountPath << abChanged[CRunUsb::UsbCapacity]
        << oRecord.m_llUsbCapacity << abChanged[CRunUsb::StartUnmountUsbDevice] << oRecord.m_bStartUnmountUsbDevice
        << abChanged[CRunUsb::UnmountUsbDeviceActive] << oRecord.m_bUnmountUsbDeviceActive
        << abChanged[CRunUsb::UsbDeviceUnmounted] << oRecord.m_bUsbDeviceUnmounted << abChanged[CRunUsb::UsbAuxFlag]
        << oRecord.m_bUsbAuxFlag;
    return out;
}

QDataStream& operator>>(QDataStream& in, CRunUsb& oRecord)
{
    in.setVersion(STREAM_VERSION);
    oRecord.read(in, true);
    return in;
}
