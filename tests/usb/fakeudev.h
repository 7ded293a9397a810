#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>

// A device as udev reports it: its properties in order (an event's ACTION among them) and its
// "size" attribute (null: none).
struct CFakeDevice
{
    QByteArray aSyspath;
    QList<QPair<QByteArray, QByteArray>> lProperties;
    QByteArray aSize;

    CFakeDevice with(const QByteArray& aName, const QByteArray& aValue) const;
    CFakeDevice without(const QByteArray& aName) const;
};

// A USB stick at the node ("/dev/sdb": model Stick_sdb, serial Serial_sdb), as an event when
// an action is given.
CFakeDevice FakeStick(const QByteArray& aNode, const QByteArray& aAction = QByteArray());

// Stands in for libudev in a test program. The monitor's queue sits behind a real pipe, so
// the watcher's select() sees it readable; each step the watcher checks can be made to fail.
struct CFakeUdev
{
    bool bNewFails = false;
    bool bMonitorFails = false;
    bool bFilterFails = false;
    bool bEnableFails = false;
    // select() fails with it instead of polling.
    int iSelectErrno = 0;

    // The enumeration lists these, in order; udev_device_new_from_syspath finds them.
    QList<CFakeDevice> lDevices;
    bool bEnumerateFails = false;
    int iMatchResult = 0;
    int iScanResult = 0;

    int iNewCalls = 0;
    // Handles made and not yet released.
    int iLiveContexts = 0;
    int iLiveDevices = 0;

    void reset();
    void queue(const CFakeDevice& oEvent);
};

extern CFakeUdev g_oUdev;
