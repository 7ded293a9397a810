// The six interfaces as another program sees them on the bus: objects exported through the
// generated adaptors are introspected by gdbus, whose parsed listing is compared with the
// wire contract. The generated C++ types are checked on the meta-objects.

#include "logbook_wmadaptor.h"
#include "logbookadaptor.h"
#include "logbookinterface.h"
#include "runtime_wmadaptor.h"
#include "runtimeadaptor.h"
#include "runtimeinterface.h"
#include "setupadaptor.h"
#include "signalsadaptor.h"
#include "signalsinterface.h"
#include "tools/standin/cprivatebus.h"

#include <QHash>
#include <QMetaMethod>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

namespace {
const char* const SERVICE = "com.Quorvik.Veltrano";
const char* const SIGNALS = "com.Quorvik.Veltrano.Signals";
const char* const RUNTIME = "com.Quorvik.Veltrano.Runtime";
const char* const RUNTIME_WM = "com.Quorvik.Veltrano_WM.Runtime_WM";
const char* const LOGBOOK = "com.Quorvik.Veltrano.Logbook";
const char* const LOGBOOK_WM = "com.Quorvik.Veltrano_WM.Logbook_WM";
const char* const SETUP = "com.Quorvik.Veltrano.Setup";

// One interface from gdbus' listing. Each member is kept as one normalised line,
// "name(in i iProcess, in ay data, out i iResult)" or, for a signal, "name(i iProcess)".
struct CMembers
{
    QStringList oMethods;
    QStringList oSignals;
};

QString normalisedMember(const QString& sStatement)
{
    QString sLine = sStatement.simplified();
    sLine.chop(1); // the ';'
    sLine.replace("( ", "(");
    return sLine;
}

QString memberName(const QString& sLine)
{
    return sLine.left(sLine.indexOf('('));
}

// gdbus prints "  interface NAME {", then "methods:", "signals:" and "properties:" sections
// whose members end with ';' and may span several lines, then "  };".
CMembers parseInterface(const QString& sListing, const QString& sInterface)
{
    CMembers oMembers;
    QStringList* pSection = nullptr;
    QString sStatement;
    bool bInside = false;
    for (const QString& sRawLine : sListing.split('\n')) {
        const QString sLine = sRawLine.trimmed();
        if (!bInside) {
            bInside = sLine == "interface " + sInterface + " {";
            continue;
        }
        if (sLine == "};") {
            break;
        }
        if (sLine == "methods:") {
            pSection = &oMembers.oMethods;
        } else if (sLine == "signals:") {
            pSection = &oMembers.oSignals;
        } else if (sLine == "properties:") {
            pSection = nullptr;
        } else if (pSection && !sLine.startsWith('@')) {
            sStatement += ' ' + sLine;
            if (sLine.endsWith(';')) {
                pSection->append(normalisedMember(sStatement));
                sStatement.clear();
            }
        }
    }
    return oMembers;
}

// Arguments of a normalised member as "[in|out ]type name" items.
QStringList arguments(const QString& sLine)
{
    const int iOpen = sLine.indexOf('(');
    const QString sArgs = sLine.mid(iOpen + 1, sLine.size() - iOpen - 2);
    return sArgs.isEmpty() ? QStringList() : sArgs.split(", ");
}
} // namespace

class CTestIntrospection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void memberCounts_data();
    void memberCounts();
    void argumentTypes();
    void signalsWithoutProcess();
    void runtimeDataSignals();
    void members_data();
    void members();
    void generatedTypes();

private:
    QString introspect(const QString& sPath);
    QStringList allMembers() const;

    CPrivateBus m_oBus;
    QObject m_oSignals;
    QObject m_oRuntime;
    QObject m_oRuntimeWM;
    QObject m_oLogbook;
    QObject m_oLogbookWM;
    QObject m_oSetup;
    QHash<QString, CMembers> m_oInterfaces;
};

