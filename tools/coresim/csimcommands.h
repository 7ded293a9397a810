#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

class CSimPrinter;
class CSimRuntime;

// The simulator's command language, the same from the command line and from standard input:
// one command per line, e.g. "start 1234", "reply 2", "unmount".
class CSimCommands : public QObject
{
    Q_OBJECT

public:
    CSimCommands(const QDBusConnection& oConnection, CSimRuntime* pRuntime, CSimPrinter* pPrinter,
                 QObject* pParent = nullptr);

    static QString helpText();

public slots:
    void run(const QString& sLine);

signals:
    void quitRequested();

private:
    bool number(const QStringList& lsWords, const QString& sUsage, int* pValue);
    void broadcast(const QString& sName, const QVariantList& lArguments);
    void setReply(const QStringList& lsWords);
    void setDelay(const QStringList& lsWords);
    void setSilent(const QStringList& lsWords);

    QDBusConnection m_oConnection;
    CSimRuntime* m_pRuntime;
    CSimPrinter* m_pPrinter;
    int m_iPid;
};
