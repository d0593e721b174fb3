// Stands in for the debug log's failure report while it lives, to see the
// failure records (failed checks, failure-class messages) that a test causes.
#pragma once

#include <vector>

#include "test_app.h"

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
        GetTestDebugLog().m_pFailureReport = &m_reporter;
    }
    ~CRecordFailures() { GetTestDebugLog().m_pFailureReport = m_pOld; }
    std::vector<CDebugRecord>& Records() { return m_reporter.m_aRecords; }

private:
    CRecordFailures(const CRecordFailures&) = delete;
    CRecordFailures& operator=(const CRecordFailures&) = delete;

    CRecordingReporter m_reporter;
    CDebugReporter* m_pOld;
};