void CTestIntrospection::initTestCase()
{
    QVERIFY(m_oBus.isRunning());
    QDBusConnection oServer = m_oBus.connection("server");
    QVERIFY(oServer.isConnected());
    QVERIFY(oServer.registerService(SERVICE));

    new SignalsAdaptor(&m_oSignals);
    new RuntimeAdaptor(&m_oRuntime);
    new Runtime_WMAdaptor(&m_oRuntimeWM);
    new LogbookAdaptor(&m_oLogbook);
    new Logbook_WMAdaptor(&m_oLogbookWM);
    new SetupAdaptor(&m_oSetup);
    const QList<QPair<QString, QObject*>> oObjects = {
        {"/Signals", &m_oSignals}, {"/RuntimeData", &m_oRuntime},      {"/RuntimeData_WM", &m_oRuntimeWM},
        {"/Logbook", &m_oLogbook}, {"/LogbookData_WM", &m_oLogbookWM}, {"/SetupData", &m_oSetup},
    };
    for (const auto& oObject : oObjects) {
        QVERIFY(oServer.registerObject(oObject.first, oObject.second, QDBusConnection::ExportAdaptors));
    }

    const QList<QPair<QString, QString>> oInterfaces = {
        {SIGNALS, "/Signals"}, {RUNTIME, "/RuntimeData"},       {RUNTIME_WM, "/RuntimeData_WM"},
        {LOGBOOK, "/Logbook"}, {LOGBOOK_WM, "/LogbookData_WM"}, {SETUP, "/SetupData"},
    };
    for (const auto& oInterface : oInterfaces) {
        const QString sListing = introspect(oInterface.second);
        QVERIFY2(sListing.contains("interface " + oInterface.first + " {"), qPrintable(sListing));
        m_oInterfaces.insert(oInterface.first, parseInterface(sListing, oInterface.first));
    }
}

// Runs gdbus while the event loop keeps serving our objects.
QString CTestIntrospection::introspect(const QString& sPath)
{
    QProcess oGdbus;
    QSignalSpy oFinished(&oGdbus, &QProcess::finished);
    oGdbus.start("gdbus", {"introspect", "--address", m_oBus.address(), "--dest", SERVICE, "--object-path", sPath});
    if (!oGdbus.waitForStarted(10000)) {
        qWarning() << "gdbus (package libglib2.0-bin) cannot be run:" << oGdbus.errorString();
        return QString();
    }
    if (!oFinished.wait(30000) || oGdbus.exitCode() != 0) {
        qWarning() << "gdbus failed:" << oGdbus.readAllStandardError();
        return QString();
    }
    return QString::fromUtf8(oGdbus.readAllStandardOutput());
}

QStringList CTestIntrospection::allMembers() const
{
    QStringList oAll;
    for (const CMembers& oMembers : m_oInterfaces) {
        oAll += oMembers.oMethods + oMembers.oSignals;
    }
    return oAll;
}

void CTestIntrospection::memberCounts_data()
{
    QTest::addColumn<QString>("sInterface");
    QTest::addColumn<int>("iMethods");
    QTest::addColumn<int>("iSignals");
    QTest::newRow("Signals") << SIGNALS << 0 << 118;
    QTest::newRow("Runtime") << RUNTIME << 130 << 73;
    QTest::newRow("Runtime_WM") << RUNTIME_WM << 6 << 3;
    QTest::newRow("Logbook") << LOGBOOK << 29 << 22;
    QTest::newRow("Logbook_WM") << LOGBOOK_WM << 8 << 3;
    QTest::newRow("Setup") << SETUP << 74 << 34;
}

void CTestIntrospection::memberCounts()
{
    QFETCH(QString, sInterface);
    QFETCH(int, iMethods);
    QFETCH(int, iSignals);
    const CMembers oMembers = m_oInterfaces.value(sInterface);
    QCOMPARE(oMembers.oMethods.size(), iMethods);
    QCOMPARE(oMembers.oSignals.size(), iSignals);

    QStringList oNames;
    for (const QString& sLine : oMembers.oMethods + oMembers.oSignals) {
        oNames.append(memberName(sLine));
    }
    oNames.removeDuplicates();
    QCOMPARE(oNames.size(), iMethods + iSignals);
}

// Types of the whole API: 64-bit exactly for the row ids (names "ull..." and "RowID"),
// one double and one string in all six interfaces.
void CTestIntrospection::argumentTypes()
{
    const QRegularExpression oArgument("^(?:(?:in|out) )?(i|t|d|s|ay) (\\w+)$");
    QStringList oDoubles;
    QStringList oStrings;
    int iRowIds = 0;
    for (const QString& sLine : allMembers()) {
        for (const QString& sArgument : arguments(sLine)) {
            const QRegularExpressionMatch oMatch = oArgument.match(sArgument);
            QVERIFY2(oMatch.hasMatch(), qPrintable(sLine));
            const QString sType = oMatch.captured(1);
            const QString sName = oMatch.captured(2);
            const bool bRowId = sName.startsWith("ull") || sName == "RowID";
            QVERIFY2((sType == "t") == bRowId, qPrintable(sLine));
            iRowIds += bRowId ? 1 : 0;
            if (sType == "d") {
                oDoubles.append(sLine);
            } else if (sType == "s") {
                oStrings.append(sLine);
            }
        }
    }
    QCOMPARE(iRowIds, 48);
    QCOMPARE(oDoubles, QStringList {"sigVolumeChanged(i iIndex, d dDeltaVT)"});
    QCOMPARE(oStrings, QStringList {"getSetupProductWM_ProductName(in i iProductCode, out s strProductName)"});
}

