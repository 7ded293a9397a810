#pragma once

#include "tools/coresim/csimsettings.h"

#include <QString>
#include <QStringList>

// The simulator's command line.
class CSimOptions
{
public:
    enum EResult { Run, ShowHelp, Fail };

    CSimOptions();

    EResult parse(const QStringList& lsArguments);
    QString errorText() const { return m_sError; }
    QString helpText() const { return m_sHelp; }

    QString m_sAddress;
    bool m_bJson;
    bool m_bWelcome;
    QStringList m_lsCommands;
    CSimSettings m_oSettings;

private:
    bool number(const QString& sOption, const QString& sText, int iMinimum, int* pValue);

    QString m_sError;
    QString m_sHelp;
};
