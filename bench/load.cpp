// Load runs: start-up pacing, the idle cost and many processes with many
// clients at once.
#include <stdio.h>

#include <memory>

#include "benchmarks.h"
#include "benchutil.h"

namespace {

std::string ChildName(const char* pszPrefix, int i)
{
    return StrFormat("%s%04d.exe", pszPrefix, i);
}

// A run of cProcesses idle NOCONSOLE children named prefix0001.exe on,
// each on a line of its own (UNIQUE by default, as lines usually are).
BOOL PrepareIdleRun(CProbedRun& run, const char* pszExeName, const char* pszPrefix, int cProcesses,
                    const std::string& csExtraLines = std::string(), const char* pszOptions = "")
{
    run.SetChildPrefix(pszPrefix);
    if (!run.Prepare(pszExeName))
        return FALSE;
    // Leftovers of an interrupted run would be attached instead of started.
    KillProcessesWithPrefix(pszPrefix);
    std::string csDefinition;
    for (int i = 1; i <= cProcesses; i++) {
        if (!run.CopyChild(ChildName(pszPrefix, i)))
            return FALSE;
        csDefinition += std::string(pszOptions) + "-noconsole \"" + ChildName(pszPrefix, i) + " -forever\"\n";
    }
    return run.Launch(csDefinition + csExtraLines);
}

}  // namespace

BOOL RunStartup(const CBenchOptions& options, const CBaseline& baseline)
{
    PrintHeading("Start-up: launch to \"All services have been started.\", NOCONSOLE children");
    // The design's schedule: the first step 1 s after the server thread
    // starts, then the next 10 ms after each step; a step is at least one
    // CreateProcess, so the schedule cannot be shorter than this.
    PrintLine("pacing", "1000 ms + 10 ms per process");
    PrintLine("floor of the design on this machine",
              StrFormat("1000 ms + (10 + %.2f ms CreateProcess) per process", baseline.m_dCreateCallMedian));
    struct CVariant
    {
        int m_cProcesses;
        BOOL m_fUnique;
    };
    const CVariant aVariants[] = {{100, TRUE}, {500, TRUE}, {100, FALSE}, {500, FALSE}};
    BOOL fOk = TRUE;
    for (const CVariant& variant : aVariants) {
        const int cProcesses = variant.m_cProcesses;
        CProbedRun run;
        if (!PrepareIdleRun(run, "ovbstart.exe", "bsta", cProcesses, std::string(),
                            variant.m_fUnique ? "" : "-nounique ")) {
            printf("  could not prepare or start the run with %d processes\n", cProcesses);
            return FALSE;
        }
        // Every start is broadcast as it happens; the gaps are the steps.
        CTestClient client;
        LONGLONG llAll = 0;
        std::vector<double> adSteps;
        size_t cStarted = 0;
        BOOL fAll = client.Connect(run.m_csExeName, 10000);
        LONGLONG llPrevious = 0;
        const DWORD dwStart = ::GetTickCount();
        while (fAll && llAll == 0) {
            CControlMessage msg;
            LONGLONG llAt = 0;
            const DWORD dwElapsed = ::GetTickCount() - dwStart;
            const DWORD dwLimit = 60000 + (DWORD)cProcesses * 200;
            if (dwElapsed >= dwLimit || !client.Receive(msg, &llAt, dwLimit - dwElapsed)) {
                fAll = FALSE;
            } else if (msg.m_dwKind == MSG_TEXT && msg.m_csText.compare(0, 17, "Started process: ") == 0) {
                if (llPrevious != 0)
                    adSteps.push_back(TicksToMs(llAt - llPrevious));
                llPrevious = llAt;
                cStarted++;
            } else if (msg.m_dwKind == MSG_TEXT && msg.m_csText == "All services have been started.") {
                llAll = llAt;
            }
        }
        if (!fAll) {
            printf("  FAILED: %d processes were not all started in time\n", cProcesses);
            EndRun(run, 60000, TRUE);
            return FALSE;
        }
        const double dTotal = TicksToMs(llAll - run.m_llLaunched);
        const double dPacing = 1000.0 + cProcesses * 10.0;
        const double dFloor = 1000.0 + cProcesses * (10.0 + baseline.m_dCreateCallMedian);
        const std::string csLabel = StrFormat("%d processes%s", cProcesses, variant.m_fUnique ? "" : ", NOUNIQUE");
        PrintLine(csLabel, StrFormat("%.0f ms: %+.1f %% of the pacing, %+.1f %% of the floor", dTotal,
                                     (dTotal / dPacing - 1.0) * 100.0, (dTotal / dFloor - 1.0) * 100.0));
        PrintLine("  start to start", FormatFigures(ComputeFigures(adSteps)));
        PrintLine("  target: within 20 % of the pacing", dTotal <= dPacing * 1.2 ? "met" : "MISSED");
        if (cStarted != (size_t)cProcesses) {
            printf("  FAILED: %u of %d starts were broadcast\n", (unsigned)cStarted, cProcesses);
            fOk = FALSE;
        }
        client.Close();
        fOk &= EndRun(run, 60000 + (DWORD)cProcesses * 100, TRUE);
        if (options.m_fQuick)
            break;
    }
    return fOk;
}

