// Event log reporting: one registration of the source per report.
#include "eventlog.h"

#include <mbctype.h>
#include <vector>

#include "common/conapp.h"
#include "common/debug.h"
#include "common/filestuf.h"
#include "common/strutil.h"

namespace {

const char c_szEventLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// The install step creates the key; the program only looks for it.
BOOL IsSourceRegistered(const std::string& csSource)
{
    // An empty name would open the Application key itself, and a backslash
    // would reach into another source's key: neither names a source.
    if (csSource.empty() || csSource.find('\\') != std::string::npos)
        return FALSE;
    HKEY hKey = NULL;
    if (::RegOpenKeyA(HKEY_LOCAL_MACHINE, (c_szEventLogKey + csSource).c_str(), &hKey) != ERROR_SUCCESS)
        return FALSE;
    ::RegCloseKey(hKey);
    return TRUE;
}

}  // namespace

std::string GetProgramName(const std::string& csExeName)
{
    return StripExtension(csExeName);
}

std::string GetEventSourceName(const std::string& csExeName)
{
    std::string csSource = StrLower(GetProgramName(csExeName));
    if (csSource.empty())
        return csSource;
    size_t cbFirst = (_ismbblead((unsigned char)csSource[0]) && csSource.size() > 1) ? 2 : 1;
    return StrUpper(csSource.substr(0, cbFirst)) + csSource.substr(cbFirst);
}

WORD GetEventTypeOf(DWORD dwEventId)
{
    switch (dwEventId >> 30) {
    case 2:
        return EVENTLOG_WARNING_TYPE;
    case 3:
        return EVENTLOG_ERROR_TYPE;
    default:
        return EVENTLOG_INFORMATION_TYPE;
    }
}

void ReportEvent(DWORD dwEventId, const std::string& csString)
{
    const char* apszStrings[1] = {csString.c_str()};
    ReportEvent(dwEventId, 1, apszStrings);
}

void ReportEvent(DWORD dwEventId, WORD cStrings, const char* const* apszStrings)
{
    // Without an application object there is no executable to name the source.
    CConsoleApp* pApp = CConsoleApp::PeekApp();
    if (pApp == NULL)
        return;
    ReportEventAs(pApp->m_csExeName, dwEventId, cStrings, apszStrings);
}

void ReportEventAs(const std::string& csExeName, DWORD dwEventId, WORD cStrings, const char* const* apszStrings,
                   PFN_REPORT_EVENT pfnReport)
{
    std::string csSource = GetEventSourceName(csExeName);
    if (!IsSourceRegistered(csSource))
        return;
    HANDLE hEventSource = ::RegisterEventSourceA(NULL, csSource.c_str());
    if (hEventSource == NULL)
        return;

    // A missing array or string is reported as empty text: ReportEventA
    // would read through the null pointer.
    std::vector<LPCSTR> apszReported(cStrings, "");
    for (WORD i = 0; i < cStrings && apszStrings != NULL; i++) {
        if (apszStrings[i] != NULL)
            apszReported[i] = apszStrings[i];
    }
    if (pfnReport == NULL)
        pfnReport = ::ReportEventA;
    // Wine's ReportEventA stores nothing and always returns TRUE (measured,
    // Wine 8.0); it writes the id and the strings to its eventlog channel.
    if (!pfnReport(hEventSource, GetEventTypeOf(dwEventId), 0, dwEventId, NULL, cStrings, 0,
                   cStrings > 0 ? apszReported.data() : NULL, NULL)) {
        DWORD dwError = ::GetLastError();
        DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW, "Could not log to the NT event log. Error: " << ErrorText(dwError));
    }
    ::DeregisterEventSource(hEventSource);
}
