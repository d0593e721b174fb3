// The server's side of the control protocol: connections, the command
// handler, status lines and the broadcasts to every client. Everything here
// runs on the supervision thread.
#include "common/assertex.h"
#include "common/filestuf.h"
#include "control.h"
#include "exeinfo.h"
#include "ovrin.h"

namespace {

// How often writes that wait for their clients are looked at.
const CMilliTimeSpan s_mtsWriteCheck(0, 0, 0, 1, 0);

std::string WithoutExeSuffix(const std::string& csName)
{
    return StrEndsWithI(csName, ".exe") ? csName.substr(0, csName.size() - 4) : csName;
}

}  // namespace

std::string CSupervisorApp::FormatStatusLine(CWatchedProcess* pProcess)
{
    std::string csName = pProcess->GetName();
    std::string csVersion = pProcess->GetVersionText();
    if (!csVersion.empty())
        csName += "(" + csVersion + ")";
    // A name too long for the column still keeps a blank before the state.
    csName.append(csName.size() < 25 ? 25 - csName.size() : 1, ' ');
    return "Process " + csName + pProcess->GetStateText() + " " + pProcess->GetTimeText() + ".";
}

void CSupervisorApp::SendToClients(CControlMessage& msg, int iOnly)
{
    CDataBlock block;
    if (!msg.Serialize(block))
        return;
    // Queued, never waited for: under Wine a write ends only when its client
    // has taken the message, and a client that does not read would hold the
    // loop. One copy serves every queue; CheckClientWrites closes the
    // clients that take nothing for too long.
    CSharedMessage pMessage(new std::string((const char*)block.GetData(), block.GetLength()));
    for (size_t i = 0; i < m_apConnections.size(); i++) {
        CPipeConnection& conn = *m_apConnections[i];
        if (!conn.IsActive() || (iOnly >= 0 && i != (size_t)iOnly))
            continue;
        if (!conn.QueueMessage(pMessage)) {
            DEBUG_TRACE_MSG("A client could not be sent a message. Error " << LastErrorText()
                                                                            << ". Closing the connection.");
            conn.m_fClosing = TRUE;
        }
    }
    // Nothing waits here: the loop starts each client's next write as soon
    // as the one before has been taken (CheckClientWrites), and it never
    // blocks, so what the clients see keeps its timing without a flush.
    // Waiting here cost every broadcast up to a moment per slow client.
}

void CSupervisorApp::CheckClientWrites(CAlarm& alarmWrites)
{
    BOOL fPending = FALSE;
    for (auto& pConnection : m_apConnections) {
        CPipeConnection& conn = *pConnection;
        // A write that the wait's dispatch collected is complete already;
        // the messages behind it still have to be started here.
        if (!conn.IsActive())
            continue;
        if (!conn.ContinueWrites()) {
            DEBUG_TRACE_MSG("Error " << LastErrorText()
                                     << " occurred writing to the ovrin-client. Closing the connection.");
            conn.m_fClosing = TRUE;
        } else if (!conn.IsWritePending()) {
            continue;
        } else if (conn.GetWriteWait() >= CLIENT_WRITE_TIMEOUT_MS) {
            DEBUG_TRACE_MSG("A client did not take a message within " << CLIENT_WRITE_TIMEOUT_MS
                                                                      << " ms. Closing the connection.");
            conn.m_fClosing = TRUE;
        } else {
            fPending = TRUE;
        }
    }
    if (fPending && !alarmWrites.IsArmed())
        alarmWrites.SetAfter(s_mtsWriteCheck);
}

void CSupervisorApp::FlushClientWrites(DWORD dwBound, BOOL fCloseLate)
{
    // The bound holds for all the clients together. Without fCloseLate a
    // client whose write waited longer than the bound already is left to
    // CheckClientWrites: it costs this wait nothing.
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        BOOL fPending = FALSE;
        for (auto& pConnection : m_apConnections) {
            CPipeConnection& conn = *pConnection;
            if (conn.m_fClosing || !conn.IsWritePending() || (!fCloseLate && conn.GetWriteWait() > dwBound))
                continue;
            const DWORD dwElapsed = ::GetTickCount() - dwStart;
            if (dwElapsed >= dwBound ||
                (!conn.m_opWrite.WaitForResult(dwBound - dwElapsed) && ::GetLastError() == ERROR_TIMEOUT)) {
                conn.m_fClosing = fCloseLate;
                continue;
            }
            if (!conn.ContinueWrites()) {
                conn.m_fClosing = TRUE;
                continue;
            }
            fPending |= conn.IsWritePending();
        }
        if (!fPending || ::GetTickCount() - dwStart >= dwBound)
            return;
    }
}

