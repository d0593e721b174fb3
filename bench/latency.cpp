// Latency runs: the CreateProcess baseline, restart latency and command
// latency (with the supervisor's private memory per process count).
#include <stdio.h>

#include "benchmarks.h"
#include "benchutil.h"
#include "e2e_util.h"

namespace {

// Instances started before this one are left out of the figures: the first
// runs load files into the cache.
const int c_cWarmup = 5;

std::string ChildName(const char* pszPrefix, int i)
{
    return StrFormat("%s%04d.exe", pszPrefix, i);
}

}  // namespace

BOOL RunCreateProcessBaseline(const CBenchOptions& options, CBaseline& baseline)
{
    PrintHeading("CreateProcess on this machine (childproc.exe, detached)");
    const std::string csDir = MakeTempDirectory("ovbench");
    const std::string csStamps = csDir + "\\bcp.stamps";
    if (!PlaceChild(csDir, "bcp.exe")) {
        printf("  could not place the child program in %s\n", csDir.c_str());
        return FALSE;
    }
    const std::string csCommandLine = "\"" + csDir + "\\bcp.exe\" -stampfile " + csStamps + " -crash";
    std::vector<double> adCall;
    std::vector<std::pair<DWORD, LONGLONG>> aCreated;
    const int cRuns = options.m_cCreateRuns + c_cWarmup;
    for (int i = 0; i < cRuns; i++) {
        std::vector<char> acCommandLine(csCommandLine.begin(), csCommandLine.end());
        acCommandLine.push_back('\0');
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        const LONGLONG llBefore = NowTicks();
        BOOL fOk = ::CreateProcessA(NULL, acCommandLine.data(), NULL, NULL, FALSE, DETACHED_PROCESS, NULL,
                                    csDir.c_str(), &si, &pi);
        const LONGLONG llAfter = NowTicks();
        if (!fOk) {
            printf("  CreateProcess failed, error %lu\n", ::GetLastError());
            RemoveDirectoryTree(csDir);
            return FALSE;
        }
        if (i >= c_cWarmup) {
            adCall.push_back(TicksToMs(llAfter - llBefore));
            aCreated.push_back(std::make_pair(pi.dwProcessId, llBefore));
        }
        // The loop a minimal supervisor runs: wait for the end, create again.
        ::WaitForSingleObject(pi.hProcess, 10000);
        ::CloseHandle(pi.hProcess);
        ::CloseHandle(pi.hThread);
    }
    const std::vector<CStamp> aStamps = ReadStamps(csStamps);
    std::vector<double> adLaunch;
    for (const auto& created : aCreated) {
        for (const CStamp& stamp : aStamps) {
            if (stamp.m_fStart && stamp.m_dwProcessId == created.first) {
                adLaunch.push_back(TicksToMs(stamp.m_llTicks - created.second));
                break;
            }
        }
    }
    std::vector<double> adLoop = EndToStartIntervals(aStamps);
    if (adLoop.size() > (size_t)c_cWarmup)
        adLoop.erase(adLoop.begin(), adLoop.begin() + c_cWarmup);
    const CFigures figCall = ComputeFigures(adCall);
    const CFigures figLaunch = ComputeFigures(adLaunch);
    const CFigures figLoop = ComputeFigures(adLoop);
    PrintLine("CreateProcess call", FormatFigures(figCall));
    PrintLine("CreateProcess to the child's first line", FormatFigures(figLaunch));
    PrintLine("exit to next start, bare wait-create loop", FormatFigures(figLoop));
    baseline.m_dCreateCallMedian = figCall.m_dMedian;
    baseline.m_dLaunchMedian = figLaunch.m_dMedian;
    baseline.m_dBareLoopMedian = figLoop.m_dMedian;
    RemoveDirectoryTree(csDir);
    return figLaunch.m_cSamples > 0 && figLoop.m_cSamples > 0;
}

BOOL RunRestartLatency(const CBenchOptions& options, const CBaseline& baseline)
{
    PrintHeading(StrFormat("Restart latency: a child that crashes at once, RESTARTDELAY 0, NOUNIQUE, %d restarts",
                           options.m_cRestarts));
    CProbedRun run;
    run.SetChildPrefix("brst");
    if (!run.Prepare("ovbrst.exe") || !run.CopyChild("brst.exe")) {
        printf("  could not prepare the run\n");
        return FALSE;
    }
    const std::string csStamps = run.GetPath("brst.stamps");
    const std::string csDefinition =
        "-noconsole -nounique -restartdelay 0 \"brst.exe -stampfile " + csStamps + " -crash\"\n";
    if (!run.Launch(csDefinition)) {
        printf("  could not start the supervisor\n");
        return FALSE;
    }
    const size_t cWanted = (size_t)(options.m_cRestarts + c_cWarmup + 1);
    const DWORD dwStart = ::GetTickCount();
    size_t cStarts = 0;
    while ((cStarts = CountStampStarts(csStamps)) < cWanted && ::GetTickCount() - dwStart < 120000 &&
           !run.HasExited())
        ::Sleep(50);
    run.Quit();
    const BOOL fEnded = run.WaitForExit(30000);
    const size_t cLeft = run.Cleanup();
    std::vector<double> adIntervals = EndToStartIntervals(ReadStamps(csStamps));
    if (adIntervals.size() > (size_t)c_cWarmup)
        adIntervals.erase(adIntervals.begin(), adIntervals.begin() + c_cWarmup);
    const CFigures figures = ComputeFigures(adIntervals);
    PrintLine("exit to next start, through Ovrin", FormatFigures(figures));
    const double dTarget = baseline.m_dLaunchMedian + 25.0;
    PrintLine("target: median <= CreateProcess + 25 ms",
              StrFormat("%.2f <= %.2f ms: %s", figures.m_dMedian, dTarget,
                        figures.m_dMedian <= dTarget ? "met" : "MISSED"));
    PrintLine("Ovrin's own share (median - bare loop)",
              StrFormat("%.2f ms", figures.m_dMedian - baseline.m_dBareLoopMedian));
    BOOL fOk = TRUE;
    if (cStarts < cWanted) {
        printf("  FAILED: only %u starts within the time limit\n", (unsigned)cStarts);
        fOk = FALSE;
    }
    if (!fEnded || cLeft != 0) {
        printf("  FAILED: supervisor ended %s, %u children left running\n", fEnded ? "yes" : "no", (unsigned)cLeft);
        fOk = FALSE;
    }
    return fOk;
}

