// Running real programs from tests and benchmarks: a program with its
// standard input given and its output captured (every wait bounded, the
// process killed if it outlives its time), scratch folders and files, the
// machine-wide clock, and ending processes by the name they were given.
// Everything here may be called from any thread.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "common/handle.h"

struct CRunResult
{
    BOOL m_fStarted = FALSE;
    BOOL m_fTimedOut = FALSE;
    DWORD m_dwExitCode = 0;
    std::string m_csOut;
    std::string m_csErr;
};

// Runs the command line in csDirectory (empty: the current one) with csInput
// on its standard input (closed afterwards) and waits up to dwTimeoutMs.
CRunResult RunProgram(const std::string& csCommandLine, const std::string& csInput, DWORD dwTimeoutMs,
                      const std::string& csDirectory = std::string());

// A pipe for a child's standard stream: the child inherits one end, and the
// end kept here (the read end when fParentReads) is not inherited.
void CreateChildPipe(CHandle& hRead, CHandle& hWrite, BOOL fParentReads, DWORD cbBuffer);
// Startup information that hands a child these standard handles.
STARTUPINFOA MakeStdHandlesStartupInfo(HANDLE hInput, HANDLE hOutput, HANDLE hError);

// A fresh empty directory under the temporary directory.
std::string MakeTempDirectory(const std::string& csPrefix);
// Deletes a directory and the files in it (one level).
void RemoveDirectoryTree(const std::string& csDirectory);
// Copies the child program (childproc.exe) into csDirectory as csName.
BOOL PlaceChild(const std::string& csDirectory, const std::string& csName);
// Copies the built Ovrin.exe into csDirectory under csName; returns the new path.
std::string CopyOvrinTo(const std::string& csDirectory, const std::string& csName);
// The directory of the running test executable, with a trailing backslash.
std::string GetTestDirectory();
BOOL WriteTextFile(const std::string& csPath, const std::string& csText);
BOOL ReadTextFile(const std::string& csPath, std::string& csText);
// Splits text into lines at LF (a CR before it is removed).
std::vector<std::string> SplitLines(const std::string& csText);
// The texts one a line, for failure messages.
std::string JoinLines(const std::vector<std::string>& acs);
// How many of the texts start with csPrefix.
size_t CountPrefixed(const std::vector<std::string>& acs, const std::string& csPrefix);
// Starts "csPath" csArgs detached, outside any supervisor; its process
// handle goes to hProcess. FALSE with the last error when it cannot.
BOOL StartDetached(const std::string& csPath, const std::string& csArgs, CHandle& hProcess);

// The performance counter, which every process of the machine shares (the
// child program's stamp files use it too), and its ticks in milliseconds.
LONGLONG NowTicks();
double TicksToMs(LONGLONG llTicks);
double MsSince(LONGLONG llTicks);

// Processes whose executable file name starts with csPrefix (without
// regard to case).
std::vector<DWORD> FindProcessesWithPrefix(const std::string& csPrefix);
// Terminates them and waits for each; returns how many there were.
size_t KillProcessesWithPrefix(const std::string& csPrefix);
