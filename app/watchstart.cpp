// Starting, attaching and stopping watched processes. Everything here runs
// on the supervision thread.
#include <algorithm>

#include "common/assertex.h"
#include "common/filestuf.h"
#include "environment.h"
#include "exeinfo.h"
#include "metrics.h"
#include "ovrin.h"

namespace {

// PROCESS_ALL_ACCESS as Windows NT defines it. Headers for Vista and later
// widen the macro to 0x1FFFFF, which older systems refuse with
// ERROR_ACCESS_DENIED; every right the supervisor needs is in this value.
const DWORD c_dwAttachAccess = 0x1F0FFF;

// How much later than the census a listed process may say it was created
// (100 ns units): 10 s.
const ULONGLONG c_ullCreationSlack = 10ULL * 1000 * 1000 * 10;

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
    CHandle hJob(::CreateJobObjectA(NULL, NULL));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info = {};
    info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!hJob.IsValid() ||
        !::SetInformationJobObject(hJob.Get(), JobObjectExtendedLimitInformation, &info, sizeof info) ||
        !::AssignProcessToJobObject(hJob.Get(), m_processinfo.hProcess)) {
        DWORD dwError = ::GetLastError();
        m_csTreeProblem = "KILLTREE: " + GetName() + " could not be put in a job of its own (Error " +
                          ErrorText(dwError) + "); only the process itself will be ended.";
        return FALSE;
    }
    m_hJob = std::move(hJob);
    return TRUE;
}

BOOL CWatchedProcess::Start()
{
    std::string csName = GetName();
    m_csTreeProblem.clear();
    m_fAttached = FALSE;
    // ENV: the supervisor's environment as it is now, with the line's
    // variables laid over it; without ENV the process inherits it.
    m_awsEnvironment.clear();
    if (!m_acsEnv.empty())
        m_awsEnvironment = BuildProcessEnvironment(GetProcessEnvironment(), m_acsEnv);
    BOOL fCaptured = m_capture.IsConfigured() && m_capture.PrepareRun(*this, csName, m_pNotices);
    ClearReadySignal();
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
        // A SYNC process is watched by the loop like any other: the lines
        // after it wait for its end, the loop does not.
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
        CHandle hProcess(::OpenProcess(c_dwAttachAccess, FALSE, dwProcessId));
        if (hProcess.IsValid() && pftSeenBefore != NULL && !IsListedProcess(hProcess.Get(), *pftSeenBefore)) {
            DEBUG_TRACE_MSG("Process " << (unsigned long)dwProcessId << " does not run " << GetName()
                                       << "'s program: its id has been reused.");
            hProcess.Reset();
        }
        if (!hProcess.IsValid()) {
            DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW,
                          "Invalid process Id: " << (unsigned long)dwProcessId << " for " << GetName());
            DEBUG_TRACE_MSG("Cannot monitor process: " << GetName());
            return FALSE;
        }
        // The process information's handle is the child wrapper's to close.
        m_processinfo.hProcess = hProcess.Release();
        m_fAttached = TRUE;
        SetState(PS_RUNNING);
    }
    m_fStopRequested = FALSE;
    // A restart that was due (an operator's start came first) would
    // otherwise start the line again after this run.
    m_alarmRestart.Cancel();
    UpdateWait();
    m_mtStarted = CMilliTime::GetCurrentTime();
    m_llStartTime = GetUnixTimeNow();
    m_ullStartedMs = GetMonotonicMilliseconds();
    m_mtEnded = CMilliTime();
    return TRUE;
}

BOOL CWatchedProcess::IsUniqueInstance(DWORD dwProcessId, const std::string& csProgramPath) const
{
    CHandle hProcess(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, dwProcessId));
    if (!hProcess.IsValid())
        hProcess.Reset(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, dwProcessId));
    if (!hProcess.IsValid())
        return csProgramPath.empty();
    return RunsUniqueProgram(hProcess.Get(), csProgramPath);
}

