#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Builds one log message the way the Qt 4 debug stream of our peers did: every item is
// followed by one blank (the last one too), a QString or QByteArray item is put between
// double quotes with nothing escaped, numbers are decimal, and a line break adds "\n" only.
// The finished text is handed to the installed message handler when the stream ends.
class CLogStream
{
public:
    explicit CLogStream(QtMsgType eType);
    ~CLogStream();

    CLogStream(const CLogStream&) = delete;
    CLogStream& operator=(const CLogStream&) = delete;

    CLogStream& operator<<(const char* szText);
    CLogStream& operator<<(const QString& sText);
    CLogStream& operator<<(const QByteArray& aText);
    CLogStream& operator<<(bool bValue);
    CLogStream& operator<<(int iValue);
    CLogStream& operator<<(unsigned int uiValue);
    CLogStream& operator<<(long lValue);
    CLogStream& operator<<(unsigned long ulValue);
    CLogStream& operator<<(long long llValue);
    CLogStream& operator<<(unsigned long long ullValue);
    CLogStream& operator<<(CLogStream& (*pfManipulator)(CLogStream&));

    void appendLineBreak();

private:
    CLogStream& appendItem(const QString& sItem);

    QtMsgType m_eType;
    QString m_sText;
};

// Where every CLogStream text goes; LogMessageHandler unless a test records the messages
// (null restores it). The text is handed over directly, not through qt_message_output, which
// would first drop lines that a logging rule (QT_LOGGING_RULES, a qtlogging.ini) switches
// off: the peers' Qt 4 had no such rules, and Log_Level alone decides.
void SetLogStreamHandler(QtMessageHandler pfHandler);

// The line-break item: "\n" without the blank that other items get.
CLogStream& endl(CLogStream& oStream);

// Call sites name their module and line before the message items. "File: cusb" names the
// service object's module and stands in every file of the daemon by design, not for the file
// it is written in: the peers' log readers know the daemon's lines by that name.
#define CUSB_DEBUG CLogStream(QtDebugMsg) << "File: cusb Line: " << __LINE__ << ": "
#define CUSB_WARNING CLogStream(QtWarningMsg) << "File: cusb Line: " << __LINE__ << ": "
#define CUSB_CRITICAL CLogStream(QtCriticalMsg) << "File: cusb Line: " << __LINE__ << ": "
