// Attack run: the shapes that once stopped supervision, each against a
// running supervisor with a line that crashes every 200 ms. After each
// shape the line must have been restarted and a fresh client must have its
// status answered, within bounds; the supervisor's memory must stay within
// tens of MiB of where it started. The name-holding shapes (a program that
// serves the name first, a second supervisor of the same name) must be
// refused at start with exit code 3 and start nothing.
#include <stdio.h>

#include <atomic>
#include <memory>

#include "benchmarks.h"
#include "benchutil.h"

namespace {

const char* const c_pszCrashLine = "\"bat1.exe -sleep 200 -crash\" -noconsole -restartdelay 0 -nounique\n";
const DWORD c_dwStatusBound = 5000;

struct CAttackContext
{
    CProbedRun* m_pRun;
    CTestClient* m_pWatcher;
    CAttackResult* m_pResult;
};

// The line restarted twice more and a fresh client answered; otherwise the
// failure is stored with the shape's name.
BOOL StillSupervising(CAttackContext& ctx, const char* pszShape)
{
    for (int i = 0; i < 2; i++) {
        if (!ctx.m_pWatcher->WaitForText("Started process: bat1.exe.", c_dwStatusBound)) {
            ctx.m_pResult->m_csFailure = StrFormat("no restart after %s", pszShape);
            return FALSE;
        }
    }
    CTestClient client;
    const LONGLONG llStart = NowTicks();
    if (!client.Connect(ctx.m_pRun->m_csExeName, 1000) || !client.Send(3) ||
        !client.WaitForText("Process bat1.exe", c_dwStatusBound)) {
        ctx.m_pResult->m_csFailure = StrFormat("no status answer after %s", pszShape);
        return FALSE;
    }
    ctx.m_pResult->m_adStatusMs.push_back(MsSince(llStart));
    ctx.m_pWatcher->Discard();
    return TRUE;
}

// Tiny and empty messages from several clients that keep reading what they
// are sent, for dwMs.
BOOL TinyFlood(CAttackContext& ctx, DWORD dwMs)
{
    std::atomic<bool> fStop(false);
    std::atomic<long> cSent(0);
    std::vector<HANDLE> ahThreads;
    struct CFlooder
    {
        std::string m_csExe;
        std::atomic<bool>* m_pfStop;
        std::atomic<long>* m_pcSent;
    };
    std::vector<std::unique_ptr<CFlooder>> apFlooders;
    for (int i = 0; i < 4; i++) {
        apFlooders.emplace_back(new CFlooder{ctx.m_pRun->m_csExeName, &fStop, &cSent});
        ahThreads.push_back(::CreateThread(
            NULL, 0,
            [](LPVOID pv) -> DWORD {
                CFlooder* p = static_cast<CFlooder*>(pv);
                CTestClient client;
                if (!client.Connect(p->m_csExe, 10000))
                    return 1;
                const char ch = 'x';
                for (long n = 0; !*p->m_pfStop; n++) {
                    if (!client.SendRaw(&ch, (DWORD)(n % 2), 10000))
                        return 1;
                    (*p->m_pcSent)++;
                    if (n % 1000 == 0)
                        client.Discard();
                }
                return 0;
            },
            apFlooders.back().get(), 0, NULL));
    }
    ::Sleep(dwMs / 2);
    BOOL fOk = StillSupervising(ctx, "a flood of tiny messages");
    ::Sleep(dwMs / 2);
    fStop = true;
    ::WaitForMultipleObjects((DWORD)ahThreads.size(), ahThreads.data(), TRUE, 30000);
    for (HANDLE h : ahThreads)
        ::CloseHandle(h);
    ctx.m_pResult->m_cTinyMessages = (size_t)cSent;
    return fOk;
}

// Four clients that each send one message of cbHuge bytes.
BOOL HugeMessages(CAttackContext& ctx, DWORD cbHuge)
{
    const std::string csHuge(cbHuge, 'H');
    std::vector<std::unique_ptr<CTestClient>> apClients;
    std::vector<HANDLE> ahThreads;
    struct CSender
    {
        CTestClient* m_pClient;
        const std::string* m_pcsBytes;
    };
    std::vector<std::unique_ptr<CSender>> apSenders;
    for (int i = 0; i < 4; i++) {
        apClients.emplace_back(new CTestClient);
        if (!apClients.back()->Connect(ctx.m_pRun->m_csExeName, 10000))
            break;
        apSenders.emplace_back(new CSender{apClients.back().get(), &csHuge});
        ahThreads.push_back(::CreateThread(
            NULL, 0,
            [](LPVOID pv) -> DWORD {
                CSender* p = static_cast<CSender*>(pv);
                p->m_pClient->SendRaw(p->m_pcsBytes->data(), (DWORD)p->m_pcsBytes->size(), 30000);
                return 0;
            },
            apSenders.back().get(), 0, NULL));
    }
    ::WaitForMultipleObjects((DWORD)ahThreads.size(), ahThreads.data(), TRUE, 60000);
    for (HANDLE h : ahThreads)
        ::CloseHandle(h);
    for (auto& pClient : apClients)
        ctx.m_pResult->m_cHugeRefused += pClient->WaitForEnd(5000) ? 1 : 0;
    return StillSupervising(ctx, "huge messages");
}

// cClients connections made as fast as possible that never say or read
// anything; how many had to wait more than a second is counted.
BOOL SilentConnections(CAttackContext& ctx, int cClients)
{
    std::vector<std::unique_ptr<CTestClient>> apClients;
    for (int i = 0; i < cClients; i++) {
        apClients.emplace_back(new CTestClient);
        const LONGLONG llStart = NowTicks();
        if (!apClients.back()->Connect(ctx.m_pRun->m_csExeName, 10000, FALSE))
            ctx.m_pResult->m_cBusyOverSecond++;
        else if (MsSince(llStart) > 1000)
            ctx.m_pResult->m_cBusyOverSecond++;
    }
    const BOOL fOk = StillSupervising(ctx, StrFormat("%d silent connections", cClients).c_str());
    apClients.clear();
    return fOk;
}

// A supervisor started while csExeName's pipe is served by someone else
// must say so, start nothing and end with 3.
BOOL RefusedAtStart(CAttackResult& result, const std::string& csExeName, const char* pszShape)
{
    CProbedRun run;
    run.SetChildPrefix("bat");
    if (!run.Prepare(csExeName) || !run.CopyChild("bat2.exe") ||
        !run.Launch("-noconsole \"bat2.exe -forever\"\n")) {
        result.m_csFailure = StrFormat("%s: the supervisor could not be launched", pszShape);
        return FALSE;
    }
    const BOOL fEnded = run.WaitForExit(20000);
    const std::string csOutput = run.Output();
    if (!fEnded || run.GetExitCode() != 3 || csOutput.find("another program serves it") == std::string::npos ||
        csOutput.find("Started process") != std::string::npos) {
        result.m_csFailure = StrFormat("%s: not refused cleanly (exit code %lu): %s", pszShape, run.GetExitCode(),
                                     csOutput.substr(0, 300).c_str());
        run.Cleanup();
        return FALSE;
    }
    result.m_cRefused++;
    return TRUE;
}

}  // namespace

