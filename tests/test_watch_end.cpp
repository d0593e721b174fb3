// End detection and the restart, group, master and quit rules, driven on a
// real supervisor object with real child processes (watch_fixture.h).
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "common/filestuf.h"
#include "eventlog.h"
#include "evtrace.h"
#include "watch_fixture.h"

namespace {

const CMilliTimeSpan c_mtsOneSecond(0, 0, 0, 1, 0);

BOOL HasEnded(CWatchedProcess& wp)
{
    return wp.m_processinfo.hProcess != NULL && ::WaitForSingleObject(wp.m_processinfo.hProcess, 0) == WAIT_OBJECT_0;
}

// The restart of a record is armed at its end time plus its delay.
void ExpectRestartAt(CWatchedProcess& wp, const CMilliTimeSpan& mtsDelay)
{
    SCOPED_TRACE(wp.GetExeName());
    EXPECT_TRUE(wp.m_alarmRestart.IsArmed());
    EXPECT_TRUE(wp.m_alarmRestart.m_mtAlarm == wp.m_mtEnded + mtsDelay)
        << wp.m_alarmRestart.m_mtAlarm.Format() << " vs end " << wp.m_mtEnded.Format();
    EXPECT_EQ(wp.m_pwoDelegate, &wp.m_alarmRestart);
    EXPECT_TRUE(wp.m_fEnabled);
}

void ExpectNoRestart(CWatchedProcess& wp)
{
    SCOPED_TRACE(wp.GetExeName());
    EXPECT_FALSE(wp.m_alarmRestart.IsArmed());
    EXPECT_FALSE(wp.m_fEnabled);
}

}  // namespace

TEST_F(WatchRules, OkExitFinishesWhileOtherEndsCrashAndOnlyWatchedOnesRestart)
{
    ASSERT_TRUE(Define({"wr_eok.exe", "wr_ebad.exe", "wr_ecrash.exe", "wr_enoexit.exe", "wr_enowatch.exe"},
                       "\"wr_eok.exe -sleep 100 -exit 0\" -noconsole -exit 0 -restartdelay 0\n"
                       "\"wr_ebad.exe -sleep 100 -exit 3\" -noconsole -exit 0 -restartdelay 0\n"
                       "\"wr_ecrash.exe -sleep 100 -crash\" -noconsole -exit 0 -restartdelay 0\n"
                       "\"wr_enoexit.exe -sleep 100\" -noconsole -restartdelay 0\n"
                       "\"wr_enowatch.exe -sleep 100 -exit 3\" -noconsole -exit 0 -nowatch -restartdelay 0\n"));
    for (size_t i = 0; i < RecordCount(); i++)
        StartRecord(i);

    const std::set<std::string> acsRestarting = {"wr_ebad.exe", "wr_ecrash.exe", "wr_enoexit.exe"};
    std::map<std::string, std::vector<LONG>> aanStates;
    auto fnDone = [&]() {
        for (const std::string& csName : acsRestarting) {
            if (aanStates[csName].size() < 2)
                return false;
        }
        return aanStates["wr_eok.exe"].size() >= 1 && aanStates["wr_enowatch.exe"].size() >= 1;
    };
    for (int i = 0; i < 20 && !fnDone(); i++) {
        CServed served = Serve(10000);
        ASSERT_TRUE(served.fServed) << Said();
        aanStates[served.csName].push_back(served.nState);
        if (served.nState == PS_CRASHED && acsRestarting.count(served.csName) != 0) {
            CWatchedProcess& wp = *FindRecord(served.csName);
            ExpectRestartAt(wp, CMilliTimeSpan());
            EXPECT_EQ(wp.GetState(), PS_CRASHED) << "the end state shows during the delay";
            // The restarted process then runs until the test ends.
            wp.SetCommandLine(served.csName + " -forever");
        }
    }
    for (const std::string& csName : acsRestarting)
        EXPECT_EQ(aanStates[csName], (std::vector<LONG>{PS_CRASHED, PS_STARTING})) << csName;
    EXPECT_EQ(aanStates["wr_eok.exe"], std::vector<LONG>{PS_ENDED});
    EXPECT_EQ(aanStates["wr_enowatch.exe"], std::vector<LONG>{PS_CRASHED});

    EXPECT_GE(BroadcastIndex("wr_eok.exe has finished."), 0) << Said();
    EXPECT_GE(LineIndex("The process wr_eok.exe ended with an okay exit code."), 0) << Said();
    EXPECT_GE(BroadcastIndex("wr_ebad.exe has ended. Exit code: 3"), 0) << Said();
    EXPECT_GE(LineIndex("The process wr_ebad.exe has ended unexpectedly."), 0) << Said();
    EXPECT_GE(BroadcastIndex("wr_ecrash.exe has ended. Exit code: -1073741819"), 0) << Said();
    EXPECT_GE(BroadcastIndex("wr_enoexit.exe has ended. Exit code: 0"), 0) << "no EXIT: every end is a crash";
    EXPECT_GE(BroadcastIndex("wr_enowatch.exe has ended. Exit code: 3"), 0) << Said();
    for (const std::string& csName : acsRestarting) {
        EXPECT_EQ(CountLines(" Started process: " + csName + "."), 2) << Said();
        CWatchedProcess& wp = *FindRecord(csName);
        EXPECT_EQ(wp.GetState(), PS_RUNNING) << csName;
        EXPECT_TRUE(wp.IsRunning()) << csName;
        EXPECT_FALSE(wp.m_alarmRestart.IsArmed()) << csName;
    }
    CWatchedProcess& wpOk = *FindRecord("wr_eok.exe");
    EXPECT_EQ(wpOk.GetState(), PS_ENDED);
    ExpectNoRestart(wpOk);
    CWatchedProcess& wpNoWatch = *FindRecord("wr_enowatch.exe");
    EXPECT_EQ(wpNoWatch.GetState(), PS_CRASHED) << "NOWATCH keeps its end state";
    ExpectNoRestart(wpNoWatch);
    EXPECT_FALSE(Serve(300).fServed);
}

