// CAlarm: a wait object that becomes signalled at a set time, with
// millisecond resolution. The alarm fires on the monotonic clock
// (GetMonotonicMilliseconds): a time given in local time is turned into a
// distance from now when it is set, so a later step of the local clock
// does not move it. It owns a manual-reset event (m_event), which is
// its delegate, so waiting on the alarm waits on the event. One process-wide
// "AlarmThread" watches every alarm and fires each when it is due; it is
// started by the first alarm armed and stopped when the last alarm object is
// destroyed. A fired alarm stays armed, its event signalled, until it is
// cancelled or re-armed.
//
// Any thread may arm, cancel or destroy an alarm; the process-wide alarm
// lock guards the alarm list, every alarm's time and event state, and the
// alarm thread's start and stop. Fire runs on the alarm thread. The alarm
// machinery may be used by static objects of any translation unit.
#pragma once

#include "common/millitim.h"
#include "common/win32.h"

class CAlarm : public CWaitObject
{
public:
    CAlarm();
    virtual ~CAlarm();

    // Signals the event; runs on the alarm thread when the alarm is due.
    virtual void Fire();

    // Disarms (and resets the event) if armed.
    void Cancel();
    // Arms for that time (resetting the event first); an invalid time only
    // disarms. A time in the past fires at once.
    void SetAt(const CMilliTime& mtAlarm);
    // Arms for the current time plus the span; an invalid span disarms.
    void SetAfter(const CMilliTimeSpan& span);
    // Arms for a point of the monotonic clock; mtShown is the local time it
    // stands for (kept in m_mtAlarm; it must be valid).
    void SetAtMonotonic(ULONGLONG ullDue, const CMilliTime& mtShown);
    BOOL IsArmed() const;

    CMilliTime m_mtAlarm;   // invalid while disarmed; the local time it stands for
    ULONGLONG m_ullDue;     // when it fires, on the monotonic clock
    CKernelEvent m_event;   // manual-reset; signalled when fired
};

// For tests: the id of the running alarm thread, 0 when there is none.
DWORD GetAlarmThreadId();
