// Starting, attaching and stopping watched processes, driven on a real
// supervisor object with real child processes (watch_fixture.h).
#include <gtest/gtest.h>

#include "common/filestuf.h"
#include "e2e_util.h"
#include "record_failures.h"
#include "watch_fixture.h"

namespace {

std::string IdText(DWORD dwProcessId)
{
    return std::to_string((unsigned long)dwProcessId);
}

BOOL HasEnded(DWORD dwProcessId)
{
    HANDLE hProcess = ::OpenProcess(SYNCHRONIZE, FALSE, dwProcessId);
    if (hProcess == NULL)
        return TRUE;
    BOOL fEnded = ::WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0;
    ::CloseHandle(hProcess);
    return fEnded;
}

}  // namespace

TEST_F(WatchRules, SyncBlocksUntilItsEndThenLeavesTheListForGood)
{
    ASSERT_TRUE(Define({"wr_sync.exe", "wr_after.exe"},
                       "\"wr_sync.exe -pidfile sync.pid -sleep 300\" -noconsole -sync\n"
                       "\"wr_after.exe -forever\" -noconsole\n"));
    StartRecord(0);

    // StartProcess came back only after the process had ended.
    std::string csPid;
    ASSERT_TRUE(ReadTextFile(m_csDir + "\\sync.pid", csPid)) << Said();
    EXPECT_TRUE(HasEnded((DWORD)strtoul(csPid.c_str(), NULL, 10))) << csPid;
    ASSERT_EQ(RecordCount(), 1u);
    EXPECT_EQ(Record(0).GetExeName(), "wr_after.exe");
    EXPECT_EQ(Record(0).m_nState, PS_NOT_INITIALIZED);

    int iStarted = BroadcastIndex("Started process: wr_sync.exe.");
    int iWaiting = BroadcastIndex("Waiting for wr_sync.exe to finish.", iStarted);
    int iEnded = LineIndex("The process wr_sync.exe has ended.", iWaiting);
    int iFinished = BroadcastIndex("wr_sync.exe has finished.", iEnded);
    int iRemoved = BroadcastIndex("wr_sync.exe has been removed from process list.", iFinished);
    EXPECT_TRUE(iStarted >= 0 && iWaiting > iStarted && iEnded > iWaiting && iFinished > iEnded &&
                iRemoved > iFinished)
        << iStarted << " " << iWaiting << " " << iEnded << " " << iFinished << " " << iRemoved << "\n"
        << Said();
    EXPECT_TRUE(SaidText(",Filename: wr_sync.exe,")) << Said();
    EXPECT_TRUE(SaidText(",Status: 8\n")) << "the removed record is broadcast once more\n" << Said();

    // Nothing of it is left to wait on: no restart, ever.
    EXPECT_FALSE(Serve(300).fServed);
}

TEST_F(WatchRules, SyncThatFailedToStartWaitsForItsProcessOnTheRetry)
{
    // The program is not there at the first start; the retry comes from the
    // alarm and must then wait on the process, not on that alarm.
    ASSERT_TRUE(Define({}, "\"wr_synclate.exe -sleep 200\" -noconsole -sync -restartdelay 0\n"
                           "\"wr_synclast.exe -forever\" -noconsole\n"));
    StartRecord(0);
    ASSERT_EQ(Record(0).m_nState, PS_NOT_CREATED);
    CopyChild("wr_synclate.exe");
    CServed served = Serve(5000);
    EXPECT_EQ(served.nState, PS_STARTING);
    EXPECT_GE(BroadcastIndex("wr_synclate.exe has been removed from process list."), 0) << Said();
    EXPECT_EQ(RunningIds("wr_synclate").size(), 0u);
    ASSERT_EQ(RecordCount(), 1u);
    EXPECT_EQ(Record(0).GetExeName(), "wr_synclast.exe");
}

