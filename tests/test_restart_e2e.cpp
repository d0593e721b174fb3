// Restarts an operator can rely on: backoff and give-up, a stop that sticks,
// process trees, SYNC lines that hold the start-up, and the arithmetic and
// clock behind the restart alarms.
#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>

#include "common/alarm.h"
#include "common/handle.h"
#include "e2e_util.h"
#include "helpers/childpath.h"
#include "ovrin_e2e.h"
#include "test_app.h"
#include "watched.h"

// After the project's headers: its assertion macros give way to the tests'.
#include <gtest/gtest.h>

namespace {

const DWORD c_dwLong = 20000;

struct CStamp
{
    std::string m_csWhat;   // "start" or "end"
    double m_dMs;           // on the machine's performance counter
};

std::vector<CStamp> ReadStamps(const std::string& csPath)
{
    LARGE_INTEGER liFrequency;
    ::QueryPerformanceFrequency(&liFrequency);
    std::string csText;
    std::vector<CStamp> aStamps;
    if (!ReadTextFile(csPath, csText))
        return aStamps;
    for (const std::string& csLine : SplitLines(csText)) {
        char szWhat[16] = "";
        unsigned long ulPid = 0;
        long long llTicks = 0;
        if (sscanf(csLine.c_str(), "%15s %lu %lld", szWhat, &ulPid, &llTicks) == 3)
            aStamps.push_back({szWhat, (double)llTicks * 1000.0 / (double)liFrequency.QuadPart});
    }
    return aStamps;
}

BOOL IsProcessAlive(DWORD dwProcessId)
{
    CHandle hProcess(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, dwProcessId));
    return hProcess.IsValid() && ::WaitForSingleObject(hProcess.Get(), 0) == WAIT_TIMEOUT;
}

// Waits up to dwTimeoutMs for the process to be gone.
BOOL WaitProcessGone(DWORD dwProcessId, DWORD dwTimeoutMs)
{
    for (DWORD dwWaited = 0; IsProcessAlive(dwProcessId); dwWaited += 50) {
        if (dwWaited >= dwTimeoutMs)
            return FALSE;
        ::Sleep(50);
    }
    return TRUE;
}

void KillProcessId(DWORD dwProcessId)
{
    CHandle hProcess(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwProcessId));
    if (hProcess.IsValid()) {
        ::TerminateProcess(hProcess.Get(), 1);
        ::WaitForSingleObject(hProcess.Get(), 5000);
    }
}

class Restarts : public ::testing::Test
{
protected:
    // fnBefore runs once the children are in place, before the launch.
    void Run(const std::string& csExe, const std::vector<std::string>& acsChildren, const std::string& csDefinition,
             const std::function<void()>& fnBefore = nullptr)
    {
        ASSERT_TRUE(m_ovrin.Prepare(csExe));
        for (const std::string& csChild : acsChildren)
            ASSERT_TRUE(m_ovrin.CopyChild(csChild)) << csChild;
        if (fnBefore)
            fnBefore();
        ASSERT_TRUE(m_ovrin.Launch(csDefinition));
        ASSERT_TRUE(m_client.Connect(csExe, c_dwLong));
    }
    std::vector<std::string> Until(const std::string& csLast, DWORD dwTimeoutMs = c_dwLong)
    {
        std::vector<std::string> acs = m_client.ReceiveTextsUntil(csLast, dwTimeoutMs);
        EXPECT_TRUE(!acs.empty() && acs.back().compare(0, csLast.size(), csLast) == 0)
            << "\"" << csLast << "\" did not come; what came:\n" << JoinLines(acs);
        return acs;
    }
    std::vector<std::string> Command(DWORD dwKind, const std::string& csName, const std::string& csLast)
    {
        EXPECT_TRUE(m_client.Send(dwKind, csName));
        return Until(csLast);
    }
    // A command whose last answer (after any waited for by csWait) is csLast.
    void Step(DWORD dwKind, const std::string& csName, const std::string& csWait, const std::string& csLast)
    {
        const std::vector<std::string> acs = Command(dwKind, csName, csWait);
        EXPECT_EQ(acs.back(), csLast) << JoinLines(acs);
    }
    // Every text that arrives within dwMs.
    std::vector<std::string> For(DWORD dwMs)
    {
        std::vector<std::string> acs;
        const DWORD dwStart = ::GetTickCount();
        for (DWORD dwElapsed = 0; dwElapsed < dwMs; dwElapsed = ::GetTickCount() - dwStart) {
            CControlMessage msg;
            if (m_client.Receive(msg, dwMs - dwElapsed) && msg.m_dwKind == MSG_TEXT)
                acs.push_back(msg.m_csText);
        }
        return acs;
    }
    // Reads the process id a child wrote to csFile in the supervisor's folder.
    DWORD WaitForPidFile(const std::string& csFile)
    {
        std::string csText;
        for (int i = 0; i < 100 && !ReadTextFile(m_ovrin.m_csDir + "\\" + csFile, csText); i++)
            ::Sleep(50);
        const DWORD dwId = (DWORD)strtoul(csText.c_str(), NULL, 10);
        EXPECT_NE(dwId, 0u) << csFile << " holds \"" << csText << "\"";
        return dwId;
    }
    void Quit()
    {
        m_ovrin.WriteInput("quit\r\n");
        EXPECT_TRUE(m_ovrin.WaitForExit(c_dwLong)) << m_ovrin.Output();
    }

