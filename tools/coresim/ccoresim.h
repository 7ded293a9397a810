#pragma once

#include "tools/coresim/csimoptions.h"
#include "tools/coresim/csimprinter.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

class CQuitSignals;
class CSimCommands;
class CSimRuntime;
class CLineInput;
class CUnmodelledObject;

// The simulator as a whole: joins the bus, serves the three objects under
// "com.Quorvik.Veltrano", runs the commands and ends on "quit", SIGINT or SIGTERM.
class CCoreSim : public QObject
{
    Q_OBJECT

public:
    explicit CCoreSim(const CSimOptions& oOptions, QObject* pParent = nullptr);

    // Everything up to the "ready" report and the commands given with -c; false with a
    // reason when the simulator cannot serve.
    bool start(QString* pError);

private slots:
    void runLine(const QString& sLine);
    void welcome(int iProcess);
    void quit(const QString& sReason);

private:
    bool connectBus(QString* pError);
    bool serve(CUnmodelledObject* pObject, const QString& sPath, QString* pError);
    bool takeName(QString* pError);
    bool listenForNewcomers(QString* pError);

    CSimOptions m_oOptions;
    CSimPrinter m_oPrinter;
    QDBusConnection m_oConnection;
    QString m_sBusText;
    CSimRuntime* m_pRuntime;
    CSimCommands* m_pCommands;
    CLineInput* m_pStdin;
    CQuitSignals* m_pQuitSignals;
    bool m_bQuitting;
};