BOOL CWatchedProcess::IsListedProcess(HANDLE hProcess, const FILETIME& ftSeenBefore)
{
    // Another program under the listed name (its id reused, or an unrelated
    // program that shares the name) is not the line's.
    if (!RunsUniqueProgram(hProcess, GetUniqueProgramPath()))
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

BOOL CWatchedProcess::DeliverNextStopWay()
{
    m_fAskWhenOlder = FALSE;
    while (m_iNextStopWay < m_adwStopChain.size()) {
        const DWORD dwWay = m_adwStopChain[m_iNextStopWay];
        // A console event waits until the process has run a moment: one just
        // started has not installed its handlers yet (the default handler
        // would end it unasked), and under Wine a thread put into a process
        // still starting up can leave it stuck for good, past any kill.
        if ((dwWay == STOP_WAY_CTRLC || dwWay == STOP_WAY_CTRLBREAK) &&
            GetMonotonicMilliseconds() < m_ullStartedMs + c_dwYoungProcessMs) {
            m_fAskWhenOlder = TRUE;
            return TRUE;
        }
        m_iNextStopWay++;
        if (DeliverStopWay(dwWay, m_processinfo.hProcess, m_processinfo.dwProcessId)) {
            DEBUG_TRACE_MSG("Asked process " << GetName() << ", " << (unsigned long)m_processinfo.dwProcessId
                                             << " to stop: " << GetStopWayName(dwWay));
            return TRUE;
        }
        DEBUG_TRACE_MSG("Could not ask process " << GetName() << " to stop by " << GetStopWayName(dwWay)
                                                 << ". Error " << LastErrorText());
    }
    return FALSE;
}

void CWatchedProcess::ArmStopAlarm()
{
    ULONGLONG ullDue = m_ullStopDeadlineMs;
    if (m_fAskWhenOlder)
        ullDue = std::min(ullDue, m_ullStartedMs + c_dwYoungProcessMs);
    else if (m_iNextStopWay < m_adwStopChain.size())
        ullDue = std::min(ullDue, GetMonotonicMilliseconds() + c_dwNextStopWayMs);
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    m_alarmStop.SetAtMonotonic(ullDue,
                               CMilliTime::GetCurrentTime() +
                                   CMilliTimeSpan::FromMilliseconds(ullDue > ullNow ? (LONG)(ullDue - ullNow) : 0));
}

LONG CWatchedProcess::BeginStop(DWORD dwCapMs, BOOL fAskOnly)
{
    const std::string csName = GetName();
    m_fAskOnly = fAskOnly;
    if (m_fNoStop && !fAskOnly) {
        DEBUG_TRACE_MSG("Not Stopping process " << csName << ", as specified in the INF file");
        return STOP_REFUSED;
    }
    if (m_nState == PS_STOPPING)
        return STOP_BEGUN;
    // A run the loop still watches whose process has ended an instant ago
    // (its end not yet seen) is stopped too: see below.
    HANDLE hProcess = m_processinfo.hProcess;
    const DWORD dwWait = hProcess != NULL ? ::WaitForSingleObject(hProcess, 0) : WAIT_FAILED;
    const BOOL fEndedUnseen = m_nState == PS_RUNNING && dwWait == WAIT_OBJECT_0;
    if (fEndedUnseen ? fAskOnly : (dwWait != WAIT_TIMEOUT || !IsRunning())) {
        DEBUG_TRACE_MSG("Not Stopping process " << csName << ", process not active");
        return STOP_NOT_RUNNING;
    }
    DEBUG_TRACE_MSG("Stopping process " << csName);
    m_fStopRequested = TRUE;
    m_fForcedStop = FALSE;
    const DWORD dwTimeoutMs = std::min(GetStopTimeoutMs(), dwCapMs);
    m_dwStopWaitMs = dwTimeoutMs;
    m_iNextStopWay = 0;
    m_fAskWhenOlder = FALSE;
    DWORD dwDeadlineMs = dwTimeoutMs;
    if (fEndedUnseen) {
        // It ended an instant ago and the loop has not seen it yet: that end
        // is this stop's, or the loop would take it for a crash and restart
        // the line the operator is stopping. Nothing is left to deliver, and
        // the loop sees the end at its next turn, before any kill is due.
        m_adwStopChain.clear();
        dwDeadlineMs = std::max(dwTimeoutMs, c_dwNextStopWayMs);
    } else {
        m_adwStopChain = m_adwStopWays;
        if (m_adwStopChain.empty()) {
            // Windows and message loops first: a program that has neither is
            // not reached by them and gets the console event at once, while
            // the console's default handler would end a GUI program without
            // its clean-up. Ctrl-Break follows for programs that ignore Ctrl-C.
            m_adwStopChain = {STOP_WAY_CLOSE, STOP_WAY_QUIT};
            if (!IsGuiImage(FindExecutable()))
                m_adwStopChain.insert(m_adwStopChain.end(), {STOP_WAY_CTRLC, STOP_WAY_CTRLBREAK});
        }
        if (fAskOnly && (dwTimeoutMs == 0 || !DeliverNextStopWay()))
            return STOP_NOT_RUNNING;
        if (dwTimeoutMs == 0 || !DeliverNextStopWay()) {
            if (dwTimeoutMs != 0)
                DEBUG_TRACE_MSG("Unable to stop " << csName << ".  Terminating process.");
            Kill();
            MarkEnded();
            MarkForcedStop();
            return STOP_KILLED;
        }
    }
    m_ullStopDeadlineMs = GetMonotonicMilliseconds() + dwDeadlineMs;
    SetState(PS_STOPPING);
    ArmStopAlarm();
    return STOP_BEGUN;
}

void CWatchedProcess::CapStopDeadline(DWORD dwCapMs)
{
    if (m_nState != PS_STOPPING)
        return;
    const ULONGLONG ullCapped = GetMonotonicMilliseconds() + dwCapMs;
    if (dwCapMs == INFINITE || ullCapped >= m_ullStopDeadlineMs)
        return;
    m_dwStopWaitMs -= (DWORD)(m_ullStopDeadlineMs - ullCapped);
    m_ullStopDeadlineMs = ullCapped;
    ArmStopAlarm();
}

BOOL CWatchedProcess::OnStopAlarm()
{
    m_alarmStop.Cancel();
    if (m_nState != PS_STOPPING)
        return FALSE;
    if (GetMonotonicMilliseconds() < m_ullStopDeadlineMs) {
        DeliverNextStopWay();
        ArmStopAlarm();
        return FALSE;
    }
    if (m_fAskOnly) {
        // Asked for a rule and never killed (NOSTOP): it runs on.
        SetState(PS_RUNNING);
        return FALSE;
    }
    DEBUG_TRACE_MSG("Timed out trying to stop " << GetName() << ".  Terminating process.");
    Kill();
    MarkEnded();
    MarkForcedStop();
    return TRUE;
}

BOOL CWatchedProcess::Kill()
{
    if (m_fNoStop)
        return FALSE;
    // Nothing brings a killed line back but the rule that killed it.
    m_alarmRestart.Cancel();
    m_alarmStop.Cancel();
    m_fStopRequested = TRUE;
    RecordEnd(END_KILLED);
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
    // The end of the run before comes first, drained or not.
    RunHeldReports(pProcess);
    if (pProcess->m_fNoStart)
        return;
    std::string csName = pProcess->GetName();
    if (pProcess->m_fUnique) {
        DWORD dwId = 0;
        if (!TakeCensus()) {
            Broadcast("WARNING: /UNIQUE test failed for " + csName + ".  Starting the process anyway.");
        } else if (FindRunningInstance(pProcess, dwId)) {
            pProcess->SetState(PS_ANOTHER_INSTANCE);
            if (dwId == 0) {
                DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW, "Cannot attach to running process: " << csName);
                Broadcast("Cannot monitor " + csName + ", Process is not running.");
            } else {
                Broadcast("Monitoring running process: " + csName + ".");
                BOOL fAttached = pProcess->Attach(dwId, &m_census.GetCollectedTime());
                if (fAttached)
                    BeginChecks(pProcess, FALSE);
                BroadcastRecord(pProcess);
                // The running instance is the SYNC line's run: the lines
                // after it wait for its end as for one started here.
                if (fAttached && pProcess->m_fSync)
                    Broadcast("Waiting for " + csName + " to finish.");
                return;
            }
        }
    }
    if (!pProcess->Start()) {
        Broadcast("Could not start process: " + csName + ". Error " + LastErrorText());
        return;
    }
    if (m_fKeepCensus)
        m_census.AddProcess(pProcess->GetExeName(), pProcess->m_processinfo.dwProcessId);
    BeginChecks(pProcess, TRUE);
    BroadcastRecord(pProcess);
    Broadcast("Started process: " + csName + ".");
    if (!pProcess->m_csTreeProblem.empty())
        Broadcast(pProcess->m_csTreeProblem);
    if (pProcess->m_fSync)
        Broadcast("Waiting for " + csName + " to finish.");
}