BOOL RunIdleCost(const CBenchOptions& options)
{
    PrintHeading(StrFormat("Idle cost: 100 idle children, external-process monitor active, %lu s",
                           options.m_dwIdleSeconds));
    CProbedRun run;
    // A NOSTART line gives the monitor a name to look for every 3 s.
    if (!PrepareIdleRun(run, "ovbidle.exe", "bidl", 100, "-nostart \"bidlext.exe\"\n")) {
        printf("  could not prepare or start the run\n");
        return FALSE;
    }
    CTestClient client;
    if (!client.Connect(run.m_csExeName, 10000) || !client.WaitForText("All services have been started.", 90000)) {
        printf("  FAILED: the children were not all started in time\n");
        EndRun(run, 60000, TRUE);
        return FALSE;
    }
    client.Close();
    // The first monitor passes and the client's leaving settle first.
    ::Sleep(4000);
    // One of the children, for what an idle Wine process costs by itself.
    std::vector<DWORD> adwChildren = FindProcessesWithPrefix("bidl0001");
    HANDLE hChild = adwChildren.empty() ? NULL : ::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, adwChildren[0]);
    CProcessProbe probeChild;
    if (hChild != NULL)
        probeChild.Open(hChild, adwChildren[0], run.GetPath("bidl0001.exe"));
    PrintLine("process figures from", run.GetProbe().DescribeSource());
    const CProcessUsage usageBefore = run.ReadUsage();
    const CProcessUsage childBefore = hChild != NULL ? probeChild.Read() : CProcessUsage();
    const LONGLONG llBefore = NowTicks();
    ::Sleep(options.m_dwIdleSeconds * 1000);
    const CProcessUsage usageAfter = run.ReadUsage();
    const CProcessUsage childAfter = hChild != NULL ? probeChild.Read() : CProcessUsage();
    const double dElapsed = MsSince(llBefore);
    if (hChild != NULL)
        ::CloseHandle(hChild);
    BOOL fOk = TRUE;
    if (!usageBefore.m_fCpuOk || !usageAfter.m_fCpuOk) {
        PrintLine("supervisor CPU time", "not available");
    } else {
        const double dCpu = usageAfter.m_dCpuMs - usageBefore.m_dCpuMs;
        const double dPercent = dCpu / dElapsed * 100.0;
        PrintLine("supervisor CPU time", StrFormat("%.0f ms in %.0f ms = %.3f %% of one core", dCpu, dElapsed,
                                                   dPercent));
        PrintLine("  per monitor pass (every 3 s)", StrFormat("%.2f ms", dCpu / (dElapsed / 3000.0)));
        PrintLine("  target: under 0.5 % of one core", dPercent < 0.5 ? "met" : "MISSED");
    }
    if (childBefore.m_fCpuOk && childAfter.m_fCpuOk) {
        PrintLine("an idle child, for comparison", StrFormat("%.0f ms = %.3f %% of one core",
                                                             childAfter.m_dCpuMs - childBefore.m_dCpuMs,
                                                             (childAfter.m_dCpuMs - childBefore.m_dCpuMs) / dElapsed *
                                                                 100.0));
    }
    if (usageAfter.m_fMemoryOk)
        PrintLine("private memory, 100 processes", FormatBytes(usageAfter.m_cbPrivate));
    if (usageBefore.m_fHandlesOk && usageAfter.m_fHandlesOk)
        PrintLine("handles before / after", StrFormat("%lu / %lu", usageBefore.m_cHandles, usageAfter.m_cHandles));
    fOk &= EndRun(run, 60000, TRUE);
    return fOk;
}

