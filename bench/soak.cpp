// Soak: ten children crash every 100 ms (RESTARTDELAY 0) while clients
// connect, command and disconnect in a loop, some of them misbehaving, and
// the definition file is read again every few seconds, each time with a
// line added or removed and the crashing lines' stop settings changed.
// Every crash must be followed by a restart (the children's stamp files say
// when each instance started and ended), the supervisor's handles and
// private memory must stay flat, and nothing may be left running.
#include <stdio.h>

#include <atomic>
#include <memory>

#include "benchmarks.h"
#include "benchutil.h"
#include "common/filestuf.h"
#include "e2e_util.h"

namespace {

const int c_cChildren = 10;

// A line whose last instance ended longer ago than this, while the others
// went on, has lost its restart. Generous: a client that does not read its
// pipe holds the supervisor up to 3 s.
const double c_dStuckMs = 8000.0;

// Handles and memory may grow a little (a connection in flight, the heap's
// own bookkeeping) but not with the number of restarts.
const DWORD c_cHandleSlack = 30;
const SIZE_T c_cbMemorySlack = 3 * 1024 * 1024;

std::string ChildName(int i)
{
    return StrFormat("bsk%02d.exe", i);
}

// The definition of reload nVersion: the crashing lines (their STOPTIMEOUT
// changes, which needs no restart) and, every other time, a named line more.
std::string MakeDefinition(const CProbedRun& run, int nVersion)
{
    std::string csDefinition;
    for (int i = 1; i <= c_cChildren; i++) {
        csDefinition += StrFormat("-noconsole -restartdelay 0 -stoptimeout %d \"", 2 + nVersion % 2) + ChildName(i) +
                        " -stampfile " + run.GetPath(StrFormat("bsk%02d.stamps", i)) + " -sleep 100 -crash\"\n";
    }
    if (nVersion % 2 == 1)
        csDefinition += "-noconsole -name bskextra \"" + ChildName(c_cChildren + 1) + " -forever\"\n";
    return csDefinition;
}

struct CSoakShared
{
    std::string m_csExeName;
    std::string m_csDefinitionPath;
    const CProbedRun* m_pRun = nullptr;
    std::atomic<long> m_cReloads{0};
    std::atomic<long> m_cReloadsRefused{0};
    std::atomic<bool> m_fStop{false};
    std::atomic<long> m_cSessions{0};
    std::atomic<long> m_cUnanswered{0};
    // Start commands answered with a start: the line's last end may not
    // have been handled yet, and a start command does not report it.
    std::atomic<long> m_cStartedByCommand{0};
    // A client that never reads holds the supervisor for its write bound
    // (3 s); one such client every 20 s leaves the crashes their pace.
    std::atomic<long long> m_llLastSilent{0};
    std::atomic<long> m_cSilent{0};
    unsigned long long m_ullSeed = 0;
};

struct CClientLoop
{
    CSoakShared* m_pShared;
    int m_nIndex;
};

// One client's life: connect, do one thing, go.
void RunSession(CSoakShared& shared, CRandom& random)
{
    CTestClient client;
    DWORD dwAction = random.Below(100);
    if (dwAction >= 97) {
        long long llLast = shared.m_llLastSilent;
        const BOOL fDue = llLast == 0 || MsSince(llLast) >= 20000.0;
        if (!fDue || !shared.m_llLastSilent.compare_exchange_strong(llLast, NowTicks()))
            dwAction = random.Below(97);
    }
    if (dwAction >= 97) {
        shared.m_cSilent++;
        // Connects, asks, and never reads: the supervisor gives it 3 s.
        if (client.Connect(shared.m_csExeName, 10000, FALSE)) {
            client.Send(3);
            for (int i = 0; i < 40 && !shared.m_fStop; i++)
                ::Sleep(100);
        }
        return;
    }
    if (!client.Connect(shared.m_csExeName, 10000))
        return;
    shared.m_cSessions++;
    if (dwAction < 45) {
        // Status, read in full.
        std::vector<std::string> acsTexts;
        client.Send(3);
        if (!client.WaitForText("Status of all processes:", 15000) ||
            !client.ReceiveTexts(c_cChildren, 15000, acsTexts))
            shared.m_cUnanswered++;
    } else if (dwAction < 60) {
        // A start of a line that runs or is about to: answered either way.
        const std::string csName = ChildName(1 + (int)random.Below(c_cChildren));
        client.Send(2, csName);
        BOOL fAnswered = FALSE;
        std::vector<std::string> acsTexts;
        while (!fAnswered && client.ReceiveTexts(acsTexts.size() + 1, 15000, acsTexts)) {
            const std::string& csText = acsTexts.back();
            fAnswered = csText.find(csName + " is already") == 0 || csText == "Started process: " + csName + ".";
            if (fAnswered && csText[0] == 'S')
                shared.m_cStartedByCommand++;
        }
        if (!fAnswered)
            shared.m_cUnanswered++;
    } else if (dwAction < 70) {
        // A name that matches nothing.
        client.Send(1, "bsknothing");
        if (!client.WaitForText("bsknothing is not a valid process name.", 15000))
            shared.m_cUnanswered++;
    } else if (dwAction < 80) {
        // Leaves at once.
    } else if (dwAction < 90) {
        // Asks and leaves without reading the answer.
        client.Send(3);
    } else {
        // A record that does not parse: the supervisor closes the connection.
        BYTE ab[52];
        for (BYTE& b : ab)
            b = (BYTE)random.Below(256);
        client.SendRaw(ab, sizeof ab, 5000);
    }
}

// Every 3 s a new version of the file, written beside it and moved into
// place (a reload never reads half a file), then a reload that must be
// answered with its changes.
DWORD WINAPI ReloadLoop(LPVOID pv)
{
    CSoakShared& shared = *static_cast<CSoakShared*>(pv);
    const std::string csNext = shared.m_csDefinitionPath + ".next";
    for (int nVersion = 1; !shared.m_fStop; nVersion++) {
        for (int i = 0; i < 30 && !shared.m_fStop; i++)
            ::Sleep(100);
        if (shared.m_fStop)
            break;
        if (!WriteTextFile(csNext, MakeDefinition(*shared.m_pRun, nVersion)) ||
            !::MoveFileExA(csNext.c_str(), shared.m_csDefinitionPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            shared.m_cReloadsRefused++;
            continue;
        }
        CTestClient client;
        if (!client.Connect(shared.m_csExeName, 10000) || !client.Send(12)) {
            shared.m_cUnanswered++;
            continue;
        }
        std::vector<std::string> acsTexts;
        BOOL fAnswered = FALSE;
        while (!fAnswered && client.ReceiveTexts(acsTexts.size() + 1, 15000, acsTexts)) {
            const std::string& csText = acsTexts.back();
            fAnswered = csText.compare(0, 9, "Reloaded ") == 0 || csText.compare(0, 16, "Reload refused: ") == 0;
            if (csText.compare(0, 16, "Reload refused: ") == 0)
                shared.m_cReloadsRefused++;
            else if (fAnswered)
                shared.m_cReloads++;
        }
        if (!fAnswered)
            shared.m_cUnanswered++;
    }
    return 0;
}

DWORD WINAPI ClientLoop(LPVOID pv)
{
    CClientLoop* pLoop = static_cast<CClientLoop*>(pv);
    CRandom random(pLoop->m_pShared->m_ullSeed + 7919u * (unsigned)(pLoop->m_nIndex + 1));
    while (!pLoop->m_pShared->m_fStop)
        RunSession(*pLoop->m_pShared, random);
    return 0;
}

}  // namespace

CSoakResult RunSoak(const CBenchOptions& options, DWORD dwSeconds)
{
    CSoakResult result;
    CProbedRun run;
    run.SetChildPrefix("bsk");
    KillProcessesWithPrefix("bsk");
    if (!run.Prepare("ovbsoak.exe")) {
        result.m_csFailure = "could not prepare the run";
        return result;
    }
    for (int i = 1; i <= c_cChildren + 1; i++)
        run.CopyChild(ChildName(i));
    CTestClient watcher;
    if (!run.Launch(MakeDefinition(run, 0)) || !watcher.Connect(run.m_csExeName, 10000)) {
        result.m_csFailure = "the supervisor could not be started";
        return result;
    }
    if (!watcher.WaitForText("All services have been started.", 30000)) {
        const std::string csLog = GetTestDirectory() + "soak-supervisor.log";
        WriteTextFile(csLog, run.Output());
        result.m_csFailure = "the supervisor did not start its children; its console output is in " + csLog;
        return result;
    }
    CSoakShared shared;
    shared.m_csExeName = run.m_csExeName;
    shared.m_ullSeed = options.m_ullSeed;
    shared.m_pRun = &run;
    shared.m_csDefinitionPath = run.GetPath(StripExtension(run.m_csExeName) + ".inf");
    const int cLoops = 3;
    CClientLoop aLoops[cLoops];
    HANDLE ahThreads[cLoops + 1];
    for (int i = 0; i < cLoops; i++) {
        aLoops[i].m_pShared = &shared;
        aLoops[i].m_nIndex = i;
        ahThreads[i] = ::CreateThread(NULL, 0, ClientLoop, &aLoops[i], 0, NULL);
    }
    ahThreads[cLoops] = ::CreateThread(NULL, 0, ReloadLoop, &shared, 0, NULL);

    // The first figures after the heap and the handle table have settled.
    const LONGLONG llStart = NowTicks();
    const DWORD dwWarmupMs = std::min<DWORD>(10000, dwSeconds * 250);
    ::Sleep(dwWarmupMs);
    const CProcessUsage usageStart = run.ReadUsage();
    size_t cCrashTexts = 0;
    while (MsSince(llStart) < dwSeconds * 1000.0 && !run.HasExited()) {
        ::Sleep(500);
        for (const std::string& csText : watcher.TakeTexts())
            cCrashTexts += csText.find(" has ended. Exit code: ") != std::string::npos ? 1 : 0;
    }
    const CProcessUsage usageEnd = run.ReadUsage();
    shared.m_fStop = true;
    ::WaitForMultipleObjects(cLoops + 1, ahThreads, TRUE, 30000);
    for (HANDLE hThread : ahThreads)
        ::CloseHandle(hThread);
    const BOOL fCrashed = run.HasExited();
    const LONGLONG llQuit = NowTicks();

    run.Quit();
    const BOOL fEnded = run.WaitForExit(60000);
    const DWORD dwExitCode = run.GetExitCode();
    watcher.WaitForEnd(10000);
    for (const std::string& csText : watcher.TakeTexts())
        cCrashTexts += csText.find(" has ended. Exit code: ") != std::string::npos ? 1 : 0;
    result.m_cLeftRunning = run.Cleanup();

    // Every line went on crashing and restarting until the quit.
    size_t cStuck = 0;
    std::vector<double> adRestart;
    for (int i = 1; i <= c_cChildren; i++) {
        std::vector<CStamp> aStamps = ReadStamps(run.GetPath(StrFormat("bsk%02d.stamps", i)));
        const std::vector<double> adIntervals = EndToStartIntervals(aStamps);
        adRestart.insert(adRestart.end(), adIntervals.begin(), adIntervals.end());
        size_t cStarts = 0;
        LONGLONG llLast = 0;
        for (const CStamp& stamp : aStamps) {
            if (stamp.m_llTicks > llQuit)
                continue;
            cStarts += stamp.m_fStart ? 1 : 0;
            result.m_cCrashes += stamp.m_fStart ? 0 : 1;
            llLast = std::max(llLast, stamp.m_llTicks);
        }
        result.m_cRestarts += cStarts > 0 ? cStarts - 1 : 0;
        if (cStarts == 0 || TicksToMs(llQuit - llLast) > c_dStuckMs)
            cStuck++;
    }
    result.m_cUnrestarted = cStuck;
    result.m_figRestart = ComputeFigures(adRestart);
    result.m_cSilentClients = (size_t)shared.m_cSilent;
    result.m_cReloads = (size_t)shared.m_cReloads;
    result.m_cReloadsRefused = (size_t)shared.m_cReloadsRefused;
    result.m_cCrashBroadcasts = cCrashTexts;
    result.m_cClientSessions = (size_t)shared.m_cSessions;
    result.m_cHandlesStart = usageStart.m_cHandles;
    result.m_cHandlesEnd = usageEnd.m_cHandles;
    result.m_cbPrivateStart = usageStart.m_cbPrivate;
    result.m_cbPrivateEnd = usageEnd.m_cbPrivate;

    if (fCrashed)
        result.m_csFailure = StrFormat("the supervisor ended during the run (exit code %lu)", dwExitCode);
    else if (!fEnded || dwExitCode != 0)
        result.m_csFailure = StrFormat("the supervisor did not end after quit (exit code %lu)", dwExitCode);
    else if (result.m_cLeftRunning != 0)
        result.m_csFailure = StrFormat("%u processes were left running", (unsigned)result.m_cLeftRunning);
    else if (cStuck != 0)
        result.m_csFailure = StrFormat("%u lines stopped restarting", (unsigned)cStuck);
    else if (result.m_cCrashes < (size_t)c_cChildren)
        result.m_csFailure = "the children did not crash";
    // A crash just before the quit may be seen by the shutdown only, one
    // before a start command by the command only.
    else if (cCrashTexts + c_cChildren + (size_t)shared.m_cStartedByCommand < result.m_cCrashes ||
             cCrashTexts > result.m_cCrashes + c_cChildren)
        result.m_csFailure = StrFormat("%u crashes but %u crash broadcasts", (unsigned)result.m_cCrashes,
                                     (unsigned)cCrashTexts);
    else if (result.m_cReloadsRefused != 0)
        result.m_csFailure = StrFormat("%u reloads of a whole file were refused", (unsigned)result.m_cReloadsRefused);
    else if (result.m_cReloads == 0 && dwSeconds >= 10)
        result.m_csFailure = "no reload was answered";
    else if (shared.m_cUnanswered != 0)
        result.m_csFailure = StrFormat("%ld client commands were not answered", (long)shared.m_cUnanswered);
    else if (!usageStart.m_fHandlesOk || !usageEnd.m_fHandlesOk || !usageStart.m_fMemoryOk || !usageEnd.m_fMemoryOk)
        result.m_csFailure = "the supervisor's handles or memory could not be read";
    else if (usageEnd.m_cHandles > usageStart.m_cHandles + c_cHandleSlack)
        result.m_csFailure = "the handle count grew";
    else if (usageEnd.m_cbPrivate > usageStart.m_cbPrivate + c_cbMemorySlack)
        result.m_csFailure = "private memory grew";
    result.m_fPassed = result.m_csFailure.empty();
    if (!result.m_fPassed) {
        // What the supervisor's own console showed, for the diagnosis.
        const std::string csLog = GetTestDirectory() + "soak-supervisor.log";
        WriteTextFile(csLog, run.Output());
        result.m_csFailure += "; the supervisor's console output is in " + csLog;
    }
    return result;
}