TEST_F(WatchRules, RestartComesNoEarlierThanTheEndPlusItsDelay)
{
    ASSERT_TRUE(Define({"wr_rd1.exe"}, "\"wr_rd1.exe -sleep 100 -exit 3\" -noconsole -restartdelay 1\n"));
    StartRecord(0);
    CWatchedProcess& wp = Record(0);
    CServed served = Serve(10000);
    ASSERT_EQ(served.nState, PS_CRASHED) << Said();
    ExpectRestartAt(wp, c_mtsOneSecond);
    const CMilliTime mtDue = wp.m_alarmRestart.m_mtAlarm;
    EXPECT_FALSE(Serve(200).fServed) << "the delay is not over yet";

    wp.SetCommandLine("wr_rd1.exe -forever");
    served = Serve(5000);
    ASSERT_EQ(served.nState, PS_STARTING) << Said();
    EXPECT_TRUE(served.mtServed >= mtDue) << served.mtServed.Format() << " before " << mtDue.Format();
    EXPECT_EQ(wp.GetState(), PS_RUNNING);
    EXPECT_TRUE(wp.IsRunning());
    EXPECT_TRUE(wp.m_pwoDelegate == NULL);
    EXPECT_FALSE(wp.m_alarmRestart.IsArmed());
    EXPECT_EQ(CountLines(" Started process: wr_rd1.exe."), 2) << Said();
}

TEST_F(WatchRules, FailedCreateIsBroadcastAndRetriedEveryDelayUntilItStarts)
{
    // The program is not there yet.
    ASSERT_TRUE(Define({}, "\"wr_late.exe -forever\" -noconsole -restartdelay 1\n"));
    const CMilliTime mtBeforeStart = CMilliTime::GetCurrentTime();
    StartRecord(0);
    CWatchedProcess& wp = Record(0);
    EXPECT_TRUE(wp.m_alarmRestart.m_mtAlarm >= mtBeforeStart + c_mtsOneSecond) << "retried after the delay";
    EXPECT_EQ(wp.GetState(), PS_NOT_CREATED);
    EXPECT_TRUE(wp.m_fEnabled);
    EXPECT_EQ(wp.m_pwoDelegate, &wp.m_alarmRestart);
    EXPECT_TRUE(SaidText("\n Could not start process: wr_late.exe. Error 2 (")) << Said();
    EXPECT_TRUE(SaidText("\nThe process wr_late.exe couldn't be started. Error 2 (")) << Said();
    const CMilliTime mtFirstRetry = wp.m_alarmRestart.m_mtAlarm;

    CServed served = Serve(5000);
    EXPECT_EQ(served.nState, PS_STARTING);
    // The alarm runs on the monotonic clock; the local clock may read a tick behind.
    EXPECT_TRUE(served.mtServed + CMilliTimeSpan::FromMilliseconds(20) >= mtFirstRetry)
        << served.mtServed.Format() << " vs " << mtFirstRetry.Format();
    EXPECT_EQ(wp.GetState(), PS_NOT_CREATED);
    EXPECT_TRUE(wp.m_alarmRestart.IsArmed());
    EXPECT_TRUE(wp.m_alarmRestart.m_mtAlarm >= served.mtServed + c_mtsOneSecond) << "retried again after the delay";

    CopyChild("wr_late.exe");
    served = Serve(5000);
    EXPECT_EQ(served.nState, PS_STARTING);
    EXPECT_EQ(wp.GetState(), PS_RUNNING);
    EXPECT_TRUE(wp.IsRunning());
    EXPECT_GE(BroadcastIndex("Started process: wr_late.exe."), 0) << Said();
    // Every failure was broadcast: the first start and the first retry.
    size_t cFailures = 0;
    for (size_t i = Said().find(" Could not start process: wr_late.exe."); i != std::string::npos;
         i = Said().find(" Could not start process: wr_late.exe.", i + 1))
        cFailures++;
    EXPECT_EQ(cFailures, 2u) << Said();
}

