// The supervision loop on "ServerThread": reads the definition file, serves
// the control pipe, starts the processes one per start-up step, waits on
// everything at once and shuts down in order.
#include "common/assertex.h"
#include "common/chain.h"
#include "common/exitcode.h"
#include "common/filestuf.h"
#include "control.h"
#include "eventlog.h"
#include "ovrin.h"

namespace {

const CMilliTimeSpan s_mtsFirstStep(0, 0, 0, 1, 0);
const CMilliTimeSpan s_mtsStepPause(0, 0, 0, 0, 10);
const CMilliTimeSpan s_mtsMonitorPause(0, 0, 0, 3, 0);
const CMilliTimeSpan s_mtsSyncPoll(0, 0, 0, 0, 200);

// The first ready record from index iFrom on, dispatched, or null; a poll.
CWaitObject* PollRecordsFrom(const CWatchedProcessArray& apProcesses, size_t iFrom)
{
    CWaitObjectArray apRest;
    for (size_t i = iFrom; i < apProcesses.size(); i++) {
        if (apProcesses[i]->m_fEnabled && apProcesses[i]->HasValidWaitHandle())
            apRest.push_back(apProcesses[i]);
    }
    return apRest.empty() ? NULL : WaitForWaitObjects(FALSE, apRest, 0);
}

// The same for the reads of the connections from index iFrom on.
CWaitObject* PollClientsFrom(const CConnectionArray& apConnections, size_t iFrom)
{
    CWaitObjectArray apRest;
    for (size_t i = iFrom; i < apConnections.size(); i++) {
        if (apConnections[i]->IsActive())
            apRest.push_back(&apConnections[i]->m_opRead);
    }
    return apRest.empty() ? NULL : WaitForWaitObjects(FALSE, apRest, 0);
}

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
    m_apStopSequences.clear();
    m_apAwaitingEnd.clear();
    CAlarm alarmStartup;
    CAlarm alarmMonitor;
    CAlarm alarmWrites;
    alarmStartup.SetAfter(s_mtsFirstStep);
    // The full wait serves the earliest ready object, records first. When
    // the loop cannot keep up, that alone starves everything behind lines
    // that keep ending: ten lines that crash every 100 ms keep this thread
    // busy under Wine, where each CreateProcess takes about 10 ms of it
    // (measured with ovrbench soak), and then the later lines' ends, client
    // commands, the rest of the start-up and the quit event were never
    // served. So after a process event the other objects get one look (a
    // poll in their own order), and the records after the one served get
    // theirs before the earlier ones again (a sweep in list order). Whenever
    // the loop keeps up, the full wait alone decides, in list order. Client
    // messages get the same treatment: a client that keeps sending (tiny
    // messages, say) would otherwise starve the alarms, the quit event and
    // the clients behind it.
    int nServed = SERVED_OTHER;
    size_t iSweep = 0;
    size_t iClientSweep = 0;
    for (;;) {
        CWaitObject* pw = NULL;
        if (nServed != SERVED_OTHER) {
            CWaitObjectArray apOthers;
            BuildWaitArray(alarmStartup, alarmMonitor, alarmWrites, apOthers, nServed != SERVED_RECORD,
                           nServed != SERVED_CLIENT, FALSE);
            pw = WaitForWaitObjects(FALSE, apOthers, 0);
        }
        if (pw == NULL && nServed == SERVED_RECORD)
            pw = PollRecordsFrom(GetRecords(), iSweep);
        if (pw == NULL && nServed == SERVED_CLIENT)
            pw = PollClientsFrom(m_apConnections, iClientSweep);
        nServed = SERVED_OTHER;
        if (pw == NULL) {
            CWaitObjectArray apWaitObjects;
            BuildWaitArray(alarmStartup, alarmMonitor, alarmWrites, apWaitObjects, TRUE);
            pw = WaitForWaitObjects(FALSE, apWaitObjects, INFINITE);
        }
        if (pw == &m_evQuit) {
            alarmStartup.Cancel();
            alarmMonitor.Cancel();
            BeginShutdown();
        } else if (pw == NULL) {
            // A failed wait has been logged; do not spin on it.
            ::Sleep(100);
        } else if (pw == &alarmStartup) {
            StartupStep(alarmStartup, alarmMonitor);
        } else if (pw == &m_notices.m_evPosted) {
            CStringArray csaNotices;
            m_notices.TakeAll(csaNotices);
            for (const std::string& csNotice : csaNotices)
                Broadcast(csNotice);
        } else if (pw == &alarmMonitor) {
            alarmMonitor.Cancel();
            MonitorExternalProcesses();
            alarmMonitor.SetAfter(s_mtsMonitorPause);
        } else if (pw == &m_alarmListen) {
            m_alarmListen.Cancel();
            TopUpListening();
        } else if (pw == &alarmWrites) {
            alarmWrites.Cancel();
        } else if (pw == &m_alarmQuit) {
            m_alarmQuit.Cancel();
            RequestShutdown();
        } else if (pw == &m_evBudget) {
            OnBudgetSet();
        } else if (CWatchedProcess* pStopping = FindStopAlarm(pw)) {
            OnStopAlarm(pStopping);
        } else {
            int iConnection = FindConnection(pw);
            if (iConnection >= 0) {
                if (pw == &m_apConnections[(size_t)iConnection]->m_opRead) {
                    iClientSweep = (size_t)iConnection + 1;
                    nServed = SERVED_CLIENT;
                }
                OnConnectionSignalled((size_t)iConnection, pw);
            } else {
                CWatchedProcess* pProcess = static_cast<CWatchedProcess*>(pw);
                iSweep = (size_t)(FindProcessIndex(pProcess) + 1);
                nServed = SERVED_RECORD;
                HandleProcessEvent(pProcess);
            }
        }
        // Writes that ended meanwhile are collected here rather than as
        // turns of their own: with a watching client each broadcast ends
        // one, and as turns they starved the alarms behind them.
        CheckClientWrites(alarmWrites);
        CloseFinishedConnections();
        // Records removed meanwhile no longer hold their sequences back.
        AdvanceStopSequences();
        if (m_fServerDone)
            break;
    }
}

