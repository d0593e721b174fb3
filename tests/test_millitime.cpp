// Millisecond time: field validity, arithmetic, comparison and formatting.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "common/millitim.h"
#include "helpers/recordfailures.h"
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

}  // namespace

TEST(MilliTime, FieldsOutsideTheirRangesGiveAnInvalidTime)
{
    EXPECT_FALSE(CMilliTime().IsValid());
    EXPECT_FALSE(CMilliTime(1970, 6, 1, 0, 0, 0, 0).IsValid());
    EXPECT_FALSE(CMilliTime(2036, 1, 1, 0, 0, 0, 0).IsValid());
    EXPECT_FALSE(CMilliTime(2000, 0, 1, 0, 0, 0, 0).IsValid());
    EXPECT_FALSE(CMilliTime(2000, 13, 1, 0, 0, 0, 0).IsValid());
    EXPECT_FALSE(CMilliTime(2000, 1, 0, 0, 0, 0, 0).IsValid());
    EXPECT_FALSE(CMilliTime(2000, 1, 32, 0, 0, 0, 0).IsValid());
    EXPECT_FALSE(CMilliTime(2000, 1, 1, 24, 0, 0, 0).IsValid());
    EXPECT_FALSE(CMilliTime(2000, 1, 1, 0, 60, 0, 0).IsValid());
    EXPECT_FALSE(CMilliTime(2000, 1, 1, 0, 0, 60, 0).IsValid());
    EXPECT_FALSE(CMilliTime(2000, 1, 1, 0, 0, 0, 1000).IsValid());
    EXPECT_FALSE(CMilliTime(2000, 1, 1, 0, 0, 0, -1).IsValid());
    EXPECT_TRUE(CMilliTime(1971, 1, 1, 0, 0, 0, 0).IsValid());
    const CMilliTime mtLatest(2035, 12, 31, 23, 59, 59, 999);
    ASSERT_NE(mtLatest.IsValid(), FALSE);
    EXPECT_EQ(mtLatest.m_nMilliseconds, 999);
    EXPECT_TRUE(mtLatest == CMilliTime::Latest());
    EXPECT_EQ(mtLatest.Format(), "31Dec35 23:59:59.999");
}

TEST(MilliTime, SystemTimeAndCurrentTimeAreConverted)
{
    SYSTEMTIME st = {};
    st.wYear = 2026;
    st.wMonth = 12;
    st.wDay = 4;
    st.wHour = 9;
    st.wMinute = 5;
    st.wSecond = 7;
    st.wMilliseconds = 42;
    EXPECT_TRUE(CMilliTime(st) == At(9, 5, 7, 42));
    SYSTEMTIME stNow;
    ::GetLocalTime(&stNow);
    const CMilliTime mtNow = CMilliTime::GetCurrentTime();
    ASSERT_NE(mtNow.IsValid(), FALSE);
    const CMilliTimeSpan span = mtNow - CMilliTime(stNow);
    EXPECT_LE(std::abs(span.GetTotalMilliseconds()), 2000) << span.m_nSeconds << " s " << span.m_nMilliseconds;
}

TEST(MilliTime, AddingCarriesMillisecondsIntoSecondsBothWays)
{
    EXPECT_EQ((At(10, 0, 0, 900) + Span(0, 200)).Format(), "4Dec26 10:00:01.100");
    EXPECT_EQ((At(10, 0, 1, 100) + Span(0, -200)).Format(), "4Dec26 10:00:00.900");
    EXPECT_EQ((At(10, 0, 0, 0) + CMilliTimeSpan(1, 1, 1, 1, 1)).Format(), "5Dec26 11:01:01.001");
    EXPECT_EQ((At(10, 0, 0, 999) + Span(0, 1)).Format(), "4Dec26 10:00:01.000");
    EXPECT_EQ((At(10, 0, 0, 0) + Span(0, -1)).Format(), "4Dec26 9:59:59.999");
}

TEST(MilliTime, SubtractingGivesASpanWithOneSign)
{
    CMilliTimeSpan span = At(10, 0, 1, 100) - At(10, 0, 0, 900);
    EXPECT_EQ(span.m_nSeconds, 0);
    EXPECT_EQ(span.m_nMilliseconds, 200);
    span = At(10, 0, 0, 900) - At(10, 0, 1, 100);
    EXPECT_EQ(span.m_nSeconds, 0);
    EXPECT_EQ(span.m_nMilliseconds, -200);
    span = At(10, 0, 5, 100) - At(10, 0, 0, 900);
    EXPECT_EQ(span.m_nSeconds, 4);
    EXPECT_EQ(span.m_nMilliseconds, 200);
    span = At(10, 0, 0, 900) - At(10, 0, 5, 100);
    EXPECT_EQ(span.m_nSeconds, -4);
    EXPECT_EQ(span.m_nMilliseconds, -200);
    span = At(10, 0, 0, 0) - At(10, 0, 3, 0);
    EXPECT_EQ(span.m_nSeconds, -3);
    EXPECT_EQ(span.m_nMilliseconds, 0);
    EXPECT_EQ(span.GetTotalMilliseconds(), -3000);
}

