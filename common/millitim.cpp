#include "common/millitim.h"

#include <stdio.h>
#include <time.h>

#include "common/assertex.h"

namespace {

// Builds the seconds field from broken-down local time; DST decided by the run time.
DWORD LocalFieldsToSeconds(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond)
{
    DWORD dwSavedError = ::GetLastError();
    struct tm tmLocal = {};
    tmLocal.tm_year = nYear - 1900;
    tmLocal.tm_mon = nMonth - 1;
    tmLocal.tm_mday = nDay;
    tmLocal.tm_hour = nHour;
    tmLocal.tm_min = nMinute;
    tmLocal.tm_sec = nSecond;
    tmLocal.tm_isdst = -1;
    __time64_t t = _mktime64(&tmLocal);
    ::SetLastError(dwSavedError);
    if (t == -1 || t < 0 || t >= 0xFFFFFFFFLL)
        return (DWORD)CMilliTime::INVALID_SECONDS;
    return (DWORD)t;
}

BOOL FieldsInRange(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond, int nMillisecond)
{
    return nYear >= 1971 && nYear <= 2035 && nMonth >= 1 && nMonth <= 12 && nDay >= 1 && nDay <= 31 &&
           nHour >= 0 && nHour <= 23 && nMinute >= 0 && nMinute <= 59 && nSecond >= 0 && nSecond <= 59 &&
           nMillisecond >= 0 && nMillisecond <= 999;
}

}  // namespace

// Seconds held at the LONG range: 32-bit arithmetic would overflow, which
// C++ leaves undefined.
static LONG ClampToLong(LONGLONG ll)
{
    if (ll > 0x7FFFFFFFLL)
        return 0x7FFFFFFF;
    if (ll < -0x80000000LL)
        return (LONG)(-0x7FFFFFFFLL - 1);
    return (LONG)ll;
}

CMilliTimeSpan::CMilliTimeSpan(LONG nDays, LONG nHours, LONG nMinutes, LONG nSeconds, LONG nMilliseconds)
{
    m_nSeconds = ClampToLong((LONGLONG)nSeconds + nMilliseconds / 1000 +
                             (((LONGLONG)nDays * 24 + nHours) * 60 + nMinutes) * 60);
    m_nMilliseconds = nMilliseconds % 1000;
    if (m_nSeconds > 0 && m_nMilliseconds < 0) {
        m_nSeconds--;
        m_nMilliseconds += 1000;
    } else if (m_nSeconds < 0 && m_nMilliseconds > 0) {
        m_nSeconds++;
        m_nMilliseconds -= 1000;
    }
}

LONG CMilliTimeSpan::GetTotalMilliseconds() const
{
    return ClampToLong((LONGLONG)m_nSeconds * 1000 + m_nMilliseconds);
}

CMilliTimeSpan CMilliTimeSpan::Invalid()
{
    CMilliTimeSpan span;
    span.m_nMilliseconds = -1000;
    return span;
}

CMilliTime::CMilliTime(int nYear, int nMonth, int nDay, int nHour, int nMinute, int nSecond, int nMillisecond)
    : m_dwSeconds(INVALID_SECONDS), m_nMilliseconds(0)
{
    if (!FieldsInRange(nYear, nMonth, nDay, nHour, nMinute, nSecond, nMillisecond))
        return;
    m_dwSeconds = LocalFieldsToSeconds(nYear, nMonth, nDay, nHour, nMinute, nSecond);
    if (IsValid())
        m_nMilliseconds = nMillisecond;
}

CMilliTime::CMilliTime(const SYSTEMTIME& st)
    : CMilliTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds)
{
}

namespace {

PFN_LOCAL_CLOCK s_pfnLocalClock = NULL;
PFN_MONOTONIC_CLOCK s_pfnMonotonicClock = NULL;

}  // namespace

CMilliTime GetSystemLocalTime()
{
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    return CMilliTime(st);
}

ULONGLONG GetSystemMonotonicMilliseconds()
{
    // The performance counter, not the tick count: under Wine the tick
    // count moves in steps, so an alarm on it could fire a step before the
    // local clock reaches the time it stands for.
    static LARGE_INTEGER s_liFrequency;
    static const BOOL s_fFrequency = ::QueryPerformanceFrequency(&s_liFrequency) && s_liFrequency.QuadPart > 0;
    if (!s_fFrequency)
        return ::GetTickCount();
    LARGE_INTEGER liNow;
    ::QueryPerformanceCounter(&liNow);
    const ULONGLONG ullCount = (ULONGLONG)liNow.QuadPart;
    const ULONGLONG ullFrequency = (ULONGLONG)s_liFrequency.QuadPart;
    return ullCount / ullFrequency * 1000 + ullCount % ullFrequency * 1000 / ullFrequency;
}

ULONGLONG GetMonotonicMilliseconds()
{
    return s_pfnMonotonicClock != NULL ? s_pfnMonotonicClock() : GetSystemMonotonicMilliseconds();
}

