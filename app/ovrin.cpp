// Supervisor application: run modes, usage, control events and the order
// in which everything ends.
#include "ovrin.h"

#include <algorithm>
#include <iostream>

#include "common/assertex.h"
#include "exitcode.h"
#include "common/filestuf.h"

namespace {

// The system ends a process about 5 s after its console's close event; the
// rest is the margin of the exit.
const DWORD s_dwCloseBudgetMs = 4000;

// The pre-shutdown time-out: what the stops take one after another, plus
// the margin of the loop's reports and the process's exit. Never less than
// the system's least (10 s on current systems), and never more than 3
// minutes: the system goes on with its shutdown after that whatever a
// service asks for.
const DWORD s_dwPreshutdownMarginMs = 5000;
const DWORD s_dwPreshutdownMinMs = 10000;
const DWORD s_dwPreshutdownMaxMs = 180000;

}  // namespace

void CServerThread::Run()
{
    CSupervisorApp* pApp = CSupervisorApp::GetSupervisor();
    if (pApp != NULL)
        pApp->RunServer();
}

void CClientThread::Run()
{
    CSupervisorApp* pApp = CSupervisorApp::GetSupervisor();
    if (pApp != NULL)
        pApp->RunClient();
}

CSupervisorApp::CSupervisorApp()
    : m_fClientMode(FALSE),
      m_evQuit(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED),
      m_census(TRUE),
      m_fKeepCensus(FALSE),
      m_fAllowClose(FALSE),
      m_fLifoShutdown(FALSE),
      m_fKillTreeAll(FALSE),
      m_fSecurePipe(FALSE),
      m_nStopTimeoutAll(-1),
      m_evPipeReady(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED),
      m_fPipeOwned(FALSE),
      m_dwShutdownBudget(INFINITE),
      m_evBudget(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED),
      m_evReload(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED),
      m_fStartupDone(FALSE),
      m_nMetricsChangesSeen(0),
      m_fAnyChecks(FALSE),
      m_fReloadPending(FALSE),
      m_fShuttingDown(FALSE),
      m_fServerDone(FALSE),
      m_ullShutdownStartMs(0),
      m_dwStopCheckpoint(0),
      m_dwStartCheckpoint(0),
      m_dwStartHolds(0)
{
    m_thServer.Start();
    m_thClient.Start();
}

CSupervisorApp::~CSupervisorApp()
{
    m_paProcesses.clear();
    m_evQuit.Set();
    StopClientThreads();
}

namespace {

BOOL IsRunning(CThread& thread)
{
    DWORD dwExitCode = 0;
    return thread.m_hHandle != NULL && ::GetExitCodeThread(thread.m_hHandle, &dwExitCode) &&
           dwExitCode == STILL_ACTIVE;
}

}  // namespace

void CSupervisorApp::StopClientThreads()
{
    // Killing the client thread could leave a lock held by a dead thread,
    // and the reader works on the client's pipe instance, which lives on
    // the client's stack: the reader ends first, then the client's console
    // read is cancelled until the client sees the quit event. A console
    // read that cannot be cancelled is left to the end of the process. A
    // thread that never ran (the client of a service) ends without its body.
    m_thStatusReader.SkipIfNeverResumed();
    m_thClient.SkipIfNeverResumed();
    if (IsRunning(m_thStatusReader)) {
        m_thStatusReader.m_evStop.Set();
        ::WaitForSingleObject(m_thStatusReader.m_hHandle, 2000);
    }
    const DWORD dwStart = ::GetTickCount();
    while (IsRunning(m_thClient) && ::GetTickCount() - dwStart < 2000) {
        ::CancelSynchronousIo(m_thClient.m_hHandle);
        ::WaitForSingleObject(m_thClient.m_hHandle, 50);
    }
    for (CThread* pThread : {(CThread*)&m_thStatusReader, (CThread*)&m_thClient}) {
        if (pThread->m_hHandle != NULL && !IsRunning(*pThread))
            pThread->WaitForEnd();
    }
}

BOOL CSupervisorApp::ProcessServiceSwitches()
{
    // -i writes to the debug log what the control manager refused of its
    // settings (the recovery actions under Wine): a listener started
    // before it sees that, as it sees a supervisor's messages. Looked for
    // on a copy of the flags: the frame takes the switches itself.
    CDWordArray dwaUsed = m_dwaArgUsed;
    if (FindSwitch(m_csaArgs, dwaUsed, "i"))
        ConnectToDebugger(NULL, "debugger");
    return CServiceApp::ProcessServiceSwitches();
}