    // The details of every listed process (MSG_REPORT_DETAILS), by name;
    // broadcasts that come meanwhile are dropped.
    static std::map<std::string, CProcessDetail> Details(CTestClient& client)
    {
        std::map<std::string, CProcessDetail> mapDetails;
        EXPECT_TRUE(client.Send(MSG_REPORT_DETAILS));
        EXPECT_TRUE(client.Send(MSG_END_OF_REPLIES));
        for (const DWORD dwStart = ::GetTickCount(); ::GetTickCount() - dwStart < c_dwLong;) {
            CControlMessage msg;
            if (!client.Receive(msg, 1000))
                continue;
            if (msg.m_dwKind == MSG_END_OF_REPLIES)
                break;
            if (msg.m_dwKind == MSG_PROCESS_DETAIL) {
                EXPECT_TRUE(mapDetails[msg.m_csName].Parse(msg.m_csText)) << msg.m_csText;
            }
        }
        return mapDetails;
    }

    COvrinProcess m_ovrin;
    CTestClient m_client;
};

// Processes started outside any supervisor, ended with the test.
class CExternals
{
public:
    ~CExternals()
    {
        for (CHandle& hProcess : m_ahProcesses) {
            ::TerminateProcess(hProcess.Get(), 1);
            ::WaitForSingleObject(hProcess.Get(), 5000);
        }
    }
    // Starts the program and returns its process id (0 when it could not).
    DWORD Start(const std::string& csPath, const std::string& csArgs)
    {
        CHandle hProcess;
        if (!StartDetached(csPath, csArgs, hProcess)) {
            ADD_FAILURE() << csPath << " did not start: error " << ::GetLastError();
            return 0;
        }
        const DWORD dwId = ::GetProcessId(hProcess.Get());
        m_ahProcesses.push_back(std::move(hProcess));
        return dwId;
    }

private:
    std::vector<CHandle> m_ahProcesses;
};

}  // namespace

