// Millisecond time: field validity, arithmetic, comparison and formatting.
#include <stdlib.h>

#include "common/millitim.h"
#include "record_failures.h"
#include "test_app.h"

namespace {

CMilliTime At(int nHour, int nMinute, int nSecond, int nMillisecond)
{
    return CMilliTime(2026, 12, 4, nHour, nMinute, nSecond, nMillisecond);
}

CMilliTimeSpan Span(LONG nSeconds, LONG nMilliseconds)
{
    return CMilliTimeSpan(0, 0, 0, nSeconds, nMilliseconds);
}

std::string Parts(const CMilliTimeSpan& span)
{
    return std::to_string(span.m_nSeconds) + " s " + std::to_string(span.m_nMilliseconds) + " ms";
}

}  // namespace

TEST(MilliTime, SumsCarryBothWaysDifferencesHaveOneSignAndTheRangeIsKept)
{
    const struct
    {
        CMilliTime m_mt;
        CMilliTimeSpan m_span;
        const char* m_pszSum;
    } aSums[] = {{At(10, 0, 0, 900), Span(0, 200), "4Dec26 10:00:01.100"},
                 {At(10, 0, 1, 100), Span(0, -200), "4Dec26 10:00:00.900"},
                 {At(10, 0, 0, 0), CMilliTimeSpan(1, 1, 1, 1, 1), "5Dec26 11:01:01.001"},
                 {At(10, 0, 0, 999), Span(0, 1), "4Dec26 10:00:01.000"},
                 {At(10, 0, 0, 0), Span(0, -1), "4Dec26 9:59:59.999"}};
    for (auto& c : aSums)
        EXPECT_EQ((c.m_mt + c.m_span).Format(), c.m_pszSum);
    EXPECT_EQ(Parts(At(10, 0, 1, 100) - At(10, 0, 0, 900)), "0 s 200 ms");
    EXPECT_EQ(Parts(At(10, 0, 0, 900) - At(10, 0, 1, 100)), "0 s -200 ms");
    EXPECT_EQ(Parts(At(10, 0, 5, 100) - At(10, 0, 0, 900)), "4 s 200 ms");
    EXPECT_EQ(Parts(At(10, 0, 0, 900) - At(10, 0, 5, 100)), "-4 s -200 ms");
    EXPECT_EQ(Parts(At(10, 0, 0, 1) - At(10, 0, 1, 0)), "0 s -999 ms");
    EXPECT_EQ((At(10, 0, 0, 0) - At(10, 0, 3, 0)).GetTotalMilliseconds(), -3000);
    // Beyond the signed seconds a sum is invalid, not wrapped.
    const CMilliTime mtLatest = CMilliTime::Latest();
    EXPECT_TRUE(mtLatest + CMilliTimeSpan(366, 0, 0, 0, 0) > mtLatest);
    EXPECT_FALSE((mtLatest + CMilliTimeSpan(3650, 0, 0, 0, 0)).IsValid());
    EXPECT_FALSE((CMilliTime(1971, 1, 1, 0, 0, 0, 0) + CMilliTimeSpan(-800, 0, 0, 0, 0)).IsValid());
}

TEST(MilliTime, FormatWritesDayMonthYearAndTimeWithoutLeadingZerosWhereDueAndKeepsTheLastError)
{
    EXPECT_EQ(CMilliTime(2001, 1, 1, 0, 0, 0, 0).Format(), "1Jan01 0:00:00.000");
    EXPECT_EQ(CMilliTime(2010, 7, 15, 12, 30, 0, 5).Format(), "15Jul10 12:30:00.005");
    const char* const aszMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(CMilliTime(1999, i + 1, 28, 1, 2, 3, 4).Format(), StrFormat("28%s99 1:02:03.004", aszMonths[i]));
    ::SetLastError(1234);
    CMilliTime mt(2020, 2, 29, 1, 2, 3, 4);
    EXPECT_EQ(mt.Format(), "29Feb20 1:02:03.004");
    EXPECT_EQ(::GetLastError(), 1234u);
}
