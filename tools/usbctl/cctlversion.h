#pragma once

class CCtlBus;

// "version": the software versions announced in the shared runtime general record.
class CCtlVersion
{
public:
    static int run(CCtlBus& oBus);
};
