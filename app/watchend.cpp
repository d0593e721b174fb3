// End detection and the restart, group, master and quit rules. Everything
// here runs on the supervision thread; the alarm thread only fires the
// restart alarms.
#include <algorithm>
#include <climits>

#include "common/assertex.h"
#include "common/filestuf.h"
#include "eventlog.h"
#include "ovrin.h"

void CWatchedProcess::OnSignalled()
{
    CWaitObject::OnSignalled();
    if (m_processinfo.hProcess != NULL && GetWaitHandle() == m_processinfo.hProcess) {
        m_fHasLastExitCode = ::GetExitCodeProcess(m_processinfo.hProcess, &m_dwLastExitCode);
        m_alarmStop.Cancel();
        MarkEnded();
        RecordEnd(END_SEEN);
        // The rules follow the process that was started; what it started
        // ends with it.
        EndTree();
    } else {
        m_alarmRestart.Cancel();
        CloseHandles();
        SetState(PS_STARTING);
    }
}

void CWatchedProcess::RecordEnd(LONG nHow)
{
    LONG nState = m_nState;
    const std::string csName = GetName();
    switch (nHow) {
    case END_SEEN:
        // Only a run that was watched ends by itself; any other state is
        // left as it is (it is no longer waited on either way).
        if (m_nState == PS_STOPPING) {
            nState = PS_STOPPED;
        } else if (m_nState != PS_RUNNING) {
            break;
        } else if (m_fSync) {
            DEBUG_TRACE_MSG("The process " << csName << " has ended.");
            nState = PS_ENDED;
        } else if (m_fStopRequested) {
            nState = PS_STOPPED;
        } else if (EndedNormally()) {
            DEBUG_TRACE_MSG("The process " << csName << " ended with an okay exit code.");
            nState = PS_ENDED;
        } else {
            DEBUG_TRACE_MSG("The process " << csName << " has ended unexpectedly.");
            nState = PS_CRASHED;
        }
        break;
    case END_KILLED:
        nState = PS_ENDED;
        break;
    case END_CANCELLED:
        m_fStopRequested = TRUE;
        nState = PS_STOPPED;
        break;
    case END_GIVEN_UP:
        nState = PS_GIVEN_UP;
        break;
    default:
        CHECK_FAILED_("unknown end", "nHow", nHow, "m_nState", m_nState);
        break;
    }
    SetState(nState);
}

void CWatchedProcess::RestartByRules()
{
    const ULONGLONG ullRunMs = m_ullEndedMs > m_ullStartedMs ? m_ullEndedMs - m_ullStartedMs : 0;
    LONG nDelayMs = 0;
    if (NextRestartDelay(GetRestartPolicy(), m_restartCount, ullRunMs, nDelayMs))
        ScheduleRestart(nDelayMs);
    else
        RecordEnd(END_GIVEN_UP);
}

void CWatchedProcess::ScheduleRestart(LONG nDelayMs)
{
    ArmRestart(nDelayMs, TRUE);
}

// NOSTART records (templates and the copies that watch external instances)
// are never scheduled: StartProcess never starts them, so a restart would
// only report a restart that cannot happen, and a copy whose handles the
// fired alarm closes would pass for a template.
LONG CWatchedProcess::OnProcessEnded(CWatchedProcess* pEnded)
{
    if (pEnded == this) {
        BOOL fStopRequested = m_fStopRequested;
        if (IsRunning()) {
            DEBUG_ERROR_MSG("Forcibly terminating process " << GetName() << ".");
            Kill();
        }
        if (fStopRequested)
            return RULE_NONE;
        if (EndedNormally()) {
            if (m_fQuit)
                m_fQuitPending = TRUE;
        } else if (m_fWatch && !m_fNoStart && !m_fSync) {
            RestartByRules();
        }
        return RULE_NONE;
    }
    if (m_nGroup == -1 || m_nGroup != pEnded->m_nGroup)
        return RULE_NONE;
    BOOL fEndedNormally = pEnded->EndedNormally();
    // A member being stopped already is left to that stop.
    const BOOL fRunning = IsRunning() && m_nState != PS_STOPPING;
    LONG nRule = RULE_STOP_AND_RESTART;
    const char* pszWhy = "one of it's brothers died";
    if (pEnded->m_fMaster && fEndedNormally) {
        nRule = RULE_STOP_FOR_GOOD;
        pszWhy = "it's master ended normally";
    } else if (fEndedNormally || !pEnded->m_fWatch || !m_fWatch || m_fSync) {
        return RULE_NONE;
    } else if (!fRunning && !IsRestartPending()) {
        // Only a member that runs or waits for its restart is restarted with
        // its brother: one the operator stopped, one given up or one that has
        // not been started yet stays as it is.
        return RULE_NONE;
    }
    if (!fRunning) {
        FinishRuleStop(nRule);
        return RULE_NONE;
    }
    DEBUG_ERROR_MSG("The process " << GetFullCommandLine() << " is killing itself because " << pszWhy << ".");
    return nRule;
}

void CWatchedProcess::FinishRuleStop(LONG nRule)
{
    MarkEnded();
    if (nRule == RULE_RESTART_COUNTED) {
        // As after a crash: BACKOFF and MAXRESTARTS count the run. One that
        // runs on (NOSTOP, asked only) or is not watched is left as it is.
        if (m_fWatch && !m_fNoStart && !IsRunning())
            RestartByRules();
    } else if (nRule == RULE_STOP_FOR_GOOD) {
        // A member still waiting out an earlier restart delay would otherwise
        // come back although its master has ended the group.
        CancelRestart();
    } else if (!m_fNoStart) {
        ScheduleRestart(m_mtsRestartDelay.GetTotalMilliseconds());
    }
}