void CTestIntrospection::signalsWithoutProcess()
{
    QStringList oWithout;
    for (const QString& sLine : m_oInterfaces.value(SIGNALS).oSignals) {
        if (!sLine.startsWith(memberName(sLine) + "(i iProcess")) {
            oWithout.append(sLine);
        }
    }
    oWithout.sort();
    const QStringList oExpected = {
        "sigFollowUpMeteringStateChanged(i iIndex, i iState)",
        "sigMeterChangedValve(i iMeterIndex, i iCompartment, i iState, i iValveTypes)",
        "sigMeterFactorChanged(i iIndex, i iValue)",
        "sigUpdatedPresetBySetup(i iMeterIndex, i iPreset, i iInitial)",
        "sigVolumeChanged(i iIndex, d dDeltaVT)",
    };
    QCOMPARE(oWithout, oExpected);
}

void CTestIntrospection::runtimeDataSignals()
{
    QStringList oData;
    for (const QString& sLine : m_oInterfaces.value(RUNTIME).oSignals) {
        if (memberName(sLine).endsWith("_Data")) {
            oData.append(sLine);
        }
    }
    oData.sort();
    const QStringList oExpected = {
        "sigRuntimeCompGuiNonWM_Data(i iProcess, i iIndex, ay data)",
        "sigRuntimeCompGuiWM_Data(i iProcess, i iIndex, ay data)",
        "sigRuntimeCompSensorWM_Level_Data(i iProcess, i iIndex, ay aRunCompSensorWM_Level)",
        "sigRuntimeProcessLGMWM_Data(i iProcess, i iCompartmentIndex, ay aRunProcessLGMWM)",
        "sigRuntimeProcessMeterWM_Data(i iProcess, i iCompartmentIndex, ay aRunProcessMeterWM)",
    };
    QCOMPARE(oData, oExpected);
}

