// The child-process wrapper, with real child processes (childproc.exe).
#include <gtest/gtest.h>

#include <stdlib.h>

#include "common/childproc.h"
#include "common/filestuf.h"
#include "helpers/childpath.h"
#include "helpers/recordfailures.h"
#include "test_app.h"

namespace {

// A child process that is killed when the test ends, whatever happened.
class CTestChild : public CChildProcess
{
public:
    virtual ~CTestChild()
    {
        if (m_processinfo.hProcess != NULL && ::WaitForSingleObject(m_processinfo.hProcess, 0) != WAIT_OBJECT_0) {
            ::TerminateProcess(m_processinfo.hProcess, 1);
            ::WaitForSingleObject(m_processinfo.hProcess, 5000);
        }
    }
};

// A directory of its own for each test, removed with its files.
class CTempDir
{
public:
    CTempDir()
    {
        char szTemp[MAX_PATH];
        ::GetTempPathA(sizeof szTemp, szTemp);
        static LONG s_cDirs = 0;
        m_csPath = StrFormat("%sovrin_childproc_%lu_%ld", szTemp, ::GetCurrentProcessId(),
                             ::InterlockedIncrement(&s_cDirs));
        ::CreateDirectoryA(m_csPath.c_str(), NULL);
    }
    ~CTempDir()
    {
        WIN32_FIND_DATAA fd;
        HANDLE hFind = ::FindFirstFileA((m_csPath + "\\*").c_str(), &fd);
        if (hFind != INVALID_HANDLE_VALUE) {
            do {
                if (strcmp(fd.cFileName, ".") != 0 && strcmp(fd.cFileName, "..") != 0)
                    ::DeleteFileA((m_csPath + "\\" + fd.cFileName).c_str());
            } while (::FindNextFileA(hFind, &fd));
            ::FindClose(hFind);
        }
        ::RemoveDirectoryA(m_csPath.c_str());
    }
    std::string File(const char* pszName) const { return m_csPath + "\\" + pszName; }
    std::string m_csPath;
};

std::string ReadWholeFile(const std::string& csPath)
{
    std::string csText;
    HANDLE hFile = ::CreateFileA(csPath.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return "(missing)";
    char ach[4096];
    DWORD cbRead = 0;
    while (::ReadFile(hFile, ach, sizeof ach, &cbRead, NULL) && cbRead > 0)
        csText.append(ach, cbRead);
    ::CloseHandle(hFile);
    return csText;
}

// Waits (bounded) for a file that a running child writes.
std::string WaitForFile(const std::string& csPath)
{
    for (int i = 0; i < 500 && ::GetFileAttributesA(csPath.c_str()) == INVALID_FILE_ATTRIBUTES; i++)
        ::Sleep(10);
    return ReadWholeFile(csPath);
}

std::string Quoted(const std::string& cs)
{
    return "\"" + cs + "\"";
}

std::string ChildCommand(const std::string& csArguments)
{
    return Quoted(GetChildProcPath()) + " " + csArguments;
}

// Waits for the end of a child with a bound, then reads its exit code.
DWORD ExitCodeOf(CChildProcess& child)
{
    EXPECT_TRUE(child.Wait(10000));
    return child.WaitForExitCode();
}

}  // namespace

// ---- Names and the call's arguments ---------------------------------------

TEST(ChildProcessNames, GetExeNameReadsTheApplicationNameOrTheFirstWordOfTheCommandLine)
{
    CChildProcess child;
    child.SetCommandLine("  \"c:\\a b\\x.exe\" -v");
    EXPECT_EQ(child.GetExeName(), "c:\\a b\\x.exe");
    child.SetCommandLine("x.exe -v");
    EXPECT_EQ(child.GetExeName(), "x.exe");
    child.SetCommandLine("x.exe");
    EXPECT_EQ(child.GetExeName(), "x.exe");
    child.SetCommandLine("\"x.exe");
    EXPECT_EQ(child.GetExeName(), "");
    child.SetCommandLine("");
    EXPECT_EQ(child.GetExeName(), "");
    child.SetCommandLine("   ");
    EXPECT_EQ(child.GetExeName(), "");
    child.m_csApplicationName = "c:\\app.exe";
    EXPECT_EQ(child.GetExeName(), "c:\\app.exe");
    child.SetCommandLine("y.exe");
    EXPECT_EQ(child.m_csApplicationName, "");
}

TEST(ChildProcessNames, TheApplicationNameIsQuotedForCreateButNotForUsers)
{
    CChildProcess child;
    child.m_csApplicationName = "c:\\a b\\x.exe";
    child.m_csCommandLine = "-v";
    EXPECT_EQ(child.BuildCreateCommandLine(), "\"c:\\a b\\x.exe\" -v");
    EXPECT_EQ(child.GetFullCommandLine(), "c:\\a b\\x.exe -v");
    child.SetCommandLine("x.exe -v");
    EXPECT_EQ(child.BuildCreateCommandLine(), "x.exe -v");
    EXPECT_EQ(child.GetFullCommandLine(), "x.exe -v");
}

TEST(ChildProcessNames, TheEnvironmentBlockIsEveryStringWithItsNulThenOneMore)
{
    CChildProcess child;
    EXPECT_EQ(child.BuildEnvironmentBlock(), "");
    child.m_asEnvironment = {"A=1", "B=2"};
    EXPECT_EQ(child.BuildEnvironmentBlock(), std::string("A=1\0B=2\0\0", 9));
}

TEST(ChildProcessNames, DefaultsAndResetKeepOnlyTheNames)
{
    CChildProcess child;
    EXPECT_EQ(child.m_dwConsoleFlags, (DWORD)CREATE_NEW_CONSOLE);
    EXPECT_EQ(child.m_dwGroupFlags, 0u);
    EXPECT_EQ(child.m_dwPriorityClass, 0u);
    EXPECT_EQ(child.m_processinfo.hProcess, (HANDLE)NULL);
    EXPECT_EQ(child.m_phWaitHandle, &child.m_processinfo.hProcess);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    ::GetStartupInfoA(&si);
    EXPECT_EQ(child.m_startupinfo.dwFlags, si.dwFlags);

    child.m_csApplicationName = "app.exe";
    child.m_csCommandLine = "-x";
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    child.m_dwGroupFlags = CREATE_NEW_PROCESS_GROUP;
    child.m_dwPriorityClass = IDLE_PRIORITY_CLASS;
    child.m_csTitle = "T";
    child.m_asEnvironment = {"A=1"};
    child.m_csCurrentDirectory = "c:\\";
    child.m_startupinfo.dwX = 123;
    child.m_startupinfo.dwFlags |= STARTF_USEPOSITION;
    child.Reset();
    EXPECT_EQ(child.m_csApplicationName, "app.exe");
    EXPECT_EQ(child.m_csCommandLine, "-x");
    EXPECT_EQ(child.m_dwConsoleFlags, (DWORD)CREATE_NEW_CONSOLE);
    EXPECT_EQ(child.m_dwGroupFlags, 0u);
    EXPECT_EQ(child.m_dwPriorityClass, 0u);
    EXPECT_EQ(child.m_csTitle, "");
    EXPECT_TRUE(child.m_asEnvironment.empty());
    EXPECT_EQ(child.m_csCurrentDirectory, "");
    EXPECT_EQ(child.m_startupinfo.dwFlags, si.dwFlags);
    EXPECT_EQ(child.m_startupinfo.dwX, si.dwX);
}

// ---- Real children ------------------------------------------------------------

class ChildConsoleFlagsTest : public ::testing::TestWithParam<DWORD>
{
};

TEST_P(ChildConsoleFlagsTest, TheChildRunsAndItsExitCodeIsRead)
{
    CTempDir dir;
    CTestChild child;
    child.SetCommandLine(ChildCommand("-pidfile " + Quoted(dir.File("pid")) + " -exit 42"));
    child.m_dwConsoleFlags = GetParam();
    child.m_dwGroupFlags = CREATE_NEW_PROCESS_GROUP;
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    EXPECT_NE(child.m_processinfo.hThread, (HANDLE)NULL);
    EXPECT_EQ(ExitCodeOf(child), 42u);
    EXPECT_EQ(ReadWholeFile(dir.File("pid")), StrFormat("%lu", child.m_processinfo.dwProcessId));
    child.CloseHandles();
    EXPECT_EQ(child.m_processinfo.hProcess, (HANDLE)NULL);
    EXPECT_EQ(child.m_processinfo.hThread, (HANDLE)NULL);
    EXPECT_EQ(child.m_processinfo.dwProcessId, 0u);
}

INSTANTIATE_TEST_SUITE_P(Flags, ChildConsoleFlagsTest,
                         ::testing::Values((DWORD)CREATE_NEW_CONSOLE, (DWORD)DETACHED_PROCESS, (DWORD)0));

TEST(ChildProcess, TheEnvironmentBlockAndTheWorkingDirectoryReachTheChild)
{
    CTempDir dir;
    CTestChild child;
    child.SetCommandLine(ChildCommand("-envfile " + Quoted(dir.File("env")) + " OVRIN_CHILD -envfile " +
                                      Quoted(dir.File("env2")) + " OVRIN_NOT_GIVEN -cwdfile " +
                                      Quoted(dir.File("cwd"))));
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    const char* pszSystemRoot = getenv("SystemRoot");
    child.m_asEnvironment = {"OVRIN_CHILD=hello world", std::string("SystemRoot=") + (pszSystemRoot ? pszSystemRoot : "")};
    child.m_csCurrentDirectory = dir.m_csPath;
    ::SetEnvironmentVariableA("OVRIN_NOT_GIVEN", "inherited only without a block");
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    EXPECT_EQ(ExitCodeOf(child), 0u);
    EXPECT_EQ(ReadWholeFile(dir.File("env")), "hello world");
    EXPECT_EQ(ReadWholeFile(dir.File("env2")), "(unset)");
    EXPECT_TRUE(StrIEqual(RemoveTrailingBackslashes(ReadWholeFile(dir.File("cwd"))), dir.m_csPath))
        << ReadWholeFile(dir.File("cwd"));

    // Without a block the child inherits this process's environment.
    child.Reset();
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    EXPECT_EQ(ExitCodeOf(child), 0u);
    EXPECT_EQ(ReadWholeFile(dir.File("env2")), "inherited only without a block");
    ::SetEnvironmentVariableA("OVRIN_NOT_GIVEN", NULL);
}

TEST(ChildProcess, TheApplicationNameIsPassedBothWaysAndTraced)
{
    CTempDir dir;
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    CTestChild child;
    child.m_csApplicationName = GetChildProcPath();
    child.m_csCommandLine = "-argsfile " + Quoted(dir.File("args")) + " -exit 4";
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    EXPECT_EQ(ExitCodeOf(child), 4u);
    const std::string csPassed = Quoted(GetChildProcPath()) + " " + child.m_csCommandLine;
    EXPECT_EQ(ReadWholeFile(dir.File("args")), csPassed);
    EXPECT_EQ(capture.Text(), "Creating the process " + GetChildProcPath() + " with command line arguments '" +
                                  csPassed + "'\n");

    capture.Clear();
    CTestChild plain;
    plain.SetCommandLine(ChildCommand("-exit 5"));
    plain.m_dwConsoleFlags = DETACHED_PROCESS;
    ASSERT_NE(plain.Create(), FALSE) << LastErrorText();
    EXPECT_EQ(ExitCodeOf(plain), 5u);
    EXPECT_EQ(capture.Text(), "Creating the process '" + ChildCommand("-exit 5") + "'\n");
}

TEST(ChildProcess, AMultiplexedWaitFiresWhenTheChildEnds)
{
    CTestChild child;
    child.SetCommandLine(ChildCommand("-sleep 100 -exit 5"));
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    CKernelEvent evQuit(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    CWaitObjectArray apwo = {&evQuit, &child};
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 10000), &child);
    EXPECT_EQ(child.WaitForExitCode(), 5u);
    EXPECT_EQ(child.m_processinfo.hProcess != NULL, true);
}

