// Stand-ins for the debug log's failure report and its debugger notifier
// while they live, to see the records (failed checks, failure-class
// messages, every debug record) that a test causes.
#pragma once

#include <string>
#include <vector>

#include "common/notifier.h"
#include "test_app.h"

// Stands in for the debugger notifier while it lives, so that a test sees
// each debug record whole, kind included.
class CRecordNotifier : public CDebugNotifier
{
public:
    CRecordNotifier() : m_pOld(GetTestDebugLog().m_pNotifier)
    {
        m_fActive = TRUE;
        GetTestDebugLog().m_pNotifier = this;
    }
    ~CRecordNotifier() { GetTestDebugLog().m_pNotifier = m_pOld; }
    virtual BOOL Report(const CDebugRecord& record) override
    {
        m_aRecords.push_back(record);
        return TRUE;
    }
    std::vector<CDebugRecord> m_aRecords;

private:
    CDebugNotifier* m_pOld;
};

class CRecordingReporter : public CDebugReporter
{
public:
    virtual BOOL Report(const CDebugRecord& record) override
    {
        m_aRecords.push_back(record);
        return TRUE;
    }
    std::vector<CDebugRecord> m_aRecords;
};

class CRecordFailures
{
public:
    CRecordFailures() : m_pOld(GetTestDebugLog().m_pFailureReport) { GetTestDebugLog().m_pFailureReport = &m_reporter; }
    ~CRecordFailures() { GetTestDebugLog().m_pFailureReport = m_pOld; }

    std::vector<CDebugRecord>& Records() { return m_reporter.m_aRecords; }
    size_t Count() const { return m_reporter.m_aRecords.size(); }
    // The texts of every record, one per line, for failure output.
    std::string Texts() const
    {
        std::string cs;
        for (const CDebugRecord& record : m_reporter.m_aRecords)
            cs += record.m_csText + "\n";
        return cs;
    }
    // TRUE when a record starts with the check text.
    BOOL Has(const std::string& csCheck) const
    {
        for (const CDebugRecord& record : m_reporter.m_aRecords) {
            if (record.m_csText.compare(0, csCheck.size(), csCheck) == 0)
                return TRUE;
        }
        return FALSE;
    }

private:
    CRecordFailures(const CRecordFailures&) = delete;
    CRecordFailures& operator=(const CRecordFailures&) = delete;

    CRecordingReporter m_reporter;
    CDebugReporter* m_pOld;
};
