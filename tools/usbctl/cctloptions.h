#pragma once

#include <QString>
#include <QStringList>

// The command line of veltrano-usbctl: one command, the bus, and the command's own options.
class CCtlOptions
{
public:
    enum ECommand { Status, Watch, Unmount, Version };
    enum EResult { Run, ShowHelp, Fail };

    CCtlOptions();

    EResult parse(const QStringList& lsArguments);
    QString errorText() const { return m_sError; }
    static QString helpText();

    ECommand m_eCommand;
    QString m_sAddress;
    bool m_bJson;
    int m_iTimeoutS;

private:
    bool takeCommand(const QStringList& lsPositional);

    QString m_sError;
};