// Members whose names or arguments are easy to get wrong.
void CTestIntrospection::members_data()
{
    QTest::addColumn<QString>("sInterface");
    QTest::addColumn<QString>("sMember");
    const QList<QPair<const char*, const char*>> oRows = {
        {SIGNALS, "sigTrigger(i iProcess)"},
        {SIGNALS, "sigSendName(i iProcess, ay name)"},
        {SIGNALS, "sigGetName(i iProcess, i iAppID)"},
        {SIGNALS, "sigProcessStart(i iProcess, i iAppID)"},
        {SIGNALS, "sigSystemReady(i iProcess)"},
        {SIGNALS, "sigOverideProductToFPM(i iProcess, i iMeterNo, i iProductOverrideState)"},
        {SIGNALS, "sigLogbookMainDeleteFirst(i iProcess, t ullRowID)"},
        {SIGNALS,
         "sigOverride(i iProcess, i iOPNo, i iCompartmentNo, i iOverrideProduct, "
         "i iOverrideVapour, i iOverrideHighpressure, ay aOverridelocation, "
         "ay aOverridereason)"},
        {RUNTIME, "getRuntimeUsb(out ay data)"},
        {RUNTIME, "setRuntimeUsb(in i iProcess, in ay data, out i iResult)"},
        {RUNTIME, "sigRuntimeUsb(i iProcess)"},
        {RUNTIME, "setRuntimeGeneralNonWM(in i iProcess, in ay data, out i iResult)"},
        {RUNTIME, "getRuntimeProcessMeterWM(in i iIndex, out ay aRunProcessMeterWM)"},
        {RUNTIME,
         "setRuntimeProcessMeterWM(in i iProcess, in i iCompartmentIndex, "
         "in ay aRunProcessMeterWM, out i iResult)"},
        {RUNTIME, "getRuntimeProcessDataNonWM(in i iCompartmentIndex, out ay aRunProcessLevelNonWM)"},
        {RUNTIME, "sigSetRuntimeOrderDelivery(i iProcess, t ullOrderDeliveryIndex)"},
        {RUNTIME_WM, "getRuntimeLgmProcessWm(out ay aRunLgmProcessWm)"},
        {RUNTIME_WM, "sigRuntimeFpmProcessWM(i iProcess)"},
        {LOGBOOK, "getLogbookProperty(in ay aFilter, out ay aLogProperty)"},
        {LOGBOOK, "getLogbookRowCount(in ay aFilter, out i data)"},
        {LOGBOOK, "getLogbookDataTracking(in ay aFilter, out ay CGps)"},
        {LOGBOOK, "setLogbookGPS(in i iProcess, in ay CLogbookDataGPS, out i iResult)"},
        {LOGBOOK, "sigLogbookSeal(i iProcess, t ullRowID)"},
        {LOGBOOK_WM, "getLogbookProperty(in ay aFilter, out ay LogProperty)"},
        {LOGBOOK_WM, "getLogbookProperty_Test(in ay aFilter, out ay LogProperty)"},
        {LOGBOOK_WM, "setLogbookLevelVolume(in i iProcess, in ay aLogLevelVolume, out i iResult)"},
        {SETUP, "getSetupBlueTooth(out ay oSetBluetooth)"},
        {SETUP, "setSetupBlueTooth(in i iProcess, in ay oSetBlueTooth, out i iResult)"},
        {SETUP, "getSetupEth(out ay oSetupEth)"},
        {SETUP, "setSetupCan(in i iProcess, in i iCanInterfaceIndex, in ay oSetCan, out i iResult)"},
        {SETUP, "setSetupCustomer(in i iProcessID, in ay oCustomer, out i iResult)"},
        {SETUP, "sigSetupDriver(i iProcessID, t ullRowID)"},
        {SETUP, "sigSetupProductWM(i iProcess, t ullRowID)"},
        {SETUP, "changeSetupChangeLog(in i iProcess, in ay aSetCangeLog, out i iResult)"},
        {SETUP,
         "getSetupGeoFencingPos_RowIDAfterStep(in t ullRowIDOffset, in i iStep, "
         "out t ullResult)"},
    };
    for (const auto& oRow : oRows) {
        QTest::newRow(oRow.second) << QString(oRow.first) << QString(oRow.second);
    }
}

void CTestIntrospection::members()
{
    QFETCH(QString, sInterface);
    QFETCH(QString, sMember);
    const CMembers oMembers = m_oInterfaces.value(sInterface);
    QVERIFY2(oMembers.oMethods.contains(sMember) || oMembers.oSignals.contains(sMember), qPrintable(sInterface));
}

// The Qt types the bindings give the D-Bus types: t qulonglong, d double, s QString, ay QByteArray.
void CTestIntrospection::generatedTypes()
{
    const QMetaObject& oLogbook = ComQuorvikVeltranoLogbookInterface::staticMetaObject;
    QVERIFY(oLogbook.indexOfSignal("sigDelFirstLogbookRow(int,qulonglong)") >= 0);
    const int iRowId = oLogbook.indexOfSlot("getLogbookNextSubTypeRowID(QByteArray)");
    QVERIFY(iRowId >= 0);
    QCOMPARE(oLogbook.method(iRowId).typeName(), "QDBusPendingReply<qulonglong>");

    const QMetaObject& oRuntime = ComQuorvikVeltranoRuntimeInterface::staticMetaObject;
    const int iSet = oRuntime.indexOfSlot("setRuntimeUsb(int,QByteArray)");
    QVERIFY(iSet >= 0);
    QCOMPARE(oRuntime.method(iSet).typeName(), "QDBusPendingReply<int>");
    QVERIFY(oRuntime.indexOfSignal("sigRuntimeUsb(int)") >= 0);

    QVERIFY(ComQuorvikVeltranoSignalsInterface::staticMetaObject.indexOfSignal("sigVolumeChanged(int,double)") >= 0);
    QVERIFY(SignalsAdaptor::staticMetaObject.indexOfSignal("sigSendName(int,QByteArray)") >= 0);

    const QMetaObject& oSetup = SetupAdaptor::staticMetaObject;
    const int iName = oSetup.indexOfSlot("getSetupProductWM_ProductName(int)");
    QVERIFY(iName >= 0);
    QCOMPARE(oSetup.method(iName).returnType(), int(QMetaType::QString));
}

QTEST_GUILESS_MAIN(CTestIntrospection)
#include "test_introspection.moc"
