// Small aids of the unit tests: a thread that runs a routine, a child
// process that ends with the test, and a temporary directory that goes with
// its files (link e2e_util.cpp for the last two).
#pragma once

#include <windows.h>
#include <functional>
#include <string>

#include "common/childproc.h"
#include "common/handle.h"
#include "e2e_util.h"
#include "test_app.h"

// Runs fn on a thread of its own; the destructor joins it (bounded).
class CTestThread
{
public:
    explicit CTestThread(std::function<void()> fn) : m_fn(std::move(fn))
    {
        m_hThread.Reset(::CreateThread(NULL, 0, Entry, this, 0, NULL));
    }
    ~CTestThread() { EXPECT_TRUE(Join(10000)); }
    BOOL Join(DWORD dwTimeout) { return ::WaitForSingleObject(m_hThread.Get(), dwTimeout) == WAIT_OBJECT_0; }

private:
    static DWORD WINAPI Entry(void* pv)
    {
        static_cast<CTestThread*>(pv)->m_fn();
        return 0;
    }
    std::function<void()> m_fn;
    CHandle m_hThread;
};

struct CTempDir
{
    ~CTempDir() { RemoveDirectoryTree(m_csPath); }
    std::string File(const std::string& csName) const { return m_csPath + "\\" + csName; }
    // The file's whole text, or "(missing)".
    std::string Text(const std::string& csName) const
    {
        std::string cs;
        return ReadTextFile(File(csName), cs) ? cs : "(missing)";
    }
    std::string m_csPath = MakeTempDirectory("ovrin_unit_");
};

// A detached child that is killed when the test ends, whatever happened.
struct CTestChild : CChildProcess
{
    explicit CTestChild(const std::string& csCommandLine = "")
    {
        SetCommandLine(csCommandLine);
        m_dwConsoleFlags = DETACHED_PROCESS;
    }
    virtual ~CTestChild()
    {
        if (m_processinfo.hProcess != NULL && !Wait(0)) {
            Terminate(1);
            Wait(5000);
        }
    }
    // Waits (bounded) for the end, then reads the exit code.
    DWORD ExitCode()
    {
        EXPECT_TRUE(Wait(10000));
        return WaitForExitCode();
    }
};