TEST_F(WatchRules, UniqueAttachesToTheRunningInstanceAndNoUniqueStartsAnother)
{
    CopyChild("wr_uniq.exe");
    CopyChild("wr_nouniq.exe");
    DWORD dwUnique = StartExternal("wr_uniq.exe -forever");
    DWORD dwNoUnique = StartExternal("wr_nouniq.exe -forever");
    ASSERT_TRUE(dwUnique != 0 && dwNoUnique != 0);
    ASSERT_TRUE(Define({"wr_alias.exe"}, "\"wr_uniq.exe -forever\" -noconsole -restartdelay 60\n"
                                         "\"wr_nouniq.exe -forever\" -noconsole -nounique -restartdelay 60\n"
                                         "\"wr_alias.exe -forever\" -noconsole -unique wr_uniq -restartdelay 60\n"));

    StartRecord(0);
    CWatchedProcess& wpUnique = Record(0);
    EXPECT_GE(BroadcastIndex("Monitoring running process: wr_uniq.exe."), 0) << Said();
    EXPECT_LT(BroadcastIndex("Started process: wr_uniq.exe."), 0) << Said();
    EXPECT_EQ(wpUnique.m_processinfo.dwProcessId, dwUnique);
    EXPECT_EQ(wpUnique.m_nState, PS_RUNNING);
    EXPECT_TRUE(wpUnique.m_fEnabled);
    EXPECT_TRUE(wpUnique.m_mtStarted.IsValid());
    EXPECT_TRUE(wpUnique.m_processinfo.hThread == NULL) << "an attached process has no thread handle";
    EXPECT_EQ(RunningIds("wr_uniq").size(), 1u);

    StartRecord(1);
    EXPECT_GE(BroadcastIndex("Started process: wr_nouniq.exe."), 0) << Said();
    EXPECT_NE(Record(1).m_processinfo.dwProcessId, dwNoUnique);
    EXPECT_EQ(RunningIds("wr_nouniq").size(), 2u);

    // A UNIQUE name stands for the program's own name in the test.
    StartRecord(2);
    EXPECT_GE(BroadcastIndex("Monitoring running process: wr_alias.exe."), 0) << Said();
    EXPECT_EQ(Record(2).m_processinfo.dwProcessId, dwUnique);
    EXPECT_EQ(RunningIds("wr_alias").size(), 0u);

    // The end of an attached process is seen like that of a started one.
    EndExternal(dwUnique, 5);
    CServed served = Serve(10000);
    EXPECT_EQ(served.csName, "wr_uniq.exe");
    EXPECT_EQ(served.nState, PS_CRASHED);
    EXPECT_GE(BroadcastIndex("wr_uniq.exe has ended. Exit code: 5"), 0) << Said();
    EXPECT_TRUE(wpUnique.m_alarmRestart.IsArmed());
}

