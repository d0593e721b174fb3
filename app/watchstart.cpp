// Starting, attaching and stopping watched processes. Everything here runs
// on the supervision thread.
#include "common/assertex.h"
#include "common/filestuf.h"
#include "ovrin.h"

namespace {

// PROCESS_ALL_ACCESS as Windows NT defines it. Headers for Vista and later
// widen the macro to 0x1FFFFF, which older systems refuse with
// ERROR_ACCESS_DENIED; every right the supervisor needs is in this value.
const DWORD c_dwAttachAccess = 0x1F0FFF;

// How much later than the census a listed process may say it was created
// (100 ns units): 10 s.
const ULONGLONG c_ullCreationSlack = 10ULL * 1000 * 1000 * 10;

// The process name of the image behind a process handle, in the census's
// form; empty when the system cannot tell (then only the time is checked).
std::string GetProcessNameOf(HANDLE hProcess)
{
    typedef BOOL(WINAPI * PFN_QUERY_IMAGE)(HANDLE, DWORD, LPWSTR, PDWORD);
    typedef DWORD(WINAPI * PFN_BASE_NAME)(HANDLE, HMODULE, LPWSTR, DWORD);
    // Vista and later; older systems have the module name through psapi.
    static const PFN_QUERY_IMAGE s_pfnQueryImage = (PFN_QUERY_IMAGE)(void*)::GetProcAddress(
        ::GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameW");
    WCHAR awchImage[MAX_PATH * 2];
    DWORD cchImage = DIM(awchImage);
    if (s_pfnQueryImage != NULL && s_pfnQueryImage(hProcess, 0, awchImage, &cchImage))
        return ProcessNameFromImage(awchImage, cchImage);
    static const HMODULE s_hPsapi = ::LoadLibraryA("psapi.dll");
    static const PFN_BASE_NAME s_pfnBaseName =
        s_hPsapi != NULL ? (PFN_BASE_NAME)(void*)::GetProcAddress(s_hPsapi, "GetModuleBaseNameW") : NULL;
    if (s_pfnBaseName != NULL) {
        cchImage = s_pfnBaseName(hProcess, NULL, awchImage, DIM(awchImage));
        if (cchImage > 0)
            return ProcessNameFromImage(awchImage, cchImage);
    }
    return std::string();
}

// A nested job needs Windows 8; before it, a process of a job can be given
// a job of its own only when it leaves the supervisor's job, which that
// job must allow.
DWORD BreakawayFlagFor()
{
    typedef BOOL(WINAPI * PFN_IN_JOB)(HANDLE, HANDLE, PBOOL);
    static const PFN_IN_JOB s_pfnInJob =
        (PFN_IN_JOB)(void*)::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "IsProcessInJob");
    BOOL fInJob = FALSE;
    if (s_pfnInJob == NULL || !s_pfnInJob(::GetCurrentProcess(), NULL, &fInJob) || !fInJob)
        return 0;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info = {};
    if (!::QueryInformationJobObject(NULL, JobObjectExtendedLimitInformation, &info, sizeof info, NULL))
        return 0;
    return (info.BasicLimitInformation.LimitFlags & JOB_OBJECT_LIMIT_BREAKAWAY_OK) ? CREATE_BREAKAWAY_FROM_JOB : 0;
}

}  // namespace

