// The benchmark, soak and fuzz runs of the whole supervisor. Each run
// starts copies of Ovrin.exe under Wine (or Windows) on generated
// definition files, prints its figures and returns FALSE when something it
// checks went wrong (a lost restart, a missing broadcast, a process left
// running, a crash or hang of the supervisor). Targets are printed as met
// or missed; a missed target alone does not fail a run.
#pragma once

#include <windows.h>
#include <string>

#include "benchutil.h"

struct CBenchOptions
{
    BOOL fQuick = FALSE;             // short runs (the test suite's)
    int cRestarts = 60;              // restarts timed by the restart run
    int cCreateRuns = 60;            // CreateProcess calls timed by the baseline
    int cCommandRepeats = 20;        // status commands per process count
    DWORD dwIdleSeconds = 60;
    DWORD dwSoakSeconds = 600;
    DWORD cFuzzRecords = 100000;
    DWORD cFuzzFiles = 300;
    int cScaleProcesses = 1000;
    int cScaleClients = 100;
    unsigned long long ullSeed = 0;  // 0: from the clock
};

// What the baseline measured, for the restart run's target.
struct CBaseline
{
    double dCreateCallMedian = 0;    // CreateProcess call, ms
    double dLaunchMedian = 0;        // CreateProcess call to the child's first stamp
    double dBareLoopMedian = 0;      // exit to next start with a bare wait-and-create loop
};

// The costs of the pieces a status line, a broadcast and a monitor pass
// are made of, timed in the driver's own process.
BOOL RunParts(const CBenchOptions& options);
BOOL RunCreateProcessBaseline(const CBenchOptions& options, CBaseline& baseline);
BOOL RunRestartLatency(const CBenchOptions& options, const CBaseline& baseline);
BOOL RunCommandLatency(const CBenchOptions& options);
BOOL RunStartup(const CBenchOptions& options, const CBaseline& baseline);
BOOL RunIdleCost(const CBenchOptions& options);
BOOL RunScale(const CBenchOptions& options);
// Start-up, status, quit, restart gap, idle CPU and memory at scale, each
// beside a floor measured in the same run.
BOOL RunTargets(const CBenchOptions& options);

// Soak and fuzz; their results are also what the test suite checks.
struct CSoakResult
{
    BOOL fPassed = FALSE;
    size_t cCrashes = 0;             // ends seen in the children's stamps
    size_t cRestarts = 0;            // starts after the first of each line
    size_t cUnrestarted = 0;         // crashes with no start after them (more than one per line)
    size_t cCrashBroadcasts = 0;     // "has ended" texts the watching client received
    size_t cClientSessions = 0;
    size_t cSilentClients = 0;       // connected, asked, never read
    CFigures figRestart;             // each end to the next start, ms
    size_t cLeftRunning = 0;
    DWORD cHandlesStart = 0, cHandlesEnd = 0;
    SIZE_T cbPrivateStart = 0, cbPrivateEnd = 0;
    std::string csFailure;
};
CSoakResult RunSoak(const CBenchOptions& options, DWORD dwSeconds);

struct CFuzzResult
{
    BOOL fPassed = FALSE;
    size_t cRecords = 0;             // pipe records sent
    size_t cReconnects = 0;
    size_t cFiles = 0;               // definition files tried
    size_t cFileErrors = 0;          // of them, reported as errors with a line
    size_t cFilesStarted = 0;        // of them, accepted and run
    size_t cPlantedChecked = 0;      // planted errors found at their line
    std::string csFailure;
};
// Records over the pipe from several clients against a running supervisor.
CFuzzResult RunPipeFuzz(const CBenchOptions& options, DWORD cRecords);
// Random definition files, each run by its own supervisor; the debugger
// pipe's listener (dbglisten.exe) shows the error messages.
CFuzzResult RunDefinitionFuzz(const CBenchOptions& options, DWORD cFiles);
