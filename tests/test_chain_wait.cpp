// Chains, wait objects, events and the wait multiplexer, up to and far
// beyond 64 enabled objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "common/chain.h"
#include "common/waitmany.h"
#include "common/win32.h"
#include "helpers/recordfailures.h"
#include "test_app.h"

namespace {

// An event that counts its dispatches.
class CCountingEvent : public CKernelEvent
{
public:
    explicit CCountingEvent(DWORD dwFlags) : CKernelEvent(dwFlags), m_cSignalled(0) {}
    virtual void OnSignalled() override
    {
        CKernelEvent::OnSignalled();
        m_cSignalled++;
    }
    int m_cSignalled;
};

// A wait object over a handle it does not own.
class CRawWaitObject : public CWaitObject
{
public:
    explicit CRawWaitObject(HANDLE h) : m_h(h), m_cSignalled(0) { m_phWaitHandle = &m_h; }
    virtual void OnSignalled() override
    {
        CWaitObject::OnSignalled();
        m_cSignalled++;
    }
    HANDLE m_h;
    int m_cSignalled;
};

// A wait object that only delegates, counting what travels through it.
class CDelegatingObject : public CWaitObject
{
public:
    explicit CDelegatingObject(CWaitObject* pwoDelegate) : m_cSignalled(0) { m_pwoDelegate = pwoDelegate; }
    virtual void OnSignalled() override
    {
        CWaitObject::OnSignalled();
        m_cSignalled++;
    }
    int m_cSignalled;
};

class CPlainElement : public CChainable
{
};

typedef std::vector<std::unique_ptr<CCountingEvent>> CEventSet;

CEventSet MakeEvents(size_t c, DWORD dwFlags)
{
    CEventSet aEvents;
    for (size_t i = 0; i < c; i++)
        aEvents.emplace_back(new CCountingEvent(dwFlags));
    return aEvents;
}

CWaitObjectArray ArrayOf(const CEventSet& aEvents)
{
    CWaitObjectArray apwo;
    for (size_t i = 0; i < aEvents.size(); i++)
        apwo.push_back(aEvents[i].get());
    return apwo;
}

// The indexes of the events that are signalled now; polling consumes
// auto-reset signals, so this is used only at the end of a case.
int CountSignalled(const CEventSet& aEvents)
{
    int c = 0;
    for (size_t i = 0; i < aEvents.size(); i++)
        if (::WaitForSingleObject(aEvents[i]->m_hHandle, 0) == WAIT_OBJECT_0)
            c++;
    return c;
}

int IndexOf(const CEventSet& aEvents, CWaitObject* pw)
{
    for (size_t i = 0; i < aEvents.size(); i++)
        if (aEvents[i].get() == pw)
            return (int)i;
    return -1;
}

// Runs a routine on a thread of its own; joined (bounded) on destruction.
class CTestThread
{
public:
    template <class F_>
    explicit CTestThread(F_ fn) : m_pfn(new F_(fn))
    {
        m_pfnCall = [](void* pv) { (*static_cast<F_*>(pv))(); };
        m_pfnDelete = [](void* pv) { delete static_cast<F_*>(pv); };
        m_hThread = ::CreateThread(NULL, 0, Entry, this, 0, NULL);
    }
    ~CTestThread()
    {
        EXPECT_EQ(::WaitForSingleObject(m_hThread, 10000), WAIT_OBJECT_0);
        ::CloseHandle(m_hThread);
        m_pfnDelete(m_pfn);
    }
    BOOL Join(DWORD dwTimeout) { return ::WaitForSingleObject(m_hThread, dwTimeout) == WAIT_OBJECT_0; }

private:
    static DWORD WINAPI Entry(void* pv)
    {
        CTestThread* p = static_cast<CTestThread*>(pv);
        p->m_pfnCall(p->m_pfn);
        return 0;
    }
    void* m_pfn;
    void (*m_pfnCall)(void*);
    void (*m_pfnDelete)(void*);
    HANDLE m_hThread;
};

}  // namespace

// ---- Chains -------------------------------------------------------------

