#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QDataStream;

// The runtime USB record: what the service knows about the stick, shared with the other
// processes through the metering core. Each data field has a change flag; a reader takes
// over only the fields that the writer flagged and that differ from its own.
class CRunUsb
{
public:
    // The data fields, in record and wire order.
    enum EField {
        UsbDeviceState,
        UsbInfoText,
        UsbDataAvailable,
        UpdateFileFound,
        DatabaseDirFound,
        LogbookDirFound,
        UsbDeviceNode,
        UsbDeviceText,
        UsbVendor,
        UsbModel,
        UsbMountPath,
        UsbCapacity,
        StartUnmountUsbDevice,
        UnmountUsbDeviceActive,
        UsbDeviceUnmounted,
        UsbAuxFlag,
        FieldCount
    };

    // What UsbDeviceState tells the peers.
    enum EUsbDeviceState { USB_NO_STICK = 0, USB_STICK_DETECTED = 1, USB_STICK_MOUNTED = 2 };

    CRunUsb();

    int getUsbDeviceState() const { return m_iUsbDeviceState; }
    QString getUsbInfoText() const { return m_sUsbInfoText; }
    bool getUsbDataAvailable() const { return m_bUsbDataAvailable; }
    bool getUpdateFileFound() const { return m_bUpdateFileFound; }
    bool getDatabaseDirFound() const { return m_bDatabaseDirFound; }
    bool getLogbookDirFound() const { return m_bLogbookDirFound; }
    QString getUsbDeviceNode() const { return m_sUsbDeviceNode; }
    QString getUsbDeviceText() const { return m_sUsbDeviceText; }
    QString getUsbVendor() const { return m_sUsbVendor; }
    QString getUsbModel() const { return m_sUsbModel; }
    QString getUsbMountPath() const { return m_sUsbMountPath; }
    qint64 getUsbCapacity() const { return m_llUsbCapacity; }
    bool getStartUnmountUsbDevice() const { return m_bStartUnmountUsbDevice; }
    bool getUnmountUsbDeviceActive() const { return m_bUnmountUsbDeviceActive; }
    bool getUsbDeviceUnmounted() const { return m_bUsbDeviceUnmounted; }
    bool getUsbAuxFlag() const { return m_bUsbAuxFlag; }

    // Every setter marks its field changed, also when the value stays the same.
    void setUsbDeviceState(int iValue);
    void setUsbInfoText(const QString& sValue);
    void setUsbDataAvailable(bool bValue);
    void setUpdateFileFound(bool bValue);
    void setDatabaseDirFound(bool bValue);
    void setLogbookDirFound(bool bValue);
    void setUsbDeviceNode(const QString& sValue);
    void setUsbDeviceText(const QString& sValue);
    void setUsbVendor(const QString& sValue);
    void setUsbModel(const QString& sValue);
    void setUsbMountPath(const QString& sValue);
    void setUsbCapacity(qint64 llValue);
    void setStartUnmountUsbDevice(bool bValue);
    void setUnmountUsbDeviceActive(bool bValue);
    void setUsbDeviceUnmounted(bool bValue);
    void setUsbAuxFlag(bool bValue);

    // The changes along a stick's life. Each sets its fields together, through the setters,
    // so every one of them is marked changed.
    void setStartupDefaults();
    void stickArrived(const QString& sNode, const QString& sModel, const QString& sVendor);
    void stickMounted(const QString& sMountPath, bool bUpdate, bool bDatabase, bool bLogbook);
    void stickCleared();
    void unmountTaken();
    void unmountDone(bool bUnmounted);

    bool isChanged(EField eField) const { return m_abChanged[eField]; }
    bool hasChanges() const { return m_bChanged; }

    QByteArray toByteArray();
    void fromByteArray(const QByteArray& aData);
    // As fromByteArray, but only what peers may change (the unmount request, the texts and flags
    // the service only clears): the fields that describe the stick are the service's own facts,
    // whatever the core's copy says of a stick it kept from an earlier run.
    void fromSharedCopy(const QByteArray& aData);
    QByteArray toPlainByteArray();

    friend QDataStream& operator<<(QDataStream& out, const CRunUsb& oRecord);
    friend QDataStream& operator>>(QDataStream& in, CRunUsb& oRecord);

private:
    void setStick(EUsbDeviceState eState, const QString& sNode, const QString& sModel, const QString& sVendor);
    void setNoStick();
    void markChanged(EField eField);
    static bool describesStick(EField eField);
    template<typename T> void readField(QDataStream& in, EField eField, T& value, bool bStickFields);
    void read(QDataStream& in, bool bStickFields);

    QByteArray m_aBuffer;
    qint32 m_iVersion;
    QByteArray m_aReserve;
    int m_iUsbDeviceState;
    QString m_sUsbInfoText;
    bool m_bUsbDataAvailable;
    bool m_bUpdateFileFound;
    bool m_bDatabaseDirFound;
    bool m_bLogbookDirFound;
    QString m_sUsbDeviceNode;
    QString m_sUsbDeviceText;
    QString m_sUsbVendor;
    QString m_sUsbModel;
    QString m_sUsbMountPath;
    qint64 m_llUsbCapacity;
    bool m_bStartUnmountUsbDevice;
    bool m_bUnmountUsbDeviceActive;
    bool m_bUsbDeviceUnmounted;
    bool m_bUsbAuxFlag;
    bool m_abChanged[FieldCount];
    bool m_bChanged;
};
