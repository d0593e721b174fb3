#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/filestuf.h"
#include "eventlog.h"
#include "evtrace.h"
#include "test_app.h"

namespace {

// What the stand-in for ReportEventA was given.
struct CReportCall
{
    HANDLE hEventLog;
    WORD wType;
    WORD wCategory;
    DWORD dwEventId;
    PSID pUserSid;
    std::vector<std::string> acsStrings;
    DWORD cbData;
    LPVOID pvRawData;
};

std::vector<CReportCall> g_aReportCalls;
BOOL g_fReportResult = TRUE;
DWORD g_dwReportError = 0;

BOOL WINAPI RecordReport(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventId, PSID pUserSid,
                         WORD cStrings, DWORD cbData, LPCSTR* apszStrings, LPVOID pvRawData)
{
    CReportCall call{hEventLog, wType, wCategory, dwEventId, pUserSid, {}, cbData, pvRawData};
    for (WORD i = 0; i < cStrings; i++)
        call.acsStrings.push_back(apszStrings[i] != NULL ? apszStrings[i] : "<null>");
    g_aReportCalls.push_back(call);
    ::SetLastError(g_dwReportError);
    return g_fReportResult;
}

class EventLogReport : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_aReportCalls.clear();
        g_fReportResult = TRUE;
        g_dwReportError = 0;
    }
};

std::string GetOvrinPath()
{
    std::string csTestPath = GetModulePath(NULL);
    return csTestPath.substr(0, csTestPath.rfind('\\') + 1) + "Ovrin.exe";
}

// The text of message dwId in hModule, with csInsert for every %n when given.
std::string FormatMessageText(HMODULE hModule, DWORD dwId, const char* const* apszInserts)
{
    char szText[512] = "";
    DWORD dwFlags = FORMAT_MESSAGE_FROM_HMODULE |
                    (apszInserts != NULL ? FORMAT_MESSAGE_ARGUMENT_ARRAY : FORMAT_MESSAGE_IGNORE_INSERTS);
    DWORD cch = ::FormatMessageA(dwFlags, hModule, dwId, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), szText,
                                 sizeof(szText), (va_list*)apszInserts);
    if (cch == 0)
        return "<FormatMessageA failed: " + LastErrorText() + ">";
    return std::string(szText, cch);
}

}  // namespace

TEST(EventLogNames, SourceIsLowerCaseNameWithCapitalFirstLetterProgramNameKeepsCase)
{
    EXPECT_EQ(GetEventSourceName("OVRIN.EXE"), "Ovrin");
    EXPECT_EQ(GetEventSourceName("ovrin.exe"), "Ovrin");
    EXPECT_EQ(GetEventSourceName("oVRIN"), "Ovrin");
    EXPECT_EQ(GetEventSourceName("my.tool.exe"), "My.tool");
    EXPECT_EQ(GetEventSourceName("1st.exe"), "1st");
    EXPECT_EQ(GetEventSourceName(""), "");
    // The service messages insert the name in its own case.
    EXPECT_EQ(GetProgramName("OVRIN.EXE"), "OVRIN");
    EXPECT_EQ(GetProgramName("my.tool.exe"), "my.tool");
}

