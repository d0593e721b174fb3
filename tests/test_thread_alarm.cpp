// Threads (start, resume, end, destruction while running) and alarms (time
// order, re-arming, cancelling, the alarm thread's life).
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "common/alarm.h"
#include "common/win32.h"
#include "helpers/recordfailures.h"
#include "test_app.h"

namespace {

// A thread whose body waits for a gate (if any), sleeps, records that it
// ran and sets its exit code.
class CWorkerThread : public CThread
{
public:
    explicit CWorkerThread(const std::string& csName, DWORD dwSleep = 0, HANDLE hGate = NULL)
        : CThread(csName), m_dwSleep(dwSleep), m_hGate(hGate), m_cRuns(0)
    {
    }
    virtual ~CWorkerThread() { WaitForEnd(); }
    virtual void Run() override
    {
        if (m_hGate != NULL)
            ::WaitForSingleObject(m_hGate, 10000);
        if (m_dwSleep > 0)
            ::Sleep(m_dwSleep);
        ::InterlockedIncrement(&m_cRuns);
        m_dwExitCode = 7;
    }
    DWORD m_dwSleep;
    HANDLE m_hGate;
    volatile LONG m_cRuns;
};

// Its body uses only what outlives the object: it may run on while the
// base destructor waits for it.
volatile LONG g_cOrphanRuns = 0;
HANDLE g_hOrphanStarted = ::CreateEventA(NULL, FALSE, FALSE, NULL);
class COrphanThread : public CThread
{
public:
    explicit COrphanThread(HANDLE hGate) : CThread("Orphan"), m_hGate(hGate) {}
    virtual void Run() override
    {
        HANDLE hGate = m_hGate;
        ::SetEvent(g_hOrphanStarted);
        ::WaitForSingleObject(hGate, 10000);
        ::InterlockedIncrement(&g_cOrphanRuns);
    }
    HANDLE m_hGate;
};

std::string IdText(DWORD dwId)
{
    return StrFormat("%lu", dwId);
}

DWORD WINAPI SetFlagRoutine(void* pv)
{
    ::InterlockedIncrement(static_cast<volatile LONG*>(pv));
    return 3;
}

volatile LONG g_cNullParameterRuns = 0;
DWORD WINAPI NullParameterRoutine(void* pv)
{
    if (pv == NULL)
        ::InterlockedIncrement(&g_cNullParameterRuns);
    return 0;
}

// An alarm that records the order in which alarms fired.
std::vector<int> g_aiFired;
CRITICAL_SECTION g_critsecFired;
const struct CFiredInit { CFiredInit() { ::InitializeCriticalSection(&g_critsecFired); } } g_firedInit;

class CRecordingAlarm : public CAlarm
{
public:
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

CMilliTimeSpan Ms(LONG nMilliseconds)
{
    return CMilliTimeSpan(0, 0, 0, 0, nMilliseconds);
}

}  // namespace

// ---- CThread ------------------------------------------------------------

TEST(Thread, StartsSuspendedRunsAfterResumeAndEndsWithItsExitCode)
{
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    CWorkerThread thread("Worker");
    EXPECT_EQ(thread.Start(), 0u);
    EXPECT_NE(thread.m_hHandle, (HANDLE)NULL);
    EXPECT_EQ(thread.m_fSuspended, 1);
    EXPECT_EQ(GetThreadName(thread.m_dwThreadId), "Worker");
    ::Sleep(30);
    EXPECT_EQ(thread.m_cRuns, 0);
    EXPECT_EQ(thread.Resume(), 1u);
    EXPECT_EQ(thread.m_fSuspended, 0);
    CWaitObjectArray apwo = {&thread};
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 5000), &thread);
    EXPECT_EQ(thread.m_cRuns, 1);
    DWORD dwExitCode = 0;
    EXPECT_NE(::GetExitCodeThread(thread.m_hHandle, &dwExitCode), FALSE);
    EXPECT_EQ(dwExitCode, 7u);
    const std::string csId = IdText(thread.m_dwThreadId);
    thread.WaitForEnd();
    EXPECT_EQ(thread.m_hHandle, (HANDLE)NULL);
    EXPECT_EQ(capture.Text(), "Thread Worker (id: " + csId + ") has been created.\n"
                              "Thread Worker (id: " + csId + ") is ending.\n");
}

