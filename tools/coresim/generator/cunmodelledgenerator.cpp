#include "tools/coresim/generator/cunmodelledgenerator.h"

#include <QFile>
#include <QFileInfo>
#include <QXmlStreamReader>

CUnmodelledGenerator::CUnmodelledGenerator(const QString& sClassName)
    : m_sClassName(sClassName)
{
}

bool CUnmodelledGenerator::readInterface(const QString& sXmlPath)
{
    QFile oFile(sXmlPath);
    if (!oFile.open(QIODevice::ReadOnly)) {
        return fail(sXmlPath + ": " + oFile.errorString());
    }
    m_sXmlName = QFileInfo(sXmlPath).fileName();
    QXmlStreamReader oXml(&oFile);
    bool bInMethod = false;
    while (!oXml.atEnd()) {
        oXml.readNext();
        if (oXml.isStartElement()) {
            const QXmlStreamAttributes oAttributes = oXml.attributes();
            if (oXml.name() == QLatin1String("interface")) {
                if (!m_sInterface.isEmpty()) {
                    return fail(sXmlPath + ": more than one interface");
                }
                m_sInterface = oAttributes.value("name").toString();
            } else if (oXml.name() == QLatin1String("method")) {
                m_lMethods.append({oAttributes.value("name").toString(), {}});
                bInMethod = true;
            } else if (oXml.name() == QLatin1String("arg") && bInMethod) {
                const bool bOut = oAttributes.value("direction") == QLatin1String("out");
                m_lMethods.last().lArguments.append(
                    {oAttributes.value("name").toString(), oAttributes.value("type").toString(), bOut});
            }
        } else if (oXml.isEndElement() && oXml.name() == QLatin1String("method")) {
            bInMethod = false;
        }
    }
    if (oXml.hasError()) {
        return fail(QString("%1:%2: %3").arg(sXmlPath).arg(oXml.lineNumber()).arg(oXml.errorString()));
    }
    if (m_sInterface.isEmpty()) {
        return fail(sXmlPath + ": no interface");
    }
    return checkTypes();
}

bool CUnmodelledGenerator::write(const QString& sBasePath)
{
    const QString sHeaderName = QFileInfo(sBasePath).fileName() + ".h";
    if (!writeFile(sBasePath + ".h", header())) {
        return fail("cannot write " + sBasePath + ".h");
    }
    if (!writeFile(sBasePath + ".cpp", source(sHeaderName))) {
        return fail("cannot write " + sBasePath + ".cpp");
    }
    return true;
}

bool CUnmodelledGenerator::fail(const QString& sError)
{
    m_sError = sError;
    return false;
}

// The Qt types that qdbusxml2cpp uses for the basic D-Bus types. The catalogs use only a few
// of them; anything else stops the build rather than produce a slot the adaptor cannot find.
bool CUnmodelledGenerator::qtType(const QString& sDBusType, QString* pQtType)
{
    static const QStringList lsDBus = {"y", "b", "n", "q", "i", "u", "x", "t", "d", "s", "ay"};
    static const QStringList lsQt = {"uchar",     "bool",       "short",  "ushort",  "int",       "uint",
                                     "qlonglong", "qulonglong", "double", "QString", "QByteArray"};
    const int iIndex = lsDBus.indexOf(sDBusType);
    if (iIndex < 0) {
        return false;
    }
    *pQtType = lsQt.at(iIndex);
    return true;
}

bool CUnmodelledGenerator::checkTypes()
{
    for (CMethod& oMethod : m_lMethods) {
        for (CArgument& oArgument : oMethod.lArguments) {
            QString sQtType;
            if (!qtType(oArgument.sType, &sQtType)) {
                return fail(QString("%1.%2: D-Bus type \"%3\" has no Qt type in this generator")
                                .arg(m_sInterface, oMethod.sName, oArgument.sType));
            }
            oArgument.sType = sQtType;
        }
    }
    return true;
}

// As qdbusxml2cpp: the first out-argument is the return value, further ones are reference
// parameters after the in-arguments.
QString CUnmodelledGenerator::returnType(const CMethod& oMethod) const
{
    for (const CArgument& oArgument : oMethod.lArguments) {
        if (oArgument.bOut) {
            return oArgument.sType;
        }
    }
    return "void";
}

QString CUnmodelledGenerator::parameters(const CMethod& oMethod, bool bWithNames) const
{
    QStringList lsIn;
    QStringList lsOut;
    bool bReturnTaken = false;
    for (const CArgument& oArgument : oMethod.lArguments) {
        const QString sName = bWithNames ? oArgument.sName : QString();
        if (oArgument.bOut) {
            if (bReturnTaken) {
                lsOut << QString(oArgument.sType + " &" + sName).trimmed();
            }
            bReturnTaken = true;
        } else if (oArgument.sType == "QString" || oArgument.sType == "QByteArray") {
            lsIn << QString("const " + oArgument.sType + " &" + sName).trimmed();
        } else {
            lsIn << QString(oArgument.sType + " " + sName).trimmed();
        }
    }
    return (lsIn + lsOut).join(", ");
}

QString CUnmodelledGenerator::header() const
{
    QString sText;
    sText += "// Generated at build time from " + m_sXmlName + "; not kept in the source tree.\n";
    sText += "#pragma once\n\n";
    sText += "#include \"tools/coresim/cunmodelledobject.h\"\n\n";
    sText += "#include <QByteArray>\n#include <QString>\n\n";
    sText += "// Every method of " + m_sInterface + " answered with a D-Bus error.\n";
    sText += "class " + m_sClassName + " : public CUnmodelledObject\n{\n    Q_OBJECT\n\n";
    sText += "public:\n    explicit " + m_sClassName + "(QObject* pParent = nullptr);\n\n";
    sText += "public slots:\n";
    for (const CMethod& oMethod : m_lMethods) {
        sText += "    virtual " + returnType(oMethod) + " " + oMethod.sName + "(" + parameters(oMethod, true) + ");\n";
    }
    sText += "};\n";
    return sText;
}

QString CUnmodelledGenerator::source(const QString& sHeaderName) const
{
    QString sText;
    sText += "// Generated at build time from " + m_sXmlName + "; not kept in the source tree.\n";
    sText += "#include \"" + sHeaderName + "\"\n\n";
    sText += m_sClassName + "::" + m_sClassName + "(QObject* pParent)\n";
    sText += "    : CUnmodelledObject(\"" + m_sInterface + "\", pParent)\n{\n}\n";
    for (const CMethod& oMethod : m_lMethods) {
        const QString sReturn = returnType(oMethod);
        sText +=
            "\n" + sReturn + " " + m_sClassName + "::" + oMethod.sName + "(" + parameters(oMethod, false) + ")\n{\n";
        sText += "    refuse(\"" + oMethod.sName + "\");\n";
        if (sReturn != "void") {
            sText += "    return " + sReturn + "();\n";
        }
        sText += "}\n";
    }
    return sText;
}

bool CUnmodelledGenerator::writeFile(const QString& sPath, const QString& sText)
{
    QFile oFile(sPath);
    const QByteArray aText = sText.toUtf8();
    return oFile.open(QIODevice::WriteOnly | QIODevice::Truncate) && oFile.write(aText) == aText.size();
}
