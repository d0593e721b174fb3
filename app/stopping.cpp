// Stops as requests with deadlines: the stop command, the group and master
// rules and the shutdown stop lines one after another (a stop sequence),
// and the loop goes on between the request and the end. Everything here
// runs on the supervision thread.
#include <algorithm>

#include "common/assertex.h"
#include "common/filestuf.h"
#include "control.h"
#include "eventlog.h"
#include "ovrin.h"

namespace {

// What a bounded shutdown keeps back from its budget for the kills, the
// last broadcasts and the end of the process.
const DWORD s_dwBudgetMarginMs = 500;
// How often held end reports look whether their output has drained.
const CMilliTimeSpan s_mtsDrainCheck(0, 0, 0, 0, 10);
// How long the terminate command looks for the end of what it killed.
const CMilliTimeSpan s_mtsTerminateWatch(0, 0, 0, 10, 0);

// Which reason wins when a line being stopped for one is asked again for
// another: the shutdown over the operator over the rules.
LONG StopPriority(LONG nFor)
{
    switch (nFor) {
    case STOP_FOR_SHUTDOWN:
        return 4;
    case STOP_FOR_OPERATOR:
        return 3;
    case STOP_FOR_RELOAD:
        return 2;
    case STOP_FOR_MASTER:
    case STOP_FOR_GROUP:
    case STOP_FOR_CHECK:
        return 1;
    default:
        return 0;
    }
}

BOOL IsAnnounced(LONG nFor)
{
    return nFor == STOP_FOR_OPERATOR || nFor == STOP_FOR_SHUTDOWN || nFor == STOP_FOR_RELOAD;
}

// What follows the end of a line stopped for a rule or a check.
LONG RuleOf(LONG nFor)
{
    if (nFor == STOP_FOR_MASTER)
        return RULE_STOP_FOR_GOOD;
    return nFor == STOP_FOR_CHECK ? RULE_RESTART_COUNTED : RULE_STOP_AND_RESTART;
}

}  // namespace

void CSupervisorApp::BeginStopSequence(const CWatchedProcessArray& apProcesses, LONG nFor,
                                       const CPipeConnection* pRequester)
{
    std::unique_ptr<CStopSequence> pSequence(new CStopSequence);
    pSequence->m_apQueue = apProcesses;
    pSequence->m_nFor = nFor;
    pSequence->m_pRequester = pRequester;
    m_apStopSequences.push_back(std::move(pSequence));
    AdvanceStopSequences();
}

BOOL CSupervisorApp::AdvanceStopSequence(CStopSequence& seq)
{
    while (seq.m_iCurrent < seq.m_apQueue.size()) {
        if (seq.m_nFor == STOP_FOR_SHUTDOWN)
            AskAllIfBudgetShort(seq);
        CWatchedProcess* pProcess = seq.m_apQueue[seq.m_iCurrent];
        if (seq.m_iCurrent >= seq.m_iAsked) {
            seq.m_iAsked = seq.m_iCurrent + 1;
            StopLine(pProcess, seq.m_nFor, GetBudgetLeft());
        }
        if (pProcess->m_nStopFor != STOP_FOR_NONE)
            return TRUE;
        seq.m_iCurrent++;
    }
    return FALSE;
}

void CSupervisorApp::AdvanceStopSequences()
{
    // A sequence that finishes may send replies; one that a completion
    // inside this walk finished is collected by the walk after it.
    for (size_t i = 0; i < m_apStopSequences.size();) {
        if (AdvanceStopSequence(*m_apStopSequences[i])) {
            i++;
            continue;
        }
        std::unique_ptr<CStopSequence> pDone = std::move(m_apStopSequences[i]);
        m_apStopSequences.erase(m_apStopSequences.begin() + (ptrdiff_t)i);
        if (pDone->m_pRequester != NULL)
            AnswerAwaitingClients();
        if (pDone->m_nFor == STOP_FOR_SHUTDOWN)
            FinishShutdown();
    }
}