TEST_F(Restarts, BackoffDoublesToItsCapThenGivesUpAndStartRearms)
{
    Run("OvrBackoff.exe", {"crash.exe"},
        "-noconsole -restartdelay 0 -backoff 4 -maxrestarts 3 \"crash.exe -stampfile stamps.txt -crash\"\r\n");
    const std::string csNotice = "crash.exe has been restarted 3 times in a row and will not be restarted again.";
    std::vector<std::string> acs = Until(csNotice);
    ASSERT_EQ(acs.back(), csNotice) << JoinLines(acs);
    EXPECT_EQ(CountPrefixed(acs, "Started process: crash.exe."), 4u) << JoinLines(acs);
    std::vector<CStamp> aStamps = ReadStamps(m_ovrin.m_csDir + "\\stamps.txt");
    ASSERT_EQ(aStamps.size(), 8u);
    const double adExpected[] = {1000, 2000, 4000};
    for (size_t i = 0; i < 3; i++) {
        const double dGap = aStamps[2 * i + 2].m_dMs - aStamps[2 * i + 1].m_dMs;
        EXPECT_GE(dGap, adExpected[i] - 50) << "restart " << i + 1;
        EXPECT_LE(dGap, adExpected[i] + 900) << "restart " << i + 1;
    }
    acs = Command(MSG_STATUS, "", "Process crash.exe");
    EXPECT_NE(acs.back().find("given up"), std::string::npos) << acs.back();

    // The operator's start counts from zero: one more run and three restarts.
    acs = Command(MSG_START, "crash", csNotice);
    EXPECT_EQ(CountPrefixed(acs, "Started process: crash.exe."), 4u) << JoinLines(acs);
    Quit();
}

TEST_F(Restarts, StopCancelsPendingRestartsAndFailedStartsRetryAtMostOnceASecond)
{
    Run("OvrSticky.exe", {"crashy.exe"},
        "-noconsole -restartdelay 2 \"crashy.exe -crash\"\r\n"
        "-noconsole -restartdelay 0 \"missing.exe\"\r\n");
    Until("crashy.exe has ended. Exit code");
    std::vector<std::string> acs = For(3000);
    EXPECT_GE(CountPrefixed(acs, "Could not start process: missing.exe."), 2u) << JoinLines(acs);
    EXPECT_LE(CountPrefixed(acs, "Could not start process: missing.exe."), 4u) << JoinLines(acs);

    Step(MSG_STOP, "crashy", "crashy.exe ", "crashy.exe Stopped.");
    Step(MSG_STOP, "missing", "missing.exe ", "missing.exe Stopped.");
    acs = For(3500);
    EXPECT_EQ(CountPrefixed(acs, "Started process: crashy.exe."), 0u) << JoinLines(acs);
    EXPECT_EQ(CountPrefixed(acs, "Could not start process: missing.exe."), 0u) << JoinLines(acs);
    acs = Command(MSG_STATUS, "", "Process missing.exe");
    ASSERT_GE(acs.size(), 2u);
    EXPECT_EQ(acs[acs.size() - 2].find("Process crashy.exe"), 0u) << JoinLines(acs);
    EXPECT_NE(acs[acs.size() - 2].find("stopped"), std::string::npos) << JoinLines(acs);

    Step(MSG_START, "crashy", "Started process: crashy.exe.", "Started process: crashy.exe.");
    Quit();
}

TEST_F(Restarts, KillTreeEndsGrandchildrenWithTheirLine)
{
    Run("OvrTree.exe", {"tree.exe", "plain.exe"},
        "-noconsole -killtree \"tree.exe -grandchild tree.pid -forever\"\r\n"
        "-noconsole \"plain.exe -grandchild plain.pid -forever\"\r\n");
    Until("All services have been started.");
    const DWORD dwTreeChild = WaitForPidFile("tree.pid");
    const DWORD dwPlainChild = WaitForPidFile("plain.pid");
    ASSERT_TRUE(dwTreeChild != 0 && dwPlainChild != 0);

    Command(MSG_STOP, "tree", "tree.exe ");
    Command(MSG_STOP, "plain", "plain.exe ");
    EXPECT_TRUE(WaitProcessGone(dwTreeChild, 3000)) << "KILLTREE ends what its line started";
    EXPECT_TRUE(IsProcessAlive(dwPlainChild)) << "without KILLTREE only the process ends";
    KillProcessId(dwPlainChild);
    // A supervisor that ends unasked takes its trees with it: the last test.
}

