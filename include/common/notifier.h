// CDebugNotifier: forwards finished debug messages to a debugger program
// listening on a named message pipe, one CDebugMessage per debug message.
// Owned by the debug log and called only inside its lock, so records go out
// one at a time in closing order. Inactive until Connect succeeds; a send
// that fails (or is not taken within m_dwSendTimeout) closes the pipe and
// leaves the notifier inactive for good.
//
// CDebugMessage: the record on the pipe, a versioned message (2, 2) with
// the kind, process id, thread id, time, module, thread name, source (base
// name of the source file in lower case) and text of one debug message.
#pragma once

#include "common/assertex.h"
#include "common/debug.h"
#include "common/messagev.h"
#include "common/pipe.h"

class CDebugMessage : public CMessageV
{
public:
    CDebugMessage();

    virtual void DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths) override;
    virtual BOOL DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                               int& iBlock) override;

    DWORD m_dwKind;
    DWORD m_dwProcessId;
    DWORD m_dwThreadId;
    CMilliTime m_mtTime;
    std::string m_csModule;
    std::string m_csThreadName;
    std::string m_csSource;
    std::string m_csText;
};

class CDebugNotifier : public CDebugReporter
{
public:
    CDebugNotifier();
    virtual ~CDebugNotifier();

    // Null computer: this computer. Call only through ConnectToDebugger.
    BOOL Connect(const char* pszComputer, const char* pszPipeName);
    virtual BOOL Report(const CDebugRecord& record) override;

    // The record that Report sends for a finished message.
    static void BuildMessage(const CDebugRecord& record, CDebugMessage& message);

    BOOL m_fPipeOpened;
    // How long a record may wait for the debugger to take it, in ms, before
    // the debugger is given up. Under Wine a pipe write ends only when the
    // reader reads it, so a debugger that stops reading would otherwise
    // hold every thread that logs.
    DWORD m_dwSendTimeout;

private:
    void ClosePipe();

    CMessagePipe m_pipe;
    CIoInstance m_instance;
    CIoOperation m_opWrite;
};
