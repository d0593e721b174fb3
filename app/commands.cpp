// The server's side of the control protocol: connections, the command
// handler, status lines and the broadcasts to every client. Everything here
// runs on the supervision thread.
#include "common/assertex.h"
#include "common/filestuf.h"
#include "control.h"
#include "ovrin.h"

namespace {

// A client has this long to take each message; one that does not read its
// pipe would otherwise stop supervision at its first broadcast.
const DWORD s_dwClientWriteTimeout = 3000;

std::string WithoutExeSuffix(const std::string& csName)
{
    return StrEndsWithI(csName, ".exe") ? csName.substr(0, csName.size() - 4) : csName;
}

}  // namespace

std::string CSupervisorApp::FormatStatusLine(CWatchedProcess* pProcess)
{
    std::string csName = pProcess->GetExeName();
    std::string csVersion = pProcess->GetVersionText();
    if (!csVersion.empty())
        csName += "(" + csVersion + ")";
    if (csName.size() < 25)
        csName.append(25 - csName.size(), ' ');
    return "Process " + csName + pProcess->GetStateText() + " " + pProcess->GetTimeText() + ".";
}

BOOL CSupervisorApp::AddListeningConnection()
{
    CConnection conn;
    conn.pInstance = new CPipeInstance;
    conn.pReadOp = new CIoOperation(conn.pInstance);
    conn.pWriteOp = new CIoOperation(conn.pInstance);
    conn.pDataBlock = new CDataBlock;
    conn.fClosing = FALSE;
    BOOL fOk = conn.pInstance->OpenAsync(&m_pipe);
    m_aConnections.push_back(conn);
    return fOk;
}

int CSupervisorApp::FindConnectionByReadOp(const CWaitObject* pw) const
{
    for (size_t i = 0; i + 1 < m_aConnections.size(); i++) {
        if (m_aConnections[i].pReadOp == pw)
            return (int)i;
    }
    return -1;
}

void CSupervisorApp::CloseFinishedConnections()
{
    for (size_t i = 0; i < m_aConnections.size();) {
        CConnection& conn = m_aConnections[i];
        if (!conn.fClosing) {
            i++;
            continue;
        }
        // Closing the handle aborts the pending read (and a write that a
        // client never took); both operations must be finished before their
        // OVERLAPPED structures go away.
        conn.pInstance->CloseHandleNow();
        if (!conn.pReadOp->IsComplete())
            conn.pReadOp->GetResult();
        if (!conn.pWriteOp->IsComplete())
            conn.pWriteOp->GetResult();
        conn.pInstance->Close();
        delete conn.pReadOp;
        delete conn.pWriteOp;
        delete conn.pDataBlock;
        delete conn.pInstance;
        m_aConnections.erase(m_aConnections.begin() + (ptrdiff_t)i);
    }
}

void CSupervisorApp::SendToClients(CControlMessage& msg, int iOnly)
{
    CDataBlock block;
    if (!msg.Serialize(block))
        return;
    // Every write is started before any is waited for. Under Wine a write
    // ends only when its client has taken the message (about 0.2 ms each,
    // measured with ovrbench parts), and waiting for each client before
    // writing to the next made a status with 1000 processes take 22 s to
    // reach 100 clients (ovrbench scale). The bound holds for the whole
    // broadcast, so clients that do not read hold it up once, not each.
    std::vector<size_t> aiPending;
    // The last entry waits for the next client and is left out.
    for (size_t i = 0; i + 1 < m_aConnections.size(); i++) {
        CConnection& conn = m_aConnections[i];
        if (conn.fClosing || (iOnly >= 0 && i != (size_t)iOnly))
            continue;
        if (!conn.pWriteOp->WriteMessage(block.GetData(), block.GetLength()) && ::GetLastError() == ERROR_IO_PENDING)
            aiPending.push_back(i);
    }
    const DWORD dwStart = ::GetTickCount();
    for (size_t i : aiPending) {
        CConnection& conn = m_aConnections[i];
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        const DWORD dwLeft = dwElapsed < s_dwClientWriteTimeout ? s_dwClientWriteTimeout - dwElapsed : 0;
        if (!conn.pWriteOp->WaitForResult(dwLeft) && ::GetLastError() == ERROR_TIMEOUT) {
            DEBUG_TRACE_MSG("A client did not take a message within " << s_dwClientWriteTimeout
                                                                      << " ms. Closing the connection.");
            // The write reads from the block, which goes when this returns.
            conn.pWriteOp->Cancel();
            conn.fClosing = TRUE;
        }
    }
}