TEST(Thread, CanBeStartedAgainAfterWaitForEnd)
{
    CWorkerThread thread("Again");
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(thread.Start(), 0u);
        thread.Resume();
        thread.WaitForEnd();
    }
    EXPECT_EQ(thread.m_cRuns, 2);
}

TEST(Thread, WaitForEndWritesTheWaitingMessageOnlyWhenTheThreadTakesLongerThan100Ms)
{
    CStderrCapture capture;
    CWorkerThread quick("Quick");
    quick.Start();
    quick.Resume();
    ::Sleep(20);
    quick.WaitForEnd();
    EXPECT_EQ(capture.Text(), "");

    CWorkerThread slow("Slow", 300);
    slow.Start();
    const std::string csId = IdText(slow.m_dwThreadId);
    slow.Resume();
    slow.WaitForEnd();
    EXPECT_EQ(slow.m_cRuns, 1);
    EXPECT_EQ(capture.Text(), "Waiting for thread Slow (id: " + csId + ") to end.\n");
}

TEST(Thread, StartingTwiceIsReportedAndRefused)
{
    CWorkerThread thread("Twice");
    EXPECT_EQ(thread.Start(), 0u);
    HANDLE hFirst = thread.m_hHandle;
    {
        CRecordFailures failures;
        CStderrCapture capture;
        EXPECT_EQ(thread.Start(), (DWORD)ERROR_BUSY);
        EXPECT_TRUE(failures.Has("ASSERT_NULL(m_hHandle)")) << failures.Texts();
    }
    EXPECT_EQ(thread.m_hHandle, hFirst);
    thread.Resume();
    thread.WaitForEnd();
    EXPECT_EQ(thread.m_cRuns, 1);
}

TEST(Thread, DestroyedWhileRunningIsReportedAndWaitedFor)
{
    HANDLE hGate = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    g_cOrphanRuns = 0;
    CRecordFailures failures;
    CStderrCapture capture;
    std::unique_ptr<COrphanThread> pThread(new COrphanThread(hGate));
    pThread->Start();
    pThread->Resume();
    // Destruction must not begin before the body runs: the entry routine
    // calls it through the object.
    ASSERT_EQ(::WaitForSingleObject(g_hOrphanStarted, 5000), WAIT_OBJECT_0);
    HANDLE hOpener = ::CreateThread(NULL, 0, [](void* pv) -> DWORD {
        ::Sleep(200);
        ::SetEvent(static_cast<HANDLE>(pv));
        return 0;
    }, hGate, 0, NULL);
    pThread.reset();
    // The destructor returned only after the body had run to its end.
    EXPECT_EQ(g_cOrphanRuns, 1);
    EXPECT_TRUE(failures.Has("A thread object is being destroyed before the corresponding thread has ended."))
        << failures.Texts();
    EXPECT_NE(capture.Text().find("Waiting for thread Orphan"), std::string::npos) << capture.Text();
    ::WaitForSingleObject(hOpener, 5000);
    ::CloseHandle(hOpener);
    ::CloseHandle(hGate);
}

TEST(Thread, DestroyedNeverResumedIsReportedAndDoesNotHang)
{
    CRecordFailures failures;
    CStderrCapture capture;
    {
        COrphanThread thread(NULL);
        thread.Start();
    }
    EXPECT_EQ(failures.Count(), 1u) << failures.Texts();
    EXPECT_TRUE(failures.Has("A thread object is being destroyed before the corresponding thread has ended."));
}

TEST(Thread, DestroyedAfterItEndedWritesNoFailure)
{
    CRecordFailures failures;
    CStderrCapture capture;
    {
        std::unique_ptr<CWorkerThread> pThread(new CWorkerThread("Ended"));
        pThread->Start();
        pThread->Resume();
        EXPECT_TRUE(pThread->Wait(5000));
    }
    EXPECT_EQ(failures.Count(), 0u) << failures.Texts();
    EXPECT_EQ(capture.Text(), "");
}

// ---- CSimpleThread --------------------------------------------------------