TEST_F(Restarts, KillTreeEndsGrandchildrenOnGroupRestartAndQuit)
{
    Run("OvrTreeGroup.exe", {"tree.exe", "boom.exe"},
        "-global -killtree\r\n"
        "-noconsole -group 1 -restartdelay 1 \"tree.exe -grandchild tree.pid -forever\"\r\n"
        "-noconsole -group 1 -restartdelay 60 \"boom.exe -sleep 1500 -crash\"\r\n");
    const DWORD dwFirst = WaitForPidFile("tree.pid");
    ASSERT_NE(dwFirst, 0u);
    ::DeleteFileA((m_ovrin.m_csDir + "\\tree.pid").c_str());
    Until("boom.exe has ended. Exit code");
    EXPECT_TRUE(WaitProcessGone(dwFirst, 3000)) << "the group rule ends the brother's tree";
    const DWORD dwSecond = WaitForPidFile("tree.pid");
    ASSERT_NE(dwSecond, 0u) << "restarted after its delay";
    Quit();
    EXPECT_TRUE(WaitProcessGone(dwSecond, 3000)) << "the shutdown ends the tree";
    KillProcessId(dwFirst);
    KillProcessId(dwSecond);
}

TEST_F(Restarts, GroupLeavesStoppedMemberAloneAndSyncHoldsTheStartup)
{
    Run("OvrGroup.exe", {"member.exe", "brother.exe", "after.exe"},
        "-noconsole -sync -restartdelay 1 \"late.exe -sleep 300\"\r\n"
        "-noconsole -group 1 -restartdelay 1 \"member.exe -forever\"\r\n"
        "-noconsole -group 1 -restartdelay 1 \"brother.exe -sleep 2500 -crash\"\r\n"
        "-noconsole \"after.exe -forever\"\r\n");
    // A SYNC line that cannot start yet holds back every line after it.
    std::vector<std::string> acs = For(2500);
    EXPECT_GE(CountPrefixed(acs, "Could not start process: late.exe."), 1u) << JoinLines(acs);
    EXPECT_EQ(CountPrefixed(acs, "Started process:"), 0u) << JoinLines(acs);
    m_ovrin.CopyChild("late.exe");
    acs = Until("Started process: member.exe.");
    EXPECT_EQ(CountPrefixed(acs, "late.exe has finished."), 1u) << JoinLines(acs);

    Command(MSG_STOP, "member", "member.exe ");
    acs = Until("brother.exe has ended. Exit code");
    acs = For(2500);
    EXPECT_EQ(CountPrefixed(acs, "Started process: brother.exe."), 1u) << JoinLines(acs);
    EXPECT_EQ(CountPrefixed(acs, "Started process: member.exe."), 0u) << "the operator's stop sticks\n" << JoinLines(acs);
    Step(MSG_START, "member", "Started process: member.exe.", "Started process: member.exe.");
    Quit();
}

TEST_F(Restarts, SyncLineWaitsForAnInstanceAlreadyRunning)
{
    CHandle hProcess;
    Run("OvrSyncRun.exe", {"pre.exe", "next.exe"}, "-noconsole -sync \"pre.exe\"\r\n-noconsole \"next.exe -forever\"\r\n",
        [&] { EXPECT_TRUE(StartDetached(m_ovrin.m_csDir + "\\pre.exe", "-sleep 2500", hProcess)); });
    ASSERT_TRUE(hProcess.IsValid());
    std::vector<std::string> acs = Until("All services have been started.");
    const std::vector<std::string> acsOrder = {"Monitoring running process: pre.exe.", "Waiting for pre.exe to finish.",
                                               "pre.exe has finished.", "Started process: next.exe."};
    size_t iFound = 0;
    for (const std::string& cs : acs)
        iFound += iFound < acsOrder.size() && cs == acsOrder[iFound];
    EXPECT_EQ(iFound, acsOrder.size()) << JoinLines(acs);
    EXPECT_EQ(::WaitForSingleObject(hProcess.Get(), 0), WAIT_OBJECT_0) << "next.exe started before pre.exe ended";
    ::TerminateProcess(hProcess.Get(), 1);
    Quit();
}

