#include "test_app.h"

static CTestProgram<CTestApp> theTestProgram;

CTestApp& GetTestApp()
{
    return theTestProgram.m_app;
}

CDebugAppLog& GetTestDebugLog()
{
    return theTestProgram.m_debugLog;
}
