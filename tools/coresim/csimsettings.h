#pragma once

#include <QString>

// How the simulator answers the calls it models; changed at start and by commands.
class CSimSettings
{
public:
    CSimSettings();

    // E.g. "reply 1 (REPLY_SUCCESS), no delay, answering".
    QString describe() const;
    // What a caller of a set method gets, e.g. "REPLY_SUCCESS" or "no answer (silent)".
    QString answerText() const;

    int m_iReplyCode;
    int m_iDelayMs;
    bool m_bSilent;
};