CAttackResult RunPipeAttacks(const CBenchOptions& options)
{
    CAttackResult result;
    KillProcessesWithPrefix("bat");
    // A program that holds the name first, with room for one instance.
    {
        const std::string csRogue = "ovbrogue.exe";
        HANDLE hRogue = ::CreateNamedPipeA(("\\\\.\\pipe\\" + GetControlPipeName(csRogue)).c_str(),
                                           PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 0, 0,
                                           NULL);
        const BOOL fRefused = RefusedAtStart(result, csRogue, "a program serving the name first");
        ::CloseHandle(hRogue);
        if (!fRefused)
            return result;
    }

    CProbedRun run;
    run.SetChildPrefix("bat");
    CTestClient watcher;
    if (!run.Prepare("ovbattack.exe") || !run.CopyChild("bat1.exe") || !run.Launch(c_pszCrashLine) ||
        !watcher.Connect(run.m_csExeName, 10000) || !watcher.WaitForText("All services have been started.", 30000)) {
        result.m_csFailure = "the supervisor did not start: " + run.Output().substr(0, 300);
        run.Cleanup();
        return result;
    }
    CAttackContext ctx = {&run, &watcher, &result};
    result.m_cbPrivateStart = run.ReadUsage().m_cbPrivate;
    const BOOL fOk = TinyFlood(ctx, options.m_fQuick ? 2000 : 20000) &&
                     HugeMessages(ctx, options.m_fQuick ? (32u << 20) : (256u << 20)) &&
                     SilentConnections(ctx, options.m_fQuick ? 100 : 300) &&
                     RefusedAtStart(result, run.m_csExeName, "a second supervisor of the same name") &&
                     StillSupervising(ctx, "a second supervisor of the same name");
    result.m_cbPrivateEnd = run.ReadUsage().m_cbPrivate;
    watcher.Close();
    run.Quit();
    const BOOL fEnded = run.WaitForExit(30000);
    run.Cleanup();
    if (fOk && !fEnded)
        result.m_csFailure = "the supervisor did not end on quit";
    else if (fOk && result.m_cbPrivateEnd > result.m_cbPrivateStart + (SIZE_T)(32 << 20))
        result.m_csFailure = StrFormat("private memory grew from %lu to %lu KiB",
                                     (unsigned long)(result.m_cbPrivateStart >> 10),
                                     (unsigned long)(result.m_cbPrivateEnd >> 10));
    else if (fOk && result.m_cBusyOverSecond > 0)
        result.m_csFailure = StrFormat("%lu clients waited more than a second to connect",
                                     (unsigned long)result.m_cBusyOverSecond);
    result.m_fPassed = fOk && result.m_csFailure.empty();
    return result;
}