TEST(Chain, CollectingAnUnlinkedElementYieldsItWithoutTheBuildingLock)
{
    CPlainElement a, b, c;
    // Another thread holds a chain under construction, i.e. the building lock.
    HANDLE hBuilt = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hRelease = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    CTestThread builder([&] {
        b.LinkTo(c);
        ::SetEvent(hBuilt);
        ::WaitForSingleObject(hRelease, 10000);
        CChainableArray ap;
        c.CollectChain(ap);
    });
    ASSERT_EQ(::WaitForSingleObject(hBuilt, 5000), WAIT_OBJECT_0);
    EXPECT_FALSE(IsChainBuildingLockFree());
    CChainableArray ap;
    a.CollectChain(ap);
    ASSERT_EQ(ap.size(), 1u);
    EXPECT_EQ(ap[0], &a);
    EXPECT_FALSE(a.IsLinked());
    ::SetEvent(hRelease);
    EXPECT_TRUE(builder.Join(5000));
    EXPECT_TRUE(IsChainBuildingLockFree());
    ::CloseHandle(hBuilt);
    ::CloseHandle(hRelease);
}

TEST(Chain, ChainObjectsOfOneReturnsItUnlinkedOfThreeReturnsTheLastAndCollectsInOrder)
{
    CPlainElement single;
    std::vector<CPlainElement*> apOne = {&single};
    EXPECT_EQ(ChainObjects(apOne), &single);
    EXPECT_FALSE(single.IsLinked());
    EXPECT_TRUE(IsChainBuildingLockFree());

    CPlainElement a, b, c;
    std::vector<CPlainElement*> apThree = {&a, &b, &c};
    for (int iFrom = 0; iFrom < 3; iFrom++) {
        EXPECT_EQ(ChainObjects(apThree), &c);
        CChainableArray ap;
        apThree[iFrom]->CollectChain(ap);
        ASSERT_EQ(ap.size(), 3u) << "collected from element " << iFrom;
        EXPECT_EQ(ap[0], &a);
        EXPECT_EQ(ap[1], &b);
        EXPECT_EQ(ap[2], &c);
        EXPECT_FALSE(a.IsLinked() || b.IsLinked() || c.IsLinked());
        EXPECT_TRUE(IsChainBuildingLockFree());
    }
}

TEST(Chain, ChainBeforeJoinsAllOfTheFirstChainThenAllOfTheSecond)
{
    CPlainElement a1, a2, a3, b1, b2, b3, single;
    std::vector<CPlainElement*> apA = {&a1, &a2, &a3};
    std::vector<CPlainElement*> apB = {&b1, &b2, &b3};
    CChainable* pTailA = ChainObjects(apA);
    ChainObjects(apB);
    EXPECT_EQ(&ChainBefore(*pTailA, b2), &b2);
    b3.LinkTo(single);
    CChainableArray ap;
    single.CollectChain(ap);
    std::vector<CChainable*> apExpected = {&a1, &a2, &a3, &b1, &b2, &b3, &single};
    EXPECT_EQ(ap, apExpected);
    EXPECT_TRUE(IsChainBuildingLockFree());
}

TEST(Chain, LinkingALinkedElementOrClosingACycleIsReportedAndRefused)
{
    CPlainElement a, b, c;
    CRecordFailures failures;
    a.LinkTo(b);
    a.LinkTo(c);   // a already has a successor
    EXPECT_TRUE(failures.Has("ASSERT_NULL(m_pToNext)")) << failures.Texts();
    c.LinkTo(b);   // b already has a predecessor
    EXPECT_TRUE(failures.Has("ASSERT_NULL(c.m_pToPrev)")) << failures.Texts();
    b.LinkTo(a);   // would close a cycle
    EXPECT_TRUE(failures.Has("ASSERT_TRUE(!fClosesCycle)")) << failures.Texts();
    EXPECT_FALSE(c.IsLinked());
    CChainableArray ap;
    b.CollectChain(ap);
    std::vector<CChainable*> apExpected = {&a, &b};
    EXPECT_EQ(ap, apExpected);
    EXPECT_TRUE(IsChainBuildingLockFree());
}