TEST(SimpleThread, CreatesSuspendedRunsTheRoutineAndCloses)
{
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    volatile LONG cRuns = 0;
    CSimpleThread thread;
    thread.m_csName = "Simple";
    EXPECT_NE(thread.Create(SetFlagRoutine, (void*)&cRuns), FALSE);
    EXPECT_EQ(thread.m_fSuspended, 1);
    const DWORD dwId = thread.m_dwThreadId;
    EXPECT_EQ(capture.Text(), "Thread 'Simple' (id: " + IdText(dwId) + ") was created.\n");
    EXPECT_EQ(GetThreadName(dwId), "Simple");
    ::Sleep(20);
    EXPECT_EQ(cRuns, 0);
    thread.Resume();
    EXPECT_EQ(thread.m_fSuspended, 0);
    EXPECT_TRUE(thread.Wait(5000));
    EXPECT_EQ(cRuns, 1);
    DWORD dwExitCode = 0;
    ::GetExitCodeThread(thread.m_hHandle, &dwExitCode);
    EXPECT_EQ(dwExitCode, 3u);
    thread.Close();
    EXPECT_EQ(thread.m_hHandle, (HANDLE)NULL);
    EXPECT_EQ(thread.m_dwThreadId, 0u);

    // The named form passes a null parameter.
    g_cNullParameterRuns = 0;
    CSimpleThread named;
    EXPECT_NE(named.Create("Named", NullParameterRoutine), FALSE);
    EXPECT_EQ(named.m_csName, "Named");
    named.Resume();
    EXPECT_TRUE(named.Wait(5000));
    EXPECT_EQ(g_cNullParameterRuns, 1);
}

TEST(SimpleThread, ResumeOfASuspendedTwiceThreadKeepsTheFlag)
{
    volatile LONG cRuns = 0;
    CSimpleThread thread;
    thread.Create(SetFlagRoutine, (void*)&cRuns);
    ::SuspendThread(thread.m_hHandle);
    thread.Resume();
    EXPECT_EQ(thread.m_fSuspended, 1);
    thread.Resume();
    EXPECT_EQ(thread.m_fSuspended, 0);
    EXPECT_TRUE(thread.Wait(5000));
}

// ---- Alarms -----------------------------------------------------------------

class AlarmTest : public ::testing::Test
{
protected:
    virtual void SetUp() override
    {
        ::EnterCriticalSection(&g_critsecFired);
        g_aiFired.clear();
        ::LeaveCriticalSection(&g_critsecFired);
    }
    std::vector<int> Fired()
    {
        ::EnterCriticalSection(&g_critsecFired);
        std::vector<int> ai = g_aiFired;
        ::LeaveCriticalSection(&g_critsecFired);
        return ai;
    }
};

TEST_F(AlarmTest, AnAlarmInThePastFiresAtOnceAndOneInTheFutureNotBeforeItsTime)
{
    CAlarm past;
    past.SetAt(CMilliTime::GetCurrentTime() + Ms(-5000));
    EXPECT_TRUE(past.Wait(1000));
    EXPECT_TRUE(past.IsArmed());   // a fired alarm stays armed, its event signalled
    EXPECT_TRUE(past.Wait(0));

    CAlarm future;
    future.SetAfter(Ms(150));
    const CMilliTime mtDue = future.m_mtAlarm;
    EXPECT_FALSE(future.Wait(0));
    EXPECT_TRUE(future.Wait(3000));
    EXPECT_FALSE(CMilliTime::GetCurrentTime() < mtDue);
}

TEST_F(AlarmTest, AlarmsFireInTimeOrderAndTwoDueTogetherFireInListOrder)
{
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
    std::vector<CWaitObject*> apExpected = {&a2, &a3, &a1};
    EXPECT_EQ(apOrder, apExpected);
    std::vector<int> aiExpected = {2, 3, 1};
    EXPECT_EQ(Fired(), aiExpected);

    // Due at the same time: one scan fires both, in list order (a3 was
    // constructed before a4), whatever the order of arming.
    SetUp();
    const CMilliTime mtDue = CMilliTime::GetCurrentTime() + Ms(100);
    a4.SetAt(mtDue);
    a3.SetAt(mtDue);
    EXPECT_TRUE(a4.Wait(2000));
    EXPECT_TRUE(a3.Wait(2000));
    aiExpected = {3, 4};
    EXPECT_EQ(Fired(), aiExpected);
}

