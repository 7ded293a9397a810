#include "tools/coresim/csimsettings.h"

#include "records/replycodes.h"

CSimSettings::CSimSettings()
    : m_iReplyCode(REPLY_SUCCESS)
    , m_iDelayMs(0)
    , m_bSilent(false)
{
}

QString CSimSettings::describe() const
{
    const QString sName = ReplyCodeName(m_iReplyCode);
    QString sText = QString("reply %1, ").arg(m_iReplyCode);
    if (sName != QString::number(m_iReplyCode)) {
        sText = QString("reply %1 (%2), ").arg(m_iReplyCode).arg(sName);
    }
    sText += m_iDelayMs > 0 ? QString("delay %1 ms, ").arg(m_iDelayMs) : QString("no delay, ");
    sText += m_bSilent ? "silent (modelled calls are never answered)" : "answering";
    return sText;
}

QString CSimSettings::answerText() const
{
    if (m_bSilent) {
        return QStringLiteral("no answer (silent)");
    }
    QString sText = ReplyCodeName(m_iReplyCode);
    if (m_iDelayMs > 0) {
        sText += QString(" after %1 ms").arg(m_iDelayMs);
    }
    return sText;
}
