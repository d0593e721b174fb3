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

TEST(MilliTime, FieldsOutsideTheirRangesGiveAnInvalidTime)
{
    const int anCases[][7] = {{1970, 6, 1, 0, 0, 0, 0}, {2036, 1, 1, 0, 0, 0, 0},  {2000, 0, 1, 0, 0, 0, 0},
                              {2000, 13, 1, 0, 0, 0, 0}, {2000, 1, 0, 0, 0, 0, 0}, {2000, 1, 32, 0, 0, 0, 0},
                              {2000, 1, 1, 24, 0, 0, 0}, {2000, 1, 1, 0, 60, 0, 0}, {2000, 1, 1, 0, 0, 60, 0},
                              {2000, 1, 1, 0, 0, 0, 1000}, {2000, 1, 1, 0, 0, 0, -1}};
    for (auto& n : anCases)
        EXPECT_FALSE(CMilliTime(n[0], n[1], n[2], n[3], n[4], n[5], n[6]).IsValid()) << n[0] << "-" << n[1] << "-" << n[2];
    EXPECT_FALSE(CMilliTime().IsValid());
    EXPECT_TRUE(CMilliTime(1971, 1, 1, 0, 0, 0, 0).IsValid());
    const CMilliTime mtLatest(2035, 12, 31, 23, 59, 59, 999);
    EXPECT_TRUE(mtLatest == CMilliTime::Latest());
    EXPECT_EQ(mtLatest.Format(), "31Dec35 23:59:59.999");
}

TEST(MilliTime, SystemTimeAndCurrentTimeAreConverted)
{
    SYSTEMTIME st = {2026, 12, 0, 4, 9, 5, 7, 42};
    EXPECT_TRUE(CMilliTime(st) == At(9, 5, 7, 42));
    SYSTEMTIME stNow;
    ::GetLocalTime(&stNow);
    const CMilliTimeSpan span = CMilliTime::GetCurrentTime() - CMilliTime(stNow);
    EXPECT_LE(std::abs(span.GetTotalMilliseconds()), 2000) << Parts(span);
}

TEST(MilliTime, SumsCarryBothWaysDifferencesHaveOneSignAndTheRangeIsKept)
{
    const struct
    {
        CMilliTime mt;
        CMilliTimeSpan span;
        const char* pszSum;
    } aSums[] = {{At(10, 0, 0, 900), Span(0, 200), "4Dec26 10:00:01.100"},
                 {At(10, 0, 1, 100), Span(0, -200), "4Dec26 10:00:00.900"},
                 {At(10, 0, 0, 0), CMilliTimeSpan(1, 1, 1, 1, 1), "5Dec26 11:01:01.001"},
                 {At(10, 0, 0, 999), Span(0, 1), "4Dec26 10:00:01.000"},
                 {At(10, 0, 0, 0), Span(0, -1), "4Dec26 9:59:59.999"}};
    for (auto& c : aSums)
        EXPECT_EQ((c.mt + c.span).Format(), c.pszSum);
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

TEST(MilliTime, ComparisonsUseSecondsFirstAndMillisecondsOnlyWhenTheyAreEqual)
{
    const CMilliTime mtA = At(10, 0, 0, 900), mtB = At(10, 0, 1, 100), mtC = At(10, 0, 1, 200);
    EXPECT_TRUE(mtA < mtB && !(mtB < mtA) && mtB < mtC && mtC > mtB && !(mtB > mtB));
    EXPECT_TRUE(mtB <= mtB && mtB >= mtB && mtB != mtC && At(10, 0, 1, 100) == mtB);
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

TEST(MilliTime, ArithmeticOrComparisonOnAnInvalidTimeIsReported)
{
    CRecordFailures failures;
    CStderrCapture capture;
    const CMilliTime mtInvalid, mtValid = At(1, 0, 0, 0);
    EXPECT_FALSE((mtInvalid + Span(1, 0)).IsValid());
    EXPECT_TRUE(failures.Has("ASSERT_TRUE(IsValid())")) << failures.Texts();
    (void)(mtValid < mtInvalid);
    EXPECT_TRUE(failures.Has("ASSERT_TRUE(rhs.IsValid())")) << failures.Texts();
    const size_t cBefore = failures.Count();
    (void)(mtInvalid - mtValid);
    (void)(mtInvalid > mtValid);
    (void)(mtInvalid == mtValid);
    EXPECT_EQ(mtInvalid.Format(), "");
    EXPECT_EQ(failures.Count(), cBefore + 4) << failures.Texts();
}

TEST(MilliTimeSpan, PartsAreNormalisedToOneSignAndTotalsHeldAt32Bits)
{
    const struct
    {
        CMilliTimeSpan span;
        const char* pszParts;
    } aCases[] = {{Span(5, -1500), "3 s 500 ms"},          {Span(-5, 1000), "-4 s 0 ms"},
                  {Span(-5, 1500), "-3 s -500 ms"},        {Span(0, -1500), "-1 s -500 ms"},
                  {CMilliTimeSpan(1, 2, 3, 4, 5), "93784 s 5 ms"}, {CMilliTimeSpan(0, -1, 30, 0, 0), "-1800 s 0 ms"},
                  {CMilliTimeSpan::Zero(), "0 s 0 ms"},    {CMilliTimeSpan(100000, 0, 0, 0, 0), "2147483647 s 0 ms"}};
    for (auto& c : aCases)
        EXPECT_EQ(Parts(c.span), c.pszParts);
    EXPECT_EQ(Span(3, 500).GetTotalMilliseconds(), 3500);
    EXPECT_TRUE(CMilliTimeSpan::Zero().IsValid());
    EXPECT_FALSE(CMilliTimeSpan::Invalid().IsValid());
    EXPECT_EQ(CMilliTimeSpan::Invalid().m_nMilliseconds, -1000);
    // 30 days in milliseconds do not fit in 32 bits: held at the limit.
    EXPECT_EQ(CMilliTimeSpan(30, 0, 0, 0, 0).GetTotalMilliseconds(), 0x7FFFFFFF);
    EXPECT_EQ(CMilliTimeSpan(-30, 0, 0, 0, 0).GetTotalMilliseconds(), (LONG)0x80000000);
}
