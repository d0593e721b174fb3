// The supervision loop on "ServerThread": reads the definition file, serves
// the control pipe, starts the processes one per start-up step, waits on
// everything at once and shuts down in order.
#include "common/assertex.h"
#include "exitcode.h"
#include "common/filestuf.h"
#include "control.h"
#include "eventlog.h"
#include "ovrin.h"

namespace {

const CMilliTimeSpan s_mtsFirstStep(0, 0, 0, 1, 0);
const CMilliTimeSpan s_mtsStepPause(0, 0, 0, 0, 10);
const CMilliTimeSpan s_mtsMonitorPause(0, 0, 0, 3, 0);
const CMilliTimeSpan s_mtsSyncPoll(0, 0, 0, 0, 200);

// What the loop served last, for the turn the others get next.
enum
{
    SERVED_OTHER,
    SERVED_RECORD,
    SERVED_CLIENT
};

}  // namespace

void CSupervisorApp::RunServer()
{
    ReportServiceStatus(SERVICE_START_PENDING, 0, 0, 2000);
    if (!ReadDefinitionFile()) {
        m_nExitCode = EXIT_CODE_INVALID_DEFINITION;
        ReportEvent(EVMSG_INVALID_INF, GetProgramName(m_csExeName));
        return;
    }
    // The system's pre-shutdown notice must leave time for every line's stop.
    SetPreshutdownTimeout(GetPreshutdownTimeout());
    if (!CreateControlPipe())
        return;

    m_fShuttingDown = FALSE;
    m_fServerDone = FALSE;
    // The stop request's own report (the service frame's) is checkpoint 1.
    m_dwStopCheckpoint = 1;
    m_dwStartCheckpoint = 0;
    m_dwStartHolds = 0;
    m_apStopSequences.clear();
    m_apAwaitingEnd.clear();
    m_aHeldReports.clear();
    m_fStartupDone = FALSE;
    CLoopState loop;
    loop.m_alarmStartup.SetAfter(s_mtsFirstStep);
    m_metrics.Start();
    m_nMetricsChangesSeen = GetStateChangeCount();
    // The full wait serves the earliest ready object, records first. When
    // the loop cannot keep up, that alone starves everything behind lines
    // that keep ending: ten lines that crash every 100 ms keep this thread
    // busy under Wine, where each CreateProcess takes about 10 ms of it
    // (measured with ovrbench soak), and then the later lines' ends, client
    // commands, the rest of the start-up and the quit event were never
    // served. So after a process event the other objects get one look (a
    // poll in their own order), and the records after the one served get
    // theirs before the earlier ones again (a sweep in list order; the full
    // wait too begins its records there, so clients that keep the sweep from
    // its turn cannot starve the later lines). Client
    // messages get the same treatment: a client that keeps sending (tiny
    // messages, say) would otherwise starve the alarms, the quit event and
    // the clients behind it.
    while (!m_fServerDone) {
        const int nServed = loop.m_nServed;
        loop.m_nServed = SERVED_OTHER;
        // Each array lives to the end of the turn: the source that fired
        // points into one of them.
        CLoopSourceArray aOthers, aSweep, aAll;
        const CLoopSource* pFired = NULL;
        if (nServed != SERVED_OTHER) {
            AddLoopSources(loop, aOthers, nServed != SERVED_RECORD, nServed != SERVED_CLIENT, FALSE);
            pFired = WaitOnSources(aOthers, 0);
        }
        if (pFired == NULL && nServed == SERVED_RECORD) {
            AddRecordSources(loop, aSweep, loop.m_iSweep, TRUE);
            pFired = WaitOnSources(aSweep, 0);
        }
        if (pFired == NULL && nServed == SERVED_CLIENT) {
            AddReadSources(loop, aSweep, loop.m_iClientSweep, TRUE);
            pFired = WaitOnSources(aSweep, 0);
        }
        if (pFired == NULL) {
            AddLoopSources(loop, aAll, TRUE, TRUE, TRUE);
            pFired = WaitOnSources(aAll, INFINITE);
        }
        if (pFired != NULL) {
            // Copied: the handler may change what the arrays were built from.
            const std::function<void()> fnOnFired = pFired->m_fnOnFired;
            fnOnFired();
        } else {
            // A failed wait has been logged; do not spin on it.
            ::Sleep(100);
        }
        // Writes that ended meanwhile are collected here rather than as
        // turns of their own: with a watching client each broadcast ends
        // one, and as turns they starved the alarms behind them.
        CheckClientWrites(loop.m_alarmWrites);
        CloseFinishedConnections();
        // Records removed meanwhile no longer hold their sequences back.
        AdvanceStopSequences();
        FinishReloadedLines();
        // Whatever the turn changed reaches the metrics file soon (an
        // alarm, at most one write a second).
        if (m_metrics.IsEnabled() && GetStateChangeCount() != m_nMetricsChangesSeen) {
            m_nMetricsChangesSeen = GetStateChangeCount();
            m_metrics.NoteChange();
        }
    }
}

