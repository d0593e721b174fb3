// Local time for captured output: the stamp of a line and the decision of a
// daily rotation, on milliseconds since 1601 (a FILETIME / 10000) and days
// since 1601. Free functions and a small per-copier cache; no shared state,
// so any thread may call them.
#pragma once

#include <string>

#include "common/win32.h"

const LONGLONG c_llMsPerMinute = 60000;
const LONGLONG c_llMsPerDay = 86400000;
// The current UTC time in milliseconds since 1601.
LONGLONG UtcNowMs();
// Local time minus UTC now, in minutes.
LONG LocalBiasMinutes();

// "2026-12-08T07:16:41.123+01:00 ": the stamp of a captured line begun at
// llUtcMs with the local time nBiasMinutes ahead of UTC.
std::string FormatLineStamp(LONGLONG llUtcMs, LONG nBiasMinutes);

// "2026-12-08T11:40:22+01:00": ISO 8601 for llUnixSeconds (seconds since
// 1970, UTC) in a local time nBiasMinutes ahead of UTC.
std::string FormatIsoTime(LONGLONG llUnixSeconds, LONG nBiasMinutes);
// The same in this computer's local time, with the offset that was in force
// at that moment (daylight saving time included); empty for a negative time.
std::string FormatIsoLocalTime(LONGLONG llUnixSeconds);

// Stamps of one copier: formatted at most once per millisecond, the local
// offset looked up at most once per minute, so that stamping costs little
// more than finding the line ends.
class CLineStamp
{
public:
    CLineStamp() : m_llFormattedMs(-1), m_llBiasMinute(-1), m_nBiasMinutes(0) {}
    const std::string& At(LONGLONG llUtcMs);

private:
    LONGLONG m_llFormattedMs;
    LONGLONG m_llBiasMinute;
    LONG m_nBiasMinutes;
    std::string m_csStamp;
};

// "daily" (midnight) or "HH:MM": the minute of the day; FALSE otherwise.
BOOL ParseRotateTime(const std::string& csValue, int& nMinute);
// A day since 1601 as "YYYY-MM-DD", and back (FALSE for anything else).
std::string FormatLogDate(LONGLONG nDay);
BOOL ParseLogDate(const std::string& csText, LONGLONG& nDay);

// What a daily rotation at minute nRotateMinute of the day does at local
// time llLocalNowMs to a file begun on nFileDay. nNowDay: the day a file
// begun now belongs to (the rotation time starts a day). A clock set back
// by a day or less keeps the file (the same day comes round again); set
// back further, the count starts again from now without a rotation.
enum
{
    LOG_DAY_KEEP,
    LOG_DAY_ROTATE,    // rotate into a copy named by nFileDay; nNowDay begins
    LOG_DAY_RESTART,   // no rotation; the file now belongs to nNowDay
};
int DecideDailyRotation(LONGLONG nFileDay, int nRotateMinute, LONGLONG llLocalNowMs, LONGLONG& nNowDay);

// The day a file begun at llLocalMs belongs to: the rotation time starts it.
LONGLONG RotationDay(LONGLONG llLocalMs, int nRotateMinute);
