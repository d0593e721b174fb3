// ovrbench: benchmarks, soak and fuzz runs of the whole supervisor. It
// starts copies of Ovrin.exe (built beside it) on generated definition
// files, with copies of childproc.exe as the supervised processes, and
// prints its figures as min / median / p90 / max.
//
// Usage: ovrbench [run...] [-quick] [-seed N] [-idle SECONDS] [-soak SECONDS]
//                 [-records N] [-files N]
//   runs: bench (the default: parts baseline restart command startup idle
//         scale targets), parts, baseline, restart, command, startup, idle, scale, targets,
//         soak, fuzz (pipe and definition files), pipefuzz, deffuzz, all
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
          "        targets, soak, fuzz, pipefuzz, deffuzz, all\n",
          stderr);
    return 2;
}

void PrintSoak(const CSoakResult& result)
{
    PrintLine("crashes / restarts", StrFormat("%u / %u", (unsigned)result.cCrashes, (unsigned)result.cRestarts));
    PrintLine("crashes broadcast to the watching client", StrFormat("%u", (unsigned)result.cCrashBroadcasts));
    PrintLine("end to restart", FormatFigures(result.figRestart));
    PrintLine("client sessions / never reading", StrFormat("%u / %u", (unsigned)result.cClientSessions,
                                                            (unsigned)result.cSilentClients));
    PrintLine("handles at start / end", StrFormat("%lu / %lu", result.cHandlesStart, result.cHandlesEnd));
    PrintLine("private memory at start / end",
              FormatBytes(result.cbPrivateStart) + " / " + FormatBytes(result.cbPrivateEnd));
    PrintLine("processes left running", StrFormat("%u", (unsigned)result.cLeftRunning));
    PrintLine("result", result.fPassed ? "passed" : "FAILED: " + result.csFailure);
}

void PrintFuzz(const CFuzzResult& result)
{
    if (result.cRecords > 0) {
        PrintLine("records sent / reconnections",
                  StrFormat("%u / %u", (unsigned)result.cRecords, (unsigned)result.cReconnects));
    }
    if (result.cFiles > 0) {
        PrintLine("definition files / errors with a line / run",
                  StrFormat("%u / %u / %u", (unsigned)result.cFiles, (unsigned)result.cFileErrors,
                            (unsigned)result.cFilesStarted));
        PrintLine("planted errors found at their line", StrFormat("%u", (unsigned)result.cPlantedChecked));
    }
    PrintLine("result", result.fPassed ? "passed" : "FAILED: " + result.csFailure);
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
            options.fQuick = TRUE;
        } else if (csArg == "-seed" && fHasValue) {
            options.ullSeed = strtoull(argv[++i], NULL, 0);
        } else if (csArg == "-idle" && fHasValue) {
            options.dwIdleSeconds = (DWORD)strtoul(argv[++i], NULL, 10);
        } else if (csArg == "-soak" && fHasValue) {
            options.dwSoakSeconds = (DWORD)strtoul(argv[++i], NULL, 10);
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
    if (options.fQuick) {
        options.cRestarts = 20;
        options.cCreateRuns = 20;
        options.cCommandRepeats = 5;
        options.dwIdleSeconds = std::min<DWORD>(options.dwIdleSeconds, 10);
        options.dwSoakSeconds = std::min<DWORD>(options.dwSoakSeconds, 40);
        options.cFuzzRecords = 5000;
        options.cFuzzFiles = 30;
        options.cScaleProcesses = 200;
        options.cScaleClients = 20;
    }
    if (cRecords > 0)
        options.cFuzzRecords = cRecords;
    if (cFiles > 0)
        options.cFuzzFiles = cFiles;
    if (options.ullSeed == 0)
        options.ullSeed = (unsigned long long)NowTicks() ^ ((unsigned long long)::GetCurrentProcessId() << 32);
    if (setRuns.empty())
        setRuns.insert("bench");

    static const char* const s_apszKnown[] = {"bench",   "parts",    "baseline", "restart",  "command", "startup", "idle",
                                              "scale",   "targets", "soak",     "fuzz",     "pipefuzz", "deffuzz", "all"};
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
    printf("load at start %s; seed %llu%s\n", GetLoadText().c_str(), options.ullSeed,
           options.fQuick ? "; quick runs" : "");
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
    if (wants("soak", FALSE)) {
        PrintHeading(StrFormat("Soak: ten children crash every 100 ms for %lu s, clients come and go",
                               options.dwSoakSeconds));
        const LONGLONG llStart = NowTicks();
        CSoakResult result = RunSoak(options, options.dwSoakSeconds);
        PrintSoak(result);
        PrintLine("run time", StrFormat("%.0f s", MsSince(llStart) / 1000.0));
        fAllOk &= result.fPassed;
    }
    if (wants("fuzz", FALSE) || wants("pipefuzz", FALSE)) {
        PrintHeading(StrFormat("Fuzz: %lu random, truncated and oversized records from several clients",
                               options.cFuzzRecords));
        const LONGLONG llStart = NowTicks();
        CFuzzResult result = RunPipeFuzz(options, options.cFuzzRecords);
        PrintFuzz(result);
        PrintLine("run time", StrFormat("%.0f s", MsSince(llStart) / 1000.0));
        fAllOk &= result.fPassed;
    }
    if (wants("fuzz", FALSE) || wants("deffuzz", FALSE)) {
        PrintHeading(StrFormat("Fuzz: %lu random definition files", options.cFuzzFiles));
        const LONGLONG llStart = NowTicks();
        CFuzzResult result = RunDefinitionFuzz(options, options.cFuzzFiles);
        PrintFuzz(result);
        PrintLine("run time", StrFormat("%.0f s", MsSince(llStart) / 1000.0));
        fAllOk &= result.fPassed;
    }
    printf("\nload at end %s; %s\n", GetLoadText().c_str(), fAllOk ? "every check held" : "SOME CHECKS FAILED");
    return fAllOk ? 0 : 1;
}