const CLoopSource* CSupervisorApp::WaitOnSources(const CLoopSourceArray& aSources, DWORD dwTimeout)
{
    CWaitObjectArray apObjects;
    apObjects.reserve(aSources.size());
    for (const CLoopSource& source : aSources)
        apObjects.push_back(source.m_pObject);
    if (apObjects.empty())
        return NULL;
    CWaitObject* pw = WaitForWaitObjects(FALSE, apObjects, dwTimeout);
    for (const CLoopSource& source : aSources) {
        if (source.m_pObject == pw)
            return &source;
    }
    return NULL;
}

void CSupervisorApp::AddRecordSources(CLoopState& loop, CLoopSourceArray& aSources, size_t iFrom, BOOL fPoll,
                                      size_t iTo)
{
    for (size_t i = iFrom; i < m_paProcesses.size() && i < iTo; i++) {
        CWatchedProcess* pProcess = m_paProcesses[i].get();
        if (fPoll && !(pProcess->m_fEnabled && pProcess->HasValidWaitHandle()))
            continue;
        aSources.push_back({pProcess, [this, &loop, pProcess, i] {
                                loop.m_iSweep = i + 1;
                                loop.m_nServed = SERVED_RECORD;
                                HandleProcessEvent(pProcess);
                            }});
    }
}

void CSupervisorApp::AddReadSources(CLoopState& loop, CLoopSourceArray& aSources, size_t iFrom, BOOL fPoll)
{
    for (size_t i = iFrom; i < m_apConnections.size(); i++) {
        CPipeConnection& conn = *m_apConnections[i];
        if (fPoll ? !conn.IsActive() : (conn.m_fClosing || !conn.IsServing()))
            continue;
        aSources.push_back({&conn.m_opRead, [this, &loop, &conn, i] {
                                loop.m_iClientSweep = i + 1;
                                loop.m_nServed = SERVED_CLIENT;
                                OnConnectionSignalled(i, &conn.m_opRead);
                            }});
    }
}

