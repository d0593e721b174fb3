#include "test_supervisor_app.h"

static CSupervisorApp theSupervisor;
static CDebugAppLog theTestDebugLog(theSupervisor.m_csExeName, TRUE);

CSupervisorApp& GetSupervisorForTest()
{
    return theSupervisor;
}

CDebugAppLog& GetTestDebugLog()
{
    return theTestDebugLog;
}

void ResetSupervisorForTest()
{
    theSupervisor.m_paProcesses.clear();
    theSupervisor.m_csDefinitionFile.clear();
    theSupervisor.m_fAllowClose = FALSE;
    theSupervisor.m_fLifoShutdown = FALSE;
    theSupervisor.m_nStopTimeoutAll = -1;
    theSupervisor.m_adwStopWaysAll.clear();
}
