// The benchmark, soak and fuzz runs of the whole supervisor. Each run
// starts copies of Ovrin.exe under Wine (or Windows) on generated
// definition files, prints its figures and returns FALSE when something it
// checks went wrong (a lost restart, a missing broadcast, a process left
// running, a crash or hang of the supervisor). Targets are printed as met
// or missed; a missed target alone does not fail a run.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "benchutil.h"

struct CBenchOptions
{
    BOOL m_fQuick = FALSE;             // short runs (the test suite's)
    int m_cRestarts = 60;              // restarts timed by the restart run
    int m_cCreateRuns = 60;            // CreateProcess calls timed by the baseline
    int m_cCommandRepeats = 20;        // status commands per process count
    DWORD m_dwIdleSeconds = 60;
    DWORD m_dwSoakSeconds = 600;
    DWORD m_cFuzzRecords = 100000;
    DWORD m_cFuzzFiles = 300;
    int m_cScaleProcesses = 1000;
    int m_cScaleClients = 100;
    unsigned long long m_ullSeed = 0;  // 0: from the clock
};

// What the baseline measured, for the restart run's target.
struct CBaseline
{
    double m_dCreateCallMedian = 0;    // CreateProcess call, ms
    double m_dLaunchMedian = 0;        // CreateProcess call to the child's first stamp
    double m_dBareLoopMedian = 0;      // exit to next start with a bare wait-and-create loop
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
// Supervisor CPU time while ten lines crash at once, without and with BACKOFF.
BOOL RunBackoffCost(const CBenchOptions& options);
// Stop to handler and to "Stopped." per console kind, status answers
// during a stop all of lines that ignore requests, quit with 100 clients.
BOOL RunStops(const CBenchOptions& options);
// Supervisor CPU with 100 lines probed every 10 s against none, and a
// status answer while hung servers hold probes.
BOOL RunProbeCost(const CBenchOptions& options);
// Start-up, status, quit, restart gap, idle CPU and memory at scale, each
// beside a floor measured in the same run.
BOOL RunTargets(const CBenchOptions& options);

// Soak and fuzz; their results are also what the test suite checks.
struct CSoakResult
{
    BOOL m_fPassed = FALSE;
    size_t m_cCrashes = 0;             // ends seen in the children's stamps
    size_t m_cRestarts = 0;            // starts after the first of each line
    size_t m_cUnrestarted = 0;         // crashes with no start after them (more than one per line)
    size_t m_cCrashBroadcasts = 0;     // "has ended" texts the watching client received
    size_t m_cClientSessions = 0;
    size_t m_cSilentClients = 0;       // connected, asked, never read
    size_t m_cReloads = 0;             // reloads answered with their changes
    size_t m_cReloadsRefused = 0;      // of the file as it was written whole: must stay 0
    CFigures m_figRestart;             // each end to the next start, ms
    size_t m_cLeftRunning = 0;
    DWORD m_cHandlesStart = 0, m_cHandlesEnd = 0;
    SIZE_T m_cbPrivateStart = 0, m_cbPrivateEnd = 0;
    std::string m_csFailure;
};
CSoakResult RunSoak(const CBenchOptions& options, DWORD dwSeconds);

struct CFuzzResult
{
    BOOL m_fPassed = FALSE;
    size_t m_cRecords = 0;             // pipe records sent
    size_t m_cReconnects = 0;
    size_t m_cFiles = 0;               // definition files tried
    size_t m_cFileErrors = 0;          // of them, reported as errors with a line
    size_t m_cFilesStarted = 0;        // of them, accepted and run
    size_t m_cPlantedChecked = 0;      // planted errors found at their line
    std::string m_csFailure;
};
// Records over the pipe from several clients against a running supervisor.
CFuzzResult RunPipeFuzz(const CBenchOptions& options, DWORD cRecords);
// The attack shapes against the control pipe (bench/attacks.cpp).
struct CAttackResult
{
    BOOL m_fPassed = FALSE;
    size_t m_cTinyMessages = 0;        // empty and one-byte messages taken
    size_t m_cHugeRefused = 0;         // huge-message connections the server closed
    size_t m_cBusyOverSecond = 0;      // silent clients that waited over a second
    size_t m_cRefused = 0;             // supervisors refused at start (name held)
    std::vector<double> m_adStatusMs;  // connect + status answer after each shape
    SIZE_T m_cbPrivateStart = 0, m_cbPrivateEnd = 0;
    std::string m_csFailure;
};
CAttackResult RunPipeAttacks(const CBenchOptions& options);
// Random definition files, each run by its own supervisor; the debugger
// pipe's listener (dbglisten.exe) shows the error messages.
CFuzzResult RunDefinitionFuzz(const CBenchOptions& options, DWORD cFiles);