namespace {

// The options Ovrin.exe takes (besides -i, -r and /NT_SERVICE, which the
// service frame takes before these are read).
BOOL IsKnownOption(const std::string& csArg)
{
    const std::string csName = StrLower(csArg.substr(1));
    return csName == "c" || csName == "d" || csName == "?" || csName == "h" || csName == "i" || csName == "r" ||
           csName == "nt_service";
}

}  // namespace

BOOL CSupervisorApp::ParseArguments()
{
    m_fClientMode = FALSE;
    if (!CConsoleApp::ParseArguments())
        return FALSE;
    if (CountUnusedArguments() == 0)
        return TRUE;
    if (FindOption(m_csaArgs, m_dwaArgUsed, "c", m_csComputer) && CountUnusedArguments() == 0) {
        m_fClientMode = TRUE;
        if (m_csComputer.empty())
            m_csComputer = ".";
        return TRUE;
    }
    // Abandoned as a client: the console's own client talks to this computer.
    m_csComputer.clear();
    if (FindOption(m_csaArgs, m_dwaArgUsed, "d", m_csDefinitionFile) && CountUnusedArguments() == 0)
        return TRUE;
    // The first argument not taken is named before the usage (on standard
    // error, which the usage's own lines to standard output do not mix
    // with). A value of -d or -c that starts with "/" or "-" reads as an
    // option: "-d /srv/x.inf" names "/srv/x.inf".
    std::string csArg;
    if (NextUnusedArgument(m_csaArgs, m_dwaArgUsed, csArg)) {
        const BOOL fOption = csArg.size() >= 2 && (csArg[0] == '-' || csArg[0] == '/');
        if (!fOption)
            std::cerr << "Unexpected argument: " << csArg << std::endl;
        else if (IsKnownOption(csArg))
            std::cerr << "Unexpected option: " << csArg << std::endl;
        else
            std::cerr << "Unknown option: " << csArg << std::endl;
    }
    ShowUsage();
    m_nExitCode = EXIT_CODE_USAGE;
    return FALSE;
}

void CSupervisorApp::ShowUsage()
{
    std::string csName = StrLower(m_csExeName);
    std::string csBase = StripExtension(csName);
    std::ostream& os = std::cout;
    os << "Tesk Ovrin Utility" << std::endl
       << std::endl
       << "The Ovrin utility starts processes and monitors them until they end. It" << std::endl
       << "is a client-server type application where the clients can query the status" << std::endl
       << "and control the processes." << std::endl
       << std::endl
       << "Usage: " << csName << std::endl
       << "    or " << csName << " -c [computer] (to run as client)" << std::endl
       << "    or " << csName << " -i (to install as an NT service)" << std::endl
       << "    or " << csName << " -r (to remove the NT service)" << std::endl
       << "    or " << csName << " -d definition_file (to specify a definition file)" << std::endl
       << std::endl
       << "Use -c to run as client to another Ovrin program running on the specified" << std::endl
       << "  computer. If no computer is specified, the local computer is assumed." << std::endl
       << "If -d is not specified, the default definition file of " << csBase << ".inf is used." << std::endl;
    CServiceApp::ShowUsage();
    os << std::endl
       << "The first time that you run ovrin (with no command line options), a dummy" << std::endl
       << "definition file will be created that you can customize to the needs of" << std::endl
       << "your application." << std::endl
       << std::endl;
}

void CSupervisorApp::Main()
{
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "This is Main().");
    ConnectToDebugger(NULL, "debugger");
    if (m_fClientMode) {
        m_thClient.Resume();
        m_thClient.Wait(INFINITE);
        std::cout << "Ending." << std::endl;
        return;
    }
    m_thServer.Resume();
    if (!IsService()) {
        ::SetConsoleCtrlHandler(ControlHandlerRoutine, TRUE);
        m_thClient.Resume();
        const HANDLE ahEnds[2] = {m_thClient.m_hHandle, m_thServer.m_hHandle};
        if (::WaitForMultipleObjects(2, ahEnds, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            // The server ended first (the QUIT rule). The client may sit in
            // a read of a standard input that stays open, which not every
            // system lets another thread cancel: the process ends anyway.
            StopClientThreads();
            if (IsRunning(m_thClient)) {
                std::cout << "Ending." << std::endl;
                DEBUG_APP_MESSAGE(DEBUG_TRACE, "The client thread did not end; ending the process.");
                ::ExitProcess((UINT)m_nExitCode);
            }
        }
        // "Ending." once the lines have been stopped: the process ends right after it.
        m_evQuit.Set();
        m_thServer.Wait(INFINITE);
        std::cout << "Ending." << std::endl;
        return;
    }
    m_thServer.Wait(INFINITE);
}

