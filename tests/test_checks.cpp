// Probe targets as the definition file gives them, one look at each kind
// against real listeners in this process, the prober's workers, and the
// private memory of a real child (and of its tree).
#include <winsock2.h>

#include <atomic>
#include <memory>

#include "helpers/childpath.h"
#include "prober.h"
#include "watched.h"
#include "test_util.h"

namespace {

// A listener on 127.0.0.1; an empty answer makes a hung server whose port
// stays open.
class CTestListener
{
public:
    explicit CTestListener(const std::string& csAnswer) : m_csAnswer(csAnswer), m_fStop(FALSE)
    {
        WSADATA data;
        ::WSAStartup(MAKEWORD(2, 2), &data);
        m_sListen = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int cb = sizeof addr;
        EXPECT_EQ(::bind(m_sListen, (const sockaddr*)&addr, sizeof addr), 0);
        EXPECT_EQ(::listen(m_sListen, SOMAXCONN), 0);
        ::getsockname(m_sListen, (sockaddr*)&addr, &cb);
        m_wPort = ntohs(addr.sin_port);
        m_pThread.reset(new CTestThread([this] { Serve(); }));
    }
    ~CTestListener()
    {
        m_fStop = TRUE;
        ::closesocket(m_sListen);
        m_pThread.reset();
        for (SOCKET s : m_aHeld)
            ::closesocket(s);
    }
    std::string Url(const std::string& csPath = "/") const
    {
        return "http://127.0.0.1:" + std::to_string(m_wPort) + csPath;
    }
    std::string Tcp() const { return "tcp:" + std::to_string(m_wPort); }
    WORD m_wPort;
    std::atomic<int> m_nRequests{0};

private:
    void Serve()
    {
        while (!m_fStop) {
            SOCKET s = ::accept(m_sListen, NULL, NULL);
            if (s == INVALID_SOCKET)
                return;
            m_nRequests++;
            if (m_csAnswer.empty()) {
                m_aHeld.push_back(s);
                continue;
            }
            char ach[1024];
            ::recv(s, ach, sizeof ach, 0);
            ::send(s, m_csAnswer.data(), (int)m_csAnswer.size(), 0);
            ::closesocket(s);
        }
    }
    std::string m_csAnswer;
    volatile BOOL m_fStop;
    SOCKET m_sListen;
    std::vector<SOCKET> m_aHeld;
    std::unique_ptr<CTestThread> m_pThread;
};

BOOL Probe(const std::string& csTarget, DWORD dwTimeoutMs, DWORD dwKinds = PROBE_KINDS_READY)
{
    CProbeTarget target;
    EXPECT_TRUE(target.Parse(csTarget, dwKinds)) << csTarget;
    return RunProbe(target, dwTimeoutMs);
}

// A port nothing listens on: one the system gave and took back.
WORD FreePort()
{
    CTestListener listener("x");
    return listener.m_wPort;
}

}  // namespace

TEST(ProbeTarget, MalformedTextsAndKindsAKeywordDoesNotTakeAreRefused)
{
    const char* const apszBad[] = {"", "5432", "tcp:", "tcp:0", "tcp:65536", "tcp:12ab", "tcp:host:", "tcp::80",
                                   "tcp:a b:80", "http://", "http://:80/", "http://web:x/", "http://web:99999/",
                                   "http://web/a b", "https://web/", "file:", "event:", "udp:53",
                                   "tcp:123456"};
    for (const char* pszBad : apszBad) {
        CProbeTarget target;
        EXPECT_FALSE(target.Parse(pszBad, PROBE_KINDS_READY)) << pszBad;
        EXPECT_FALSE(target.IsSet()) << pszBad;
    }
    CProbeTarget target;
    EXPECT_FALSE(target.Parse("file:x.ready", PROBE_KINDS_HEALTH));
    EXPECT_FALSE(target.Parse("event:x", PROBE_KINDS_HEALTH));
    EXPECT_TRUE(target.Parse("http://web/", PROBE_KINDS_HEALTH));
    EXPECT_TRUE(target.Parse("tcp:80", PROBE_KINDS_HEALTH));
}

