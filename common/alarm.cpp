// Alarms and the one thread that fires them.
#include "common/alarm.h"

#include <algorithm>

#include "common/assertex.h"

namespace {

// A wait with no alarm pending, or with the next alarm far away, ends after
// this long and rescans; any bound works since a time-out only rescans.
const LONGLONG MAX_ALARM_WAIT_MS = 60000;

// Never deleted, and created on first use: alarms are members of static
// objects in other translation units, and the last one may be destroyed
// while statics are torn down.
struct CAlarmMachinery
{
    CAlarmMachinery()
        : m_evWake(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED),
          m_evStop(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED),
          m_fStopping(FALSE)
    {
    }
    struct CLock
    {
        CLock() { ::InitializeCriticalSection(&m_critsec); }
        CRITICAL_SECTION m_critsec;
    } m_lock;   // first: the alarm lock exists before anything else here
    std::vector<CAlarm*> m_apAlarms;   // every existing alarm, in order of construction
    CSimpleThread m_thread;
    CKernelEvent m_evWake;
    CKernelEvent m_evStop;
    BOOL m_fStopping;   // a destructor is joining the thread
};

CAlarmMachinery& Machinery()
{
    static CAlarmMachinery* s_pMachinery = new CAlarmMachinery;
    return *s_pMachinery;
}

// Created before the application starts, as every foundation static.
const struct CAlarmMachineryInit { CAlarmMachineryInit() { Machinery(); } } s_alarmMachineryInit;

class CAlarmLock
{
public:
    CAlarmLock() { ::EnterCriticalSection(&Machinery().m_lock.m_critsec); }
    ~CAlarmLock() { ::LeaveCriticalSection(&Machinery().m_lock.m_critsec); }
};

// One pass over the alarms under the lock; returns the time-out until the
// next one is due.
DWORD ScanAlarms()
{
    CAlarmMachinery& m = Machinery();
    CAlarmLock lock;
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    ULONGLONG ullTimeout = (ULONGLONG)MAX_ALARM_WAIT_MS;
    for (size_t i = 0; i < m.m_apAlarms.size(); i++) {
        CAlarm* pAlarm = m.m_apAlarms[i];
        if (!pAlarm->IsArmed())
            continue;
        if (pAlarm->m_ullDue <= ullNow) {
            if (!pAlarm->m_event.Wait(0))
                pAlarm->Fire();
        } else {
            ullTimeout = std::min(ullTimeout, pAlarm->m_ullDue - ullNow);
        }
    }
    return (DWORD)ullTimeout;
}

DWORD WINAPI AlarmThreadRoutine(void*)
{
    CAlarmMachinery& m = Machinery();
    for (;;) {
        const DWORD dwTimeout = ScanAlarms();
        CWaitObjectArray apWaitObjects;
        ChainBefore(m.m_evStop, m.m_evWake);
        m.m_evWake.CollectChain(apWaitObjects);
        CWaitObject* pw = WaitForWaitObjects(FALSE, apWaitObjects, dwTimeout);
        if (pw == &m.m_evStop)
            break;
        if (pw != &m.m_evWake)
            ASSERT_NULL(pw);
    }
    DEBUG_TRACE_MSG("The alarm thread is ending.");
    return 0;
}

// The point of the monotonic clock that stands for a local time. The two
// clocks are read in pairs, each at its own granularity, so one pair (the
// anchor) serves as long as the clocks keep together: two alarms set for
// the same local time then fall due together. A step of the local clock
// (more than a second off the anchor) takes a new anchor; alarms already
// set keep their monotonic time.
ULONGLONG MonotonicFor(const CMilliTime& mtLocal)
{
    static CMilliTime s_mtAnchor;
    static ULONGLONG s_ullAnchor = 0;
    CAlarmLock lock;
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    const CMilliTime mtNow = CMilliTime::GetCurrentTime();
    const LONGLONG llSinceAnchor = (LONGLONG)(ullNow - s_ullAnchor);
    const LONG nDrift = s_mtAnchor.IsValid()
                            ? (mtNow - s_mtAnchor).GetTotalMilliseconds() - (LONG)std::min<LONGLONG>(llSinceAnchor, 0x7FFFFFFF)
                            : 0;
    if (!s_mtAnchor.IsValid() || nDrift > 1000 || nDrift < -1000 || llSinceAnchor > 0x7FFFFFFF) {
        s_mtAnchor = mtNow;
        s_ullAnchor = ullNow;
    }
    const CMilliTimeSpan span = mtLocal - s_mtAnchor;
    const LONGLONG llAhead = (LONGLONG)span.m_nSeconds * 1000 + span.m_nMilliseconds;
    const LONGLONG llDue = (LONGLONG)s_ullAnchor + llAhead;
    return llDue > 0 ? (ULONGLONG)llDue : 0;
}

// Under the alarm lock.
void StartAlarmThread()
{
    CAlarmMachinery& m = Machinery();
    if (m.m_thread.m_hHandle != NULL)
        return;
    if (m.m_thread.Create("AlarmThread", AlarmThreadRoutine))
        m.m_thread.Resume();
}

}  // namespace

