// The whole supervisor under Wine: a real Ovrin.exe, real child processes,
// clients on its control pipe and an operator on its console.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>

#include "e2e_util.h"
#include "ovrin_e2e.h"
#include "test_app.h"

namespace {

const DWORD s_dwLong = 20000;

// Index of the first text that starts with csPrefix at or after iFrom; -1 if none.
int FindText(const std::vector<std::string>& acs, const std::string& csPrefix, size_t iFrom = 0)
{
    for (size_t i = iFrom; i < acs.size(); i++) {
        if (acs[i].compare(0, csPrefix.size(), csPrefix) == 0)
            return (int)i;
    }
    return -1;
}

std::string Joined(const std::vector<std::string>& acs)
{
    std::string cs;
    for (const std::string& c : acs)
        cs += c + "\n";
    return cs;
}

// A supervisor with helper copies beside it and one connected client.
class Supervisor : public ::testing::Test
{
protected:
    void Run(const std::string& csExe, const std::vector<std::string>& acsChildren, const std::string& csDefinition)
    {
        m_ovrin.Prepare(csExe);
        for (const std::string& csChild : acsChildren)
            m_ovrin.CopyChild(csChild);
        ASSERT_TRUE(m_ovrin.Launch(csDefinition));
        ASSERT_TRUE(m_client.Connect(csExe, s_dwLong));
    }
    std::vector<std::string> Until(const std::string& csLast) { return m_client.ReceiveTextsUntil(csLast, s_dwLong); }
    std::vector<std::string> Command(DWORD dwKind, const std::string& csName, const std::string& csLast)
    {
        EXPECT_TRUE(m_client.Send(dwKind, csName));
        return Until(csLast);
    }
    void Quit()
    {
        m_ovrin.WriteInput("quit\r\n");
        EXPECT_TRUE(m_ovrin.WaitForExit(s_dwLong)) << m_ovrin.Output();
    }

    COvrinProcess m_ovrin;
    CTestClient m_client;
};

}  // namespace

TEST_F(Supervisor, StartsInFileOrderAndAnswersStatus)
{
    Run("OvrOrder.exe", {"first.exe", "second.exe", "third.exe"},
        "first.exe -forever -noconsole\r\nsecond.exe -forever -noconsole\r\n"
        "# a comment\r\nthird.exe -forever -noconsole -nostop\r\n");
    std::vector<std::string> acs = Until("All services have been started.");
    int iFirst = FindText(acs, "Started process: first.exe.");
    int iSecond = FindText(acs, "Started process: second.exe.");
    int iThird = FindText(acs, "Started process: third.exe.");
    ASSERT_GE(iFirst, 0) << Joined(acs);
    EXPECT_LT(iFirst, iSecond);
    EXPECT_LT(iSecond, iThird);
    EXPECT_EQ(acs.back(), "All services have been started.");

    acs = Command(MSG_STATUS, "", "Process third.exe(2.0-2.0.1.5)  running      ");
    ASSERT_GE(acs.size(), 4u) << Joined(acs);
    EXPECT_EQ(acs[acs.size() - 4], "Status of all processes:");
    const std::string csLine = acs[acs.size() - 3];
    EXPECT_EQ(csLine.substr(0, 46), "Process first.exe(2.0-2.0.1.5)  running      ") << csLine;
    EXPECT_EQ(csLine.back(), '.');

    // Names match with and without ".exe", in any case; unknown names are answered.
    acs = Command(MSG_STOP, "SECOND", "second.exe Stopped.");
    EXPECT_EQ(FindText(acs, "Stopping process second.exe"), 0) << Joined(acs);
    acs = Command(MSG_START, "second.EXE", "Started process: second.exe.");
    EXPECT_GE(FindText(acs, "Started process: second.exe."), 0) << Joined(acs);
    acs = Command(MSG_START, "first", "first.exe is already running so starting it is not permitted.");
    EXPECT_FALSE(acs.empty());
    acs = Command(MSG_STOP, "nosuch.exe", "nosuch is not a valid process name.");
    EXPECT_EQ(acs.size(), 1u) << Joined(acs);
    acs = Command(MSG_STOP, ".exe", " is not a valid process name.");
    EXPECT_EQ(acs.size(), 1u) << Joined(acs);

    // Records of kind 6, with the state plus one; kinds 5 and 7 are ignored.
    ASSERT_TRUE(m_client.Send(MSG_TEXT, "x"));
    ASSERT_TRUE(m_client.Send(MSG_PROCESS_RECORD, "x"));
    ASSERT_TRUE(m_client.Send(MSG_REPORT_ALL));
    std::vector<CControlMessage> aRecords;
    CControlMessage msg;
    while (aRecords.size() < 3 && m_client.Receive(msg, s_dwLong)) {
        EXPECT_EQ(msg.m_dwKind, (DWORD)MSG_PROCESS_RECORD) << msg.m_csText;
        aRecords.push_back(msg);
    }
    ASSERT_EQ(aRecords.size(), 3u);
    EXPECT_EQ(aRecords[0].m_csFilename, "first.exe");
    EXPECT_EQ(aRecords[0].m_nStatus, 4);
    EXPECT_EQ(aRecords[0].m_csVersion, "2.0-2.0.1.5");

    // Shutdown in file order; the NOSTOP process is reported and left running.
    acs.clear();
    m_ovrin.WriteInput("quit\r\n");
    acs = Until("Stopping process third.exe");
    std::vector<std::string> acsRest = Until("never comes");
    acs.insert(acs.end(), acsRest.begin(), acsRest.end());
    int iStopFirst = FindText(acs, "Stopping process first.exe");
    ASSERT_GE(iStopFirst, 0) << Joined(acs);
    EXPECT_EQ(acs[(size_t)iStopFirst + 1], "first.exe Stopped.");
    EXPECT_LT(iStopFirst, FindText(acs, "Stopping process second.exe"));
    EXPECT_GE(FindText(acs, "third.exe not stopped (running      )"), 0) << Joined(acs);
    EXPECT_TRUE(m_ovrin.WaitForExit(s_dwLong));
    EXPECT_NE(m_ovrin.Output().find("Ending."), std::string::npos);
    // Clean up the survivor.
    HANDLE hSnap = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 pe = {sizeof pe};
    BOOL fFound = FALSE;
    for (BOOL f = ::Process32First(hSnap, &pe); f; f = ::Process32Next(hSnap, &pe)) {
        if (_stricmp(pe.szExeFile, "third.exe") == 0) {
            fFound = TRUE;
            HANDLE h = ::OpenProcess(PROCESS_TERMINATE, FALSE, pe.th32ProcessID);
            ::TerminateProcess(h, 0);
            ::CloseHandle(h);
        }
    }
    ::CloseHandle(hSnap);
    EXPECT_TRUE(fFound) << "the NOSTOP process must outlive the supervisor";
}

