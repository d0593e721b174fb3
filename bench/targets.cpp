// The scale targets, each figure printed as a ratio to a floor measured in
// the same run on the same copies of the child program: start-up against
// the pacing plus a plain CreateProcess loop, status against a plain pipe
// server sending the same messages, quit against a plain terminate-and-wait
// loop, the restart gap and the idle CPU with many processes against few,
// and the memory per process and per client. Nothing here fails on timing.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "benchmarks.h"
#include "benchutil.h"
#include "common/cio.h"
#include "common/filestuf.h"
#include "common/pipe.h"
#include "common/serial.h"
#include "e2e_util.h"
#include "ovrin_e2e.h"

namespace {

const char c_szPrefix[] = "btg";
const char c_szCrasher[] = "btgcrash.exe";

std::string ChildName(int i)
{
    return StrFormat("%s%04d.exe", c_szPrefix, i);
}

std::string Ratio(double dValue, double dFloor)
{
    return dFloor > 0 ? StrFormat("%.2fx", dValue / dFloor) : std::string("-");
}

// Starts the copies one after another as a plain loop would; the handles
// go to ahProcesses. The time of the whole loop, in ms.
double PlainCreateLoop(CProbedRun& run, int cProcesses, DWORD dwFlags, std::vector<HANDLE>& ahProcesses)
{
    const LONGLONG llStart = NowTicks();
    for (int i = 1; i <= cProcesses; i++) {
        std::string csCommandLine = "\"" + run.GetPath(ChildName(i)) + "\" -forever";
        std::vector<char> acCommandLine(csCommandLine.begin(), csCommandLine.end());
        acCommandLine.push_back('\0');
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        if (!::CreateProcessA(NULL, acCommandLine.data(), NULL, NULL, FALSE, dwFlags, NULL, run.m_csDir.c_str(),
                              &si, &pi))
            continue;
        ::CloseHandle(pi.hThread);
        ahProcesses.push_back(pi.hProcess);
    }
    return MsSince(llStart);
}

// Terminates each process and waits for its end, one after another.
double PlainTerminateLoop(std::vector<HANDLE>& ahProcesses)
{
    const LONGLONG llStart = NowTicks();
    for (HANDLE hProcess : ahProcesses) {
        ::TerminateProcess(hProcess, 0);
        ::WaitForSingleObject(hProcess, 10000);
    }
    const double dMs = MsSince(llStart);
    for (HANDLE hProcess : ahProcesses)
        ::CloseHandle(hProcess);
    ahProcesses.clear();
    return dMs;
}

// The same messages a status answer brought, sent by a plain server: one
// overlapped write after another, each waited for, on a pipe with the
// system's default buffers (size 0). From the first write to the last
// message's arrival, in ms; 0 when the pipe could not be set up.
double PlainServerSend(const std::vector<std::string>& acsTexts)
{
    CMessagePipe pipe;
    CPipeInstance instance;
    CTestClient client;
    double dMs = 0;
    if (ConnectPlainServer(StrFormat("ovbplain%lu", ::GetCurrentProcessId()), 0, pipe, instance, client)) {
        std::vector<CDataBlock> aBlocks(acsTexts.size());
        for (size_t i = 0; i < acsTexts.size(); i++) {
            CControlMessage msg;
            msg.m_dwKind = MSG_TEXT;
            msg.m_csText = acsTexts[i];
            msg.Serialize(aBlocks[i]);
        }
        CIoOperation opWrite(&instance);
        const LONGLONG llStart = NowTicks();
        for (CDataBlock& block : aBlocks) {
            if (!opWrite.WriteMessage(block.GetData(), block.GetLength()) && ::GetLastError() == ERROR_IO_PENDING)
                opWrite.WaitForResult(3000);
        }
        std::vector<std::string> acsReceived;
        LONGLONG llLast = 0;
        if (client.ReceiveTexts(acsTexts.size(), 30000, acsReceived, &llLast))
            dMs = TicksToMs(llLast - llStart);
    }
    client.Close();
    instance.CloseHandleNow();
    instance.Close();
    return dMs;
}

// A supervisor on cProcesses idle lines of distinct names (and, with
// fCrasher, a last line that ends at once and is restarted without delay).
BOOL LaunchRun(CProbedRun& run, int cProcesses, const char* pszOptions, BOOL fCrasher,
               const std::string& csStamps)
{
    std::string csDefinition;
    for (int i = 1; i <= cProcesses; i++)
        csDefinition += std::string(pszOptions) + "\"" + ChildName(i) + " -forever\"\n";
    if (fCrasher)
        csDefinition += "-noconsole -nounique -restartdelay 0 \"" + std::string(c_szCrasher) + " -stampfile " +
                        csStamps + " -sleep 200\"\n";
    return run.Launch(csDefinition);
}

BOOL PrepareRun(CProbedRun& run, const char* pszExeName, int cProcesses)
{
    run.SetChildPrefix(c_szPrefix);
    if (!run.Prepare(pszExeName))
        return FALSE;
    KillProcessesWithPrefix(c_szPrefix);
    for (int i = 1; i <= cProcesses; i++) {
        if (!run.CopyChild(ChildName(i)))
            return FALSE;
    }
    return run.CopyChild(c_szCrasher);
}

struct CScalePoint
{
    int m_cProcesses = 0;
    double m_dRestartMedian = 0;
    double m_dIdleCpuMs = 0;
    double m_dIdleMs = 0;
    SIZE_T m_cbPrivate = 0;
};

// One count of NOCONSOLE lines: start-up, restart gap, idle CPU, memory and
// status, each beside its floor.
BOOL MeasurePoint(const CBenchOptions& options, int cProcesses, BOOL fIdle, CScalePoint& point)
{
    point.m_cProcesses = cProcesses;
    CProbedRun run;
    if (!PrepareRun(run, "ovbtarget.exe", cProcesses)) {
        printf("  could not prepare the run with %d processes\n", cProcesses);
        return FALSE;
    }
    // The floor first, on the same copies; they are all gone before the
    // supervisor starts, or its UNIQUE tests would find them.
    std::vector<HANDLE> ahPlain;
    const double dCreateLoop = PlainCreateLoop(run, cProcesses, DETACHED_PROCESS, ahPlain);
    PlainTerminateLoop(ahPlain);

    const std::string csStamps = run.GetPath("btgcrash.stamps");
    if (!LaunchRun(run, cProcesses, "-noconsole ", TRUE, csStamps)) {
        printf("  could not start the supervisor with %d processes\n", cProcesses);
        return FALSE;
    }
    CTestClient client;
    LONGLONG llAll = 0;
    if (!client.Connect(run.m_csExeName, 10000) ||
        !client.WaitForText("All services have been started.", 60000 + (DWORD)cProcesses * 200, &llAll)) {
        printf("  FAILED: %d processes were not all started in time\n", cProcesses);
        EndRun(run, 120000);
        return FALSE;
    }
    const double dStartup = TicksToMs(llAll - run.m_llLaunched);
    const double dFloor = 1000.0 + cProcesses * 10.0 + dCreateLoop;
    PrintLine(StrFormat("%d lines: start-up", cProcesses),
              StrFormat("%.0f ms; floor %.0f ms (1000 + %d x 10 + plain loop %.0f): %s, target <= 1.20x",
                        dStartup, dFloor, cProcesses, dCreateLoop, Ratio(dStartup, dFloor).c_str()));

    // The restart gap of the last line while nothing else happens.
    const LONGLONG llWindow = NowTicks();
    ::Sleep(options.m_fQuick ? 2000 : 4000);
    std::vector<CStamp> aStamps = ReadStamps(csStamps);
    aStamps.erase(std::remove_if(aStamps.begin(), aStamps.end(),
                                 [&](const CStamp& stamp) { return stamp.m_llTicks < llWindow; }),
                  aStamps.end());
    const CFigures figRestart = ComputeFigures(EndToStartIntervals(aStamps));
    point.m_dRestartMedian = figRestart.m_dMedian;
    PrintLine("  restart gap, RESTARTDELAY 0", FormatFigures(figRestart));
    // The crashing line stops, so that the rest is measured idle; caught
    // between two runs it is "not stopped" and asked again.
    BOOL fStopped = FALSE;
    for (int iTry = 0; iTry < 10 && !fStopped; iTry++) {
        client.Send(MSG_STOP, c_szCrasher);
        std::vector<std::string> acsTexts;
        while (!fStopped && client.ReceiveTexts(acsTexts.size() + 1, 10000, acsTexts)) {
            if (acsTexts.back() == std::string(c_szCrasher) + " Stopped.")
                fStopped = TRUE;
            else if (acsTexts.back().compare(0, strlen(c_szCrasher) + 13, std::string(c_szCrasher) + " not stopped") == 0)
                break;
        }
    }
    ::Sleep(500);

    if (fIdle) {
        const CProcessUsage usageBefore = run.ReadUsage();
        const LONGLONG llBefore = NowTicks();
        ::Sleep(options.m_fQuick ? 5000 : options.m_dwIdleSeconds * 1000);
        const CProcessUsage usageAfter = run.ReadUsage();
        point.m_dIdleMs = MsSince(llBefore);
        if (usageBefore.m_fCpuOk && usageAfter.m_fCpuOk) {
            point.m_dIdleCpuMs = usageAfter.m_dCpuMs - usageBefore.m_dCpuMs;
            PrintLine("  idle CPU", StrFormat("%.0f ms in %.0f ms = %.3f %% of one core", point.m_dIdleCpuMs,
                                              point.m_dIdleMs, point.m_dIdleCpuMs / point.m_dIdleMs * 100.0));
        }
    }
    const CProcessUsage usage = run.ReadUsage();
    point.m_cbPrivate = usage.m_fMemoryOk ? usage.m_cbPrivate : 0;
    if (usage.m_fMemoryOk)
        PrintLine("  private memory", FormatBytes(usage.m_cbPrivate));

    // Status to one client against a plain server sending the same texts.
    std::vector<double> adStatus;
    std::vector<double> adPlain;
    std::vector<double> adFirst;
    const int cRepeats = options.m_fQuick ? 5 : 9;
    BOOL fComplete = TRUE;
    for (int iRepeat = 0; iRepeat < cRepeats && fComplete; iRepeat++) {
        client.TakeTexts();
        const LONGLONG llSent = NowTicks();
        std::vector<std::string> acsTexts;
        LONGLONG llFirst = 0;
        LONGLONG llLast = 0;
        fComplete = client.Send(MSG_STATUS) && client.ReceiveTexts(1, 60000, acsTexts, &llFirst) &&
                    client.ReceiveTexts((size_t)cProcesses + 2, 60000, acsTexts, &llLast);
        if (!fComplete)
            break;
        adStatus.push_back(TicksToMs(llLast - llSent));
        adFirst.push_back(TicksToMs(llFirst - llSent));
        adPlain.push_back(PlainServerSend(acsTexts));
    }
    if (fComplete) {
        const CFigures figStatus = ComputeFigures(adStatus);
        const CFigures figPlain = ComputeFigures(adPlain);
        // Under load single runs vary a lot; the best runs show the cost
        // of the work itself.
        PrintLine(StrFormat("  status, %d lines", cProcesses + 2),
                  StrFormat("median %.1f ms; plain server %.1f ms: %s, target <= 2.00x", figStatus.m_dMedian,
                            figPlain.m_dMedian, Ratio(figStatus.m_dMedian, figPlain.m_dMedian).c_str()));
        PrintLine("    fastest of each", StrFormat("%.1f ms; plain server %.1f ms: %s", figStatus.m_dMin,
                                                  figPlain.m_dMin, Ratio(figStatus.m_dMin, figPlain.m_dMin).c_str()));
        PrintLine("    the first line after", FormatFigures(ComputeFigures(adFirst)));
    } else {
        printf("  FAILED: a status answer with %d processes was incomplete\n", cProcesses);
    }
    client.Close();
    return EndRun(run, 60000 + (DWORD)cProcesses * 100) && fComplete;
}

// Quit of shared-console lines, with cClients clients connected.
BOOL MeasureQuit(int cProcesses, int cClients, double& dQuit, double& dFloor, SIZE_T& cbClients)
{
    CProbedRun run;
    if (!PrepareRun(run, "ovbtquit.exe", cProcesses)) {
        printf("  could not prepare the quit run\n");
        return FALSE;
    }
    std::vector<HANDLE> ahPlain;
    PlainCreateLoop(run, cProcesses, 0, ahPlain);
    dFloor = PlainTerminateLoop(ahPlain);
    if (!LaunchRun(run, cProcesses, "", FALSE, std::string())) {
        printf("  could not start the supervisor\n");
        return FALSE;
    }
    std::vector<std::unique_ptr<CTestClient>> apClients;
    apClients.emplace_back(new CTestClient);
    if (!apClients[0]->Connect(run.m_csExeName, 10000) ||
        !apClients[0]->WaitForText("All services have been started.", 60000 + (DWORD)cProcesses * 200)) {
        printf("  FAILED: the processes were not all started in time\n");
        EndRun(run, 120000);
        return FALSE;
    }
    const CProcessUsage usageBefore = run.ReadUsage();
    for (int i = 1; i < cClients; i++) {
        apClients.emplace_back(new CTestClient);
        apClients.back()->Connect(run.m_csExeName, 10000);
    }
    if (cClients == 0)
        apClients.clear();
    ::Sleep(1000);
    const CProcessUsage usageAfter = run.ReadUsage();
    cbClients = usageBefore.m_fMemoryOk && usageAfter.m_fMemoryOk && usageAfter.m_cbPrivate > usageBefore.m_cbPrivate
                    ? usageAfter.m_cbPrivate - usageBefore.m_cbPrivate
                    : 0;
    for (auto& pClient : apClients)
        pClient->TakeTexts();
    const LONGLONG llQuit = NowTicks();
    run.Quit();
    const BOOL fEnded = run.WaitForExit(600000);
    dQuit = MsSince(llQuit);
    apClients.clear();
    const size_t cLeft = run.Cleanup();
    if (!fEnded || cLeft != 0) {
        printf("  FAILED: supervisor ended %s, %u children left running\n", fEnded ? "yes" : "no", (unsigned)cLeft);
        return FALSE;
    }
    return TRUE;
}

// Ovrin.exe reading a definition file whose one entry runs on over
// cLines continued lines and ends in an unknown keyword, so that the
// program stops once the file is read. Launch to exit, in ms.
double TimeDefinitionRead(const std::string& csDir, int cLines)
{
    const std::string csExe = CopyOvrinTo(csDir, StrFormat("ovbdef%d.exe", cLines));
    std::string csDefinition = "\"btg0001.exe -forever\" \\\n";
    for (int i = 1; i < cLines; i++)
        csDefinition += StrFormat("arg%d \\\n", i);
    csDefinition += "-nosuchkeyword\n";
    WriteTextFile(StripExtension(csExe) + ".inf", csDefinition);
    const LONGLONG llStart = NowTicks();
    RunProgram("\"" + csExe + "\"", std::string(), 120000);
    return MsSince(llStart);
}

}  // namespace

