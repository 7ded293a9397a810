#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Writes, from one D-Bus interface description, a class with one slot per method of the
// interface, each in the exact Qt signature that the generated adaptor invokes on its parent.
// Every slot refuses the call with a D-Bus error and returns the type's default. The
// simulator's served objects derive from such a class and override the members they model.
class CUnmodelledGenerator
{
public:
    explicit CUnmodelledGenerator(const QString& sClassName);

    bool readInterface(const QString& sXmlPath);
    // Writes <sBasePath>.h and <sBasePath>.cpp.
    bool write(const QString& sBasePath);
    QString errorText() const { return m_sError; }

private:
    struct CArgument
    {
        QString sName;
        QString sType;
        bool bOut;
    };
    struct CMethod
    {
        QString sName;
        QList<CArgument> lArguments;
    };

    bool fail(const QString& sError);
    bool qtType(const QString& sDBusType, QString* pQtType);
    bool checkTypes();
    QString returnType(const CMethod& oMethod) const;
    QString parameters(const CMethod& oMethod, bool bWithNames) const;
    QString header() const;
    QString source(const QString& sHeaderName) const;
    static bool writeFile(const QString& sPath, const QString& sText);

    QString m_sClassName;
    QString m_sInterface;
    QString m_sXmlName;
    QList<CMethod> m_lMethods;
    QString m_sError;
};