TEST(Chain, DestroyingALinkedElementIsReportedAndTakesItOut)
{
    CPlainElement a, c;
    CRecordFailures failures;
    {
        std::unique_ptr<CPlainElement> pb(new CPlainElement);
        a.LinkTo(*pb);
        pb->LinkTo(c);
    }
    EXPECT_TRUE(failures.Has("ASSERT_NULL(m_pToNext)")) << failures.Texts();
    EXPECT_TRUE(failures.Has("ASSERT_NULL(m_pToPrev)")) << failures.Texts();
    CChainableArray ap;
    a.CollectChain(ap);
    std::vector<CChainable*> apExpected = {&a, &c};
    EXPECT_EQ(ap, apExpected);
    EXPECT_TRUE(IsChainBuildingLockFree());
}

TEST(Chain, AChainUnderConstructionBlocksOtherBuildersUntilCollected)
{
    CPlainElement a, b, c, d;
    a.LinkTo(b);
    HANDLE hLinked = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    CTestThread other([&] {
        c.LinkTo(d);
        ::SetEvent(hLinked);
        CChainableArray ap;
        d.CollectChain(ap);
    });
    EXPECT_EQ(::WaitForSingleObject(hLinked, 200), (DWORD)WAIT_TIMEOUT);
    CChainableArray ap;
    b.CollectChain(ap);
    EXPECT_EQ(ap.size(), 2u);
    // The building lock is free again: the other thread builds at once.
    EXPECT_EQ(::WaitForSingleObject(hLinked, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(other.Join(5000));
    EXPECT_FALSE(c.IsLinked() || d.IsLinked());
    ::CloseHandle(hLinked);
}

TEST(Chain, CollectChainOfWaitObjectsGivesTypedArray)
{
    CKernelEvent ev1(0x6), ev2(0xA);
    CPlainElement plain;
    ev1.LinkTo(ev2);
    CWaitObjectArray apwo;
    ev2.CollectChain(apwo);
    CWaitObjectArray apExpected = {&ev1, &ev2};
    EXPECT_EQ(apwo, apExpected);

    CRecordFailures failures;
    ev1.LinkTo(plain);
    plain.LinkTo(ev2);
    ev1.CollectChain(apwo);
    apExpected = {&ev1, &ev2};
    EXPECT_EQ(apwo, apExpected);
    EXPECT_TRUE(failures.Has("ASSERT_NOT_NULL(pwo)")) << failures.Texts();
    EXPECT_FALSE(plain.IsLinked());
}

// ---- Wait objects and events ----------------------------------------------

TEST(WaitObject, DelegatesResolveToTheLastHandleAndForwardTheSignalAlongTheChain)
{
    CCountingEvent ev(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CDelegatingObject middle(&ev);
    CDelegatingObject front(&middle);
    EXPECT_EQ(front.GetWaitHandle(), ev.m_hHandle);
    EXPECT_TRUE(front.HasValidWaitHandle());
    CWaitObjectArray apwo = {&front};
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    ev.Set();
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 1000), &front);
    EXPECT_EQ(front.m_cSignalled, 1);
    EXPECT_EQ(middle.m_cSignalled, 1);
    EXPECT_EQ(ev.m_cSignalled, 1);
}

TEST(WaitObject, ADelegateCycleIsReportedAndHasNoHandle)
{
    CDelegatingObject a(NULL), b(&a);
    a.m_pwoDelegate = &b;
    CRecordFailures failures;
    EXPECT_EQ(a.GetWaitHandle(), (HANDLE)NULL);
    EXPECT_FALSE(b.HasValidWaitHandle());
    EXPECT_TRUE(failures.Has("ASSERT_TRUE(!fCycle)")) << failures.Texts();
    a.m_pwoDelegate = NULL;
}

TEST(WaitObject, WaitWithoutHandleIsReportedAndReturnsAtOnce)
{
    CRawWaitObject none(NULL), invalid(INVALID_HANDLE_VALUE);
    CRecordFailures failures;
    EXPECT_FALSE(none.Wait(INFINITE));
    EXPECT_FALSE(invalid.Wait(INFINITE));
    EXPECT_TRUE(failures.Has("ASSERT_TRUE(HasValidWaitHandle())")) << failures.Texts();
    EXPECT_EQ(none.m_cSignalled + invalid.m_cSignalled, 0);
}

TEST(KernelEvent, WaitZeroOnSignalledAutoResetEventReturnsTrueAndConsumesIt)
{
    CCountingEvent ev(EVENT_AUTO_RESET | EVENT_INITIALLY_SIGNALLED);
    EXPECT_TRUE(ev.Wait(0));
    EXPECT_EQ(ev.m_cSignalled, 1);
    EXPECT_FALSE(ev.Wait(0));
    EXPECT_EQ(ev.m_cSignalled, 1);
    CCountingEvent evManual(EVENT_MANUAL_RESET | EVENT_INITIALLY_SIGNALLED);
    EXPECT_TRUE(evManual.Wait(0));
    EXPECT_TRUE(evManual.Wait(0));
    evManual.Reset();
    EXPECT_FALSE(evManual.Wait(0));
}

TEST(KernelEvent, CreateWithBothOrNeitherFlagOfAPairIsReported)
{
    CRecordFailures failures;
    CKernelEvent evBothReset;
    evBothReset.Create(EVENT_MANUAL_RESET | EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    EXPECT_TRUE(failures.Has("ASSERT_COND(fManualReset + fAutoReset, ==, 1)")) << failures.Texts();
    CKernelEvent evNoState;
    size_t cBefore = failures.Count();
    evNoState.Create(EVENT_AUTO_RESET);
    EXPECT_GT(failures.Count(), cBefore);
    EXPECT_TRUE(failures.Has("ASSERT_COND(fInitSignalled + fInitNonSignalled, ==, 1)")) << failures.Texts();
}

TEST(KernelEvent, NamedEventThatExistsIsOpenedAndCreateOverALiveHandleIsRefused)
{
    std::string csName = StrFormat("OvrinTestEvent%lu", ::GetCurrentProcessId());
    CKernelEvent evFirst, evSecond;
    ASSERT_NE(evFirst.Create(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED, csName.c_str()), FALSE);
    {
        CRecordFailures failures;
        EXPECT_TRUE(evSecond.Create(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED, csName.c_str()));
        EXPECT_EQ(failures.Count(), 0u) << failures.Texts();
    }
    evFirst.Set();
    EXPECT_TRUE(evSecond.Wait(0));

    CRecordFailures failures;
    HANDLE hBefore = evFirst.m_hHandle;
    EXPECT_FALSE(evFirst.Create(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED));
    EXPECT_TRUE(failures.Has("ASSERT_NULL(m_hHandle)")) << failures.Texts();
    EXPECT_EQ(evFirst.m_hHandle, hBefore);
    evFirst.Close();
    EXPECT_EQ(evFirst.m_hHandle, (HANDLE)NULL);
    EXPECT_FALSE(evFirst.HasValidWaitHandle());
}

TEST(SecurityAttributes, NullDaclGrantsEveryoneAndIsOwned)
{
    CKernelEvent ev;
    EXPECT_EQ(ev.m_sa.nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_EQ(ev.m_sa.lpSecurityDescriptor, nullptr);
    EXPECT_FALSE(ev.m_sa.bInheritHandle);
    ev.SetNullDacl();
    ev.SetNullDacl();   // the first descriptor is freed, not leaked or kept
    ASSERT_NE(ev.m_psd, nullptr);
    EXPECT_EQ(ev.m_sa.lpSecurityDescriptor, ev.m_psd);
    BOOL fPresent = FALSE, fDefaulted = TRUE;
    PACL pAcl = (PACL)1;
    ASSERT_NE(::GetSecurityDescriptorDacl(ev.m_psd, &fPresent, &pAcl, &fDefaulted), FALSE);
    EXPECT_TRUE(fPresent);
    EXPECT_EQ(pAcl, nullptr);
    EXPECT_TRUE(ev.Create(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED));
}

// ---- The multiplexer up to 64 objects ------------------------------------

TEST(WaitForWaitObjects, TwoAutoResetEventsSignalledTogetherAreDispatchedLowestIndexFirstOncePerSignal)
{
    CEventSet aEvents = MakeEvents(3, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    aEvents[2]->Set();
    aEvents[1]->Set();
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), aEvents[1].get());
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), aEvents[2].get());
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    EXPECT_EQ(aEvents[0]->m_cSignalled, 0);
    EXPECT_EQ(aEvents[1]->m_cSignalled, 1);
    EXPECT_EQ(aEvents[2]->m_cSignalled, 1);
}

