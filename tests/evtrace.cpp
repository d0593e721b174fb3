#include "evtrace.h"

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "e2e_util.h"
#include "test_app.h"

namespace {

// "0124:fixme:advapi:...": a hexadecimal thread id, a class and a channel.
BOOL IsWineDebugLine(const std::string& csLine)
{
    size_t iColon = csLine.find(':');
    if (iColon == std::string::npos || iColon == 0 || csLine.find_first_not_of("0123456789abcdef") != iColon)
        return FALSE;
    for (const char* pszClass : {"fixme:", "err:", "warn:", "trace:"})
        if (csLine.compare(iColon + 1, strlen(pszClass), pszClass) == 0)
            return TRUE;
    return FALSE;
}

std::string ReadTraceFile(const std::string& csFile)
{
    std::string csText;
    ReadTextFile(csFile, csText);
    return csText;
}

CEventTrace ParseEventTrace(const std::string& csText)
{
    CEventTrace trace;
    trace.csText = csText;
    std::string csSource;
    for (const std::string& csLine : SplitLines(csText)) {
        size_t i;
        if (csLine.empty())
            continue;
        if (!IsWineDebugLine(csLine)) {
            trace.acsOtherLines.push_back(csLine);
        } else if ((i = csLine.find(":advapi:RegisterEventSourceA ((null),\"")) != std::string::npos) {
            size_t iName = csLine.find('"', i) + 1;
            csSource = csLine.substr(iName, csLine.find('"', iName) - iName);
            trace.cRegistrations++;
        } else if (csLine.find(":advapi:DeregisterEventSource (") != std::string::npos) {
            trace.cDeregistrations++;
        } else if ((i = csLine.find(":advapi:ReportEventA (")) != std::string::npos) {
            CTracedEvent event{csSource, 0, 0, {}, {}};
            unsigned long long ullHandle = 0;
            unsigned long ulId = 0;
            unsigned uCategory = 0;
            sscanf(csLine.c_str() + i, ":advapi:ReportEventA (%llx,%x,%x,%lx", &ullHandle, &event.uType, &uCategory,
                   &ulId);
            event.dwId = ulId;
            trace.aEvents.push_back(event);
        } else if ((i = csLine.find(":eventlog:ReportEventW L\"")) != std::string::npos && !trace.aEvents.empty()) {
            size_t iClass = csLine.find(':') + 1;
            trace.aEvents.back().acsClasses.push_back(csLine.substr(iClass, csLine.find(':', iClass) - iClass));
            // Undoes the escapes of Wine's debugstr_w: L"c:\\bin" gives c:\bin.
            std::string csString;
            for (size_t j = i + strlen(":eventlog:ReportEventW L\""); j < csLine.rfind('"'); j++)
                csString += csLine[j] == '\\' ? csLine[++j] : csLine[j];
            trace.aEvents.back().acsStrings.push_back(csString);
        }
    }
    return trace;
}

}  // namespace

CEventSourceKey::CEventSourceKey(const std::string& csSource, BOOL fPresent)
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

CEventSourceKey::~CEventSourceKey()
{
    if (m_fCreated)
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, m_csKey.c_str());
}

std::string GetEventTraceFile()
{
    const char* pszFile = getenv("OVRIN_TRACE_FILE");
    return pszFile != NULL ? pszFile : "";
}

CEventTrace RunWithEventTrace(const std::string& csTraceFile, const std::string& csCommandLine, DWORD dwTimeout,
                              DWORD* pdwExitCode)
{
    const LONGLONG llStart = GetEventTraceSize(csTraceFile);
    // The child inherits the channels through its environment.
    char szOld[256] = "";
    const BOOL fHadOld = ::GetEnvironmentVariableA("WINEDEBUG", szOld, sizeof(szOld)) != 0;
    ::SetEnvironmentVariableA("WINEDEBUG", "fixme+eventlog,err+eventlog,warn+eventlog,trace+eventlog");
    CRunResult result = RunProgram(csCommandLine, "", dwTimeout);
    ::SetEnvironmentVariableA("WINEDEBUG", fHadOld ? szOld : NULL);
    EXPECT_TRUE(result.fStarted && !result.fTimedOut) << csCommandLine << " did not run to its end";
    *pdwExitCode = result.fStarted && !result.fTimedOut ? result.dwExitCode : ~0u;
    CEventTrace trace = ReadEventTraceFrom(csTraceFile, llStart);
    const std::string csOutput = result.csOut + result.csErr;
    trace.csText += csOutput;
    for (const std::string& csLine : SplitLines(csOutput))
        if (!csLine.empty())
            trace.acsOtherLines.push_back(csLine);
    return trace;
}

LONGLONG GetEventTraceSize(const std::string& csTraceFile)
{
    return (LONGLONG)ReadTraceFile(csTraceFile).size();
}

CEventTrace ReadEventTraceFrom(const std::string& csTraceFile, LONGLONG llStart)
{
    const std::string csText = ReadTraceFile(csTraceFile);
    return ParseEventTrace(csText.substr(std::min((size_t)llStart, csText.size())));
}
