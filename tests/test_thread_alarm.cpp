// Alarms: time order, re-arming and cancelling.
#include <memory>
#include <vector>

#include "common/alarm.h"
#include "common/win32.h"
#include "record_failures.h"
#include "test_util.h"
#include "test_app.h"

namespace {

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

TEST(Alarm, InThePastAtOnceInTheFutureNotBeforeItsTimeAndInTimeOrder)
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

    // Alarms fire in time order, and two due together in list order.
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
        pw->m_fEnabled = FALSE;
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