TEST_F(Restarts, StoppedExternalInstanceLeavesTheListAndStartAnswers)
{
    Run("OvrExtern.exe", {"ext.exe", "keep.exe"},
        "-nostart \"ext.exe\"\r\n-noconsole \"keep.exe -forever\"\r\n");
    Until("All services have been started.");
    CHandle hProcess;
    ASSERT_TRUE(StartDetached(m_ovrin.m_csDir + "\\ext.exe", "-forever", hProcess));
    std::vector<std::string> acs = Until("Monitoring external process: ext.exe", 10000);
    ASSERT_EQ(acs.back(), "Monitoring external process: ext.exe") << JoinLines(acs);

    // "ext" names the template too, whose "not stopped" reply comes first.
    Step(MSG_STOP, "ext", "ext.exe Stopped.", "ext.exe Stopped.");
    EXPECT_EQ(::WaitForSingleObject(hProcess.Get(), 5000), WAIT_OBJECT_0);
    ::TerminateProcess(hProcess.Get(), 1);
    acs = Command(MSG_STATUS, "", "Process keep.exe");
    EXPECT_EQ(CountPrefixed(acs, "Process ext.exe"), 1u) << "only the template is left\n" << JoinLines(acs);
    acs = Command(MSG_START, "ext", "ext.exe ");
    EXPECT_NE(acs.back().find("NOSTART"), std::string::npos) << JoinLines(acs);
    Quit();
}

TEST(RestartPolicy, BackoffAndGiveUpFollowTheRuns)
{
    const LONG GIVE_UP = -1;
    const struct
    {
        CRestartPolicy m_policy;
        std::vector<ULONGLONG> m_aullRuns;   // run lengths, ms
        std::vector<LONG> m_anDelays;        // delay after each, or GIVE_UP
    } aCases[] = {
        {{0, 8000, -1}, {0, 0, 0, 0, 0}, {1000, 2000, 4000, 8000, 8000}},
        {{0, 8000, -1}, {0, 0, 9000, 0}, {1000, 2000, 1000, 2000}},
        {{3000, 20000, -1}, {0, 0, 0, 0}, {3000, 6000, 12000, 20000}},
        {{3000, 0, -1}, {0, 100000}, {3000, 3000}},
        {{0, 0, 2}, {0, 0, 0}, {0, 0, GIVE_UP}},
        {{0, 0, 2}, {0, 61000, 0, 0, 0}, {0, 0, 0, 0, GIVE_UP}},
        {{0, 0, 0}, {0}, {GIVE_UP}},
        {{0, 120000, 1}, {90000, 90000}, {1000, GIVE_UP}},
        {{60000, 86400000, -1}, std::vector<ULONGLONG>(40, 0), {}},
    };
    for (size_t iCase = 0; iCase < sizeof aCases / sizeof aCases[0]; iCase++) {
        const auto& c = aCases[iCase];
        CRestartCount count = {0, 0};
        for (size_t i = 0; i < c.m_aullRuns.size(); i++) {
            LONG nDelay = 0;
            const LONG nGot = NextRestartDelay(c.m_policy, count, c.m_aullRuns[i], nDelay) ? nDelay : GIVE_UP;
            if (i < c.m_anDelays.size()) {
                EXPECT_EQ(nGot, c.m_anDelays[i]) << "case " << iCase << ", run " << i;
            } else if (i + 1 == c.m_aullRuns.size()) {
                EXPECT_EQ(nGot, 86400000) << "case " << iCase << ": the cap holds without overflow";
            }
        }
    }
    // Failed starts: never under a second, by the backoff schedule with BACKOFF.
    CRestartCount count = {0, 0};
    EXPECT_EQ(NextRetryDelay({0, 0, -1}, count), 1000);
    EXPECT_EQ(NextRetryDelay({5000, 0, -1}, count), 5000);
    count = {0, 0};
    EXPECT_EQ(NextRetryDelay({0, 3000, -1}, count), 1000);
    EXPECT_EQ(NextRetryDelay({0, 3000, -1}, count), 2000);
    EXPECT_EQ(NextRetryDelay({0, 3000, -1}, count), 3000);
}