BOOL CWatchedProcess::PutInJob()
{
    HANDLE hJob = ::CreateJobObjectA(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info = {};
    info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (hJob == NULL ||
        !::SetInformationJobObject(hJob, JobObjectExtendedLimitInformation, &info, sizeof info) ||
        !::AssignProcessToJobObject(hJob, m_processinfo.hProcess)) {
        DWORD dwError = ::GetLastError();
        if (hJob != NULL)
            VERIFY_TRUE(::CloseHandle(hJob));
        m_csTreeProblem = "KILLTREE: " + GetExeName() + " could not be put in a job of its own (Error " +
                          ErrorText(dwError) + "); only the process itself will be ended.";
        return FALSE;
    }
    m_hJob = hJob;
    return TRUE;
}

BOOL CWatchedProcess::Start()
{
    std::string csName = GetExeName();
    m_csTreeProblem.clear();
    BOOL fCaptured = m_capture.IsConfigured() && m_capture.PrepareRun(*this, csName, m_pNotices);
    // Started suspended, so that it cannot start anything before it is in its job.
    m_dwMoreFlags = m_fKillTree ? CREATE_SUSPENDED | BreakawayFlagFor() : 0;
    BOOL fCreated = Create();
    if (!fCreated && (m_dwMoreFlags & CREATE_BREAKAWAY_FROM_JOB) != 0) {
        m_dwMoreFlags &= ~(DWORD)CREATE_BREAKAWAY_FROM_JOB;
        fCreated = Create();
    }
    if (fCaptured)
        m_capture.FinishRun(*this, fCreated);
    if (fCreated && m_fKillTree) {
        PutInJob();
        if (::ResumeThread(m_processinfo.hThread) == (DWORD)-1)
            DEBUG_ERROR_MSG("ResumeThread failed for " << csName << ". Error " << LastErrorText());
    }
    if (fCreated) {
        DEBUG_TRACE_MSG("Process is created: " << csName);
        SetState(PS_RUNNING);
        m_nStartsSeen++;
        // A retried start leaves the record delegated to its (cancelled)
        // alarm; a SYNC process, which is not attached, would otherwise be
        // waited for on that alarm instead of its process.
        WaitOnProcess(m_fEnabled);
        if (!m_fSync)
            Attach(0);
        return TRUE;
    }
    DWORD dwError = ::GetLastError();
    DEBUG_TRACE_MSG("The process " << csName << " couldn't be started. Error " << ErrorText(dwError));
    // Never faster than once a second: a missing program with no delay
    // would otherwise keep this thread and every client busy.
    ArmRestart(NextRetryDelay(GetRestartPolicy(), m_restartCount), FALSE);
    SetState(PS_NOT_CREATED);
    ::SetLastError(dwError);
    return FALSE;
}

BOOL CWatchedProcess::Attach(DWORD dwProcessId, const FILETIME* pftSeenBefore)
{
    if (dwProcessId != 0) {
        m_processinfo.dwProcessId = dwProcessId;
        HANDLE hProcess = ::OpenProcess(c_dwAttachAccess, FALSE, dwProcessId);
        if (hProcess != NULL && pftSeenBefore != NULL && !IsListedProcess(hProcess, *pftSeenBefore)) {
            DEBUG_TRACE_MSG("Process " << (unsigned long)dwProcessId << " is no longer " << GetUniqueName()
                                       << ": its id has been reused.");
            VERIFY_TRUE(::CloseHandle(hProcess));
            hProcess = NULL;
        }
        if (hProcess == NULL) {
            DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW,
                          "Invalid process Id: " << (unsigned long)dwProcessId << " for " << GetExeName());
            DEBUG_TRACE_MSG("Cannot monitor process: " << GetExeName());
            return FALSE;
        }
        m_processinfo.hProcess = hProcess;
        SetState(PS_RUNNING);
    }
    m_fStopRequested = FALSE;
    WaitOnProcess(TRUE);
    m_mtStarted = CMilliTime::GetCurrentTime();
    m_ullStartedMs = GetMonotonicMilliseconds();
    m_mtEnded = CMilliTime();
    return TRUE;
}

