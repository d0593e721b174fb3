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
    for (const DWORD dwStart = ::GetTickCount(); !::WaitNamedPipeA(csFullName.c_str(), 50); ::Sleep(10))
        if (::GetTickCount() - dwStart >= dwTimeout)
            return FALSE;
    return TRUE;
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
        ::DeleteFileA(m_csOutput.c_str());
    }

    // Starts the listener with -n nCount and -t dwRunLimit and waits until
    // its pipe exists.
    BOOL Start(const std::string& csPipeName, int nCount, DWORD dwRunLimit)
    {
        const std::string csPath = GetModulePath(NULL);
        char szTemp[MAX_PATH];
        ::GetTempPathA(MAX_PATH, szTemp);
        m_csOutput = StrFormat("%sdbglisten-%lu-%lu.txt", szTemp, ::GetCurrentProcessId(), ::GetTickCount());
        m_process.SetCommandLine(StrFormat("\"%sdbglisten.exe\" -p %s -o \"%s\" -t %lu -n %d",
                                           csPath.substr(0, csPath.rfind('\\') + 1).c_str(), csPipeName.c_str(),
                                           m_csOutput.c_str(), dwRunLimit, nCount));
        m_process.m_dwConsoleFlags = DETACHED_PROCESS;
        return m_process.Create() && WaitForPipeToExist("\\\\.\\pipe\\" + csPipeName, 10000);
    }

    // The listener's exit code, or -1 when it still runs after dwTimeout ms.
    int WaitForExit(DWORD dwTimeout) { return m_process.Wait(dwTimeout) ? (int)m_process.WaitForExitCode() : -1; }

    // Each line split at its first six tabs: time, process id, module,
    // thread name, kind, source, text.
    std::vector<std::vector<std::string>> ReadRecords() const
    {
        std::vector<std::vector<std::string>> aacsRecords;
        std::ifstream file(m_csOutput.c_str());
        for (std::string csLine; std::getline(file, csLine);) {
            std::vector<std::string> acsFields;
            for (size_t iTab; acsFields.size() < 6 && (iTab = csLine.find('\t')) != std::string::npos;
                 csLine.erase(0, iTab + 1))
                acsFields.push_back(csLine.substr(0, iTab));
            acsFields.push_back(csLine);
            aacsRecords.push_back(acsFields);
        }
        return aacsRecords;
    }

    CChildProcess m_process;
    std::string m_csOutput;
};
