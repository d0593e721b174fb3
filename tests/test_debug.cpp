// The debug log (gating, nesting, records, thread names) and the checks'
// report texts.
#include <vector>

#include "common/assertex.h"
#include "common/debug.h"
#include "common/filestuf.h"

// The program's own ASSERT_TRUE, before the tests take the name back.
static int FailProgramAssertTrue()
{
    int nLine = __LINE__ + 1;
    ASSERT_TRUE(1 == 2);
    return nLine;
}

#include "record_failures.h"
#include "test_util.h"

namespace {

int g_cEvaluations = 0;
int Evaluate(int nResult)
{
    g_cEvaluations++;
    return nResult;
}

std::string WriteInnerMessage()
{
    DEBUG_MESSAGE(DEBUG_ERROR, "inner");
    return "X";
}

}  // namespace

TEST(DebugLog, EchoGatingAndSuppression)
{
    CStderrCapture capture;
    DEBUG_MESSAGE(DEBUG_ERROR, "value " << 42 << " and " << std::string("text"));
    EXPECT_EQ(capture.Text(), "value 42 and text\n");
    // With trace off a trace message costs one test: its text is not built.
    capture.Clear();
    g_cEvaluations = 0;
    DEBUG_TRACE_MSG("trace " << Evaluate(1));
    EXPECT_EQ(g_cEvaluations, 0);
    {
        CSwitchOn traceOn(g_fDebugTrace);
        DEBUG_TRACE_MSG("trace " << Evaluate(1));
    }
    // The error switch drops plain errors, not shown ones.
    g_fDebugErrors = FALSE;
    DEBUG_MESSAGE(DEBUG_ERROR, "dropped");
    DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW, "shown");
    g_fDebugErrors = TRUE;
    EXPECT_EQ(capture.Text(), "trace 1\nshown\n");
    // A suppressed thread writes no trace or error; the application's own
    // trace consults only the suppression.
    capture.Clear();
    SuppressDebugOutput(TRUE);
    EXPECT_FALSE(IsDebugOutputEnabled());
    DEBUG_MESSAGE(DEBUG_ERROR, "suppressed");
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "suppressed too");
    SuppressDebugOutput(FALSE);
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "app trace passes with the switch off");
    EXPECT_EQ(capture.Text(), "app trace passes with the switch off\n");
}

TEST(DebugLog, NestedMessageLeavesTheOuterIntactAndTheLastErrorSurvives)
{
    CRecordFailures failures;
    CStderrCapture capture;
    DEBUG_MESSAGE(DEBUG_FAILURE, "outer " << WriteInnerMessage() << " end");
    // The nested text goes straight to the echo, the outer one when it closes.
    EXPECT_EQ(capture.Text(), "inner\nouter X end\n");
    ASSERT_EQ(failures.Count(), 1u);
    EXPECT_EQ(failures.Records()[0].csText, "outer X end");
    EXPECT_EQ(GetTestDebugLog().m_nNestingLevel, 0);

    ::SetLastError(1234);
    DEBUG_MESSAGE(DEBUG_ERROR, "changes the error " << (::SetLastError(5), 1));
    EXPECT_EQ(::GetLastError(), 1234u);
    StartDebugMessage(__FILE__, __LINE__, DEBUG_ERROR);
    EXPECT_EQ(::GetLastError(), 1234u);
    GetDebugStream() << "x";
    EndDebugMessage();
    EXPECT_TRUE(IsDebugOutputEnabled());
    EXPECT_EQ(::GetLastError(), 1234u);
}

TEST(DebugLog, RecordCarriesHeaderAndThreadNames)
{
    CRecordFailures failures;
    CStderrCapture capture;
    DEBUG_FAILURE_MSG("from main");
    {
        CTestThread worker([] {
            RegisterThreadName("First", ::GetCurrentThreadId());
            RegisterThreadName("Worker", ::GetCurrentThreadId());
            DEBUG_FAILURE_MSG("from worker");
        });
    }
    ASSERT_EQ(failures.Count(), 2u);
    const CDebugRecord& recMain = failures.Records()[0];
    EXPECT_EQ(recMain.csThreadName, "main");
    EXPECT_EQ(recMain.dwProcessId, ::GetCurrentProcessId());
    EXPECT_EQ(recMain.dwThreadId, ::GetCurrentThreadId());
    EXPECT_EQ(recMain.csModule, "test_debug");
    EXPECT_EQ(recMain.nKind, DEBUG_FAILURE);
    EXPECT_TRUE(recMain.mtTime.IsValid());
    EXPECT_NE(std::string(recMain.pszFile).find("test_debug.cpp"), std::string::npos) << recMain.pszFile;
    EXPECT_EQ(failures.Records()[1].csThreadName + "|" + failures.Records()[1].csText, "Worker|from worker");
    EXPECT_EQ(GetThreadName(77003), "");
}

