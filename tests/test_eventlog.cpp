// Event-log reports: names, ids, types and texts, the report call itself,
// and what Wine's event log makes of a helper's reports (evtrace.h).
#include <string>
#include <vector>

#include "common/filestuf.h"
#include "e2e_util.h"
#include "eventlog.h"
#include "evtrace.h"
#include "test_app.h"

namespace {

typedef std::vector<std::string> CTexts;

// What the stand-in for ReportEventA was given: whether the handle, the
// category, the user and the raw data were as they must be (set, 0, none,
// none), the type, the id and the strings.
struct CReportCall
{
    BOOL fPlain;
    WORD wType;
    DWORD dwEventId;
    CTexts acsStrings;
};

std::vector<CReportCall> g_aReportCalls;
BOOL g_fReportResult = TRUE;

BOOL WINAPI RecordReport(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventId, PSID pUserSid,
                         WORD cStrings, DWORD cbData, LPCSTR* apszStrings, LPVOID pvRawData)
{
    const BOOL fPlain = hEventLog != NULL && wCategory == 0 && pUserSid == NULL && cbData == 0 && pvRawData == NULL;
    g_aReportCalls.push_back({fPlain, wType, dwEventId, {}});
    for (WORD i = 0; i < cStrings; i++)
        g_aReportCalls.back().acsStrings.push_back(apszStrings[i] != NULL ? apszStrings[i] : "<null>");
    ::SetLastError(ERROR_ACCESS_DENIED);
    return g_fReportResult;
}

// The text of message dwId in hModule, with the inserts when given.
std::string FormatMessageText(HMODULE hModule, DWORD dwId, const char* const* apszInserts = NULL)
{
    char szText[512] = "";
    DWORD cch = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | (apszInserts != NULL ? FORMAT_MESSAGE_ARGUMENT_ARRAY
                                                                                     : FORMAT_MESSAGE_IGNORE_INSERTS),
                                 hModule, dwId, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), szText, sizeof(szText),
                                 (va_list*)apszInserts);
    return cch == 0 ? "<FormatMessageA failed>" : std::string(szText, cch);
}

}  // namespace

TEST(EventLogNames, SourceIsTheNameCapitalisedTheProgramNameKeepsItsCase)
{
    const char* const aszCases[][3] = {{"OVRIN.EXE", "Ovrin", "OVRIN"}, {"ovrin.exe", "Ovrin", "ovrin"},
                                       {"oVRIN", "Ovrin", "oVRIN"},     {"my.tool.exe", "My.tool", "my.tool"},
                                       {"1st.exe", "1st", "1st"},       {"", "", ""}};
    for (auto& c : aszCases) {
        EXPECT_EQ(GetEventSourceName(c[0]), c[1]) << c[0];
        EXPECT_EQ(GetProgramName(c[0]), c[2]) << c[0];
    }
}

TEST(EventLogMessages, IdsTypesAndTheExactTextsInOvrinExe)
{
    const struct
    {
        DWORD dwId, dwExpectedId;
        WORD wType;
        const char* pszText;
    } aCases[] = {
        {EVMSG_SERVICE_STARTED, 0x400007D0, EVENTLOG_INFORMATION_TYPE, "The %1 service has been started.\r\n"},
        {EVMSG_SERVICE_STOPPING, 0x400007D1, EVENTLOG_INFORMATION_TYPE, "Shutting down the %1 service.\r\n"},
        {EVMSG_INVALID_INF, 0xC00007D2, EVENTLOG_ERROR_TYPE, "Error starting the %1 service due to invalid INF file.\r\n"},
        {EVMSG_ABNORMAL_END, 0xC00007D3, EVENTLOG_ERROR_TYPE, "\"%1\" terminated abnormally with the exit code %2.\r\n"},
        {EVMSG_RESTARTING, 0x800007D4, EVENTLOG_WARNING_TYPE, "Restarting \"%1\".\r\n"},
    };
    const std::string csOvrin = GetTestDirectory() + "Ovrin.exe";
    HMODULE hModule = ::LoadLibraryExA(csOvrin.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hModule, (HMODULE)NULL) << csOvrin << ": " << LastErrorText();
    for (auto& c : aCases) {
        EXPECT_EQ(c.dwId, c.dwExpectedId);
        EXPECT_EQ(GetEventTypeOf(c.dwId), c.wType) << c.pszText;
        EXPECT_EQ(FormatMessageText(hModule, c.dwId), c.pszText);
    }
    EXPECT_EQ(GetEventTypeOf(0x000007D0), EVENTLOG_INFORMATION_TYPE);
    // As the event viewer shows them, with the insertion strings.
    const char* apszCrash[] = {"c:\\bin\\srv.exe", "-1"};
    EXPECT_EQ(FormatMessageText(hModule, EVMSG_ABNORMAL_END, apszCrash),
              "\"c:\\bin\\srv.exe\" terminated abnormally with the exit code -1.\r\n");
    // Nothing else sits beside the five codes.
    EXPECT_EQ(FormatMessageText(hModule, 0x400007D5), "<FormatMessageA failed>");
    ::FreeLibrary(hModule);
}

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
    EXPECT_TRUE(g_aReportCalls[0].fPlain);
    EXPECT_EQ(g_aReportCalls[0].wType, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(g_aReportCalls[0].dwEventId, EVMSG_ABNORMAL_END);
    EXPECT_EQ(g_aReportCalls[0].acsStrings, (CTexts{"c:\\bin\\srv.exe", "-1"}));
    EXPECT_EQ(g_aReportCalls[1].wType, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(g_aReportCalls[1].acsStrings, CTexts{"c:\\bin\\srv.exe"});
    // Missing strings are reported empty.
    EXPECT_EQ(g_aReportCalls[2].acsStrings, (CTexts{"srv.exe", ""}));
    EXPECT_EQ(g_aReportCalls[3].acsStrings, CTexts{""});

    // A failed report is shown with the error, even with plain errors off.
    g_fReportResult = FALSE;
    g_fDebugErrors = FALSE;
    ReportEventAs("Evcalltest.exe", EVMSG_SERVICE_STARTED, 1, NULL, RecordReport);
    g_fDebugErrors = TRUE;
    EXPECT_EQ(g_aReportCalls.size(), 5u);
    EXPECT_EQ(capture.Text(), "Could not log to the NT event log. Error: " + ErrorText(ERROR_ACCESS_DENIED) + "\n");
}

// Run as ctest's test_eventlog_trace, which has standard error in a file.
class EventLogTrace : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (GetEventTraceFile().empty())
            GTEST_SKIP() << "needs standard error in a file: run it as ctest's test_eventlog_trace";
    }
    CEventTrace RunReporter(const std::string& csArgs)
    {
        DWORD dwExitCode = 0;
        CEventTrace trace = RunWithEventTrace(GetEventTraceFile(), "\"" + GetTestDirectory() + "evreport.exe\" " + csArgs,
                                              30000, &dwExitCode);
        EXPECT_EQ(dwExitCode, 0u);
        return trace;
    }
};

