#pragma once

#include "cruntimeunmodelled.h"
#include "records/crungeneralnonwm.h"
#include "records/crunusb.h"
#include "tools/coresim/csimsettings.h"

#include <QByteArray>
#include <QVariant>

class CSimPrinter;

// The served runtime object at "/RuntimeData": keeps the family's shared runtime USB and
// general records and models the four members that the USB service relies on. Every other
// member of the interface is refused by the generated base class.
class CSimRuntime : public CRuntimeUnmodelled
{
    Q_OBJECT

public:
    CSimRuntime(CSimPrinter* pPrinter, const CSimSettings& oSettings, QObject* pParent = nullptr);

    CSimSettings settings() const { return m_oSettings; }
    void setSettings(const CSimSettings& oSettings) { m_oSettings = oSettings; }

    // A peer's request to release the stick, written by the simulator itself.
    void requestUnmount(int iSimPid);
    QByteArray usbBytes() { return m_oUsb.toByteArray(); }
    QByteArray generalBytes() { return m_oGeneral.toByteArray(); }

public slots:
    QByteArray getRuntimeUsb() override;
    int setRuntimeUsb(int iProcess, const QByteArray& data) override;
    QByteArray getRuntimeGeneralNonWM() override;
    int setRuntimeGeneralNonWM(int iProcess, const QByteArray& data) override;

signals:
    // Relayed to the bus by the RuntimeAdaptor.
    void sigRuntimeUsb(int iProcess);
    void sigRuntimeGeneralNonWM(int iProcess);

private:
    enum ENotice { NoNotice, UsbNotice, GeneralNotice };

    void answer(const QVariant& vValue, ENotice eNotice, int iWriter);
    void notify(ENotice eNotice, int iWriter);

    CSimPrinter* m_pPrinter;
    CSimSettings m_oSettings;
    CRunUsb m_oUsb;
    CRunGeneralNonWM m_oGeneral;
};