TEST(ChildProcess, TerminateEndsTheChildWithTheGivenCodeAndIsSilentOnceItEnded)
{
    CTempDir dir;
    CTestChild child;
    child.SetCommandLine(ChildCommand("-ignorectrl -pidfile " + Quoted(dir.File("pid")) + " -forever"));
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    EXPECT_NE(WaitForFile(dir.File("pid")), "(missing)");
    EXPECT_FALSE(child.Wait(0));
    CRecordFailures failures;
    child.Terminate(9);
    EXPECT_EQ(ExitCodeOf(child), 9u);
    child.Terminate(10);   // ended already: access denied, accepted silently
    EXPECT_EQ(child.WaitForExitCode(), 9u);
    EXPECT_EQ(failures.Count(), 0u) << failures.Texts();
}

TEST(ChildProcess, TheCrashCodeIsTheExitCode)
{
    CTestChild child;
    child.SetCommandLine(ChildCommand("-crash"));
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    EXPECT_EQ(ExitCodeOf(child), 0xC0000005u);
}

TEST(ChildProcess, AFailedCreateReturnsFalseWithTheErrorAndKeepsEverything)
{
    CTestChild child;
    child.SetCommandLine("c:\\no\\such\\program.exe -x");
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    child.m_asEnvironment = {"A=1"};
    EXPECT_EQ(child.Create(), FALSE);
    const DWORD dwError = ::GetLastError();
    EXPECT_TRUE(dwError == ERROR_PATH_NOT_FOUND || dwError == ERROR_FILE_NOT_FOUND) << dwError;
    EXPECT_EQ(child.m_processinfo.hProcess, (HANDLE)NULL);
    EXPECT_EQ(child.m_csCommandLine, "c:\\no\\such\\program.exe -x");
    EXPECT_EQ(child.m_asEnvironment.size(), 1u);
    child.SetCommandLine(ChildCommand("-exit 6"));
    child.m_asEnvironment.clear();
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    EXPECT_EQ(ExitCodeOf(child), 6u);
}

