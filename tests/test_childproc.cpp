// The child-process wrapper, with real child processes (childproc.exe).
#include <stdlib.h>

#include "common/childproc.h"
#include "common/filestuf.h"
#include "helpers/childpath.h"
#include "record_failures.h"
#include "test_util.h"
#include "test_app.h"

namespace {

std::string ChildCommand(const std::string& csArguments)
{
    return "\"" + GetChildProcPath() + "\" " + csArguments;
}

}  // namespace

class ChildConsoleFlagsTest : public ::testing::TestWithParam<DWORD>
{
};

TEST_P(ChildConsoleFlagsTest, TheChildRunsAndItsExitCodeIsRead)
{
    CTempDir dir;
    CTestChild child(ChildCommand("-pidfile \"" + dir.File("pid") + "\" -exit 42"));
    child.m_dwConsoleFlags = GetParam();
    child.m_dwGroupFlags = CREATE_NEW_PROCESS_GROUP;
    ASSERT_TRUE(child.Create()) << LastErrorText();
    EXPECT_EQ(child.ExitCode(), 42u);
    EXPECT_EQ(dir.Text("pid"), std::to_string(child.m_processinfo.dwProcessId));
    child.CloseHandles();
    EXPECT_EQ(child.m_processinfo.hProcess, (HANDLE)NULL);
    EXPECT_EQ(child.m_processinfo.hThread, (HANDLE)NULL);
}

INSTANTIATE_TEST_SUITE_P(Flags, ChildConsoleFlagsTest,
                         ::testing::Values((DWORD)CREATE_NEW_CONSOLE, (DWORD)DETACHED_PROCESS, (DWORD)0));

TEST(ChildProcess, TheEnvironmentBlockAndTheWorkingDirectoryReachTheChild)
{
    CTempDir dir;
    CTestChild child(ChildCommand("-envfile \"" + dir.File("env") + "\" OVRIN_CHILD -envfile \"" + dir.File("env2") +
                     "\" OVRIN_NOT_GIVEN -cwdfile \"" + dir.File("cwd") + "\""));
    const char* pszSystemRoot = getenv("SystemRoot");
    child.m_asEnvironment = {"OVRIN_CHILD=hello world", std::string("SystemRoot=") + (pszSystemRoot ? pszSystemRoot : "")};
    child.m_csCurrentDirectory = dir.m_csPath;
    ::SetEnvironmentVariableA("OVRIN_NOT_GIVEN", "inherited only without a block");
    ASSERT_TRUE(child.Create()) << LastErrorText();
    EXPECT_EQ(child.ExitCode(), 0u);
    EXPECT_EQ(dir.Text("env"), "hello world");
    EXPECT_EQ(dir.Text("env2"), "(unset)");
    EXPECT_TRUE(StrIEqual(RemoveTrailingBackslashes(dir.Text("cwd")), dir.m_csPath)) << dir.Text("cwd");

    // Without a block the child inherits this process's environment.
    child.Reset();
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    ASSERT_TRUE(child.Create()) << LastErrorText();
    EXPECT_EQ(child.ExitCode(), 0u);
    EXPECT_EQ(dir.Text("env2"), "inherited only without a block");
    ::SetEnvironmentVariableA("OVRIN_NOT_GIVEN", NULL);
}

TEST(ChildProcess, AMultiplexedWaitFiresWhenTheChildEndsAndACrashCodeIsTheExitCode)
{
    CTestChild child(ChildCommand("-sleep 100 -crash"));
    CKernelEvent evQuit(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    ASSERT_TRUE(child.Create()) << LastErrorText();
    CWaitObjectArray apwo = {&evQuit, &child};
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 10000), &child);
    EXPECT_EQ(child.WaitForExitCode(), 0xC0000005u);
}

TEST(ChildProcess, TerminateEndsTheChildWithTheGivenCodeAndIsSilentOnceItEnded)
{
    CTempDir dir;
    CTestChild child(ChildCommand("-ignorectrl -pidfile \"" + dir.File("pid") + "\" -forever"));
    ASSERT_TRUE(child.Create()) << LastErrorText();
    for (int i = 0; i < 500 && dir.Text("pid") == "(missing)"; i++)
        ::Sleep(10);
    EXPECT_FALSE(child.Wait(0));
    CRecordFailures failures;
    child.Terminate(9);
    EXPECT_EQ(child.ExitCode(), 9u);
    child.Terminate(10);   // ended already: access denied, accepted silently
    EXPECT_EQ(child.WaitForExitCode(), 9u);
    EXPECT_EQ(failures.Texts(), "");
}
