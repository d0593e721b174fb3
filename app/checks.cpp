// READY, HEALTH and MAXMEMORY on the supervision thread: when each line's
// next probe or measurement is due (one alarm for all of them), what a
// probe's result means, and the restart of a line whose check failed. The
// probes run on the prober's workers; nothing here waits.
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <vector>

#include "common/assertex.h"
#include "common/filestuf.h"
#include "eventlog.h"
#include "ovrin.h"

namespace {

// Keys of runs, unique in the process: a result that comes after its run
// has ended (or its record has gone) finds no record.
DWORD s_dwLastRun = 0;

DWORD NextRunKey()
{
    if (++s_dwLastRun == 0)
        s_dwLastRun = 1;
    return s_dwLastRun;
}

// The processes of a job that are counted at most; a tree larger than this
// is measured by its first ones.
const DWORD c_nMaxJobProcesses = 1024;

// The process's commit charge: Windows gives it as PrivateUsage and
// PagefileUsage alike; Wine 8 leaves PrivateUsage 0 for every process and
// fills PagefileUsage (measured), so the larger counts.
BOOL AddPrivateBytes(HANDLE hProcess, ULONGLONG& cbTotal)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (!::GetProcessMemoryInfo(hProcess, (PROCESS_MEMORY_COUNTERS*)&counters, sizeof counters))
        return FALSE;
    cbTotal += std::max(counters.PrivateUsage, counters.PagefileUsage);
    return TRUE;
}

}  // namespace

void CWatchedProcess::ClearReadySignal()
{
    const CProbeTarget& ready = m_checkOptions.m_ready;
    if (ready.m_nKind == PROBE_FILE) {
        if (!::DeleteFileA(ready.m_csPath.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND &&
            ::GetLastError() != ERROR_PATH_NOT_FOUND)
            DEBUG_TRACE_MSG("READY file " << ready.m_csPath << " could not be removed. Error " << LastErrorText());
    } else if (ready.m_nKind == PROBE_EVENT) {
        // Manual-reset, so that probing it leaves it set.
        if (!m_hReadyEvent.IsValid())
            m_hReadyEvent.Reset(::CreateEventA(NULL, TRUE, FALSE, ready.m_csPath.c_str()));
        if (!m_hReadyEvent.IsValid() || !::ResetEvent(m_hReadyEvent.Get()))
            DEBUG_TRACE_MSG("READY event " << ready.m_csPath << " could not be reset. Error " << LastErrorText());
    }
}

void CWatchedProcess::EndChecks()
{
    m_checks.m_dwRun = 0;
    m_checks.m_fAwaitingReady = FALSE;
    m_checks.m_fProbeInFlight = FALSE;
    m_checks.m_ullProbeDueMs = 0;
    m_checks.m_ullMemoryDueMs = 0;
}

BOOL CWatchedProcess::QueryPrivateBytes(ULONGLONG& cbPrivate)
{
    cbPrivate = 0;
    if (!m_hJob.IsValid())
        return m_processinfo.hProcess != NULL && AddPrivateBytes(m_processinfo.hProcess, cbPrivate);
    std::vector<BYTE> abList(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) + c_nMaxJobProcesses * sizeof(ULONG_PTR));
    JOBOBJECT_BASIC_PROCESS_ID_LIST* pList = (JOBOBJECT_BASIC_PROCESS_ID_LIST*)abList.data();
    pList->NumberOfAssignedProcesses = c_nMaxJobProcesses;
    // A list that does not fit comes back cut short (ERROR_MORE_DATA).
    if (!::QueryInformationJobObject(m_hJob.Get(), JobObjectBasicProcessIdList, pList, (DWORD)abList.size(), NULL) &&
        ::GetLastError() != ERROR_MORE_DATA)
        return FALSE;
    BOOL fAny = FALSE;
    for (DWORD i = 0; i < pList->NumberOfProcessIdsInList && i < c_nMaxJobProcesses; i++) {
        const DWORD dwId = (DWORD)pList->ProcessIdList[i];
        if (dwId == m_processinfo.dwProcessId) {
            fAny |= AddPrivateBytes(m_processinfo.hProcess, cbPrivate);
            continue;
        }
        CHandle hProcess(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, dwId));
        if (hProcess.IsValid())
            fAny |= AddPrivateBytes(hProcess.Get(), cbPrivate);
    }
    return fAny;
}

