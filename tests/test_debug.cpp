// The debug log: nesting and the records a listener receives.
#include <vector>

#include "common/assertex.h"
#include "common/debug.h"
#include "common/filestuf.h"

#include "record_failures.h"
#include "test_util.h"

namespace {

std::string WriteInnerMessage()
{
    DEBUG_MESSAGE(DEBUG_ERROR, "inner");
    return "X";
}

}  // namespace

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
