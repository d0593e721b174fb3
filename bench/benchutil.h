// Pieces shared by the benchmark, soak and fuzz runs: sample figures, what
// the driver can read of another process and the stamp files the child
// program writes.
// Everything here may be called from any thread.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "common/strutil.h"
#include "e2e_util.h"
#include "ovrin_e2e.h"

// min / median / p90 / max of a sample (nearest rank).
struct CFigures
{
    size_t m_cSamples = 0;
    double m_dMin = 0, m_dMedian = 0, m_dP90 = 0, m_dMax = 0;
};
CFigures ComputeFigures(std::vector<double> adSamples);
// "min 1.23  median 2.34  p90 3.45  max 4.56 ms  (n=60)"
std::string FormatFigures(const CFigures& figures, const char* pszUnit = "ms");
// One line of the report: label padded to a column, then the text.
void PrintLine(const std::string& csLabel, const std::string& csText);
void PrintHeading(const std::string& csTitle);

// The load of the machine (Linux load averages, read through Wine's Z:
// drive); "unknown" when they cannot be read.
std::string GetLoadText();
// A line about the machine: processor, cores, memory, Wine version.
std::string GetMachineText();

// What the driver reads of another process. Each f...Ok says whether that
// figure could be had.
struct CProcessUsage
{
    BOOL m_fCpuOk = FALSE;
    double m_dCpuMs = 0;          // kernel + user time
    BOOL m_fMemoryOk = FALSE;
    SIZE_T m_cbPrivate = 0;       // private memory
    BOOL m_fHandlesOk = FALSE;
    DWORD m_cHandles = 0;
};

// Reads the figures of one process. On Windows they come from
// GetProcessTimes, GetProcessMemoryInfo (PrivateUsage) and
// GetProcessHandleCount. Wine 8.0 answers those three for another process
// with zeros (measured: ovrbench prints what they answer), so under Wine
// the figures come from the unix process behind it: CPU time from
// /proc/PID/stat (in steps of 10 ms), private memory as its resident anonymous memory
// (RssAnon of /proc/PID/status), and the handle count from the system
// handle list (NtQuerySystemInformation), which Wine does keep.
class CProcessProbe
{
public:
    CProcessProbe() : m_hProcess(NULL), m_dwProcessId(0), m_fWine(FALSE), m_dwUnixPid(0) {}
    // csExePath: the process's executable as it was started, by which the
    // unix process is found under Wine.
    BOOL Open(HANDLE hProcess, DWORD dwProcessId, const std::string& csExePath);
    CProcessUsage Read() const;
    // What the three Win32 calls answer for this process.
    CProcessUsage ReadWin32() const;
    // Where the figures come from, for the report.
    std::string DescribeSource() const;

private:
    HANDLE m_hProcess;   // not owned
    DWORD m_dwProcessId;
    BOOL m_fWine;
    DWORD m_dwUnixPid;
};
BOOL IsRunningOnWine();
std::string FormatBytes(SIZE_T cb);

// A supervisor run whose CPU time, private memory and handle count the
// benchmarks read.
class CProbedRun : public COvrinProcess
{
public:
    const CProcessProbe& GetProbe();
    CProcessUsage ReadUsage() { return GetProbe().Read(); }

private:
    CProcessProbe m_probe;
    BOOL m_fProbeOpen = FALSE;
};
// Asks the supervisor of run to quit and cleans up after it: TRUE when it
// ended within dwTimeoutMs (with exit code 0, if fCheckExitCode) and left
// no child running; otherwise prints what went wrong.
BOOL EndRun(CProbedRun& run, DWORD dwTimeoutMs, BOOL fCheckExitCode = FALSE);

// One line of a stamp file (childproc.exe -stampfile).
struct CStamp
{
    BOOL m_fStart = FALSE;
    DWORD m_dwProcessId = 0;
    LONGLONG m_llTicks = 0;
};
std::vector<CStamp> ReadStamps(const std::string& csPath);
// How many "start" lines the file holds.
size_t CountStampStarts(const std::string& csPath);
// The interval from each instance's end to the next instance's start, in
// ms, for the stamps of a line whose instances run one after the other.
std::vector<double> EndToStartIntervals(const std::vector<CStamp>& aStamps);

// Small random numbers for the soak and the fuzz (xorshift; one per thread).
class CRandom
{
public:
    explicit CRandom(unsigned long long ullSeed) : m_ullState(ullSeed ? ullSeed : 0x9E3779B97F4A7C15ull) {}
    unsigned long long Next();
    // 0 .. nRange - 1.
    DWORD Below(DWORD nRange) { return nRange == 0 ? 0 : (DWORD)(Next() % nRange); }
    BOOL Chance(DWORD nPercent) { return Below(100) < nPercent; }

private:
    unsigned long long m_ullState;
};

class CMessagePipe;
class CPipeInstance;
class CTestClient;
// A plain message-pipe server named after csName with buffers of cbBuffers
// bytes each way, and a client connected to it. FALSE when they did not
// connect within 5 s.
BOOL ConnectPlainServer(const std::string& csName, DWORD cbBuffers, CMessagePipe& pipe, CPipeInstance& instance,
                        CTestClient& client);
