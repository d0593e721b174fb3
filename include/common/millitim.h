// Millisecond time: CMilliTime, a local point in time (seconds since
// 1970-01-01 UTC plus milliseconds), and CMilliTimeSpan, a signed duration.
// Both are plain values, copied freely, safe on any thread.
#pragma once

#include <windows.h>
#include <string>

// winbase.h maps GetCurrentTime() to GetTickCount(), which would silently
// rename CMilliTime::GetCurrentTime; the tick count has its own name.
#ifdef GetCurrentTime
#undef GetCurrentTime
#endif

class CMilliTimeSpan
{
public:
    CMilliTimeSpan() : m_nSeconds(0), m_nMilliseconds(0) {}
    CMilliTimeSpan(LONG nDays, LONG nHours, LONG nMinutes, LONG nSeconds, LONG nMilliseconds);

    static CMilliTimeSpan Zero() { return CMilliTimeSpan(); }
    static CMilliTimeSpan Invalid();
    static CMilliTimeSpan FromMilliseconds(LONG nMilliseconds) { return CMilliTimeSpan(0, 0, 0, 0, nMilliseconds); }

    BOOL IsValid() const { return m_nMilliseconds != -1000; }
    // seconds x 1000 + milliseconds, held at the LONG range when larger.
    LONG GetTotalMilliseconds() const;
    LONG GetSeconds() const { return m_nSeconds; }
    LONG GetMilliseconds() const { return m_nMilliseconds; }

    LONG m_nSeconds;
    LONG m_nMilliseconds;   // -999..999, same sign as the seconds; -1000 = invalid
};

class CMilliTime
{
public:
    enum { INVALID_SECONDS = 0xFFFFFFFF };

    CMilliTime() : m_dwSeconds(INVALID_SECONDS), m_nMilliseconds(0) {}
    CMilliTime(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond, int nMillisecond);
    explicit CMilliTime(const SYSTEMTIME& st);

    static CMilliTime GetCurrentTime();
    // 2035-12-31 23:59:59.999 local time, the latest value that can be held.
    static CMilliTime Latest();
    static CMilliTime FromRaw(DWORD dwSeconds, LONG nMilliseconds);

    BOOL IsValid() const { return m_dwSeconds != (DWORD)INVALID_SECONDS; }

    BOOL operator<(const CMilliTime& rhs) const;
    BOOL operator>(const CMilliTime& rhs) const;
    BOOL operator<=(const CMilliTime& rhs) const { return !(*this > rhs); }
    BOOL operator>=(const CMilliTime& rhs) const { return !(*this < rhs); }
    BOOL operator==(const CMilliTime& rhs) const;
    BOOL operator!=(const CMilliTime& rhs) const { return !(*this == rhs); }

    // Invalid when the sum leaves the range of the signed seconds.
    CMilliTime operator+(const CMilliTimeSpan& span) const;
    CMilliTimeSpan operator-(const CMilliTime& rhs) const;

    // "4Dec26 9:05:07.042"
    std::string Format() const;
    // Broken-down local time; FALSE for an invalid time.
    BOOL GetLocalTm(struct tm& tmOut) const;

    DWORD m_dwSeconds;       // all bits set = invalid
    LONG m_nMilliseconds;    // 0..999
};

// Milliseconds since an arbitrary start on a clock that only moves forward:
// a step of the local time (or the hour repeated when daylight saving ends)
// does not move it. Timers that must keep their length use it.
ULONGLONG GetMonotonicMilliseconds();

// The clocks behind CMilliTime::GetCurrentTime and GetMonotonicMilliseconds.
// Tests replace them to step a clock; NULL puts the system's clock back.
// Set them only while no other thread reads the time.
typedef CMilliTime (*PFN_LOCAL_CLOCK)();
typedef ULONGLONG (*PFN_MONOTONIC_CLOCK)();
void SetClockSeam(PFN_LOCAL_CLOCK pfnLocal, PFN_MONOTONIC_CLOCK pfnMonotonic);
// The system's clocks themselves, for a replacement that shifts them.
CMilliTime GetSystemLocalTime();
ULONGLONG GetSystemMonotonicMilliseconds();