TEST_F(Supervisor, CrashIsReportedAndRestartedAndLifoShutdown)
{
    Run("OvrCrash.exe", {"steady.exe", "crasher.exe"},
        "-global -lifoshutdown\nsteady.exe -forever -noconsole\n"
        "\"crasher.exe -sleep 300 -crash\" -noconsole -restartdelay 0 -nounique\n");
    std::vector<std::string> acs = Until("crasher.exe has ended. Exit code: -1073741819");
    ASSERT_EQ(acs.back(), "crasher.exe has ended. Exit code: -1073741819") << Joined(acs);
    acs = Until("Started process: crasher.exe.");
    ASSERT_EQ(acs.back(), "Started process: crasher.exe.") << Joined(acs);

    // A second client hears the replies to the first one's commands.
    CTestClient second;
    ASSERT_TRUE(second.Connect("OvrCrash.exe", s_dwLong));
    ::Sleep(300);
    ASSERT_TRUE(m_client.Send(MSG_STATUS));
    std::vector<std::string> acsSecond = second.ReceiveTextsUntil("Status of all processes:", s_dwLong);
    EXPECT_EQ(acsSecond.back(), "Status of all processes:");

    m_ovrin.WriteInput("quit\r\n");
    acs = Until("steady.exe Stopped.");
    int iCrasher = FindText(acs, "Stopping process crasher.exe");
    int iSteady = FindText(acs, "Stopping process steady.exe");
    ASSERT_GE(iSteady, 0) << Joined(acs);
    EXPECT_LT(iCrasher, iSteady) << "LIFOSHUTDOWN stops the last line first";
    EXPECT_TRUE(m_ovrin.WaitForExit(s_dwLong));
}

TEST_F(Supervisor, BadClientsLeaveTheOthersServed)
{
    Run("OvrBad.exe", {"idle.exe"}, "idle.exe -forever -noconsole\n");
    Until("All services have been started.");
    // A record whose lengths run past its end, then garbage, from two clients.
    CTestClient garbage;
    ASSERT_TRUE(garbage.Connect("OvrBad.exe", s_dwLong));
    std::string csBad("\x08\x00\x00\x00\xff\xff\x00\x00", 8);
    garbage.SendRaw(csBad + std::string(40, 'x'));
    CTestClient silent;
    ASSERT_TRUE(silent.Connect("OvrBad.exe", s_dwLong, FALSE));
    ::Sleep(300);
    // The silent client never reads: its writes time out and it is dropped.
    for (int i = 0; i < 3; i++) {
        std::vector<std::string> acs = Command(MSG_STATUS, "", "Status of all processes:");
        ASSERT_FALSE(acs.empty()) << "status " << i;
        Until("Process idle.exe");
    }
    std::vector<std::string> acs = Command(MSG_STOP, "idle", "idle.exe Stopped.");
    EXPECT_EQ(acs.back(), "idle.exe Stopped.");
    Quit();
}