void CSupervisorApp::ApplyEndRules(CWatchedProcess* pEnded)
{
    // Nothing is restarted or stopped by a rule while everything goes down.
    if (m_fShuttingDown)
        return;
    // Members a rule stops go one after another, in list order, each with
    // its own STOPTIMEOUT; what follows their end is the rule's.
    CWatchedProcessArray apForGood, apToRestart;
    for (size_t i = 0; i < m_paProcesses.size(); i++) {
        CWatchedProcess* pProcess = m_paProcesses[i].get();
        const LONG nRule = pProcess->OnProcessEnded(pEnded);
        if (nRule == RULE_STOP_FOR_GOOD)
            apForGood.push_back(pProcess);
        else if (nRule == RULE_STOP_AND_RESTART)
            apToRestart.push_back(pProcess);
        if (pProcess == pEnded && pProcess->GetState() == PS_GIVEN_UP)
            ReportGivenUp(pProcess);
        if (pProcess->m_fQuitPending) {
            pProcess->m_fQuitPending = FALSE;
            if (!m_alarmQuit.IsArmed() && !m_fShuttingDown) {
                Broadcast(StrFormat("Stopping all processes and shutting down in %i seconds...",
                                    (int)pProcess->m_nQuitDelay));
                m_alarmQuit.SetAfter(
                    CMilliTimeSpan::FromMilliseconds((LONG)std::min<LONGLONG>(pProcess->m_nQuitDelay * 1000LL, LONG_MAX)));
            }
            break;
        }
    }
    if (!apForGood.empty())
        BeginStopSequence(apForGood, STOP_FOR_MASTER, NULL);
    if (!apToRestart.empty())
        BeginStopSequence(apToRestart, STOP_FOR_GROUP, NULL);
}

void CSupervisorApp::ReportGivenUp(CWatchedProcess* pProcess)
{
    std::string csName = pProcess->GetName();
    std::string csCount = StrFormat("%d", (int)pProcess->m_nMaxRestarts);
    const char* apszStrings[2] = {csName.c_str(), csCount.c_str()};
    ReportEvent(EVMSG_GIVEN_UP, 2, apszStrings);
    Broadcast(csName + " has been restarted " + csCount + " times in a row and will not be restarted again.");
    BroadcastRecord(pProcess);
}

void CSupervisorApp::HandleProcessEvent(CWatchedProcess* pProcess)
{
    LONG nState = pProcess->GetState();
    std::string csName = pProcess->GetName();
    if (pProcess->m_nStopFor != STOP_FOR_NONE && nState != PS_STARTING) {
        CompleteStop(pProcess, FALSE);
        RemoveEndedExternalCopies();
        return;
    }
    // What the process wrote before its end goes to its files before the
    // end is reported; the loop goes on meanwhile.
    if (nState == PS_CRASHED || nState == PS_ENDED || nState == PS_STOPPED) {
        ReportWhenDrained(pProcess, [this, pProcess] {
            ReportEnd(pProcess);
            RemoveEndedExternalCopies();
        });
        return;
    }
    if (nState == PS_STARTING && m_fShuttingDown)
        return;
    switch (nState) {
    case PS_RUNNING:
        Broadcast(csName + " is running.");
        BroadcastRecord(pProcess);
        break;
    case PS_NOT_CREATED:
        Broadcast(csName + " could not be started.");
        BroadcastRecord(pProcess);
        break;
    case PS_STARTING:
        ReportEvent(EVMSG_RESTARTING, csName.c_str());
        StartProcess(pProcess);
        break;
    default:
        DEBUG_FAILURE_MSG("Unknown case: " << nState);
        break;
    }
    RemoveEndedExternalCopies();
}

void CSupervisorApp::ReportEnd(CWatchedProcess* pProcess)
{
    const std::string csName = pProcess->GetName();
    switch (pProcess->GetState()) {
    case PS_CRASHED: {
        std::string csExitCode = StrFormat("%d", (int)pProcess->GetExitCode());
        const char* apszStrings[2] = {csName.c_str(), csExitCode.c_str()};
        ReportEvent(EVMSG_ABNORMAL_END, 2, apszStrings);
        Broadcast(csName + " has ended. Exit code: " + csExitCode);
        BroadcastRecord(pProcess);
        ApplyEndRules(pProcess);
        break;
    }
    case PS_ENDED:
        Broadcast(csName + " has finished.");
        // A SYNC line's end starts the lines after it (the start-up's next step).
        if (pProcess->m_fSync) {
            m_setSyncDone.insert(pProcess->GetReloadKey());
            RemoveProcess(pProcess);
            break;
        }
        ApplyEndRules(pProcess);
        BroadcastRecord(pProcess);
        break;
    case PS_STOPPED:
        Broadcast(csName + " has been stopped.");
        ApplyEndRules(pProcess);
        BroadcastRecord(pProcess);
        break;
    default:
        break;  // started again meanwhile: its new run is reported for itself
    }
}

void CSupervisorApp::RemoveEndedExternalCopies()
{
    for (size_t i = 0; i < m_paProcesses.size();) {
        CWatchedProcess* pProcess = m_paProcesses[i].get();
        LONG nState = pProcess->GetState();
        if (!pProcess->m_fNoStart || pProcess->IsExternalTemplate() ||
            (nState != PS_CRASHED && nState != PS_ENDED && nState != PS_STOPPED)) {
            i++;
            continue;
        }
        pProcess->SetState(PS_REMOVED);
        BroadcastRecord(pProcess);
        DestroyRecord(i);
    }
}
