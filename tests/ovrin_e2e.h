// End-to-end helpers: a running copy of Ovrin.exe with its standard input
// and output in the test's hands, and a raw pipe client that speaks the
// control protocol. Every wait is bounded; destructors leave no process.
#pragma once

#include <windows.h>
#include <deque>
#include <string>
#include <vector>

#include "control.h"

// Ovrin.exe copied into its own folder under its own name, so that its
// control pipe name is its own too.
class COvrinProcess
{
public:
    COvrinProcess();
    ~COvrinProcess();

    // Copies Ovrin.exe as csExeName into a fresh folder, writes the
    // definition file csDefinition there as <base>.inf and starts it with
    // csArgs (standard input stays open until CloseInput).
    BOOL Start(const std::string& csExeName, const std::string& csDefinition, const std::string& csArgs = "");
    // The two halves of Start, for tests that put files beside it first.
    void Prepare(const std::string& csExeName);
    BOOL Launch(const std::string& csDefinition, const std::string& csArgs = "");
    // Copies the helper child program into the folder as csName, so that
    // definition lines can name it without a path.
    void CopyChild(const std::string& csName);
    void WriteInput(const std::string& csText);
    void CloseInput();
    // Waits until the standard output holds csText (after iFrom); returns its offset or npos.
    size_t WaitForOutput(const std::string& csText, DWORD dwTimeoutMs, size_t iFrom = 0);
    std::string Output();
    // Waits for the process to end; FALSE on time-out.
    BOOL WaitForExit(DWORD dwTimeoutMs);
    void Kill();
    DWORD GetExitCode();

    std::string m_csDir;
    std::string m_csExePath;
    std::string m_csExeName;
    PROCESS_INFORMATION m_pi;

private:
    static DWORD WINAPI ReadOutput(LPVOID pv);
    HANDLE m_hInput;
    HANDLE m_hOutput;
    HANDLE m_hReader;
    CRITICAL_SECTION m_critsec;
    std::string m_csOutput;
};

// A control-protocol client over a raw overlapped message pipe. A reader
// thread keeps one read pending at all times and queues what arrives.
class CTestClient
{
public:
    CTestClient();
    ~CTestClient();

    // Connects to \\.\pipe\Tesk\OvrinUtility\<exe name>, retrying up to dwTimeoutMs.
    BOOL Connect(const std::string& csExeName, DWORD dwTimeoutMs, BOOL fRead = TRUE);
    BOOL Send(DWORD dwKind, const std::string& csName = std::string());
    BOOL SendRaw(const std::string& csBytes);
    // The next message, or FALSE after the time-out.
    BOOL Receive(CControlMessage& msg, DWORD dwTimeoutMs);
    // Text lines until one starts with csLast (included) or the time-out.
    std::vector<std::string> ReceiveTextsUntil(const std::string& csLast, DWORD dwTimeoutMs);
    // Every message that arrives within dwQuietMs of the previous one.
    std::vector<CControlMessage> Drain(DWORD dwQuietMs);
    void Close();
    BOOL IsConnected() const { return m_hPipe != INVALID_HANDLE_VALUE; }
    BOOL HasEnded();

private:
    static DWORD WINAPI ReadLoop(LPVOID pv);
    HANDLE m_hPipe;
    HANDLE m_hReader;
    HANDLE m_hArrived;
    CRITICAL_SECTION m_critsec;
    std::deque<std::string> m_acsMessages;
    BOOL m_fEnded;
};

