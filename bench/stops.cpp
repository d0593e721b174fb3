// Stops as requests with deadlines: how soon a stop reaches a program's own
// handler and ends in "<name> Stopped.", in each console kind; how long the
// loop leaves a client unanswered while `stop all` walks lines that ignore
// every request (and a crashing line goes on restarting meanwhile); and how
// long a quit takes with 100 clients connected. Figures and ratios only.
#include <stdio.h>

#include <algorithm>
#include <memory>

#include "benchmarks.h"
#include "benchutil.h"

namespace {

const char c_szPrefix[] = "bstp";
const DWORD c_dwLongMs = 60000;
// The target of the quit with 100 clients, and of a status answer during a stop all.
const double c_dQuitTargetMs = 3000.0;
const double c_dStatusTargetMs = 100.0;

BOOL FileExists(const std::string& csPath)
{
    return ::GetFileAttributesA(csPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Polls every millisecond: the mark file's appearance is the figure.
BOOL WaitForFile(const std::string& csPath, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    while (!FileExists(csPath)) {
        if (::GetTickCount() - dwStart >= dwTimeoutMs)
            return FALSE;
        ::Sleep(1);
    }
    return TRUE;
}

// Nearest rank; 0 for no samples.
double Percentile(std::vector<double> adSamples, double dFraction)
{
    if (adSamples.empty())
        return 0;
    std::sort(adSamples.begin(), adSamples.end());
    size_t iRank = (size_t)(dFraction * (double)adSamples.size() + 0.999999);
    iRank = std::min(adSamples.size(), std::max<size_t>(iRank, 1));
    return adSamples[iRank - 1];
}

std::string MedianMax(const std::vector<double>& adSamples)
{
    if (adSamples.empty())
        return "no samples";
    const CFigures figures = ComputeFigures(adSamples);
    return StrFormat("median %7.1f  max %7.1f ms", figures.m_dMedian, figures.m_dMax);
}

// One line of the handler run: its console kind and what its child does.
struct CHandlerLine
{
    const char* m_pszLabel;
    const char* m_pszKind;      // definition switches
    BOOL m_fMsgLoop;
};

struct CHandlerFigures
{
    std::vector<double> m_adHandlerMs;   // stop sent to the mark file
    std::vector<double> m_adStoppedMs;   // stop sent to "<name> Stopped."
    size_t m_cKilled = 0;                // stops that ended in the kill
    size_t m_cLost = 0;                  // stops or starts that did not complete in time
    std::string m_csMarks;               // the events the handler saw
    size_t m_cPolls = 0;                 // file polls, and the time they took:
    double m_dPollMs = 0;                // the figures' resolution
};

// Sends a stop and waits for both the mark file and the "Stopped." text;
// FALSE when either did not come within 10 s.
BOOL TimeOneStop(CTestClient& client, const std::string& csName, const std::string& csMarkPath,
                 CHandlerFigures& figures)
{
    client.Discard();
    const std::string csStopped = csName + " Stopped.";
    const LONGLONG llSent = NowTicks();
    if (!client.Send(MSG_STOP, csName))
        return FALSE;
    LONGLONG llMark = 0, llStopped = 0;
    const DWORD dwStart = ::GetTickCount();
    while ((llMark == 0 || llStopped == 0) && ::GetTickCount() - dwStart < 10000) {
        if (llMark == 0) {
            if (FileExists(csMarkPath))
                llMark = NowTicks();
            figures.m_cPolls++;
        }
        CControlMessage msg;
        LONGLONG llAt = 0;
        while (llStopped == 0 && client.Receive(msg, &llAt, 0)) {
            if (msg.m_dwKind != MSG_TEXT)
                continue;
            if (msg.m_csText == csStopped)
                llStopped = llAt;
            else if (msg.m_csText.compare(0, csName.size() + 21, csName + " did not stop within ") == 0)
                figures.m_cKilled++;
        }
        if (llMark == 0 || llStopped == 0)
            ::Sleep(1);
    }
    if (llStopped != 0)
        figures.m_adStoppedMs.push_back(TicksToMs(llStopped - llSent));
    if (llMark != 0) {
        figures.m_dPollMs += TicksToMs(llMark - llSent);
        figures.m_adHandlerMs.push_back(TicksToMs(llMark - llSent));
        std::string csMark;
        if (ReadTextFile(csMarkPath, csMark) && figures.m_csMarks.find(csMark) == std::string::npos)
            figures.m_csMarks += (figures.m_csMarks.empty() ? "" : ",") + csMark;
    }
    return llMark != 0 && llStopped != 0;
}

// Starts the line again and waits until its child has set up its handler
// (the pid file is written after it).
BOOL RestartLine(CTestClient& client, const std::string& csName, const std::string& csPidPath)
{
    if (!client.Send(MSG_START, csName))
        return FALSE;
    return client.WaitForText("Started process: " + csName, 10000) && WaitForFile(csPidPath, 10000);
}

BOOL RunHandlerLatency(const CBenchOptions& options)
{
    const int cStops = options.m_fQuick ? 4 : 10;
    PrintHeading(StrFormat("Stop to the program's handler and to \"<name> Stopped.\", %d stops per line", cStops));
    const CHandlerLine aLines[] = {
        {"-onctrl, shared console", "", FALSE},
        {"-onctrl, -newconsole", "-newconsole ", FALSE},
        {"-onctrl, -noconsole", "-noconsole ", FALSE},
        {"-msgloop, shared console", "", TRUE},
    };
    const size_t cLines = sizeof aLines / sizeof aLines[0];
    CProbedRun run;
    run.SetChildPrefix(c_szPrefix);
    if (!run.Prepare("ovbstops.exe")) {
        printf("  could not prepare the run\n");
        return FALSE;
    }
    KillProcessesWithPrefix(c_szPrefix);
    // A long STOPTIMEOUT: the handler, not the kill, ends each stop.
    std::string csDefinition;
    for (size_t i = 0; i < cLines; i++) {
        const std::string csName = StrFormat("%sh%u.exe", c_szPrefix, (unsigned)i);
        if (!run.CopyChild(csName)) {
            printf("  could not copy the child program\n");
            return FALSE;
        }
        const std::string csWay = aLines[i].m_fMsgLoop ? StrFormat("-msgloop mark%u.txt", (unsigned)i)
                                                       : StrFormat("-onctrl mark%u.txt -forever", (unsigned)i);
        csDefinition += StrFormat("%s-stoptimeout 10 \"%s %s -pidfile pid%u.txt\"\n", aLines[i].m_pszKind,
                                  csName.c_str(), csWay.c_str(), (unsigned)i);
    }
    CTestClient client;
    if (!run.Launch(csDefinition) || !client.Connect(run.m_csExeName, 10000) ||
        !client.WaitForText("All services have been started.", c_dwLongMs)) {
        printf("  FAILED: the lines were not started in time\n");
        EndRun(run, c_dwLongMs);
        return FALSE;
    }
    BOOL fOk = TRUE;
    size_t cPolls = 0;
    double dPollMs = 0;
    for (size_t i = 0; i < cLines; i++) {
        const std::string csName = StrFormat("%sh%u.exe", c_szPrefix, (unsigned)i);
        const std::string csMark = run.GetPath(StrFormat("mark%u.txt", (unsigned)i));
        const std::string csPid = run.GetPath(StrFormat("pid%u.txt", (unsigned)i));
        CHandlerFigures figures;
        if (!WaitForFile(csPid, 10000))
            figures.m_cLost++;
        for (int n = 0; n < cStops && figures.m_cLost == 0; n++) {
            ::DeleteFileA(csMark.c_str());
            if (!TimeOneStop(client, csName, csMark, figures)) {
                figures.m_cLost++;
                break;
            }
            ::DeleteFileA(csMark.c_str());
            ::DeleteFileA(csPid.c_str());
            if (n + 1 < cStops && !RestartLine(client, csName, csPid))
                figures.m_cLost++;
        }
        PrintLine(std::string(aLines[i].m_pszLabel) + ": handler", MedianMax(figures.m_adHandlerMs));
        PrintLine(std::string(aLines[i].m_pszLabel) + ": Stopped.",
                  MedianMax(figures.m_adStoppedMs) +
                      StrFormat("  (n=%u, event %s, killed %u)", (unsigned)figures.m_adStoppedMs.size(),
                                figures.m_csMarks.empty() ? "none" : figures.m_csMarks.c_str(),
                                (unsigned)figures.m_cKilled));
        if (figures.m_cLost > 0) {
            printf("  FAILED: a stop or a start of %s did not complete within 10 s\n", csName.c_str());
            fOk = FALSE;
        }
        cPolls += figures.m_cPolls;
        dPollMs += figures.m_dPollMs;
    }
    if (cPolls > 0)
        PrintLine("mark file polled every", StrFormat("%.2f ms on average", dPollMs / (double)cPolls));
    client.Close();
    return EndRun(run, c_dwLongMs) && fOk;
}

BOOL RunStopAllDeafness(const CBenchOptions& options)
{
    const int cIgnoring = 10;
    const DWORD dwCrashMs = 300;
    PrintHeading(StrFormat("Status every 50 ms during stop all: %d lines that ignore requests (STOPTIMEOUT 1) "
                           "and one crashing every %lu ms",
                           cIgnoring, dwCrashMs));
    (void)options;
    CProbedRun run;
    run.SetChildPrefix(c_szPrefix);
    if (!run.Prepare("ovbstopall.exe")) {
        printf("  could not prepare the run\n");
        return FALSE;
    }
    KillProcessesWithPrefix(c_szPrefix);
    std::string csDefinition = "-global -stoptimeout 1\n";
    for (int i = 1; i <= cIgnoring; i++) {
        const std::string csName = StrFormat("%si%02d.exe", c_szPrefix, i);
        if (!run.CopyChild(csName)) {
            printf("  could not copy the child program\n");
            return FALSE;
        }
        csDefinition += "-noconsole \"" + csName + " -ignorectrl -forever\"\n";
    }
    // Last, so that it crashes and restarts through the whole stop all.
    const std::string csCrasher = StrFormat("%scrash.exe", c_szPrefix);
    const std::string csStamps = run.GetPath("crash.txt");
    if (!run.CopyChild(csCrasher)) {
        printf("  could not copy the child program\n");
        return FALSE;
    }
    csDefinition += StrFormat("-noconsole -restartdelay 0 \"%s -stampfile crash.txt -sleep %lu -crash\"\n",
                              csCrasher.c_str(), dwCrashMs);
    CTestClient clientStop, clientStatus;
    if (!run.Launch(csDefinition) || !clientStop.Connect(run.m_csExeName, 10000) ||
        !clientStop.WaitForText("All services have been started.", c_dwLongMs) ||
        !clientStatus.Connect(run.m_csExeName, 10000)) {
        printf("  FAILED: the lines were not started in time\n");
        EndRun(run, c_dwLongMs);
        return FALSE;
    }
    // A few crashes first, for the crash period without a stop in progress.
    ::Sleep(2000);
    clientStop.Discard();
    clientStatus.Discard();

    const std::string csCrasherStopped = csCrasher + " Stopped.";
    const LONGLONG llStopAll = NowTicks();
    clientStop.Send(MSG_STOP, "all");
    std::vector<double> adStatusMs;
    LONGLONG llEnd = 0;
    size_t cKilled = 0, cStartBroadcasts = 0, cUnanswered = 0;
    while (llEnd == 0 && MsSince(llStopAll) < 120000) {
        const LONGLONG llSent = NowTicks();
        LONGLONG llAt = 0;
        if (clientStatus.Send(MSG_STATUS) && clientStatus.WaitForText("Status of all processes:", 10000, &llAt)) {
            adStatusMs.push_back(TicksToMs(llAt - llSent));
        } else {
            // A reply that never came; a later one would be mistaken for it.
            cUnanswered++;
            break;
        }
        CControlMessage msg;
        while (llEnd == 0 && clientStop.Receive(msg, &llAt, 0)) {
            if (msg.m_dwKind != MSG_TEXT)
                continue;
            if (msg.m_csText == csCrasherStopped)
                llEnd = llAt;
            else if (msg.m_csText.find(" did not stop within ") != std::string::npos)
                cKilled++;
            else if (msg.m_csText.compare(0, 17 + csCrasher.size(), "Started process: " + csCrasher) == 0)
                cStartBroadcasts++;
        }
        const double dLeft = 50.0 - MsSince(llSent);
        if (dLeft >= 1.0)
            ::Sleep((DWORD)dLeft);
    }
    BOOL fOk = TRUE;
    if (llEnd == 0) {
        // The loop above may have stopped on an unanswered status.
        LONGLONG llAt = 0;
        if (clientStop.WaitForText(csCrasherStopped, 120000, &llAt))
            llEnd = llAt;
    }
    const double dStopAllMs = llEnd != 0 ? TicksToMs(llEnd - llStopAll) : MsSince(llStopAll);

    // A stopped line stays down: a start after its "Stopped." would show here.
    ::Sleep(1000);
    // The crasher's period from its stamps: start to start before the stop all.
    const std::vector<CStamp> aStamps = ReadStamps(csStamps);
    std::vector<double> adPeriods, adPeriodsDuring;
    size_t cRestartsDuring = 0, cStartsAfter = 0;
    LONGLONG llPreviousStart = 0;
    for (const CStamp& stamp : aStamps) {
        if (!stamp.m_fStart)
            continue;
        if (stamp.m_llTicks < llStopAll && llPreviousStart != 0)
            adPeriods.push_back(TicksToMs(stamp.m_llTicks - llPreviousStart));
        if (stamp.m_llTicks > llStopAll && (llEnd == 0 || stamp.m_llTicks < llEnd)) {
            cRestartsDuring++;
            if (llPreviousStart > llStopAll)
                adPeriodsDuring.push_back(TicksToMs(stamp.m_llTicks - llPreviousStart));
        }
        if (llEnd != 0 && stamp.m_llTicks > llEnd)
            cStartsAfter++;
        llPreviousStart = stamp.m_llTicks;
    }
    const double dPeriod = adPeriods.empty() ? 0 : ComputeFigures(adPeriods).m_dMedian;

    PrintLine("stop all, request to the last Stopped.", StrFormat("%.0f ms", dStopAllMs));
    PrintLine("status replies (send to heading)",
              StrFormat("median %.1f  p95 %.1f  max %.1f ms  (n=%u)", Percentile(adStatusMs, 0.5),
                        Percentile(adStatusMs, 0.95), Percentile(adStatusMs, 1.0), (unsigned)adStatusMs.size()));
    PrintLine("  max against the 100 ms target",
              StrFormat("%.2fx", Percentile(adStatusMs, 1.0) / c_dStatusTargetMs));
    PrintLine("  replies over 100 ms",
              StrFormat("%u of %u", (unsigned)std::count_if(adStatusMs.begin(), adStatusMs.end(),
                                                            [](double d) { return d > c_dStatusTargetMs; }),
                        (unsigned)adStatusMs.size()));
    PrintLine("lines killed at their deadline", StrFormat("%u of %d", (unsigned)cKilled, cIgnoring));
    PrintLine("crash period before the stop all", dPeriod > 0 ? StrFormat("%.0f ms (median start to start)", dPeriod)
                                                                : std::string("unknown"));
    PrintLine("crasher restarts during the stop all",
              StrFormat("%u (stamps), %u start broadcasts; duration / period = %.1f", (unsigned)cRestartsDuring,
                        (unsigned)cStartBroadcasts, dPeriod > 0 ? dStopAllMs / dPeriod : 0.0));
    PrintLine("  start to start during it", MedianMax(adPeriodsDuring));
    PrintLine("crasher starts after its Stopped.", StrFormat("%u in the next second", (unsigned)cStartsAfter));
    if (cStartsAfter > 0) {
        printf("  FAILED: the stopped line was started again\n");
        fOk = FALSE;
    }
    if (cUnanswered > 0) {
        printf("  FAILED: a status command was not answered within 10 s\n");
        fOk = FALSE;
    }
    if (llEnd == 0) {
        printf("  FAILED: the stop all did not end within 120 s\n");
        fOk = FALSE;
    }
    clientStop.Close();
    clientStatus.Close();
    return EndRun(run, c_dwLongMs) && fOk;
}

// Quit to the supervisor's end with cClients reading clients and cLines
// lines that end on Ctrl-C (none: one NOSTART line that is not running, as
// a definition needs a line). Negative when the run could not be made.
double MeasureQuit(int cLines, int cClients, size_t& cKilled, size_t& cEnded)
{
    CProbedRun run;
    run.SetChildPrefix(c_szPrefix);
    if (!run.Prepare("ovbstopquit.exe"))
        return -1;
    KillProcessesWithPrefix(c_szPrefix);
    std::string csDefinition;
    for (int i = 1; i <= cLines; i++) {
        const std::string csName = StrFormat("%sq%02d.exe", c_szPrefix, i);
        if (!run.CopyChild(csName))
            return -1;
        csDefinition += "\"" + csName + " -forever\"\n";
    }
    if (cLines == 0)
        csDefinition += StrFormat("-nostart \"%snone.exe\"\n", c_szPrefix);
    std::vector<std::unique_ptr<CTestClient>> apClients;
    apClients.emplace_back(new CTestClient);
    if (!run.Launch(csDefinition) || !apClients[0]->Connect(run.m_csExeName, 10000) ||
        !apClients[0]->WaitForText("All services have been started.", c_dwLongMs)) {
        EndRun(run, c_dwLongMs);
        return -1;
    }
    for (int i = 1; i < cClients; i++) {
        apClients.emplace_back(new CTestClient);
        if (!apClients.back()->Connect(run.m_csExeName, 10000)) {
            EndRun(run, c_dwLongMs);
            return -1;
        }
    }
    // The server serves each connection at its next wait; let them settle.
    ::Sleep(1000);
    for (auto& pClient : apClients)
        pClient->Discard();
    const LONGLONG llQuit = NowTicks();
    run.Quit();
    const BOOL fEnded = run.WaitForExit(c_dwLongMs);
    const double dQuitMs = MsSince(llQuit);
    cKilled = 0;
    cEnded = 0;
    for (auto& pClient : apClients) {
        cEnded += pClient->WaitForEnd(5000) ? 1 : 0;
        for (const std::string& csText : pClient->TakeTexts()) {
            if (pClient == apClients[0] && csText.find(" did not stop within ") != std::string::npos)
                cKilled++;
        }
    }
    apClients.clear();
    const size_t cLeft = run.Cleanup();
    if (!fEnded || cLeft != 0) {
        printf("  FAILED: supervisor ended %s, %u children left running\n", fEnded ? "yes" : "no", (unsigned)cLeft);
        return -1;
    }
    return dQuitMs;
}

BOOL RunQuitWithClients(const CBenchOptions& options)
{
    const int cClients = 100;
    const int cRepeats = options.m_fQuick ? 1 : 3;
    PrintHeading(StrFormat("Quit to the supervisor's end with %d reading clients (%d runs each)", cClients, cRepeats));
    BOOL fOk = TRUE;
    // The last run, with the console client alone, shows what the 100
    // clients' broadcasts add.
    struct CVariant
    {
        int m_cLines;
        int m_cClients;
    };
    const CVariant aVariants[] = {{10, cClients}, {0, cClients}, {10, 1}};
    for (const CVariant& variant : aVariants) {
        const int cLines = variant.m_cLines;
        std::vector<double> adQuitMs;
        size_t cKilledAll = 0, cEndedMin = (size_t)variant.m_cClients;
        for (int n = 0; n < cRepeats; n++) {
            size_t cKilled = 0, cEnded = 0;
            const double dMs = MeasureQuit(cLines, variant.m_cClients, cKilled, cEnded);
            if (dMs < 0) {
                printf("  FAILED: the quit run with %d lines could not be made\n", cLines);
                fOk = FALSE;
                break;
            }
            adQuitMs.push_back(dMs);
            cKilledAll += cKilled;
            cEndedMin = std::min(cEndedMin, cEnded);
        }
        if (adQuitMs.empty())
            continue;
        const CFigures figures = ComputeFigures(adQuitMs);
        std::string csLabel = cLines > 0 ? StrFormat("%d lines ending on Ctrl-C", cLines)
                                         : std::string("no running line");
        if (variant.m_cClients != cClients)
            csLabel += StrFormat(", %d client", variant.m_cClients);
        PrintLine(csLabel, StrFormat("median %.0f  max %.0f ms: %.2fx the 3 s target (max %.2fx)", figures.m_dMedian,
                                     figures.m_dMax, figures.m_dMedian / c_dQuitTargetMs,
                                     figures.m_dMax / c_dQuitTargetMs));
        PrintLine("  killed at the deadline / clients closed",
                  StrFormat("%u / at least %u of %d", (unsigned)cKilledAll, (unsigned)cEndedMin,
                            variant.m_cClients));
    }
    return fOk;
}

}  // namespace

BOOL RunStops(const CBenchOptions& options)
{
    BOOL fOk = RunHandlerLatency(options);
    fOk &= RunStopAllDeafness(options);
    fOk &= RunQuitWithClients(options);
    return fOk;
}
