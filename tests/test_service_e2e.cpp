// Ovrin.exe as an NT service under Wine's control manager: install and start
// with -i, the processes it starts, a client's status, the stop control, the
// pre-shutdown time-out and -r. Every test removes its service again, pass or fail: Wine starts the
// prefix's auto-start services whenever its service manager starts.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "exitcode.h"
#include "common/filestuf.h"
#include "common/notifier.h"
#include "common/servapp.h"
#include "e2e_util.h"
#include "ovrin_e2e.h"
#include "record_failures.h"
#include "test_app.h"

namespace {

const DWORD s_dwLong = 30000;

template <typename TCondition>
BOOL WaitUntil(TCondition fDone, DWORD dwTimeoutMs)
{
    DWORD dwStart = ::GetTickCount();
    for (;;) {
        if (fDone())
            return TRUE;
        if (::GetTickCount() - dwStart >= dwTimeoutMs)
            return FALSE;
        ::Sleep(50);
    }
}

BOOL AreAllGone(const std::vector<std::string>& acsNames)
{
    for (const std::string& csName : acsNames) {
        if (!FindProcessesWithPrefix(csName).empty())
            return FALSE;
    }
    return TRUE;
}

struct CServiceConfig
{
    std::string m_csImagePath;
    DWORD m_dwStartType = 0;
    DWORD m_dwServiceType = 0;
    std::string m_csDisplay;
};

// One service of the local control manager; every handle is closed.
class CServiceHandle
{
public:
    explicit CServiceHandle(const std::string& csName, DWORD dwAccess = SERVICE_ALL_ACCESS)
        : m_dwOpenError(0), m_schManager(::OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS)), m_schService(NULL)
    {
        if (m_schManager != NULL)
            m_schService = ::OpenServiceA(m_schManager, csName.c_str(), dwAccess);
        m_dwOpenError = m_schService == NULL ? ::GetLastError() : 0;
    }
    ~CServiceHandle()
    {
        if (m_schService != NULL)
            ::CloseServiceHandle(m_schService);
        if (m_schManager != NULL)
            ::CloseServiceHandle(m_schManager);
    }
    BOOL IsOpen() const { return m_schService != NULL; }
    BOOL QueryStatus(SERVICE_STATUS& status) const
    {
        ZeroMemory(&status, sizeof status);
        return m_schService != NULL && ::QueryServiceStatus(m_schService, &status);
    }
    // The stored configuration; FALSE when it cannot be read. (Wine 8's
    // sc.exe has no qc command: "sc qc NAME" prints nothing, measured.)
    BOOL QueryConfig(CServiceConfig& config) const
    {
        DWORD cbNeeded = 0;
        ::QueryServiceConfigA(m_schService, NULL, 0, &cbNeeded);
        if (cbNeeded == 0)
            return FALSE;
        std::vector<BYTE> ab(cbNeeded);
        QUERY_SERVICE_CONFIGA* pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(ab.data());
        if (!::QueryServiceConfigA(m_schService, pConfig, cbNeeded, &cbNeeded))
            return FALSE;
        config.m_csImagePath = pConfig->lpBinaryPathName != NULL ? pConfig->lpBinaryPathName : "";
        config.m_csDisplay = pConfig->lpDisplayName != NULL ? pConfig->lpDisplayName : "";
        config.m_dwStartType = pConfig->dwStartType;
        config.m_dwServiceType = pConfig->dwServiceType;
        return TRUE;
    }
    // status: the last report.
    BOOL WaitUntilStopped(SERVICE_STATUS& status) const
    {
        return WaitUntil([&] { return QueryStatus(status) && status.dwCurrentState == SERVICE_STOPPED; }, s_dwLong);
    }
    BOOL Stop(SERVICE_STATUS& status) { return ::ControlService(m_schService, SERVICE_CONTROL_STOP, &status); }
    BOOL Start() { return ::StartServiceA(m_schService, 0, NULL); }
    // The pre-shutdown time-out, 0 when it cannot be read. Wine 8 stores it
    // and reads it back (measured; 180000 for a service that never set it).
    DWORD QueryPreshutdown() const
    {
        DWORD adwInfo[4] = {0, 0, 0, 0};
        DWORD cbNeeded = 0;
        return ::QueryServiceConfig2A(m_schService, SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<BYTE*>(adwInfo),
                                      sizeof adwInfo, &cbNeeded) ? adwInfo[0] : 0;
    }
    BOOL SetPreshutdown(DWORD dwMs)
    {
        return ::ChangeServiceConfig2A(m_schService, SERVICE_CONFIG_PRESHUTDOWN_INFO, &dwMs);
    }
    BOOL Delete() { return ::DeleteService(m_schService); }
    SC_HANDLE Get() const { return m_schService; }