TEST_F(AlarmTest, ReArmingAFiredAlarmResetsItsEventAndFiresAgain)
{
    CRecordingAlarm alarm(1);
    alarm.SetAfter(CMilliTimeSpan());
    EXPECT_TRUE(alarm.Wait(2000));
    alarm.SetAfter(Ms(60000));
    EXPECT_FALSE(alarm.Wait(0));
    EXPECT_TRUE(alarm.IsArmed());
    alarm.SetAfter(Ms(50));
    EXPECT_TRUE(alarm.Wait(3000));
    std::vector<int> aiExpected = {1, 1};
    EXPECT_EQ(Fired(), aiExpected);
}

TEST_F(AlarmTest, CancelledAlarmsAndTheInvalidSpanDisarmWithoutFiring)
{
    CRecordingAlarm cancelled(1), invalid(2);
    cancelled.SetAfter(Ms(60));
    cancelled.Cancel();
    EXPECT_FALSE(cancelled.IsArmed());
    invalid.SetAfter(Ms(60));
    invalid.SetAfter(CMilliTimeSpan::Invalid());
    EXPECT_FALSE(invalid.IsArmed());
    EXPECT_FALSE(cancelled.Wait(250));
    EXPECT_FALSE(invalid.Wait(0));
    EXPECT_TRUE(Fired().empty());

    // Cancelling a fired alarm resets its event.
    cancelled.SetAt(CMilliTime::GetCurrentTime());
    EXPECT_TRUE(cancelled.Wait(2000));
    cancelled.Cancel();
    EXPECT_FALSE(cancelled.Wait(0));
}

TEST_F(AlarmTest, TheAlarmThreadEndsWithTheLastAlarmAndStartsAgain)
{
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    std::unique_ptr<CAlarm> pFirst(new CAlarm), pSecond(new CAlarm);
    pFirst->SetAfter(Ms(10));
    const DWORD dwFirstThread = GetAlarmThreadId();
    EXPECT_NE(dwFirstThread, 0u);
    EXPECT_NE(capture.Text().find("Thread 'AlarmThread' (id: " + IdText(dwFirstThread) + ") was created."),
              std::string::npos)
        << capture.Text();
    EXPECT_EQ(GetThreadName(dwFirstThread), "AlarmThread");
    EXPECT_TRUE(pFirst->Wait(2000));

    // Not the last alarm: the thread goes on.
    pFirst.reset();
    EXPECT_EQ(GetAlarmThreadId(), dwFirstThread);
    EXPECT_EQ(capture.Text().find("The alarm thread is ending."), std::string::npos);

    pSecond.reset();
    EXPECT_EQ(GetAlarmThreadId(), 0u);
    EXPECT_NE(capture.Text().find("The alarm thread is ending.\n"), std::string::npos) << capture.Text();

    // A new alarm starts a new thread, which serves it.
    CAlarm third;
    EXPECT_EQ(GetAlarmThreadId(), 0u);   // construction alone starts nothing
    third.SetAfter(Ms(20));
    EXPECT_NE(GetAlarmThreadId(), 0u);
    EXPECT_TRUE(third.Wait(2000));
}

TEST_F(AlarmTest, AnAlarmArmedWhileTheLastOneIsDestroyedStillFires)
{
    for (int iRound = 0; iRound < 20; iRound++) {
        std::unique_ptr<CAlarm> pOld(new CAlarm);
        pOld->SetAfter(Ms(0));
        std::unique_ptr<CAlarm> pNew;
        HANDLE hDestroyer = ::CreateThread(NULL, 0, [](void* pv) -> DWORD {
            static_cast<std::unique_ptr<CAlarm>*>(pv)->reset();
            return 0;
        }, &pOld, 0, NULL);
        pNew.reset(new CAlarm);
        pNew->SetAfter(Ms(5));
        EXPECT_EQ(::WaitForSingleObject(hDestroyer, 5000), WAIT_OBJECT_0);
        ::CloseHandle(hDestroyer);
        EXPECT_TRUE(pNew->Wait(2000)) << "round " << iRound;
    }
}
