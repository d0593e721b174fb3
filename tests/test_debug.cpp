#include <gtest/gtest.h>

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

namespace {

int g_cEvaluations = 0;
int CountEvaluation()
{
    return ++g_cEvaluations;
}

int ReturnsTwo()
{
    return 2;
}

int g_cOneCalls = 0;
int ReturnsOne()
{
    g_cOneCalls++;
    return 1;
}

std::string WriteInnerMessage()
{
    DEBUG_MESSAGE(DEBUG_ERROR, "inner");
    return "X";
}

}  // namespace

TEST(DebugLog, EchoWritesExactlyTextAndEndOfLine)
{
    CStderrCapture capture;
    DEBUG_MESSAGE(DEBUG_ERROR, "value " << 42 << " and " << std::string("text"));
    EXPECT_EQ(capture.Text(), "value 42 and text\n");
}

TEST(DebugLog, TraceOffCostsOneTestAndWritesNothing)
{
    CStderrCapture capture;
    g_cEvaluations = 0;
    DEBUG_TRACE_MSG("trace " << CountEvaluation());
    EXPECT_EQ(g_cEvaluations, 0);
    EXPECT_EQ(capture.Text(), "");
    {
        CSwitchOn traceOn(g_fDebugTrace);
        DEBUG_TRACE_MSG("trace " << CountEvaluation());
    }
    EXPECT_EQ(capture.Text(), "trace 1\n");
}

TEST(DebugLog, ErrorSwitchOffDropsPlainErrorsButNotShownOnes)
{
    CStderrCapture capture;
    g_fDebugErrors = FALSE;
    DEBUG_MESSAGE(DEBUG_ERROR, "dropped");
    DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW, "shown");
    g_fDebugErrors = TRUE;
    EXPECT_EQ(capture.Text(), "shown\n");
}

TEST(DebugLog, SuppressedThreadWritesNoTraceOrError)
{
    CStderrCapture capture;
    SuppressDebugOutput(TRUE);
    EXPECT_FALSE(IsDebugOutputEnabled());
    DEBUG_MESSAGE(DEBUG_ERROR, "suppressed");
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "suppressed too");
    SuppressDebugOutput(FALSE);
    EXPECT_TRUE(IsDebugOutputEnabled());
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "app trace passes with the switch off");
    EXPECT_EQ(capture.Text(), "app trace passes with the switch off\n");
}

TEST(DebugLog, NestedMessageLeavesOuterBufferIntact)
{
    CRecordFailures failures;
    CStderrCapture capture;
    DEBUG_MESSAGE(DEBUG_FAILURE, "outer " << WriteInnerMessage() << " end");
    // The nested text goes straight to the echo, the outer one when it closes.
    EXPECT_EQ(capture.Text(), "inner\nouter X end\n");
    ASSERT_EQ(failures.Records().size(), 1u);
    EXPECT_EQ(failures.Records()[0].csText, "outer X end");
    EXPECT_EQ(GetTestDebugLog().m_nNestingLevel, 0);
}

TEST(DebugLog, LastErrorSurvivesLogging)
{
    CStderrCapture capture;
    ::SetLastError(1234);
    DEBUG_MESSAGE(DEBUG_ERROR, "changes the error " << (::SetLastError(5), 1));
    EXPECT_EQ(::GetLastError(), 1234u);

    ::SetLastError(4321);
    StartDebugMessage(__FILE__, __LINE__, DEBUG_ERROR);
    EXPECT_EQ(::GetLastError(), 4321u);
    GetDebugStream() << "x";
    EXPECT_EQ(::GetLastError(), 4321u);
    EndDebugMessage();
    EXPECT_EQ(::GetLastError(), 4321u);
    EXPECT_TRUE(IsDebugOutputEnabled());
    EXPECT_EQ(::GetLastError(), 4321u);
}

