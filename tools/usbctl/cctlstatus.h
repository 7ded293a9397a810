#pragma once

class CCtlBus;

// "status": the shared runtime USB record, field by field or as one JSON object.
class CCtlStatus
{
public:
    static int run(CCtlBus& oBus, bool bJson);
};
