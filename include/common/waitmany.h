// Internals of the wait multiplexer shared by win32.cpp and waitmany.cpp,
// and a hook for the tests. Not for other callers.
#pragma once

#include <vector>

#include "common/win32.h"

// Writes the error-class message of a failed wait and sets the last error.
void ReportWaitFailed(DWORD dwError);

// WaitForWaitObjects for more than MAXIMUM_WAIT_OBJECTS enabled objects:
// ahHandles[i] is the resolved handle of apwoObjects[i], in array order.
CWaitObject* WaitForManyObjects(BOOL fWaitAll, const std::vector<HANDLE>& ahHandles,
                                const std::vector<CWaitObject*>& apwoObjects, DWORD dwTimeout);

// Tests only: called on the waiting thread after the first wake of a wait
// on more than MAXIMUM_WAIT_OBJECTS objects that needed helper threads, and
// before the helpers are stopped. Null in the program.
extern void (*g_pfnWaitManyWokenHook)(void* pvContext);
extern void* g_pvWaitManyWokenHookContext;
