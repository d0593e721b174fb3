// The debug message log: the one logging convention of the program.
// A message is opened with its source file, line and kind, written with
// stream insertion and closed; the process-wide debug output object
// serialises messages between threads (its lock is held from opening to
// closing) and routes the finished text to the debugger notifier, the echo,
// the software-failure report and message boxes. Any thread may write
// messages; a message must be closed on the thread that opened it.
//
// Write one message with a macro:
//   DEBUG_MESSAGE(DEBUG_ERROR, "Couldn't open " << csName << ". Error " << LastErrorText());
#pragma once

#include <windows.h>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/millitim.h"
#include "common/strutil.h"

enum {
    DEBUG_TRACE = 0,
    DEBUG_ERROR = 0x1,
    DEBUG_SHOW = 0x2,
    DEBUG_FAILURE = 0x4
};

// Process-wide switches (trace off, errors on, failure box off).
extern volatile BOOL g_fDebugErrors;
extern volatile BOOL g_fDebugTrace;
extern volatile BOOL g_fSoftwareFailureBox;

// A finished message with its header, as the reporters receive it.
struct CDebugRecord
{
    DWORD m_dwProcessId;
    std::string m_csModule;
    DWORD m_dwThreadId;
    std::string m_csThreadName;
    CMilliTime m_mtTime;
    const char* m_pszFile;
    int m_nLine;
    int m_nKind;
    std::string m_csText;
};

// Thread-name registry.
void RegisterThreadName(const std::string& csName, DWORD dwThreadId);
std::string GetThreadName(DWORD dwThreadId);

// The four calls behind every message; each preserves the last error.
BOOL IsDebugOutputEnabled();
void StartDebugMessage(const char* pszFile, int nLine, int nKind);
std::ostream& GetDebugStream();
void EndDebugMessage();

// Per-thread suppression: while the level is 1 or more, IsDebugOutputEnabled is FALSE.
void SuppressDebugOutput(BOOL fSuppress);

// A stream that throws its text away.
std::ostream& GetDiscardStream();

// Connects the current debug log to a debugger pipe (null computer: this one).
BOOL ConnectToDebugger(const char* pszComputer, const char* pszPipeName);

// Kinds 0 and 1 alone are gated by their switch and IsDebugOutputEnabled;
// shown and failure messages always pass. Costs one switch test when off.
inline BOOL IsDebugMessageWanted(int nKind)
{
    if (nKind & (DEBUG_SHOW | DEBUG_FAILURE))
        return TRUE;
    if (!((nKind & DEBUG_ERROR) ? g_fDebugErrors : g_fDebugTrace))
        return FALSE;
    return IsDebugOutputEnabled();
}

#define DEBUG_WRITE_(kind, text)                             \
    do {                                                     \
        const DWORD dwSavedErrorDbg_ = ::GetLastError();     \
        StartDebugMessage(__FILE__, __LINE__, (kind));       \
        GetDebugStream() << text;                            \
        EndDebugMessage();                                   \
        ::SetLastError(dwSavedErrorDbg_);                    \
    } while (0)

// One message by the system's rule for its kind.
#define DEBUG_MESSAGE(kind, text)                 \
    do {                                          \
        if (IsDebugMessageWanted(kind))           \
            DEBUG_WRITE_(kind, text);             \
    } while (0)

// The supervisor's own messages: gated only by IsDebugOutputEnabled.
#define DEBUG_APP_MESSAGE(kind, text)             \
    do {                                          \
        if (IsDebugOutputEnabled())               \
            DEBUG_WRITE_(kind, text);             \
    } while (0)

#define DEBUG_TRACE_MSG(text) DEBUG_MESSAGE(DEBUG_TRACE, text)
#define DEBUG_ERROR_MSG(text) DEBUG_MESSAGE(DEBUG_ERROR, text)
#define DEBUG_FAILURE_MSG(text) DEBUG_MESSAGE(DEBUG_FAILURE, text)

class CDebugReporter;
class CFailureReporter;
class CDebugNotifier;

// Debug output base: the lock, the header fields of the current message and
// the TLS suppression slot shared by every debug output object.
class CDebugOutput
{
public:
    CDebugOutput();
    virtual ~CDebugOutput();

    virtual void StartMessage();
    virtual std::ostream& GetStream();
    virtual void EndMessage();

    static CDebugOutput* GetCurrent();

    // Header of a message; a nested message's header is stacked on the
    // outer one's so that the outer message closes with its own.
    struct CHeader
    {
        CMilliTime m_mtTime;
        const char* m_pszFile;
        int m_nLine;
        int m_nKind;
    };
    void PushHeader(const CMilliTime& mtTime, const char* pszFile, int nLine, int nKind);
    void PopHeader();

    DWORD m_tlsOffOnNestingLevel;
    CRITICAL_SECTION m_critsecLock;
    std::vector<CHeader> m_aOuterHeaders;
    CMilliTime m_mtTime;
    const char* m_pszFile;
    int m_nLine;
    int m_nKind;
};

// Collects the outermost message of a thread in a buffer and hands it to the
// notifier and the failure report when it closes.
class CDebugLog : public CDebugOutput
{
public:
    explicit CDebugLog(BOOL fEcho);
    virtual ~CDebugLog();

    virtual void StartMessage() override;
    virtual std::ostream& GetStream() override;
    virtual void EndMessage() override;

    BOOL ConnectToDebugger(const char* pszComputer, const char* pszPipeName);

    std::string m_csModule;
    BOOL m_fEcho;
    int m_nNestingLevel;
    std::ostringstream m_osBuffer;
    CDebugNotifier* m_pNotifier;         // owned; inactive until connected
    CDebugReporter* m_pFailureReport;    // owned (a CFailureReporter); always active

protected:
    // Steps shared by both EndMessage versions; fApp adds the echo and the box.
    void FinishMessage(BOOL fApp, const std::string& csTitle);
};

// The application's debug output: adds the echo and the message box.
class CDebugAppLog : public CDebugLog
{
public:
    CDebugAppLog(const std::string& csTitle, BOOL fEcho);

    virtual void EndMessage() override;

    std::string m_csTitle;
};