TEST(RestartAttach, OnlyTheListedProcessIsAttached)
{
    const std::string csDir = MakeTempDirectory("ovrid");
    const std::string csExe = csDir + "\\idcheck.exe";
    ASSERT_TRUE(::CopyFileA(GetChildProcPath().c_str(), csExe.c_str(), FALSE));
    // A census taken a minute before the process was created.
    ULARGE_INTEGER uliBefore;
    ::GetSystemTimeAsFileTime((FILETIME*)&uliBefore);
    uliBefore.QuadPart -= 60ULL * 10000000;
    const FILETIME ftBefore = {uliBefore.LowPart, uliBefore.HighPart};
    CHandle hProcess;
    ASSERT_TRUE(StartDetached(csExe, "-forever", hProcess));
    ::Sleep(50);
    FILETIME ftAfter;
    ::GetSystemTimeAsFileTime(&ftAfter);
    // The same program in another folder.
    const std::string csOtherDir = MakeTempDirectory("ovrid");
    ASSERT_TRUE(::CopyFileA(GetChildProcPath().c_str(), (csOtherDir + "\\idcheck.exe").c_str(), FALSE));
    const struct
    {
        std::string m_csCommandLine;
        const FILETIME* m_pftCensus;
        BOOL m_fListed;
    } aCases[] = {{"idcheck.exe", &ftAfter, TRUE},   // not found from here: the name decides
                  {"IDCHECK.EXE -x", &ftAfter, TRUE},
                  {"other.exe", &ftAfter, FALSE},
                  {"idcheck.exe", &ftBefore, FALSE},   // created after the census: a reused id
                  {"\"" + csExe + "\" -x", &ftAfter, TRUE},
                  {"\"" + csOtherDir + "\\idcheck.exe\" -x", &ftAfter, FALSE}};
    for (const auto& c : aCases) {
        CWatchedProcess wp;
        wp.SetCommandLine(c.m_csCommandLine);
        EXPECT_EQ(wp.IsListedProcess(hProcess.Get(), *c.m_pftCensus), c.m_fListed) << c.m_csCommandLine;
    }
    ::TerminateProcess(hProcess.Get(), 1);
    ::WaitForSingleObject(hProcess.Get(), 5000);
    RemoveDirectoryTree(csDir);
    RemoveDirectoryTree(csOtherDir);
}

namespace {

LONG g_nLocalShiftMs = 0;

CMilliTime ShiftedLocalTime()
{
    return GetSystemLocalTime() + CMilliTimeSpan::FromMilliseconds(g_nLocalShiftMs);
}

}  // namespace

TEST(RestartClock, AlarmsKeepTheirLengthWhenTheLocalClockSteps)
{
    const struct
    {
        LONG m_nShiftMs;
        DWORD m_dwAlarmMs;
    } aCases[] = {{-3600000, 400}, {3600000, 1500}};
    for (const auto& c : aCases) {
        g_nLocalShiftMs = 0;
        SetClockSeam(ShiftedLocalTime, NULL);
        CAlarm alarm;
        const DWORD dwStart = ::GetTickCount();
        alarm.SetAfter(CMilliTimeSpan::FromMilliseconds((LONG)c.m_dwAlarmMs));
        g_nLocalShiftMs = c.m_nShiftMs;   // the clock steps by an hour
        BOOL fFired = alarm.Wait(c.m_dwAlarmMs + 2000);
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        SetClockSeam(NULL, NULL);
        EXPECT_TRUE(fFired) << c.m_nShiftMs;
        EXPECT_GE(dwElapsed + 20, c.m_dwAlarmMs) << c.m_nShiftMs;
        EXPECT_LE(dwElapsed, c.m_dwAlarmMs + 500) << c.m_nShiftMs;
    }
}