TEST(Checks, AssertTrueReportsCheckTextLastErrorAndUserMessage)
{
    CRecordFailures failures;
    CStderrCapture capture;
    ::SetLastError(2);
    int nLine = FailProgramAssertTrue();
    EXPECT_EQ(::GetLastError(), 2u);
    ASSERT_EQ(failures.Count(), 1u);
    EXPECT_EQ(failures.Records()[0].csText, "ASSERT_TRUE(1 == 2)\r\n\r\nLast error: " + ErrorText(2));
    EXPECT_EQ(failures.Records()[0].nLine, nLine);
    EXPECT_NE(capture.Text().find("A software error has occurred in line " + std::to_string(nLine) + " of " +
                                  failures.Records()[0].pszFile + ". Consult the debug log.\n"),
              std::string::npos)
        << capture.Text();
}

TEST(Checks, FailedChecksNameTheirValuesAndExecutionContinues)
{
    CRecordFailures failures;
    CStderrCapture capture;
    int cEnabledWaitObjects = 0, nNegative = -3, nZero = 0, nThree = 3;
    int* pNull = NULL;
    int* pSome = &nZero;
    HANDLE hEvent = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_NULL(pNull);
    ASSERT_NOT_NULL(pSome);
    ASSERT_BOOL(1);
    ASSERT_VALID_HANDLE(hEvent);
    ASSERT_INVALID_HANDLE(NULL);
    ::CloseHandle(hEvent);
    EXPECT_EQ(failures.Texts(), "");
    ::SetLastError(0);
    ASSERT_COND(cEnabledWaitObjects, >, 0);
    ASSERT_COND(nNegative, ==, -1);
    ASSERT_NULL(pSome);
    ASSERT_NOT_NULL(pNull);
    ASSERT_BOOL(nThree);
    ASSERT_VALID_HANDLE(INVALID_HANDLE_VALUE);
    ASSERT_EQ(failures.Count(), 6u);
    EXPECT_EQ(failures.Records()[0].csText,
              "ASSERT_COND(cEnabledWaitObjects, >, 0)\r\n\r\ncEnabledWaitObjects is 0\r\n0 is 0\r\nLast error: " +
                  ErrorText(0));
    EXPECT_NE(failures.Records()[1].csText.find("nNegative is -3\r\n-1 is -1\r\n"), std::string::npos);
    EXPECT_EQ(failures.Records()[3].csText.substr(0, 36), "ASSERT_NOT_NULL(pNull)\r\n\r\npNull is 0");
    EXPECT_EQ(failures.Records()[4].csText.substr(0, 34), "ASSERT_BOOL(nThree)\r\n\r\nnThree is 3");
}

TEST(Checks, VerifyTrueNeedsExactlyOneAndEvaluatesOnceVerifyCondReadsTheOperator)
{
    CRecordFailures failures;
    CStderrCapture capture;
    g_cEvaluations = 0;
    VERIFY_TRUE(Evaluate(1));
    EXPECT_EQ(g_cEvaluations, 1);
    EXPECT_EQ(failures.Texts(), "");
    VERIFY_TRUE(Evaluate(2));
    ASSERT_EQ(failures.Count(), 1u);
    EXPECT_EQ(failures.Records()[0].csText.substr(0, 26), "VERIFY_TRUE(Evaluate(2))\r\n");

    int a = 1, b = 2;
    EXPECT_TRUE(VERIFY_COND(a, "<", b) && VERIFY_COND(a, "<=", b) && VERIFY_COND(a, "!=", b) &&
                VERIFY_COND(b, ">=", a));
    EXPECT_EQ(failures.Count(), 1u);
    EXPECT_FALSE(VERIFY_COND(a, "==", b));
    EXPECT_NE(failures.Records().back().csText.find("a is 1\r\nb is 2\r\n"), std::string::npos);
    EXPECT_FALSE(VERIFY_COND(a, "", b));
    EXPECT_EQ(failures.Records().back().csText.substr(0, 41), "ASSERT_COND(szConditionalString[0], !=, 0");
    EXPECT_FALSE(VERIFY_COND(a, "<>", b));
    EXPECT_EQ(failures.Records().back().csText.substr(0, 48), "ASSERT_COND(szConditionalString[1], ==, T('='))\r");
    const size_t cBefore = failures.Count();
    EXPECT_FALSE(VERIFY_COND(a, "~", b));
    ASSERT_EQ(failures.Count(), cBefore + 2);
    EXPECT_EQ(failures.Records()[cBefore].csText, "Unknown conditional operator: ~");
}

TEST(FailureReporter, BoxTextAndSwitchOffContinues)
{
    CDebugRecord record;
    record.pszFile = ".\\x.cpp";
    record.nLine = 12;
    record.csText = "ASSERT_TRUE(x)";
    record.nKind = DEBUG_FAILURE;
    EXPECT_EQ(CFailureReporter::BuildText(record), GetModulePath(NULL) + "\n.\\x.cpp  Line 12\n\nASSERT_TRUE(x)\n\n"
                                                                         "Continue? (Choose cancel to invoke the debugger.)");
    CFailureReporter reporter;
    EXPECT_EQ(reporter.Report(record), 1);
}