TEST(ChildProcess, CreatingTwiceIsReportedAndLeavesTheFirstChildAlone)
{
    CTestChild child;
    child.SetCommandLine(ChildCommand("-forever"));
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    const PROCESS_INFORMATION first = child.m_processinfo;
    {
        CRecordFailures failures;
        CStderrCapture capture;
        EXPECT_EQ(child.Create(), FALSE);
        EXPECT_TRUE(failures.Has("ASSERT_NULL(m_processinfo.hProcess)")) << failures.Texts();
    }
    EXPECT_EQ(child.m_processinfo.hProcess, first.hProcess);
    EXPECT_EQ(child.m_processinfo.dwProcessId, first.dwProcessId);
    child.Terminate(0);
    EXPECT_EQ(ExitCodeOf(child), 0u);
}

TEST(ChildProcess, WaitingForAnExitCodeWithoutAProcessIsReported)
{
    CChildProcess child;
    CRecordFailures failures;
    CStderrCapture capture;
    EXPECT_EQ(child.WaitForExitCode(), 0u);
    EXPECT_TRUE(failures.Has("ASSERT_NOT_NULL(m_processinfo.hProcess)")) << failures.Texts();
}

TEST(ChildProcess, TheTitleIsGivenOnlyWithANewConsole)
{
    CTestChild child;
    child.SetCommandLine(ChildCommand("-exit 0"));
    child.m_csTitle = "Ovrin test title";
    child.m_dwConsoleFlags = DETACHED_PROCESS;
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    EXPECT_EQ(child.m_startupinfo.lpTitle, nullptr);
    ExitCodeOf(child);
    child.CloseHandles();
    child.m_dwConsoleFlags = CREATE_NEW_CONSOLE;
    ASSERT_NE(child.Create(), FALSE) << LastErrorText();
    ASSERT_NE(child.m_startupinfo.lpTitle, nullptr);
    EXPECT_STREQ(child.m_startupinfo.lpTitle, "Ovrin test title");
    ExitCodeOf(child);
}

