// The server's control pipe: making sure the name is ours, keeping
// instances listening for clients, and the connections' bookkeeping. All of
// it runs on the supervision thread.
#include <iostream>

#include "common/assertex.h"
#include "exitcode.h"
#include "common/filestuf.h"
#include "control.h"
#include "eventlog.h"
#include "ovrin.h"

namespace {

// Instances kept waiting for clients: a burst of clients connects at once
// instead of finding the pipe busy while the loop makes the next instance.
const size_t s_cListening = 4;

// After an instance could not be made, listening is tried again this much
// later: the cause (another holder of the name, no resources) rarely goes
// away at once, and trying on every pass would spin.
const CMilliTimeSpan s_mtsListenRetry(0, 0, 0, 1, 0);

const DWORD s_cbPipeBuffer = 0x10000;

}  // namespace

BOOL CSupervisorApp::CreateControlPipe()
{
    m_pipe.SetServer(GetControlPipeName(m_csExeName));
    m_pipe.SetMaxMessageSize(CONTROL_MAX_MESSAGE);
    // With buffers of size 0 Wine ends a write only when the client has read
    // it, so every broadcast line cost a round trip to the slowest client's
    // reader thread (0.25 ms and more under load; a status of 1000 lines
    // took a second). Buffered, a write ends at once as it does on Windows,
    // where size 0 buffers small messages anyway; a client that reads
    // nothing still holds up a write once the buffer is full, and the write
    // bound then closes it.
    m_pipe.m_dwOutBufferSize = s_cbPipeBuffer;
    m_pipe.m_dwInBufferSize = s_cbPipeBuffer;
    BOOL fSecured = TRUE;
    if (m_fSecurePipe)
        fSecured = m_pipe.SetPrivateDacl();
    else
        m_pipe.SetNullDacl();
    if (!fSecured) {
        const std::string csLine = "The access list of " + m_pipe.GetFullName() + " could not be built. Error " +
                                   LastErrorText();
        DEBUG_ERROR_MSG(csLine);
        std::cout << csLine << std::endl;
    }
    // The first-instance flag alone does not do: some platforms ignore it,
    // so a name that anyone serves already is refused before it is made.
    BOOL fServed = CPipe::IsServed(m_pipe.GetFullName());
    BOOL fOk = fSecured && !fServed;
    if (fOk) {
        const DWORD dwOpenMode = m_pipe.m_dwOpenMode;
        m_pipe.m_dwOpenMode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
        std::unique_ptr<CPipeConnection> pFirst(new CPipeConnection);
        fOk = pFirst->Listen(&m_pipe);
        m_pipe.m_dwOpenMode = dwOpenMode;
        if (fOk)
            m_apConnections.push_back(std::move(pFirst));
    }
    if (!fOk && fSecured) {
        const std::string csLine =
            "Cannot serve the pipe " + m_pipe.GetFullName() + ": another program serves it already.";
        DEBUG_ERROR_MSG(csLine);
        if (IsService()) {
            const std::string csProgram = GetProgramName(m_csExeName);
            const std::string csPipe = m_pipe.GetFullName();
            const char* apszStrings[] = {csProgram.c_str(), csPipe.c_str()};
            ReportEvent(EVMSG_PIPE_SERVED, 2, apszStrings);
        } else {
            std::cout << csLine << std::endl;
        }
    }
    if (!fOk) {
        m_nExitCode = EXIT_CODE_PIPE_SERVED;
        m_evPipeReady.Set();
        return FALSE;
    }
    TopUpListening();
    m_fPipeOwned = TRUE;
    m_evPipeReady.Set();
    return TRUE;
}

void CSupervisorApp::TopUpListening()
{
    if (m_alarmListen.IsArmed())
        return;
    size_t cListening = 0;
    for (const auto& pConnection : m_apConnections)
        cListening += (!pConnection->IsServing() && !pConnection->m_fClosing) ? 1 : 0;
    while (cListening < s_cListening) {
        std::unique_ptr<CPipeConnection> pConnection(new CPipeConnection);
        if (!pConnection->Listen(&m_pipe)) {
            DEBUG_ERROR_MSG("No instance of " << m_pipe.GetFullName() << " could be made. Error " << LastErrorText()
                                              << ". Trying again later.");
            m_alarmListen.SetAfter(s_mtsListenRetry);
            return;
        }
        m_apConnections.push_back(std::move(pConnection));
        cListening++;
    }
}

void CSupervisorApp::OnConnectionSignalled(size_t iConnection, const CWaitObject* pw)
{
    CPipeConnection& conn = *m_apConnections[iConnection];
    if (conn.m_fClosing)
        return;
    // A write that ended is collected with the others at the end of the pass.
    if (pw == &conn.m_opWrite)
        return;
    if (conn.IsServing()) {
        if (!HandleCommand(iConnection)) {
            DEBUG_TRACE_MSG("Error " << LastErrorText()
                                     << " occurred reading from the ovrin-client. Closing the connection.");
            conn.m_fClosing = TRUE;
        }
        return;
    }
    // A listening instance: the wait's dispatch has finished its connect.
    if (conn.IsConnected()) {
        DEBUG_TRACE_MSG("A client has connected.");
        conn.StartRead();
    } else {
        // Closed and dropped; a new one comes after a pause, not at once,
        // so that a lasting cause does not make the loop spin.
        DEBUG_ERROR_MSG("A listening instance of " << m_pipe.GetFullName() << " failed. Error "
                                                   << ErrorText(conn.m_instance.m_dwConnectError));
        conn.m_fClosing = TRUE;
        m_alarmListen.SetAfter(s_mtsListenRetry);
    }
    TopUpListening();
}

void CSupervisorApp::CloseFinishedConnections()
{
    for (size_t i = 0; i < m_apConnections.size();) {
        if (m_apConnections[i]->m_fClosing) {
            ForgetConnection(m_apConnections[i].get());
            m_apConnections.erase(m_apConnections.begin() + (ptrdiff_t)i);
        }
        else
            i++;
    }
}