BOOL CSupervisorApp::IsStartupHeld() const
{
    // Running (or being stopped), waiting to retry its start or for its
    // restart, or its end not yet reported (its output still draining). A
    // READY line given up or stopped by the operator holds nothing.
    auto Holds = [](const CWatchedProcess* pProcess) {
        return pProcess->m_fSync || pProcess->m_checks.m_fHoldsStartup;
    };
    for (const auto& pProcess : m_paProcesses) {
        if (Holds(pProcess.get()) && (pProcess->m_fEnabled || pProcess->IsRestartPending()))
            return TRUE;
    }
    for (const CHeldReport& held : m_aHeldReports) {
        if (Holds(held.m_pProcess))
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

BOOL CSupervisorApp::FindInstanceInCensus(CWatchedProcess* pProcess, const std::string& csProgramPath, DWORD& dwId)
{
    const std::string csCensusName = pProcess->GetCensusName();
    if (!m_census.IsProcessRunning(csCensusName))
        return FALSE;
    CStringArray csaNames;
    CDWordArray dwaIds;
    m_census.ListProcesses(csaNames, dwaIds);
    for (size_t j = 0; j < csaNames.size() && j < dwaIds.size(); j++) {
        if (!StrIEqual(csaNames[j], csCensusName))
            continue;
        // Performance data without process ids: nothing to look at (and
        // nothing to attach to, which the caller reports).
        if (dwaIds[j] == 0 || pProcess->IsUniqueInstance(dwaIds[j], csProgramPath)) {
            dwId = dwaIds[j];
            return TRUE;
        }
        DEBUG_TRACE_MSG("UNIQUE: process " << (unsigned long)dwaIds[j] << " is listed as " << csCensusName
                                           << " but does not run " << pProcess->GetName() << "'s program "
                                           << (csProgramPath.empty() ? pProcess->GetInstanceFileName() : csProgramPath));
    }
    return FALSE;
}

BOOL CSupervisorApp::FindRunningInstance(CWatchedProcess* pProcess, DWORD& dwId)
{
    // Most starts find no process of the name: the program is looked up
    // only for one that does.
    if (!m_census.IsProcessRunning(pProcess->GetCensusName()))
        return FALSE;
    // The same program file where the line's program resolves to one: a
    // program of the same name (or of the same first 15 characters) in
    // another folder is another program.
    const std::string csProgramPath = pProcess->GetUniqueProgramPath();
    // A kept census may name a process that has ended since it was taken,
    // and its id may belong to another process by now (Wine hands ids out
    // again at once). A match is rare in a start-up, so it is confirmed by
    // a new census; a start-up without one takes a single census.
    if (!FindInstanceInCensus(pProcess, csProgramPath, dwId))
        return FALSE;
    if (m_fKeepCensus && m_census.Collect() && !FindInstanceInCensus(pProcess, csProgramPath, dwId))
        return FALSE;
    return TRUE;
}

BOOL CSupervisorApp::RemoveProcess(CWatchedProcess* pProcess)
{
    int iProcess = FindProcessIndex(pProcess);
    if (iProcess < 0)
        return FALSE;
    std::string csName = pProcess->GetName();
    pProcess->SetState(PS_REMOVED);
    BroadcastRecord(pProcess);
    Broadcast(csName + " has been removed from process list.");
    DestroyRecord((size_t)iProcess);
    return TRUE;
}

CWatchedProcess* CSupervisorApp::AddRecord(std::unique_ptr<CWatchedProcess> pProcess)
{
    m_paProcesses.push_back(std::move(pProcess));
    return m_paProcesses.back().get();
}

void CSupervisorApp::DestroyRecord(size_t iProcess)
{
    // Nothing may go on waiting for a record that is gone.
    ForgetRecord(m_paProcesses[iProcess].get());
    m_paProcesses.erase(m_paProcesses.begin() + (ptrdiff_t)iProcess);
}

CWatchedProcessArray CSupervisorApp::GetRecords() const
{
    CWatchedProcessArray apRecords;
    apRecords.reserve(m_paProcesses.size());
    for (const auto& pProcess : m_paProcesses)
        apRecords.push_back(pProcess.get());
    return apRecords;
}

int CSupervisorApp::FindProcessIndex(const CWatchedProcess* pProcess) const
{
    for (size_t i = 0; i < m_paProcesses.size(); i++) {
        if (m_paProcesses[i].get() == pProcess)
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
    for (auto it = m_mapAttachFailures.begin(); it != m_mapAttachFailures.end();) {
        if (std::find(dwaIds.begin(), dwaIds.end(), it->first) == dwaIds.end())
            it = m_mapAttachFailures.erase(it);
        else
            ++it;
    }
    for (size_t iRecord = 0; iRecord < m_paProcesses.size(); iRecord++) {
        CWatchedProcess* pTemplate = m_paProcesses[iRecord].get();
        if (!pTemplate->IsExternalTemplate())
            continue;
        const std::string csCensusName = pTemplate->GetCensusName();
        std::string csProgramPath;
        BOOL fPathKnown = FALSE;
        for (size_t j = 0; j < csaNames.size() && j < dwaIds.size(); j++) {
            if (!StrIEqual(csaNames[j], csCensusName) || IsProcessIdWatched(dwaIds[j]) ||
                m_mapAttachFailures[dwaIds[j]] >= 2)
                continue;
            if (!fPathKnown) {
                csProgramPath = pTemplate->GetUniqueProgramPath();
                fPathKnown = TRUE;
            }
            // Another program of that name is left alone, without a word.
            if (!pTemplate->IsUniqueInstance(dwaIds[j], csProgramPath))
                continue;
            CWatchedProcess* pCopy = AddRecord(std::unique_ptr<CWatchedProcess>(new CWatchedProcess));
            pCopy->CopyFromTemplate(*pTemplate);
            pCopy->m_fNoStart = TRUE;
            pCopy->m_fExternalCopy = TRUE;
            pCopy->m_csTitle = pTemplate->m_csTitle + " (" + std::to_string((unsigned long)dwaIds[j]) + ")";
            if (!pCopy->Attach(dwaIds[j], &m_census.GetCollectedTime())) {
                // Not watched, so not kept: a copy without a handle would
                // keep the id from the next pass, which tries it once more
                // (under Wine a process just started may not yet pass for
                // the one the census listed); then it is left alone.
                DestroyRecord(m_paProcesses.size() - 1);
                m_mapAttachFailures[dwaIds[j]]++;
                continue;
            }
            BeginChecks(pCopy, FALSE);
            BroadcastRecord(pCopy);
            pCopy->SignalMonitorEvent();
            Broadcast("Monitoring external process: " + pCopy->GetName());
        }
    }
}

BOOL CSupervisorApp::HasExternalCandidate(const CStringArray& csaNames, const CDWordArray& dwaIds) const
{
    for (const auto& pTemplate : m_paProcesses) {
        if (!pTemplate->IsExternalTemplate())
            continue;
        const std::string csCensusName = pTemplate->GetCensusName();
        for (size_t j = 0; j < csaNames.size() && j < dwaIds.size(); j++) {
            if (StrIEqual(csaNames[j], csCensusName) && !IsProcessIdWatched(dwaIds[j]))
                return TRUE;
        }
    }
    return FALSE;
}

BOOL CSupervisorApp::IsProcessIdWatched(DWORD dwProcessId) const
{
    for (const auto& pProcess : m_paProcesses) {
        if (pProcess->m_processinfo.dwProcessId == dwProcessId)
            return TRUE;
    }
    return FALSE;
}