BOOL RunCommandLatency(const CBenchOptions& options)
{
    PrintHeading("Command latency: status answered in full (send to last line), and private memory");
    const int acProcessCounts[] = {10, 100, 500};
    BOOL fOk = TRUE;
    std::vector<std::pair<int, double>> aMedians;
    for (int cProcesses : acProcessCounts) {
        CProbedRun run;
        run.SetChildPrefix("bcmd");
        BOOL fPrepared = run.Prepare("ovbcmd.exe");
        std::string csDefinition;
        for (int i = 1; i <= cProcesses && fPrepared; i++) {
            fPrepared = run.CopyChild(ChildName("bcmd", i));
            csDefinition += "-noconsole \"" + ChildName("bcmd", i) + " -forever\"\n";
        }
        if (!fPrepared || !run.Launch(csDefinition)) {
            printf("  could not prepare or start the run with %d processes\n", cProcesses);
            return FALSE;
        }
        CTestClient client;
        const DWORD dwStartLimit = 30000 + (DWORD)cProcesses * 200;
        if (!client.Connect(run.m_csExeName, 10000) ||
            !client.WaitForText("All services have been started.", dwStartLimit)) {
            printf("  FAILED: %d processes were not all started in time\n", cProcesses);
            return FALSE;
        }
        ::Sleep(500);
        CProcessUsage usage = run.ReadUsage();
        std::vector<double> adLatency;
        BOOL fComplete = TRUE;
        for (int iRepeat = 0; iRepeat < options.m_cCommandRepeats && fComplete; iRepeat++) {
            client.TakeTexts();
            const LONGLONG llSent = NowTicks();
            std::vector<std::string> acsTexts;
            LONGLONG llLast = 0;
            fComplete = client.Send(3) && client.ReceiveTexts((size_t)cProcesses + 1, 30000, acsTexts, &llLast);
            if (fComplete)
                fComplete = acsTexts[0] == "Status of all processes:" &&
                            acsTexts.back().find(ChildName("bcmd", cProcesses)) != std::string::npos;
            if (fComplete)
                adLatency.push_back(TicksToMs(llLast - llSent));
        }
        const CFigures figures = ComputeFigures(adLatency);
        PrintLine(StrFormat("status, %d processes", cProcesses), FormatFigures(figures));
        PrintLine("  per process",
                  StrFormat("%.3f ms (median / %d)", figures.m_dMedian / cProcesses, cProcesses));
        if (cProcesses == acProcessCounts[0])
            PrintLine("process figures from", run.GetProbe().DescribeSource());
        PrintLine(StrFormat("private memory, %d processes", cProcesses),
                  usage.m_fMemoryOk ? FormatBytes(usage.m_cbPrivate) : std::string("not available"));
        aMedians.push_back(std::make_pair(cProcesses, figures.m_dMedian));
        if (!fComplete) {
            printf("  FAILED: a status answer with %d processes was incomplete\n", cProcesses);
            fOk = FALSE;
        }
        client.Close();
        run.Quit();
        const BOOL fEnded = run.WaitForExit(30000 + (DWORD)cProcesses * 100);
        const size_t cLeft = run.Cleanup();
        if (!fEnded || cLeft != 0) {
            printf("  FAILED: supervisor ended %s, %u children left running\n", fEnded ? "yes" : "no",
                   (unsigned)cLeft);
            fOk = FALSE;
        }
    }
    if (aMedians.size() == 3) {
        const double dSlope = (aMedians[2].second - aMedians[0].second) / (aMedians[2].first - aMedians[0].first);
        const double dPerProcess500 = aMedians[2].second / aMedians[2].first;
        PrintLine("cost per added process (10 to 500)", StrFormat("%.3f ms", dSlope));
        PrintLine("target: linear, under 1 ms per process",
                  StrFormat("%.3f ms per process at 500: %s", dPerProcess500, dPerProcess500 < 1.0 ? "met" : "MISSED"));
    }
    return fOk;
}