TEST(WaitForWaitObjects, DisabledObjectsAreSkippedAndAllDisabledIsReported)
{
    CEventSet aEvents = MakeEvents(2, EVENT_MANUAL_RESET | EVENT_INITIALLY_SIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    aEvents[0]->m_fEnabled = 0;
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), aEvents[1].get());
    EXPECT_EQ(aEvents[0]->m_cSignalled, 0);
    aEvents[1]->m_fEnabled = 0;
    CRecordFailures failures;
    CStderrCapture capture;
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    EXPECT_TRUE(failures.Has("ASSERT_COND(cEnabledWaitObjects, >, 0)")) << failures.Texts();
}

TEST(WaitForWaitObjects, TimeOutReturnsNullAndCallsNoHandler)
{
    CEventSet aEvents = MakeEvents(5, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 50), nullptr);
    EXPECT_GE(::GetTickCount() - dwStart, 40u);
    for (size_t i = 0; i < aEvents.size(); i++)
        EXPECT_EQ(aEvents[i]->m_cSignalled, 0);
}

TEST(WaitForWaitObjects, FailedWaitReturnsNullAndLogsTheErrorInHex)
{
    CCountingEvent ev(EVENT_MANUAL_RESET | EVENT_INITIALLY_SIGNALLED);
    // A handle value that names no object: the wait fails with error 6.
    CRawWaitObject bogus((HANDLE)(ULONG_PTR)0x7FFFFFF0);
    CWaitObjectArray apwo = {&bogus, &ev};
    CStderrCapture capture;
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_NE(capture.Text().find("::WaitForMultipleObjects failed.  Error: 6\n"), std::string::npos)
        << capture.Text();
    EXPECT_EQ(ev.m_cSignalled, 0);
    // Error 87 shows as 57: the code is written in hexadecimal.
    capture.Clear();
    CKernelEvent evDisabled(0x6);
    evDisabled.m_fEnabled = 0;
    CWaitObjectArray apwoNone = {&evDisabled};
    CRecordFailures failures;
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwoNone, 0), nullptr);
    EXPECT_NE(capture.Text().find("::WaitForMultipleObjects failed.  Error: 57\n"), std::string::npos)
        << capture.Text();
}

