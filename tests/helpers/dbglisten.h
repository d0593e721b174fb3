// Runs the debugger listener (dbglisten.exe, built beside the tests) for a
// test: on its own pipe name, writing its lines to a temporary file. The
// destructor ends a listener that still runs and removes the file.
#pragma once

#include <windows.h>
#include <fstream>
#include <string>
#include <vector>

#include "common/childproc.h"
#include "common/filestuf.h"
#include "common/strutil.h"

inline std::string GetDbgListenPath()
{
    std::string csPath = GetModulePath(NULL);
    std::string::size_type iSlash = csPath.find_last_of("\\/");
    return (iSlash == std::string::npos ? std::string() : csPath.substr(0, iSlash + 1)) + "dbglisten.exe";
}

// A pipe name no other test run uses.
inline std::string UniquePipeName(const std::string& csBase)
{
    static LONG s_nSerial = 0;
    return StrFormat("ovrin-test-%s-%lu-%ld", csBase.c_str(), ::GetCurrentProcessId(),
                     ::InterlockedIncrement(&s_nSerial));
}

// Polls until the pipe exists; FALSE after dwTimeout ms.
inline BOOL WaitForPipeToExist(const std::string& csFullName, DWORD dwTimeout)
{
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        if (::WaitNamedPipeA(csFullName.c_str(), 50))
            return TRUE;
        if (::GetTickCount() - dwStart >= dwTimeout)
            return FALSE;
        ::Sleep(10);
    }
}

class CDbgListener
{
public:
    ~CDbgListener()
    {
        if (m_process.m_processinfo.hProcess != NULL && !m_process.Wait(0)) {
            m_process.Terminate(99);
            m_process.Wait(5000);
        }
        m_process.CloseHandles();
        if (!m_csOutput.empty())
            ::DeleteFileA(m_csOutput.c_str());
    }

    // Starts the listener with -n nCount (when 0 or more) and -t dwRunLimit
    // and waits until its pipe exists.
    BOOL Start(const std::string& csPipeName, int nCount, DWORD dwRunLimit)
    {
        char szTemp[MAX_PATH];
        ::GetTempPathA(MAX_PATH, szTemp);
        m_csOutput = StrFormat("%sdbglisten-%lu-%lu.txt", szTemp, ::GetCurrentProcessId(), ::GetTickCount());
        ::DeleteFileA(m_csOutput.c_str());
        std::string csCommand = "\"" + GetDbgListenPath() + "\" -p " + csPipeName + " -o \"" + m_csOutput + "\" -t " +
                                std::to_string(dwRunLimit);
        if (nCount >= 0)
            csCommand += " -n " + std::to_string(nCount);
        m_process.SetCommandLine(csCommand);
        m_process.m_dwConsoleFlags = DETACHED_PROCESS;
        if (!m_process.Create())
            return FALSE;
        return WaitForPipeToExist("\\\\.\\pipe\\" + csPipeName, 10000);
    }

    // The listener's exit code, or -1 when it still runs after dwTimeout ms.
    int WaitForExit(DWORD dwTimeout)
    {
        if (!m_process.Wait(dwTimeout))
            return -1;
        DWORD dwExitCode = 0;
        ::GetExitCodeProcess(m_process.m_processinfo.hProcess, &dwExitCode);
        return (int)dwExitCode;
    }

    std::vector<std::string> ReadLines() const
    {
        std::vector<std::string> acsLines;
        std::ifstream file(m_csOutput.c_str());
        std::string csLine;
        while (std::getline(file, csLine))
            acsLines.push_back(csLine);
        return acsLines;
    }

    // The tab-separated fields of a line: time, process id, module, thread
    // name, kind, source, text.
    static std::vector<std::string> SplitFields(const std::string& csLine)
    {
        std::vector<std::string> acsFields;
        std::string::size_type iStart = 0;
        while (acsFields.size() < 6) {
            std::string::size_type iTab = csLine.find('\t', iStart);
            if (iTab == std::string::npos)
                break;
            acsFields.push_back(csLine.substr(iStart, iTab - iStart));
            iStart = iTab + 1;
        }
        acsFields.push_back(csLine.substr(iStart));
        return acsFields;
    }

    CChildProcess m_process;
    std::string m_csOutput;
};
