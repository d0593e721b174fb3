// ovrbench: benchmarks, soak and fuzz runs of the whole supervisor. It
// starts copies of Ovrin.exe (built beside it) on generated definition
// files, with copies of childproc.exe as the supervised processes, and
// prints its figures as min / median / p90 / max.
//
// Usage: ovrbench [run...] [-quick] [-seed N] [-idle SECONDS] [-soak SECONDS]
//                 [-records N] [-files N]
//   runs: bench (the default: parts baseline restart command startup idle
//         scale targets stops probes), parts, baseline, restart, command, startup, idle, scale,
//         targets, stops, probes, soak, fuzz (pipe, definition files and attacks), pipefuzz, deffuzz,
//         backoff, attacks, all
// Exit code 0 when every run's checks held, 1 otherwise, 2 for a usage error.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "benchmarks.h"
#include "benchutil.h"

namespace {

int Usage()
{
    fputs("Usage: ovrbench [run...] [-quick] [-seed N] [-idle SECONDS] [-soak SECONDS] [-records N] [-files N]\n"
          "  runs: bench (default), parts, baseline, restart, command, startup, idle, scale,\n"
          "        targets, stops, probes, soak, fuzz, pipefuzz, deffuzz, backoff, attacks, all\n",
          stderr);
    return 2;
}

void PrintSoak(const CSoakResult& result)
{
    PrintLine("crashes / restarts", StrFormat("%u / %u", (unsigned)result.m_cCrashes, (unsigned)result.m_cRestarts));
    PrintLine("crashes broadcast to the watching client", StrFormat("%u", (unsigned)result.m_cCrashBroadcasts));
    PrintLine("end to restart", FormatFigures(result.m_figRestart));
    PrintLine("client sessions / never reading", StrFormat("%u / %u", (unsigned)result.m_cClientSessions,
                                                            (unsigned)result.m_cSilentClients));
    PrintLine("reloads / refused", StrFormat("%u / %u", (unsigned)result.m_cReloads, (unsigned)result.m_cReloadsRefused));
    PrintLine("handles at start / end", StrFormat("%lu / %lu", result.m_cHandlesStart, result.m_cHandlesEnd));
    PrintLine("private memory at start / end",
              FormatBytes(result.m_cbPrivateStart) + " / " + FormatBytes(result.m_cbPrivateEnd));
    PrintLine("processes left running", StrFormat("%u", (unsigned)result.m_cLeftRunning));
    PrintLine("result", result.m_fPassed ? "passed" : "FAILED: " + result.m_csFailure);
}

void PrintFuzz(const CFuzzResult& result)
{
    if (result.m_cRecords > 0) {
        PrintLine("records sent / reconnections",
                  StrFormat("%u / %u", (unsigned)result.m_cRecords, (unsigned)result.m_cReconnects));
    }
    if (result.m_cFiles > 0) {
        PrintLine("definition files / errors with a line / run",
                  StrFormat("%u / %u / %u", (unsigned)result.m_cFiles, (unsigned)result.m_cFileErrors,
                            (unsigned)result.m_cFilesStarted));
        PrintLine("planted errors found at their line", StrFormat("%u", (unsigned)result.m_cPlantedChecked));
    }
    PrintLine("result", result.m_fPassed ? "passed" : "FAILED: " + result.m_csFailure);
}

void PrintAttacks(const CAttackResult& result)
{
    PrintLine("tiny messages taken", StrFormat("%u", (unsigned)result.m_cTinyMessages));
    PrintLine("huge-message connections closed", StrFormat("%u of 4", (unsigned)result.m_cHugeRefused));
    PrintLine("silent clients waiting over 1 s", StrFormat("%u", (unsigned)result.m_cBusyOverSecond));
    PrintLine("supervisors refused at start", StrFormat("%u of 2", (unsigned)result.m_cRefused));
    PrintLine("connect + status after each", FormatFigures(ComputeFigures(result.m_adStatusMs)));
    PrintLine("private memory at start / end",
              FormatBytes(result.m_cbPrivateStart) + " / " + FormatBytes(result.m_cbPrivateEnd));
    PrintLine("result", result.m_fPassed ? "passed" : "FAILED: " + result.m_csFailure);
}

// A long run under its heading: its result's lines, then its wall time;
// TRUE when its checks held.
template <class TRun, class TResult>
BOOL RunTimed(const std::string& csHeading, TRun run, void (*pfnPrint)(const TResult&))
{
    PrintHeading(csHeading);
    const LONGLONG llStart = NowTicks();
    const TResult result = run();
    pfnPrint(result);
    PrintLine("run time", StrFormat("%.0f s", MsSince(llStart) / 1000.0));
    return result.m_fPassed;
}

}  // namespace