BOOL CSupervisorApp::HasClients() const
{
    // The last entry waits for the next client.
    for (size_t i = 0; i + 1 < m_aConnections.size(); i++) {
        if (!m_aConnections[i].fClosing)
            return TRUE;
    }
    return FALSE;
}

void CSupervisorApp::Broadcast(const std::string& csText)
{
    CControlMessage msg;
    msg.m_dwKind = MSG_TEXT;
    msg.m_csText = csText;
    SendToClients(msg);
    DEBUG_TRACE_MSG(" " << csText);
}

void CSupervisorApp::BroadcastRecord(CWatchedProcess* pProcess)
{
    if (pProcess->IsExternalTemplate() || pProcess->GetState() == PS_NOT_INITIALIZED)
        return;
    CControlMessage msg;
    msg.m_dwKind = MSG_PROCESS_RECORD;
    msg.m_csName = pProcess->m_csTitle;
    msg.m_csFilename = pProcess->GetExeName();
    msg.m_nStatus = pProcess->GetWireStatus();
    // The version text is the costly part of a record; without a client
    // the record goes nowhere, so none is read.
    if (HasClients()) {
        msg.m_csVersion = pProcess->GetVersionText();
        SendToClients(msg);
    }
    DEBUG_TRACE_MSG(msg.m_csName << ",Filename: " << msg.m_csFilename << ",Version: " << msg.m_csVersion
                                 << ",Status: " << msg.m_nStatus);
}

void CSupervisorApp::SendDetail(int iConnection, CWatchedProcess* pProcess)
{
    CProcessDetail detail;
    detail.m_dwProcessId = pProcess->m_processinfo.dwProcessId;
    detail.m_nRestarts = pProcess->m_nStartsSeen > 1 ? pProcess->m_nStartsSeen - 1 : 0;
    detail.m_fHasExitCode = pProcess->m_fHasLastExitCode;
    detail.m_dwExitCode = pProcess->m_dwLastExitCode;
    // A process killed by a stop is not seen ending by the loop.
    HANDLE hProcess = pProcess->m_processinfo.hProcess;
    if (hProcess != NULL && ::WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0)
        detail.m_fHasExitCode = ::GetExitCodeProcess(hProcess, &detail.m_dwExitCode);
    const CMilliTime mtNow = CMilliTime::GetCurrentTime();
    if (pProcess->GetState() == PS_RUNNING && pProcess->m_mtStarted.IsValid())
        detail.m_nSecondsUp = (mtNow - pProcess->m_mtStarted).GetSeconds();
    else if (pProcess->m_mtEnded.IsValid())
        detail.m_nSecondsSinceEnd = (mtNow - pProcess->m_mtEnded).GetSeconds();
    std::string csState = pProcess->GetStateText();
    detail.m_csState = csState.substr(0, csState.find_last_not_of(' ') + 1);
    detail.m_csTime = pProcess->GetTimeText();
    CControlMessage msg;
    msg.m_dwKind = MSG_PROCESS_DETAIL;
    msg.m_csName = pProcess->GetExeName();
    msg.m_nStatus = pProcess->GetWireStatus();
    msg.m_csFilename = FormatStatusLine(pProcess);
    msg.m_csVersion = pProcess->GetVersionText();
    msg.m_csText = detail.Format();
    SendToClients(msg, iConnection);
}

