// Ovrin.exe: the application object and the debug log, constructed in this
// order at start-up.
#include "common/conapp.h"
#include "common/debug.h"

class CSupervisorApp : public CConsoleApp
{
public:
    virtual void Main() override {}
};

static CSupervisorApp theApp;
static CDebugAppLog theDebugLog(theApp.m_csExeName, FALSE);
