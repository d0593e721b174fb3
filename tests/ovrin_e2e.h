// The end-to-end driver that tests and benchmarks share.
//
// COvrinProcess: one run of a copy of Ovrin.exe under a name of its own (the
// control pipe follows it) in a fresh folder, with copies of the child
// program beside it. Its console output is kept whole and line by line,
// each line with its arrival time; "quit" on its input ends it the
// operator's way. The supervisor runs in a job object that ends with the
// run, so Kill and the destructor leave neither it nor any child it placed;
// the destructor removes the folder. One thread drives a run; the reader
// thread only appends output under the lock.
//
// CTestClient: a control-protocol client over a raw overlapped message pipe.
// A reader thread keeps one read pending at all times (a Wine pipe write ends
// only when the reader takes it) and queues every message with its arrival
// time; a client connected without reading reads nothing, as a misbehaving
// one. One thread sends and receives; the reader thread only queues.
//
// Every wait is bounded.
#pragma once

#include <windows.h>
#include <deque>
#include <string>
#include <vector>

#include "common/handle.h"
#include "control.h"

class COvrinProcess
{
public:
    COvrinProcess();
    ~COvrinProcess();

    // Prepare, then Launch.
    BOOL Start(const std::string& csExeName, const std::string& csDefinition, const std::string& csArgs = "");
    // A fresh folder with Ovrin.exe copied in as csExeName.
    BOOL Prepare(const std::string& csExeName);
    // Writes the definition file (<base>.inf; none when empty) and starts
    // the supervisor with csArgs; standard input stays open until CloseInput.
    BOOL Launch(const std::string& csDefinition, const std::string& csArgs = "");
    // The child program beside the supervisor as csName. A copy, not a hard
    // link: Wine 8 gives every process started from links of one file the
    // name of the link it opened first, so UNIQUE would find the wrong one.
    BOOL CopyChild(const std::string& csName);
    // Children whose names start with csPrefix are counted and ended by
    // Cleanup (for runs whose children may outlive the job).
    void SetChildPrefix(const std::string& csPrefix) { m_csChildPrefix = csPrefix; }
    std::string GetPath(const std::string& csName) const { return m_csDir + "\\" + csName; }

    void WriteInput(const std::string& csText);
    // Types "quit" at the supervisor's console client.
    void Quit() { WriteInput("quit\r\n"); }
    void CloseInput();

    // Waits until the output holds csText (after offset iFrom); its offset or npos.
    size_t WaitForOutput(const std::string& csText, DWORD dwTimeoutMs, size_t iFrom = 0);
    std::string Output();
    // Waits for a console line that starts with csPrefix, from line iFrom
    // on; its index and arrival time go to the pointers. FALSE on time-out.
    BOOL WaitForLine(const std::string& csPrefix, DWORD dwTimeoutMs, size_t* piLine = NULL, LONGLONG* pllAt = NULL,
                     size_t iFrom = 0);

    // Waits for the supervisor to end; FALSE on time-out.
    BOOL WaitForExit(DWORD dwTimeoutMs);
    BOOL HasExited() { return WaitForExit(0); }
    DWORD GetExitCode();
    // Ends the supervisor and every process in its job.
    void Kill();
    // How many processes with the child prefix are running; then Kill, and
    // those outside the job end too.
    size_t Cleanup();

    std::string m_csDir;
    std::string m_csExePath;
    std::string m_csExeName;
    std::string m_csChildPrefix;
    PROCESS_INFORMATION m_pi;   // owned; closed by Kill (public for the probes)
    LONGLONG m_llLaunched;   // just before CreateProcess

private:
    static DWORD WINAPI ReadOutput(LPVOID pv);
    CHandle m_hJob;
    CHandle m_hInput;
    CHandle m_hOutput;
    CHandle m_hReader;
    CRITICAL_SECTION m_critsec;
    std::string m_csOutput;
    std::string m_csPartial;
    std::vector<std::string> m_acsLines;
    std::vector<LONGLONG> m_allLineTimes;
};

class CTestClient
{
public:
    CTestClient();
    ~CTestClient();

    // Connects to the control pipe of the supervisor named csExeName,
    // retrying up to dwTimeoutMs. Without fRead the client never reads.
    BOOL Connect(const std::string& csExeName, DWORD dwTimeoutMs, BOOL fRead = TRUE);
    BOOL Send(DWORD dwKind, const std::string& csName = std::string());
    // Writes one pipe message; gives up (and cancels) after dwTimeoutMs.
    BOOL SendRaw(const void* pv, DWORD cb, DWORD dwTimeoutMs = 10000);
    BOOL SendRaw(const std::string& csBytes) { return SendRaw(csBytes.data(), (DWORD)csBytes.size()); }
    // The next message (and its arrival time); FALSE on time-out or when the
    // connection has ended and nothing is queued.
    BOOL Receive(CControlMessage& msg, LONGLONG* pllAt, DWORD dwTimeoutMs);
    BOOL Receive(CControlMessage& msg, DWORD dwTimeoutMs) { return Receive(msg, NULL, dwTimeoutMs); }
    // Text messages up to and including the one that starts with csPrefix
    // (kept in pacsTexts when given); FALSE on time-out or end.
    BOOL WaitForText(const std::string& csPrefix, DWORD dwTimeoutMs, LONGLONG* pllAt = NULL,
                     std::vector<std::string>* pacsTexts = NULL);
    // The texts WaitForText passes, whether or not csLast came.
    std::vector<std::string> ReceiveTextsUntil(const std::string& csLast, DWORD dwTimeoutMs);
    // Receives until cTexts text messages have come; FALSE on time-out.
    BOOL ReceiveTexts(size_t cTexts, DWORD dwTimeoutMs, std::vector<std::string>& acsTexts,
                      LONGLONG* pllLast = NULL);
    // Waits until the server has closed the connection and the queue holds
    // everything it sent.
    BOOL WaitForEnd(DWORD dwTimeoutMs);
    // Every queued text, in order (the queue is emptied).
    std::vector<std::string> TakeTexts();
    // Empties the queue unread.
    void Discard() { TakeTexts(); }
    void Close();
    BOOL IsConnected() const { return m_hPipe.IsValid(); }
    BOOL HasEnded();

private:
    static DWORD WINAPI ReadLoop(LPVOID pv);
    // The next text message, before dwTimeoutMs have passed since dwStart.
    BOOL ReceiveText(std::string& csText, LONGLONG* pllAt, DWORD dwStart, DWORD dwTimeoutMs);
    struct CArrival
    {
        LONGLONG m_llAt;
        std::string m_csBytes;
    };
    CHandle m_hPipe;
    CHandle m_hReader;
    CHandle m_hArrived;
    CHandle m_hWriteEvent;
    CRITICAL_SECTION m_critsec;
    std::deque<CArrival> m_aArrivals;
    BOOL m_fEnded;
};