void CSupervisorApp::StopLine(CWatchedProcess* pProcess, LONG nFor, DWORD dwCapMs)
{
    const std::string csName = pProcess->GetName();
    if (nFor == STOP_FOR_RELOAD) {
        // Its reload was settled meanwhile (its run ended, or another reload
        // put the line back as it was), or nothing runs to stop.
        if (pProcess->m_nReloadAction == RELOAD_NONE ||
            (pProcess->m_nStopFor == STOP_FOR_NONE && !pProcess->IsRunning()))
            return;
    } else if (nFor == STOP_FOR_OPERATOR || nFor == STOP_FOR_SHUTDOWN) {
        // A line the operator stopped stays stopped, whatever a reload meant to do.
        pProcess->m_fStartAfterReload = FALSE;
    }
    const BOOL fAnnounced = IsAnnounced(nFor);
    if (fAnnounced)
        Broadcast("Stopping process " + csName);
    if (pProcess->m_nStopFor != STOP_FOR_NONE) {
        // Asked already: this stop waits for that one's end.
        if (StopPriority(nFor) > StopPriority(pProcess->m_nStopFor))
            pProcess->m_nStopFor = nFor;
        pProcess->CapStopDeadline(dwCapMs);
        return;
    }
    // A line waiting out its restart delay or start retry stays down until
    // the operator starts it again.
    if (nFor == STOP_FOR_OPERATOR && !pProcess->m_fNoStop && pProcess->CancelRestart()) {
        pProcess->RecordEnd(END_CANCELLED);
        Broadcast(csName + " Stopped.");
        BroadcastRecord(pProcess);
        return;
    }
    const LONG nResult = pProcess->BeginStop(dwCapMs, !fAnnounced && pProcess->m_fNoStop);
    if (nResult == STOP_BEGUN) {
        pProcess->m_nStopFor = nFor;
        if (m_fShuttingDown)
            ReportStopProgress(pProcess->GetStopWaitMs());
        return;
    }
    if (nResult == STOP_KILLED) {
        // Reported as any stop's end, once its output has reached its files.
        pProcess->m_nStopFor = nFor;
        CompleteStop(pProcess, FALSE);
        return;
    }
    if (!fAnnounced) {
        // A line whose check failed and that has ended meanwhile is left to
        // the end the loop sees: that end is its crash.
        if (nFor != STOP_FOR_CHECK)
            pProcess->FinishRuleStop(RuleOf(nFor));
        return;
    }
    Broadcast(csName + " not stopped (" + pProcess->GetStateText() + ")");
    BroadcastRecord(pProcess);
}

void CSupervisorApp::CompleteStop(CWatchedProcess* pProcess, BOOL fKilledAtDeadline)
{
    // The sequences go on waiting for the line (m_nStopFor) until its end
    // has been reported; they move on at the loop's next turn.
    ReportWhenDrained(pProcess, [this, pProcess, fKilledAtDeadline] { ReportStopEnd(pProcess, fKilledAtDeadline); });
}

void CSupervisorApp::ReportStopEnd(CWatchedProcess* pProcess, BOOL fKilledAtDeadline)
{
    const LONG nFor = pProcess->m_nStopFor;
    if (nFor == STOP_FOR_NONE)
        return;  // reported already (a terminate while the output drained)
    pProcess->m_nStopFor = STOP_FOR_NONE;
    const std::string csName = pProcess->GetName();
    if (fKilledAtDeadline)
        Broadcast(StrFormat("%s did not stop within %lu seconds and was killed.", csName.c_str(),
                            (unsigned long)((pProcess->GetStopWaitMs() + 500) / 1000)));
    if (IsAnnounced(nFor)) {
        Broadcast(csName + " Stopped.");
        BroadcastRecord(pProcess);
    } else if (m_fShuttingDown) {
        pProcess->MarkEnded();
    } else {
        // A NOSTOP line is only asked; one that ran on after a failed check
        // is watched by its checks again, or a later hang would go unseen.
        const BOOL fRunsOn = pProcess->GetState() == PS_RUNNING;
        pProcess->FinishRuleStop(RuleOf(nFor));
        if (fRunsOn && nFor == STOP_FOR_CHECK)
            BeginChecks(pProcess, FALSE);
        if (pProcess->GetState() == PS_GIVEN_UP)
            ReportGivenUp(pProcess);
        else
            BroadcastRecord(pProcess);
    }
    if (m_fShuttingDown)
        ReportStopProgress(0);
}

void CSupervisorApp::ReportWhenDrained(CWatchedProcess* pProcess, std::function<void()> fnReport)
{
    if (pProcess->m_capture.IsDrained()) {
        fnReport();
        return;
    }
    m_aHeldReports.push_back({pProcess, GetMonotonicMilliseconds() + c_dwDrainTimeout, std::move(fnReport)});
    if (!m_alarmDrain.IsArmed())
        m_alarmDrain.SetAfter(s_mtsDrainCheck);
}

