// The wait multiplexer, up to and far beyond 64 enabled objects.
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "common/handle.h"
#include "common/waitmany.h"
#include "common/win32.h"
#include "record_failures.h"
#include "test_util.h"
#include "test_app.h"

namespace {

// A wait object that counts its dispatches.
template <class T_>
struct CCounting : T_
{
    using T_::T_;
    virtual void OnSignalled() override
    {
        T_::OnSignalled();
        m_cSignalled++;
    }
    int m_cSignalled = 0;
};
typedef CCounting<CKernelEvent> CCountingEvent;

// Over a handle it does not own.
struct CRawObject : CCounting<CWaitObject>
{
    explicit CRawObject(HANDLE h) : m_h(h) { m_phWaitHandle = &m_h; }
    HANDLE m_h;
};

// c events and an array of them, which a test may change.
struct CEvents
{
    CEvents(int c, DWORD dwFlags)
    {
        for (int i = 0; i < c; i++) {
            m_apEvents.emplace_back(new CCountingEvent(dwFlags));
            m_apwo.push_back(m_apEvents.back().get());
        }
    }
    CCountingEvent& operator[](int i) { return *m_apEvents[i]; }
    // The array index of what a multiplexed wait returns; -1 for null.
    int Wait(DWORD dwTimeout, BOOL fWaitAll = FALSE)
    {
        auto it = std::find(m_apwo.begin(), m_apwo.end(), WaitForWaitObjects(fWaitAll, m_apwo, dwTimeout));
        return it == m_apwo.end() ? -1 : (int)(it - m_apwo.begin());
    }
    // Polling consumes auto-reset signals: only at the end of a case.
    int CountSignalled()
    {
        int c = 0;
        for (auto& pEvent : m_apEvents)
            c += ::WaitForSingleObject(pEvent->m_hHandle, 0) == WAIT_OBJECT_0;
        return c;
    }
    std::vector<std::unique_ptr<CCountingEvent>> m_apEvents;
    CWaitObjectArray m_apwo;
};

}  // namespace

TEST(WaitForWaitObjects, DisabledObjectsAreSkippedAndAllDisabledIsReported)
{
    CEvents events(2, EVENT_AUTO_RESET | EVENT_INITIALLY_SIGNALLED);
    events[0].m_fEnabled = FALSE;
    EXPECT_EQ(events.Wait(0), 1);
    EXPECT_EQ(events[0].m_cSignalled, 0);
    events[1].m_fEnabled = FALSE;
    CRecordFailures failures;
    CStderrCapture capture;
    EXPECT_EQ(events.Wait(0), -1);
    EXPECT_TRUE(failures.Has("ASSERT_COND(cEnabledWaitObjects, >, 0)")) << failures.Texts();
    // Error 87 shows as 57: the code is written in hexadecimal.
    EXPECT_NE(capture.Text().find("::WaitForMultipleObjects failed.  Error: 57\n"), std::string::npos)
        << capture.Text();
}

class WaitForManyObjectsTest : public ::testing::TestWithParam<int>
{
};

