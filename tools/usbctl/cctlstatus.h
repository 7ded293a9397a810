#pragma once

class CCtlBus;

// "status": the shared runtime USB record, field by field or as one JSON object, and the file
// system mounted where the record says the stick is, with its source, from the mount table.
class CCtlStatus
{
public:
    static int run(CCtlBus& oBus, bool bJson);
};