TEST(WaitForWaitObjects, WaitForAllCallsEveryHandlerInOrderAndReturnsTheFirst)
{
    CEventSet aEvents = MakeEvents(3, EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    aEvents[0]->m_fEnabled = 0;
    aEvents[1]->Set();
    EXPECT_EQ(WaitForWaitObjects(TRUE, apwo, 0), nullptr);
    EXPECT_EQ(aEvents[1]->m_cSignalled, 0);
    aEvents[2]->Set();
    EXPECT_EQ(WaitForWaitObjects(TRUE, apwo, 0), aEvents[1].get());
    EXPECT_EQ(aEvents[0]->m_cSignalled, 0);
    EXPECT_EQ(aEvents[1]->m_cSignalled, 1);
    EXPECT_EQ(aEvents[2]->m_cSignalled, 1);
}

// ---- The multiplexer beyond 64 objects -----------------------------------

class WaitForManyObjectsTest : public ::testing::TestWithParam<int>
{
};

TEST_P(WaitForManyObjectsTest, TheSignalledObjectWinsWhereverItStandsAndOnlyItIsConsumed)
{
    const int cObjects = GetParam();
    CEventSet aEvents = MakeEvents(cObjects, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    std::vector<int> aiPositions;
    for (int iPos : {0, 1, 62, 63, 64, cObjects / 2, cObjects - 2, cObjects - 1})
        if (iPos < cObjects && std::find(aiPositions.begin(), aiPositions.end(), iPos) == aiPositions.end())
            aiPositions.push_back(iPos);
    CRecordFailures failures;
    for (int iPos : aiPositions) {
        aEvents[iPos]->Set();
        EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 0)), iPos) << "at once, " << cObjects;
        aEvents[iPos]->Set();
        EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 2000)), iPos) << "waiting, " << cObjects;
        // Signalled while the call waits.
        CTestThread setter([&] {
            ::Sleep(20);
            aEvents[iPos]->Set();
        });
        EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 5000)), iPos) << "later, " << cObjects;
    }
    // Two together: the lower index first, then the other; nothing lost.
    aEvents[cObjects - 1]->Set();
    aEvents[cObjects / 2]->Set();
    EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 0)), cObjects / 2);
    EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 0)), cObjects - 1);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 30), nullptr);
    for (int i = 0; i < cObjects; i++) {
        int cExpected = (int)std::count(aiPositions.begin(), aiPositions.end(), i) * 3 +
                        (i == cObjects - 1 || i == cObjects / 2 ? 1 : 0);
        ASSERT_EQ(aEvents[i]->m_cSignalled, cExpected) << "object " << i;
    }
    EXPECT_EQ(CountSignalled(aEvents), 0);
    EXPECT_EQ(failures.Count(), 0u) << failures.Texts();
}

