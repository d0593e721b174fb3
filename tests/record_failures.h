// Stands in for the debug log's failure report while it lives, to see the
// failure records (failed checks, failure-class messages) that a test causes.
#pragma once

#include <vector>

// The checks header takes ASSERT_TRUE for the program's own check; in the
// tests it is GoogleTest's.
#undef ASSERT_TRUE
#include "common/assertex.h"
#include "test_app.h"
#undef ASSERT_TRUE
#define ASSERT_TRUE(condition) GTEST_ASSERT_TRUE(condition)

class CRecordingReporter : public CDebugReporter
{
public:
    virtual BOOL Report(const CDebugRecord& record) override
    {
        m_aRecords.push_back(record);
        return 1;
    }
    std::vector<CDebugRecord> m_aRecords;
};

class CRecordFailures
{
public:
    CRecordFailures() : m_pOld(GetTestDebugLog().m_pFailureReport)
    {
        GetTestDebugLog().m_pFailureReport = reinterpret_cast<CFailureReporter*>(&m_reporter);
    }
    ~CRecordFailures() { GetTestDebugLog().m_pFailureReport = m_pOld; }
    std::vector<CDebugRecord>& Records() { return m_reporter.m_aRecords; }

private:
    CRecordFailures(const CRecordFailures&) = delete;
    CRecordFailures& operator=(const CRecordFailures&) = delete;

    CRecordingReporter m_reporter;
    CFailureReporter* m_pOld;
};