BOOL CWatchedProcess::IsListedProcess(HANDLE hProcess, const FILETIME& ftSeenBefore)
{
    const std::string csImageName = GetProcessNameOf(hProcess);
    if (!csImageName.empty() && !StrIEqual(csImageName, GetUniqueName()))
        return FALSE;
    FILETIME ftCreated, ftExited, ftKernel, ftUser;
    if (!::GetProcessTimes(hProcess, &ftCreated, &ftExited, &ftKernel, &ftUser))
        return TRUE;
    // Wine gives a process its creation time only once it runs, while the
    // census lists it from its creation on: under load that came seconds
    // after the census that listed it. The slack keeps such a process; an
    // id reused later than that carries another name, or is the same
    // program, which may be watched as well.
    ULARGE_INTEGER uliCreated, uliSeen;
    uliCreated.LowPart = ftCreated.dwLowDateTime;
    uliCreated.HighPart = ftCreated.dwHighDateTime;
    uliSeen.LowPart = ftSeenBefore.dwLowDateTime;
    uliSeen.HighPart = ftSeenBefore.dwHighDateTime;
    return uliCreated.QuadPart <= uliSeen.QuadPart + c_ullCreationSlack;
}

BOOL CWatchedProcess::RequestStop()
{
    if (m_dwConsoleFlags == CREATE_NEW_CONSOLE) {
        // Without a display Wine creates no console window, so this always
        // fails there and the caller's kill after the grace period follows.
        HWND hWnd = ::FindWindowA(NULL, m_csTitle.c_str());
        if (hWnd == NULL) {
            DEBUG_ERROR_MSG("No window found for process " << m_csTitle << ".");
            return FALSE;
        }
        DWORD dwWindowProcessId = 0;
        ::GetWindowThreadProcessId(hWnd, &dwWindowProcessId);
        if (dwWindowProcessId != m_processinfo.dwProcessId) {
            DEBUG_ERROR_MSG("Process ID of " << m_csTitle << " does not match internal ID.");
            return FALSE;
        }
        if (!::PostMessageA(hWnd, WM_CLOSE, 0, 0))
            return FALSE;
        m_fStopRequested = TRUE;
        return TRUE;
    }
    if (m_dwConsoleFlags == DETACHED_PROCESS) {
        Kill();
        return TRUE;
    }
    return SendCtrlBreak();
}

BOOL CWatchedProcess::SendCtrlBreak()
{
    m_fStopRequested = TRUE;
    DEBUG_TRACE_MSG("Sending a CTRL_BREAK event to process: " << GetExeName() << ", "
                                                              << (unsigned long)m_processinfo.dwProcessId);
    // Headless Wine fails this call (error 6 or 12); the grace period's kill follows.
    return ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, m_processinfo.dwProcessId);
}

BOOL CWatchedProcess::Stop(BOOL fNoGrace)
{
    std::string csName = GetExeName();
    if (m_fNoStop) {
        DEBUG_TRACE_MSG("Not Stopping process " << csName << ", as specified in the INF file");
        return FALSE;
    }
    if (IsRunning() && !Wait(0)) {
        DEBUG_TRACE_MSG("Stopping process " << csName);
        // A request that could not be delivered (no window, a console event
        // refused, as for a process attached from outside or under headless
        // Wine) would only make the grace period a fixed wait.
        if (fNoGrace) {
            Kill();
        } else if (!RequestStop()) {
            DEBUG_TRACE_MSG("Unable to stop " << csName << ".  Terminating process.");
            Kill();
        } else if (!Wait(c_dwStopGraceMs)) {
            DEBUG_TRACE_MSG("Timed out trying to stop " << csName << ".  Terminating process.");
            Kill();
        }
        return TRUE;
    }
    if (IsRunning())
        DEBUG_TRACE_MSG("Not Stopping process " << csName << ", process not active");
    else
        DEBUG_TRACE_MSG("Not Stopping process " << csName << ", process not waitable!");
    return FALSE;
}

BOOL CWatchedProcess::Kill()
{
    if (m_fNoStop)
        return FALSE;
    SetState(PS_ENDED);
    m_fEnabled = FALSE;
    m_fStopRequested = TRUE;
    // A process that has ended already: Windows refuses with
    // ERROR_ACCESS_DENIED, which Terminate accepts; Wine 8 returns TRUE
    // (measured). Either way nothing is reported.
    if (m_processinfo.hProcess != NULL)
        Terminate(0);
    EndTree();
    return TRUE;
}

