// Watched process record: defaults, state texts and small queries.
#include "watched.h"

#include <algorithm>

#include "common/assertex.h"
#include "common/filestuf.h"
#include "common/widestr.h"
#include "environment.h"
#include "exeinfo.h"

namespace {

// Which time the status line shows for a state.
enum
{
    TIME_NONE,
    TIME_START,          // the start time when there is one
    TIME_START_OR_END    // the start time, else the end time
};

#define STATE_BIT(n) (1u << (n))
// Every state a record can leave: a removed record is destroyed next.
const DWORD c_dwAnyLive = 0x7FFu & ~STATE_BIT(PS_REMOVED);
// The states in which a restart or retry can be pending (an operator's
// stop cancels it).
const DWORD c_dwCanWait = STATE_BIT(PS_CRASHED) | STATE_BIT(PS_ENDED) | STATE_BIT(PS_STOPPED) |
                          STATE_BIT(PS_NOT_CREATED) | STATE_BIT(PS_ANOTHER_INSTANCE);

struct CStateInfo
{
    LONG m_nState;
    const char* m_pszText;   // NULL: no text of its own
    LONG m_nWireStatus;      // status code of the process record; 0: never sent
    int m_nTimeShown;
    DWORD m_dwAllowedFrom;   // STATE_BIT of each state the record may come from
};

// A record is terminated (ended) or given a new start or alarm from any
// state; only the classification of a seen end needs a running process.
const CStateInfo c_aStates[] = {
    {PS_CRASHED, "crashed      ", 1, TIME_START_OR_END, STATE_BIT(PS_RUNNING)},
    {PS_ENDED, "ended        ", 2, TIME_START_OR_END, c_dwAnyLive},
    {PS_STOPPED, "stopped      ", 3, TIME_START_OR_END, STATE_BIT(PS_RUNNING) | STATE_BIT(PS_STOPPING) | c_dwCanWait},
    {PS_RUNNING, "running      ", 4, TIME_START, c_dwAnyLive},  // from stopping: a NOSTOP member asked by a rule
    {PS_NOT_CREATED, "not created  ", 5, TIME_NONE, c_dwAnyLive},
    {PS_STARTING, "starting     ", 6, TIME_NONE, c_dwAnyLive & ~STATE_BIT(PS_GIVEN_UP)},
    {PS_ANOTHER_INSTANCE, "failed to start, another instance is running", 7, TIME_NONE, c_dwAnyLive},
    {PS_REMOVED, NULL, 8, TIME_NONE, c_dwAnyLive},
    {PS_NOT_INITIALIZED, "not initialized", 0, TIME_NONE, 0},
    // Decided by the rules of the line's own unexpected end.
    // A stop for a failed check is followed by the same rules.
    {PS_GIVEN_UP, "given up     ", 1, TIME_START_OR_END,
     STATE_BIT(PS_CRASHED) | STATE_BIT(PS_ENDED) | STATE_BIT(PS_STOPPED)},
    // Asked to end; clients that predate the state read it as running.
    {PS_STOPPING, "stopping     ", 4, TIME_START, STATE_BIT(PS_RUNNING)},
};

LONG s_nStateChanges = 0;

const CStateInfo* FindState(LONG nState)
{
    for (const CStateInfo& info : c_aStates) {
        if (info.m_nState == nState)
            return &info;
    }
    return NULL;
}

}  // namespace

std::vector<std::string> GetStateTexts()
{
    std::vector<std::string> acsTexts;
    for (const CStateInfo& info : c_aStates) {
        if (info.m_pszText == NULL)
            continue;
        std::string csText = info.m_pszText;
        acsTexts.push_back(csText.substr(0, csText.find_last_not_of(' ') + 1));
    }
    return acsTexts;
}

LONG GetStateChangeCount()
{
    return s_nStateChanges;
}

CWatchedProcess::CWatchedProcess()
    : m_nReloadAction(RELOAD_NONE), m_fStartAfterReload(FALSE), m_nStopTimeout(-1), m_fForcedStop(FALSE), m_nForcedStops(0), m_ullStopDeadlineMs(0), m_dwStopWaitMs(0),
      m_iNextStopWay(0), m_nStopFor(STOP_FOR_NONE), m_fWatchTerminate(FALSE),
      m_fAskOnly(FALSE), m_fAskWhenOlder(FALSE),
      m_ullStartedMs(0), m_ullEndedMs(0), m_nStartsSeen(0), m_fHasLastExitCode(FALSE), m_dwLastExitCode(0),
      m_llStartTime(-1), m_fExternalCopy(FALSE), m_fAttached(FALSE), m_pNotices(NULL)
{
    SetDefaults();
}

