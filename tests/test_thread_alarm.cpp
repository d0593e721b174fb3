// Threads (start, resume, end, destruction while running) and alarms (time
// order, re-arming, cancelling, the alarm thread's life).
#include <memory>
#include <vector>

#include "common/alarm.h"
#include "common/win32.h"
#include "record_failures.h"
#include "test_util.h"
#include "test_app.h"

namespace {

// Signalled when a worker's body has begun.
HANDLE g_hStarted = ::CreateEventA(NULL, FALSE, FALSE, NULL);

// Waits for its gate (if any), sleeps, counts the run and sets its exit
// code. Its body uses only what outlives the object once it has begun: it
// may run on while the base destructor waits for it.
class CWorkerThread : public CThread
{
public:
    CWorkerThread(const std::string& csName, DWORD dwSleep, volatile LONG* pcRuns, HANDLE hGate = NULL)
        : CThread(csName), m_dwSleep(dwSleep), m_pcRuns(pcRuns), m_hGate(hGate)
    {
    }
    virtual void Run() override
    {
        volatile LONG* pcRuns = m_pcRuns;
        const DWORD dwSleep = m_dwSleep;
        const HANDLE hGate = m_hGate;
        m_dwExitCode = 7;
        ::SetEvent(g_hStarted);
        if (hGate != NULL)
            ::WaitForSingleObject(hGate, 10000);
        ::Sleep(dwSleep);
        ::InterlockedIncrement(pcRuns);
    }
    DWORD m_dwSleep;
    volatile LONG* m_pcRuns;
    HANDLE m_hGate;
};

DWORD WINAPI CountRoutine(void* pv)
{
    if (pv != NULL)
        ::InterlockedIncrement(static_cast<volatile LONG*>(pv));
    return pv != NULL ? 3 : 4;
}

// The ids of recording alarms in the order they fired.
std::vector<int> g_aiFired;
CRITICAL_SECTION g_critsecFired;
const struct CFiredInit { CFiredInit() { ::InitializeCriticalSection(&g_critsecFired); } } g_firedInit;

struct CRecordingAlarm : CAlarm
{
    explicit CRecordingAlarm(int nId) : m_nId(nId) {}
    virtual void Fire() override
    {
        ::EnterCriticalSection(&g_critsecFired);
        g_aiFired.push_back(m_nId);
        ::LeaveCriticalSection(&g_critsecFired);
        CAlarm::Fire();
    }
    int m_nId;
};

std::vector<int> TakeFired()
{
    std::vector<int> ai;
    ::EnterCriticalSection(&g_critsecFired);
    ai.swap(g_aiFired);
    ::LeaveCriticalSection(&g_critsecFired);
    return ai;
}

CMilliTimeSpan Ms(LONG nMilliseconds)
{
    return CMilliTimeSpan(0, 0, 0, 0, nMilliseconds);
}

}  // namespace

// ---- Threads --------------------------------------------------------------

TEST(Thread, StartsSuspendedRunsAfterResumeEndsWithItsExitCodeAndStartsAgain)
{
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    volatile LONG cRuns = 0;
    CWorkerThread thread("Worker", 0, &cRuns);
    EXPECT_EQ(thread.Start(), 0u);
    EXPECT_EQ(GetThreadName(thread.m_dwThreadId), "Worker");
    ::Sleep(30);
    EXPECT_EQ(cRuns, 0);
    EXPECT_EQ(thread.Resume(), 1u);
    CWaitObjectArray apwo = {&thread};
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 5000), &thread);
    EXPECT_EQ(cRuns, 1);
    DWORD dwExitCode = 0;
    EXPECT_TRUE(::GetExitCodeThread(thread.m_hHandle, &dwExitCode));
    EXPECT_EQ(dwExitCode, 7u);
    std::string csId = std::to_string(thread.m_dwThreadId);
    thread.WaitForEnd();
    EXPECT_EQ(thread.m_hHandle, (HANDLE)NULL);
    EXPECT_EQ(capture.Text(), "Thread Worker (id: " + csId + ") has been created.\n"
                              "Thread Worker (id: " + csId + ") is ending.\n");

    // Again, with a body that takes longer than 100 ms; a second Start
    // meanwhile is refused.
    thread.m_dwSleep = 300;
    EXPECT_EQ(thread.Start(), 0u);
    HANDLE hFirst = thread.m_hHandle;
    {
        CRecordFailures failures;
        EXPECT_EQ(thread.Start(), (DWORD)ERROR_BUSY);
        EXPECT_TRUE(failures.Has("ASSERT_NULL(m_hHandle)")) << failures.Texts();
    }
    EXPECT_EQ(thread.m_hHandle, hFirst);
    thread.Resume();
    csId = std::to_string(thread.m_dwThreadId);
    capture.Clear();
    thread.WaitForEnd();
    EXPECT_EQ(cRuns, 2);
    EXPECT_EQ(capture.Text().find("Waiting for thread Worker (id: " + csId + ") to end.\n"), 0u) << capture.Text();
}