TEST_F(WatchRules, GroupCrashStopsTheBrothersAndEachRestartsAtItsOwnEndPlusDelay)
{
    // The second of three is also a MASTER: crashing, it counts as any
    // member. Members of other groups, of none, NOWATCH members and NOSTART
    // templates are left alone.
    ASSERT_TRUE(Define({"wr_ga.exe", "wr_gb.exe", "wr_gc.exe", "wr_gx.exe", "wr_gy.exe", "wr_gz.exe", "wr_gt.exe"},
                       "\"wr_ga.exe -forever\" -group 1 -restartdelay 1\n"
                       "\"wr_gb.exe -sleep 300 -exit 3\" -noconsole -master -exit 0 -group 1 -restartdelay 1\n"
                       "\"wr_gc.exe -forever\" -noconsole -group 1 -restartdelay 1\n"
                       "\"wr_gx.exe -forever\" -noconsole -group 2 -restartdelay 1\n"
                       "\"wr_gy.exe -forever\" -noconsole -restartdelay 1\n"
                       "\"wr_gz.exe -forever\" -noconsole -nowatch -group 1 -restartdelay 1\n"
                       "\"wr_gt.exe\" -nostart -group 1 -restartdelay 0\n"));
    for (size_t i = 0; i < RecordCount(); i++)
        StartRecord(i);
    CWatchedProcess& wpA = Record(0);
    CWatchedProcess& wpB = Record(1);
    CWatchedProcess& wpC = Record(2);
    const DWORD dwIdA = wpA.m_processinfo.dwProcessId;
    wpB.SetCommandLine("wr_gb.exe -forever");

    CServed served = Serve(10000);
    ASSERT_EQ(served.csName, "wr_gb.exe");
    ASSERT_EQ(served.nState, PS_CRASHED);
    for (CWatchedProcess* pwp : {&wpA, &wpC}) {
        EXPECT_TRUE(HasEnded(*pwp)) << pwp->GetExeName();
        EXPECT_TRUE(SaidText("The process " + pwp->GetFullCommandLine() +
                             " is killing itself because one of it's brothers died.\n"))
            << Said();
    }
    // The shared console is asked with CTRL_BREAK; Wine cannot send it, so
    // the member is terminated at once there.
    EXPECT_TRUE(SaidText("Sending a CTRL_BREAK event to process: wr_ga.exe, " + std::to_string(dwIdA) + "\n"))
        << Said();
    if (IsRunningUnderWine()) {
        EXPECT_TRUE(SaidText("Unable to stop wr_ga.exe -forever.  Terminating process.\n")) << Said();
        EXPECT_EQ(wpA.GetState(), PS_ENDED);
    } else {
        EXPECT_EQ(wpA.GetState(), PS_STOPPED);
    }
    EXPECT_EQ(wpC.GetState(), PS_ENDED) << "a NOCONSOLE member is terminated";
    EXPECT_FALSE(SaidText("Unable to stop wr_gc.exe")) << Said();

    // Worked order: each is due at its own end plus its delay.
    for (CWatchedProcess* pwp : {&wpA, &wpB, &wpC})
        ExpectRestartAt(*pwp, c_mtsOneSecond);
    EXPECT_TRUE(wpB.m_mtEnded <= wpA.m_mtEnded);
    EXPECT_TRUE(wpA.m_mtEnded <= wpC.m_mtEnded);
    for (size_t i = 3; i < 6; i++) {
        SCOPED_TRACE(Record(i).GetExeName());
        EXPECT_EQ(Record(i).GetState(), PS_RUNNING);
        EXPECT_TRUE(Record(i).IsRunning());
        EXPECT_FALSE(Record(i).m_alarmRestart.IsArmed());
    }
    // The template is never started, so it is not scheduled either.
    EXPECT_EQ(Record(6).GetState(), PS_NOT_CREATED);
    ExpectNoRestart(Record(6));

    std::map<std::string, CMilliTime> amtDue;
    for (CWatchedProcess* pwp : {&wpA, &wpB, &wpC})
        amtDue[pwp->GetExeName()] = pwp->m_alarmRestart.m_mtAlarm;
    std::set<std::string> acsRestarted;
    for (int i = 0; i < 6 && acsRestarted.size() < 3; i++) {
        served = Serve(5000);
        ASSERT_TRUE(served.fServed) << Said();
        ASSERT_EQ(served.nState, PS_STARTING) << served.csName;
        ASSERT_EQ(amtDue.count(served.csName), 1u) << served.csName;
        EXPECT_TRUE(served.mtServed >= amtDue[served.csName]) << served.csName;
        acsRestarted.insert(served.csName);
    }
    EXPECT_EQ(acsRestarted.size(), 3u);
    for (CWatchedProcess* pwp : {&wpA, &wpB, &wpC}) {
        EXPECT_EQ(pwp->GetState(), PS_RUNNING) << pwp->GetExeName();
        EXPECT_TRUE(pwp->IsRunning()) << pwp->GetExeName();
    }
}

