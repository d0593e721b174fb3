#include <gtest/gtest.h>

#include "helpers/childpath.h"
#include "test_supervisor_app.h"

TEST(WatchedProcess, StateChangesFollowTheAllowedPathsAndTimes)
{
    CWatchedProcess wp;
    CMilliTime mtStart(2026, 12, 4, 9, 5, 7, 42);
    CMilliTime mtEnd(2026, 12, 4, 10, 0, 0, 0);
    {
        CStderrCapture capture;
        EXPECT_FALSE(wp.SetState(PS_CRASHED)) << "only a running process can crash";
        EXPECT_EQ(wp.GetState(), PS_NOT_INITIALIZED);
        EXPECT_NE(capture.Text().find("state change not allowed"), std::string::npos) << capture.Text();
    }
    EXPECT_TRUE(wp.SetState(PS_RUNNING));
    EXPECT_EQ(wp.GetTimeText(), "");
    EXPECT_TRUE(wp.SetState(PS_CRASHED));
    wp.m_mtEnded = mtEnd;
    EXPECT_EQ(wp.GetTimeText(), "4Dec26 10:00:00.000");
    wp.m_mtStarted = mtStart;
    EXPECT_EQ(wp.GetTimeText(), "4Dec26 9:05:07.042");
    EXPECT_TRUE(wp.SetState(PS_NOT_CREATED));
    EXPECT_EQ(wp.GetTimeText(), "");
    EXPECT_TRUE(wp.SetState(PS_RUNNING));
    wp.m_mtStarted = CMilliTime();
    EXPECT_EQ(wp.GetTimeText(), "") << "running shows only a start time";
    {
        CStderrCapture capture;
        EXPECT_TRUE(wp.SetState(PS_REMOVED));
        EXPECT_EQ(wp.GetStateText(), "unknown");
        EXPECT_FALSE(wp.SetState(PS_RUNNING)) << "nothing leaves the removed state";
    }
}

TEST(WatchedProcess, UniqueNameKeepsDirectoryAndIsCutTo15)
{
    CWatchedProcess wp;
    wp.SetCommandLine("c:\\tools\\srv.exe -x");
    EXPECT_EQ(wp.GetExeName(), "c:\\tools\\srv.exe");
    EXPECT_EQ(wp.GetUniqueName(), "c:\\tools\\srv");
    wp.m_csUniqueName = "srv";
    EXPECT_EQ(wp.GetUniqueName(), "srv");
    wp.m_csUniqueName = "abcdefghijklmnopqrst";
    EXPECT_EQ(wp.GetUniqueName(), "abcdefghijklmno");
    wp.m_csUniqueName.clear();
    wp.SetCommandLine("c:\\dir.d\\prog");
    EXPECT_EQ(wp.GetUniqueName(), "c:\\dir.d\\prog");
}

TEST(WatchedProcess, TemplateCopyChecksExitCodeAndSharesTheEvent)
{
    CWatchedProcess wpTemplate;
    wpTemplate.SetCommandLine("ext.exe -a");
    wpTemplate.m_fNoStart = 1;
    wpTemplate.m_nGroup = 4;
    wpTemplate.m_nQuitDelay = 8;
    wpTemplate.m_csTitle = "Title";
    wpTemplate.m_dwConsoleFlags = DETACHED_PROCESS;
    wpTemplate.m_mtsRestartDelay = CMilliTimeSpan(0, 0, 0, 3, 0);
    wpTemplate.SetMonitorEvent("ovrin_test_copy_" + std::to_string(::GetCurrentProcessId()));
    EXPECT_TRUE(wpTemplate.IsExternalTemplate());
    {
        CWatchedProcess wpCopy;
        wpCopy.CopyFromTemplate(wpTemplate);
        EXPECT_TRUE(wpCopy.m_fCheckExitCode);
        EXPECT_EQ(wpCopy.m_dwOkExitCode, 0u);
        EXPECT_EQ(wpCopy.m_nGroup, 4);
        EXPECT_EQ(wpCopy.m_nQuitDelay, 8);
        EXPECT_EQ(wpCopy.m_mtsRestartDelay.GetTotalMilliseconds(), 3000);
        EXPECT_EQ(wpCopy.m_csUniqueName, "ext");
        EXPECT_EQ(wpCopy.m_csCommandLine, "ext.exe -a");
        EXPECT_EQ(wpCopy.m_csTitle, "") << "console settings keep their defaults";
        EXPECT_EQ(wpCopy.m_dwConsoleFlags, (DWORD)CREATE_NEW_CONSOLE);
        EXPECT_EQ(wpCopy.m_hMonitorEvent, wpTemplate.m_hMonitorEvent);
        EXPECT_EQ(wpCopy.GetState(), PS_NOT_INITIALIZED);
    }
    // The copy borrowed the handle: it must still work after the copy is gone.
    EXPECT_NE(::WaitForSingleObject(wpTemplate.m_hMonitorEvent, 0), WAIT_FAILED);
}

TEST(WatchedProcess, ResetRestoresDefaultsButKeepsCommandLine)
{
    CWatchedProcess wp;
    wp.SetCommandLine("a.exe");
    wp.m_fMaster = 1;
    wp.m_nGroup = 2;
    wp.m_fWatch = 0;
    wp.SetState(PS_RUNNING);
    wp.m_fEnabled = 1;
    wp.m_csUniqueName = "kept";
    wp.Reset();
    EXPECT_EQ(wp.m_csCommandLine, "a.exe");
    EXPECT_FALSE(wp.m_fMaster);
    EXPECT_EQ(wp.m_nGroup, -1);
    EXPECT_TRUE(wp.m_fWatch);
    EXPECT_EQ(wp.GetState(), PS_NOT_INITIALIZED);
    EXPECT_FALSE(wp.m_fEnabled);
    EXPECT_EQ(wp.m_csUniqueName, "kept");
}

TEST(WatchedProcess, IsRunningFollowsTheRealProcess)
{
    CWatchedProcess wp;
    EXPECT_FALSE(wp.IsRunning());
    wp.SetCommandLine("\"" + GetChildProcPath() + "\" -sleep 200");
    wp.m_dwConsoleFlags = DETACHED_PROCESS;
    ASSERT_TRUE(wp.Create());
    EXPECT_TRUE(wp.IsRunning());
    EXPECT_EQ(::WaitForSingleObject(wp.m_processinfo.hProcess, 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(wp.IsRunning());
    EXPECT_FALSE(wp.IsExternalTemplate());
}