BOOL RunTargets(const CBenchOptions& options)
{
    PrintHeading("Scale targets: each figure as a ratio to a floor measured in this run");
    BOOL fOk = TRUE;
    {
        const std::string csDir = MakeTempDirectory("ovbdef");
        // The first run of a program copy pays for loading it.
        TimeDefinitionRead(csDir, 2);
        const double dOne = TimeDefinitionRead(csDir, 1);
        for (int cLines : {1000, 5000}) {
            const double dMs = TimeDefinitionRead(csDir, cLines);
            PrintLine(StrFormat("definition entry of %d continued lines", cLines),
                      StrFormat("%.0f ms to read and refuse; one line %.0f ms", dMs, dOne));
        }
        RemoveDirectoryTree(csDir);
    }
    std::vector<int> acCounts = options.m_fQuick ? std::vector<int>{10, 100}
                                               : std::vector<int>{10, 100, 300, 500, options.m_cScaleProcesses};
    std::vector<CScalePoint> aPoints;
    for (int cProcesses : acCounts) {
        CScalePoint point;
        const BOOL fIdle = cProcesses == acCounts.front() || cProcesses == acCounts.back();
        fOk &= MeasurePoint(options, cProcesses, fIdle, point);
        aPoints.push_back(point);
    }
    const CScalePoint& few = aPoints.front();
    const CScalePoint& many = aPoints.back();
    PrintLine(StrFormat("restart gap, %d others against %d", many.m_cProcesses, few.m_cProcesses),
              StrFormat("%.1f / %.1f ms: %s, target <= 1.50x", many.m_dRestartMedian, few.m_dRestartMedian,
                        Ratio(many.m_dRestartMedian, few.m_dRestartMedian).c_str()));
    if (few.m_dIdleMs > 0 && many.m_dIdleMs > 0)
        PrintLine(StrFormat("idle CPU, %d against %d processes", many.m_cProcesses, few.m_cProcesses),
                  StrFormat("%.3f / %.3f %% of one core", many.m_dIdleCpuMs / many.m_dIdleMs * 100.0,
                            few.m_dIdleCpuMs / few.m_dIdleMs * 100.0));
    if (few.m_cbPrivate > 0 && many.m_cbPrivate > few.m_cbPrivate)
        PrintLine("private memory per process",
                  StrFormat("%.1f KB", (double)(many.m_cbPrivate - few.m_cbPrivate) / 1024.0 /
                                           (many.m_cProcesses - few.m_cProcesses)));

    const int cQuitProcesses = options.m_fQuick ? 100 : options.m_cScaleProcesses;
    const int cQuitClients = options.m_fQuick ? 10 : options.m_cScaleClients;
    double dQuit = 0, dFloor = 0, dQuitClients = 0, dFloorClients = 0;
    SIZE_T cbNone = 0, cbClients = 0;
    if (MeasureQuit(cQuitProcesses, 0, dQuit, dFloor, cbNone) &&
        MeasureQuit(cQuitProcesses, cQuitClients, dQuitClients, dFloorClients, cbClients)) {
        PrintLine(StrFormat("quit, %d shared-console lines", cQuitProcesses),
                  StrFormat("%.0f ms; plain terminate-and-wait loop %.0f ms: %s, target <= 1.50x", dQuit, dFloor,
                            Ratio(dQuit, dFloor).c_str()));
        PrintLine(StrFormat("  with %d clients", cQuitClients),
                  StrFormat("%.0f ms, of which broadcasts about %.0f ms (%.0f %%)", dQuitClients,
                            dQuitClients - dQuit, (dQuitClients - dQuit) / dQuitClients * 100.0));
        if (cbClients > 0)
            PrintLine("private memory per client",
                      StrFormat("%.1f KB", (double)cbClients / 1024.0 / (cQuitClients - 1)));
    } else {
        fOk = FALSE;
    }
    return fOk;
}
