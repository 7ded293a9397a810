#pragma once

#include <ostream>
#include <string>

// The daemon's own options. They are read before the application object exists and create
// no Qt object, so nothing here can log before the message handler is in place.
class CCommandLine
{
public:
    CCommandLine(int argc, const char* const argv[]);

    // True without arguments: the service runs.
    bool startsService() const;
    // Prints what the arguments asked for and returns the exit status: 0 for --help and
    // --version, 2 for an argument the daemon does not know.
    int answer(std::ostream& oOut, std::ostream& oErr) const;

private:
    enum EAction { EStart, EVersion, EHelp, EUnknown };

    EAction m_eAction;
    std::string m_sUnknown;
};
