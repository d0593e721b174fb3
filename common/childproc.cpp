// The child-process wrapper: building the CreateProcessA call, waiting,
// terminating and closing.
#include "common/childproc.h"

#include <string.h>

#include "common/assertex.h"

CChildProcess::CChildProcess()
{
    m_phWaitHandle = &m_processinfo.hProcess;
    memset(&m_processinfo, 0, sizeof m_processinfo);
    SetDefaults();
}

CChildProcess::~CChildProcess()
{
    // Reset through the class's own slot: the derived part is gone already.
    CChildProcess::Reset();
}

void CChildProcess::SetDefaults()
{
    memset(&m_startupinfo, 0, sizeof m_startupinfo);
    m_startupinfo.cb = sizeof m_startupinfo;
    ::GetStartupInfoA(&m_startupinfo);
    m_dwConsoleFlags = CREATE_NEW_CONSOLE;
    m_dwGroupFlags = 0;
    m_dwPriorityClass = 0;
    m_dwMoreFlags = 0;
    m_csTitle.clear();
    m_asEnvironment.clear();
    m_awsEnvironment.clear();
    m_csCurrentDirectory.clear();
    m_ahInheritOnly.clear();
}

void CChildProcess::SetCommandLine(const std::string& csCommandLine)
{
    m_csApplicationName.clear();
    m_csCommandLine = csCommandLine;
}

std::string CChildProcess::GetExeName() const
{
    if (!m_csApplicationName.empty())
        return m_csApplicationName;
    std::string::size_type iStart = 0;
    while (iStart < m_csCommandLine.size() && m_csCommandLine[iStart] == ' ')
        iStart++;
    const std::string csRest = m_csCommandLine.substr(iStart);
    if (!csRest.empty() && csRest[0] == '"') {
        std::string::size_type iQuote = csRest.find('"', 1);
        return iQuote == std::string::npos ? std::string() : csRest.substr(1, iQuote - 1);
    }
    std::string::size_type iBlank = csRest.find(' ');
    if (iBlank != std::string::npos && iBlank >= 1)
        return csRest.substr(0, iBlank);
    return csRest;
}

std::string CChildProcess::GetFullCommandLine() const
{
    if (!m_csApplicationName.empty())
        return m_csApplicationName + " " + m_csCommandLine;
    return m_csCommandLine;
}

std::string CChildProcess::BuildCreateCommandLine() const
{
    if (m_csApplicationName.empty())
        return m_csCommandLine;
    return "\"" + m_csApplicationName + "\" " + m_csCommandLine;
}

std::string CChildProcess::BuildEnvironmentBlock() const
{
    std::string csBlock;
    if (m_asEnvironment.empty())
        return csBlock;
    for (size_t i = 0; i < m_asEnvironment.size(); i++) {
        csBlock += m_asEnvironment[i];
        csBlock += '\0';
    }
    csBlock += '\0';
    return csBlock;
}

std::wstring CChildProcess::BuildUnicodeEnvironmentBlock() const
{
    std::wstring wsBlock;
    if (m_awsEnvironment.empty())
        return wsBlock;
    for (const std::wstring& wsEntry : m_awsEnvironment) {
        wsBlock += wsEntry;
        wsBlock += L'\0';
    }
    wsBlock += L'\0';
    return wsBlock;
}

BOOL CChildProcess::Create()
{
    // Creating over live handles would lose them and the running process.
    if (!CHECK_NULL(m_processinfo.hProcess)) {
        ::SetLastError(ERROR_ALREADY_INITIALIZED);
        return FALSE;
    }
    const std::string csCommandLine = BuildCreateCommandLine();
    m_startupinfo.lpTitle =
        (!m_csTitle.empty() && (m_dwConsoleFlags & CREATE_NEW_CONSOLE)) ? (LPSTR)m_csTitle.c_str() : NULL;
    // CreateProcessA may write into the command line.
    std::vector<char> achCommandLine(csCommandLine.begin(), csCommandLine.end());
    achCommandLine.push_back('\0');
    const std::string csEnvironment = BuildEnvironmentBlock();
    std::vector<char> achEnvironment(csEnvironment.begin(), csEnvironment.end());
    std::wstring wsEnvironment = BuildUnicodeEnvironmentBlock();
    LPVOID pvEnvironment = achEnvironment.empty() ? NULL : achEnvironment.data();
    DWORD dwEnvironmentFlags = 0;
    if (!wsEnvironment.empty()) {
        pvEnvironment = &wsEnvironment[0];
        dwEnvironmentFlags = CREATE_UNICODE_ENVIRONMENT;
    }
    if (m_csApplicationName.empty())
        DEBUG_TRACE_MSG("Creating the process '" << csCommandLine << "'");
    else
        DEBUG_TRACE_MSG("Creating the process " << m_csApplicationName << " with command line arguments '"
                                                << csCommandLine << "'");
    PROCESS_INFORMATION processinfo = {};
    BOOL fCreated = !m_ahInheritOnly.empty()
                        ? CreateWithHandleList(achCommandLine.data(), pvEnvironment, dwEnvironmentFlags, processinfo)
                        : CallCreateProcess(achCommandLine.data(), pvEnvironment, dwEnvironmentFlags,
                                            &m_startupinfo, processinfo);
    if (!fCreated)
        return FALSE;
    m_processinfo = processinfo;
    ASSERT_NOT_NULL(m_processinfo.hProcess);
    ASSERT_NOT_NULL(m_processinfo.hThread);
    return TRUE;
}

