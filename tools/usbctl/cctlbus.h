#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QString>

#include <memory>

class ComQuorvikVeltranoRuntimeInterface;

// The tool's way to the metering core: the bus connection, the check that the core is on it,
// and the runtime object's proxy.
class CCtlBus
{
public:
    CCtlBus();
    ~CCtlBus();

    CCtlBus(const CCtlBus&) = delete;
    CCtlBus& operator=(const CCtlBus&) = delete;

    // Connects to the bus at sAddress, or to the session bus when it is empty, and makes sure
    // that the metering core serves its name there; false with a reason otherwise.
    bool open(const QString& sAddress, QString* pError);

    ComQuorvikVeltranoRuntimeInterface* runtime() const { return m_pRuntime.get(); }
    QDBusConnection connection() const { return m_oConnection; }

    // The serialised shared records; false with a reason when the call fails or the answer
    // is not a whole record.
    bool readUsb(QByteArray* pData, QString* pError);
    bool readGeneral(QByteArray* pData, QString* pError);

    // Bounds every following call to the core.
    void setCallTimeout(int iMs);

    static QString serviceName();

private:
    QDBusConnection m_oConnection;
    std::unique_ptr<ComQuorvikVeltranoRuntimeInterface> m_pRuntime;
};
