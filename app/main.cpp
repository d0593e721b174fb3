// The program's process-wide objects, constructed in this order at start-up:
// the application object, then the debug log, which takes its name.
#include "common/debug.h"
#include "ovrin.h"

static CSupervisorApp theApp;
static CDebugAppLog theDebugLog(theApp.m_csExeName, FALSE);
