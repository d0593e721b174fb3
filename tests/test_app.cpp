#include "test_app.h"

// Constructed in this order, as in the program: application, then debug log.
static CTestApp theTestApp;
static CDebugAppLog theTestDebugLog(theTestApp.m_csExeName, TRUE);

CTestApp& GetTestApp()
{
    return theTestApp;
}

CDebugAppLog& GetTestDebugLog()
{
    return theTestDebugLog;
}
