// CDebugLog: buffers the outermost message of the writing thread and hands
// it to the notifier and the failure report.
#include <iostream>

#include "common/assertex.h"
#include "common/conapp.h"
#include "common/debug.h"
#include "common/filestuf.h"
#include "common/handle.h"
#include "common/notifier.h"

namespace {

// Boxes showing at once; more are dropped (their text has gone to the
// debugger and the echo already), so that a flood of shown messages does
// not become a flood of threads and windows.
const LONG s_cMaxBoxes = 4;
volatile LONG s_cBoxes = 0;
const DWORD s_dwBoxWaitMs = 1000;

struct CBoxRequest
{
    std::string m_csText;
    std::string m_csTitle;
    UINT m_uType;
};

DWORD WINAPI ShowBox(LPVOID pv)
{
    CBoxRequest* pRequest = (CBoxRequest*)pv;
    ::MessageBoxA(NULL, pRequest->m_csText.c_str(), pRequest->m_csTitle.c_str(), pRequest->m_uType);
    delete pRequest;
    ::InterlockedDecrement(&s_cBoxes);
    return 0;
}

// A message box waits for a click: shown on a thread of its own, it holds
// neither the caller (the supervision loop, say) nor the debug lock for
// longer than s_dwBoxWaitMs.
void ShowBoxDetached(const std::string& csText, const std::string& csTitle, UINT uType)
{
    if (::InterlockedIncrement(&s_cBoxes) > s_cMaxBoxes) {
        ::InterlockedDecrement(&s_cBoxes);
        return;
    }
    CBoxRequest* pRequest = new CBoxRequest{csText, csTitle, uType};
    CHandle hThread(::CreateThread(NULL, 0, ShowBox, pRequest, 0, NULL));
    if (!hThread.IsValid()) {
        delete pRequest;
        ::InterlockedDecrement(&s_cBoxes);
        return;
    }
    // Without a display the box returns as soon as Wine's desktop process
    // is up, and a process that ends before that leaves the desktop
    // process behind for good, holding the standard handles it inherited
    // (measured; waiting only for the desktop window was not enough). So
    // the box gets a bounded moment; with a display it stays up and the
    // caller goes on after that moment.
    ::WaitForSingleObject(hThread.Get(), s_dwBoxWaitMs);
}

}  // namespace

CDebugLog::CDebugLog(BOOL fEcho)
    : m_fEcho(fEcho), m_nNestingLevel(0), m_pNotifier(new CDebugNotifier), m_pFailureReport(new CFailureReporter)
{
    m_csModule = StrLower(StripExtension(GetFileName(GetModulePath(NULL))));
}

CDebugLog::~CDebugLog()
{
    ::EnterCriticalSection(&m_critsecLock);
    delete m_pNotifier;
    m_pNotifier = NULL;
    delete m_pFailureReport;
    m_pFailureReport = NULL;
    ::LeaveCriticalSection(&m_critsecLock);
}

void CDebugLog::StartMessage()
{
    // A broken level is repaired before reporting it, since the report is a
    // message of this log itself and would otherwise recurse.
    int nLevel = m_nNestingLevel;
    if (nLevel < 0) {
        m_nNestingLevel = 0;
        ReportAssertion(__FILE__, __LINE__, "ASSERT_COND(m_nNestingLevel, >=, 0)", "m_nNestingLevel", nLevel, "0", 0);
    }
    m_nNestingLevel++;
    if (m_nNestingLevel == 1) {
        m_osBuffer.str(std::string());
        m_osBuffer.clear();
    }
}

std::ostream& CDebugLog::GetStream()
{
    if (m_nNestingLevel == 1)
        return m_osBuffer;
    return m_fEcho ? (std::ostream&)std::cerr : GetDiscardStream();
}

void CDebugLog::EndMessage()
{
    FinishMessage(FALSE, std::string());
}

void CDebugLog::FinishMessage(BOOL fApp, const std::string& csTitle)
{
    if (m_nNestingLevel <= 0) {
        ReportAssertion(__FILE__, __LINE__, "ASSERT_COND(m_nNestingLevel, >, 0)", "m_nNestingLevel", m_nNestingLevel,
                        "0", 0);
        return;
    }
    if (m_nNestingLevel == 1) {
        DWORD dwThreadId = ::GetCurrentThreadId();
        CDebugRecord record;
        record.m_dwProcessId = ::GetCurrentProcessId();
        record.m_csModule = m_csModule;
        record.m_dwThreadId = dwThreadId;
        record.m_csThreadName = GetThreadName(dwThreadId);
        if (record.m_csThreadName.empty())
            record.m_csThreadName = "main";
        record.m_mtTime = m_mtTime;
        record.m_pszFile = m_pszFile;
        record.m_nLine = m_nLine;
        record.m_nKind = m_nKind;
        record.m_csText = m_osBuffer.str();

        BOOL fNotified = FALSE;
        if (m_pNotifier != NULL && m_pNotifier->m_fActive) {
            m_pNotifier->Report(record);
            fNotified = TRUE;
        }
        BOOL fEchoed = fApp && !fNotified && m_fEcho;
        if (fEchoed) {
            std::cerr << record.m_csText << '\n';
            std::cerr.flush();
        }
        if (m_nKind & DEBUG_FAILURE) {
            if (m_pFailureReport != NULL)
                m_pFailureReport->Report(record);
        } else if (fApp && (m_nKind & DEBUG_SHOW)) {
            CConsoleApp* pApp = CConsoleApp::PeekApp();
            if (pApp == NULL || !pApp->IsRunningAsService()) {
                // A message box is never seen without a display, so a shown
                // message also goes to the console, where an operator and a
                // script see it.
                if (!fEchoed) {
                    std::cerr << record.m_csText << '\n';
                    std::cerr.flush();
                }
                UINT uType = MB_TASKMODAL | MB_SETFOREGROUND |
                             ((m_nKind & DEBUG_ERROR) ? MB_ICONHAND : MB_ICONEXCLAMATION);
                ShowBoxDetached(record.m_csText, csTitle, uType);
            }
        }
        m_osBuffer.str(std::string());
        m_osBuffer.clear();
    } else if (fApp && m_fEcho) {
        std::cerr << '\n';
        std::cerr.flush();
    }
    m_nNestingLevel--;
}

BOOL CDebugLog::ConnectToDebugger(const char* pszComputer, const char* pszPipeName)
{
    // Held like an open message, so that what the connect itself writes is
    // nested and never reaches the notifier.
    ::EnterCriticalSection(&m_critsecLock);
    m_nNestingLevel++;
    BOOL fConnected = m_pNotifier->Connect(pszComputer, pszPipeName);
    m_nNestingLevel--;
    ::LeaveCriticalSection(&m_critsecLock);
    return fConnected;
}
