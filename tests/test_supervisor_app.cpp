#include "test_supervisor_app.h"

static CTestProgram<CSupervisorApp> theTestProgram;
static CSupervisorApp& theSupervisor = theTestProgram.m_app;

CSupervisorApp& GetSupervisorForTest()
{
    return theSupervisor;
}

CDebugAppLog& GetTestDebugLog()
{
    return theTestProgram.m_debugLog;
}

void ResetSupervisorForTest()
{
    theSupervisor.m_paProcesses.clear();
    theSupervisor.m_csDefinitionFile.clear();
    theSupervisor.m_fAllowClose = FALSE;
    theSupervisor.m_fLifoShutdown = FALSE;
    theSupervisor.m_nStopTimeoutAll = -1;
    theSupervisor.m_adwStopWaysAll.clear();
    theSupervisor.m_fAnyChecks = FALSE;
}