BOOL CSupervisorApp::HandleCommand(int iConnection)
{
    CConnection& conn = m_aConnections[(size_t)iConnection];
    if (!conn.pReadOp->GetResult())
        return FALSE;
    CControlMessage msg;
    if (!msg.Deserialize(*conn.pDataBlock)) {
        // Anyone may open the pipe: a record that does not parse is never acted on.
        DEBUG_TRACE_MSG("A malformed message arrived from the ovrin-client. Closing the connection.");
        conn.fClosing = TRUE;
        return TRUE;
    }
    DEBUG_TRACE_MSG("A message arrived from the ovrin-client: " << (unsigned long)msg.m_dwKind);
    switch (msg.m_dwKind) {
    case MSG_STOP:
    case MSG_START:
    case MSG_TERMINATE:
        CommandOnNamedProcesses(msg.m_dwKind, msg.m_csName);
        break;
    case MSG_STATUS:
        Broadcast("Status of all processes:");
        for (size_t i = 0; i < m_paProcesses.size(); i++)
            Broadcast(FormatStatusLine(m_paProcesses[i]));
        break;
    case MSG_REPORT_ALL:
        for (size_t i = 0; i < m_paProcesses.size(); i++)
            BroadcastRecord(m_paProcesses[i]);
        break;
    case MSG_REPORT_DETAILS:
        for (size_t i = 0; i < m_paProcesses.size(); i++)
            SendDetail(iConnection, m_paProcesses[i]);
        break;
    case MSG_END_OF_REPLIES: {
        // Commands are handled one at a time, so every reply to this
        // client's earlier commands has gone out before this answer.
        CControlMessage msgEnd;
        msgEnd.m_dwKind = MSG_END_OF_REPLIES;
        SendToClients(msgEnd, iConnection);
        break;
    }
    default:
        DEBUG_FAILURE_MSG("Unrecognized command received from ovrin-client: " << (unsigned long)msg.m_dwKind);
        break;
    }
    // Closing is left to the loop, so the entry still stands at its index.
    CConnection& connAfter = m_aConnections[(size_t)iConnection];
    if (!connAfter.fClosing)
        connAfter.pReadOp->ReadMessage(connAfter.pDataBlock);
    return TRUE;
}

void CSupervisorApp::CommandOnNamedProcesses(DWORD dwKind, const std::string& csRequested)
{
    std::string csName = WithoutExeSuffix(csRequested);
    BOOL fAll = StrIEqual(csName, "all");
    // A SYNC start removes its record while the list is walked.
    CWatchedProcessArray apSnapshot = m_paProcesses;
    BOOL fAddressed = FALSE;
    for (CWatchedProcess* pProcess : apSnapshot) {
        if (FindProcessIndex(pProcess) < 0)
            continue;
        if (!fAll && !StrIEqual(WithoutExeSuffix(pProcess->GetExeName()), csName))
            continue;
        fAddressed = TRUE;
        if (dwKind == MSG_STOP)
            StopCommand(pProcess, TRUE);
        else if (dwKind == MSG_START)
            StartCommand(pProcess);
        else
            TerminateCommand(pProcess);
    }
    if (!fAddressed)
        Broadcast(csName + " is not a valid process name.");
    RemoveEndedExternalCopies();
}

void CSupervisorApp::StopCommand(CWatchedProcess* pProcess, BOOL fOperator)
{
    std::string csName = pProcess->GetExeName();
    Broadcast("Stopping process " + csName);
    // A line waiting out its restart delay or start retry stays down until
    // the operator starts it again.
    if (fOperator && !pProcess->m_fNoStop && pProcess->CancelRestart()) {
        pProcess->m_fStopRequested = 1;
        pProcess->SetState(PS_STOPPED);
        Broadcast(csName + " Stopped.");
    } else if (pProcess->Stop()) {
        pProcess->m_capture.WaitForDrain(c_dwDrainTimeout);
        Broadcast(csName + " Stopped.");
    } else {
        Broadcast(csName + " not stopped (" + pProcess->GetStateText() + ")");
    }
    BroadcastRecord(pProcess);
}

void CSupervisorApp::TerminateCommand(CWatchedProcess* pProcess)
{
    std::string csName = pProcess->GetExeName();
    Broadcast("Terminating process " + csName);
    pProcess->Kill();
    HANDLE hProcess = pProcess->m_processinfo.hProcess;
    if (hProcess != NULL && ::WaitForSingleObject(hProcess, 10000) == WAIT_TIMEOUT)
        Broadcast("Timed-out waiting for " + csName + " to terminate.");
}

void CSupervisorApp::StartCommand(CWatchedProcess* pProcess)
{
    std::string csName = pProcess->GetExeName();
    HANDLE hProcess = pProcess->m_processinfo.hProcess;
    if (hProcess != NULL && ::WaitForSingleObject(hProcess, 0) == WAIT_TIMEOUT) {
        if (pProcess->GetState() == PS_RUNNING)
            Broadcast(csName + " is already running so starting it is not permitted.");
        else
            Broadcast(csName + " is already scheduled to restart.");
        return;
    }
    if (pProcess->m_fNoStart) {
        Broadcast(csName + " is started outside the supervisor (NOSTART); it is watched while it runs.");
        return;
    }
    pProcess->CloseHandles();
    pProcess->ResetRestartCount();
    StartProcess(pProcess);
}