void CSupervisorApp::RunHeldReports(const CWatchedProcess* pOnly)
{
    m_alarmDrain.Cancel();
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    // A report may hold or drop others (or its record): the walk starts
    // again after each one it runs.
    for (size_t i = 0; i < m_aHeldReports.size();) {
        CHeldReport& held = m_aHeldReports[i];
        const BOOL fDue = pOnly != NULL ? held.m_pProcess == pOnly
                                        : ullNow >= held.m_ullDueMs || held.m_pProcess->m_capture.IsDrained();
        if (!fDue) {
            i++;
            continue;
        }
        std::function<void()> fnReport = std::move(held.m_fnReport);
        m_aHeldReports.erase(m_aHeldReports.begin() + (ptrdiff_t)i);
        fnReport();
        i = 0;
    }
    if (!m_aHeldReports.empty())
        m_alarmDrain.SetAfter(s_mtsDrainCheck);
}

void CSupervisorApp::OnStopAlarm(CWatchedProcess* pProcess)
{
    if (pProcess->m_fWatchTerminate) {
        pProcess->m_alarmStop.Cancel();
        pProcess->m_fWatchTerminate = FALSE;
        HANDLE hProcess = pProcess->m_processinfo.hProcess;
        if (hProcess != NULL && ::WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT)
            Broadcast("Timed-out waiting for " + pProcess->GetName() + " to terminate.");
        return;
    }
    if (pProcess->OnStopAlarm())
        CompleteStop(pProcess, TRUE);
    else if (!pProcess->IsStopping() && pProcess->m_nStopFor != STOP_FOR_NONE)
        CompleteStop(pProcess, FALSE);
}

void CSupervisorApp::TerminateCommand(CWatchedProcess* pProcess)
{
    std::string csName = pProcess->GetName();
    Broadcast("Terminating process " + csName);
    const BOOL fWasStopping = pProcess->m_nStopFor != STOP_FOR_NONE;
    if (!pProcess->Kill())
        return;
    pProcess->MarkEnded();
    HANDLE hProcess = pProcess->m_processinfo.hProcess;
    // The kill is asynchronous; its end is looked for later, not waited for.
    if (hProcess != NULL && ::WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT) {
        pProcess->m_fWatchTerminate = TRUE;
        pProcess->m_alarmStop.SetAfter(s_mtsTerminateWatch);
    }
    if (fWasStopping) {
        pProcess->MarkForcedStop();
        CompleteStop(pProcess, FALSE);
    }
}

void CSupervisorApp::AskAllIfBudgetShort(CStopSequence& seq)
{
    if (seq.m_fAskedAll || m_dwShutdownBudget == INFINITE)
        return;
    const DWORD dwLeft = GetBudgetLeft();
    ULONGLONG ullNeeded = 0;
    for (size_t i = seq.m_iCurrent; i < seq.m_apQueue.size(); i++) {
        CWatchedProcess* pProcess = seq.m_apQueue[i];
        if (pProcess->m_nStopFor == STOP_FOR_NONE && !pProcess->m_fNoStop && pProcess->IsRunning())
            ullNeeded += pProcess->GetStopTimeoutMs();
    }
    if (ullNeeded <= dwLeft)
        return;
    // One after another would not fit: every line left is asked now, and
    // whatever has not ended at the budget's end is killed then.
    seq.m_fAskedAll = TRUE;
    for (const auto& pProcess : m_paProcesses)
        pProcess->CapStopDeadline(dwLeft);
    for (size_t i = seq.m_iAsked; i < seq.m_apQueue.size(); i++)
        StopLine(seq.m_apQueue[i], seq.m_nFor, dwLeft);
    seq.m_iAsked = seq.m_apQueue.size();
}

DWORD CSupervisorApp::GetBudgetLeft() const
{
    if (m_dwShutdownBudget == INFINITE || !m_fShuttingDown)
        return INFINITE;
    const ULONGLONG ullUsed = GetMonotonicMilliseconds() - m_ullShutdownStartMs + s_dwBudgetMarginMs;
    return ullUsed >= m_dwShutdownBudget ? 0 : (DWORD)(m_dwShutdownBudget - ullUsed);
}

void CSupervisorApp::OnBudgetSet()
{
    if (!m_fShuttingDown)
        return;  // the quit event that follows starts the shutdown with it
    for (auto& pSequence : m_apStopSequences) {
        if (pSequence->m_nFor == STOP_FOR_SHUTDOWN)
            AskAllIfBudgetShort(*pSequence);
    }
    AdvanceStopSequences();
}

void CSupervisorApp::ReportStopProgress(DWORD dwWaitHintMs)
{
    // The control manager gives a stop as long as its wait hint from the
    // last new checkpoint; each line's stop sets its own.
    ReportServiceStatus(IsService() ? SERVICE_STOP_PENDING : GetReportedServiceState(), 0, ++m_dwStopCheckpoint,
                        dwWaitHintMs + s_dwBudgetMarginMs + 1000);
}