BOOL CSupervisorApp::HasClients() const
{
    for (const auto& pConnection : m_apConnections) {
        if (pConnection->IsActive())
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
    msg.m_csFilename = pProcess->GetName();
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

CProcessDetail CSupervisorApp::MakeDetail(CWatchedProcess* pProcess)
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
    detail.m_fForcedStop = pProcess->m_fForcedStop;
    detail.m_nForcedStops = pProcess->m_nForcedStops;
    detail.m_llStartTime = pProcess->m_llStartTime;
    // The metrics' name of the line: its NAME where it has one.
    detail.m_csUniqueName = !pProcess->m_csName.empty() ? pProcess->m_csName : pProcess->GetUniqueName();
    detail.m_fExternalCopy = pProcess->m_fExternalCopy;
    detail.m_csExecutable = pProcess->GetExeName();
    detail.m_fAttached = pProcess->m_fAttached;
    detail.m_nHealthy = pProcess->m_checks.m_nHealthy;
    return detail;
}

void CSupervisorApp::SendDetail(int iConnection, CWatchedProcess* pProcess)
{
    CControlMessage msg;
    msg.m_dwKind = MSG_PROCESS_DETAIL;
    msg.m_csName = pProcess->GetName();
    msg.m_nStatus = pProcess->GetWireStatus();
    msg.m_csFilename = FormatStatusLine(pProcess);
    msg.m_csVersion = pProcess->GetVersionText();
    msg.m_csText = MakeDetail(pProcess).Format();
    SendToClients(msg, iConnection);
}

void CSupervisorApp::DescribeSupervisor(CMetricsSource& source)
{
    source.m_csExeName = GetFileName(m_csExeName);
    // The supervisor's own file; read once, it does not change while it runs.
    static std::string s_csVersion;
    static BOOL s_fVersionRead = FALSE;
    if (!s_fVersionRead) {
        char szPath[MAX_PATH];
        const DWORD cch = ::GetModuleFileNameA(NULL, szPath, MAX_PATH);
        if (cch > 0 && cch < MAX_PATH)
            s_csVersion = GetFileVersionText(szPath);
        s_fVersionRead = TRUE;
    }
    source.m_csVersion = s_csVersion;
    for (const auto& pConnection : m_apConnections) {
        if (pConnection->IsActive())
            source.m_nClients++;
    }
}

CMetricsSource CSupervisorApp::MakeMetricsSource()
{
    CMetricsSource source;
    DescribeSupervisor(source);
    for (const auto& pRecord : m_paProcesses) {
        CMetricsProcess process;
        process.m_csExeName = pRecord->GetExeName();
        process.m_detail = MakeDetail(pRecord.get());
        source.m_aProcesses.push_back(process);
    }
    return source;
}

void CSupervisorApp::WriteMetrics()
{
    m_metrics.Write(FormatMetrics({MakeMetricsSource()}));
}

BOOL CSupervisorApp::HandleCommand(size_t iConnection)
{
    CPipeConnection& conn = *m_apConnections[iConnection];
    // Collected without waiting: after dropped tiny messages the read may
    // still (or again) be in flight, and this thread must not wait for it.
    if (!conn.m_opRead.TryGetResult()) {
        const DWORD dwError = ::GetLastError();
        if (dwError == ERROR_IO_PENDING)
            return TRUE;
        if (dwError == ERROR_MESSAGE_EXCEEDS_MAX_SIZE) {
            DEBUG_TRACE_MSG("A message over the size bound arrived from the ovrin-client. Closing the connection.");
            conn.m_fClosing = TRUE;
            return TRUE;
        }
        ::SetLastError(dwError);
        return FALSE;
    }
    CControlMessage msg;
    if (!msg.Deserialize(conn.m_block)) {
        // Anyone may open the pipe: a record that does not parse is never acted on.
        DEBUG_TRACE_MSG("A malformed message arrived from the ovrin-client. Closing the connection.");
        conn.m_fClosing = TRUE;
        return TRUE;
    }
    DEBUG_TRACE_MSG("A message arrived from the ovrin-client: " << (unsigned long)msg.m_dwKind);
    switch (msg.m_dwKind) {
    case MSG_STOP:
    case MSG_START:
    case MSG_TERMINATE:
        CommandOnNamedProcesses(iConnection, msg.m_dwKind, msg.m_csName);
        break;
    case MSG_STATUS:
        Broadcast("Status of all processes:");
        for (size_t i = 0; i < m_paProcesses.size(); i++)
            Broadcast(FormatStatusLine(m_paProcesses[i].get()));
        break;
    case MSG_REPORT_ALL:
        for (size_t i = 0; i < m_paProcesses.size(); i++)
            BroadcastRecord(m_paProcesses[i].get());
        break;
    case MSG_REPORT_DETAILS: {
        CMetricsSource source;
        DescribeSupervisor(source);
        CControlMessage msgSupervisor;
        msgSupervisor.m_dwKind = MSG_SUPERVISOR_DETAIL;
        msgSupervisor.m_csName = source.m_csExeName;
        msgSupervisor.m_csVersion = source.m_csVersion;
        msgSupervisor.m_csText = std::to_string((long)source.m_nClients);
        SendToClients(msgSupervisor, (int)iConnection);
        for (size_t i = 0; i < m_paProcesses.size(); i++)
            SendDetail((int)iConnection, m_paProcesses[i].get());
        break;
    }
    case MSG_RELOAD:
        RequestReload(&conn);
        break;
    case MSG_END_OF_REPLIES:
        // Commands are handled one at a time, so every reply to this
        // client's earlier commands has gone out before this answer, but
        // for its stops: the answer waits until their lines have ended.
        if (IsStopPendingFor(&conn))
            m_apAwaitingEnd.push_back(&conn);
        else
            SendEndOfReplies(iConnection);
        break;
    default:
        DEBUG_FAILURE_MSG("Unrecognized command received from ovrin-client: " << (unsigned long)msg.m_dwKind);
        break;
    }
    // Closing is left to the loop, so the entry still stands at its index
    // (connections are only added meanwhile, at the end).
    CPipeConnection& connAfter = *m_apConnections[iConnection];
    if (!connAfter.m_fClosing)
        connAfter.StartRead();
    return TRUE;
}

void CSupervisorApp::SendEndOfReplies(size_t iConnection)
{
    CControlMessage msgEnd;
    msgEnd.m_dwKind = MSG_END_OF_REPLIES;
    SendToClients(msgEnd, (int)iConnection);
}

CWatchedProcessArray CSupervisorApp::FindNamedProcesses(const std::string& csRequested) const
{
    const std::string csName = WithoutExeSuffix(csRequested);
    const BOOL fAll = StrIEqual(csName, "all");
    CWatchedProcessArray apFound;
    for (const auto& pProcess : m_paProcesses) {
        if (fAll || StrIEqual(WithoutExeSuffix(pProcess->GetName()), csName))
            apFound.push_back(pProcess.get());
    }
    if (!apFound.empty() || fAll)
        return apFound;
    // A line listed with its folder is also found by its program's name,
    // when no other line has that program: a stop never guesses.
    for (const auto& pProcess : m_paProcesses) {
        if (pProcess->m_csName.empty() && StrIEqual(StripExtension(GetFileName(pProcess->GetExeName())), csName))
            apFound.push_back(pProcess.get());
    }
    if (apFound.size() > 1)
        apFound.clear();
    return apFound;
}

void CSupervisorApp::CommandOnNamedProcesses(size_t iConnection, DWORD dwKind, const std::string& csRequested)
{
    // A start may remove records (a UNIQUE test that attaches) while the list is walked.
    CWatchedProcessArray apSnapshot = FindNamedProcesses(csRequested);
    CWatchedProcessArray apToStop;
    BOOL fAddressed = FALSE;
    for (CWatchedProcess* pProcess : apSnapshot) {
        if (FindProcessIndex(pProcess) < 0)
            continue;
        if (dwKind == MSG_STOP)
            apToStop.push_back(pProcess);
        else if (dwKind == MSG_START)
            StartCommand(pProcess);
        else
            TerminateCommand(pProcess);
        fAddressed = TRUE;
    }
    if (!fAddressed)
        Broadcast(WithoutExeSuffix(csRequested) + CONTROL_NOT_VALID_SUFFIX);
    // The lines are stopped one after another; the loop goes on meanwhile.
    if (!apToStop.empty())
        BeginStopSequence(apToStop, STOP_FOR_OPERATOR, m_apConnections[iConnection].get());
    RemoveEndedExternalCopies();
}

void CSupervisorApp::StartCommand(CWatchedProcess* pProcess)
{
    std::string csName = pProcess->GetName();
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
    if (m_fShuttingDown) {
        Broadcast(csName + " is not started: the supervisor is shutting down.");
        return;
    }
    pProcess->CloseHandles();
    pProcess->ResetRestartCount();
    StartProcess(pProcess);
}
