// Watched process record: defaults, state texts and small queries.
#include "watched.h"

#include "common/assertex.h"
#include "common/filestuf.h"
#include "exeinfo.h"

namespace {

// Texts of the states 0 to 6 and 8; PS_REMOVED has none.
const char* StateText(LONG nState)
{
    switch (nState) {
    case PS_CRASHED: return "crashed      ";
    case PS_ENDED: return "ended        ";
    case PS_STOPPED: return "stopped      ";
    case PS_RUNNING: return "running      ";
    case PS_NOT_CREATED: return "not created  ";
    case PS_STARTING: return "starting     ";
    case PS_ANOTHER_INSTANCE: return "failed to start, another instance is running";
    case PS_NOT_INITIALIZED: return "not initialized";
    default: return NULL;
    }
}

}  // namespace

CWatchedProcess::CWatchedProcess()
    : m_hMonitorEvent(NULL), m_nStartsSeen(0), m_fHasLastExitCode(FALSE), m_dwLastExitCode(0),
      m_pNotices(NULL), m_fOwnsMonitorEvent(FALSE)
{
    SetDefaults();
}

CWatchedProcess::~CWatchedProcess()
{
    m_alarmRestart.Cancel();
    if (m_fOwnsMonitorEvent && m_hMonitorEvent != NULL)
        VERIFY_TRUE(::CloseHandle(m_hMonitorEvent));
    m_hMonitorEvent = NULL;
}

void CWatchedProcess::SetDefaults()
{
    m_fMaster = 0;
    m_nGroup = -1;
    m_fCheckExitCode = 0;
    m_dwOkExitCode = 0;
    m_fWatch = 1;
    m_fSync = 0;
    m_fUnique = 1;
    m_fStopRequested = 0;
    m_mtsRestartDelay = CMilliTimeSpan(0, 0, 0, 60, 0);
    m_alarmRestart.Cancel();
    m_fQuit = 0;
    m_nQuitDelay = 5;
    m_fQuitPending = 0;
    m_fNoStart = 0;
    m_fNoStop = 0;
    m_nState = PS_NOT_INITIALIZED;
    m_fEnabled = 0;
}

void CWatchedProcess::Reset()
{
    CChildProcess::Reset();
    SetDefaults();
}

void CWatchedProcess::CopyFromTemplate(const CWatchedProcess& wpTemplate)
{
    m_fMaster = wpTemplate.m_fMaster;
    m_nGroup = wpTemplate.m_nGroup;
    m_dwOkExitCode = wpTemplate.m_dwOkExitCode;
    m_fWatch = wpTemplate.m_fWatch;
    m_fSync = wpTemplate.m_fSync;
    m_fUnique = wpTemplate.m_fUnique;
    m_mtsRestartDelay = wpTemplate.m_mtsRestartDelay;
    m_fQuit = wpTemplate.m_fQuit;
    m_nQuitDelay = wpTemplate.m_nQuitDelay;
    m_fQuitPending = wpTemplate.m_fQuitPending;
    m_fNoStart = wpTemplate.m_fNoStart;
    m_fNoStop = wpTemplate.m_fNoStop;
    m_fStopRequested = wpTemplate.m_fStopRequested;
    m_csMonitorEventName = wpTemplate.m_csMonitorEventName;
    m_hMonitorEvent = wpTemplate.m_hMonitorEvent;
    m_fOwnsMonitorEvent = FALSE;
    m_fCheckExitCode = 1;
    m_csUniqueName = wpTemplate.GetUniqueName();
    SetCommandLine(wpTemplate.GetFullCommandLine());
}

std::string CWatchedProcess::GetStateText() const
{
    const char* pszText = StateText(m_nState);
    if (pszText == NULL) {
        DEBUG_FAILURE_MSG("Default case reached: " << m_nState);
        return "unknown";
    }
    return pszText;
}

std::string CWatchedProcess::GetTimeText() const
{
    switch (m_nState) {
    case PS_CRASHED:
    case PS_ENDED:
    case PS_STOPPED:
        if (m_mtStarted.IsValid())
            return m_mtStarted.Format();
        if (m_mtEnded.IsValid())
            return m_mtEnded.Format();
        return std::string();
    case PS_RUNNING:
        return m_mtStarted.IsValid() ? m_mtStarted.Format() : std::string();
    default:
        return std::string();
    }
}

std::string CWatchedProcess::GetUniqueName() const
{
    std::string csName =
        !m_csUniqueName.empty() ? m_csUniqueName : StripExtension(GetExeName());
    return csName.substr(0, 15);
}

BOOL CWatchedProcess::IsRunning()
{
    if (m_processinfo.hProcess == NULL)
        return FALSE;
    DWORD dwExitCode = 0;
    if (!::GetExitCodeProcess(m_processinfo.hProcess, &dwExitCode)) {
        DEBUG_TRACE_MSG("GetExitCodeProcess failed for process " << GetExeName() << ".  Error: " << LastErrorText());
        return FALSE;
    }
    return dwExitCode == STILL_ACTIVE;
}

BOOL CWatchedProcess::IsExternalTemplate() const
{
    return m_fNoStart && m_processinfo.dwProcessId == 0;
}

void CWatchedProcess::SetMonitorEvent(const std::string& csName)
{
    if (m_fOwnsMonitorEvent && m_hMonitorEvent != NULL)
        VERIFY_TRUE(::CloseHandle(m_hMonitorEvent));
    m_csMonitorEventName = csName;
    m_hMonitorEvent = ::CreateEventA(NULL, FALSE, FALSE, csName.c_str());
    m_fOwnsMonitorEvent = m_hMonitorEvent != NULL;
}

void CWatchedProcess::SignalMonitorEvent()
{
    if (!m_csMonitorEventName.empty() && m_hMonitorEvent != NULL)
        VERIFY_TRUE(::SetEvent(m_hMonitorEvent));
}

LONG CWatchedProcess::GetExitCode()
{
    if (m_processinfo.hProcess == NULL)
        return 0;
    return (LONG)WaitForExitCode();
}

BOOL CWatchedProcess::EndedNormally()
{
    return m_fCheckExitCode && m_processinfo.hProcess != NULL && (DWORD)GetExitCode() == m_dwOkExitCode;
}

std::string CWatchedProcess::FindExecutable()
{
    return FindExecutableFile(GetExeName());
}

std::string CWatchedProcess::GetVersionText()
{
    return GetVersionTextOf(GetExeName());
}