CWatchedProcess::~CWatchedProcess()
{
    m_alarmRestart.Cancel();
    m_alarmStop.Cancel();
    EndTree();
}

void CWatchedProcess::SetDefaults()
{
    m_fMaster = FALSE;
    m_nGroup = -1;
    m_fCheckExitCode = FALSE;
    m_dwOkExitCode = 0;
    m_fWatch = TRUE;
    m_fSync = FALSE;
    m_fUnique = TRUE;
    m_fStopRequested = FALSE;
    m_mtsRestartDelay = CMilliTimeSpan(0, 0, 0, 60, 0);
    m_alarmRestart.Cancel();
    m_fQuit = FALSE;
    m_nQuitDelay = 5;
    m_fQuitPending = FALSE;
    m_fNoStart = FALSE;
    m_fNoStop = FALSE;
    m_nState = PS_NOT_INITIALIZED;
    m_fEnabled = FALSE;
    m_nBackoffMax = 0;
    m_nMaxRestarts = -1;
    m_fKillTree = FALSE;
    ResetRestartCount();
}

void CWatchedProcess::CloseHandles()
{
    // The run is over: what it started goes with it (kill on job close).
    EndTree();
    CChildProcess::CloseHandles();
}

void CWatchedProcess::EndTree()
{
    if (!m_hJob.IsValid())
        return;
    if (!::TerminateJobObject(m_hJob.Get(), 0))
        DEBUG_TRACE_MSG("TerminateJobObject failed for " << GetName() << ". Error " << LastErrorText());
    m_hJob.Reset();
}

void CWatchedProcess::CopyFromTemplate(const CWatchedProcess& wpTemplate)
{
    TakeRunSettings(wpTemplate);
    m_fQuitPending = wpTemplate.m_fQuitPending;
    m_fStopRequested = wpTemplate.m_fStopRequested;
    // An external instance runs already: it is never waited for.
    m_checkOptions.m_ready = CProbeTarget();
    m_fCheckExitCode = TRUE;
    // As the template has it: the name cut to 15 characters would no longer
    // be the whole file name an instance's image is compared with.
    m_csUniqueName = wpTemplate.m_csUniqueName;
    m_acsEnv = wpTemplate.m_acsEnv;
    SetCommandLine(wpTemplate.GetFullCommandLine());
}

BOOL CWatchedProcess::SetState(LONG nState)
{
    const CStateInfo* pTo = FindState(nState);
    if (pTo == NULL || (m_nState >= 0 && m_nState < 32 && !(pTo->m_dwAllowedFrom & STATE_BIT(m_nState)))) {
        CHECK_FAILED_("state change not allowed", "m_nState", m_nState, "nState", nState);
        return FALSE;
    }
    if (nState != m_nState) {
        DEBUG_TRACE_MSG("State of " << GetName() << ": " << m_nState << " -> " << nState);
        s_nStateChanges++;
    }
    m_nState = nState;
    if (nState != PS_RUNNING)
        EndChecks();
    UpdateWait();
    return TRUE;
}

LONG CWatchedProcess::GetWireStatus() const
{
    const CStateInfo* pInfo = FindState(m_nState);
    return pInfo != NULL ? pInfo->m_nWireStatus : 0;
}

std::string CWatchedProcess::GetStateText() const
{
    // Not ready yet: running by every rule, shown as starting.
    const CStateInfo* pInfo = FindState(m_checks.m_fAwaitingReady ? PS_STARTING : m_nState);
    const char* pszText = pInfo != NULL ? pInfo->m_pszText : NULL;
    if (pszText == NULL) {
        DEBUG_FAILURE_MSG("Default case reached: " << m_nState);
        return "unknown";
    }
    return pszText;
}