void CSupervisorApp::BeginChecks(CWatchedProcess* pProcess, BOOL fStartedHere)
{
    const CCheckOptions& options = pProcess->m_checkOptions;
    CCheckState& checks = pProcess->m_checks;
    pProcess->EndChecks();
    checks.m_nFailedInRow = 0;
    checks.m_nHealthy = -1;
    if (!options.IsAnySet())
        return;
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    checks.m_dwRun = NextRunKey();
    // An instance found running was started by someone else: it is taken
    // as ready.
    if (fStartedHere && options.m_ready.IsSet()) {
        checks.m_fAwaitingReady = TRUE;
        checks.m_ullReadyDeadlineMs = ullNow + (ULONGLONG)options.m_nReadyTimeout * 1000;
        checks.m_ullProbeDueMs = ullNow + c_dwReadyPollMs;
    } else {
        checks.m_fHoldsStartup = FALSE;
        if (options.m_health.IsSet())
            checks.m_ullProbeDueMs = ullNow + (ULONGLONG)options.m_nHealthInterval * 1000;
    }
    if (options.m_nMaxMemoryMb > 0)
        checks.m_ullMemoryDueMs = ullNow + c_dwMemoryCheckMs;
    ArmChecksAlarm();
}

void CSupervisorApp::ArmChecksAlarm()
{
    ULONGLONG ullDue = 0;
    for (const auto& pProcess : m_paProcesses) {
        for (ULONGLONG ull : {pProcess->m_checks.m_ullProbeDueMs, pProcess->m_checks.m_ullMemoryDueMs}) {
            if (ull != 0 && (ullDue == 0 || ull < ullDue))
                ullDue = ull;
        }
    }
    if (ullDue == 0) {
        m_alarmChecks.Cancel();
        return;
    }
    // Due times are rounded up to a grid, so that the checks of lines
    // started one after another are run together, not each in a turn of
    // the loop of its own (a turn costs more than a probe's submission).
    ullDue = (ullDue + c_dwCheckGridMs - 1) / c_dwCheckGridMs * c_dwCheckGridMs;
    if (m_alarmChecks.IsArmed() && m_alarmChecks.m_ullDue == ullDue)
        return;
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    m_alarmChecks.SetAtMonotonic(ullDue, CMilliTime::GetCurrentTime() + CMilliTimeSpan::FromMilliseconds(
                                                                            ullDue > ullNow ? (LONG)(ullDue - ullNow) : 0));
}

void CSupervisorApp::RunDueChecks()
{
    m_alarmChecks.Cancel();
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    // A restart for a check changes no list; what it stops ends its checks.
    for (const auto& pRecord : m_paProcesses) {
        CWatchedProcess* pProcess = pRecord.get();
        CCheckState& checks = pProcess->m_checks;
        if (m_fShuttingDown || checks.m_dwRun == 0)
            continue;
        if (checks.m_ullMemoryDueMs != 0 && ullNow >= checks.m_ullMemoryDueMs) {
            checks.m_ullMemoryDueMs = ullNow + c_dwMemoryCheckMs;
            CheckMemory(pProcess);
        }
        if (checks.m_ullProbeDueMs == 0 || ullNow < checks.m_ullProbeDueMs)
            continue;
        if (checks.m_fAwaitingReady && ullNow >= checks.m_ullReadyDeadlineMs) {
            const LONG nTimeout = pProcess->m_checkOptions.m_nReadyTimeout;
            RestartForCheck(pProcess, StrFormat("%s was not ready within %ld seconds.", pProcess->GetName().c_str(),
                                                (long)nTimeout),
                            EVMSG_NOT_READY, std::to_string((long)nTimeout));
            continue;
        }
        if (checks.m_fProbeInFlight) {
            // Its result comes within its bound; the ready deadline does not wait for it.
            checks.m_ullProbeDueMs = checks.m_fAwaitingReady ? checks.m_ullReadyDeadlineMs : 0;
            continue;
        }
        CProbeRequest request;
        request.m_dwKey = checks.m_dwRun;
        if (checks.m_fAwaitingReady) {
            request.m_target = pProcess->m_checkOptions.m_ready;
            request.m_dwTimeoutMs = (DWORD)std::min<ULONGLONG>(c_dwReadyProbeMs, checks.m_ullReadyDeadlineMs - ullNow);
            checks.m_ullProbeDueMs = checks.m_ullReadyDeadlineMs;
        } else {
            request.m_target = pProcess->m_checkOptions.m_health;
            request.m_dwTimeoutMs = (DWORD)pProcess->m_checkOptions.m_nHealthTimeout * 1000;
            checks.m_ullProbeDueMs = 0;
        }
        checks.m_ullProbeSentMs = ullNow;
        checks.m_fProbeInFlight = m_prober.Submit(request);
        if (!checks.m_fProbeInFlight) {
            DEBUG_ERROR_MSG("No probe of " << pProcess->GetName() << " could be run. Error " << LastErrorText());
            OnProbeResult(pProcess, FALSE);
        }
    }
    ArmChecksAlarm();
}