    DWORD m_dwOpenError;

private:
    SC_HANDLE m_schManager;
    SC_HANDLE m_schService;
};

CServiceConfig ConfigOf(const std::string& csName)
{
    CServiceConfig config;
    EXPECT_TRUE(CServiceHandle(csName).QueryConfig(config)) << csName;
    return config;
}

BOOL IsServiceGone(const std::string& csName)
{
    CServiceHandle service(csName, SERVICE_QUERY_STATUS);
    return !service.IsOpen() && service.m_dwOpenError == ERROR_SERVICE_DOES_NOT_EXIST;
}

DWORD QueryState(const std::string& csName)
{
    SERVICE_STATUS status;
    return CServiceHandle(csName).QueryStatus(status) ? status.dwCurrentState : 0;
}

// Stops and deletes the service whatever state it is in, and waits (bounded)
// until the control manager has forgotten it.
void RemoveServiceForTest(const std::string& csName)
{
    {
        CServiceHandle service(csName);
        if (!service.IsOpen())
            return;
        SERVICE_STATUS status;
        service.Stop(status);
        WaitUntil([&] { return !service.QueryStatus(status) || status.dwCurrentState == SERVICE_STOPPED; }, 15000);
        service.Delete();
    }
    WaitUntil([&] { return IsServiceGone(csName); }, 15000);
}

// Each test names its service, the processes it may leave and its folders;
// the fixture removes all of them at the end, pass or fail.
class ServiceE2E : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Two service managers in one prefix (as after "wineboot -i" on a
        // running prefix) each keep their own view of the services, so that
        // a query answered by the other one sees a service never started.
        ASSERT_EQ(FindProcessesWithPrefix("services.exe").size(), 1u)
            << "one service manager must run in the prefix; restart the wine server";
    }
    void TearDown() override
    {
        for (const std::string& csService : m_acsServices)
            RemoveServiceForTest(csService);
        for (const std::string& csProcess : m_acsProcesses)
            KillProcessesWithPrefix(csProcess);
        for (const std::string& csDir : m_acsDirs)
            RemoveDirectoryTree(csDir);
    }

    // A folder with a copy of Ovrin.exe as csExe and helper copies beside it.
    std::string Prepare(const std::string& csPrefix, const std::string& csExe, const std::vector<std::string>& acsChildren)
    {
        std::string csDir = MakeTempDirectory(csPrefix);
        m_acsDirs.push_back(csDir);
        m_acsServices.push_back(csExe.substr(0, csExe.rfind('.')));
        m_acsProcesses.push_back(csExe);
        // A service left behind by an aborted run goes first.
        RemoveServiceForTest(m_acsServices.back());
        for (const std::string& csChild : acsChildren) {
            m_acsProcesses.push_back(csChild);
            KillProcessesWithPrefix(csChild);
            ::CopyFileA((GetTestDirectory() + "childproc.exe").c_str(), (csDir + "\\" + csChild).c_str(), FALSE);
        }
        return CopyOvrinTo(csDir, csExe);
    }

    // Waits until the supervisor reports running after its last start
    // (wait hint 1000; the service entry's own running report has 0).
    BOOL WaitUntilSupervising(const std::string& csService, SERVICE_STATUS& status)
    {
        CServiceHandle service(csService);
        return WaitUntil([&] {
            return service.QueryStatus(status) && status.dwCurrentState == SERVICE_RUNNING && status.dwWaitHint == 1000;
        }, s_dwLong);
    }

    std::vector<std::string> m_acsServices;
    std::vector<std::string> m_acsProcesses;
    std::vector<std::string> m_acsDirs;
};

std::string Quoted(const std::string& cs)
{
    return "\"" + cs + "\"";
}

// pszOut NULL: the output is not looked at.
void ExpectRun(const std::string& csCommandLine, const char* pszOut, const std::string& csErr, DWORD dwExitCode)
{
    CRunResult result = RunProgram(csCommandLine, "", s_dwLong);
    EXPECT_FALSE(result.m_fTimedOut) << csCommandLine;
    if (pszOut != NULL) {
        EXPECT_EQ(result.m_csOut, pszOut) << csCommandLine;
    }
    EXPECT_EQ(SplitLines(result.m_csErr), SplitLines(csErr)) << csCommandLine;
    EXPECT_EQ(result.m_dwExitCode, dwExitCode) << csCommandLine;
}

}  // namespace