TEST_P(WaitForManyObjectsTest, TheSignalledObjectWinsWhereverItStandsAndOnlyItIsConsumed)
{
    const int c = GetParam();
    CEvents events(c, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    std::vector<int> aiCount(c, 0);
    CRecordFailures failures;
    for (int i : {0, 1, 62, 63, 64, c / 2, c - 2, c - 1}) {
        if (i >= c || aiCount[i] > 0)
            continue;
        events[i].Set();
        EXPECT_EQ(events.Wait(0), i) << "at once, " << c;
        events[i].Set();
        EXPECT_EQ(events.Wait(2000), i) << "waiting, " << c;
        CTestThread setter([&] {
            ::Sleep(20);
            events[i].Set();
        });
        EXPECT_EQ(events.Wait(5000), i) << "signalled while waiting, " << c;
        aiCount[i] = 3;
    }
    // Two together: the lower index first, then the other; nothing lost.
    events[c - 1].Set();
    events[c / 2].Set();
    EXPECT_EQ(events.Wait(0), c / 2);
    EXPECT_EQ(events.Wait(0), c - 1);
    EXPECT_EQ(events.Wait(30), -1);
    aiCount[c - 1]++;
    aiCount[c / 2]++;
    for (int i = 0; i < c; i++)
        ASSERT_EQ(events[i].m_cSignalled, aiCount[i]) << "object " << i;
    EXPECT_EQ(events.CountSignalled(), 0);
    EXPECT_EQ(failures.Texts(), "");
}

INSTANTIATE_TEST_SUITE_P(Counts, WaitForManyObjectsTest, ::testing::Values(3, 64, 65, 127, 128, 500));

TEST(WaitForManyObjects, TheQuitEventAt500IsSeenWhileWaitingTimeOutOrFailureReturnsNullAndConsumesNothing)
{
    {
        CEvents quit(501, EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
        CTestThread setter([&] {
            ::Sleep(50);
            quit[500].Set();
        });
        EXPECT_EQ(quit.Wait(5000), 500);
        EXPECT_EQ(quit.Wait(0), 500);   // manual-reset: stays signalled
    }
    CEvents events(300, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(events.Wait(60), -1);
    EXPECT_GE(::GetTickCount() - dwStart, 50u);
    // A disabled object does not count: its signal beyond 64 is not seen.
    events[200].m_fEnabled = FALSE;
    events[200].Set();
    EXPECT_EQ(events.Wait(20), -1);
    // A handle value that names no object makes the wait fail with error 6,
    // at either size.
    CRawObject bogus((HANDLE)(ULONG_PTR)0x7FFFFFF0);
    for (int cObjects : {300, 10}) {
        events.m_apwo.resize(cObjects);
        events.m_apwo[cObjects - 5] = &bogus;
        CStderrCapture capture;
        EXPECT_EQ(events.Wait(1000), -1);
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_NE(capture.Text().find("::WaitForMultipleObjects failed.  Error: 6\n"), std::string::npos)
            << capture.Text();
    }
    EXPECT_EQ(bogus.m_cSignalled, 0);
    for (int i = 0; i < 300; i++)
        ASSERT_EQ(events[i].m_cSignalled, 0);
    EXPECT_EQ(events.CountSignalled(), 1);
}

namespace {

// While it lives, fn runs on the waiting thread after a helper woke it, as
// if other threads changed events at that moment.
struct CWokenHook
{
    explicit CWokenHook(std::function<void()> fn) : m_fn(fn)
    {
        g_pvWaitManyWokenHookContext = this;
        g_pfnWaitManyWokenHook = [](void* pv) {
            static_cast<CWokenHook*>(pv)->m_cCalls++;
            static_cast<CWokenHook*>(pv)->m_fn();
        };
    }
    ~CWokenHook() { g_pfnWaitManyWokenHook = NULL; }
    std::function<void()> m_fn;
    int m_cCalls = 0;
};

}  // namespace

TEST(WaitForManyObjects, ALowerObjectSignalledAfterAHelperFiredWinsAndTheHelpersSignalIsGivenBack)
{
    CEvents events(200, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    // Object 150 wakes a helper (which consumes its signal); while the
    // caller wakes, 20 and 100 become signalled.
    {
        CWokenHook hook([&] {
            events[20].Set();
            events[100].Set();
        });
        CTestThread setter([&] {
            ::Sleep(30);
            events[150].Set();
        });
        EXPECT_EQ(events.Wait(5000), 20);
        EXPECT_EQ(hook.m_cCalls, 1);
    }
    EXPECT_EQ(events.Wait(0), 100);
    EXPECT_EQ(events.Wait(0), 150);
    EXPECT_EQ(events.Wait(0), -1);

    // A manual-reset event that its owner resets meanwhile is not set
    // again; a semaphore's count taken by a helper comes back.
    CKernelEvent evManual(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CHandle hSemaphore(::CreateSemaphoreA(NULL, 0, 10, NULL));
    CRawObject semaphore(hSemaphore.Get());
    events.m_apwo[150] = &evManual;
    events.m_apwo[180] = &semaphore;
    {
        CWokenHook hook([&] {
            evManual.Reset();
            events[20].Set();
        });
        CTestThread setter([&] {
            ::Sleep(30);
            evManual.Set();
        });
        EXPECT_EQ(events.Wait(5000), 20);
    }
    EXPECT_EQ(::WaitForSingleObject(evManual.m_hHandle, 0), (DWORD)WAIT_TIMEOUT);
    {
        CWokenHook hook([&] { events[20].Set(); });
        CTestThread setter([&] {
            ::Sleep(30);
            ::ReleaseSemaphore(hSemaphore.Get(), 1, NULL);
        });
        EXPECT_EQ(events.Wait(5000), 20);
    }
    EXPECT_EQ(events.Wait(0), 180);
    EXPECT_EQ(events.Wait(0), -1);
}

class WaitForAllTest : public ::testing::TestWithParam<int>
{
};

TEST_P(WaitForAllTest, DispatchesEveryEnabledObjectInOrderOrGivesEverySignalBack)
{
    const int c = GetParam();
    CEvents events(c, EVENT_AUTO_RESET | EVENT_INITIALLY_SIGNALLED);
    events[0].m_fEnabled = FALSE;
    events[c / 2].Reset();
    EXPECT_EQ(events.Wait(50, TRUE), -1);
    for (int i = 0; i < c; i++)
        ASSERT_EQ(events[i].m_cSignalled, 0);
    events[c / 2].Set();
    EXPECT_EQ(events.Wait(1000, TRUE), 1);   // the first enabled one
    for (int i = 0; i < c; i++)
        ASSERT_EQ(events[i].m_cSignalled, i > 0) << "object " << i;
    EXPECT_EQ(events.CountSignalled(), 1);   // the disabled one kept its signal
}

INSTANTIATE_TEST_SUITE_P(Counts, WaitForAllTest, ::testing::Values(3, 150));