TEST(ChildProgram, CarriesItsVersionResource)
{
    const std::string csPath = GetChildProcPath();
    DWORD dwHandle = 0;
    DWORD cb = ::GetFileVersionInfoSizeA(csPath.c_str(), &dwHandle);
    ASSERT_GT(cb, 0u) << LastErrorText();
    std::vector<char> ab(cb);
    ASSERT_NE(::GetFileVersionInfoA(csPath.c_str(), 0, cb, ab.data()), FALSE);
    struct CTranslation
    {
        WORD wLanguage;
        WORD wCodePage;
    }* pTranslation = NULL;
    UINT cbValue = 0;
    ASSERT_NE(::VerQueryValueA(ab.data(), "\\VarFileInfo\\Translation", (void**)&pTranslation, &cbValue), FALSE);
    EXPECT_EQ(pTranslation->wLanguage, 0x0409);
    EXPECT_EQ(pTranslation->wCodePage, 1252);
    char* psz = NULL;
    ASSERT_NE(::VerQueryValueA(ab.data(), "\\StringFileInfo\\040904E4\\ProductVersion", (void**)&psz, &cbValue), FALSE);
    EXPECT_STREQ(psz, "2.0");
    ASSERT_NE(::VerQueryValueA(ab.data(), "\\StringFileInfo\\040904E4\\FileVersion", (void**)&psz, &cbValue), FALSE);
    EXPECT_STREQ(psz, "2.0.1.5");
}