TEST_F(WatchRules, NoStartTemplateWatchesEachExternalInstanceUntilItEnds)
{
    const std::string csEvent = "wr_ext_event_" + IdText(::GetCurrentProcessId());
    ASSERT_TRUE(Define({"wr_ext.exe"}, "\"wr_ext.exe\" -nostart -title Ext -monitorevsem " + csEvent + "\n"));
    StartRecord(0);
    EXPECT_EQ(RunningIds("wr_ext").size(), 0u) << "a NOSTART line is never started";
    EXPECT_FALSE(Record(0).m_fEnabled);
    App().MonitorExternalProcesses();
    EXPECT_EQ(RecordCount(), 1u) << "no instance runs yet";

    DWORD dwFirst = StartExternal("wr_ext.exe -forever");
    DWORD dwSecond = StartExternal("wr_ext.exe -forever");
    ASSERT_TRUE(dwFirst != 0 && dwSecond != 0);
    App().MonitorExternalProcesses();
    ASSERT_EQ(RecordCount(), 3u) << Said();
    for (DWORD dwId : {dwFirst, dwSecond}) {
        CWatchedProcess* pCopy = FindRecordById(dwId);
        ASSERT_TRUE(pCopy != NULL) << dwId;
        EXPECT_EQ(pCopy->m_csTitle, "Ext (" + IdText(dwId) + ")");
        EXPECT_EQ(pCopy->m_nState, PS_RUNNING);
        EXPECT_TRUE(pCopy->m_fEnabled);
        EXPECT_TRUE(pCopy->m_fNoStart);
        EXPECT_TRUE(pCopy->m_fCheckExitCode);
        EXPECT_FALSE(pCopy->IsExternalTemplate());
    }
    EXPECT_EQ(CountLines(" Monitoring external process: wr_ext.exe"), 2) << Said();
    HANDLE hEvent = ::OpenEventA(SYNCHRONIZE, FALSE, csEvent.c_str());
    ASSERT_TRUE(hEvent != NULL) << LastErrorText();
    EXPECT_EQ(::WaitForSingleObject(hEvent, 0), WAIT_OBJECT_0) << "the MONITOREVSEM event is set";
    ::CloseHandle(hEvent);

    // A second pass over the same processes adds nothing.
    App().MonitorExternalProcesses();
    EXPECT_EQ(RecordCount(), 3u);

    // An instance that ends with the okay code (0 for copies) finishes and its record goes.
    EndExternal(dwFirst, 0);
    CServed served = Serve(10000);
    EXPECT_EQ(served.nState, PS_ENDED);
    EXPECT_GE(BroadcastIndex("wr_ext.exe has finished."), 0) << Said();
    EXPECT_TRUE(FindRecordById(dwFirst) == NULL);
    EXPECT_EQ(RecordCount(), 2u);
    EXPECT_TRUE(SaidText("Ext (" + IdText(dwFirst) + "),Filename: wr_ext.exe,")) << Said();

    // Copies keep the default console: no window carries their title (none
    // at all under headless Wine), so Stop kills at once.
    CWatchedProcess* pSecond = FindRecordById(dwSecond);
    ASSERT_TRUE(pSecond != NULL);
    EXPECT_TRUE(pSecond->Stop());
    EXPECT_TRUE(SaidText("No window found for process Ext (" + IdText(dwSecond) + ").\n")) << Said();
    EXPECT_TRUE(SaidText("Unable to stop wr_ext.exe.  Terminating process.\n")) << Said();
    EXPECT_TRUE(::WaitForSingleObject(pSecond->m_processinfo.hProcess, 5000) == WAIT_OBJECT_0);

    // The template stays and takes the next instance; a crash ends that record too.
    DWORD dwThird = StartExternal("wr_ext.exe -forever");
    App().MonitorExternalProcesses();
    ASSERT_TRUE(FindRecordById(dwThird) != NULL) << Said();
    EndExternal(dwThird, 4);
    served = Serve(10000);
    EXPECT_EQ(served.nState, PS_CRASHED);
    EXPECT_GE(BroadcastIndex("wr_ext.exe has ended. Exit code: 4"), 0) << Said();
    EXPECT_TRUE(FindRecordById(dwThird) == NULL);
    EXPECT_TRUE(Record(0).IsExternalTemplate());
    EXPECT_FALSE(Record(0).m_fEnabled);
}

