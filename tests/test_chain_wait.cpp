// Chains, wait objects, events and the wait multiplexer, up to and far
// beyond 64 enabled objects.
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "common/chain.h"
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

struct CDelegate : CCounting<CWaitObject>
{
    explicit CDelegate(CWaitObject* pwo) { m_pwoDelegate = pwo; }
};

typedef CChainable CPlain;

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

std::vector<CChainable*> Collect(CChainable& c)
{
    CChainableArray ap;
    c.CollectChain(ap);
    return ap;
}

}  // namespace

// ---- Chains -------------------------------------------------------------

TEST(Chain, ChainObjectsAndChainBeforeCollectInOrderFromAnyElementAndDissolve)
{
    CPlain single;
    EXPECT_EQ(ChainObjects(std::vector<CPlain*>{&single}), &single);
    EXPECT_FALSE(single.IsLinked());
    CPlain a, b, c;
    std::vector<CPlain*> apThree = {&a, &b, &c};
    for (CPlain* pFrom : apThree) {
        EXPECT_EQ(ChainObjects(apThree), &c);
        EXPECT_EQ(Collect(*pFrom), (std::vector<CChainable*>{&a, &b, &c}));
        EXPECT_FALSE(a.IsLinked() || b.IsLinked() || c.IsLinked());
    }
    // All of the first chain, then all of the second.
    CPlain b1, b2, b3, tail;
    CChainable* pTail = ChainObjects(apThree);
    ChainObjects(std::vector<CPlain*>{&b1, &b2, &b3});
    EXPECT_EQ(&ChainBefore(*pTail, b2), &b2);
    b3.LinkTo(tail);
    EXPECT_EQ(Collect(tail), (std::vector<CChainable*>{&a, &b, &c, &b1, &b2, &b3, &tail}));
    EXPECT_TRUE(IsChainBuildingLockFree());
}

TEST(Chain, AChainUnderConstructionBlocksOtherBuildersButNotAnUnlinkedCollect)
{
    CPlain a, b, c, d, e;
    a.LinkTo(b);
    HANDLE hLinked = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hRelease = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    volatile BOOL fReleased = FALSE;
    std::vector<CChainable*> apOther;
    {
        CTestThread other([&] {
            c.LinkTo(d);
            ::SetEvent(hLinked);
            ::WaitForSingleObject(hRelease, 2000);
            fReleased = TRUE;
            apOther = Collect(d);
        });
        // This thread's chain holds the other builder off until collected.
        EXPECT_EQ(::WaitForSingleObject(hLinked, 200), (DWORD)WAIT_TIMEOUT);
        EXPECT_EQ(Collect(b), (std::vector<CChainable*>{&a, &b}));
        ASSERT_EQ(::WaitForSingleObject(hLinked, 5000), WAIT_OBJECT_0);
        // Now the other thread holds the building lock; an unlinked element
        // is collected without it.
        EXPECT_FALSE(IsChainBuildingLockFree());
        EXPECT_EQ(Collect(e), std::vector<CChainable*>{&e});
        EXPECT_FALSE(fReleased) << "collecting an unlinked element waited for the building lock";
        ::SetEvent(hRelease);
    }
    EXPECT_EQ(apOther, (std::vector<CChainable*>{&c, &d}));
    EXPECT_TRUE(IsChainBuildingLockFree());
    ::CloseHandle(hLinked);
    ::CloseHandle(hRelease);
}

TEST(Chain, MisuseIsReportedAndLeavesASoundChain)
{
    CPlain a, b, c, d;
    CRecordFailures failures;
    a.LinkTo(b);
    a.LinkTo(c);   // a already has a successor
    c.LinkTo(b);   // b already has a predecessor
    b.LinkTo(a);   // would close a cycle
    EXPECT_FALSE(c.IsLinked());
    {
        CPlain middle;   // destroyed while linked: taken out
        b.LinkTo(middle);
        middle.LinkTo(d);
    }
    EXPECT_EQ(Collect(b), (std::vector<CChainable*>{&a, &b, &d}));
    for (const char* pszCheck : {"ASSERT_NULL(m_pToNext)", "ASSERT_NULL(c.m_pToPrev)", "ASSERT_TRUE(!fClosesCycle)",
                                 "ASSERT_NULL(m_pToPrev)"})
        EXPECT_TRUE(failures.Has(pszCheck)) << pszCheck << "\n" << failures.Texts();
    EXPECT_TRUE(IsChainBuildingLockFree());

    // A chain of wait objects with a plain element in it.
    CKernelEvent ev1(0x6), ev2(0xA);
    ev1.LinkTo(a);
    a.LinkTo(ev2);
    CWaitObjectArray apwo;
    ev1.CollectChain(apwo);
    EXPECT_EQ(apwo, (CWaitObjectArray{&ev1, &ev2}));
    EXPECT_TRUE(failures.Has("ASSERT_NOT_NULL(pwo)")) << failures.Texts();
    EXPECT_FALSE(a.IsLinked());
}

// ---- Wait objects and events ----------------------------------------------

