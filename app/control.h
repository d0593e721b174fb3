// CControlMessage: the one record of the control protocol. Every pipe
// message between a client and the server carries exactly one, serialized
// as versioned blocks: kind, name, text, status, filename, version. A
// message object is used by one thread at a time.
#pragma once

#include <string>

#include "common/messagev.h"

enum
{
    MSG_STOP = 1,
    MSG_START = 2,
    MSG_STATUS = 3,
    MSG_TERMINATE = 4,
    MSG_TEXT = 5,
    MSG_REPORT_ALL = 6,
    MSG_PROCESS_RECORD = 7,
    // Additions for scripted clients; the interactive client never sends
    // them and ignores them when they arrive. A server that predates them
    // logs the kind and goes on serving, so a client bounds its wait.
    // Both directions: asked by a client after its command, answered to that
    // client alone once every reply to the command has gone out.
    MSG_END_OF_REPLIES = 8,
    // Client to server: answered to the sender alone with one
    // MSG_PROCESS_DETAIL per listed process, in list order.
    MSG_REPORT_DETAILS = 9,
    // Server to client: name = listed name, status = the record's status
    // code, filename = the status line, version = version text, text = the
    // detail fields (CProcessDetail) separated by tabs.
    MSG_PROCESS_DETAIL = 10,
    // Server to client, before the MSG_PROCESS_DETAILs of MSG_REPORT_DETAILS:
    // name = the supervisor's executable file name, version = its version
    // text, text = the number of connected clients.
    MSG_SUPERVISOR_DETAIL = 11,
    // Client to server: read the definition file again. Answered to the
    // sender alone with MSG_TEXTs: CONTROL_RELOAD_REFUSED and the errors,
    // or the changes made.
    MSG_RELOAD = 12
};

// The largest well-formed control message (a command, or a status line or
// record with a few names of at most MAX_PATH) is a few kilobytes; a
// message over this bound is not ours and is refused before its size is
// allocated, by the server and by the clients alike.
const DWORD CONTROL_MAX_MESSAGE = 64 * 1024;

// The end of the server's answer to a name that addresses no process; the
// control tool's exit code rests on it.
const char* const CONTROL_NOT_VALID_SUFFIX = " is not a valid process name.";

// The start of the answer to a reload that found errors and changed nothing;
// the control tool's exit code rests on it.
const char* const CONTROL_RELOAD_REFUSED = "Reload refused: ";

class CControlMessage : public CMessageV
{
public:
    CControlMessage();

    virtual void DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths) override;
    virtual BOOL DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                               int& iBlock) override;

    DWORD m_dwKind;
    std::string m_csName;
    std::string m_csText;
    LONG m_nStatus;
    std::string m_csFilename;
    std::string m_csVersion;
};

// The pipe name after "\\computer\pipe\" for an executable file name.
std::string GetControlPipeName(const std::string& csExeName);

// What a MSG_PROCESS_DETAIL tells about one process beyond its status line.
// Times are whole seconds; a value that does not apply is -1.
struct CProcessDetail
{
    CProcessDetail();
    // Tab-separated in this order: pid, restarts, has exit code (0/1), last
    // exit code (unsigned decimal), seconds up, seconds since the end, state
    // text, time text, forced stop (0/1), forced stops, start time (seconds
    // since 1970), unique name, external copy (0/1), executable (the program
    // as the line gives it), attached (0/1), healthy (-1/0/1). Unknown trailing fields are
    // ignored by Parse; a field that an older server does not send reads as
    // its default.
    std::string Format() const;
    BOOL Parse(const std::string& csText);

    DWORD m_dwProcessId;
    LONG m_nRestarts;
    BOOL m_fHasExitCode;
    DWORD m_dwExitCode;
    LONG m_nSecondsUp;
    LONG m_nSecondsSinceEnd;
    std::string m_csState;
    std::string m_csTime;
    BOOL m_fForcedStop;   // the last stop needed the kill at its deadline
    LONG m_nForcedStops;  // stops that needed the kill, since the supervisor started
    LONGLONG m_llStartTime;   // of the last start, seconds since 1970 (UTC)
    std::string m_csUniqueName;   // the metrics' name of the line: its NAME, or its UNIQUE name
    BOOL m_fExternalCopy;     // a record made for an external instance of a NOSTART line
    std::string m_csExecutable;   // the program; empty from a server that predates it
    BOOL m_fAttached;         // the line watches a process it did not start
    int m_nHealthy;           // the last health probe's result: 1, 0, or -1 before one
};

// An exit code as an operator reads it: decimal, with the hex form added for
// status codes (0xC0000000 and above), e.g. "3221225477 (0xC0000005)".
std::string FormatExitCode(DWORD dwExitCode);
