// What BACKOFF saves: the supervisor's CPU time while ten lines crash as
// soon as they start, restarted at once (RESTARTDELAY 0) without and with
// BACKOFF.
#include <stdio.h>

#include "benchmarks.h"
#include "benchutil.h"

namespace {

// The supervisor's CPU milliseconds over dwSeconds with ten crashing lines
// carrying pszOptions; negative when the run could not be made.
double MeasureCrashLoopCpu(const char* pszExeName, const char* pszPrefix, const char* pszOptions, DWORD dwSeconds)
{
    CProbedRun run;
    run.SetChildPrefix(pszPrefix);
    if (!run.Prepare(pszExeName))
        return -1;
    std::string csDefinition;
    for (int i = 1; i <= 10; i++) {
        const std::string csChild = StrFormat("%s%02d.exe", pszPrefix, i);
        if (!run.CopyChild(csChild))
            return -1;
        csDefinition += std::string("-noconsole -restartdelay 0 ") + pszOptions + " \"" + csChild + " -crash\"\n";
    }
    if (!run.Launch(csDefinition) || !run.WaitForLine("All services have been started.", 60000)) {
        run.Cleanup();
        return -1;
    }
    const CProcessUsage usageBefore = run.ReadUsage();
    ::Sleep(dwSeconds * 1000);
    const CProcessUsage usageAfter = run.ReadUsage();
    run.Quit();
    run.WaitForExit(60000);
    run.Cleanup();
    if (!usageBefore.m_fCpuOk || !usageAfter.m_fCpuOk)
        return -1;
    return usageAfter.m_dCpuMs - usageBefore.m_dCpuMs;
}

}  // namespace

BOOL RunBackoffCost(const CBenchOptions& options)
{
    const DWORD dwSeconds = options.m_fQuick ? 10 : 60;
    PrintHeading(StrFormat("Crash loop: ten lines that crash at once, RESTARTDELAY 0, %lu s", dwSeconds));
    const double dPlain = MeasureCrashLoopCpu("ovbloop.exe", "bclp", "", dwSeconds);
    const double dBackoff = MeasureCrashLoopCpu("ovbback.exe", "bclb", "-backoff 30", dwSeconds);
    if (dPlain < 0 || dBackoff < 0) {
        printf("  FAILED: a run could not be made or measured\n");
        return FALSE;
    }
    PrintLine("supervisor CPU without BACKOFF", StrFormat("%.1f s = %.1f %% of one core", dPlain / 1000.0,
                                                           dPlain / (dwSeconds * 10.0)));
    PrintLine("supervisor CPU with BACKOFF 30", StrFormat("%.1f s = %.1f %% of one core", dBackoff / 1000.0,
                                                           dBackoff / (dwSeconds * 10.0)));
    return TRUE;
}