std::string CWatchedProcess::GetTimeText() const
{
    const CStateInfo* pInfo = FindState(m_nState);
    const int nTimeShown = pInfo != NULL ? pInfo->m_nTimeShown : TIME_NONE;
    if (nTimeShown != TIME_NONE && m_mtStarted.IsValid())
        return m_mtStarted.Format();
    if (nTimeShown == TIME_START_OR_END && m_mtEnded.IsValid())
        return m_mtEnded.Format();
    return std::string();
}

namespace {

// The file name of a path, without its folder.
std::string FileNameOf(const std::string& csPath)
{
    const std::string csName = GetFileName(csPath);
    return !csName.empty() ? csName : csPath;
}

}  // namespace

std::string CWatchedProcess::GetUniqueName() const
{
    // A program given with its folder is listed by its file name.
    std::string csName = !m_csUniqueName.empty() ? m_csUniqueName : StripExtension(FileNameOf(GetExeName()));
    return csName.substr(0, 15);
}

std::string CWatchedProcess::GetInstanceFileName() const
{
    if (m_csUniqueName.empty())
        return StripExtension(FileNameOf(GetExeName()));
    // A name the operator wrote may carry ".exe" (and even a folder); a
    // census lists neither.
    std::string csName = FileNameOf(m_csUniqueName);
    if (StrEndsWithI(csName, ".exe"))
        csName.erase(csName.size() - 4);
    return csName;
}

std::string CWatchedProcess::GetCensusName() const
{
    // Process names in a census (the performance data's) hold 15 characters.
    return GetInstanceFileName().substr(0, 15);
}

std::string CWatchedProcess::GetUniqueProgramPath()
{
    // UNIQUE "other" names a process of another program (a launcher's
    // real server, say): only its name can tell it.
    if (!m_csUniqueName.empty() &&
        !StrIEqual(GetInstanceFileName(), StripExtension(FileNameOf(GetExeName()))))
        return std::string();
    const std::string csPath = FindExecutable();
    return csPath.empty() ? csPath : GetFullPath(csPath);
}

BOOL CWatchedProcess::RunsUniqueProgram(HANDLE hProcess, const std::string& csProgramPath) const
{
    const std::wstring wsImage = GetProcessImagePath(hProcess);
    if (!csProgramPath.empty())
        return !wsImage.empty() && IsSameFile(csProgramPath, wsImage);
    if (wsImage.empty())
        return TRUE;
    std::wstring wsName = wsImage.substr(wsImage.find_last_of(L"\\/") + 1);
    const size_t iDot = wsName.rfind(L'.');
    if (iDot != std::wstring::npos)
        wsName.erase(iDot);
    return StrIEqual(WideToAnsi(wsName.c_str(), (int)wsName.size()), GetInstanceFileName());
}

BOOL CWatchedProcess::HasSameEnvironment(const CWatchedProcess& other) const
{
    return EffectiveEnvEntries(m_acsEnv) == EffectiveEnvEntries(other.m_acsEnv);
}

