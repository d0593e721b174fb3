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
                m_nState = PS_ENDED;
            } else if (m_fStopRequested) {
                m_nState = PS_STOPPED;
            } else if (EndedNormally()) {
                DEBUG_TRACE_MSG("The process " << csName << " ended with an okay exit code.");
                m_nState = PS_ENDED;
            } else {
                DEBUG_TRACE_MSG("The process " << csName << " has ended unexpectedly.");
                m_nState = PS_CRASHED;
            }
        }
        m_mtEnded = CMilliTime::GetCurrentTime();
        m_fEnabled = 0;
    } else {
        m_alarmRestart.Cancel();
        CloseHandles();
        m_nState = PS_STARTING;
    }
}

void CWatchedProcess::ScheduleRestart()
{
    m_alarmRestart.SetAt(m_mtEnded + m_mtsRestartDelay);
    m_pwoDelegate = &m_alarmRestart;
    m_fEnabled = 1;
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
                m_fQuitPending = 1;
        } else if (m_fWatch && !m_fNoStart) {
            ScheduleRestart();
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
        m_mtEnded = CMilliTime::GetCurrentTime();
        // A member still waiting out an earlier restart delay would otherwise
        // come back although its master has ended the group.
        if (m_pwoDelegate == &m_alarmRestart) {
            m_alarmRestart.Cancel();
            m_fEnabled = 0;
        }
        return;
    }
    if (fEndedNormally || !pEnded->m_fWatch || !m_fWatch)
        return;
    if (IsRunning()) {
        DEBUG_ERROR_MSG("The process " << GetFullCommandLine()
                                       << " is killing itself because one of it's brothers died.");
        StopForRule(*this);
    }
    m_mtEnded = CMilliTime::GetCurrentTime();
    if (!m_fNoStart)
        ScheduleRestart();
}

void CSupervisorApp::ApplyEndRules(CWatchedProcess* pEnded)
{
    for (size_t i = 0; i < m_paProcesses.size(); i++) {
        CWatchedProcess* pProcess = m_paProcesses[i];
        pProcess->OnProcessEnded(pEnded);
        if (pProcess->m_fQuitPending) {
            Broadcast(StrFormat("Stopping all processes and shutting down in %i seconds...", (int)pProcess->m_nQuitDelay));
            ::Sleep((DWORD)pProcess->m_nQuitDelay * 1000);
            OnStop();
            break;
        }
    }
}

void CSupervisorApp::HandleProcessEvent(CWatchedProcess* pProcess)
{
    LONG nState = pProcess->m_nState;
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
    // A SYNC restart removes its record inside StartProcess.
    int iProcess = FindProcessIndex(pProcess);
    if (iProcess >= 0 && pProcess->m_fNoStart &&
        (nState == PS_CRASHED || nState == PS_ENDED || nState == PS_STOPPED)) {
        pProcess->m_nState = PS_REMOVED;
        BroadcastRecord(pProcess);
        m_paProcesses.erase(m_paProcesses.begin() + iProcess);
        delete pProcess;
    }
}
