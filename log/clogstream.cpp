#include "log/clogstream.h"

#include "log/logmessagehandler.h"

#include <QMessageLogContext>

#include <atomic>

namespace {

std::atomic<QtMessageHandler> g_pfStreamHandler {LogMessageHandler};

} // namespace

void SetLogStreamHandler(QtMessageHandler pfHandler)
{
    g_pfStreamHandler = pfHandler != nullptr ? pfHandler : LogMessageHandler;
}

CLogStream::CLogStream(QtMsgType eType)
    : m_eType(eType)
{
}

CLogStream::~CLogStream()
{
    g_pfStreamHandler.load()(m_eType, QMessageLogContext(), m_sText);
}

CLogStream& CLogStream::operator<<(const char* szText)
{
    // C strings were Latin-1 to the peers' debug stream, which had no codec set for them.
    return appendItem(QString::fromLatin1(szText));
}

CLogStream& CLogStream::operator<<(const QString& sText)
{
    return appendItem(QLatin1Char('"') + sText + QLatin1Char('"'));
}

CLogStream& CLogStream::operator<<(const QByteArray& aText)
{
    return appendItem(QLatin1Char('"') + QString::fromLatin1(aText) + QLatin1Char('"'));
}

CLogStream& CLogStream::operator<<(bool bValue)
{
    return appendItem(bValue ? QStringLiteral("true") : QStringLiteral("false"));
}

CLogStream& CLogStream::operator<<(int iValue)
{
    return appendItem(QString::number(iValue));
}

CLogStream& CLogStream::operator<<(unsigned int uiValue)
{
    return appendItem(QString::number(uiValue));
}

CLogStream& CLogStream::operator<<(long lValue)
{
    return appendItem(QString::number(lValue));
}

CLogStream& CLogStream::operator<<(unsigned long ulValue)
{
    return appendItem(QString::number(ulValue));
}

CLogStream& CLogStream::operator<<(long long llValue)
{
    return appendItem(QString::number(llValue));
}

CLogStream& CLogStream::operator<<(unsigned long long ullValue)
{
    return appendItem(QString::number(ullValue));
}

CLogStream& CLogStream::operator<<(CLogStream& (*pfManipulator)(CLogStream&))
{
    return pfManipulator(*this);
}

void CLogStream::appendLineBreak()
{
    m_sText += QLatin1Char('\n');
}

CLogStream& CLogStream::appendItem(const QString& sItem)
{
    m_sText += sItem;
    m_sText += QLatin1Char(' ');
    return *this;
}

CLogStream& endl(CLogStream& oStream)
{
    oStream.appendLineBreak();
    return oStream;
}