INSTANTIATE_TEST_SUITE_P(Counts, WaitForManyObjectsTest, ::testing::Values(64, 65, 127, 128, 500));

TEST(WaitForManyObjects, TheQuitEventAtPosition500IsSeenWhileWaiting)
{
    CEventSet aEvents = MakeEvents(500, EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CKernelEvent evQuit(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    apwo.push_back(&evQuit);
    CTestThread setter([&] {
        ::Sleep(50);
        evQuit.Set();
    });
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 5000), &evQuit);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), &evQuit);   // manual-reset: stays signalled
}

TEST(WaitForManyObjects, TimeOutReturnsNullCallsNoHandlerAndConsumesNothing)
{
    CEventSet aEvents = MakeEvents(300, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    DWORD dwStart = ::GetTickCount();
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 60), nullptr);
    EXPECT_GE(::GetTickCount() - dwStart, 50u);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    for (size_t i = 0; i < aEvents.size(); i++)
        ASSERT_EQ(aEvents[i]->m_cSignalled, 0);
    // Disabled objects do not count: a signalled one beyond 64 is not seen.
    aEvents[200]->m_fEnabled = 0;
    aEvents[200]->Set();
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 20), nullptr);
    EXPECT_EQ(CountSignalled(aEvents), 1);
}

namespace {

struct CHookScenario
{
    std::vector<HANDLE> ahToSet;
    std::vector<HANDLE> ahToReset;
    int cCalls = 0;
};

void RunHookScenario(void* pv)
{
    CHookScenario* p = static_cast<CHookScenario*>(pv);
    p->cCalls++;
    for (HANDLE h : p->ahToReset)
        ::ResetEvent(h);
    for (HANDLE h : p->ahToSet)
        ::SetEvent(h);
}

class CWokenHook
{
public:
    explicit CWokenHook(CHookScenario& scenario)
    {
        g_pvWaitManyWokenHookContext = &scenario;
        g_pfnWaitManyWokenHook = RunHookScenario;
    }
    ~CWokenHook()
    {
        g_pfnWaitManyWokenHook = NULL;
        g_pvWaitManyWokenHookContext = NULL;
    }
};

}  // namespace

TEST(WaitForManyObjects, ALowerObjectSignalledAfterAHelperFiredWinsAndTheHelpersSignalIsGivenBack)
{
    CEventSet aEvents = MakeEvents(200, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    CHookScenario scenario;
    // Object 150 wakes a helper (which consumes its signal); while the
    // caller wakes, 20 and 100 become signalled.
    scenario.ahToSet = {aEvents[20]->m_hHandle, aEvents[100]->m_hHandle};
    {
        CWokenHook hook(scenario);
        CTestThread setter([&] {
            ::Sleep(30);
            aEvents[150]->Set();
        });
        EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 5000)), 20);
    }
    EXPECT_EQ(scenario.cCalls, 1);
    EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 0)), 100);
    EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 0)), 150);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
}