BOOL CChildProcess::CreateWithHandleList(LPSTR pszCommandLine, LPVOID pvEnvironment, DWORD dwEnvironmentFlags,
                                         PROCESS_INFORMATION& processinfo)
{
    // The handles are inheritable only while the call runs; every process is
    // created by the one thread that owns the handles, so no other child can
    // see them in between.
    for (HANDLE h : m_ahInheritOnly)
        ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOEXA six;
    ZeroMemory(&six, sizeof six);
    six.StartupInfo = m_startupinfo;
    six.StartupInfo.cb = sizeof six;
    SIZE_T cbList = 0;
    ::InitializeProcThreadAttributeList(NULL, 1, 0, &cbList);
    std::vector<BYTE> abList(cbList);
    DWORD dwExtended = 0;
    if (cbList != 0) {
        six.lpAttributeList = (LPPROC_THREAD_ATTRIBUTE_LIST)abList.data();
        if (::InitializeProcThreadAttributeList(six.lpAttributeList, 1, 0, &cbList) &&
            ::UpdateProcThreadAttribute(six.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                        m_ahInheritOnly.data(), m_ahInheritOnly.size() * sizeof(HANDLE), NULL, NULL))
            dwExtended = EXTENDED_STARTUPINFO_PRESENT;
        else
            six.lpAttributeList = NULL;
    }
    BOOL fCreated = CallCreateProcess(pszCommandLine, pvEnvironment, dwExtended | dwEnvironmentFlags,
                                      &six.StartupInfo, processinfo);
    // Windows 7 refuses console handles in the list; the handles are then
    // the only ones made inheritable here, and others may still pass on.
    if (!fCreated && dwExtended != 0 && ::GetLastError() == ERROR_INVALID_PARAMETER)
        fCreated = CallCreateProcess(pszCommandLine, pvEnvironment, dwEnvironmentFlags, &m_startupinfo, processinfo);
    DWORD dwError = ::GetLastError();
    if (six.lpAttributeList != NULL)
        ::DeleteProcThreadAttributeList(six.lpAttributeList);
    for (HANDLE h : m_ahInheritOnly)
        ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    ::SetLastError(dwError);
    return fCreated;
}

BOOL CChildProcess::CallCreateProcess(LPSTR pszCommandLine, LPVOID pvEnvironment, DWORD dwExtraFlags,
                                      LPSTARTUPINFOA pStartupInfo, PROCESS_INFORMATION& processinfo)
{
    return ::CreateProcessA(m_csApplicationName.empty() ? NULL : m_csApplicationName.c_str(), pszCommandLine,
                            GetSecurityAttributes(), NULL, TRUE,
                            m_dwPriorityClass | m_dwGroupFlags | m_dwConsoleFlags | m_dwMoreFlags | dwExtraFlags,
                            pvEnvironment, m_csCurrentDirectory.empty() ? NULL : m_csCurrentDirectory.c_str(),
                            pStartupInfo, &processinfo);
}

void CChildProcess::Terminate(UINT uExitCode)
{
    if (!::TerminateProcess(m_processinfo.hProcess, uExitCode))
        ASSERT_COND(::GetLastError(), ==, ERROR_ACCESS_DENIED);
}

DWORD CChildProcess::WaitForExitCode()
{
    DWORD dwExitCode = 0;
    // Without a process there is nothing to wait for (and nothing to read).
    if (!CHECK_NOT_NULL(m_processinfo.hProcess))
        return dwExitCode;
    ASSERT_COND(::WaitForSingleObject(m_processinfo.hProcess, INFINITE), ==, WAIT_OBJECT_0);
    VERIFY_TRUE(::GetExitCodeProcess(m_processinfo.hProcess, &dwExitCode));
    return dwExitCode;
}

void CChildProcess::CloseHandles()
{
    if (m_processinfo.hThread != NULL) {
        VERIFY_TRUE(::CloseHandle(m_processinfo.hThread));
        m_processinfo.hThread = NULL;
    }
    if (m_processinfo.hProcess != NULL) {
        VERIFY_TRUE(::CloseHandle(m_processinfo.hProcess));
        m_processinfo.hProcess = NULL;
    }
    m_processinfo.dwProcessId = 0;
    m_processinfo.dwThreadId = 0;
}

void CChildProcess::Reset()
{
    CloseHandles();
    SetDefaults();
}