TEST(RunProbe, TcpAndHttpAgainstRealListenersHungOrClosed)
{
    CTestListener ok("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
    CTestListener busy("HTTP/1.1 503 Service Unavailable\r\n\r\n");
    CTestListener garbage("hello\r\n");
    EXPECT_TRUE(Probe(ok.Tcp(), 2000));
    EXPECT_TRUE(Probe(ok.Url("/health"), 2000));
    EXPECT_FALSE(Probe(busy.Url(), 2000));
    EXPECT_FALSE(Probe(garbage.Url(), 2000));
    // A closed port is refused at once, not after the time-out.
    const DWORD dwStart = ::GetTickCount();
    EXPECT_FALSE(Probe("tcp:" + std::to_string(FreePort()), 5000));
    EXPECT_LT(::GetTickCount() - dwStart, 3000u);
    // A hung server fails HTTP within the time-out while its port answers TCP.
    CTestListener hung("");
    EXPECT_TRUE(Probe(hung.Tcp(), 2000));
    const DWORD dwHungStart = ::GetTickCount();
    EXPECT_FALSE(Probe(hung.Url(), 700));
    const DWORD dwTook = ::GetTickCount() - dwHungStart;
    EXPECT_GE(dwTook, 600u);
    EXPECT_LT(dwTook, 2500u);
}

TEST(RunProbe, FileAndEventSignals)
{
    CTempDir dir;
    EXPECT_FALSE(Probe("file:" + dir.File("db.ready"), 100));
    ASSERT_TRUE(WriteTextFile(dir.File("db.ready"), ""));
    EXPECT_TRUE(Probe("file:" + dir.File("db.ready"), 100));

    EXPECT_FALSE(Probe("event:OvrTestProbeEvent", 100));   // none yet
    CHandle hEvent(::CreateEventA(NULL, TRUE, FALSE, "OvrTestProbeEvent"));
    EXPECT_FALSE(Probe("event:OvrTestProbeEvent", 100));
    ::SetEvent(hEvent.Get());
    EXPECT_TRUE(Probe("event:OvrTestProbeEvent", 100));
    // Probing leaves a manual-reset event set.
    EXPECT_TRUE(Probe("event:OvrTestProbeEvent", 100));
}

namespace {

// Waits (bounded) until cWanted results have come; they are appended.
void CollectResults(CProber& prober, size_t cWanted, CProbeResultArray& aResults, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    while (aResults.size() < cWanted && ::GetTickCount() - dwStart < dwTimeoutMs) {
        ::WaitForSingleObject(prober.m_evResults.m_hHandle, 100);
        prober.TakeResults(aResults);
    }
}

}  // namespace

// Hung servers hold workers, not the probes behind them: more workers are
// made, up to the bound, and a live server's answer comes first.
TEST(Prober, HungProbesDoNotHoldTheOthers)
{
    CTestListener hung("");
    CTestListener ok("HTTP/1.0 200 OK\r\n\r\n");
    CProbeTarget hungTarget, okTarget;
    ASSERT_TRUE(hungTarget.Parse(hung.Url(), PROBE_KINDS_HEALTH));
    ASSERT_TRUE(okTarget.Parse(ok.Url(), PROBE_KINDS_HEALTH));
    CProber prober;
    for (DWORD dwKey = 1; dwKey <= 5; dwKey++)
        ASSERT_TRUE(prober.Submit({dwKey, hungTarget, 3000}));
    ASSERT_TRUE(prober.Submit({99, okTarget, 3000}));
    CProbeResultArray aResults;
    CollectResults(prober, 1, aResults, 2500);
    ASSERT_EQ(aResults.size(), 1u);
    EXPECT_EQ(aResults[0].m_dwKey, 99u);
    EXPECT_TRUE(aResults[0].m_fOk);
    EXPECT_EQ(prober.GetWorkerCount(), 6);
    CollectResults(prober, 6, aResults, 6000);
    ASSERT_EQ(aResults.size(), 6u);
    for (size_t i = 1; i < aResults.size(); i++)
        EXPECT_FALSE(aResults[i].m_fOk) << aResults[i].m_dwKey;
}

TEST(Prober, WorkersAreBoundedAndReused)
{
    CTestListener ok("HTTP/1.0 200 OK\r\n\r\n");
    CProbeTarget target;
    ASSERT_TRUE(target.Parse(ok.Tcp(), PROBE_KINDS_HEALTH));
    CProber prober;
    const DWORD cProbes = 3 * c_nMaxProbeWorkers;
    for (DWORD dwKey = 1; dwKey <= cProbes; dwKey++)
        ASSERT_TRUE(prober.Submit({dwKey, target, 2000}));
    CProbeResultArray aResults;
    CollectResults(prober, cProbes, aResults, 10000);
    ASSERT_EQ(aResults.size(), (size_t)cProbes);
    for (const CProbeResult& result : aResults)
        EXPECT_TRUE(result.m_fOk) << result.m_dwKey;
    EXPECT_LE(prober.GetWorkerCount(), c_nMaxProbeWorkers);
    // One at a time after that: an idle worker takes each.
    const int nWorkers = prober.GetWorkerCount();
    for (DWORD dwKey = 1; dwKey <= 3; dwKey++) {
        ASSERT_TRUE(prober.Submit({dwKey, target, 2000}));
        aResults.clear();
        CollectResults(prober, 1, aResults, 3000);
        EXPECT_EQ(aResults.size(), 1u);
    }
    EXPECT_EQ(prober.GetWorkerCount(), nWorkers);
}

TEST(Prober, DestroyedWhileAProbeRunsReturnsAtOnce)
{
    CTestListener hung("");
    CProbeTarget target;
    ASSERT_TRUE(target.Parse(hung.Url(), PROBE_KINDS_HEALTH));
    const DWORD dwStart = ::GetTickCount();
    {
        CProber prober;
        ASSERT_TRUE(prober.Submit({1, target, 1500}));
        ::Sleep(100);
    }
    EXPECT_LT(::GetTickCount() - dwStart, 1000u);
    // The worker ends after its probe; the listener outlives it.
    ::Sleep(2000);
}

namespace {

// A watched record of the test child, ended with the test.
struct CMeasuredChild
{
    explicit CMeasuredChild(const std::string& csArguments, BOOL fKillTree)
    {
        m_wp.SetCommandLine("\"" + GetChildProcPath() + "\" " + csArguments);
        m_wp.m_dwConsoleFlags = DETACHED_PROCESS;
        m_wp.m_fKillTree = fKillTree;
    }
    ~CMeasuredChild()
    {
        if (m_wp.m_processinfo.hProcess != NULL) {
            m_wp.Terminate(1);
            ::WaitForSingleObject(m_wp.m_processinfo.hProcess, 5000);
        }
        m_wp.EndTree();
    }
    ULONGLONG PrivateMb() { return PrivateBytes() >> 20; }
    ULONGLONG PrivateBytes()
    {
        ULONGLONG cb = 0;
        EXPECT_TRUE(m_wp.QueryPrivateBytes(cb)) << LastErrorText();
        return cb;
    }
    CWatchedProcess m_wp;
};

}  // namespace

TEST(PrivateMemory, AKillTreeLineCountsItsWholeTree)
{
    CTempDir dir;
    CMeasuredChild alone("-grow 32 60000 -forever", FALSE);
    CMeasuredChild tree("-grandchild \"" + dir.File("gc.pid") + "\" -grow 32 60000 -forever", TRUE);
    ASSERT_TRUE(alone.m_wp.Start()) << LastErrorText();
    ASSERT_TRUE(tree.m_wp.Start()) << LastErrorText();
    for (int i = 0; i < 100 && dir.Text("gc.pid") == "(missing)"; i++)
        ::Sleep(50);
    ::Sleep(500);
    const ULONGLONG ullAlone = alone.PrivateBytes();
    const ULONGLONG ullTree = tree.PrivateBytes();
    EXPECT_GE(ullAlone, 32u << 20);
    // The grandchild's own is added: it allocates nothing itself, so only
    // what a process costs (about 3 MB under Wine 8).
    EXPECT_GT(ullTree, ullAlone + (1u << 20)) << ullAlone;
}
