// Attacks on a real Ovrin.exe through its control pipe: floods of tiny
// messages, a client that never reads, huge messages, hundreds of
// connections, a program that holds the pipe's name first, a second
// supervisor of the same name. After each, a line that keeps crashing must
// keep being restarted and another client must get its status.
#define PSAPI_VERSION 2
#include <windows.h>
#include <aclapi.h>
#include <shellapi.h>
#include <psapi.h>

#include <atomic>
#include <memory>
#include <thread>

#include "common/filestuf.h"
#include "e2e_util.h"
#include "helpers/childpath.h"
#include "ovrin_e2e.h"
#include "test_supervisor_app.h"

namespace {

const DWORD s_dwLong = 20000;
const char* const s_pszCrasher = "\"crasher.exe -sleep 200 -crash\" -noconsole -restartdelay 0 -nounique\r\n";

std::string PipePath(const std::string& csExe)
{
    return "\\\\.\\pipe\\" + GetControlPipeName(csExe);
}

SIZE_T PrivateBytes(HANDLE hProcess)
{
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    ::GetProcessMemoryInfo(hProcess, (PROCESS_MEMORY_COUNTERS*)&pmc, sizeof pmc);
    return pmc.PrivateUsage;
}

// The largest working set the process has had. A huge message read whole
// is freed again once it does not parse, so only the peak still shows it
// after the send.
SIZE_T PeakWorkingSet(HANDLE hProcess)
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    ::GetProcessMemoryInfo(hProcess, &pmc, sizeof pmc);
    return pmc.PeakWorkingSetSize;
}

class Attacked : public ::testing::Test
{
protected:
    void Run(const std::string& csExe, const std::string& csGlobal = std::string(),
             const std::string& csArgs = std::string())
    {
        m_csExe = csExe;
        m_ovrin.Prepare(csExe);
        m_ovrin.CopyChild("crasher.exe");
        ASSERT_TRUE(m_ovrin.Launch(csGlobal + s_pszCrasher, csArgs));
        ASSERT_TRUE(m_watcher.Connect(csExe, s_dwLong));
        ASSERT_FALSE(m_watcher.ReceiveTextsUntil("All services have been started.", s_dwLong).empty());
    }
    // The crashing line restarts twice more; a fresh client gets in within a second and its status.
    void ExpectSupervising(const char* pszAfter)
    {
        for (int i = 0; i < 2; i++) {
            std::vector<std::string> acs = m_watcher.ReceiveTextsUntil("Started process: crasher.exe.", 5000);
            ASSERT_TRUE(!acs.empty() && acs.back() == "Started process: crasher.exe.")
                << "no restart after " << pszAfter;
        }
        CTestClient client;
        const DWORD dwStart = ::GetTickCount();
        ASSERT_TRUE(client.Connect(m_csExe, 1000)) << "no connection after " << pszAfter;
        EXPECT_LT(::GetTickCount() - dwStart, 1500u) << pszAfter;
        ASSERT_TRUE(client.Send(MSG_STATUS));
        std::vector<std::string> acs = client.ReceiveTextsUntil("Process crasher.exe", 5000);
        EXPECT_TRUE(!acs.empty() && acs.back().compare(0, 19, "Process crasher.exe") == 0)
            << "no status after " << pszAfter;
    }
    void Quit()
    {
        m_ovrin.WriteInput("quit\r\n");
        EXPECT_TRUE(m_ovrin.WaitForExit(s_dwLong)) << m_ovrin.Output();
    }

    std::string m_csExe;
    COvrinProcess m_ovrin;
    CTestClient m_watcher;
};

}  // namespace

