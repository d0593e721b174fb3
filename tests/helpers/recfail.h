// Stands in for the test debug log's failure report while it lives, to see
// the failure records (assertions, refused calls) that a test provokes.
#pragma once

#include <string>
#include <vector>

#include "common/assertex.h"
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
        GetTestDebugLog().m_pFailureReport = reinterpret_cast<CFailureReporter*>(&m_reporter);
    }
    ~CRecordFailures() { GetTestDebugLog().m_pFailureReport = m_pOld; }
    std::vector<CDebugRecord>& Records() { return m_reporter.m_aRecords; }
    // The texts of the records, one a line, for failure output.
    std::string Texts() const
    {
        std::string cs;
        for (const CDebugRecord& record : m_reporter.m_aRecords)
            cs += record.csText + "\n";
        return cs;
    }

private:
    CRecordingReporter m_reporter;
    CFailureReporter* m_pOld;
};