int main(int argc, char** argv)
{
    CBenchOptions options;
    std::set<std::string> setRuns;
    DWORD cRecords = 0, cFiles = 0;
    for (int i = 1; i < argc; i++) {
        const std::string csArg = argv[i];
        const BOOL fHasValue = i + 1 < argc;
        if (csArg == "-quick") {
            options.m_fQuick = TRUE;
        } else if (csArg == "-seed" && fHasValue) {
            options.m_ullSeed = strtoull(argv[++i], NULL, 0);
        } else if (csArg == "-idle" && fHasValue) {
            options.m_dwIdleSeconds = (DWORD)strtoul(argv[++i], NULL, 10);
        } else if (csArg == "-soak" && fHasValue) {
            options.m_dwSoakSeconds = (DWORD)strtoul(argv[++i], NULL, 10);
        } else if (csArg == "-records" && fHasValue) {
            cRecords = (DWORD)strtoul(argv[++i], NULL, 10);
        } else if (csArg == "-files" && fHasValue) {
            cFiles = (DWORD)strtoul(argv[++i], NULL, 10);
        } else if (csArg == "help" || csArg == "-?" || csArg == "-h") {
            Usage();
            return 0;
        } else if (csArg[0] != '-') {
            setRuns.insert(csArg);
        } else {
            return Usage();
        }
    }
    if (options.m_fQuick) {
        options.m_cRestarts = 20;
        options.m_cCreateRuns = 20;
        options.m_cCommandRepeats = 5;
        options.m_dwIdleSeconds = std::min<DWORD>(options.m_dwIdleSeconds, 10);
        options.m_dwSoakSeconds = std::min<DWORD>(options.m_dwSoakSeconds, 40);
        options.m_cFuzzRecords = 5000;
        options.m_cFuzzFiles = 30;
        options.m_cScaleProcesses = 200;
        options.m_cScaleClients = 20;
    }
    if (cRecords > 0)
        options.m_cFuzzRecords = cRecords;
    if (cFiles > 0)
        options.m_cFuzzFiles = cFiles;
    if (options.m_ullSeed == 0)
        options.m_ullSeed = (unsigned long long)NowTicks() ^ ((unsigned long long)::GetCurrentProcessId() << 32);
    if (setRuns.empty())
        setRuns.insert("bench");

    static const char* const s_apszKnown[] = {"bench",   "parts",    "baseline", "restart",  "command", "startup", "idle",
                                              "scale",   "targets",  "soak",     "fuzz",     "pipefuzz", "deffuzz", "backoff",
                                              "attacks", "stops", "probes", "all"};
    for (const std::string& csRun : setRuns) {
        BOOL fKnown = FALSE;
        for (const char* psz : s_apszKnown)
            fKnown = fKnown || csRun == psz;
        if (!fKnown)
            return Usage();
    }
    auto wants = [&](const char* pszRun, BOOL fInBench) {
        return setRuns.count(pszRun) || setRuns.count("all") || (fInBench && setRuns.count("bench"));
    };

    printf("Ovrin benchmarks on %s\n", GetMachineText().c_str());
    printf("load at start %s; seed %llu%s\n", GetLoadText().c_str(), options.m_ullSeed,
           options.m_fQuick ? "; quick runs" : "");
    fflush(stdout);

    BOOL fAllOk = TRUE;
    CBaseline baseline;
    if (wants("parts", TRUE))
        fAllOk &= RunParts(options);
    if (wants("baseline", TRUE) || wants("restart", TRUE) || wants("startup", TRUE))
        fAllOk &= RunCreateProcessBaseline(options, baseline);
    if (wants("restart", TRUE))
        fAllOk &= RunRestartLatency(options, baseline);
    if (wants("command", TRUE))
        fAllOk &= RunCommandLatency(options);
    if (wants("startup", TRUE))
        fAllOk &= RunStartup(options, baseline);
    if (wants("idle", TRUE))
        fAllOk &= RunIdleCost(options);
    if (wants("scale", TRUE))
        fAllOk &= RunScale(options);
    if (wants("targets", TRUE))
        fAllOk &= RunTargets(options);
    if (wants("stops", TRUE))
        fAllOk &= RunStops(options);
    if (wants("probes", TRUE))
        fAllOk &= RunProbeCost(options);
    if (wants("backoff", FALSE))
        fAllOk &= RunBackoffCost(options);
    if (wants("soak", FALSE)) {
        fAllOk &= RunTimed(StrFormat("Soak: ten children crash every 100 ms for %lu s, clients come and go, the file is reloaded",
                                     options.m_dwSoakSeconds),
                           [&] { return RunSoak(options, options.m_dwSoakSeconds); }, PrintSoak);
    }
    if (wants("fuzz", FALSE) || wants("pipefuzz", FALSE)) {
        fAllOk &= RunTimed(StrFormat("Fuzz: %lu random, truncated and oversized records from several clients",
                                     options.m_cFuzzRecords),
                           [&] { return RunPipeFuzz(options, options.m_cFuzzRecords); }, PrintFuzz);
    }
    if (wants("fuzz", FALSE) || wants("deffuzz", FALSE)) {
        fAllOk &= RunTimed(StrFormat("Fuzz: %lu random definition files", options.m_cFuzzFiles),
                           [&] { return RunDefinitionFuzz(options, options.m_cFuzzFiles); }, PrintFuzz);
    }
    if (wants("fuzz", FALSE) || wants("attacks", FALSE)) {
        fAllOk &= RunTimed("Attacks: tiny floods, huge messages, silent connections, names held by others",
                           [&] { return RunPipeAttacks(options); }, PrintAttacks);
    }
    printf("\nload at end %s; %s\n", GetLoadText().c_str(), fAllOk ? "every check held" : "SOME CHECKS FAILED");
    return fAllOk ? 0 : 1;
}