TEST(EventLogNames, TypeFollowsTheSeverityBits)
{
    EXPECT_EQ(GetEventTypeOf(EVMSG_SERVICE_STARTED), EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(GetEventTypeOf(EVMSG_SERVICE_STOPPING), EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(GetEventTypeOf(EVMSG_INVALID_INF), EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(GetEventTypeOf(EVMSG_ABNORMAL_END), EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(GetEventTypeOf(EVMSG_RESTARTING), EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(GetEventTypeOf(0x000007D0), EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(GetEventTypeOf(0xBFFFFFFF), EVENTLOG_WARNING_TYPE);
}

TEST(EventLogMessages, IdsHaveTheirSeverityFacilityAndCode)
{
    EXPECT_EQ(EVMSG_SERVICE_STARTED, 0x400007D0u);
    EXPECT_EQ(EVMSG_SERVICE_STOPPING, 0x400007D1u);
    EXPECT_EQ(EVMSG_INVALID_INF, 0xC00007D2u);
    EXPECT_EQ(EVMSG_ABNORMAL_END, 0xC00007D3u);
    EXPECT_EQ(EVMSG_RESTARTING, 0x800007D4u);
}

TEST(EventLogMessages, OvrinExeHoldsTheExactTextsInUsEnglish)
{
    HMODULE hModule = ::LoadLibraryExA(GetOvrinPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hModule, (HMODULE)NULL) << GetOvrinPath() << ": " << LastErrorText();
    EXPECT_EQ(FormatMessageText(hModule, EVMSG_SERVICE_STARTED, NULL), "The %1 service has been started.\r\n");
    EXPECT_EQ(FormatMessageText(hModule, EVMSG_SERVICE_STOPPING, NULL), "Shutting down the %1 service.\r\n");
    EXPECT_EQ(FormatMessageText(hModule, EVMSG_INVALID_INF, NULL),
              "Error starting the %1 service due to invalid INF file.\r\n");
    EXPECT_EQ(FormatMessageText(hModule, EVMSG_ABNORMAL_END, NULL),
              "\"%1\" terminated abnormally with the exit code %2.\r\n");
    EXPECT_EQ(FormatMessageText(hModule, EVMSG_RESTARTING, NULL), "Restarting \"%1\".\r\n");

    // As the event viewer shows them, with the insertion strings.
    const char* apszService[] = {"OVRIN"};
    EXPECT_EQ(FormatMessageText(hModule, EVMSG_SERVICE_STARTED, apszService),
              "The OVRIN service has been started.\r\n");
    const char* apszCrash[] = {"c:\\bin\\srv.exe", "-1"};
    EXPECT_EQ(FormatMessageText(hModule, EVMSG_ABNORMAL_END, apszCrash),
              "\"c:\\bin\\srv.exe\" terminated abnormally with the exit code -1.\r\n");

    // Nothing else sits between the five codes.
    EXPECT_EQ(FormatMessageText(hModule, 0x400007D5, NULL).rfind("<FormatMessageA failed", 0), 0u);
    ::FreeLibrary(hModule);
}

TEST_F(EventLogReport, RegisteredSourceGetsIdTypeAndStrings)
{
    CEventSourceKey key("Evcalltest", TRUE);
    ASSERT_EQ(key.m_lResult, ERROR_SUCCESS);
    CStderrCapture capture;
    const char* apszStrings[] = {"c:\\bin\\srv.exe", "-1"};
    ReportEventAs("EVCALLTEST.EXE", EVMSG_ABNORMAL_END, 2, apszStrings, RecordReport);
    ReportEventAs("EVCALLTEST.EXE", EVMSG_RESTARTING, 1, apszStrings, RecordReport);
    ASSERT_EQ(g_aReportCalls.size(), 2u);
    const CReportCall& crash = g_aReportCalls[0];
    EXPECT_NE(crash.hEventLog, (HANDLE)NULL);
    EXPECT_EQ(crash.wType, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(crash.wCategory, 0);
    EXPECT_EQ(crash.dwEventId, EVMSG_ABNORMAL_END);
    EXPECT_EQ(crash.pUserSid, (PSID)NULL);
    EXPECT_EQ(crash.acsStrings, (std::vector<std::string>{"c:\\bin\\srv.exe", "-1"}));
    EXPECT_EQ(crash.cbData, 0u);
    EXPECT_EQ(crash.pvRawData, (LPVOID)NULL);
    EXPECT_EQ(g_aReportCalls[1].wType, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(g_aReportCalls[1].acsStrings, (std::vector<std::string>{"c:\\bin\\srv.exe"}));
    EXPECT_EQ(capture.Text(), "");
}

TEST_F(EventLogReport, MissingStringsAreReportedEmpty)
{
    CEventSourceKey key("Evcalltest", TRUE);
    ASSERT_EQ(key.m_lResult, ERROR_SUCCESS);
    const char* apszStrings[] = {"srv.exe", NULL};
    ReportEventAs("evcalltest.exe", EVMSG_ABNORMAL_END, 2, apszStrings, RecordReport);
    ReportEventAs("evcalltest.exe", EVMSG_RESTARTING, 1, NULL, RecordReport);
    ASSERT_EQ(g_aReportCalls.size(), 2u);
    EXPECT_EQ(g_aReportCalls[0].acsStrings, (std::vector<std::string>{"srv.exe", ""}));
    EXPECT_EQ(g_aReportCalls[1].acsStrings, (std::vector<std::string>{""}));
}

TEST_F(EventLogReport, UnregisteredSourceDropsTheReportSilently)
{
    CEventSourceKey key("Evnotregistered", FALSE);
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    const char* apszStrings[] = {"c:\\bin\\srv.exe", "-1"};
    ReportEventAs("EVNOTREGISTERED.EXE", EVMSG_ABNORMAL_END, 2, apszStrings, RecordReport);
    // An empty name must not pass for the Application key itself.
    ReportEventAs("", EVMSG_ABNORMAL_END, 2, apszStrings, RecordReport);
    ReportEventAs(".exe", EVMSG_ABNORMAL_END, 2, apszStrings, RecordReport);
    EXPECT_EQ(g_aReportCalls.size(), 0u);
    EXPECT_EQ(capture.Text(), "");
}

TEST_F(EventLogReport, FailedReportIsShownWithTheErrorText)
{
    CEventSourceKey key("Evcalltest", TRUE);
    ASSERT_EQ(key.m_lResult, ERROR_SUCCESS);
    g_fReportResult = FALSE;
    g_dwReportError = ERROR_ACCESS_DENIED;
    CStderrCapture capture;
    // Plain errors are off: only a message that is also shown gets through.
    g_fDebugErrors = FALSE;
    ReportEventAs("Evcalltest.exe", EVMSG_SERVICE_STARTED, 1, NULL, RecordReport);
    g_fDebugErrors = TRUE;
    EXPECT_EQ(g_aReportCalls.size(), 1u);
    EXPECT_EQ(capture.Text(), "Could not log to the NT event log. Error: " + ErrorText(ERROR_ACCESS_DENIED) + "\n");
}

// What Wine makes of the reports of a helper process (see evtrace.h).

namespace {

class EventLogTrace : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_csTraceFile = GetEventTraceFile();
        if (m_csTraceFile.empty())
            GTEST_SKIP() << "needs standard error in a file: run it as ctest's test_eventlog_trace";
    }

    CEventTrace RunReporter(const std::string& csArgs, DWORD* pdwExitCode)
    {
        std::string csTestPath = GetModulePath(NULL);
        std::string csHelper = csTestPath.substr(0, csTestPath.rfind('\\') + 1) + "evreport.exe";
        return RunWithEventTrace(m_csTraceFile, "\"" + csHelper + "\" " + csArgs, 30000, pdwExitCode);
    }

    std::string m_csTraceFile;
};

}  // namespace

TEST_F(EventLogTrace, FiveMessagesReachTheLogWithIdsTypesAndStrings)
{
    CEventSourceKey key("Ovrin", TRUE);
    ASSERT_EQ(key.m_lResult, ERROR_SUCCESS);
    DWORD dwExitCode = 0;
    CEventTrace trace = RunReporter("OVRIN.EXE 0x400007D0 1 OVRIN 0xC00007D3 2 c:\\bin\\srv.exe -1 "
                               "0x800007D4 1 c:\\bin\\srv.exe 0x400007D1 1 OVRIN 0xC00007D2 1 OVRIN",
                               &dwExitCode);
    EXPECT_EQ(dwExitCode, 0u);
    ASSERT_EQ(trace.aEvents.size(), 5u) << trace.csText;
    struct
    {
        DWORD dwId;
        unsigned uType;
        const char* pszClass;
        std::vector<std::string> acsStrings;
    } aExpected[] = {
        {0x400007D0, EVENTLOG_INFORMATION_TYPE, "trace", {"OVRIN"}},
        {0xC00007D3, EVENTLOG_ERROR_TYPE, "err", {"c:\\bin\\srv.exe", "-1"}},
        {0x800007D4, EVENTLOG_WARNING_TYPE, "warn", {"c:\\bin\\srv.exe"}},
        {0x400007D1, EVENTLOG_INFORMATION_TYPE, "trace", {"OVRIN"}},
        {0xC00007D2, EVENTLOG_ERROR_TYPE, "err", {"OVRIN"}},
    };
    for (size_t i = 0; i < 5; i++) {
        const CTracedEvent& event = trace.aEvents[i];
        SCOPED_TRACE("event " + std::to_string(i));
        EXPECT_EQ(event.csSource, "Ovrin");
        EXPECT_EQ(event.dwId, aExpected[i].dwId);
        EXPECT_EQ(event.uType, aExpected[i].uType);
        EXPECT_EQ(event.uCategory, 0u);
        EXPECT_EQ(event.cStrings, aExpected[i].acsStrings.size());
        EXPECT_EQ(event.acsStrings, aExpected[i].acsStrings);
        EXPECT_EQ(event.acsClasses, std::vector<std::string>(aExpected[i].acsStrings.size(), aExpected[i].pszClass));
    }
    // The source is registered and deregistered for every report.
    EXPECT_EQ(trace.cRegistrations, 5);
    EXPECT_EQ(trace.cDeregistrations, 5);
    EXPECT_EQ(trace.acsOtherLines, std::vector<std::string>()) << trace.csText;
}

TEST_F(EventLogTrace, ApplicationObjectReportsUnderItsOwnName)
{
    CEventSourceKey key("Evreport", TRUE);
    ASSERT_EQ(key.m_lResult, ERROR_SUCCESS);
    DWORD dwExitCode = 0;
    CEventTrace trace = RunReporter("- 0x800007D4 1 srv.bat 0xC00007D3 2 srv.bat 3", &dwExitCode);
    EXPECT_EQ(dwExitCode, 0u);
    ASSERT_EQ(trace.aEvents.size(), 2u) << trace.csText;
    EXPECT_EQ(trace.aEvents[0].csSource, "Evreport");
    EXPECT_EQ(trace.aEvents[0].dwId, EVMSG_RESTARTING);
    EXPECT_EQ(trace.aEvents[0].acsStrings, std::vector<std::string>{"srv.bat"});
    EXPECT_EQ(trace.aEvents[1].dwId, EVMSG_ABNORMAL_END);
    EXPECT_EQ(trace.aEvents[1].acsStrings, (std::vector<std::string>{"srv.bat", "3"}));
}

TEST_F(EventLogTrace, UnregisteredSourceWritesNoEventAndNoMessage)
{
    CEventSourceKey key("Evnosource", FALSE);
    DWORD dwExitCode = 0;
    CEventTrace trace = RunReporter("EVNOSOURCE.EXE 0xC00007D3 2 c:\\bin\\srv.exe -1 0x400007D0 1 EVNOSOURCE",
                               &dwExitCode);
    EXPECT_EQ(dwExitCode, 0u);
    EXPECT_EQ(trace.aEvents.size(), 0u) << trace.csText;
    EXPECT_EQ(trace.cRegistrations, 0) << trace.csText;
    // The helper echoes every debug message, trace included, to this file.
    EXPECT_EQ(trace.acsOtherLines, std::vector<std::string>()) << trace.csText;
}