void CSupervisorApp::RequestShutdown()
{
    if (IsService())
        CServiceApp::OnStop();
    m_evQuit.Set();
}

BOOL CSupervisorApp::OnControlEvent(DWORD dwCtrlType)
{
    switch (dwCtrlType) {
    case CTRL_C_EVENT:
        DEBUG_APP_MESSAGE(DEBUG_TRACE, "The process has received a ctrl-c event.");
        break;
    case CTRL_BREAK_EVENT:
        DEBUG_APP_MESSAGE(DEBUG_TRACE, "The process has received a ctrl-break event.");
        break;
    case CTRL_CLOSE_EVENT:
        DEBUG_APP_MESSAGE(DEBUG_TRACE, "The process has received a close event.");
        if (IsService())
            return TRUE;
        // The close cannot be refused: the system ends this process about
        // 5 s after the event whatever the handler answers. Left alone the
        // processes would run on unwatched, so they are stopped in time.
        BeginBoundedStop(s_dwCloseBudgetMs);
        if (::WaitForSingleObject(m_thServer.m_hHandle, s_dwCloseBudgetMs + 500) == WAIT_TIMEOUT)
            DEBUG_ERROR_MSG("The shutdown did not end in time.");
        ::ExitProcess(0);
        return TRUE;
    case CTRL_LOGOFF_EVENT:
        DEBUG_APP_MESSAGE(DEBUG_TRACE, "The process has received a logoff notification.");
        if (IsService()) {
            DEBUG_APP_MESSAGE(DEBUG_TRACE, "Ignoring logoff notification because running as a service.");
            return TRUE;
        }
        break;
    case CTRL_SHUTDOWN_EVENT:
        DEBUG_APP_MESSAGE(DEBUG_TRACE, "The process has received a shutdown notification.");
        break;
    default:
        break;
    }
    // A logoff or a shutdown ends a console process about as soon as a
    // close does: the stops get the same bounded time.
    if (!IsService() && (dwCtrlType == CTRL_LOGOFF_EVENT || dwCtrlType == CTRL_SHUTDOWN_EVENT))
        SetShutdownBudget(s_dwCloseBudgetMs);
    StopPath();
    return TRUE;
}

void CSupervisorApp::SetShutdownBudget(DWORD dwBudgetMs)
{
    m_dwShutdownBudget = dwBudgetMs;
    m_evBudget.Set();
}

void CSupervisorApp::BeginBoundedStop(DWORD dwBudgetMs)
{
    SetShutdownBudget(dwBudgetMs);
    std::cout << "The console is closing: stopping every process." << std::endl;
    OnStop();
}

DWORD CSupervisorApp::GetPreshutdownTimeout()
{
    ULONGLONG ullMs = s_dwPreshutdownMarginMs;
    for (const auto& pProcess : m_paProcesses) {
        if (!pProcess->m_fNoStop)
            ullMs += pProcess->GetStopTimeoutMs();
    }
    return (DWORD)std::min<ULONGLONG>(std::max<ULONGLONG>(ullMs, s_dwPreshutdownMinMs), s_dwPreshutdownMaxMs);
}

void CSupervisorApp::OnPreshutdown()
{
    // The time the system was last told, not a new sum: the process list
    // belongs to the supervision thread, and the system waits that long.
    DWORD dwBudgetMs = GetKeptPreshutdownTimeout();
    if (dwBudgetMs == 0)
        dwBudgetMs = s_dwPreshutdownMinMs;
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "The service has received a pre-shutdown notification.");
    SetShutdownBudget(dwBudgetMs);
    // As for a stop: the handler returns at once (the system waits for the
    // stop pending reports, not for the handler, and a handler held for
    // minutes would hold every other control), and the service's main
    // thread reports the end once the supervision thread has ended.
    OnStop();
}

void CSupervisorApp::OnParamChange()
{
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "The service has received a parameter change.");
    m_evReload.Set();
}

void CSupervisorApp::StopPath()
{
    OnStop();
    m_thServer.Wait(INFINITE);
    // In the service the process ends here, before the service entry may
    // have reported the end; without this report the control manager would
    // record the service as ended unexpectedly.
    if (IsService())
        ReportServiceStatus(SERVICE_STOPPED, 0, 0, 0);
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "Calling ExitProcess...byebye");
    ::ExitProcess(0);
}

void CSupervisorApp::OnStop()
{
    if (IsService())
        CServiceApp::OnStop();
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "Waiting for threads to end.");
    m_evQuit.Set();
    StopClientThreads();
}