TEST(WaitObject, DelegatesResolveToTheLastHandleAndForwardTheSignalAlongTheChain)
{
    CCountingEvent ev(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CDelegate middle(&ev), front(&middle);
    EXPECT_EQ(front.GetWaitHandle(), ev.m_hHandle);
    CWaitObjectArray apwo = {&front};
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    ev.Set();
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 1000), &front);
    EXPECT_EQ(front.m_cSignalled + middle.m_cSignalled + ev.m_cSignalled, 3);

    // A cycle of delegates, or no handle at all: reported, no wait.
    CRecordFailures failures;
    CDelegate x(NULL), y(&x);
    x.m_pwoDelegate = &y;
    EXPECT_EQ(x.GetWaitHandle(), (HANDLE)NULL);
    EXPECT_TRUE(failures.Has("ASSERT_TRUE(!fCycle)")) << failures.Texts();
    x.m_pwoDelegate = NULL;
    CRawObject none(NULL), invalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(none.Wait(INFINITE));
    EXPECT_FALSE(invalid.Wait(INFINITE));
    EXPECT_TRUE(failures.Has("ASSERT_TRUE(HasValidWaitHandle())")) << failures.Texts();
    EXPECT_EQ(none.m_cSignalled + invalid.m_cSignalled, 0);
}

TEST(KernelEvent, NamedEventWithANullDaclIsSharedAndMisuseIsReported)
{
    std::string csName = StrFormat("OvrinTestEvent%lu", ::GetCurrentProcessId());
    CKernelEvent evFirst, evSecond;
    evFirst.SetNullDacl();
    evFirst.SetNullDacl();   // the first descriptor is freed, not leaked or kept
    BOOL fPresent = FALSE, fDefaulted = TRUE;
    PACL pAcl = (PACL)1;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(evFirst.m_psd, &fPresent, &pAcl, &fDefaulted));
    EXPECT_TRUE(fPresent && pAcl == NULL && evFirst.m_sa.lpSecurityDescriptor == evFirst.m_psd);
    ASSERT_TRUE(evFirst.Create(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED, csName.c_str()));
    CRecordFailures failures;
    EXPECT_TRUE(evSecond.Create(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED, csName.c_str()));
    EXPECT_EQ(failures.Texts(), "");
    evFirst.Set();
    EXPECT_TRUE(evSecond.Wait(0));

    HANDLE hBefore = evFirst.m_hHandle;
    EXPECT_FALSE(evFirst.Create(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED));
    EXPECT_EQ(evFirst.m_hHandle, hBefore);
    CKernelEvent evBoth, evNoState;
    evBoth.Create(EVENT_MANUAL_RESET | EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    evNoState.Create(EVENT_AUTO_RESET);
    for (const char* pszCheck : {"ASSERT_NULL(m_hHandle)", "ASSERT_COND(fManualReset + fAutoReset, ==, 1)",
                                 "ASSERT_COND(fInitSignalled + fInitNonSignalled, ==, 1)"})
        EXPECT_TRUE(failures.Has(pszCheck)) << pszCheck << "\n" << failures.Texts();
}

// ---- The multiplexer ---------------------------------------------------------

TEST(WaitForWaitObjects, DisabledObjectsAreSkippedAndAllDisabledIsReported)
{
    CEvents events(2, EVENT_AUTO_RESET | EVENT_INITIALLY_SIGNALLED);
    events[0].m_fEnabled = 0;
    EXPECT_EQ(events.Wait(0), 1);
    EXPECT_EQ(events[0].m_cSignalled, 0);
    events[1].m_fEnabled = 0;
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

TEST(WaitForManyObjects, TheQuitEventAtPosition500IsSeenWhileWaiting)
{
    CEvents events(501, EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CTestThread setter([&] {
        ::Sleep(50);
        events[500].Set();
    });
    EXPECT_EQ(events.Wait(5000), 500);
    EXPECT_EQ(events.Wait(0), 500);   // manual-reset: stays signalled
}

TEST(WaitForManyObjects, TimeOutOrFailureReturnsNullAndConsumesNothing)
{
    CEvents events(300, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(events.Wait(60), -1);
    EXPECT_GE(::GetTickCount() - dwStart, 50u);
    // A disabled object does not count: its signal beyond 64 is not seen.
    events[200].m_fEnabled = 0;
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
    HANDLE hSemaphore = ::CreateSemaphoreA(NULL, 0, 10, NULL);
    CRawObject semaphore(hSemaphore);
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
            ::ReleaseSemaphore(hSemaphore, 1, NULL);
        });
        EXPECT_EQ(events.Wait(5000), 20);
    }
    EXPECT_EQ(events.Wait(0), 180);
    EXPECT_EQ(events.Wait(0), -1);
    ::CloseHandle(hSemaphore);
}

TEST(WaitForManyObjects, TwoObjectsSharingOneHandleReportTheFirst)
{
    CEvents events(150, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CDelegate alias(&events[140]);
    events.m_apwo[10] = &alias;
    CTestThread setter([&] {
        ::Sleep(30);
        events[140].Set();
    });
    EXPECT_EQ(events.Wait(5000), 10);
    EXPECT_EQ(events.Wait(0), -1);
}

class WaitForAllTest : public ::testing::TestWithParam<int>
{
};

TEST_P(WaitForAllTest, DispatchesEveryEnabledObjectInOrderOrGivesEverySignalBack)
{
    const int c = GetParam();
    CEvents events(c, EVENT_AUTO_RESET | EVENT_INITIALLY_SIGNALLED);
    events[0].m_fEnabled = 0;
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

TEST(WaitForManyObjects, SeveralThreadsWaitAtOnceEachOnItsOwnObjects)
{
    CEvents first(200, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CEvents second(200, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    for (int iRound = 0; iRound < 20; iRound++) {
        int iFirst = -2, iSecond = -2;
        {
            CTestThread threadFirst([&] { iFirst = first.Wait(5000); });
            CTestThread threadSecond([&] { iSecond = second.Wait(5000); });
            ::Sleep(5);
            first[199 - iRound].Set();
            second[70 + iRound].Set();
        }
        EXPECT_EQ(iFirst, 199 - iRound);
        EXPECT_EQ(iSecond, 70 + iRound);
    }
}