TEST_F(WatchRules, StopAndKillEndTheProcessAndNothingRestartsIt)
{
    ASSERT_TRUE(Define({"wr_skill.exe", "wr_sstop.exe", "wr_sctrl.exe", "wr_sreq.exe"},
                       "\"wr_skill.exe -forever\" -noconsole -restartdelay 0\n"
                       "\"wr_sstop.exe -sleep 1000\" -restartdelay 0\n"
                       "\"wr_sctrl.exe -ctrlexit 7 -forever\" -restartdelay 0\n"
                       "\"wr_sreq.exe -sleep 300\" -restartdelay 0\n"));
    for (size_t i = 0; i < RecordCount(); i++)
        StartRecord(i);

    CWatchedProcess& wpKill = Record(0);
    EXPECT_TRUE(wpKill.Kill());
    EXPECT_EQ(wpKill.m_nState, PS_ENDED);
    EXPECT_FALSE(wpKill.m_fEnabled);
    EXPECT_EQ(::WaitForSingleObject(wpKill.m_processinfo.hProcess, 5000), WAIT_OBJECT_0);

    // The shared console is asked with CTRL_BREAK in the process's own group.
    // On Windows this one ends within the grace period by the event and is
    // "stopped"; Wine cannot send the event, so it is killed at once.
    CWatchedProcess& wpStop = Record(1);
    EXPECT_TRUE(wpStop.Stop());
    EXPECT_EQ(wpStop.m_nState, IsRunningUnderWine() ? PS_ENDED : PS_STOPPED) << wpStop.GetStateText();
    EXPECT_FALSE(wpStop.m_fEnabled);
    EXPECT_FALSE(wpStop.IsRunning());
    EXPECT_TRUE(SaidText("Stopping process wr_sstop.exe\n")) << Said();
    EXPECT_TRUE(SaidText("Sending a CTRL_BREAK event to process: wr_sstop.exe, " +
                         IdText(wpStop.m_processinfo.dwProcessId) + "\n"))
        << Said();

    // This one obeys the event; where it cannot be sent it is killed at once.
    CWatchedProcess& wpCtrl = Record(2);
    EXPECT_TRUE(wpCtrl.Stop());
    if (IsRunningUnderWine()) {
        EXPECT_EQ(wpCtrl.m_nState, PS_ENDED) << wpCtrl.GetStateText();
        EXPECT_TRUE(SaidText("Unable to stop wr_sctrl.exe.  Terminating process.\n")) << Said();
    } else {
        EXPECT_EQ(wpCtrl.m_nState, PS_STOPPED) << wpCtrl.GetStateText();
        EXPECT_EQ(wpCtrl.GetExitCode(), 7);
    }
    EXPECT_FALSE(wpCtrl.IsRunning());

    // Asked to stop, a process that then ends is reported "stopped" by the loop.
    CWatchedProcess& wpRequest = Record(3);
    wpRequest.RequestStop();
    EXPECT_TRUE(wpRequest.m_fStopRequested);
    CServed served = Serve(10000);
    EXPECT_EQ(served.csName, "wr_sreq.exe");
    EXPECT_EQ(served.nState, PS_STOPPED);
    EXPECT_GE(BroadcastIndex("wr_sreq.exe has been stopped."), 0) << Said();

    // None of them comes back, although each has a restart delay of 0.
    EXPECT_FALSE(Serve(300).fServed);
    for (size_t i = 0; i < RecordCount(); i++) {
        EXPECT_FALSE(Record(i).m_alarmRestart.IsArmed()) << i;
        EXPECT_FALSE(Record(i).m_fEnabled) << i;
    }

    // A process that has ended cannot be stopped; killing it again is harmless.
    CRecordFailures failures;
    m_capture.Clear();
    EXPECT_FALSE(wpKill.Stop());
    EXPECT_TRUE(SaidText("Not Stopping process wr_skill.exe, process not waitable!\n")) << Said();
    EXPECT_TRUE(wpKill.Kill());
    EXPECT_EQ(failures.Count(), 0u) << failures.Texts();
}

TEST_F(WatchRules, NoStopIsRefusedByStopAndKill)
{
    ASSERT_TRUE(Define({"wr_nostop.exe"}, "\"wr_nostop.exe -forever\" -noconsole -nostop\n"));
    StartRecord(0);
    CWatchedProcess& wp = Record(0);
    EXPECT_FALSE(wp.Stop());
    EXPECT_TRUE(SaidText("Not Stopping process wr_nostop.exe, as specified in the INF file\n")) << Said();
    EXPECT_FALSE(wp.Kill());
    EXPECT_TRUE(wp.IsRunning());
    EXPECT_EQ(wp.m_nState, PS_RUNNING);
    EXPECT_TRUE(wp.m_fEnabled);
    EXPECT_FALSE(wp.m_fStopRequested);
}