CAlarm::CAlarm() : m_ullDue(0)
{
    CAlarmLock lock;
    m_event.Create(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    m_pwoDelegate = &m_event;
    Machinery().m_apAlarms.push_back(this);
}

CAlarm::~CAlarm()
{
    CAlarmMachinery& m = Machinery();
    ::EnterCriticalSection(&m.m_lock.m_critsec);
    Cancel();
    std::vector<CAlarm*>::iterator it = std::find(m.m_apAlarms.begin(), m.m_apAlarms.end(), this);
    if (it != m.m_apAlarms.end())
        m.m_apAlarms.erase(it);
    // Only one destructor joins the thread; an alarm armed while it does is
    // served by a thread started again after the join.
    if (m.m_apAlarms.empty() && m.m_thread.m_hHandle != NULL && !m.m_fStopping) {
        m.m_fStopping = TRUE;
        ::LeaveCriticalSection(&m.m_lock.m_critsec);
        m.m_evStop.Set();
        m.m_thread.Wait(INFINITE);
        ::EnterCriticalSection(&m.m_lock.m_critsec);
        m.m_thread.Close();
        m.m_fStopping = FALSE;
        for (size_t i = 0; i < m.m_apAlarms.size(); i++) {
            if (m.m_apAlarms[i]->IsArmed()) {
                StartAlarmThread();
                break;
            }
        }
    }
    ::LeaveCriticalSection(&m.m_lock.m_critsec);
    m_pwoDelegate = NULL;
}

void CAlarm::Fire()
{
    m_event.Set();
}

BOOL CAlarm::IsArmed() const
{
    return m_mtAlarm.IsValid();
}

void CAlarm::Cancel()
{
    CAlarmLock lock;
    if (IsArmed()) {
        m_event.Reset();
        m_mtAlarm = CMilliTime();
    }
}

void CAlarm::SetAt(const CMilliTime& mtAlarm)
{
    if (!mtAlarm.IsValid()) {
        Cancel();
        return;
    }
    SetAtMonotonic(MonotonicFor(mtAlarm), mtAlarm);
}

void CAlarm::SetAfter(const CMilliTimeSpan& span)
{
    const CMilliTime mtShown = span.IsValid() ? CMilliTime::GetCurrentTime() + span : CMilliTime();
    SetAt(mtShown);
}

void CAlarm::SetAtMonotonic(ULONGLONG ullDue, const CMilliTime& mtShown)
{
    CAlarmMachinery& m = Machinery();
    CAlarmLock lock;
    Cancel();
    if (!mtShown.IsValid())
        return;
    m_mtAlarm = mtShown;
    m_ullDue = ullDue;
    m.m_evWake.Set();
    StartAlarmThread();
}

DWORD GetAlarmThreadId()
{
    CAlarmLock lock;
    return Machinery().m_thread.m_hHandle != NULL ? Machinery().m_thread.m_dwThreadId : 0;
}
