// Event-log reports: what the report call is given.
#include <string>
#include <vector>

#include "common/filestuf.h"
#include "e2e_util.h"
#include "eventlog.h"
#include "test_app.h"

namespace {

typedef std::vector<std::string> CTexts;

// Registers an event source as an installation would, or makes sure it is
// not registered, and removes what it added when it goes.
class CEventSourceKey
{
public:
    CEventSourceKey(const std::string& csSource, BOOL fPresent)
        : m_csKey("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + csSource)
    {
        if (!fPresent) {
            ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, m_csKey.c_str());
            return;
        }
        HKEY hKey = NULL;
        DWORD dwDisposition = 0;
        m_lResult = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, m_csKey.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey,
                                      &dwDisposition);
        if (m_lResult == ERROR_SUCCESS) {
            m_fCreated = dwDisposition == REG_CREATED_NEW_KEY;
            ::RegCloseKey(hKey);
        }
    }
    ~CEventSourceKey()
    {
        if (m_fCreated)
            ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, m_csKey.c_str());
    }

    LONG m_lResult = ERROR_SUCCESS;

private:
    std::string m_csKey;
    BOOL m_fCreated = FALSE;
};

// What the stand-in for ReportEventA was given: whether the handle, the
// category, the user and the raw data were as they must be (set, 0, none,
// none), the type, the id and the strings.
struct CReportCall
{
    BOOL m_fPlain;
    WORD m_wType;
    DWORD m_dwEventId;
    CTexts m_acsStrings;
};

std::vector<CReportCall> g_aReportCalls;
BOOL g_fReportResult = TRUE;

BOOL WINAPI RecordReport(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventId, PSID pUserSid,
                         WORD cStrings, DWORD cbData, LPCSTR* apszStrings, LPVOID pvRawData)
{
    const BOOL fPlain = hEventLog != NULL && wCategory == 0 && pUserSid == NULL && cbData == 0 && pvRawData == NULL;
    g_aReportCalls.push_back({fPlain, wType, dwEventId, {}});
    for (WORD i = 0; i < cStrings; i++)
        g_aReportCalls.back().m_acsStrings.push_back(apszStrings[i] != NULL ? apszStrings[i] : "<null>");
    ::SetLastError(ERROR_ACCESS_DENIED);
    return g_fReportResult;
}

}  // namespace

TEST(EventLogReport, ARegisteredSourceGetsIdTypeAndStringsAnUnregisteredOneNothing)
{
    g_aReportCalls.clear();
    g_fReportResult = TRUE;
    CEventSourceKey key("Evcalltest", TRUE), noKey("Evnotregistered", FALSE);
    ASSERT_EQ(key.m_lResult, ERROR_SUCCESS);
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    const char* apszStrings[] = {"c:\\bin\\srv.exe", "-1"};
    const char* apszMissing[] = {"srv.exe", NULL};
    ReportEventAs("EVCALLTEST.EXE", EVMSG_ABNORMAL_END, 2, apszStrings, RecordReport);
    ReportEventAs("evcalltest.exe", EVMSG_RESTARTING, 1, apszStrings, RecordReport);
    ReportEventAs("evcalltest.exe", EVMSG_ABNORMAL_END, 2, apszMissing, RecordReport);
    ReportEventAs("evcalltest.exe", EVMSG_RESTARTING, 1, NULL, RecordReport);
    // Dropped silently; an empty name must not pass for the Application key itself.
    for (const char* pszExe : {"EVNOTREGISTERED.EXE", "", ".exe"})
        ReportEventAs(pszExe, EVMSG_ABNORMAL_END, 2, apszStrings, RecordReport);
    EXPECT_EQ(capture.Text(), "");
    ASSERT_EQ(g_aReportCalls.size(), 4u);
    EXPECT_TRUE(g_aReportCalls[0].m_fPlain);
    EXPECT_EQ(g_aReportCalls[0].m_wType, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(g_aReportCalls[0].m_dwEventId, EVMSG_ABNORMAL_END);
    EXPECT_EQ(g_aReportCalls[0].m_acsStrings, (CTexts{"c:\\bin\\srv.exe", "-1"}));
    EXPECT_EQ(g_aReportCalls[1].m_wType, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(g_aReportCalls[1].m_acsStrings, CTexts{"c:\\bin\\srv.exe"});
    // Missing strings are reported empty.
    EXPECT_EQ(g_aReportCalls[2].m_acsStrings, (CTexts{"srv.exe", ""}));
    EXPECT_EQ(g_aReportCalls[3].m_acsStrings, CTexts{""});

    // A failed report is shown with the error, even with plain errors off.
    g_fReportResult = FALSE;
    g_fDebugErrors = FALSE;
    ReportEventAs("Evcalltest.exe", EVMSG_SERVICE_STARTED, 1, NULL, RecordReport);
    g_fDebugErrors = TRUE;
    EXPECT_EQ(g_aReportCalls.size(), 5u);
    EXPECT_EQ(capture.Text(), "Could not log to the NT event log. Error: " + ErrorText(ERROR_ACCESS_DENIED) + "\n");
}