TEST(Thread, DestroyedBeforeItEndedIsReportedAndWaitedForAfterItEndedNot)
{
    const char* const pszReport = "A thread object is being destroyed before the corresponding thread has ended.";
    CRecordFailures failures;
    CStderrCapture capture;
    volatile LONG cRuns = 0;
    // Running: the destructor returns only after the body has run to its end.
    HANDLE hGate = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::unique_ptr<CWorkerThread> pThread(new CWorkerThread("Orphan", 0, &cRuns, hGate));
    pThread->Start();
    ::ResetEvent(g_hStarted);
    pThread->Resume();
    // Destruction must not begin before the body: the entry routine calls
    // it through the object.
    ASSERT_EQ(::WaitForSingleObject(g_hStarted, 5000), WAIT_OBJECT_0);
    {
        CTestThread opener([&] {
            ::Sleep(200);
            ::SetEvent(hGate);
        });
        pThread.reset();
        EXPECT_EQ(cRuns, 1);
    }
    EXPECT_EQ(failures.Texts(), std::string(pszReport) + "\n");
    EXPECT_NE(capture.Text().find("Waiting for thread Orphan"), std::string::npos) << capture.Text();
    ::CloseHandle(hGate);

    // Never resumed: reported, does not hang, the body never runs.
    pThread.reset(new CWorkerThread("Never", 0, &cRuns));
    pThread->Start();
    pThread.reset();
    EXPECT_EQ(failures.Count(), 2u) << failures.Texts();
    EXPECT_EQ(cRuns, 1);

    // Ended: nothing to say.
    capture.Clear();
    pThread.reset(new CWorkerThread("Ended", 0, &cRuns));
    pThread->Start();
    pThread->Resume();
    EXPECT_TRUE(pThread->Wait(5000));
    pThread.reset();
    EXPECT_EQ(failures.Count(), 2u) << failures.Texts();
    EXPECT_EQ(capture.Text(), "");
}

TEST(SimpleThread, CreatesSuspendedRunsTheRoutineWithItsParameterAndCloses)
{
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    volatile LONG cRuns = 0;
    CSimpleThread thread, named;
    thread.m_csName = "Simple";
    EXPECT_TRUE(thread.Create(CountRoutine, (void*)&cRuns));
    EXPECT_TRUE(named.Create("Named", CountRoutine));   // with a null parameter
    EXPECT_EQ(capture.Text(), "Thread 'Simple' (id: " + std::to_string(thread.m_dwThreadId) + ") was created.\n"
                              "Thread 'Named' (id: " + std::to_string(named.m_dwThreadId) + ") was created.\n");
    EXPECT_EQ(GetThreadName(thread.m_dwThreadId), "Simple");
    // Suspended once more from outside: one Resume does not let it run.
    ::SuspendThread(thread.m_hHandle);
    thread.Resume();
    EXPECT_FALSE(thread.Wait(30));
    EXPECT_EQ(cRuns, 0);
    thread.Resume();
    named.Resume();
    EXPECT_TRUE(thread.Wait(5000) && named.Wait(5000));
    EXPECT_EQ(cRuns, 1);
    DWORD dwExitCode = 0, dwNamedExitCode = 0;
    ::GetExitCodeThread(thread.m_hHandle, &dwExitCode);
    ::GetExitCodeThread(named.m_hHandle, &dwNamedExitCode);
    EXPECT_EQ(dwExitCode, 3u);
    EXPECT_EQ(dwNamedExitCode, 4u);
    thread.Close();
    EXPECT_EQ(thread.m_hHandle, (HANDLE)NULL);
}

// ---- Alarms -----------------------------------------------------------------

TEST(Alarm, InThePastFiresAtOnceInTheFutureNotBeforeItsTime)
{
    CAlarm past, future;
    past.SetAt(CMilliTime::GetCurrentTime() + Ms(-5000));
    EXPECT_TRUE(past.Wait(1000));
    EXPECT_TRUE(past.IsArmed());   // a fired alarm stays armed, its event signalled
    EXPECT_TRUE(past.Wait(0));
    future.SetAfter(Ms(150));
    EXPECT_FALSE(future.Wait(0));
    EXPECT_TRUE(future.Wait(3000));
    EXPECT_FALSE(CMilliTime::GetCurrentTime() < future.m_mtAlarm);
}

