#include "evtrace.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/filestuf.h"

namespace {

const char c_szEventLogDebug[] = "WINEDEBUG=fixme+eventlog,err+eventlog,warn+eventlog,trace+eventlog";
const char c_szApplicationKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

// Undoes the escapes of Wine's debugstr_w: L"c:\\bin" gives c:\bin.
std::string UnescapeWineString(const std::string& cs)
{
    std::string csOut;
    for (size_t i = 0; i < cs.size(); i++) {
        if (cs[i] == '\\' && i + 1 < cs.size()) {
            char ch = cs[++i];
            csOut += ch == 'n' ? '\n' : ch == 'r' ? '\r' : ch == 't' ? '\t' : ch;
        } else {
            csOut += cs[i];
        }
    }
    return csOut;
}

// "0124:fixme:advapi:...": a hexadecimal thread id, a class and a channel.
BOOL IsWineDebugLine(const std::string& csLine)
{
    size_t iColon = csLine.find(':');
    if (iColon == std::string::npos || iColon == 0 || csLine.find_first_not_of("0123456789abcdef") != iColon)
        return FALSE;
    for (const char* pszClass : {"fixme:", "err:", "warn:", "trace:"}) {
        if (csLine.compare(iColon + 1, strlen(pszClass), pszClass) == 0)
            return TRUE;
    }
    return FALSE;
}

LONGLONG GetFileSizeOf(const std::string& csFile)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(csFile.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

std::string ReadFileFrom(const std::string& csFile, LONGLONG llStart)
{
    HANDLE hFile = ::CreateFileA(csFile.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                 OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return std::string();
    std::string csText;
    LARGE_INTEGER liStart;
    liStart.QuadPart = llStart;
    if (::SetFilePointerEx(hFile, liStart, NULL, FILE_BEGIN)) {
        char achBuffer[4096];
        DWORD cbRead = 0;
        while (::ReadFile(hFile, achBuffer, sizeof(achBuffer), &cbRead, NULL) && cbRead > 0)
            csText.append(achBuffer, cbRead);
    }
    ::CloseHandle(hFile);
    return csText;
}

}  // namespace

CEventSourceKey::CEventSourceKey(const std::string& csSource, BOOL fPresent) : m_csKey(c_szApplicationKey + csSource)
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
    LONGLONG llStart = GetFileSizeOf(csTraceFile);
    std::string csEnvironment = c_szEventLogDebug;
    csEnvironment += '\0';
    LPCH pchEnvironment = ::GetEnvironmentStringsA();
    for (const char* psz = pchEnvironment; *psz != '\0'; psz += strlen(psz) + 1) {
        if (_strnicmp(psz, "WINEDEBUG=", 10) != 0)
            csEnvironment.append(psz, strlen(psz) + 1);
    }
    ::FreeEnvironmentStringsA(pchEnvironment);
    csEnvironment += '\0';

    // The child's own standard error goes to the file too, beside Wine's lines.
    SECURITY_ATTRIBUTES sa = {sizeof(sa), NULL, TRUE};
    HANDLE hTrace = ::CreateFileA(csTraceFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                  OPEN_ALWAYS, 0, NULL);
    HANDLE hNul =
        ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, NULL);
    STARTUPINFOA si = {sizeof(si)};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hNul;
    si.hStdOutput = hTrace;
    si.hStdError = hTrace;
    PROCESS_INFORMATION pi = {};
    std::string csMutable = csCommandLine;
    BOOL fCreated = ::CreateProcessA(NULL, &csMutable[0], NULL, NULL, TRUE, 0, (LPVOID)csEnvironment.data(), NULL,
                                     &si, &pi);
    DWORD dwError = ::GetLastError();
    if (hTrace != INVALID_HANDLE_VALUE)
        ::CloseHandle(hTrace);
    if (hNul != INVALID_HANDLE_VALUE)
        ::CloseHandle(hNul);
    EXPECT_TRUE(fCreated) << csCommandLine << ": " << ErrorText(dwError);
    *pdwExitCode = ~0u;
    if (fCreated) {
        if (::WaitForSingleObject(pi.hProcess, dwTimeout) != WAIT_OBJECT_0) {
            ADD_FAILURE() << csCommandLine << " did not end within " << dwTimeout << " ms";
            ::TerminateProcess(pi.hProcess, ~0u);
            ::WaitForSingleObject(pi.hProcess, 5000);
        } else {
            ::GetExitCodeProcess(pi.hProcess, pdwExitCode);
        }
        ::CloseHandle(pi.hThread);
        ::CloseHandle(pi.hProcess);
    }
    return ParseEventTrace(ReadFileFrom(csTraceFile, llStart));
}

LONGLONG GetEventTraceSize(const std::string& csTraceFile)
{
    return GetFileSizeOf(csTraceFile);
}

CEventTrace ReadEventTraceFrom(const std::string& csTraceFile, LONGLONG llStart)
{
    return ParseEventTrace(ReadFileFrom(csTraceFile, llStart));
}

CEventTrace ParseEventTrace(const std::string& csText)
{
    CEventTrace trace;
    trace.csText = csText;
    std::string csSource;
    size_t iStart = 0;
    while (iStart < csText.size()) {
        size_t iEnd = csText.find('\n', iStart);
        if (iEnd == std::string::npos)
            iEnd = csText.size();
        std::string csLine = csText.substr(iStart, iEnd - iStart);
        iStart = iEnd + 1;
        if (!csLine.empty() && csLine.back() == '\r')
            csLine.pop_back();
        if (csLine.empty())
            continue;
        if (!IsWineDebugLine(csLine)) {
            trace.acsOtherLines.push_back(csLine);
            continue;
        }
        size_t i;
        if ((i = csLine.find(":advapi:RegisterEventSourceA ((null),\"")) != std::string::npos) {
            size_t iName = csLine.find('"', i) + 1;
            csSource = csLine.substr(iName, csLine.find('"', iName) - iName);
            trace.cRegistrations++;
        } else if (csLine.find(":advapi:DeregisterEventSource (") != std::string::npos) {
            trace.cDeregistrations++;
        } else if ((i = csLine.find(":advapi:ReportEventA (")) != std::string::npos) {
            CTracedEvent event{csSource, 0, 0, 0, 0, {}, {}};
            unsigned long long ullHandle = 0, ullSid = 0;
            unsigned long ulId = 0;
            sscanf(csLine.c_str() + i, ":advapi:ReportEventA (%llx,%x,%x,%lx,%llx,%x", &ullHandle, &event.uType,
                   &event.uCategory, &ulId, &ullSid, &event.cStrings);
            event.dwId = ulId;
            trace.aEvents.push_back(event);
        } else if ((i = csLine.find(":eventlog:ReportEventW L\"")) != std::string::npos && !trace.aEvents.empty()) {
            size_t iText = i + strlen(":eventlog:ReportEventW L\"");
            size_t iClass = csLine.find(':') + 1;
            trace.aEvents.back().acsClasses.push_back(csLine.substr(iClass, csLine.find(':', iClass) - iClass));
            trace.aEvents.back().acsStrings.push_back(
                UnescapeWineString(csLine.substr(iText, csLine.rfind('"') - iText)));
        }
    }
    return trace;
}
