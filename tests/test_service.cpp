// The service frame's rules that need no control manager: the status record,
// the control handler, the image path, /NT_SERVICE typed at a console, the
// pre-shutdown time-out and stop, and the status reports of the supervision
// loop (run here in the test process, where every report is filled but none
// can be sent).
#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/handle.h"
#include "common/notifier.h"
#include "e2e_util.h"
#include "helpers/childpath.h"
#include "record_failures.h"
#include "test_supervisor_app.h"

namespace {


// Puts the application's arguments and run mode back after a test.
class CAppStateGuard
{
public:
    CAppStateGuard()
        : m_app(GetSupervisorForTest()),
          m_csaArgs(m_app.m_csaArgs),
          m_dwaUsed(m_app.m_dwaArgUsed),
          m_fIsService(m_app.m_fIsService)
    {
    }
    ~CAppStateGuard()
    {
        m_app.m_csaArgs = m_csaArgs;
        m_app.m_dwaArgUsed = m_dwaUsed;
        m_app.m_fIsService = m_fIsService;
    }
    void SetArguments(const CStringArray& csaArgs)
    {
        m_app.m_csaArgs = csaArgs;
        m_app.m_dwaArgUsed.assign(csaArgs.size(), 0);
        m_app.m_dwaArgUsed[0] = 1;
    }

private:
    CSupervisorApp& m_app;
    CStringArray m_csaArgs;
    CDWordArray m_dwaUsed;
    int m_fIsService;
};

// A temporary folder with copies of the child program, for a reset
// supervisor whose definition file goes there; both undone at the end.
class CChildFolder
{
public:
    CChildFolder(const char* pszPrefix, std::initializer_list<const char*> apszNames)
        : m_csDir(MakeTempDirectory(pszPrefix))
    {
        ResetSupervisorForTest();
        for (const char* pszName : apszNames) {
            m_acsPaths.push_back(m_csDir + "\\" + pszName);
            m_fCopied = m_fCopied && ::CopyFileA(GetChildProcPath().c_str(), m_acsPaths.back().c_str(), FALSE);
        }
    }
    ~CChildFolder() { ResetSupervisorForTest(); RemoveDirectoryTree(m_csDir); }
    BOOL Define(const std::string& csDefinition)
    {
        GetSupervisorForTest().m_csDefinitionFile = m_csDir + "\\def.inf";
        return m_fCopied && WriteTextFile(GetSupervisorForTest().m_csDefinitionFile, csDefinition);
    }

    std::string m_csDir;
    std::vector<std::string> m_acsPaths;
    BOOL m_fCopied = TRUE;
};

SERVICE_STATUS Reported()
{
    SERVICE_STATUS status;
    CServiceApp::GetReportedServiceStatus(status);
    return status;
}

}  // namespace