TEST(SupervisorConsole, PromptHelpInvalidCommandsAndQuit)
{
    COvrinProcess ovrin;
    ovrin.Prepare("OvrConsole.exe");
    ovrin.CopyChild("quiet.exe");
    ASSERT_TRUE(ovrin.Launch("quiet.exe -forever -noconsole\n"));
    ASSERT_NE(ovrin.WaitForOutput("Connected. Type 'help' or '?' for a list of commands.", s_dwLong),
              std::string::npos)
        << ovrin.Output();
    ASSERT_NE(ovrin.WaitForOutput("All services have been started.", s_dwLong), std::string::npos);
    ovrin.WriteInput("HELP\r\n");
    ASSERT_NE(ovrin.WaitForOutput(" controlled. You may specify 'all' instead of a process name.)", s_dwLong),
              std::string::npos);
    ovrin.WriteInput("?? \r\nstart\r\n\r\na b c\r\nStatus\r\n");
    size_t iStatus = ovrin.WaitForOutput("Process quiet.exe", s_dwLong);
    ASSERT_NE(iStatus, std::string::npos) << ovrin.Output();
    std::string csOut = ovrin.Output();
    EXPECT_NE(csOut.find("Attempting to connect to "), std::string::npos);
    EXPECT_NE(csOut.find("Connecting using \\\\.\\pipe\\Tesk\\OvrinUtility\\OvrConsole.exe."), std::string::npos)
        << csOut;
    EXPECT_NE(csOut.find("Commands:\r\n  status - lists the status of all processes\r\n"), std::string::npos);
    EXPECT_NE(csOut.find("Invalid command: ??. Type '?' for help."), std::string::npos);
    EXPECT_NE(csOut.find("Invalid command: start. Type '?' for help."), std::string::npos);
    EXPECT_NE(csOut.find(">"), std::string::npos);
    ovrin.WriteInput("QUIT\r\n");
    EXPECT_TRUE(ovrin.WaitForExit(s_dwLong)) << ovrin.Output();
    EXPECT_NE(ovrin.Output().find("Ending."), std::string::npos);
    EXPECT_EQ(ovrin.GetExitCode(), 0u);
}

TEST(SupervisorClient, StartedBeforeItsServerAndUnreachableComputer)
{
    COvrinProcess client;
    ASSERT_TRUE(client.Start("OvrLate.exe", "", "-c"));
    ::Sleep(1500);
    COvrinProcess server;
    server.Prepare("OvrLate.exe");
    server.CopyChild("late.exe");
    ASSERT_TRUE(server.Launch("late.exe -forever -noconsole\n"));
    ASSERT_NE(client.WaitForOutput("Connected. Type 'help' or '?' for a list of commands.", s_dwLong),
              std::string::npos)
        << client.Output();
    client.WriteInput("status\r\n");
    EXPECT_NE(client.WaitForOutput("Status of all processes:", s_dwLong), std::string::npos) << client.Output();
    client.CloseInput();
    EXPECT_TRUE(client.WaitForExit(s_dwLong));
    EXPECT_NE(client.Output().find("Ending."), std::string::npos);
    server.WriteInput("quit\r\n");
    EXPECT_TRUE(server.WaitForExit(s_dwLong));

    COvrinProcess lost;
    DWORD dwStart = ::GetTickCount();
    ASSERT_TRUE(lost.Start("OvrLost.exe", "", "-c nosuchcomputer"));
    EXPECT_TRUE(lost.WaitForExit(s_dwLong));
    EXPECT_NE(lost.Output().find("Unable to connect to pipe \\\\nosuchcomputer\\pipe\\Tesk\\OvrinUtility\\OvrLost.exe. Error "),
              std::string::npos)
        << lost.Output();
    EXPECT_LT(::GetTickCount() - dwStart, 15000u);
}

TEST_F(Supervisor, StartupUniqueTestsSeeItsOwnStartsAndNotEndedOnes)
{
    // One census serves the whole start-up: it must know the instance that
    // line 3 started when line 4 asks, and must not offer line 1's instance,
    // which ended during the SYNC line, to line 5.
    Run("OvrUniq.exe", {"kc_a.exe", "kc_b.exe", "kc_s.exe"},
        "\"kc_b.exe -exit 0\" -noconsole -restartdelay 60\n"
        "\"kc_s.exe -sleep 500\" -noconsole -sync -nounique\n"
        "\"kc_a.exe -forever\" -noconsole\n"
        "\"kc_a.exe -forever\" -noconsole\n"
        "\"kc_b.exe -forever\" -noconsole\n");
    std::vector<std::string> acs = Until("All services have been started.");
    ASSERT_EQ(acs.back(), "All services have been started.") << Joined(acs);
    const std::pair<const char*, long> aExpected[] = {{"Started process: kc_a.exe.", 1},
                                                      {"Monitoring running process: kc_a.exe.", 1},
                                                      {"Started process: kc_b.exe.", 2},
                                                      {"Monitoring running process: kc_b.exe.", 0},
                                                      {"Cannot monitor ", 0}};
    for (const auto& expected : aExpected)
        EXPECT_EQ(std::count_if(acs.begin(), acs.end(),
                                [&](const std::string& cs) { return cs.rfind(expected.first, 0) == 0; }),
                  expected.second)
            << expected.first << "\n" << Joined(acs);
    Quit();
}
