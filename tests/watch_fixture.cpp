#include "watch_fixture.h"

#include "common/filestuf.h"
#include "e2e_util.h"
#include "helpers/childpath.h"

BOOL IsRunningUnderWine()
{
    HMODULE hNtdll = ::GetModuleHandleA("ntdll.dll");
    return hNtdll != NULL && ::GetProcAddress(hNtdll, "wine_get_version") != NULL;
}

WatchRules::WatchRules() : m_traceOn(g_fDebugTrace) {}

void WatchRules::SetUp()
{
    ResetSupervisorForTest();
    App().m_evQuit.Reset();
    m_csDir = MakeTempDirectory("wr");
    char szDir[MAX_PATH];
    DWORD cch = ::GetCurrentDirectoryA(MAX_PATH, szDir);
    m_csOldDir.assign(szDir, cch < MAX_PATH ? cch : 0);
    ASSERT_TRUE(::SetCurrentDirectoryA(m_csDir.c_str())) << m_csDir;
}

void WatchRules::TearDown()
{
    // Every process of the test's names goes, whoever started it and
    // whatever the test left behind.
    for (int iPass = 0; iPass < 2; iPass++) {
        for (const std::string& csChild : m_acsChildren) {
            for (DWORD dwId : RunningIds(StripExtension(csChild))) {
                HANDLE hProcess = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwId);
                if (hProcess == NULL)
                    continue;
                ::TerminateProcess(hProcess, 1);
                ::WaitForSingleObject(hProcess, 5000);
                ::CloseHandle(hProcess);
            }
        }
    }
    ResetSupervisorForTest();
    App().m_evQuit.Reset();
    if (!m_csOldDir.empty())
        ::SetCurrentDirectoryA(m_csOldDir.c_str());
    // A test skipped before SetUp has no folder of its own.
    if (!m_csDir.empty())
        RemoveDirectoryTree(m_csDir);
}

void WatchRules::CopyChild(const std::string& csName)
{
    EXPECT_TRUE(::CopyFileA(GetChildProcPath().c_str(), (m_csDir + "\\" + csName).c_str(), FALSE))
        << csName << ": " << LastErrorText();
    m_acsChildren.push_back(csName);
}

BOOL WatchRules::Define(const std::vector<std::string>& acsChildren, const std::string& csText)
{
    for (const std::string& csChild : acsChildren)
        CopyChild(csChild);
    std::string csPath = m_csDir + "\\rules.inf";
    EXPECT_TRUE(WriteTextFile(csPath, csText));
    App().m_csDefinitionFile = csPath;
    return App().ReadDefinitionFile();
}

CWatchedProcess* WatchRules::FindRecordById(DWORD dwProcessId)
{
    for (CWatchedProcess* pProcess : App().m_paProcesses) {
        if (pProcess->m_processinfo.dwProcessId == dwProcessId)
            return pProcess;
    }
    return NULL;
}

CWatchedProcess* WatchRules::FindRecord(const std::string& csName)
{
    for (CWatchedProcess* pProcess : App().m_paProcesses) {
        if (pProcess->GetExeName() == csName)
            return pProcess;
    }
    return NULL;
}

void WatchRules::StartRecord(size_t i)
{
    CWatchedProcess* pProcess = App().m_paProcesses.at(i);
    pProcess->SetState(PS_NOT_CREATED);
    App().StartProcess(pProcess);
}

CServed WatchRules::Serve(DWORD dwTimeout)
{
    CServed served;
    CSupervisorApp& app = App();
    CWaitObjectArray apWaitObjects(app.m_paProcesses.begin(), app.m_paProcesses.end());
    apWaitObjects.push_back(&app.m_evQuit);
    CWaitObject* pw = WaitForWaitObjects(FALSE, apWaitObjects, dwTimeout);
    served.mtServed = CMilliTime::GetCurrentTime();
    if (pw == NULL)
        return served;
    served.fServed = TRUE;
    if (pw == &app.m_evQuit) {
        served.fQuit = TRUE;
        return served;
    }
    CWatchedProcess* pProcess = static_cast<CWatchedProcess*>(pw);
    served.csName = pProcess->GetExeName();
    served.nState = pProcess->GetState();
    app.HandleProcessEvent(pProcess);
    return served;
}

DWORD WatchRules::StartExternal(const std::string& csCommandLine)
{
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    std::vector<char> achCommandLine(csCommandLine.begin(), csCommandLine.end());
    achCommandLine.push_back('\0');
    BOOL fCreated = ::CreateProcessA(NULL, achCommandLine.data(), NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL,
                                     &si, &pi);
    EXPECT_TRUE(fCreated) << csCommandLine << ": " << LastErrorText();
    if (!fCreated)
        return 0;
    // No handle is kept: an ended process that a handle keeps alive might
    // still be listed, and the monitor would attach to it.
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return pi.dwProcessId;
}

void WatchRules::EndExternal(DWORD dwProcessId, UINT uExitCode)
{
    HANDLE hProcess = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwProcessId);
    ASSERT_TRUE(hProcess != NULL) << dwProcessId;
    EXPECT_TRUE(::TerminateProcess(hProcess, uExitCode));
    EXPECT_EQ(::WaitForSingleObject(hProcess, 10000), WAIT_OBJECT_0);
    ::CloseHandle(hProcess);
}

std::vector<DWORD> WatchRules::RunningIds(const std::string& csName)
{
    std::vector<DWORD> adwIds;
    CProcessCensus census(TRUE);
    if (!census.Collect())
        return adwIds;
    CStringArray acsNames;
    CDWordArray adwAll;
    census.ListProcesses(acsNames, adwAll);
    for (size_t i = 0; i < acsNames.size() && i < adwAll.size(); i++) {
        if (StrIEqual(acsNames[i], csName))
            adwIds.push_back(adwAll[i]);
    }
    return adwIds;
}

int WatchRules::LineIndex(const std::string& csLine, int iFrom) const
{
    std::vector<std::string> acsLines = SplitLines(Said());
    for (size_t i = iFrom < 0 ? 0 : (size_t)iFrom; i < acsLines.size(); i++) {
        if (acsLines[i] == csLine)
            return (int)i;
    }
    return -1;
}

int WatchRules::CountLines(const std::string& csLine) const
{
    int c = 0;
    for (const std::string& cs : SplitLines(Said())) {
        if (cs == csLine)
            c++;
    }
    return c;
}