void CSupervisorApp::AddLoopSources(CLoopState& loop, CLoopSourceArray& aSources, BOOL fWithRecords,
                                    BOOL fWithClients, BOOL fWithWrites)
{
    // Process events come before client traffic, the quit event last. With
    // every record gone (all SYNC lines finished) the loop goes on without
    // them, serving clients and its quit event.
    if (fWithRecords) {
        // From the record after the one served last, round the list: when
        // the first lines keep ending (and clients keep the sweep from its
        // turn), the later ones' ends are still served in theirs.
        const size_t iFirst = loop.m_iSweep < m_paProcesses.size() ? loop.m_iSweep : 0;
        AddRecordSources(loop, aSources, iFirst, FALSE);
        AddRecordSources(loop, aSources, 0, FALSE, iFirst);
    }
    // The deadlines of stops come right after the ends they wait for.
    for (const auto& pRecord : m_paProcesses) {
        CWatchedProcess* pProcess = pRecord.get();
        if (pProcess->m_alarmStop.IsArmed())
            aSources.push_back({&pProcess->m_alarmStop, [this, pProcess] { OnStopAlarm(pProcess); }});
    }
    // A reload and the checks fire now and then, never in a stream: ahead of
    // the clients, whose steady traffic would otherwise keep them waiting
    // (the wait serves the first object ready). Only a file that uses the
    // checks waits for them: every object waited on costs each turn.
    aSources.push_back({&m_evReload, [this] { RequestReload(NULL); }});
    if (m_pReloadThread)
        aSources.push_back({m_pReloadThread.get(), [this] { OnReloadRead(); }});
    if (m_fAnyChecks) {
        aSources.push_back({&m_alarmChecks, [this] { RunDueChecks(); }});
        aSources.push_back({&m_prober.m_evResults, [this] { OnProbeResults(); }});
    }
    // Connected clients' reads, the writes that wait for their clients,
    // then the instances waiting for a client (or connected to one
    // already, not yet served).
    if (fWithClients)
        AddReadSources(loop, aSources, 0, FALSE);
    for (int nPass = 1; nPass < 3; nPass++) {
        for (size_t i = 0; i < m_apConnections.size(); i++) {
            CPipeConnection& conn = *m_apConnections[i];
            if (conn.m_fClosing)
                continue;
            CWaitObject* pObject = NULL;
            if (nPass == 1 && conn.IsWritePending() && fWithWrites)
                pObject = &conn.m_opWrite;
            else if (nPass == 2 && !conn.IsServing())
                pObject = &conn.m_instance;
            if (pObject != NULL)
                aSources.push_back({pObject, [this, i, pObject] { OnConnectionSignalled(i, pObject); }});
        }
    }
    aSources.push_back({&m_alarmListen, [this] {
                            m_alarmListen.Cancel();
                            TopUpListening();
                        }});
    aSources.push_back({&loop.m_alarmWrites, [&loop] { loop.m_alarmWrites.Cancel(); }});
    aSources.push_back({&loop.m_alarmStartup, [this, &loop] { StartupStep(loop.m_alarmStartup, loop.m_alarmMonitor); }});
    aSources.push_back({&loop.m_alarmMonitor, [this, &loop] {
                            loop.m_alarmMonitor.Cancel();
                            MonitorExternalProcesses();
                            loop.m_alarmMonitor.SetAfter(s_mtsMonitorPause);
                        }});
    aSources.push_back({&m_alarmQuit, [this] {
                            m_alarmQuit.Cancel();
                            RequestShutdown();
                        }});
    aSources.push_back({&m_evBudget, [this] { OnBudgetSet(); }});
    aSources.push_back({&m_alarmDrain, [this] { RunHeldReports(); }});
    if (m_metrics.IsEnabled())
        aSources.push_back({&m_metrics.m_alarm, [this] { WriteMetrics(); }});
    aSources.push_back({&m_notices.m_evPosted, [this] {
                            CStringArray csaNotices;
                            m_notices.TakeAll(csaNotices);
                            for (const std::string& csNotice : csaNotices)
                                Broadcast(csNotice);
                        }});
    // Once the shutdown has begun the quit event stays set; it is left out.
    if (!m_fShuttingDown) {
        aSources.push_back({&m_evQuit, [this, &loop] {
                                loop.m_alarmStartup.Cancel();
                                loop.m_alarmMonitor.Cancel();
                                BeginShutdown();
                            }});
    }
}

void CSupervisorApp::StartupStep(CAlarm& alarmStartup, CAlarm& alarmMonitor)
{
    alarmStartup.Cancel();
    // A SYNC line runs to its end before the next line starts, a start
    // that failed and waits for its retry included; a READY line holds the
    // next until it is ready.
    if (IsStartupHeld()) {
        alarmStartup.SetAfter(s_mtsSyncPoll);
        // A service's start may take as long as its lines take: the control
        // manager sees it progress. Each step's checkpoint is its record's
        // index plus the reports of the holds before it, so they only grow.
        m_dwStartHolds++;
        ReportServiceStatus(SERVICE_START_PENDING, 0, ++m_dwStartCheckpoint, 1000);
        return;
    }
    // The pause runs from the start of the step's work, so a step costs
    // the longer of the pause and its work, not their sum. The alarm is
    // served after process events and client commands, which still get
    // their turn between steps.
    alarmStartup.SetAfter(s_mtsStepPause);
    for (size_t i = 0; i < m_paProcesses.size(); i++) {
        CWatchedProcess* pProcess = m_paProcesses[i].get();
        if (pProcess->GetState() != PS_NOT_INITIALIZED)
            continue;
        m_fKeepCensus = TRUE;
        pProcess->SetState(PS_NOT_CREATED);
        pProcess->m_checks.m_fHoldsStartup = pProcess->m_checkOptions.m_ready.IsSet() && !pProcess->m_fNoStart;
        StartProcess(pProcess);
        m_dwStartCheckpoint = (DWORD)i + m_dwStartHolds;
        ReportServiceStatus(SERVICE_START_PENDING, 0, m_dwStartCheckpoint, 1000);
        MonitorExternalProcesses();
        return;
    }
    alarmStartup.Cancel();
    // From here each UNIQUE test and each external-process pass takes a
    // census of its own.
    m_fKeepCensus = FALSE;
    m_fStartupDone = TRUE;
    ReportEvent(EVMSG_SERVICE_STARTED, GetProgramName(m_csExeName));
    ReportServiceStatus(SERVICE_RUNNING, 0, 0, 1000);
    Broadcast("All services have been started.");
    alarmMonitor.SetAfter(s_mtsStepPause);
}