CWatchedProcess* CSupervisorApp::FindStopAlarm(const CWaitObject* pw) const
{
    for (const auto& pProcess : m_paProcesses) {
        if (pw == &pProcess->m_alarmStop)
            return pProcess.get();
    }
    return NULL;
}

void CSupervisorApp::BuildWaitArray(CAlarm& alarmStartup, CAlarm& alarmMonitor, CAlarm& alarmWrites,
                                    CWaitObjectArray& apWaitObjects, BOOL fWithRecords, BOOL fWithClients,
                                    BOOL fWithWrites)
{
    // Process events come before client traffic, the quit event last. With
    // every record gone (all SYNC lines finished) the loop goes on without
    // them, serving clients and its quit event.
    CChainable* pTail = NULL;
    if (fWithRecords && !m_paProcesses.empty())
        pTail = ChainObjects(GetRecords());
    // Connected clients' reads, the writes that wait for their clients,
    // then the instances waiting for a client (or connected to one
    // already, not yet served).
    std::vector<CWaitObject*> apPipeObjects;
    for (int nPass = 0; nPass < 3; nPass++) {
        for (const auto& pConnection : m_apConnections) {
            if (pConnection->m_fClosing)
                continue;
            if (nPass == 0 && pConnection->IsServing() && fWithClients)
                apPipeObjects.push_back(&pConnection->m_opRead);
            else if (nPass == 1 && pConnection->IsWritePending() && fWithWrites)
                apPipeObjects.push_back(&pConnection->m_opWrite);
            else if (nPass == 2 && !pConnection->IsServing())
                apPipeObjects.push_back(&pConnection->m_instance);
        }
    }
    // The deadlines of stops come right after the ends they wait for.
    std::vector<CWaitObject*> apOthers;
    for (const auto& pProcess : m_paProcesses) {
        if (pProcess->m_alarmStop.IsArmed())
            apOthers.push_back(&pProcess->m_alarmStop);
    }
    apOthers.insert(apOthers.end(), apPipeObjects.begin(), apPipeObjects.end());
    if (!apOthers.empty()) {
        CChainable* pOthersTail = ChainObjects(apOthers);
        if (pTail != NULL)
            ChainBefore(*pTail, *pOthersTail);
        pTail = pOthersTail;
    }
    // Once the shutdown has begun the quit event stays set; it is left out.
    CChainable* apSingles[] = {&m_alarmListen, &alarmWrites, &alarmStartup, &alarmMonitor, &m_alarmQuit,
                               &m_evBudget, &m_notices.m_evPosted, m_fShuttingDown ? NULL : &m_evQuit};
    for (CChainable* pSingle : apSingles) {
        if (pSingle == NULL)
            continue;
        if (pTail != NULL)
            pTail->LinkTo(*pSingle);
        pTail = pSingle;
    }
    static_cast<CWaitObject*>(pTail)->CollectChain(apWaitObjects);
}

void CSupervisorApp::StartupStep(CAlarm& alarmStartup, CAlarm& alarmMonitor)
{
    alarmStartup.Cancel();
    // A SYNC line runs to its end before the next line starts, a start
    // that failed and waits for its retry included.
    if (IsSyncPending()) {
        alarmStartup.SetAfter(s_mtsSyncPoll);
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
        StartProcess(pProcess);
        ReportServiceStatus(SERVICE_START_PENDING, 0, (DWORD)i, 1000);
        MonitorExternalProcesses();
        return;
    }
    alarmStartup.Cancel();
    // From here each UNIQUE test and each external-process pass takes a
    // census of its own.
    m_fKeepCensus = FALSE;
    ReportEvent(EVMSG_SERVICE_STARTED, GetProgramName(m_csExeName));
    ReportServiceStatus(SERVICE_RUNNING, 0, 0, 1000);
    Broadcast("All services have been started.");
    alarmMonitor.SetAfter(s_mtsStepPause);
}