// UNIQUE attaches to a running process only when it runs the line's own
// program file. Started before the supervisor: copies of the test child in
// another folder under the lines' names, and one that shares the first 15
// characters of a line's name; none of them is attached (each line starts
// its own), while copies of the lines' own files are, a line given with its
// full path included. A NOSTART line (with a name longer than a process
// list keeps) leaves another folder's copy alone too, and watches its own.
TEST_F(Restarts, UniqueAttachesOnlyToTheSameProgramFile)
{
    ASSERT_TRUE(m_ovrin.Prepare("OvrUniqueFile.exe"));
    const std::string csDir = m_ovrin.m_csDir;
    const std::string csOther = csDir + "\\other";
    ASSERT_TRUE(::CreateDirectoryA(csOther.c_str(), NULL));
    for (const char* pszChild : {"uq.exe", "uqfull.exe", "uqsame.exe", "longsharedname_line.exe",
                                 "longsharedname_other.exe", "uqext_long_program.exe"})
        ASSERT_TRUE(m_ovrin.CopyChild(pszChild)) << pszChild;
    for (const char* pszChild : {"uq.exe", "uqext_long_program.exe"})
        ASSERT_TRUE(PlaceChild(csOther, pszChild)) << pszChild;
    CExternals externals;
    const DWORD dwForeign = externals.Start(csOther + "\\uq.exe", "-forever");
    const DWORD dwPrefix = externals.Start(csDir + "\\longsharedname_other.exe", "-forever");
    const DWORD dwFull = externals.Start(csDir + "\\uqfull.exe", "-forever");
    const DWORD dwSame = externals.Start(csDir + "\\UQSAME.EXE", "-forever");
    const DWORD dwForeignExt = externals.Start(csOther + "\\uqext_long_program.exe", "-forever");
    ASSERT_TRUE(dwForeign != 0 && dwPrefix != 0 && dwFull != 0 && dwSame != 0 && dwForeignExt != 0);
    const std::string csFullLine = csDir + "\\uqfull.exe";
    ASSERT_TRUE(m_ovrin.Launch("-noconsole \"uq.exe -forever\"\r\n"
                               "-noconsole \"" + csFullLine + " -forever\"\r\n"
                               "-noconsole \"uqsame.exe -forever\"\r\n"
                               "-noconsole \"longsharedname_line.exe -forever\"\r\n"
                               "-nostart \"uqext_long_program.exe\"\r\n"));
    ASSERT_TRUE(m_client.Connect("OvrUniqueFile.exe", c_dwLong));
    std::vector<std::string> acs = Until("All services have been started.");
    EXPECT_EQ(CountPrefixed(acs, "Started process: uq.exe."), 1u) << JoinLines(acs);
    EXPECT_EQ(CountPrefixed(acs, "Monitoring running process: " + csFullLine + "."), 1u) << JoinLines(acs);
    EXPECT_EQ(CountPrefixed(acs, "Monitoring running process: uqsame.exe."), 1u) << JoinLines(acs);
    EXPECT_EQ(CountPrefixed(acs, "Started process: longsharedname_line.exe."), 1u) << JoinLines(acs);
    EXPECT_EQ(CountPrefixed(acs, "Monitoring running process:"), 2u) << JoinLines(acs);
    // External passes come every few seconds: the other folder's copy is
    // never taken for the NOSTART line's, its own file is.
    acs = For(4000);
    EXPECT_EQ(CountPrefixed(acs, "Monitoring external process:"), 0u) << JoinLines(acs);
    const DWORD dwOwnExt = externals.Start(csDir + "\\uqext_long_program.exe", "-forever");
    acs = Until("Monitoring external process: uqext_long_program.exe", 10000);
    EXPECT_EQ(CountPrefixed(acs, "Monitoring external process: uqext_long_program.exe"), 1u) << JoinLines(acs);

    std::map<std::string, CProcessDetail> mapDetails = Details(m_client);
    const struct
    {
        std::string m_csName;
        BOOL m_fAttached;
        DWORD m_dwPid;   // 0: any process but the foreign ones
    } aExpected[] = {{"uq.exe", FALSE, 0},
                     {csFullLine, TRUE, dwFull},
                     {"uqsame.exe", TRUE, dwSame},
                     {"longsharedname_line.exe", FALSE, 0}};
    for (const auto& e : aExpected) {
        ASSERT_EQ(mapDetails.count(e.m_csName), 1u) << e.m_csName;
        const CProcessDetail& d = mapDetails[e.m_csName];
        EXPECT_EQ(d.m_fAttached, e.m_fAttached) << e.m_csName;
        EXPECT_EQ(d.m_csState, "running") << e.m_csName;
        EXPECT_EQ(d.m_csExecutable, e.m_csName) << e.m_csName;
        if (e.m_dwPid != 0) {
            EXPECT_EQ(d.m_dwProcessId, e.m_dwPid) << e.m_csName;
        } else {
            EXPECT_NE(d.m_dwProcessId, 0u) << e.m_csName;
            for (DWORD dwForeignPid : {dwForeign, dwPrefix, dwFull, dwSame, dwForeignExt, dwOwnExt})
                EXPECT_NE(d.m_dwProcessId, dwForeignPid) << e.m_csName << " watches a process it did not start";
        }
    }
    Quit();
}