void CSupervisorApp::BeginShutdown()
{
    ReportEvent(EVMSG_SERVICE_STOPPING, GetProgramName(m_csExeName));
    DEBUG_TRACE_MSG("The Ovrin-Server has received a stop command.");
    m_fShuttingDown = TRUE;
    m_ullShutdownStartMs = GetMonotonicMilliseconds();
    m_alarmQuit.Cancel();
    // Nothing comes back while everything goes down; the state of a line
    // whose restart was pending stays as its end left it.
    for (const auto& pProcess : m_paProcesses)
        pProcess->CancelRestart();
    // The shutdown takes over from stop commands and rules in progress:
    // the lines they asked are waited for when their turn comes.
    m_apStopSequences.clear();
    ReportStopProgress(0);
    CWatchedProcessArray apOrder = GetRecords();
    if (m_fLifoShutdown)
        std::reverse(apOrder.begin(), apOrder.end());
    BeginStopSequence(apOrder, STOP_FOR_SHUTDOWN, NULL);
}

void CSupervisorApp::FinishShutdown()
{
    FlushClientWrites(CLIENT_WRITE_TIMEOUT_MS, TRUE);
    for (auto& pConnection : m_apConnections)
        pConnection->m_fClosing = TRUE;
    CloseFinishedConnections();
    m_fServerDone = TRUE;
}

BOOL CSupervisorApp::IsStopPendingFor(const CPipeConnection* pConnection) const
{
    for (const auto& pSequence : m_apStopSequences) {
        if (pSequence->m_pRequester == pConnection)
            return TRUE;
    }
    // A reload's answer goes out before the end of the replies too.
    return std::find(m_apReloadRequesters.begin(), m_apReloadRequesters.end(), pConnection) !=
               m_apReloadRequesters.end() ||
           std::find(m_apReadingFor.begin(), m_apReadingFor.end(), pConnection) != m_apReadingFor.end();
}

void CSupervisorApp::AnswerAwaitingClients()
{
    for (size_t i = 0; i < m_apAwaitingEnd.size();) {
        const CPipeConnection* pConnection = m_apAwaitingEnd[i];
        if (IsStopPendingFor(pConnection)) {
            i++;
            continue;
        }
        m_apAwaitingEnd.erase(m_apAwaitingEnd.begin() + (ptrdiff_t)i);
        for (size_t iConnection = 0; iConnection < m_apConnections.size(); iConnection++) {
            if (m_apConnections[iConnection].get() == pConnection)
                SendEndOfReplies(iConnection);
        }
    }
}

BOOL CSupervisorApp::HasHeldReport(const CWatchedProcess* pProcess) const
{
    for (const CHeldReport& held : m_aHeldReports) {
        if (held.m_pProcess == pProcess)
            return TRUE;
    }
    return FALSE;
}

void CSupervisorApp::ForgetConnection(const CPipeConnection* pConnection)
{
    // A reload still answers the others; its reply to this one goes nowhere.
    std::replace(m_apReloadRequesters.begin(), m_apReloadRequesters.end(), pConnection,
                 (const CPipeConnection*)NULL);
    std::replace(m_apReadingFor.begin(), m_apReadingFor.end(), pConnection, (const CPipeConnection*)NULL);
    for (auto& pSequence : m_apStopSequences) {
        if (pSequence->m_pRequester == pConnection)
            pSequence->m_pRequester = NULL;
    }
    m_apAwaitingEnd.erase(std::remove(m_apAwaitingEnd.begin(), m_apAwaitingEnd.end(), pConnection),
                          m_apAwaitingEnd.end());
}

void CSupervisorApp::ForgetRecord(const CWatchedProcess* pProcess)
{
    for (size_t i = 0; i < m_aHeldReports.size();) {
        if (m_aHeldReports[i].m_pProcess == pProcess)
            m_aHeldReports.erase(m_aHeldReports.begin() + (ptrdiff_t)i);
        else
            i++;
    }
    // A removed record is no longer waited for: the sequences go on past it.
    for (auto& pSequence : m_apStopSequences) {
        CWatchedProcessArray& apQueue = pSequence->m_apQueue;
        for (size_t i = 0; i < apQueue.size();) {
            if (apQueue[i] != pProcess) {
                i++;
                continue;
            }
            apQueue.erase(apQueue.begin() + (ptrdiff_t)i);
            if (i < pSequence->m_iCurrent)
                pSequence->m_iCurrent--;
            if (i < pSequence->m_iAsked)
                pSequence->m_iAsked--;
        }
    }
}