void SetClockSeam(PFN_LOCAL_CLOCK pfnLocal, PFN_MONOTONIC_CLOCK pfnMonotonic)
{
    s_pfnLocalClock = pfnLocal;
    s_pfnMonotonicClock = pfnMonotonic;
}

CMilliTime CMilliTime::GetCurrentTime()
{
    return s_pfnLocalClock != NULL ? s_pfnLocalClock() : GetSystemLocalTime();
}

CMilliTime CMilliTime::Latest()
{
    return CMilliTime(2035, 12, 31, 23, 59, 59, 999);
}

CMilliTime CMilliTime::FromRaw(DWORD dwSeconds, LONG nMilliseconds)
{
    CMilliTime mt;
    mt.m_dwSeconds = dwSeconds;
    mt.m_nMilliseconds = nMilliseconds;
    return mt;
}

BOOL CMilliTime::operator<(const CMilliTime& rhs) const
{
    ASSERT_TRUE(IsValid());
    ASSERT_TRUE(rhs.IsValid());
    if ((LONG)m_dwSeconds != (LONG)rhs.m_dwSeconds)
        return (LONG)m_dwSeconds < (LONG)rhs.m_dwSeconds;
    return m_nMilliseconds < rhs.m_nMilliseconds;
}

BOOL CMilliTime::operator>(const CMilliTime& rhs) const
{
    ASSERT_TRUE(IsValid());
    ASSERT_TRUE(rhs.IsValid());
    if ((LONG)m_dwSeconds != (LONG)rhs.m_dwSeconds)
        return (LONG)m_dwSeconds > (LONG)rhs.m_dwSeconds;
    return m_nMilliseconds > rhs.m_nMilliseconds;
}

BOOL CMilliTime::operator==(const CMilliTime& rhs) const
{
    ASSERT_TRUE(IsValid());
    ASSERT_TRUE(rhs.IsValid());
    return m_dwSeconds == rhs.m_dwSeconds && m_nMilliseconds == rhs.m_nMilliseconds;
}

CMilliTime CMilliTime::operator+(const CMilliTimeSpan& span) const
{
    if (!CHECK_TRUE(IsValid()))
        return CMilliTime();
    LONGLONG llSeconds = (LONGLONG)(LONG)m_dwSeconds + span.m_nSeconds;
    LONG nMilliseconds = m_nMilliseconds + span.m_nMilliseconds;
    if (nMilliseconds > 999) {
        nMilliseconds -= 1000;
        llSeconds++;
    } else if (nMilliseconds < 0) {
        nMilliseconds += 1000;
        llSeconds--;
    }
    // Times compare as signed seconds: a sum outside 1970..2038 would wrap
    // into a time that compares wrongly, so it is no time at all.
    if (llSeconds < 0 || llSeconds > 0x7FFFFFFFLL)
        return CMilliTime();
    return FromRaw((DWORD)llSeconds, nMilliseconds);
}

CMilliTimeSpan CMilliTime::operator-(const CMilliTime& rhs) const
{
    ASSERT_TRUE(IsValid());
    ASSERT_TRUE(rhs.IsValid());
    CMilliTimeSpan span;
    span.m_nSeconds = ClampToLong((LONGLONG)(LONG)m_dwSeconds - (LONG)rhs.m_dwSeconds);
    span.m_nMilliseconds = m_nMilliseconds - rhs.m_nMilliseconds;
    if (span.m_nSeconds > 0 && span.m_nMilliseconds < 0) {
        span.m_nSeconds--;
        span.m_nMilliseconds += 1000;
    } else if (span.m_nSeconds < 0 && span.m_nMilliseconds >= 1) {
        span.m_nSeconds++;
        span.m_nMilliseconds -= 1000;
    }
    return span;
}

BOOL CMilliTime::GetLocalTm(struct tm& tmOut) const
{
    if (!IsValid())
        return FALSE;
    DWORD dwSavedError = ::GetLastError();
    __time64_t t = (__time64_t)m_dwSeconds;
    BOOL fOk = _localtime64_s(&tmOut, &t) == 0;
    ::SetLastError(dwSavedError);
    return fOk;
}

std::string CMilliTime::Format() const
{
    static const char* const s_aszMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    ASSERT_TRUE(IsValid());
    struct tm tmLocal;
    if (!GetLocalTm(tmLocal))
        return std::string();
    char szDate[32];
    char szTime[32];
    char szResult[80];
    snprintf(szDate, sizeof szDate, "%d%s%02d", tmLocal.tm_mday, s_aszMonths[tmLocal.tm_mon % 12],
             (tmLocal.tm_year + 1900) % 100);
    snprintf(szTime, sizeof szTime, "%d:%02d:%02d.%03d", tmLocal.tm_hour, tmLocal.tm_min, tmLocal.tm_sec,
             (int)m_nMilliseconds);
    snprintf(szResult, sizeof szResult, "%s %s", szDate, szTime);
    return szResult;
}