TEST(DebugLog, RecordCarriesHeaderAndThreadNames)
{
    CRecordFailures failures;
    CStderrCapture capture;
    DEBUG_FAILURE_MSG("from main");
    HANDLE hThread = ::CreateThread(
        NULL, 0,
        [](LPVOID) -> DWORD {
            RegisterThreadName("First", ::GetCurrentThreadId());
            RegisterThreadName("Worker", ::GetCurrentThreadId());
            DEBUG_FAILURE_MSG("from worker");
            return 0;
        },
        NULL, 0, NULL);
    ASSERT_NE(hThread, (HANDLE)NULL);
    ASSERT_EQ(::WaitForSingleObject(hThread, 10000), WAIT_OBJECT_0);
    ::CloseHandle(hThread);

    ASSERT_EQ(failures.Records().size(), 2u);
    const CDebugRecord& recMain = failures.Records()[0];
    EXPECT_EQ(recMain.csThreadName, "main");
    EXPECT_EQ(recMain.dwProcessId, ::GetCurrentProcessId());
    EXPECT_EQ(recMain.dwThreadId, ::GetCurrentThreadId());
    EXPECT_EQ(recMain.csModule, "test_debug");
    EXPECT_EQ(recMain.nKind, DEBUG_FAILURE);
    EXPECT_TRUE(recMain.mtTime.IsValid());
    EXPECT_NE(std::string(recMain.pszFile).find("test_debug.cpp"), std::string::npos) << recMain.pszFile;
    EXPECT_EQ(failures.Records()[1].csThreadName, "Worker");
    EXPECT_EQ(failures.Records()[1].csText, "from worker");
}

TEST(ThreadNames, LookupAndReplacement)
{
    RegisterThreadName("A", 77001);
    RegisterThreadName("B", 77002);
    EXPECT_EQ(GetThreadName(77001), "A");
    RegisterThreadName("C", 77001);
    EXPECT_EQ(GetThreadName(77001), "C");
    EXPECT_EQ(GetThreadName(77002), "B");
    EXPECT_EQ(GetThreadName(77003), "");
}

TEST(Checks, AssertTrueReportsCheckTextLastErrorAndUserMessage)
{
    CRecordFailures failures;
    CStderrCapture capture;
    ::SetLastError(2);
    int nLine = FailProgramAssertTrue();
    EXPECT_EQ(::GetLastError(), 2u);
    ASSERT_EQ(failures.Records().size(), 1u);
    EXPECT_EQ(failures.Records()[0].csText, "ASSERT_TRUE(1 == 2)\r\n\r\nLast error: " + ErrorText(2));
    EXPECT_EQ(failures.Records()[0].nLine, nLine);
    std::string csUser = "A software error has occurred in line " + std::to_string(nLine) + " of " +
                         failures.Records()[0].pszFile + ". Consult the debug log.\n";
    EXPECT_NE(capture.Text().find(csUser), std::string::npos) << capture.Text();
}

TEST(Checks, AssertCondNamesBothValuesAndExecutionContinues)
{
    CRecordFailures failures;
    CStderrCapture capture;
    int cEnabledWaitObjects = 0;
    ::SetLastError(0);
    ASSERT_COND(cEnabledWaitObjects, >, 0);
    int nAfter = 1;
    EXPECT_EQ(nAfter, 1);
    ASSERT_EQ(failures.Records().size(), 1u);
    EXPECT_EQ(failures.Records()[0].csText,
              "ASSERT_COND(cEnabledWaitObjects, >, 0)\r\n\r\ncEnabledWaitObjects is 0\r\n0 is 0\r\nLast error: " +
                  ErrorText(0));
    int nNegative = -3;
    ASSERT_COND(nNegative, ==, -1);
    ASSERT_EQ(failures.Records().size(), 2u);
    EXPECT_NE(failures.Records()[1].csText.find("nNegative is -3\r\n-1 is -1\r\n"), std::string::npos);
}

