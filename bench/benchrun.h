// The two ends the benchmarks drive.
//
// CSupervisorRun: one run of a copy of Ovrin.exe, under a name of its own
// (the control pipe follows it) in a fresh folder with copies of the child
// program beside it. Its console output is read line by line, each line
// with its arrival time; "quit" on its input ends it the operator's way.
// The destructor kills what is left (the supervisor and every child it
// placed) and removes the folder. One thread uses a run; the reader thread
// only appends lines under the lock.
//
// CBenchClient: a control-protocol client over a raw overlapped message
// pipe. A reader thread keeps one read pending at all times (a Wine pipe
// write ends only when the reader takes it) and queues every message with
// its arrival time; a silent client reads nothing, as a misbehaving one.
// One thread sends and receives; the reader thread only queues.
#pragma once

#include <windows.h>
#include <deque>
#include <string>
#include <vector>

#include "benchutil.h"
#include "control.h"

class CSupervisorRun
{
public:
    CSupervisorRun();
    ~CSupervisorRun();

    // A fresh folder with Ovrin.exe copied in as csExeName.
    BOOL Prepare(const std::string& csExeName);
    // The child program beside it as csName; csName's first letters are
    // what Cleanup looks for, so every child of a run shares a prefix.
    BOOL AddChild(const std::string& csName);
    void SetChildPrefix(const std::string& csPrefix) { m_csChildPrefix = csPrefix; }
    std::string GetPath(const std::string& csName) const { return m_csDir + "\\" + csName; }
    // Writes the definition file (<base>.inf) and starts the supervisor.
    BOOL Launch(const std::string& csDefinition);

    // Waits for a console line that starts with csPrefix, from line iFrom
    // on; its index and arrival time go to the pointers. FALSE on time-out.
    BOOL WaitForLine(const std::string& csPrefix, DWORD dwTimeoutMs, size_t* piLine = NULL,
                     LONGLONG* pllAt = NULL, size_t iFrom = 0);
    std::vector<std::string> GetLines();
    std::string GetOutput();

    // Types "quit" at the supervisor's console client.
    void Quit();
    BOOL WaitForExit(DWORD dwTimeoutMs);
    BOOL HasExited();
    DWORD GetExitCode();
    // The supervisor's CPU time, private memory and handle count.
    CProcessUsage ReadUsage();
    const CProcessProbe& GetProbe();
    // Kills the supervisor and every process whose name has the child
    // prefix; returns how many children were left.
    size_t Cleanup();

    std::string m_csDir;
    std::string m_csExeName;
    std::string m_csChildPrefix;
    HANDLE m_hProcess;
    DWORD m_dwProcessId;
    LONGLONG m_llLaunched;   // just before CreateProcess
    CProcessProbe m_probe;
    BOOL m_fProbeOpen;

private:
    static DWORD WINAPI ReadOutput(LPVOID pv);
    HANDLE m_hInput;
    HANDLE m_hOutput;
    HANDLE m_hReader;
    CRITICAL_SECTION m_critsec;
    std::string m_csPartial;
    std::string m_csOutput;
    std::vector<std::string> m_acsLines;
    std::vector<LONGLONG> m_allLineTimes;
};

class CBenchClient
{
public:
    CBenchClient();
    ~CBenchClient();

    // Connects to the pipe of the supervisor named csExeName, retrying up
    // to dwTimeoutMs. Without fRead the client never reads.
    BOOL Connect(const std::string& csExeName, DWORD dwTimeoutMs, BOOL fRead = TRUE);
    BOOL Send(DWORD dwKind, const std::string& csName = std::string());
    // Writes one pipe message; gives up (and cancels) after dwTimeoutMs.
    BOOL SendRaw(const void* pv, DWORD cb, DWORD dwTimeoutMs = 10000);
    // The next message and its arrival time; FALSE on time-out or when the
    // connection has ended and nothing is queued.
    BOOL Receive(CControlMessage& msg, LONGLONG* pllAt, DWORD dwTimeoutMs);
    // Text messages up to and including the one that starts with csPrefix
    // (kept in pacsTexts when given); FALSE on time-out or end.
    BOOL WaitForText(const std::string& csPrefix, DWORD dwTimeoutMs, LONGLONG* pllAt = NULL,
                     std::vector<std::string>* pacsTexts = NULL);
    // Receives until cTexts text messages have come; FALSE on time-out.
    BOOL ReceiveTexts(size_t cTexts, DWORD dwTimeoutMs, std::vector<std::string>& acsTexts,
                      LONGLONG* pllLast = NULL);
    // Waits until the server has closed the connection and the queue holds
    // everything it sent.
    BOOL WaitForEnd(DWORD dwTimeoutMs);
    // Every queued text, in order (the queue is emptied).
    std::vector<std::string> TakeTexts();
    // Empties the queue unread.
    void Discard();
    void Close();
    BOOL IsConnected() const { return m_hPipe != INVALID_HANDLE_VALUE; }
    BOOL HasEnded();

private:
    static DWORD WINAPI ReadLoop(LPVOID pv);
    struct CArrival
    {
        LONGLONG llAt;
        std::string csBytes;
    };
    HANDLE m_hPipe;
    HANDLE m_hReader;
    HANDLE m_hArrived;
    HANDLE m_hWriteEvent;
    CRITICAL_SECTION m_critsec;
    std::deque<CArrival> m_aArrivals;
    BOOL m_fEnded;
};
