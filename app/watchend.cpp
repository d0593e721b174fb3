// End detection and the restart, group, master and quit rules. Everything
// here runs on the supervision thread; the alarm thread only fires the
// restart alarms.
#include "common/assertex.h"
#include "common/filestuf.h"
#include "eventlog.h"
#include "ovrin.h"

void CWatchedProcess::OnSignalled()
{
    CWaitObject::OnSignalled();
    if (m_processinfo.hProcess != NULL && GetWaitHandle() == m_processinfo.hProcess) {
        m_fHasLastExitCode = ::GetExitCodeProcess(m_processinfo.hProcess, &m_dwLastExitCode);
        if (m_nState == PS_RUNNING) {
            std::string csName = GetExeName();
            if (m_fSync) {
                DEBUG_TRACE_MSG("The process " << csName << " has ended.");
                SetState(PS_ENDED);
            } else if (m_fStopRequested) {
                SetState(PS_STOPPED);
            } else if (EndedNormally()) {
                DEBUG_TRACE_MSG("The process " << csName << " ended with an okay exit code.");
                SetState(PS_ENDED);
            } else {
                DEBUG_TRACE_MSG("The process " << csName << " has ended unexpectedly.");
                SetState(PS_CRASHED);
            }
        }
        MarkEnded();
        m_fEnabled = FALSE;
        // The rules follow the process that was started; what it started
        // ends with it.
        EndTree();
    } else {
        m_alarmRestart.Cancel();
        CloseHandles();
        SetState(PS_STARTING);
    }
}

void CWatchedProcess::ScheduleRestart(LONG nDelayMs)
{
    ArmRestart(nDelayMs, TRUE);
}

namespace {

// Asks a group member to end, gives it 5000 ms, then terminates it.
void StopForRule(CWatchedProcess& wp)
{
    std::string csFullName = wp.GetFullCommandLine();
    if (wp.RequestStop()) {
        if (!wp.Wait(5000)) {
            DEBUG_TRACE_MSG("Timed-out waiting for " << csFullName << " to end. Terminating process.");
            wp.Kill();
        }
    } else {
        DEBUG_TRACE_MSG("Unable to stop " << csFullName << ".  Terminating process.");
        wp.Kill();
    }
}

}  // namespace

// NOSTART records (templates and the copies that watch external instances)
// are never scheduled: StartProcess never starts them, so a restart would
// only report a restart that cannot happen, and a copy whose handles the
// fired alarm closes would pass for a template.
void CWatchedProcess::OnProcessEnded(CWatchedProcess* pEnded)
{
    if (pEnded == this) {
        BOOL fStopRequested = m_fStopRequested;
        if (IsRunning()) {
            DEBUG_ERROR_MSG("Forcibly terminating process " << GetExeName() << ".");
            Kill();
        }
        if (fStopRequested)
            return;
        if (EndedNormally()) {
            if (m_fQuit)
                m_fQuitPending = TRUE;
        } else if (m_fWatch && !m_fNoStart && !m_fSync) {
            const ULONGLONG ullRunMs = m_ullEndedMs > m_ullStartedMs ? m_ullEndedMs - m_ullStartedMs : 0;
            LONG nDelayMs = 0;
            if (NextRestartDelay(GetRestartPolicy(), m_restartCount, ullRunMs, nDelayMs))
                ScheduleRestart(nDelayMs);
            else
                SetState(PS_GIVEN_UP);
        }
        return;
    }
    if (m_nGroup == -1 || m_nGroup != pEnded->m_nGroup)
        return;
    BOOL fEndedNormally = pEnded->EndedNormally();
    if (pEnded->m_fMaster && fEndedNormally) {
        if (IsRunning()) {
            DEBUG_ERROR_MSG("The process " << GetFullCommandLine()
                                           << " is killing itself because it's master ended normally.");
            StopForRule(*this);
        }
        MarkEnded();
        // A member still waiting out an earlier restart delay would otherwise
        // come back although its master has ended the group.
        CancelRestart();
        return;
    }
    if (fEndedNormally || !pEnded->m_fWatch || !m_fWatch || m_fSync)
        return;
    // Only a member that runs or waits for its restart is restarted with
    // its brother: one the operator stopped, one given up or one that has
    // not been started yet stays as it is.
    BOOL fRunning = IsRunning();
    if (!fRunning && !IsRestartPending())
        return;
    if (fRunning) {
        DEBUG_ERROR_MSG("The process " << GetFullCommandLine()
                                       << " is killing itself because one of it's brothers died.");
        StopForRule(*this);
    }
    MarkEnded();
    if (!m_fNoStart)
        ScheduleRestart(m_mtsRestartDelay.GetTotalMilliseconds());
}

void CSupervisorApp::ApplyEndRules(CWatchedProcess* pEnded)
{
    for (size_t i = 0; i < m_paProcesses.size(); i++) {
        CWatchedProcess* pProcess = m_paProcesses[i];
        pProcess->OnProcessEnded(pEnded);
        if (pProcess == pEnded && pProcess->GetState() == PS_GIVEN_UP)
            ReportGivenUp(pProcess);
        if (pProcess->m_fQuitPending) {
            Broadcast(StrFormat("Stopping all processes and shutting down in %i seconds...", (int)pProcess->m_nQuitDelay));
            ::Sleep((DWORD)pProcess->m_nQuitDelay * 1000);
            OnStop();
            break;
        }
    }
}

void CSupervisorApp::ReportGivenUp(CWatchedProcess* pProcess)
{
    std::string csName = pProcess->GetExeName();
    std::string csCount = StrFormat("%d", (int)pProcess->m_nMaxRestarts);
    const char* apszStrings[2] = {csName.c_str(), csCount.c_str()};
    ReportEvent(EVMSG_GIVEN_UP, 2, apszStrings);
    Broadcast(csName + " has been restarted " + csCount + " times in a row and will not be restarted again.");
    BroadcastRecord(pProcess);
}

void CSupervisorApp::HandleProcessEvent(CWatchedProcess* pProcess)
{
    LONG nState = pProcess->GetState();
    std::string csName = pProcess->GetExeName();
    // What the process wrote before its end goes to its files before the end is reported.
    if (nState == PS_CRASHED || nState == PS_ENDED || nState == PS_STOPPED)
        pProcess->m_capture.WaitForDrain(c_dwDrainTimeout);
    switch (nState) {
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
        ApplyEndRules(pProcess);
        BroadcastRecord(pProcess);
        break;
    case PS_STOPPED:
        Broadcast(csName + " has been stopped.");
        ApplyEndRules(pProcess);
        BroadcastRecord(pProcess);
        break;
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

void CSupervisorApp::RemoveEndedExternalCopies()
{
    for (size_t i = 0; i < m_paProcesses.size();) {
        CWatchedProcess* pProcess = m_paProcesses[i];
        LONG nState = pProcess->GetState();
        if (!pProcess->m_fNoStart || pProcess->IsExternalTemplate() ||
            (nState != PS_CRASHED && nState != PS_ENDED && nState != PS_STOPPED)) {
            i++;
            continue;
        }
        pProcess->SetState(PS_REMOVED);
        BroadcastRecord(pProcess);
        m_paProcesses.erase(m_paProcesses.begin() + (ptrdiff_t)i);
        delete pProcess;
    }
}