TEST_F(Attacked, FloodsHugeMessagesAndManyConnectionsStopNothing)
{
    // A "debugger" pipe that takes its clients but never reads a record
    // may cost the start at most about a second.
    std::vector<HANDLE> ahDebugger;
    for (int i = 0; i < 4; i++)
        ahDebugger.push_back(::CreateNamedPipeA("\\\\.\\pipe\\debugger", PIPE_ACCESS_DUPLEX,
                                                PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                                PIPE_UNLIMITED_INSTANCES, 0, 0, 0, NULL));
    const DWORD dwStart = ::GetTickCount();
    Run("OvrAtkFlood.exe");
    const DWORD dwStarted = ::GetTickCount() - dwStart;
    for (HANDLE h : ahDebugger)
        ::CloseHandle(h);
    // About 1.1 s without a debugger.
    EXPECT_LT(dwStarted, 3500u) << "a debugger that never reads held the start";

    // Tiny messages without end from a client that reads what it is sent.
    {
        CTestClient flooder;
        ASSERT_TRUE(flooder.Connect(m_csExe, s_dwLong));
        std::atomic<bool> fStop(false);
        std::atomic<int> cSent(0);
        std::thread thFlood([&] {
            while (!fStop && flooder.SendRaw(cSent % 2 ? std::string("X") : std::string()))
                cSent++;
        });
        ::Sleep(300);
        ExpectSupervising("a flood of tiny messages");
        fStop = true;
        thFlood.join();
        EXPECT_GT(cSent.load(), 100) << "the flood was not taken";
        EXPECT_FALSE(flooder.HasEnded()) << "a flooding client is no reason to close";
    }

    // A client that never reads: once its pipe's buffer is full, each write
    // to it waits. The loop must go on answering the others meanwhile, and
    // the client is closed when a message has waited past the write bound.
    {
        CTestClient silent;
        ASSERT_TRUE(silent.Connect(m_csExe, s_dwLong, FALSE));
        CTestClient asker;
        ASSERT_TRUE(asker.Connect(m_csExe, s_dwLong));
        // Four times the 64 KB buffer, counted as the asker receives it.
        const size_t cbWanted = 256 * 1024;
        const DWORD dwAnswerBound = 2000;
        size_t cbBroadcast = 0;
        int cStatuses = 0;
        BOOL fAnswered = TRUE;
        while (cbBroadcast < cbWanted && fAnswered) {
            ASSERT_TRUE(asker.Send(MSG_STATUS));
            cStatuses++;
            const DWORD dwAsked = ::GetTickCount();
            for (;;) {
                const DWORD dwElapsed = ::GetTickCount() - dwAsked;
                CControlMessage msg;
                fAnswered = dwElapsed < dwAnswerBound && asker.Receive(msg, dwAnswerBound - dwElapsed);
                if (!fAnswered)
                    break;
                CDataBlock block;
                if (msg.Serialize(block))
                    cbBroadcast += block.GetLength();
                if (msg.m_dwKind == MSG_TEXT && msg.m_csText.compare(0, 19, "Process crasher.exe") == 0)
                    break;
            }
        }
        EXPECT_TRUE(fAnswered) << "status " << cStatuses << " was not answered within " << dwAnswerBound
                               << " ms, after " << cbBroadcast << " bytes to a client that never reads";
        // Its write waited at the latest since the last broadcast: the
        // bound, the check's period and some slack.
        const DWORD dwBroadcastEnd = ::GetTickCount();
        BOOL fOpen = TRUE;
        while (fOpen && ::GetTickCount() - dwBroadcastEnd < 6000) {
            ::Sleep(100);
            // A one-byte message is dropped unread by a server that still
            // serves the client, and cannot be written once it has gone.
            fOpen = silent.SendRaw("X", 1, 1000);
        }
        EXPECT_FALSE(fOpen) << "a client that took nothing of " << cbBroadcast << " bytes is still connected "
                            << ::GetTickCount() - dwBroadcastEnd << " ms after the last broadcast";
        ExpectSupervising("a client that never reads");
    }

    // Huge messages: refused before their size is allocated, their
    // connections closed.
    {
        const HANDLE hOvrin = m_ovrin.m_pi.hProcess;
        const SIZE_T cbBefore = PrivateBytes(hOvrin);
        const SIZE_T cbPeakBefore = PeakWorkingSet(hOvrin);
        const std::string csHuge(256 << 20, 'H');
        std::vector<std::unique_ptr<CTestClient>> apSenders;
        std::vector<std::thread> athSenders;
        for (int i = 0; i < 2; i++) {
            apSenders.emplace_back(new CTestClient);
            ASSERT_TRUE(apSenders.back()->Connect(m_csExe, s_dwLong));
        }
        for (auto& pSender : apSenders)
            athSenders.emplace_back([&pSender, &csHuge] { pSender->SendRaw(csHuge); });
        for (std::thread& th : athSenders)
            th.join();
        for (auto& pSender : apSenders) {
            const DWORD dwStart = ::GetTickCount();
            while (!pSender->HasEnded() && ::GetTickCount() - dwStart < 3000)
                ::Sleep(20);
            EXPECT_TRUE(pSender->HasEnded()) << "a huge message's connection stays open";
        }
        const SIZE_T cbAfter = PrivateBytes(hOvrin);
        const SIZE_T cbPeakAfter = PeakWorkingSet(hOvrin);
        EXPECT_LT(cbAfter, cbBefore + (SIZE_T)(16 << 20)) << cbBefore << " grew to " << cbAfter;
        EXPECT_LT(cbPeakAfter, cbPeakBefore + (SIZE_T)(64 << 20))
            << "peak working set " << cbPeakBefore << " grew to " << cbPeakAfter << " while messages of "
            << csHuge.size() << " bytes came";
        ExpectSupervising("huge messages");
    }

    // Hundreds of clients that connect quickly and then say nothing; one
    // that finds the pipe busy gets in within a second.
    {
        const std::string csPath = PipePath(m_csExe);
        std::vector<HANDLE> ahSilent;
        int cLate = 0;
        for (int i = 0; i < 300; i++) {
            const DWORD dwStart = ::GetTickCount();
            HANDLE h = INVALID_HANDLE_VALUE;
            while (h == INVALID_HANDLE_VALUE && ::GetTickCount() - dwStart < 1000) {
                h = ::CreateFileA(csPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED, NULL);
                if (h == INVALID_HANDLE_VALUE)
                    ::WaitNamedPipeA(csPath.c_str(), 100);
            }
            if (h == INVALID_HANDLE_VALUE)
                cLate++;
            else
                ahSilent.push_back(h);
        }
        EXPECT_EQ(cLate, 0) << "clients that waited more than a second";
        ExpectSupervising("300 silent connections");
        for (HANDLE h : ahSilent)
            ::CloseHandle(h);
    }

    // A second supervisor of the same executable name leaves the first alone.
    COvrinProcess twin;
    ASSERT_TRUE(twin.Start(m_csExe, s_pszCrasher));
    ASSERT_TRUE(twin.WaitForExit(s_dwLong)) << twin.Output();
    EXPECT_EQ(twin.GetExitCode(), 3u) << twin.Output();
    EXPECT_EQ(twin.Output().find("Started process"), std::string::npos) << twin.Output();
    ExpectSupervising("a second supervisor of the same name");

    // The default pipe is open to everyone: a null access list.
    {
        HANDLE h = ::CreateFileA(PipePath(m_csExe).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        PACL pDacl = (PACL)1;
        PSECURITY_DESCRIPTOR psd = NULL;
        EXPECT_EQ(::GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &pDacl, NULL, &psd),
                  (DWORD)ERROR_SUCCESS);
        EXPECT_EQ(pDacl, (PACL)NULL);
        ::LocalFree(psd);
        ::CloseHandle(h);
    }
    Quit();
}

