// CDebugNotifier: forwards finished debug messages to a debugger program
// listening on a named message pipe. Owned by the debug log and called only
// inside its lock, so records go out one at a time in closing order.
#pragma once

#include "common/assertex.h"
#include "common/debug.h"

class CDebugNotifierImpl;

class CDebugNotifier : public CDebugReporter
{
public:
    CDebugNotifier();
    virtual ~CDebugNotifier();

    // Null computer: this computer. Call only through ConnectToDebugger.
    BOOL Connect(const char* pszComputer, const char* pszPipeName);
    virtual BOOL Report(const CDebugRecord& record) override;

    BOOL m_fPipeOpened;

private:
    CDebugNotifierImpl* m_pImpl;   // the pipe and its operation
};