TEST(MilliTime, ComparisonsUseSecondsFirstAndMillisecondsOnlyWhenTheyAreEqual)
{
    const CMilliTime mtA = At(10, 0, 0, 900), mtB = At(10, 0, 1, 100), mtC = At(10, 0, 1, 200);
    EXPECT_TRUE(mtA < mtB);
    EXPECT_FALSE(mtB < mtA);
    EXPECT_TRUE(mtB < mtC);
    EXPECT_TRUE(mtC > mtB);
    EXPECT_FALSE(mtB > mtB);
    EXPECT_TRUE(mtB <= mtB && mtB >= mtB);
    EXPECT_TRUE(mtB != mtC);
    EXPECT_TRUE(At(10, 0, 1, 100) == mtB);
}

TEST(MilliTime, SumsBeyondTheSignedSecondsAreInvalidNotWrapped)
{
    const CMilliTime mtLatest = CMilliTime::Latest();
    const CMilliTime mtNextYear = mtLatest + CMilliTimeSpan(366, 0, 0, 0, 0);
    EXPECT_TRUE(mtNextYear.IsValid());
    EXPECT_TRUE(mtNextYear > mtLatest);
    EXPECT_FALSE((mtLatest + CMilliTimeSpan(3650, 0, 0, 0, 0)).IsValid());
    EXPECT_FALSE((CMilliTime(1971, 1, 1, 0, 0, 0, 0) + CMilliTimeSpan(-800, 0, 0, 0, 0)).IsValid());
}

TEST(MilliTime, FormatWritesDayMonthYearAndTimeWithoutLeadingZerosWhereDue)
{
    EXPECT_EQ(At(9, 5, 7, 42).Format(), "4Dec26 9:05:07.042");
    EXPECT_EQ(CMilliTime(2001, 1, 1, 0, 0, 0, 0).Format(), "1Jan01 0:00:00.000");
    EXPECT_EQ(CMilliTime(2010, 7, 15, 12, 30, 0, 5).Format(), "15Jul10 12:30:00.005");
    const char* const aszMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(CMilliTime(1999, i + 1, 28, 1, 2, 3, 4).Format(), StrFormat("28%s99 1:02:03.004", aszMonths[i]));
}

TEST(MilliTime, ConversionsKeepTheLastError)
{
    ::SetLastError(1234);
    CMilliTime mt(2020, 2, 29, 1, 2, 3, 4);
    EXPECT_EQ(::GetLastError(), 1234u);
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
    size_t cBefore = failures.Count();
    (void)(mtValid < mtInvalid);
    EXPECT_TRUE(failures.Has("ASSERT_TRUE(rhs.IsValid())")) << failures.Texts();
    EXPECT_GT(failures.Count(), cBefore);
    cBefore = failures.Count();
    (void)(mtInvalid - mtValid);
    (void)(mtInvalid > mtValid);
    (void)(mtInvalid == mtValid);
    EXPECT_EQ(mtInvalid.Format(), "");
    EXPECT_EQ(failures.Count(), cBefore + 4) << failures.Texts();
}

TEST(MilliTimeSpan, PartsAreNormalisedToOneSign)
{
    CMilliTimeSpan span(0, 0, 0, 5, -1500);
    EXPECT_EQ(span.m_nSeconds, 3);
    EXPECT_EQ(span.m_nMilliseconds, 500);
    span = CMilliTimeSpan(0, 0, 0, -5, 1000);
    EXPECT_EQ(span.m_nSeconds, -4);
    EXPECT_EQ(span.m_nMilliseconds, 0);
    EXPECT_TRUE(span.IsValid());
    span = CMilliTimeSpan(0, 0, 0, -5, 1500);
    EXPECT_EQ(span.m_nSeconds, -3);
    EXPECT_EQ(span.m_nMilliseconds, -500);
    span = CMilliTimeSpan(0, 0, 0, 0, -1500);
    EXPECT_EQ(span.m_nSeconds, -1);
    EXPECT_EQ(span.m_nMilliseconds, -500);
    span = CMilliTimeSpan(1, 2, 3, 4, 5);
    EXPECT_EQ(span.m_nSeconds, 93784);
    EXPECT_EQ(span.m_nMilliseconds, 5);
    span = CMilliTimeSpan(0, -1, 30, 0, 0);
    EXPECT_EQ(span.m_nSeconds, -1800);
    EXPECT_EQ(span.GetTotalMilliseconds(), -1800000);
    EXPECT_EQ(Span(3, 500).GetTotalMilliseconds(), 3500);
}

TEST(MilliTimeSpan, ZeroInvalidAndTotalsBeyond32Bits)
{
    EXPECT_EQ(CMilliTimeSpan::Zero().m_nSeconds, 0);
    EXPECT_EQ(CMilliTimeSpan::Zero().m_nMilliseconds, 0);
    EXPECT_TRUE(CMilliTimeSpan::Zero().IsValid());
    EXPECT_FALSE(CMilliTimeSpan::Invalid().IsValid());
    EXPECT_EQ(CMilliTimeSpan::Invalid().m_nMilliseconds, -1000);
    // 30 days in milliseconds do not fit in 32 bits: held at the limit.
    EXPECT_EQ(CMilliTimeSpan(30, 0, 0, 0, 0).GetTotalMilliseconds(), 0x7FFFFFFF);
    EXPECT_EQ(CMilliTimeSpan(-30, 0, 0, 0, 0).GetTotalMilliseconds(), (LONG)0x80000000);
    EXPECT_EQ(CMilliTimeSpan(100000, 0, 0, 0, 0).m_nSeconds, 0x7FFFFFFF);
}