// What a restart of the service after a crash finds: the supervisor that
// ended without stopping anything left its lines running, except its
// KILLTREE lines, whose process trees ended with it. A supervisor started
// again on the same file attaches to the first (UNIQUE, the same program
// file) and starts the second.
TEST_F(Restarts, ASupervisorStartedAgainAttachesToItsRunningLinesAndStartsItsKillTreeLines)
{
    ASSERT_TRUE(m_ovrin.Prepare("OvrAgainA.exe"));
    ASSERT_TRUE(m_ovrin.CopyChild("again_keep.exe"));
    ASSERT_TRUE(m_ovrin.CopyChild("again_tree.exe"));
    const std::string csKeep = m_ovrin.m_csDir + "\\again_keep.exe";
    const std::string csTree = m_ovrin.m_csDir + "\\again_tree.exe";
    const std::string csDefinition = "-noconsole \"" + csKeep + " -forever\"\r\n-noconsole -killtree \"" + csTree +
                                     " -forever\"\r\n";
    ASSERT_TRUE(m_ovrin.Launch(csDefinition));
    ASSERT_TRUE(m_client.Connect("OvrAgainA.exe", c_dwLong));
    Until("All services have been started.");
    std::map<std::string, CProcessDetail> mapBefore = Details(m_client);
    const DWORD dwKeep = mapBefore[csKeep].m_dwProcessId;
    const DWORD dwTree = mapBefore[csTree].m_dwProcessId;
    ASSERT_TRUE(dwKeep != 0 && dwTree != 0);
    EXPECT_FALSE(mapBefore[csKeep].m_fAttached);

    // The supervisor alone ends, as a crash or a kill ends it.
    m_client.Close();
    ASSERT_TRUE(::TerminateProcess(m_ovrin.m_pi.hProcess, 1));
    ASSERT_TRUE(m_ovrin.WaitForExit(c_dwLong));
    EXPECT_TRUE(WaitProcessGone(dwTree, 5000)) << "the KILLTREE line's tree ends with its supervisor";
    EXPECT_TRUE(IsProcessAlive(dwKeep));

    COvrinProcess again;
    ASSERT_TRUE(again.Prepare("OvrAgainB.exe"));
    ASSERT_TRUE(again.Launch(csDefinition));
    CTestClient client;
    ASSERT_TRUE(client.Connect("OvrAgainB.exe", c_dwLong));
    std::vector<std::string> acs = client.ReceiveTextsUntil("All services have been started.", c_dwLong);
    EXPECT_EQ(CountPrefixed(acs, "Monitoring running process: " + csKeep + "."), 1u) << JoinLines(acs);
    EXPECT_EQ(CountPrefixed(acs, "Started process: " + csTree + "."), 1u) << JoinLines(acs);
    std::map<std::string, CProcessDetail> mapAfter = Details(client);
    EXPECT_EQ(mapAfter[csKeep].m_dwProcessId, dwKeep);
    EXPECT_TRUE(mapAfter[csKeep].m_fAttached);
    EXPECT_FALSE(mapAfter[csTree].m_fAttached);
    EXPECT_NE(mapAfter[csTree].m_dwProcessId, dwTree);
    client.Close();
    again.WriteInput("quit\r\n");
    EXPECT_TRUE(again.WaitForExit(c_dwLong)) << again.Output();
    EXPECT_TRUE(WaitProcessGone(dwKeep, 5000)) << "the new supervisor's quit stops what it attached to";
}
