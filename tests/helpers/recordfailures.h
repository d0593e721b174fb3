// Records the software-failure reports (failed checks, failure-class
// messages) written while it lives, in place of the failure box.
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

    size_t Count() const { return m_reporter.m_aRecords.size(); }
    // The texts of every report, one per line, for failure output.
    std::string Texts() const
    {
        std::string cs;
        for (size_t i = 0; i < m_reporter.m_aRecords.size(); i++)
            cs += m_reporter.m_aRecords[i].csText + "\n";
        return cs;
    }
    // TRUE when a report starts with the check text.
    BOOL Has(const std::string& csCheck) const
    {
        for (size_t i = 0; i < m_reporter.m_aRecords.size(); i++)
            if (m_reporter.m_aRecords[i].csText.compare(0, csCheck.size(), csCheck) == 0)
                return TRUE;
        return FALSE;
    }

private:
    CRecordingReporter m_reporter;
    CFailureReporter* m_pOld;
};