BOOL CWatchedProcess::IsRunning()
{
    if (m_processinfo.hProcess == NULL)
        return FALSE;
    DWORD dwExitCode = 0;
    if (!::GetExitCodeProcess(m_processinfo.hProcess, &dwExitCode)) {
        DEBUG_TRACE_MSG("GetExitCodeProcess failed for process " << GetName() << ".  Error: " << LastErrorText());
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
    m_csMonitorEventName = csName;
    m_pMonitorEvent = std::make_shared<CHandle>(::CreateEventA(NULL, FALSE, FALSE, csName.c_str()));
}

void CWatchedProcess::SignalMonitorEvent()
{
    if (!m_csMonitorEventName.empty() && m_pMonitorEvent && m_pMonitorEvent->IsValid())
        VERIFY_TRUE(::SetEvent(m_pMonitorEvent->Get()));
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

void CWatchedProcess::UpdateWait()
{
    if ((m_nState == PS_RUNNING || m_nState == PS_STOPPING) && m_processinfo.hProcess != NULL) {
        m_pwoDelegate = NULL;
        m_phWaitHandle = &m_processinfo.hProcess;
        m_fEnabled = TRUE;
    } else if (m_alarmRestart.IsArmed()) {
        m_pwoDelegate = &m_alarmRestart;
        m_fEnabled = TRUE;
    } else {
        m_fEnabled = FALSE;
    }
}

void CWatchedProcess::ArmRestart(LONG nDelayMs, BOOL fFromEnd)
{
    const CMilliTimeSpan mtsDelay = CMilliTimeSpan::FromMilliseconds(nDelayMs);
    if (fFromEnd && m_mtEnded.IsValid())
        m_alarmRestart.SetAtMonotonic(m_ullEndedMs + (ULONGLONG)nDelayMs, m_mtEnded + mtsDelay);
    else
        m_alarmRestart.SetAfter(mtsDelay);
    UpdateWait();
}

void CWatchedProcess::MarkEnded()
{
    m_mtEnded = CMilliTime::GetCurrentTime();
    m_ullEndedMs = GetMonotonicMilliseconds();
}

CRestartPolicy CWatchedProcess::GetRestartPolicy() const
{
    CRestartPolicy policy;
    policy.m_nDelayMs = m_mtsRestartDelay.GetTotalMilliseconds();
    policy.m_nBackoffMaxMs = m_nBackoffMax > 0 ? m_nBackoffMax * 1000 : 0;
    policy.m_nMaxRestarts = m_nMaxRestarts;
    return policy;
}

void CWatchedProcess::ResetRestartCount()
{
    m_restartCount.m_nBackoffStep = 0;
    m_restartCount.m_nCountedRestarts = 0;
}

namespace {

const LONG c_nMinRetryMs = 1000;
// A run shorter than this counts towards MAXRESTARTS (or BACKOFF's cap where larger).
const LONG c_nCountedRunMs = 60000;

// min(cap, base x 2^(k-1)) without overflow; base is 1 s when RESTARTDELAY is 0.
LONG BackoffDelay(const CRestartPolicy& policy, LONG nStep)
{
    LONGLONG llDelay = policy.m_nDelayMs > 0 ? policy.m_nDelayMs : 1000;
    for (LONG i = 1; i < nStep && llDelay < policy.m_nBackoffMaxMs; i++)
        llDelay *= 2;
    return (LONG)std::min<LONGLONG>(llDelay, policy.m_nBackoffMaxMs);
}

// The delay of the next restart or retry: RESTARTDELAY without BACKOFF;
// with it the next step of the doubling, or its first after a long run.
LONG AdvanceBackoff(const CRestartPolicy& policy, CRestartCount& count, BOOL fLongRun)
{
    if (policy.m_nBackoffMaxMs <= 0)
        return policy.m_nDelayMs;
    if (fLongRun)
        count.m_nBackoffStep = 1;
    else if (count.m_nBackoffStep < 64)
        count.m_nBackoffStep++;
    return BackoffDelay(policy, count.m_nBackoffStep);
}

}  // namespace

BOOL NextRestartDelay(const CRestartPolicy& policy, CRestartCount& count, ULONGLONG ullRunMs, LONG& nDelayMs)
{
    if (policy.m_nMaxRestarts >= 0) {
        const LONG nCountedRunMs = std::max(c_nCountedRunMs, policy.m_nBackoffMaxMs);
        if (ullRunMs >= (ULONGLONG)nCountedRunMs) {
            count.m_nCountedRestarts = 0;
        } else {
            if (count.m_nCountedRestarts >= policy.m_nMaxRestarts)
                return FALSE;
            count.m_nCountedRestarts++;
        }
    }
    nDelayMs = AdvanceBackoff(policy, count, ullRunMs >= (ULONGLONG)policy.m_nBackoffMaxMs);
    return TRUE;
}

LONG NextRetryDelay(const CRestartPolicy& policy, CRestartCount& count)
{
    return std::max(AdvanceBackoff(policy, count, FALSE), c_nMinRetryMs);
}

BOOL CWatchedProcess::IsRestartPending() const
{
    return m_fEnabled && m_pwoDelegate == &m_alarmRestart && m_alarmRestart.IsArmed();
}

BOOL CWatchedProcess::CancelRestart()
{
    BOOL fPending = IsRestartPending();
    m_alarmRestart.Cancel();
    UpdateWait();
    return fPending;
}

std::string CWatchedProcess::FindExecutable()
{
    return FindExecutableFile(GetExeName());
}

std::string CWatchedProcess::GetVersionText()
{
    return GetVersionTextOf(GetExeName());
}
