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
    AddListeningConnection();

    CAlarm alarmStartup;
    CAlarm alarmMonitor;
    alarmStartup.SetAfter(s_mtsFirstStep);
    for (;;) {
        CWaitObjectArray apWaitObjects;
        BuildWaitArray(alarmStartup, alarmMonitor, apWaitObjects);
        CWaitObject* pw = WaitForWaitObjects(FALSE, apWaitObjects, INFINITE);
        if (pw == &m_evQuit) {
            Shutdown();
            break;
        }
        if (pw == NULL) {
            // A failed wait has been logged; do not spin on it.
            ::Sleep(100);
        } else if (pw == &alarmStartup) {
            StartupStep(alarmStartup, alarmMonitor);
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
                HandleProcessEvent(static_cast<CWatchedProcess*>(pw));
            }
        }
        CloseFinishedConnections();
    }
}

void CSupervisorApp::BuildWaitArray(CAlarm& alarmStartup, CAlarm& alarmMonitor, CWaitObjectArray& apWaitObjects)
{
    // Process events come before client traffic, the quit event last. With
    // every record gone (all SYNC lines finished) the loop goes on without
    // them, serving clients and its quit event.
    CChainable* pTail = NULL;
    if (!m_paProcesses.empty())
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
                               &alarmMonitor, &m_evQuit};
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
    for (size_t i = 0; i < m_paProcesses.size(); i++) {
        ReportServiceStatus(SERVICE_START_PENDING, 0, (DWORD)i, 1000);
        CWatchedProcess* pProcess = m_paProcesses[i];
        if (pProcess->m_nState != PS_NOT_INITIALIZED)
            continue;
        pProcess->m_nState = PS_NOT_CREATED;
        StartProcess(pProcess);
        ReportServiceStatus(SERVICE_START_PENDING, 0, (DWORD)i, 1000);
        MonitorExternalProcesses();
        alarmStartup.SetAfter(s_mtsStepPause);
        return;
    }
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
        StopCommand(pProcess);
        ReportServiceStatus(dwLastState, 0, (DWORD)i, (DWORD)pProcess->m_nQuitDelay * 1000);
    }
    for (CConnection& conn : m_aConnections)
        conn.fClosing = TRUE;
    CloseFinishedConnections();
}