TEST_F(ServiceE2E, InstalledServiceRunsItsProcessesAnswersAClientAndStopsThemInOrder)
{
    std::string csExe = Prepare("ovrsvc", "OvrSvc.exe", {"svcfirst.exe", "svcsecond.exe", "svcthird.exe"});
    const std::string csDir = m_acsDirs.back();
    ASSERT_EQ(csDir.find(' '), std::string::npos) << "this case needs a folder without blanks: " << csDir;
    const std::string csDefinition = csDir + "\\svc.inf";
    // The first line runs a console handler: a service's stop asks it too.
    const std::string csMark = csDir + "\\svcfirst.txt";
    ASSERT_TRUE(WriteTextFile(csDefinition, "\"svcfirst.exe -onctrl " + csMark +
                                                " -forever\" -noconsole\r\n\"svcsecond.exe -forever\" -noconsole\r\n"));

    ExpectRun(csExe + " -i -d " + csDefinition, "The service OvrSvc has been installed and started.\r\n", "",
              EXIT_CODE_OK);
    const CServiceConfig config = ConfigOf("OvrSvc");
    EXPECT_EQ(config.m_csImagePath, csExe + " /NT_SERVICE \"-d\" " + Quoted(csDefinition));
    EXPECT_EQ(config.m_dwStartType, (DWORD)SERVICE_AUTO_START);
    EXPECT_EQ(config.m_dwServiceType, (DWORD)SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(config.m_csDisplay, "OvrSvc");

    SERVICE_STATUS status;
    ASSERT_TRUE(WaitUntilSupervising("OvrSvc", status)) << "state " << status.dwCurrentState;
    EXPECT_EQ(status.dwControlsAccepted,
              (DWORD)(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE));
    EXPECT_EQ(status.dwWin32ExitCode, (DWORD)NO_ERROR);
    EXPECT_EQ(FindProcessesWithPrefix("svcfirst.exe").size(), 1u);
    EXPECT_EQ(FindProcessesWithPrefix("svcsecond.exe").size(), 1u);

    ExpectRun(csExe + " -i", NULL, "Note: The service was already running.", EXIT_CODE_SERVICE_UNCHANGED);
    EXPECT_EQ(FindProcessesWithPrefix("OvrSvc.exe").size(), 1u) << "a second -i starts nothing";

    // A client: a copy under the same file name, in another folder.
    std::string csClientDir = MakeTempDirectory("ovrcli");
    m_acsDirs.push_back(csClientDir);
    std::string csClient = CopyOvrinTo(csClientDir, "OvrSvc.exe");
    CRunResult result = RunProgram(csClient + " -c", "status\nquit\n", s_dwLong);
    EXPECT_FALSE(result.m_fTimedOut);
    // The prompt ">" stands before whatever is printed next on its line.
    std::vector<std::string> acsOut = SplitLines(result.m_csOut);
    auto itStatus = std::find_if(acsOut.begin(), acsOut.end(), [](const std::string& cs) {
        return StrEndsWithI(cs, "Status of all processes:");
    });
    ASSERT_NE(itStatus, acsOut.end()) << result.m_csOut;
    ASSERT_GE(acsOut.end() - itStatus, 3) << result.m_csOut;
    // No version beside the names: the service runs in the control
    // manager's current directory, where the executable lookup (current
    // directory, then PATH) does not find them; CreateProcess did, in the
    // supervisor's own folder.
    for (int i : {1, 2}) {
        EXPECT_EQ(itStatus[i].compare(0, 34, i == 1 ? "Process svcfirst.exe             r"
                                                    : "Process svcsecond.exe            r"), 0) << itStatus[i];
        EXPECT_NE(itStatus[i].find(" running      "), std::string::npos) << itStatus[i];
    }
    EXPECT_TRUE(StrEndsWithI(acsOut.back(), "Ending.")) << result.m_csOut;

    // The stop control: the processes are stopped in file order, then the
    // service reports stopped and its process ends.
    CTestClient watcher;
    ASSERT_TRUE(watcher.Connect("OvrSvc.exe", s_dwLong));

    // A parameter change reads the definition file again: the line added
    // starts, the others go on.
    ASSERT_TRUE(WriteTextFile(csDefinition, "\"svcfirst.exe -onctrl " + csMark +
                                                " -forever\" -noconsole\r\n\"svcsecond.exe -forever\" -noconsole\r\n"
                                                "\"svcthird.exe -forever\" -noconsole\r\n"));
    {
        CServiceHandle service("OvrSvc");
        ASSERT_TRUE(::ControlService(service.Get(), SERVICE_CONTROL_PARAMCHANGE, &status)) << ::GetLastError();
    }
    EXPECT_EQ(watcher.ReceiveTextsUntil("Started process: svcthird.exe.", s_dwLong),
              (std::vector<std::string>{"Started process: svcthird.exe."}));
    EXPECT_EQ(FindProcessesWithPrefix("svcfirst.exe").size(), 1u);
    {
        CServiceHandle service("OvrSvc");
        ASSERT_TRUE(service.Stop(status)) << ::GetLastError();
        EXPECT_TRUE(status.dwCurrentState == SERVICE_STOP_PENDING || status.dwCurrentState == SERVICE_STOPPED)
            << status.dwCurrentState;
    }
    std::vector<std::string> acsTexts = watcher.ReceiveTextsUntil("svcthird.exe Stopped.", s_dwLong);
    EXPECT_EQ(acsTexts, (std::vector<std::string>{"Stopping process svcfirst.exe", "svcfirst.exe Stopped.",
                                                  "Stopping process svcsecond.exe", "svcsecond.exe Stopped.",
                                                  "Stopping process svcthird.exe", "svcthird.exe Stopped."}));
    EXPECT_TRUE(WaitUntil([] { return QueryState("OvrSvc") == SERVICE_STOPPED; }, s_dwLong))
        << QueryState("OvrSvc");
    EXPECT_TRUE(
        WaitUntil([] { return AreAllGone({"svcfirst.exe", "svcsecond.exe", "svcthird.exe", "OvrSvc.exe"}); }, s_dwLong));
    EXPECT_TRUE(WaitUntil([&] { return watcher.HasEnded(); }, s_dwLong)) << "the connection is closed";
    std::string csMarked;
    EXPECT_TRUE(ReadTextFile(csMark, csMarked) && csMarked == "ctrlc") << "the handler wrote: " << csMarked;

    // -r on a stopped service removes it; a second -r finds nothing.
    ExpectRun(csExe + " -r", "The service OvrSvc has been removed.\r\n", "", EXIT_CODE_OK);
    EXPECT_TRUE(WaitUntil([] { return IsServiceGone("OvrSvc"); }, s_dwLong));
    ExpectRun(csExe + " -r", NULL, "Note: The service is not currently installed.", EXIT_CODE_SERVICE_UNCHANGED);
}

TEST_F(ServiceE2E, InstallAndRemoveFailuresCarryTheirOwnErrorCode)
{
    // A program called ".exe" asks for a service without a name.
    std::string csExe = Prepare("ovrbad", ".exe", {});
    ExpectRun(csExe + " -i", NULL, "The service could not be installed. Error " + ErrorText(ERROR_INVALID_NAME),
              EXIT_CODE_SERVICE_FAILED);
    ExpectRun(csExe + " -r", NULL, "The service could not be stopped. Error " + ErrorText(ERROR_INVALID_NAME),
              EXIT_CODE_SERVICE_FAILED);

    // A service whose definition file is invalid ends at once, and the
    // control manager keeps why.
    csExe = Prepare("ovrtypo", "OvrTypo.exe", {});
    const std::string csDefinition = m_acsDirs.back() + "\\typo.inf";
    ASSERT_TRUE(WriteTextFile(csDefinition, "\"typochild.exe\" -restartdelya 5\r\n"));
    ExpectRun(Quoted(csExe) + " -i -d " + Quoted(csDefinition), NULL, "", EXIT_CODE_OK);
    SERVICE_STATUS status = {};
    CServiceHandle service("OvrTypo");
    EXPECT_TRUE(service.WaitUntilStopped(status)) << "state " << status.dwCurrentState;
    EXPECT_EQ(status.dwWin32ExitCode, (DWORD)ERROR_SERVICE_SPECIFIC_ERROR);
    EXPECT_EQ(status.dwServiceSpecificExitCode, (DWORD)EXIT_CODE_INVALID_DEFINITION);
}

// From a folder with a blank: the image path quoted, the pre-shutdown
// time-out set at install and again at each start, -r on a running service.
TEST_F(ServiceE2E, FromAFolderWithABlankThePreshutdownTimeoutIsSetAtEachStartAndRemoveStopsIt)
{
    std::string csExe = Prepare("ovr pre ", "OvrPre.exe", {"prechild.exe"});
    // The install alone, never started: the time-out given, or with 0 the
    // system's own left alone.
    for (const DWORD dwGiven : {23456u, 0u}) {
        m_acsServices.push_back("OvrPreInst");
        RemoveServiceForTest("OvrPreInst");
        ASSERT_TRUE(CServiceApp::InstallService("OvrPreInst", csExe, {}, dwGiven)) << ::GetLastError();
        EXPECT_EQ(CServiceHandle("OvrPreInst").QueryPreshutdown(), dwGiven != 0 ? dwGiven : 180000u);
    }
    const std::string csDefinition = m_acsDirs.back() + "\\pre.inf";
    // One line with the default STOPTIMEOUT: 2 s and the margin are below
    // the least, so every setting (install, start, definition read) is 10 s.
    ASSERT_TRUE(WriteTextFile(csDefinition, "\"prechild.exe -forever\" -noconsole\r\n"));
    ExpectRun(Quoted(csExe) + " -i -d " + Quoted(csDefinition), NULL, "", EXIT_CODE_OK);
    EXPECT_EQ(ConfigOf("OvrPre").m_csImagePath, Quoted(csExe) + " /NT_SERVICE \"-d\" " + Quoted(csDefinition));
    SERVICE_STATUS status;
    ASSERT_TRUE(WaitUntilSupervising("OvrPre", status)) << "state " << status.dwCurrentState;
    EXPECT_EQ(status.dwControlsAccepted,
              (DWORD)(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE));
    EXPECT_EQ(FindProcessesWithPrefix("prechild.exe").size(), 1u);
    {
        // Closed before -r: an open handle keeps a deleted service.
        CServiceHandle service("OvrPre");
        ASSERT_TRUE(service.IsOpen()) << service.m_dwOpenError;
        EXPECT_EQ(service.QueryPreshutdown(), 10000u);
        // Changed while stopped: the next start sets it back under the
        // service's own name.
        ASSERT_TRUE(service.Stop(status)) << ::GetLastError();
        ASSERT_TRUE(service.WaitUntilStopped(status)) << "state " << status.dwCurrentState;
        ASSERT_TRUE(service.SetPreshutdown(1234)) << ::GetLastError();
        EXPECT_EQ(service.QueryPreshutdown(), 1234u);
        ASSERT_TRUE(service.Start()) << ::GetLastError();
        ASSERT_TRUE(WaitUntilSupervising("OvrPre", status)) << "state " << status.dwCurrentState;
        EXPECT_EQ(service.QueryPreshutdown(), 10000u);
    }
    // Wine's control manager refuses to send pre-shutdown on request
    // (ERROR_INVALID_PARAMETER, measured): the control is tested in
    // test_service. -r on a running service returns once it has stopped.
    ExpectRun(Quoted(csExe) + " -r", "The service OvrPre has been stopped and removed.\r\n", "", EXIT_CODE_OK);
    EXPECT_NE(QueryState("OvrPre"), (DWORD)SERVICE_RUNNING);
    EXPECT_TRUE(WaitUntil([] { return IsServiceGone("OvrPre"); }, s_dwLong));
    EXPECT_TRUE(WaitUntil([] { return AreAllGone({"prechild.exe", "OvrPre.exe"}); }, s_dwLong));
    ExpectRun(Quoted(csExe) + " -r", NULL, "Note: The service is not currently installed.",
              EXIT_CODE_SERVICE_UNCHANGED);
}

namespace {

// One ChangeServiceConfig2 call of the recovery actions, as the seam saw it.
struct CConfigCall
{
    DWORD m_dwLevel;
    BOOL m_fOk;
    DWORD m_dwError;
    DWORD m_dwResetPeriod;
    std::vector<std::pair<int, DWORD>> m_aActions;   // type, delay
    BOOL m_fNonCrashFailures;
};
std::vector<CConfigCall> g_aConfigCalls;

void RecordConfigCall(DWORD dwLevel, const void* pvInfo, BOOL fOk, DWORD dwError)
{
    CConfigCall call = {dwLevel, fOk, dwError, 0, {}, FALSE};
    if (dwLevel == SERVICE_CONFIG_FAILURE_ACTIONS) {
        const SERVICE_FAILURE_ACTIONSA* pActions = static_cast<const SERVICE_FAILURE_ACTIONSA*>(pvInfo);
        call.m_dwResetPeriod = pActions->dwResetPeriod;
        for (DWORD i = 0; i < pActions->cActions; i++)
            call.m_aActions.push_back({(int)pActions->lpsaActions[i].Type, pActions->lpsaActions[i].Delay});
    } else if (dwLevel == SERVICE_CONFIG_FAILURE_ACTIONS_FLAG) {
        call.m_fNonCrashFailures = static_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(pvInfo)->fFailureActionsOnNonCrashFailures;
    }
    g_aConfigCalls.push_back(call);
}


// The calls of one install or configuration: the recovery actions (5 s,
// 10 s, 30 s, then none; the count reset after a day), then the flag that
// makes an end with a non-zero exit code a failure; each refusal is one
// error record of the debug log.
void ExpectRecoveryCalls(const std::string& csService, const CRecordNotifier& notifier)
{
    ASSERT_EQ(g_aConfigCalls.size(), 2u);
    const CConfigCall& actions = g_aConfigCalls[0];
    EXPECT_EQ(actions.m_dwLevel, (DWORD)SERVICE_CONFIG_FAILURE_ACTIONS);
    EXPECT_EQ(actions.m_dwResetPeriod, 86400u);
    EXPECT_EQ(actions.m_aActions, (std::vector<std::pair<int, DWORD>>{{SC_ACTION_RESTART, 5000},
                                                                        {SC_ACTION_RESTART, 10000},
                                                                        {SC_ACTION_RESTART, 30000},
                                                                        {SC_ACTION_NONE, 0}}));
    const CConfigCall& flag = g_aConfigCalls[1];
    EXPECT_EQ(flag.m_dwLevel, (DWORD)SERVICE_CONFIG_FAILURE_ACTIONS_FLAG);
    EXPECT_TRUE(flag.m_fNonCrashFailures);
    std::vector<std::string> acsExpected;
    const char* const apszWhat[] = {"recovery actions", "recovery on a non-zero exit code"};
    for (size_t i = 0; i < 2; i++) {
        if (!g_aConfigCalls[i].m_fOk)
            acsExpected.push_back(std::string("The ") + apszWhat[i] + " of the service " + csService +
                                  " could not be set. Error " + ErrorText(g_aConfigCalls[i].m_dwError));
    }
    std::vector<std::string> acsLogged;
    for (const CDebugRecord& record : notifier.m_aRecords) {
        if (record.m_csText.find("recovery") != std::string::npos) {
            EXPECT_EQ(record.m_nKind, DEBUG_ERROR) << record.m_csText;
            acsLogged.push_back(record.m_csText);
        }
    }
    EXPECT_EQ(acsLogged, acsExpected);
}

}  // namespace

// Installing sets the recovery actions; what the control manager refuses
// (Wine 8 refuses the flag and stores neither) goes to the debug log only.
// (-i's own output and exit code: the first test.)
TEST_F(ServiceE2E, InstallSetsTheRecoveryActionsAndARefusalGoesToTheDebugLogOnly)
{
    std::string csExe = Prepare("ovrrec", "OvrRec.exe", {});
    m_acsServices.push_back("OvrRecInst");
    RemoveServiceForTest("OvrRecInst");
    // Installed, then (as a service installed before) set by its name.
    for (int fConfigure = 0; fConfigure < 2; fConfigure++) {
        CRecordNotifier notifier;
        g_aConfigCalls.clear();
        CServiceApp::m_pfnConfigObserver = RecordConfigCall;
        const BOOL fOk = fConfigure ? CServiceApp::ConfigureRecovery("OvrRecInst")
                                    : CServiceApp::InstallService("OvrRecInst", csExe, {}, 0);
        CServiceApp::m_pfnConfigObserver = NULL;
        ExpectRecoveryCalls("OvrRecInst", notifier);
        if (fConfigure)
            EXPECT_EQ(fOk, g_aConfigCalls.size() == 2 && g_aConfigCalls[0].m_fOk && g_aConfigCalls[1].m_fOk);
        else
            ASSERT_TRUE(fOk) << ::GetLastError();
    }
}