void CSupervisorApp::StartProcess(CWatchedProcess* pProcess)
{
    if (pProcess->m_fNoStart)
        return;
    std::string csName = pProcess->GetExeName();
    if (pProcess->m_fUnique) {
        DWORD dwId = 0;
        if (!TakeCensus()) {
            Broadcast("WARNING: /UNIQUE test failed for " + csName + ".  Starting the process anyway.");
        } else if (FindRunningInstance(pProcess->GetUniqueName(), dwId)) {
            pProcess->SetState(PS_ANOTHER_INSTANCE);
            if (dwId == 0) {
                DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW, "Cannot attach to running process: " << csName);
                Broadcast("Cannot monitor " + csName + ", Process is not running.");
            } else {
                Broadcast("Monitoring running process: " + csName + ".");
                BOOL fAttached = pProcess->Attach(dwId, &m_census.GetCollectedTime());
                BroadcastRecord(pProcess);
                // The running instance is the SYNC line's run: the lines
                // after it wait for its end as for one started here.
                if (fAttached && pProcess->m_fSync)
                    WaitForSyncEnd(pProcess);
                return;
            }
        }
    }
    if (!pProcess->Start()) {
        Broadcast("Could not start process: " + csName + ". Error " + LastErrorText());
        return;
    }
    // A SYNC process has ended by the time this returns.
    if (m_fKeepCensus && !pProcess->m_fSync)
        m_census.AddProcess(csName, pProcess->m_processinfo.dwProcessId);
    BroadcastRecord(pProcess);
    Broadcast("Started process: " + csName + ".");
    if (!pProcess->m_csTreeProblem.empty())
        Broadcast(pProcess->m_csTreeProblem);
    if (pProcess->m_fSync)
        WaitForSyncEnd(pProcess);
}

void CSupervisorApp::WaitForSyncEnd(CWatchedProcess* pProcess)
{
    std::string csName = pProcess->GetExeName();
    Broadcast("Waiting for " + csName + " to finish.");
    // A quit asked meanwhile ends the wait: the shutdown then stops this
    // process with the others instead of waiting for it for ever.
    const HANDLE ahWait[2] = {pProcess->m_processinfo.hProcess, m_evQuit.m_hHandle};
    if (::WaitForMultipleObjects(2, ahWait, FALSE, INFINITE) != WAIT_OBJECT_0)
        return;
    pProcess->Wait(0);
    pProcess->m_capture.WaitForDrain(c_dwDrainTimeout);
    Broadcast(csName + " has finished.");
    RemoveProcess(pProcess);
}

BOOL CSupervisorApp::IsSyncPending() const
{
    for (const CWatchedProcess* pProcess : m_paProcesses) {
        if (pProcess->m_fSync && pProcess->IsRestartPending())
            return TRUE;
    }
    return FALSE;
}

BOOL CSupervisorApp::TakeCensus()
{
    if (m_fKeepCensus && m_census.IsValid())
        return TRUE;
    return m_census.Collect();
}

BOOL CSupervisorApp::FindRunningInstance(const std::string& csUniqueName, DWORD& dwId)
{
    // A kept census may name a process that has ended since it was taken,
    // and its id may belong to another process by now (Wine hands ids out
    // again at once). A match is rare in a start-up, so it is confirmed by
    // a new census; a start-up without one takes a single census.
    if (!m_census.IsProcessRunning(csUniqueName))
        return FALSE;
    if (m_fKeepCensus && m_census.Collect() && !m_census.IsProcessRunning(csUniqueName))
        return FALSE;
    dwId = m_census.GetProcessId(csUniqueName);
    return TRUE;
}