TEST_F(WatchRules, MasterEndingNormallyStopsItsGroupForGood)
{
    ASSERT_TRUE(Define({"wr_mm.exe", "wr_mb.exe", "wr_mw.exe"},
                       "\"wr_mm.exe -forever\" -noconsole -master -exit 0 -group 3 -restartdelay 0\n"
                       "\"wr_mb.exe -forever\" -noconsole -group 3 -restartdelay 0\n"
                       "\"wr_mw.exe -sleep 100 -exit 3\" -noconsole -group 3 -restartdelay 60\n"));
    for (size_t i = 0; i < RecordCount(); i++)
        StartRecord(i);
    CWatchedProcess& wpMaster = Record(0);
    CWatchedProcess& wpBrother = Record(1);
    CWatchedProcess& wpWaiting = Record(2);

    // The third crashes: the master and the second restart at once, the
    // third only after a minute.
    CServed served = Serve(10000);
    ASSERT_EQ(served.csName, "wr_mw.exe");
    wpMaster.SetCommandLine("wr_mm.exe -sleep 300 -exit 0");
    std::set<std::string> acsRestarted;
    for (int i = 0; i < 4 && acsRestarted.size() < 2; i++) {
        served = Serve(5000);
        ASSERT_EQ(served.nState, PS_STARTING) << served.csName << "\n" << Said();
        acsRestarted.insert(served.csName);
    }
    ASSERT_TRUE(wpWaiting.m_alarmRestart.IsArmed());

    // Then the master ends normally.
    served = Serve(10000);
    ASSERT_EQ(served.csName, "wr_mm.exe");
    ASSERT_EQ(served.nState, PS_ENDED);
    EXPECT_GE(BroadcastIndex("wr_mm.exe has finished."), 0) << Said();
    EXPECT_TRUE(SaidText("The process wr_mb.exe -forever is killing itself because it's master ended normally.\n"))
        << Said();
    EXPECT_TRUE(HasEnded(wpBrother));
    EXPECT_EQ(wpBrother.GetState(), PS_ENDED);
    for (CWatchedProcess* pwp : {&wpMaster, &wpBrother, &wpWaiting})
        ExpectNoRestart(*pwp);
    EXPECT_EQ(wpWaiting.GetState(), PS_CRASHED) << "the member in its delay keeps its end state";
    EXPECT_FALSE(Serve(500).fServed);
}

