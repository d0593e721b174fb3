// Running a real program from a test: its standard input is given, its
// standard output and error are captured, every wait is bounded and the
// process is killed if it outlives its time.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

struct CRunResult
{
    BOOL fStarted = FALSE;
    BOOL fTimedOut = FALSE;
    DWORD dwExitCode = 0;
    std::string csOut;
    std::string csErr;
};

// Runs the command line in csDirectory (empty: the current one) with csInput
// on its standard input (closed afterwards) and waits up to dwTimeoutMs.
CRunResult RunProgram(const std::string& csCommandLine, const std::string& csInput, DWORD dwTimeoutMs,
                      const std::string& csDirectory = std::string());

// A fresh empty directory under the temporary directory.
std::string MakeTempDirectory(const std::string& csPrefix);
// Deletes a directory and the files in it (one level).
void RemoveDirectoryTree(const std::string& csDirectory);
// Copies the built Ovrin.exe into csDirectory under csName; returns the new path.
std::string CopyOvrinTo(const std::string& csDirectory, const std::string& csName);
// The directory of the running test executable, with a trailing backslash.
std::string GetTestDirectory();
BOOL WriteTextFile(const std::string& csPath, const std::string& csText);
BOOL ReadTextFile(const std::string& csPath, std::string& csText);
// Splits text into lines at LF (a CR before it is removed).
std::vector<std::string> SplitLines(const std::string& csText);
