// Debug output base, the four message calls, the thread-name registry and
// the discarding stream.
#include "common/debug.h"

#include <iostream>
#include <vector>

#include "common/assertex.h"

volatile BOOL g_fDebugErrors = TRUE;
volatile BOOL g_fDebugTrace = FALSE;
volatile BOOL g_fSoftwareFailureBox = FALSE;

namespace {

// Constant-initialised, so messages written during static construction of
// other translation units see a consistent "no debug output yet".
CDebugOutput* g_pCurrentDebugOutput = NULL;
LONG g_cDebugOutputs = 0;
DWORD g_tlsSharedSlot = TLS_OUT_OF_INDEXES;

struct CThreadNameRegistry
{
    CThreadNameRegistry() { ::InitializeCriticalSection(&m_critsec); }
    // Never deleted: threads may still register while statics are destroyed.
    CRITICAL_SECTION m_critsec;
    CDWordArray m_adwIds;
    CStringArray m_acsNames;
};

CThreadNameRegistry& Registry()
{
    static CThreadNameRegistry* s_pRegistry = new CThreadNameRegistry;
    return *s_pRegistry;
}

class CDiscardBuffer : public std::streambuf
{
protected:
    virtual int_type overflow(int_type c) override { return traits_type::not_eof(c); }
    virtual std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

// The output lock must be left only by its owner: closing a message that was
// never opened must not corrupt the critical section.
BOOL OwnsLock(CRITICAL_SECTION& critsec)
{
    return (DWORD)(DWORD_PTR)critsec.OwningThread == ::GetCurrentThreadId() && critsec.RecursionCount > 0;
}

}  // namespace

// Instantiated early so that messages from static constructors have a stream.
static const struct CRegistryInit { CRegistryInit() { Registry(); } } s_registryInit;

void RegisterThreadName(const std::string& csName, DWORD dwThreadId)
{
    CThreadNameRegistry& reg = Registry();
    ::EnterCriticalSection(&reg.m_critsec);
    for (size_t i = reg.m_adwIds.size(); i-- > 0;) {
        if (reg.m_adwIds[i] == dwThreadId) {
            reg.m_adwIds.erase(reg.m_adwIds.begin() + i);
            reg.m_acsNames.erase(reg.m_acsNames.begin() + i);
        }
    }
    reg.m_adwIds.push_back(dwThreadId);
    reg.m_acsNames.push_back(csName);
    ::LeaveCriticalSection(&reg.m_critsec);
}

std::string GetThreadName(DWORD dwThreadId)
{
    CThreadNameRegistry& reg = Registry();
    std::string csName;
    ::EnterCriticalSection(&reg.m_critsec);
    for (size_t i = 0; i < reg.m_adwIds.size(); i++) {
        if (reg.m_adwIds[i] == dwThreadId) {
            csName = reg.m_acsNames[i];
            break;
        }
    }
    ::LeaveCriticalSection(&reg.m_critsec);
    return csName;
}

std::ostream& GetDiscardStream()
{
    static CDiscardBuffer* s_pBuffer = new CDiscardBuffer;
    static std::ostream* s_pStream = new std::ostream(s_pBuffer);
    return *s_pStream;
}

BOOL IsDebugOutputEnabled()
{
    CDebugOutput* pOutput = g_pCurrentDebugOutput;
    if (pOutput == NULL)
        return FALSE;
    DWORD dwSavedError = ::GetLastError();
    // TlsGetValue clears the last error on success.
    LONG nLevel = (LONG)(LONG_PTR)::TlsGetValue(pOutput->m_tlsOffOnNestingLevel);
    ::SetLastError(dwSavedError);
    return nLevel < 1;
}

void SuppressDebugOutput(BOOL fSuppress)
{
    CDebugOutput* pOutput = g_pCurrentDebugOutput;
    if (pOutput == NULL)
        return;
    DWORD dwSavedError = ::GetLastError();
    LONG nLevel = (LONG)(LONG_PTR)::TlsGetValue(pOutput->m_tlsOffOnNestingLevel);
    nLevel += fSuppress ? 1 : -1;
    ::TlsSetValue(pOutput->m_tlsOffOnNestingLevel, (LPVOID)(LONG_PTR)nLevel);
    ::SetLastError(dwSavedError);
}

void StartDebugMessage(const char* pszFile, int nLine, int nKind)
{
    CDebugOutput* pOutput = g_pCurrentDebugOutput;
    if (pOutput == NULL)
        return;
    DWORD dwSavedError = ::GetLastError();
    CMilliTime mtNow = CMilliTime::GetCurrentTime();
    ::EnterCriticalSection(&pOutput->m_critsecLock);
    pOutput->PushHeader(mtNow, pszFile, nLine, nKind);
    pOutput->StartMessage();
    ::SetLastError(dwSavedError);
}

std::ostream& GetDebugStream()
{
    CDebugOutput* pOutput = g_pCurrentDebugOutput;
    if (pOutput == NULL)
        return GetDiscardStream();
    DWORD dwSavedError = ::GetLastError();
    std::ostream& os = pOutput->GetStream();
    ::SetLastError(dwSavedError);
    return os;
}

void EndDebugMessage()
{
    CDebugOutput* pOutput = g_pCurrentDebugOutput;
    if (pOutput == NULL)
        return;
    DWORD dwSavedError = ::GetLastError();
    if (OwnsLock(pOutput->m_critsecLock)) {
        pOutput->EndMessage();
        pOutput->PopHeader();
        ::LeaveCriticalSection(&pOutput->m_critsecLock);
    } else {
        ReportAssertion(__FILE__, __LINE__, "ASSERT_TRUE(OwnsLock(pOutput->m_critsecLock))", NULL, 0, NULL, 0);
    }
    ::SetLastError(dwSavedError);
}

CDebugOutput::CDebugOutput()
    : m_tlsOffOnNestingLevel(TLS_OUT_OF_INDEXES), m_pszFile(""), m_nLine(0), m_nKind(DEBUG_TRACE)
{
    ::InitializeCriticalSection(&m_critsecLock);
    if (::InterlockedIncrement(&g_cDebugOutputs) == 1) {
        g_tlsSharedSlot = ::TlsAlloc();
        m_tlsOffOnNestingLevel = g_tlsSharedSlot;
        g_pCurrentDebugOutput = this;
        ASSERT_COND(m_tlsOffOnNestingLevel, !=, ~0);
    } else {
        m_tlsOffOnNestingLevel = g_tlsSharedSlot;
    }
}

CDebugOutput::~CDebugOutput()
{
    if (g_pCurrentDebugOutput == this)
        g_pCurrentDebugOutput = NULL;
    if (::InterlockedDecrement(&g_cDebugOutputs) == 0) {
        g_pCurrentDebugOutput = NULL;
        VERIFY_TRUE(::TlsFree(m_tlsOffOnNestingLevel));
        g_tlsSharedSlot = TLS_OUT_OF_INDEXES;
    }
    ::DeleteCriticalSection(&m_critsecLock);
}

void CDebugOutput::PushHeader(const CMilliTime& mtTime, const char* pszFile, int nLine, int nKind)
{
    if (m_critsecLock.RecursionCount > 1)
        m_aOuterHeaders.push_back(CHeader{m_mtTime, m_pszFile, m_nLine, m_nKind});
    m_mtTime = mtTime;
    m_pszFile = pszFile;
    m_nLine = nLine;
    m_nKind = nKind;
}

void CDebugOutput::PopHeader()
{
    if (m_critsecLock.RecursionCount > 1 && !m_aOuterHeaders.empty()) {
        const CHeader& header = m_aOuterHeaders.back();
        m_mtTime = header.m_mtTime;
        m_pszFile = header.m_pszFile;
        m_nLine = header.m_nLine;
        m_nKind = header.m_nKind;
        m_aOuterHeaders.pop_back();
    }
}

CDebugOutput* CDebugOutput::GetCurrent()
{
    return g_pCurrentDebugOutput;
}

void CDebugOutput::StartMessage()
{
}

std::ostream& CDebugOutput::GetStream()
{
    return std::cerr;
}

void CDebugOutput::EndMessage()
{
    std::cerr << std::endl;
}

BOOL ConnectToDebugger(const char* pszComputer, const char* pszPipeName)
{
    CDebugLog* pLog = dynamic_cast<CDebugLog*>(g_pCurrentDebugOutput);
    if (pLog == NULL)
        return FALSE;
    return pLog->ConnectToDebugger(pszComputer, pszPipeName);
}