BOOL CSupervisorApp::RemoveProcess(CWatchedProcess* pProcess)
{
    int iProcess = FindProcessIndex(pProcess);
    if (iProcess < 0)
        return FALSE;
    std::string csName = pProcess->GetExeName();
    pProcess->SetState(PS_REMOVED);
    BroadcastRecord(pProcess);
    Broadcast(csName + " has been removed from process list.");
    m_paProcesses.erase(m_paProcesses.begin() + iProcess);
    delete pProcess;
    return TRUE;
}

int CSupervisorApp::FindProcessIndex(const CWatchedProcess* pProcess) const
{
    for (size_t i = 0; i < m_paProcesses.size(); i++) {
        if (m_paProcesses[i] == pProcess)
            return (int)i;
    }
    return -1;
}

void CSupervisorApp::MonitorExternalProcesses()
{
    // Only a NOSTART line makes a pass look for anything, and the census
    // grows with every process running (under Wine about 0.05 ms each): a
    // pass without one would take it after every start-up step for nothing.
    BOOL fAnyTemplate = FALSE;
    for (size_t i = 0; i < m_paProcesses.size() && !fAnyTemplate; i++)
        fAnyTemplate = m_paProcesses[i]->IsExternalTemplate();
    if (!fAnyTemplate)
        return;
    if (!TakeCensus()) {
        Broadcast("WARNING: failed to get a list of running processes. Error " + LastErrorText());
        return;
    }
    CStringArray csaNames;
    CDWordArray dwaIds;
    m_census.ListProcesses(csaNames, dwaIds);
    // As for a UNIQUE test: what a kept census offers is confirmed by a new one.
    if (m_fKeepCensus && HasExternalCandidate(csaNames, dwaIds)) {
        if (!m_census.Collect()) {
            Broadcast("WARNING: failed to get a list of running processes. Error " + LastErrorText());
            return;
        }
        m_census.ListProcesses(csaNames, dwaIds);
    }
    for (size_t iRecord = 0; iRecord < m_paProcesses.size(); iRecord++) {
        CWatchedProcess* pTemplate = m_paProcesses[iRecord];
        if (!pTemplate->IsExternalTemplate())
            continue;
        std::string csUniqueName = pTemplate->GetUniqueName();
        for (size_t j = 0; j < csaNames.size() && j < dwaIds.size(); j++) {
            if (!StrIEqual(csaNames[j], csUniqueName) || IsProcessIdWatched(dwaIds[j]))
                continue;
            CWatchedProcess* pCopy = new CWatchedProcess;
            pCopy->CopyFromTemplate(*pTemplate);
            pCopy->m_fNoStart = TRUE;
            pCopy->m_csTitle = pTemplate->m_csTitle + " (" + std::to_string((unsigned long)dwaIds[j]) + ")";
            m_paProcesses.push_back(pCopy);
            pCopy->Attach(dwaIds[j], &m_census.GetCollectedTime());
            BroadcastRecord(pCopy);
            pCopy->SignalMonitorEvent();
            Broadcast("Monitoring external process: " + pCopy->GetExeName());
        }
    }
}

BOOL CSupervisorApp::HasExternalCandidate(const CStringArray& csaNames, const CDWordArray& dwaIds) const
{
    for (const CWatchedProcess* pTemplate : m_paProcesses) {
        if (!pTemplate->IsExternalTemplate())
            continue;
        const std::string csUniqueName = pTemplate->GetUniqueName();
        for (size_t j = 0; j < csaNames.size() && j < dwaIds.size(); j++) {
            if (StrIEqual(csaNames[j], csUniqueName) && !IsProcessIdWatched(dwaIds[j]))
                return TRUE;
        }
    }
    return FALSE;
}

BOOL CSupervisorApp::IsProcessIdWatched(DWORD dwProcessId) const
{
    for (const CWatchedProcess* pProcess : m_paProcesses) {
        if (pProcess->m_processinfo.dwProcessId == dwProcessId)
            return TRUE;
    }
    return FALSE;
}
