// Local time for captured output: line stamps and the daily rotation's decision.
#include "logtime.h"

#include <stdio.h>

namespace {

// FILETIME counts 100 ns.
const LONGLONG s_llTicksPerMs = 10000;

LONGLONG FileTimeMs(const FILETIME& ft)
{
    return (LONGLONG)((((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime) / s_llTicksPerMs);
}

FILETIME MsFileTime(LONGLONG llMs)
{
    ULONGLONG ull = (ULONGLONG)llMs * s_llTicksPerMs;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)ull;
    ft.dwHighDateTime = (DWORD)(ull >> 32);
    return ft;
}

}  // namespace

LONGLONG RotationDay(LONGLONG llLocalMs, int nRotateMinute)
{
    return (llLocalMs - nRotateMinute * c_llMsPerMinute) / c_llMsPerDay;
}

LONGLONG UtcNowMs()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return FileTimeMs(ft);
}

LONG LocalBiasMinutes()
{
    // FileTimeToLocalFileTime applies the bias in force now, which is the
    // one wanted for "now".
    FILETIME ftUtc = MsFileTime(UtcNowMs());
    FILETIME ftLocal;
    if (!::FileTimeToLocalFileTime(&ftUtc, &ftLocal))
        return 0;
    return (LONG)((FileTimeMs(ftLocal) - FileTimeMs(ftUtc)) / c_llMsPerMinute);
}

namespace {

// Seconds from 1601 (FILETIME's start) to 1970.
const LONGLONG s_llSeconds1601To1970 = 11644473600LL;

// "2026-12-08T07:16:41[.123]+01:00": llUtcMs shown nBiasMinutes ahead of UTC.
std::string FormatIso(LONGLONG llUtcMs, LONG nBiasMinutes, BOOL fMilliseconds)
{
    FILETIME ft = MsFileTime(llUtcMs + nBiasMinutes * c_llMsPerMinute);
    SYSTEMTIME st = {};
    ::FileTimeToSystemTime(&ft, &st);
    LONG nAbs = nBiasMinutes < 0 ? -nBiasMinutes : nBiasMinutes;
    char szMs[8] = "";
    if (fMilliseconds)
        snprintf(szMs, sizeof szMs, ".%03u", st.wMilliseconds);
    char sz[64];
    int cch = snprintf(sz, sizeof sz, "%04u-%02u-%02uT%02u:%02u:%02u%s%c%02ld:%02ld", st.wYear, st.wMonth, st.wDay,
                       st.wHour, st.wMinute, st.wSecond, szMs, nBiasMinutes < 0 ? '-' : '+', (long)(nAbs / 60),
                       (long)(nAbs % 60));
    return std::string(sz, (size_t)cch);
}

}  // namespace

std::string FormatLineStamp(LONGLONG llUtcMs, LONG nBiasMinutes)
{
    return FormatIso(llUtcMs, nBiasMinutes, TRUE) + ' ';
}

std::string FormatIsoTime(LONGLONG llUnixSeconds, LONG nBiasMinutes)
{
    return FormatIso((llUnixSeconds + s_llSeconds1601To1970) * 1000, nBiasMinutes, FALSE);
}

std::string FormatIsoLocalTime(LONGLONG llUnixSeconds)
{
    if (llUnixSeconds < 0)
        return std::string();
    const LONGLONG llUtcMs = (llUnixSeconds + s_llSeconds1601To1970) * 1000;
    FILETIME ftUtc = MsFileTime(llUtcMs);
    SYSTEMTIME stUtc, stLocal;
    LONG nBias = LocalBiasMinutes();
    // The zone's rules for that date, not the offset of now: a start before
    // a change to or from daylight saving time keeps its own.
    if (::FileTimeToSystemTime(&ftUtc, &stUtc) && ::SystemTimeToTzSpecificLocalTime(NULL, &stUtc, &stLocal)) {
        FILETIME ftLocal;
        if (::SystemTimeToFileTime(&stLocal, &ftLocal))
            nBias = (LONG)((FileTimeMs(ftLocal) - llUtcMs) / c_llMsPerMinute);
    }
    return FormatIsoTime(llUnixSeconds, nBias);
}

const std::string& CLineStamp::At(LONGLONG llUtcMs)
{
    if (llUtcMs == m_llFormattedMs)
        return m_csStamp;
    if (llUtcMs / c_llMsPerMinute != m_llBiasMinute) {
        m_nBiasMinutes = LocalBiasMinutes();
        m_llBiasMinute = llUtcMs / c_llMsPerMinute;
    }
    m_csStamp = FormatLineStamp(llUtcMs, m_nBiasMinutes);
    m_llFormattedMs = llUtcMs;
    return m_csStamp;
}

BOOL ParseRotateTime(const std::string& csValue, int& nMinute)
{
    if (StrICmp(csValue, "daily") == 0) {
        nMinute = 0;
        return TRUE;
    }
    size_t iColon = csValue.find(':');
    if (iColon == std::string::npos || iColon < 1 || iColon > 2 || csValue.size() != iColon + 3 ||
        csValue.find_first_not_of("0123456789:") != std::string::npos || csValue.find(':', iColon + 1) != std::string::npos)
        return FALSE;
    int nHour = atoi(csValue.substr(0, iColon).c_str());
    int nMin = atoi(csValue.substr(iColon + 1).c_str());
    if (nHour > 23 || nMin > 59)
        return FALSE;
    nMinute = nHour * 60 + nMin;
    return TRUE;
}

std::string FormatLogDate(LONGLONG nDay)
{
    FILETIME ft = MsFileTime(nDay * c_llMsPerDay);
    SYSTEMTIME st = {};
    ::FileTimeToSystemTime(&ft, &st);
    return StrFormat("%04u-%02u-%02u", st.wYear, st.wMonth, st.wDay);
}

BOOL ParseLogDate(const std::string& csText, LONGLONG& nDay)
{
    if (csText.size() != 10 || csText[4] != '-' || csText[7] != '-')
        return FALSE;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (csText[i] < '0' || csText[i] > '9')
            return FALSE;
    }
    SYSTEMTIME st = {};
    st.wYear = (WORD)atoi(csText.substr(0, 4).c_str());
    st.wMonth = (WORD)atoi(csText.substr(5, 2).c_str());
    st.wDay = (WORD)atoi(csText.substr(8, 2).c_str());
    FILETIME ft;
    if (!::SystemTimeToFileTime(&st, &ft))
        return FALSE;
    nDay = FileTimeMs(ft) / c_llMsPerDay;
    // Wine takes some impossible dates (February 30) without a word.
    return FormatLogDate(nDay) == csText;
}

int DecideDailyRotation(LONGLONG nFileDay, int nRotateMinute, LONGLONG llLocalNowMs, LONGLONG& nNowDay)
{
    nNowDay = RotationDay(llLocalNowMs, nRotateMinute);
    if (nNowDay > nFileDay)
        return LOG_DAY_ROTATE;
    if (nNowDay < nFileDay - 1)
        return LOG_DAY_RESTART;
    return LOG_DAY_KEEP;
}