void CSupervisorApp::OnProbeResults()
{
    CProbeResultArray aResults;
    m_prober.TakeResults(aResults);
    for (const CProbeResult& result : aResults) {
        for (const auto& pProcess : m_paProcesses) {
            if (pProcess->m_checks.m_dwRun == result.m_dwKey && pProcess->m_checks.m_fProbeInFlight) {
                pProcess->m_checks.m_fProbeInFlight = FALSE;
                OnProbeResult(pProcess.get(), result.m_fOk);
                break;
            }
        }
    }
    ArmChecksAlarm();
}

void CSupervisorApp::OnProbeResult(CWatchedProcess* pProcess, BOOL fOk)
{
    CCheckState& checks = pProcess->m_checks;
    const CCheckOptions& options = pProcess->m_checkOptions;
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    const std::string csName = pProcess->GetName();
    if (checks.m_fAwaitingReady) {
        if (!fOk) {
            checks.m_ullProbeDueMs = std::min(ullNow + c_dwReadyPollMs, checks.m_ullReadyDeadlineMs);
            return;
        }
        checks.m_fAwaitingReady = FALSE;
        checks.m_fHoldsStartup = FALSE;
        // Health probes begin with readiness.
        checks.m_ullProbeDueMs = options.m_health.IsSet() ? ullNow : 0;
        Broadcast(csName + " is ready.");
        BroadcastRecord(pProcess);
        return;
    }
    checks.m_nHealthy = fOk ? 1 : 0;
    checks.m_nFailedInRow = fOk ? 0 : checks.m_nFailedInRow + 1;
    if (checks.m_nFailedInRow >= options.m_nHealthFailures) {
        const std::string csFailures = std::to_string((long)options.m_nHealthFailures);
        RestartForCheck(pProcess, csName + " failed " + csFailures + " health checks in a row and is restarted.",
                        EVMSG_HEALTH_FAILED, csFailures);
        return;
    }
    checks.m_ullProbeDueMs = std::max(ullNow, checks.m_ullProbeSentMs + (ULONGLONG)options.m_nHealthInterval * 1000);
}

void CSupervisorApp::CheckMemory(CWatchedProcess* pProcess)
{
    if (pProcess->GetState() != PS_RUNNING)
        return;
    ULONGLONG cbPrivate = 0;
    if (!pProcess->QueryPrivateBytes(cbPrivate)) {
        DEBUG_TRACE_MSG("The memory of " << pProcess->GetName() << " could not be read. Error " << LastErrorText());
        return;
    }
    const LONG nLimitMb = pProcess->m_checkOptions.m_nMaxMemoryMb;
    if (cbPrivate <= ((ULONGLONG)nLimitMb << 20))
        return;
    // Rounded up, so that the figure shown is over the limit.
    const std::string csUsed = std::to_string((cbPrivate + (1ULL << 20) - 1) >> 20);
    const std::string csLimit = std::to_string((long)nLimitMb);
    RestartForCheck(pProcess,
                    pProcess->GetName() + " used " + csUsed + " MB, over its limit of " + csLimit +
                        " MB, and is restarted.",
                    EVMSG_OVER_MEMORY, csUsed, csLimit);
}

void CSupervisorApp::RestartForCheck(CWatchedProcess* pProcess, const std::string& csNotice, DWORD dwEventId,
                                     const std::string& csSecond, const std::string& csThird)
{
    const std::string csName = pProcess->GetName();
    const char* apszStrings[3] = {csName.c_str(), csSecond.c_str(), csThird.c_str()};
    ReportEvent(dwEventId, csThird.empty() ? 2 : 3, apszStrings);
    Broadcast(csNotice);
    pProcess->EndChecks();
    BeginStopSequence({pProcess}, STOP_FOR_CHECK, NULL);
}