TEST(WaitForManyObjects, GivingBackLeavesManualResetEventsAloneAndReleasesSemaphores)
{
    CEventSet aEvents = MakeEvents(200, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CKernelEvent evManual(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    HANDLE hSemaphore = ::CreateSemaphoreA(NULL, 0, 10, NULL);
    CRawWaitObject semaphore(hSemaphore);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    apwo[150] = &evManual;
    apwo[180] = &semaphore;

    // The manual-reset event fires a helper; its owner resets it meanwhile:
    // giving the signal back must not set it again.
    CHookScenario scenario;
    scenario.ahToSet = {aEvents[20]->m_hHandle};
    scenario.ahToReset = {evManual.m_hHandle};
    {
        CWokenHook hook(scenario);
        CTestThread setter([&] {
            ::Sleep(30);
            evManual.Set();
        });
        EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 5000)), 20);
    }
    EXPECT_EQ(::WaitForSingleObject(evManual.m_hHandle, 0), (DWORD)WAIT_TIMEOUT);

    // The semaphore's count taken by a helper comes back.
    scenario.ahToReset.clear();
    {
        CWokenHook hook(scenario);
        CTestThread setter([&] {
            ::Sleep(30);
            ::ReleaseSemaphore(hSemaphore, 1, NULL);
        });
        EXPECT_EQ(IndexOf(aEvents, WaitForWaitObjects(FALSE, apwo, 5000)), 20);
    }
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), &semaphore);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    ::CloseHandle(hSemaphore);
}

TEST(WaitForManyObjects, TwoObjectsSharingOneHandleReportTheFirst)
{
    CEventSet aEvents = MakeEvents(150, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    CDelegatingObject alias(aEvents[140].get());
    apwo[10] = &alias;
    CTestThread setter([&] {
        ::Sleep(30);
        aEvents[140]->Set();
    });
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 5000), &alias);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
}

TEST(WaitForManyObjects, FailureAnywhereReturnsNullAndLogsTheError)
{
    CEventSet aEvents = MakeEvents(300, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    CRawWaitObject bogus((HANDLE)(ULONG_PTR)0x7FFFFFF0);
    apwo[250] = &bogus;
    CStderrCapture capture;
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), nullptr);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 1000), nullptr);
    EXPECT_NE(capture.Text().find("::WaitForMultipleObjects failed.  Error: 6\n"), std::string::npos)
        << capture.Text();
    EXPECT_EQ(bogus.m_cSignalled, 0);
}

TEST(WaitForManyObjects, WaitForAllDispatchesEveryObjectOrGivesEverySignalBack)
{
    CEventSet aEvents = MakeEvents(150, EVENT_AUTO_RESET | EVENT_INITIALLY_SIGNALLED);
    CWaitObjectArray apwo = ArrayOf(aEvents);
    aEvents[140]->Reset();
    EXPECT_EQ(WaitForWaitObjects(TRUE, apwo, 50), nullptr);
    for (size_t i = 0; i < aEvents.size(); i++)
        ASSERT_EQ(aEvents[i]->m_cSignalled, 0);
    aEvents[140]->Set();
    EXPECT_EQ(WaitForWaitObjects(TRUE, apwo, 1000), aEvents[0].get());
    for (size_t i = 0; i < aEvents.size(); i++)
        ASSERT_EQ(aEvents[i]->m_cSignalled, 1) << "object " << i;
    EXPECT_EQ(CountSignalled(aEvents), 0);
}

TEST(WaitForManyObjects, SeveralThreadsWaitAtOnceEachOnItsOwnObjects)
{
    CEventSet aFirst = MakeEvents(200, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CEventSet aSecond = MakeEvents(200, EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
    CWaitObjectArray apwoFirst = ArrayOf(aFirst), apwoSecond = ArrayOf(aSecond);
    for (int iRound = 0; iRound < 20; iRound++) {
        CWaitObject* pwFirst = NULL;
        CWaitObject* pwSecond = NULL;
        {
            CTestThread first([&] { pwFirst = WaitForWaitObjects(FALSE, apwoFirst, 5000); });
            CTestThread second([&] { pwSecond = WaitForWaitObjects(FALSE, apwoSecond, 5000); });
            ::Sleep(5);
            aFirst[199 - iRound]->Set();
            aSecond[70 + iRound]->Set();
        }
        EXPECT_EQ(IndexOf(aFirst, pwFirst), 199 - iRound);
        EXPECT_EQ(IndexOf(aSecond, pwSecond), 70 + iRound);
    }
}