BOOL RunScale(const CBenchOptions& options)
{
    const int cProcesses = options.m_cScaleProcesses;
    const int cClients = options.m_cScaleClients;
    PrintHeading(StrFormat("Scale: %d processes and %d clients at once", cProcesses, cClients));
    CProbedRun run;
    if (!PrepareIdleRun(run, "ovbscale.exe", "bsca", cProcesses)) {
        printf("  could not prepare or start the run\n");
        return FALSE;
    }
    std::vector<std::unique_ptr<CTestClient>> apClients;
    apClients.emplace_back(new CTestClient);
    LONGLONG llAll = 0;
    if (!apClients[0]->Connect(run.m_csExeName, 10000) ||
        !apClients[0]->WaitForText("All services have been started.", 60000 + (DWORD)cProcesses * 200, &llAll)) {
        printf("  FAILED: the processes were not all started in time\n");
        EndRun(run, 120000, TRUE);
        return FALSE;
    }
    PrintLine("start-up", StrFormat("%.0f ms", TicksToMs(llAll - run.m_llLaunched)));
    BOOL fOk = TRUE;
    for (int i = 1; i < cClients; i++) {
        apClients.emplace_back(new CTestClient);
        if (!apClients.back()->Connect(run.m_csExeName, 10000)) {
            printf("  FAILED: client %d could not connect\n", i + 1);
            fOk = FALSE;
        }
    }
    // The server serves a connection at its next wait; let every one settle.
    ::Sleep(1000);
    const CProcessUsage usage = run.ReadUsage();
    if (usage.m_fMemoryOk)
        PrintLine("private memory", FormatBytes(usage.m_cbPrivate));

    // Status: every client receives every line.
    const LONGLONG llSent = NowTicks();
    apClients[0]->Send(3);
    std::vector<double> adArrival;
    size_t cIncomplete = 0;
    for (int i = 0; i < cClients; i++) {
        std::vector<std::string> acsTexts;
        LONGLONG llLast = 0;
        BOOL fComplete = apClients[(size_t)i]->ReceiveTexts((size_t)cProcesses + 1, 120000, acsTexts, &llLast);
        for (int j = 1; fComplete && j <= cProcesses; j++)
            fComplete = acsTexts[(size_t)j].find(StrFormat("bsca%04d.exe", j)) != std::string::npos;
        if (fComplete)
            adArrival.push_back(TicksToMs(llLast - llSent));
        else
            cIncomplete++;
    }
    PrintLine("status, last line at each client", FormatFigures(ComputeFigures(adArrival)));
    if (cIncomplete > 0) {
        printf("  FAILED: %u clients did not receive every status line\n", (unsigned)cIncomplete);
        fOk = FALSE;
    }

    // A stop and a start from one client: everyone sees every broadcast.
    const std::string csTarget = StrFormat("bsca%04d.exe", cProcesses / 2);
    apClients[1]->Send(1, csTarget);
    apClients[1]->Send(2, csTarget);
    const char* const apszExpected[] = {"Stopping process ", " Stopped.", "Started process: "};
    size_t cMissed = 0;
    for (int i = 0; i < cClients; i++) {
        for (const char* pszText : apszExpected) {
            std::vector<std::string> acsTexts;
            BOOL fFound = FALSE;
            while (!fFound && apClients[(size_t)i]->ReceiveTexts(1, 30000, acsTexts))
                fFound = acsTexts.back().find(pszText) != std::string::npos &&
                         acsTexts.back().find(csTarget) != std::string::npos;
            cMissed += fFound ? 0 : 1;
        }
    }
    PrintLine("stop and start broadcasts missed", StrFormat("%u of %u", (unsigned)cMissed, (unsigned)(cClients * 3)));
    if (cMissed > 0)
        fOk = FALSE;

    // Quit: every process stopped in file order, seen by every client.
    for (auto& pClient : apClients)
        pClient->TakeTexts();
    const LONGLONG llQuit = NowTicks();
    run.Quit();
    const BOOL fEnded = run.WaitForExit(300000);
    PrintLine("quit to the supervisor's end", StrFormat("%.0f ms", MsSince(llQuit)));
    size_t cOutOfOrder = 0;
    for (auto& pClient : apClients) {
        pClient->WaitForEnd(30000);
        std::vector<std::string> acsTexts = pClient->TakeTexts();
        int iNext = 1;
        for (const std::string& csText : acsTexts) {
            if (csText.compare(0, 17, "Stopping process ") != 0)
                continue;
            if (csText != "Stopping process " + ChildName("bsca", iNext))
                break;
            iNext++;
        }
        if (iNext != cProcesses + 1)
            cOutOfOrder++;
    }
    PrintLine("clients that saw every stop in order",
              StrFormat("%u of %d", (unsigned)(cClients - cOutOfOrder), cClients));
    if (cOutOfOrder > 0 || !fEnded)
        fOk = FALSE;
    apClients.clear();
    fOk &= EndRun(run, 10000, TRUE);
    return fOk;
}