TEST(ServiceSwitches, NtServiceAtAConsoleReportsTheDispatcherErrorAndEnds)
{
    CSupervisorApp& app = GetSupervisorForTest();
    CAppStateGuard guard;
    guard.SetArguments({"test_service.exe", "/NT_SERVICE", "-d", "x.inf"});
    CRecordNotifier notifier;
    EXPECT_FALSE(app.ProcessServiceSwitches());
    EXPECT_EQ(app.m_fIsService, 1);
    ASSERT_EQ(notifier.m_aRecords.size(), 1u);
    const CDebugRecord& record = notifier.m_aRecords[0];
    EXPECT_EQ(record.m_nKind, DEBUG_ERROR | DEBUG_SHOW);
    EXPECT_EQ(record.m_csText, "The " + app.m_csExeName +
                                 " service could not start because the Service Control Dispatcher could not be "
                                 "started. Error " +
                                 ErrorText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    // The arguments after the switch are left for the service's own parsing.
    EXPECT_EQ(app.m_dwaArgUsed, (CDWordArray{1, 1, 0, 0}));
}

TEST(ReportServiceStatus, AcceptsStopAndPreshutdownExceptWhilePendingAndMarksServiceSpecificExitCodes)
{
    const DWORD dwBoth = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;
    const struct
    {
        DWORD m_dwState;
        DWORD m_dwAccepted;
    } aCases[] = {{SERVICE_STOPPED, dwBoth},          {SERVICE_START_PENDING, 0},
                  {SERVICE_STOP_PENDING, 0},          {SERVICE_RUNNING, dwBoth},
                  {SERVICE_CONTINUE_PENDING, dwBoth}, {SERVICE_PAUSE_PENDING, dwBoth},
                  {SERVICE_PAUSED, dwBoth}};
    for (const auto& c : aCases) {
        // Without a status handle nothing is sent, but the record is filled.
        EXPECT_FALSE(CServiceApp::ReportServiceStatus(c.m_dwState, 0, 7, 1500));
        SERVICE_STATUS status = Reported();
        EXPECT_EQ(status.dwServiceType, (DWORD)SERVICE_WIN32_OWN_PROCESS);
        EXPECT_EQ(status.dwCurrentState, c.m_dwState);
        EXPECT_EQ(status.dwControlsAccepted, c.m_dwAccepted) << "state " << c.m_dwState;
        EXPECT_EQ(status.dwWin32ExitCode, (DWORD)NO_ERROR);
        EXPECT_EQ(status.dwServiceSpecificExitCode, 0u);
        EXPECT_EQ(status.dwCheckPoint, 7u);
        EXPECT_EQ(status.dwWaitHint, 1500u);
    }
    CServiceApp::ReportServiceStatus(SERVICE_STOPPED, 42, 0, 0);
    SERVICE_STATUS status = Reported();
    EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(status.dwServiceSpecificExitCode, 42u);
    CServiceApp::ReportServiceStatus(SERVICE_STOPPED, 0, 0, 0);
    EXPECT_EQ(Reported().dwWin32ExitCode, (DWORD)NO_ERROR) << "a later report clears the exit code";
}

// Shutdown leaves the service running (pre-shutdown came first where the
// system has it; where it has not, the system ends the process); stop
// reports stop pending and sets the quit event.
TEST(ServiceCtrlHandler, ShutdownLeavesTheServiceRunningStopReportsStopPendingAndSetsTheQuitEvent)
{
    CSupervisorApp& app = GetSupervisorForTest();
    CAppStateGuard guard;
    app.m_fIsService = TRUE;
    CServiceApp::ReportServiceStatus(SERVICE_RUNNING, 0, 0, 0);
    for (DWORD dwControl : {(DWORD)SERVICE_CONTROL_SHUTDOWN, (DWORD)SERVICE_CONTROL_INTERROGATE}) {
        EXPECT_EQ(CServiceApp::ServiceCtrlHandlerEx(dwControl, 0, NULL, NULL), (DWORD)NO_ERROR);
        EXPECT_EQ(Reported().dwCurrentState, (DWORD)SERVICE_RUNNING);
        EXPECT_FALSE(app.m_evQuit.Wait(0));
    }
    CServiceApp::ServiceCtrlHandler(SERVICE_CONTROL_STOP);
    SERVICE_STATUS status = Reported();
    EXPECT_EQ(status.dwCurrentState, (DWORD)SERVICE_STOP_PENDING);
    EXPECT_EQ(status.dwControlsAccepted, 0u);
    EXPECT_EQ(status.dwCheckPoint, 1u);
    EXPECT_EQ(status.dwWaitHint, 500u);
    EXPECT_TRUE(app.m_evQuit.Wait(0));
    // In the service the client thread was never resumed; the stop ends it
    // and closes its handle.
    EXPECT_TRUE(app.m_thClient.m_hHandle == NULL);
    app.m_evQuit.Reset();
}

TEST(PreshutdownTimeout, SumsTheStopTimeoutsOfStoppableLinesPlusAMarginBoundedBothWays)
{
    CSupervisorApp& app = GetSupervisorForTest();
    CChildFolder folder("svcpre", {});
    const struct
    {
        const char* m_pszDefinition;
        DWORD m_dwExpected;
    } aCases[] = {
        // 2 s by default each, 9 s with the margin: raised to the least.
        {"\"a.exe\"\r\n\"b.exe\"\r\n", 10000},
        // A NOSTOP line is never stopped, whatever its STOPTIMEOUT.
        {"\"a.exe\" -stoptimeout 20\r\n\"b.exe\" -stoptimeout 30\r\n\"c.exe\" -NoStop -stoptimeout 100\r\n", 55000},
        // The GLOBAL line's for a line without its own.
        {"-global -stoptimeout 7\r\n\"a.exe\" -stoptimeout 1\r\n\"b.exe\"\r\n", 13000},
        // The system gives no more than 3 minutes.
        {"-global -stoptimeout 100\r\n\"a.exe\"\r\n\"b.exe\"\r\n", 180000},
        {"\"a.exe\" -stoptimeout 86400\r\n", 180000},
    };
    for (const auto& c : aCases) {
        ResetSupervisorForTest();
        ASSERT_TRUE(folder.Define(c.m_pszDefinition));
        ASSERT_TRUE(app.ReadDefinitionFile()) << c.m_pszDefinition;
        EXPECT_EQ(app.GetPreshutdownTimeout(), c.m_dwExpected) << c.m_pszDefinition;
    }
    ResetSupervisorForTest();
    EXPECT_EQ(app.GetPreshutdownTimeout(), 10000u) << "no line yet (the service's start)";
}

TEST(BuildImagePath, QuotesTheModulePathOnlyWhenItHoldsABlank)
{
    EXPECT_EQ(CServiceApp::BuildImagePath("C:\\tools\\Ovrin.exe", {}), "C:\\tools\\Ovrin.exe /NT_SERVICE");
    EXPECT_EQ(CServiceApp::BuildImagePath("C:\\tools\\Ovrin.exe", {"-d", "c:\\x.inf"}),
              "C:\\tools\\Ovrin.exe /NT_SERVICE \"-d\" \"c:\\x.inf\"");
    // Unquoted, the control manager would try C:\Program.exe first.
    EXPECT_EQ(CServiceApp::BuildImagePath("C:\\Program Files\\Ovrin.exe", {"-d", "c:\\my files\\x.inf"}),
              "\"C:\\Program Files\\Ovrin.exe\" /NT_SERVICE \"-d\" \"c:\\my files\\x.inf\"");
}

namespace {

// What the supervision loop reports, seen through the status seam, and an
// event set at its report after the last start: the supervisor now runs.
std::vector<SERVICE_STATUS> g_aReports;
CHandle g_hSupervising;

void RecordReport(const SERVICE_STATUS& status)
{
    g_aReports.push_back(status);
    if (status.dwCurrentState == SERVICE_RUNNING && status.dwWaitHint == 1000)
        ::SetEvent(g_hSupervising.Get());
}

void StartRecordingReports()
{
    g_aReports.clear();
    g_hSupervising.Reset(::CreateEventA(NULL, TRUE, FALSE, NULL));
    CServiceApp::m_pfnStatusObserver = RecordReport;
}

void StopRecordingReports()
{
    CServiceApp::m_pfnStatusObserver = NULL;
    g_hSupervising.Reset();
}

// Plays the control manager's stop once the start-up is complete.
DWORD WINAPI StopWhenStarted(LPVOID pv)
{
    CSupervisorApp* pApp = static_cast<CSupervisorApp*>(pv);
    if (::WaitForSingleObject(g_hSupervising.Get(), 30000) == WAIT_OBJECT_0)
        pApp->CServiceApp::OnStop();
    pApp->m_evQuit.Set();
    return 0;
}

std::string Describe(const std::vector<SERVICE_STATUS>& aReports)
{
    std::string cs;
    for (const SERVICE_STATUS& status : aReports)
        cs += StrFormat("(%lu cp %lu hint %lu) ", status.dwCurrentState, status.dwCheckPoint, status.dwWaitHint);
    return cs;
}

}  // namespace

TEST(SupervisionLoop, ReportsStartPendingPerStepThenRunningThenEachStopWithGrowingCheckpoints)
{
    CSupervisorApp& app = GetSupervisorForTest();
    CChildFolder folder("svcloop", {"svcloop_a.exe", "svcloop_b.exe"});
    ASSERT_TRUE(folder.Define("-global -lifoshutdown\r\n\"" + folder.m_acsPaths[0] +
                              " -forever\" -noconsole -nounique -stoptimeout 6\r\n\"" + folder.m_acsPaths[1] +
                              " -forever\" -noconsole -nounique\r\n"));
    StartRecordingReports();
    CHandle hStopper(::CreateThread(NULL, 0, StopWhenStarted, &app, 0, NULL));
    app.RunServer();
    EXPECT_EQ(::WaitForSingleObject(hStopper.Get(), 10000), WAIT_OBJECT_0);
    StopRecordingReports();
    hStopper.Reset();
    app.m_evQuit.Reset();

    // Start-up: each step reports once, with the index of the record it
    // started; then running; the stop request; then the shutdown's own
    // report and two for each line (last first): its stop begun, with a
    // wait hint that covers its STOPTIMEOUT, and its end. Checkpoints only
    // grow, or the control manager would take the stop for hung.
    const struct
    {
        DWORD m_dwState, m_dwCheckPoint, m_dwWaitHint;
    } aExpected[] = {{SERVICE_START_PENDING, 0, 2000}, {SERVICE_START_PENDING, 0, 1000},
                     {SERVICE_START_PENDING, 1, 1000}, {SERVICE_RUNNING, 0, 1000},
                     {SERVICE_STOP_PENDING, 1, 500},   {SERVICE_STOP_PENDING, 2, 1500},
                     {SERVICE_STOP_PENDING, 3, 3500},  {SERVICE_STOP_PENDING, 4, 1500},
                     {SERVICE_STOP_PENDING, 5, 7500},  {SERVICE_STOP_PENDING, 6, 1500}};
    std::vector<SERVICE_STATUS> aWanted;
    for (const auto& e : aExpected)
        aWanted.push_back({0, e.m_dwState, 0, 0, 0, e.m_dwCheckPoint, e.m_dwWaitHint});
    EXPECT_EQ(Describe(g_aReports), Describe(aWanted));
    ASSERT_EQ(app.m_paProcesses.size(), 2u);
    EXPECT_TRUE(app.m_paProcesses[0]->Wait(0)) << "the first process has ended";
    EXPECT_TRUE(app.m_paProcesses[1]->Wait(0)) << "the second process has ended";
}

TEST(ServiceCtrlHandler, PreshutdownReturnsAtOnceAndStopsEveryLineWithinTheKeptTimeout)
{
    CSupervisorApp& app = GetSupervisorForTest();
    CAppStateGuard guard;
    CChildFolder folder("svcpre", {"svcpre_a.exe"});
    ASSERT_TRUE(folder.Define("\"" + folder.m_acsPaths[0] + " -forever\" -noconsole -nounique -stoptimeout 8\r\n"));
    // The supervision thread tells the system what this definition needs
    // (8 s and the margin) once it has read it; the service frame keeps
    // it, and nothing goes to a control manager outside a service.
    app.m_fIsService = FALSE;
    EXPECT_TRUE(app.SetPreshutdownTimeout(12345));
    app.m_fIsService = TRUE;

    StartRecordingReports();
    app.m_thServer.Resume();
    const BOOL fSupervising = ::WaitForSingleObject(g_hSupervising.Get(), 30000) == WAIT_OBJECT_0;
    const DWORD dwStart = ::GetTickCount();
    const DWORD dwResult = CServiceApp::ServiceCtrlHandlerEx(SERVICE_CONTROL_PRESHUTDOWN, 0, NULL, NULL);
    const DWORD dwElapsed = ::GetTickCount() - dwStart;
    const BOOL fServerEnded = app.m_thServer.Wait(10000);
    if (!fServerEnded) {
        // So that the thread can be joined below, with the fault reported.
        app.m_evQuit.Set();
        app.m_thServer.Wait(30000);
    }
    StopRecordingReports();
    const DWORD dwBudget = app.m_dwShutdownBudget;
    // Ready for the next test: a new (suspended) server thread, no budget.
    app.m_thServer.WaitForEnd();
    app.m_thServer.Start();
    app.m_dwShutdownBudget = INFINITE;
    app.m_evBudget.Reset();
    app.m_evQuit.Reset();

    ASSERT_TRUE(fSupervising) << Describe(g_aReports);
    EXPECT_EQ(dwResult, (DWORD)NO_ERROR);
    EXPECT_TRUE(fServerEnded);
    EXPECT_LT(dwElapsed, 1000u) << "the handler does not wait for the stops";
    EXPECT_EQ(dwBudget, 13000u) << "the budget is the time-out the system was given for this definition";
    ASSERT_EQ(app.m_paProcesses.size(), 1u);
    EXPECT_TRUE(app.m_paProcesses[0]->Wait(0)) << "the line has ended";
    // The stop request's report, then the loop's, accepting nothing.
    ASSERT_GE(g_aReports.size(), 3u) << Describe(g_aReports);
    auto itStop = std::find_if(
        g_aReports.begin(), g_aReports.end(),
        [](const SERVICE_STATUS& status) { return status.dwCurrentState == SERVICE_STOP_PENDING; });
    ASSERT_NE(itStop, g_aReports.end()) << Describe(g_aReports);
    EXPECT_EQ(itStop->dwCheckPoint, 1u) << Describe(g_aReports);
    EXPECT_EQ(itStop->dwControlsAccepted, 0u) << Describe(g_aReports);
    DWORD dwLastCheckPoint = 0;
    for (auto it = itStop; it != g_aReports.end(); ++it) {
        EXPECT_EQ(it->dwCurrentState, (DWORD)SERVICE_STOP_PENDING) << Describe(g_aReports);
        EXPECT_GT(it->dwCheckPoint, dwLastCheckPoint) << Describe(g_aReports);
        dwLastCheckPoint = it->dwCheckPoint;
    }
}

// A line that crashed an instant before the operator's stop, whose end the
// loop has not seen yet: the end is the stop's, and nothing restarts it.
TEST(SupervisionLoop, AStopAskedAfterAnEndNotYetSeenTakesThatEndAndLeavesTheLineStopped)
{
    CSupervisorApp& app = GetSupervisorForTest();
    CChildFolder folder("svcend", {"svcend_a.exe"});
    ASSERT_TRUE(folder.Define("\"" + folder.m_acsPaths[0] + " -exit 3\" -noconsole -nounique -restartdelay 0\r\n"));
    ASSERT_TRUE(app.ReadDefinitionFile());
    ASSERT_EQ(app.m_paProcesses.size(), 1u);
    CWatchedProcess* pProcess = app.m_paProcesses[0].get();
    app.StartProcess(pProcess);
    ASSERT_EQ(pProcess->GetState(), PS_RUNNING);
    ASSERT_EQ(::WaitForSingleObject(pProcess->m_processinfo.hProcess, 10000), WAIT_OBJECT_0);

    EXPECT_EQ(pProcess->BeginStop(), STOP_BEGUN);
    EXPECT_EQ(pProcess->GetState(), PS_STOPPING);
    pProcess->OnSignalled();   // the loop sees the end
    EXPECT_EQ(pProcess->GetState(), PS_STOPPED);
    app.ApplyEndRules(pProcess);
    EXPECT_FALSE(pProcess->IsRestartPending());
    EXPECT_EQ(pProcess->GetState(), PS_STOPPED);
}
