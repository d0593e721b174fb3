// The cost of health probes: the supervisor's CPU with 100 lines probed
// every 10 s (HTTP, each child answering on a port of its own) against the
// same 100 lines without probes, and what a probe of a hung server costs
// the rest (a status answer while probes wait out their time-out).
#include <stdio.h>
#include <string.h>

#include "benchmarks.h"
#include "benchutil.h"

namespace {

const int c_cProbedLines = 100;
const int c_nFirstPort = 48100;
const char c_szPrefix[] = "bprb";

std::string ChildName(int i)
{
    return StrFormat("%s%04d.exe", c_szPrefix, i);
}

// Every child listens and answers; with a probe kind ("tcp" or "http")
// each line is probed, and with fHung every tenth child stops answering at
// once (its HTTP probes wait out HEALTHTIMEOUT).
std::string Definition(const char* pszKind, BOOL fHung)
{
    const BOOL fProbed = *pszKind != '\0';
    std::string csDefinition;
    for (int i = 1; i <= c_cProbedLines; i++) {
        const int nPort = c_nFirstPort + i;
        std::string csLine = StrFormat("-noconsole \"%s -listen %d 0%s -forever\"", ChildName(i).c_str(), nPort,
                                       fHung && i % 10 == 0 ? " -hang 0" : "");
        if (fProbed)
            csLine += StrFormat(strcmp(pszKind, "tcp") == 0 ? " -health tcp:%d" : " -health http://127.0.0.1:%d/",
                                nPort) +
                      " -healthinterval 10 -healthfailures 1000";
        csDefinition += csLine + "\n";
    }
    return csDefinition;
}

// The supervisor's CPU over dwSeconds once its lines run, in % of one
// core; a negative figure when it could not be read.
double MeasureCpu(const char* pszExeName, const char* pszKind, BOOL fHung, DWORD dwSeconds, double* pdStatusMs)
{
    CProbedRun run;
    run.SetChildPrefix(c_szPrefix);
    if (!run.Prepare(pszExeName))
        return -1;
    KillProcessesWithPrefix(c_szPrefix);
    for (int i = 1; i <= c_cProbedLines; i++) {
        if (!run.CopyChild(ChildName(i)))
            return -1;
    }
    CTestClient client;
    if (!run.Launch(Definition(pszKind, fHung)) || !client.Connect(run.m_csExeName, 10000) ||
        !client.WaitForText("All services have been started.", 90000)) {
        printf("  FAILED: the children were not all started in time\n");
        EndRun(run, 60000);
        return -1;
    }
    // The first probes come one interval after each start.
    ::Sleep(2000);
    const CProcessUsage usageBefore = run.ReadUsage();
    const LONGLONG llBefore = NowTicks();
    ::Sleep(dwSeconds * 1000);
    const CProcessUsage usageAfter = run.ReadUsage();
    const double dElapsed = MsSince(llBefore);
    if (pdStatusMs != NULL) {
        client.TakeTexts();
        const LONGLONG llSent = NowTicks();
        *pdStatusMs = client.Send(MSG_STATUS) && client.WaitForText("Process " + ChildName(c_cProbedLines), 20000)
                          ? MsSince(llSent)
                          : -1;
    }
    client.Close();
    EndRun(run, 120000);
    if (!usageBefore.m_fCpuOk || !usageAfter.m_fCpuOk)
        return -1;
    return (usageAfter.m_dCpuMs - usageBefore.m_dCpuMs) / dElapsed * 100.0;
}

}  // namespace

BOOL RunProbeCost(const CBenchOptions& options)
{
    const DWORD dwSeconds = options.m_fQuick ? 20 : 60;
    PrintHeading(StrFormat("Health probes: %d lines probed over HTTP every 10 s against none, %lu s each",
                           c_cProbedLines, dwSeconds));
    const double dPlain = MeasureCpu("ovbprobe0.exe", "", FALSE, dwSeconds, NULL);
    const double dProbed = MeasureCpu("ovbprobe1.exe", "http", FALSE, dwSeconds, NULL);
    const double dTcp = MeasureCpu("ovbprobe2.exe", "tcp", FALSE, dwSeconds, NULL);
    double dStatusMs = -1;
    const double dHung = MeasureCpu("ovbprobe3.exe", "http", TRUE, dwSeconds, &dStatusMs);
    if (dPlain < 0 || dProbed < 0 || dTcp < 0 || dHung < 0) {
        PrintLine("supervisor CPU time", "not available");
        return FALSE;
    }
    PrintLine("without probes", StrFormat("%.3f %% of one core", dPlain));
    PrintLine("with HTTP probes", StrFormat("%.3f %% of one core", dProbed));
    PrintLine("  difference", StrFormat("%+.3f %% of one core; target: under 1 %%: %s", dProbed - dPlain,
                                        dProbed - dPlain < 1.0 ? "met" : "MISSED"));
    PrintLine("with TCP probes", StrFormat("%.3f %% of one core (%+.3f)", dTcp, dTcp - dPlain));
    PrintLine("with HTTP probes, 10 servers hung", StrFormat("%.3f %% of one core", dHung));
    PrintLine("  status of 100 lines meanwhile", dStatusMs < 0 ? std::string("no answer") : StrFormat("%.0f ms", dStatusMs));
    return dStatusMs >= 0;
}