TEST_F(WatchRules, QuitRequestsTheShutdownOnlyAfterANormalEndAndItsDelay)
{
    ASSERT_TRUE(Define({"wr_qx.exe", "wr_quit.exe"},
                       "\"wr_qx.exe -sleep 100 -exit 0\" -noconsole -quit -quitdelay 0 -restartdelay 60\n"
                       "\"wr_quit.exe -sleep 300 -exit 0\" -noconsole -quit -quitdelay 2 -exit 0\n"));
    CSupervisorApp& app = App();

    // Without EXIT no end is normal: restarted, no shutdown.
    StartRecord(0);
    CServed served = Serve(10000);
    ASSERT_EQ(served.nState, PS_CRASHED);
    EXPECT_TRUE(Record(0).m_alarmRestart.IsArmed());
    EXPECT_FALSE(Record(0).m_fQuitPending);
    EXPECT_FALSE(SaidText("Stopping all processes")) << Said();
    EXPECT_EQ(::WaitForSingleObject(app.m_evQuit.m_hHandle, 0), (DWORD)WAIT_TIMEOUT);

    StartRecord(1);
    served = Serve(10000);
    const CMilliTime mtReturned = CMilliTime::GetCurrentTime();
    ASSERT_EQ(served.nState, PS_ENDED);
    EXPECT_TRUE(Record(1).m_fQuitPending);
    int iFinished = BroadcastIndex("wr_quit.exe has finished.");
    int iShutdown = BroadcastIndex("Stopping all processes and shutting down in 2 seconds...");
    EXPECT_TRUE(iFinished >= 0 && iShutdown > iFinished) << Said();
    // The shutdown is asked for only after the delay, on the supervision thread.
    EXPECT_GE((mtReturned - served.mtServed).GetTotalMilliseconds(), 1950);
    EXPECT_EQ(::WaitForSingleObject(app.m_evQuit.m_hHandle, 0), (DWORD)WAIT_OBJECT_0);
    // The loop sees the quit event next; the client thread (never resumed
    // in this program) was ended by OnStop without harm.
    served = Serve(1000);
    EXPECT_TRUE(served.fQuit);
    DWORD dwExitCode = 0;
    EXPECT_TRUE(app.m_thClient.m_hHandle == NULL ||
                (::GetExitCodeThread(app.m_thClient.m_hHandle, &dwExitCode) && dwExitCode != STILL_ACTIVE));
    app.m_evQuit.Reset();
}

namespace {

// Runs only as ctest's test_watch_rules_trace, whose program has Wine's
// eventlog channels on and its standard error in the trace file.
class WatchEventTrace : public WatchRules
{
protected:
    void SetUp() override
    {
        m_csTraceFile = GetEventTraceFile();
        if (m_csTraceFile.empty())
            GTEST_SKIP() << "needs the eventlog trace: run it as ctest's test_watch_rules_trace";
        // The file is named relative to the directory that SetUp leaves.
        m_csTraceFile = GetFullPath(m_csTraceFile);
        WatchRules::SetUp();
    }

    std::string m_csTraceFile;
};

}  // namespace

TEST_F(WatchEventTrace, CrashAndRestartAreReportedWithTheirIdsTypesAndStrings)
{
    const std::string csSource = GetEventSourceName(App().m_csExeName);
    CEventSourceKey key(csSource, TRUE);
    ASSERT_EQ(key.m_lResult, ERROR_SUCCESS);
    ASSERT_TRUE(Define({"wr_evt.exe"}, "\"wr_evt.exe -exit 3\" -noconsole -restartdelay 0\n"));
    const LONGLONG llStart = GetEventTraceSize(m_csTraceFile);
    StartRecord(0);
    Record(0).SetCommandLine("wr_evt.exe -forever");
    EXPECT_EQ(Serve(10000).nState, PS_CRASHED);
    EXPECT_EQ(Serve(5000).nState, PS_STARTING);

    CEventTrace trace = ReadEventTraceFrom(m_csTraceFile, llStart);
    ASSERT_EQ(trace.aEvents.size(), 2u) << trace.csText;
    const CTracedEvent& crash = trace.aEvents[0];
    EXPECT_EQ(crash.csSource, csSource);
    EXPECT_EQ(crash.dwId, (DWORD)EVMSG_ABNORMAL_END);
    EXPECT_EQ(crash.uType, (unsigned)EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(crash.acsStrings, (std::vector<std::string>{"wr_evt.exe", "3"}));
    EXPECT_EQ(crash.acsClasses, (std::vector<std::string>{"err", "err"}));
    const CTracedEvent& restart = trace.aEvents[1];
    EXPECT_EQ(restart.csSource, csSource);
    EXPECT_EQ(restart.dwId, (DWORD)EVMSG_RESTARTING);
    EXPECT_EQ(restart.uType, (unsigned)EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(restart.acsStrings, std::vector<std::string>{"wr_evt.exe"});
    EXPECT_EQ(restart.acsClasses, std::vector<std::string>{"warn"});
}