TEST_F(Attacked, SecurePipeGrantsAdministratorsSystemAndItsOwnAccountOnly)
{
    // Written with a byte-order mark, and started with a client step that
    // is abandoned: the console's own client still talks to this computer.
    Run("OvrAtkSecure.exe", "\xEF\xBB\xBF-global -securepipe\r\n", "-c farhost -d OvrAtkSecure.inf");
    EXPECT_NE(m_ovrin.WaitForOutput("Connected.", 5000), std::string::npos) << m_ovrin.Output();
    HANDLE h = ::CreateFileA(PipePath(m_csExe).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    PACL pDacl = NULL;
    PSECURITY_DESCRIPTOR psd = NULL;
    ASSERT_EQ(::GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &pDacl, NULL, &psd),
              (DWORD)ERROR_SUCCESS);
    ASSERT_NE(pDacl, (PACL)NULL) << "a null access list";
    HANDLE hToken = NULL;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &hToken));
    BYTE abUser[256];
    DWORD cb = 0;
    ASSERT_TRUE(::GetTokenInformation(hToken, TokenUser, abUser, sizeof abUser, &cb));
    ::CloseHandle(hToken);
    BYTE abAdmins[SECURITY_MAX_SID_SIZE], abSystem[SECURITY_MAX_SID_SIZE];
    DWORD cbAdmins = sizeof abAdmins, cbSystem = sizeof abSystem;
    ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, abAdmins, &cbAdmins));
    ASSERT_TRUE(::CreateWellKnownSid(WinLocalSystemSid, NULL, abSystem, &cbSystem));
    PSID apExpected[] = {abAdmins, abSystem, ((TOKEN_USER*)abUser)->User.Sid};
    ASSERT_EQ(pDacl->AceCount, 3u);
    for (DWORD i = 0; i < 3; i++) {
        ACCESS_ALLOWED_ACE* pAce = NULL;
        ASSERT_TRUE(::GetAce(pDacl, i, (void**)&pAce));
        EXPECT_EQ(pAce->Header.AceType, ACCESS_ALLOWED_ACE_TYPE) << i;
        EXPECT_TRUE(::EqualSid(&pAce->SidStart, apExpected[i])) << "entry " << i;
    }
    ::LocalFree(psd);
    ::CloseHandle(h);
    ExpectSupervising("a secured pipe");
    Quit();
}