TEST_F(EventLogTrace, FiveMessagesReachTheLogWithIdsTypesAndStrings)
{
    CEventSourceKey key("Ovrin", TRUE);
    ASSERT_EQ(key.m_lResult, ERROR_SUCCESS);
    CEventTrace trace = RunReporter("OVRIN.EXE 0x400007D0 1 OVRIN 0xC00007D3 2 c:\\bin\\srv.exe -1 "
                                    "0x800007D4 1 c:\\bin\\srv.exe 0x400007D1 1 OVRIN 0xC00007D2 1 OVRIN");
    ASSERT_EQ(trace.aEvents.size(), 5u) << trace.csText;
    const struct
    {
        DWORD dwId;
        unsigned uType;
        const char* pszClass;
        CTexts acsStrings;
    } aExpected[] = {
        {0x400007D0, EVENTLOG_INFORMATION_TYPE, "trace", {"OVRIN"}},
        {0xC00007D3, EVENTLOG_ERROR_TYPE, "err", {"c:\\bin\\srv.exe", "-1"}},
        {0x800007D4, EVENTLOG_WARNING_TYPE, "warn", {"c:\\bin\\srv.exe"}},
        {0x400007D1, EVENTLOG_INFORMATION_TYPE, "trace", {"OVRIN"}},
        {0xC00007D2, EVENTLOG_ERROR_TYPE, "err", {"OVRIN"}},
    };
    for (size_t i = 0; i < 5; i++) {
        const CTracedEvent& event = trace.aEvents[i];
        EXPECT_EQ(event.csSource, "Ovrin") << i;
        EXPECT_EQ(event.dwId, aExpected[i].dwId) << i;
        EXPECT_EQ(event.uType, aExpected[i].uType) << i;
        EXPECT_EQ(event.acsStrings, aExpected[i].acsStrings) << i;
        EXPECT_EQ(event.acsClasses, CTexts(aExpected[i].acsStrings.size(), aExpected[i].pszClass)) << i;
    }
    // The source is registered and deregistered for every report.
    EXPECT_EQ(trace.cRegistrations, 5);
    EXPECT_EQ(trace.cDeregistrations, 5);
    EXPECT_EQ(trace.acsOtherLines, CTexts()) << trace.csText;
}

TEST_F(EventLogTrace, TheApplicationReportsUnderItsOwnNameAnUnregisteredSourceNotAtAll)
{
    CEventSourceKey key("Evreport", TRUE), noKey("Evnosource", FALSE);
    ASSERT_EQ(key.m_lResult, ERROR_SUCCESS);
    CEventTrace trace = RunReporter("- 0x800007D4 1 srv.bat 0xC00007D3 2 srv.bat 3");
    ASSERT_EQ(trace.aEvents.size(), 2u) << trace.csText;
    EXPECT_EQ(trace.aEvents[0].csSource, "Evreport");
    EXPECT_EQ(trace.aEvents[0].dwId, EVMSG_RESTARTING);
    EXPECT_EQ(trace.aEvents[0].acsStrings, CTexts{"srv.bat"});
    EXPECT_EQ(trace.aEvents[1].dwId, EVMSG_ABNORMAL_END);
    EXPECT_EQ(trace.aEvents[1].acsStrings, (CTexts{"srv.bat", "3"}));

    // The helper echoes every debug message, trace included: none may come.
    trace = RunReporter("EVNOSOURCE.EXE 0xC00007D3 2 c:\\bin\\srv.exe -1 0x400007D0 1 EVNOSOURCE");
    EXPECT_EQ(trace.aEvents.size(), 0u) << trace.csText;
    EXPECT_EQ(trace.cRegistrations, 0) << trace.csText;
    EXPECT_EQ(trace.acsOtherLines, CTexts()) << trace.csText;
}