TEST(Checks, PointerBoolAndHandleChecks)
{
    CRecordFailures failures;
    CStderrCapture capture;
    int n = 0;
    int* pNull = NULL;
    int* pSome = &n;
    ASSERT_NULL(pNull);
    ASSERT_NOT_NULL(pSome);
    ASSERT_BOOL(1);
    HANDLE hEvent = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_VALID_HANDLE(hEvent);
    ASSERT_INVALID_HANDLE(NULL);
    ::CloseHandle(hEvent);
    EXPECT_EQ(failures.Records().size(), 0u);
    ASSERT_NULL(pSome);
    ASSERT_NOT_NULL(pNull);
    int nThree = 3;
    ASSERT_BOOL(nThree);
    ASSERT_VALID_HANDLE(INVALID_HANDLE_VALUE);
    ASSERT_EQ(failures.Records().size(), 4u);
    EXPECT_EQ(failures.Records()[1].csText.substr(0, 36), "ASSERT_NOT_NULL(pNull)\r\n\r\npNull is 0");
    EXPECT_EQ(failures.Records()[2].csText.substr(0, 34), "ASSERT_BOOL(nThree)\r\n\r\nnThree is 3");
}

TEST(Checks, VerifyTrueNeedsExactlyOneAndEvaluatesOnce)
{
    CRecordFailures failures;
    CStderrCapture capture;
    g_cOneCalls = 0;
    VERIFY_TRUE(ReturnsOne());
    EXPECT_EQ(g_cOneCalls, 1);
    EXPECT_EQ(failures.Records().size(), 0u);
    VERIFY_TRUE(ReturnsTwo());
    ASSERT_EQ(failures.Records().size(), 1u);
    EXPECT_EQ(failures.Records()[0].csText.substr(0, 27), "VERIFY_TRUE(ReturnsTwo())\r\n");
}

TEST(Checks, VerifyCondInterpretsOperatorText)
{
    CRecordFailures failures;
    CStderrCapture capture;
    int a = 1, b = 2;
    EXPECT_TRUE(VERIFY_COND(a, "<", b));
    EXPECT_TRUE(VERIFY_COND(a, "<=", b));
    EXPECT_TRUE(VERIFY_COND(a, "!=", b));
    EXPECT_TRUE(VERIFY_COND(b, ">=", a));
    EXPECT_EQ(failures.Records().size(), 0u);
    EXPECT_FALSE(VERIFY_COND(a, "==", b));
    ASSERT_EQ(failures.Records().size(), 1u);
    EXPECT_NE(failures.Records()[0].csText.find("a is 1\r\nb is 2\r\n"), std::string::npos);

    EXPECT_FALSE(VERIFY_COND(a, "", b));
    EXPECT_EQ(failures.Records().back().csText.substr(0, 41), "ASSERT_COND(szConditionalString[0], !=, 0");
    EXPECT_FALSE(VERIFY_COND(a, "<>", b));
    EXPECT_EQ(failures.Records().back().csText.substr(0, 48),
              "ASSERT_COND(szConditionalString[1], ==, T('='))\r");
    size_t cBefore = failures.Records().size();
    EXPECT_FALSE(VERIFY_COND(a, "~", b));
    ASSERT_EQ(failures.Records().size(), cBefore + 2);
    EXPECT_EQ(failures.Records()[cBefore].csText, "Unknown conditional operator: ~");
}

TEST(FailureReporter, BoxTextAndSwitchOffContinues)
{
    CDebugRecord record;
    record.pszFile = ".\\x.cpp";
    record.nLine = 12;
    record.csText = "ASSERT_TRUE(x)";
    record.nKind = DEBUG_FAILURE;
    EXPECT_EQ(CFailureReporter::BuildText(record),
              GetModulePath(NULL) + "\n.\\x.cpp  Line 12\n\nASSERT_TRUE(x)\n\nContinue? (Choose cancel to invoke the debugger.)");
    CFailureReporter reporter;
    EXPECT_EQ(reporter.Report(record), 1);
}
