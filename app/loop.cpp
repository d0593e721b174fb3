// The supervision loop on "ServerThread": reads the definition file, serves
// the control pipe, starts the processes one per start-up step, waits on
// everything at once and shuts down in order.
#include "common/assertex.h"
#include "common/chain.h"
#include "common/filestuf.h"
#include "control.h"
#include "eventlog.h"
#include "ovrin.h"

namespace {

const CMilliTimeSpan s_mtsFirstStep(0, 0, 0, 1, 0);
const CMilliTimeSpan s_mtsStepPause(0, 0, 0, 0, 10);
const CMilliTimeSpan s_mtsMonitorPause(0, 0, 0, 3, 0);
const CMilliTimeSpan s_mtsSyncPoll(0, 0, 0, 0, 200);
const DWORD s_cbPipeBuffer = 0x10000;

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

}  // namespace

void CSupervisorApp::RunServer()
{
    ReportServiceStatus(SERVICE_START_PENDING, 0, 0, 2000);
    if (!ReadDefinitionFile()) {
        ReportEvent(EVMSG_INVALID_INF, GetProgramName(m_csExeName));
        return;
    }
    m_pipe.SetServer(GetControlPipeName(m_csExeName));
    m_pipe.SetNullDacl();
    // With buffers of size 0 Wine ends a write only when the client has read
    // it, so every broadcast line cost a round trip to the slowest client's
    // reader thread (0.25 ms and more under load; a status of 1000 lines
    // took a second). Buffered, a write ends at once as it does on Windows,
    // where size 0 buffers small messages anyway; a client that reads
    // nothing still holds up a write once the buffer is full, and the write
    // bound then closes it.
    m_pipe.m_dwOutBufferSize = s_cbPipeBuffer;
    m_pipe.m_dwInBufferSize = s_cbPipeBuffer;
    AddListeningConnection();

    CAlarm alarmStartup;
    CAlarm alarmMonitor;
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
    // the loop keeps up, the full wait alone decides, in list order.
    BOOL fOthersFirst = FALSE;
    size_t iSweep = 0;
    for (;;) {
        CWaitObject* pw = NULL;
        if (fOthersFirst) {
            CWaitObjectArray apOthers;
            BuildWaitArray(alarmStartup, alarmMonitor, apOthers, FALSE);
            pw = WaitForWaitObjects(FALSE, apOthers, 0);
            fOthersFirst = FALSE;
        }
        if (pw == NULL)
            pw = PollRecordsFrom(m_paProcesses, iSweep);
        if (pw == NULL) {
            CWaitObjectArray apWaitObjects;
            BuildWaitArray(alarmStartup, alarmMonitor, apWaitObjects, TRUE);
            pw = WaitForWaitObjects(FALSE, apWaitObjects, INFINITE);
        }
        if (pw == &m_evQuit) {
            Shutdown();
            break;
        }
        if (pw == NULL) {
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
        } else if (!m_aConnections.empty() && pw == m_aConnections.back().pInstance) {
            DEBUG_TRACE_MSG("A client has connected.");
            CConnection& conn = m_aConnections.back();
            conn.pReadOp->ReadMessage(conn.pDataBlock);
            AddListeningConnection();
        } else {
            int iConnection = FindConnectionByReadOp(pw);
            if (iConnection >= 0) {
                if (!HandleCommand(iConnection)) {
                    DEBUG_TRACE_MSG("Error " << LastErrorText()
                                             << " occurred reading from the ovrin-client. Closing the connection.");
                    m_aConnections[(size_t)iConnection].fClosing = TRUE;
                }
            } else {
                CWatchedProcess* pProcess = static_cast<CWatchedProcess*>(pw);
                iSweep = (size_t)(FindProcessIndex(pProcess) + 1);
                fOthersFirst = TRUE;
                HandleProcessEvent(pProcess);
            }
        }
        CloseFinishedConnections();
    }
}

void CSupervisorApp::BuildWaitArray(CAlarm& alarmStartup, CAlarm& alarmMonitor, CWaitObjectArray& apWaitObjects,
                                    BOOL fWithRecords)
{
    // Process events come before client traffic, the quit event last. With
    // every record gone (all SYNC lines finished) the loop goes on without
    // them, serving clients and its quit event.
    CChainable* pTail = NULL;
    if (fWithRecords && !m_paProcesses.empty())
        pTail = ChainObjects(m_paProcesses);
    std::vector<CIoOperation*> apReadOps;
    for (size_t i = 0; i + 1 < m_aConnections.size(); i++)
        apReadOps.push_back(m_aConnections[i].pReadOp);
    if (!apReadOps.empty()) {
        CChainable* pReadTail = ChainObjects(apReadOps);
        if (pTail != NULL)
            ChainBefore(*pTail, *pReadTail);
        pTail = pReadTail;
    }
    CChainable* apSingles[] = {m_aConnections.empty() ? NULL : m_aConnections.back().pInstance, &alarmStartup,
                               &alarmMonitor, &m_notices.m_evPosted, &m_evQuit};
    for (CChainable* pSingle : apSingles) {
        if (pSingle == NULL)
            continue;
        if (pTail != NULL)
            pTail->LinkTo(*pSingle);
        pTail = pSingle;
    }
    static_cast<CWaitObject*>(&m_evQuit)->CollectChain(apWaitObjects);
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
        CWatchedProcess* pProcess = m_paProcesses[i];
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

void CSupervisorApp::Shutdown()
{
    ReportEvent(EVMSG_SERVICE_STOPPING, GetProgramName(m_csExeName));
    DEBUG_TRACE_MSG("The Ovrin-Server has received a stop command.");
    DWORD dwLastState = GetReportedServiceState();
    size_t cProcesses = m_paProcesses.size();
    for (size_t n = 0; n < cProcesses; n++) {
        size_t i = m_fLifoShutdown ? cProcesses - 1 - n : n;
        CWatchedProcess* pProcess = m_paProcesses[i];
        StopCommand(pProcess, FALSE);
        ReportServiceStatus(dwLastState, 0, (DWORD)i, (DWORD)pProcess->m_nQuitDelay * 1000);
    }
    for (CConnection& conn : m_aConnections)
        conn.fClosing = TRUE;
    CloseFinishedConnections();
}