TEST(Alarm, AlarmsFireInTimeOrderAndTwoDueTogetherInListOrder)
{
    TakeFired();
    CRecordingAlarm a1(1), a2(2), a3(3), a4(4);
    const CMilliTime mtNow = CMilliTime::GetCurrentTime();
    a1.SetAt(mtNow + Ms(240));
    a2.SetAt(mtNow + Ms(80));
    a3.SetAt(mtNow + Ms(160));
    CWaitObjectArray apwo = {&a1, &a2, &a3};
    std::vector<CWaitObject*> apOrder;
    for (int i = 0; i < 3; i++) {
        CWaitObject* pw = WaitForWaitObjects(FALSE, apwo, 3000);
        ASSERT_NE(pw, nullptr);
        pw->m_fEnabled = 0;
        apOrder.push_back(pw);
    }
    EXPECT_EQ(apOrder, (std::vector<CWaitObject*>{&a2, &a3, &a1}));
    EXPECT_EQ(TakeFired(), (std::vector<int>{2, 3, 1}));

    // One scan fires both, in list order (a3 was constructed before a4),
    // whatever the order of arming.
    const CMilliTime mtDue = CMilliTime::GetCurrentTime() + Ms(100);
    a4.SetAt(mtDue);
    a3.SetAt(mtDue);
    EXPECT_TRUE(a4.Wait(2000));
    EXPECT_TRUE(a3.Wait(2000));
    EXPECT_EQ(TakeFired(), (std::vector<int>{3, 4}));
}

TEST(Alarm, ReArmedFiresAgainCancelledOrInvalidDoesNotFire)
{
    TakeFired();
    CRecordingAlarm alarm(1), cancelled(2), invalid(3);
    alarm.SetAfter(CMilliTimeSpan());
    EXPECT_TRUE(alarm.Wait(2000));
    alarm.SetAfter(Ms(60000));   // re-arming resets the event
    EXPECT_FALSE(alarm.Wait(0));
    alarm.SetAfter(Ms(50));
    cancelled.SetAfter(Ms(60));
    cancelled.Cancel();
    EXPECT_FALSE(cancelled.IsArmed());
    invalid.SetAfter(Ms(60));
    invalid.SetAfter(CMilliTimeSpan::Invalid());
    EXPECT_FALSE(invalid.IsArmed());
    EXPECT_TRUE(alarm.Wait(3000));
    EXPECT_FALSE(cancelled.Wait(250));
    EXPECT_FALSE(invalid.Wait(0));
    EXPECT_EQ(TakeFired(), (std::vector<int>{1, 1}));
    // Cancelling a fired alarm resets its event.
    alarm.Cancel();
    EXPECT_FALSE(alarm.Wait(0));
}

TEST(Alarm, TheAlarmThreadEndsWithTheLastAlarmAndStartsAgain)
{
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    std::unique_ptr<CAlarm> pFirst(new CAlarm), pSecond(new CAlarm);
    pFirst->SetAfter(Ms(10));
    const DWORD dwFirstThread = GetAlarmThreadId();
    EXPECT_NE(capture.Text().find("Thread 'AlarmThread' (id: " + std::to_string(dwFirstThread) + ") was created."),
              std::string::npos)
        << capture.Text();
    EXPECT_EQ(GetThreadName(dwFirstThread), "AlarmThread");
    EXPECT_TRUE(pFirst->Wait(2000));
    pFirst.reset();   // not the last alarm: the thread goes on
    EXPECT_EQ(GetAlarmThreadId(), dwFirstThread);
    EXPECT_EQ(capture.Text().find("The alarm thread is ending."), std::string::npos);
    pSecond.reset();
    EXPECT_EQ(GetAlarmThreadId(), 0u);
    EXPECT_NE(capture.Text().find("The alarm thread is ending.\n"), std::string::npos) << capture.Text();

    // A new alarm starts a new thread when armed, which serves it.
    CAlarm third;
    EXPECT_EQ(GetAlarmThreadId(), 0u);
    third.SetAfter(Ms(20));
    EXPECT_NE(GetAlarmThreadId(), 0u);
    EXPECT_TRUE(third.Wait(2000));
}

TEST(Alarm, AnAlarmArmedWhileTheLastOneIsDestroyedStillFires)
{
    for (int iRound = 0; iRound < 20; iRound++) {
        std::unique_ptr<CAlarm> pOld(new CAlarm), pNew;
        pOld->SetAfter(Ms(0));
        {
            CTestThread destroyer([&] { pOld.reset(); });
            pNew.reset(new CAlarm);
            pNew->SetAfter(Ms(5));
        }
        EXPECT_TRUE(pNew->Wait(2000)) << "round " << iRound;
    }
}