TEST(Attacks, ANameHeldByAnotherProgramIsRefusedAndNothingStarted)
{
    // A program that creates the name first, with room for one instance.
    COvrinProcess second;
    second.Prepare("OvrAtkRogue.exe");
    HANDLE hRogue = ::CreateNamedPipeA(PipePath("OvrAtkRogue.exe").c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 0, 0, NULL);
    ASSERT_NE(hRogue, INVALID_HANDLE_VALUE);
    second.CopyChild("crasher.exe");
    const std::string csPidFile = second.m_csDir + "\\started.pid";
    ASSERT_TRUE(second.Launch("\"crasher.exe -pidfile " + csPidFile + " -forever\" -noconsole\r\n"));
    ASSERT_TRUE(second.WaitForExit(s_dwLong)) << second.Output();
    EXPECT_EQ(second.GetExitCode(), 3u);
    EXPECT_NE(second.Output().find("Cannot serve the pipe " + PipePath("OvrAtkRogue.exe") +
                                   ": another program serves it already."),
              std::string::npos)
        << second.Output();
    std::string csPid;
    EXPECT_FALSE(ReadTextFile(csPidFile, csPid)) << "a process was started: " << csPid;
    ::CloseHandle(hRogue);
}

// Stored service arguments come back unchanged through the system's parser,
// and system texts with inserts are still found.
TEST(BadInput, ServiceArgumentsRoundTripAndErrorTextsWithInsertsAreFound)
{
    const CStringArray csaArgs = {"-d", "c:\\my files\\x.inf", "a\"b", "c:\\dir\\", "x\\\"y", ""};
    const std::string csImagePath = CServiceApp::BuildImagePath("C:\\Program Files\\Ovrin.exe", csaArgs);
    int cArgs = 0;
    LPWSTR* apwsz = ::CommandLineToArgvW(std::wstring(csImagePath.begin(), csImagePath.end()).c_str(), &cArgs);
    ASSERT_NE(apwsz, (LPWSTR*)NULL);
    ASSERT_EQ(cArgs, (int)csaArgs.size() + 2) << csImagePath;
    for (size_t i = 0; i < csaArgs.size(); i++) {
        const std::wstring wcs(apwsz[i + 2]);
        EXPECT_EQ(std::string(wcs.begin(), wcs.end()), csaArgs[i]) << csImagePath;
    }
    ::LocalFree(apwsz);
    EXPECT_NE(ErrorText(ERROR_BAD_EXE_FORMAT).find("%1"), std::string::npos) << ErrorText(ERROR_BAD_EXE_FORMAT);
}

namespace {

HANDLE g_hRunning = NULL;

void SignalRunning(const SERVICE_STATUS& status)
{
    if (status.dwCurrentState == SERVICE_RUNNING)
        ::SetEvent(g_hRunning);
}

}  // namespace

// The console's close event cannot be refused: the system ends the process
// about 5 s later. Its stop must end every process within that time, even
// when each would use its whole grace.
TEST(CloseEvent, StopsEveryProcessWithinTheBudgetKillingWhereTheGraceWouldNotFit)
{
    CSupervisorApp& app = GetSupervisorForTest();
    ResetSupervisorForTest();
    const std::string csDir = MakeTempDirectory("closeevt");
    std::string csDefinition;
    for (const char* pszName : {"cls_a.exe", "cls_b.exe", "cls_c.exe"}) {
        const std::string csPath = csDir + "\\" + pszName;
        ASSERT_TRUE(::CopyFileA(GetChildProcPath().c_str(), csPath.c_str(), FALSE));
        csDefinition += "\"" + csPath + " -ignorectrl -forever\" -noconsole -nounique\r\n";
    }
    app.m_csDefinitionFile = csDir + "\\close.inf";
    ASSERT_TRUE(WriteTextFile(app.m_csDefinitionFile, csDefinition));
    g_hRunning = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    CServiceApp::m_pfnStatusObserver = SignalRunning;
    std::atomic<DWORD> dwStopAt(0);
    std::thread thCloser([&] {
        if (::WaitForSingleObject(g_hRunning, 30000) == WAIT_OBJECT_0) {
            dwStopAt = ::GetTickCount();
            app.BeginBoundedStop(4000);
        } else {
            app.m_evQuit.Set();
        }
    });
    app.RunServer();
    const DWORD dwTaken = ::GetTickCount() - dwStopAt;
    thCloser.join();
    CServiceApp::m_pfnStatusObserver = NULL;
    ::CloseHandle(g_hRunning);
    ASSERT_NE(dwStopAt.load(), 0u) << "the start-up did not end";
    // Asked one by one, the three would take at least 6 s.
    EXPECT_LT(dwTaken, 4500u);
    ASSERT_EQ(app.m_paProcesses.size(), 3u);
    for (size_t i = 0; i < 3; i++)
        EXPECT_TRUE(app.m_paProcesses[i]->Wait(0)) << "process " << i << " still runs";
    app.m_evQuit.Reset();
    app.m_dwShutdownBudget = INFINITE;
    ResetSupervisorForTest();
    RemoveDirectoryTree(csDir);
}
