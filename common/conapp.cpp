// Console application frame: arguments, lookups and control events.
#include "common/conapp.h"

#include <stdlib.h>
#include <iostream>

#include "common/assertex.h"
#include "common/filestuf.h"

namespace {

// Set by the constructor, never cleared.
CConsoleApp* g_pTheApp = NULL;

BOOL IsBlank(char ch)
{
    return ch == ' ' || ch == '\n' || ch == '\r' || ch == '\t';
}

BOOL IsSwitchPrefix(char ch)
{
    return ch == '-' || ch == '/';
}

// Index of the first unconsumed switch named pszName, or -1.
int FindSwitchIndex(const CStringArray& csaArgs, const CDWordArray& dwaUsed, const char* pszName)
{
    for (size_t i = 0; i < csaArgs.size(); i++) {
        if (i < dwaUsed.size() && dwaUsed[i])
            continue;
        const std::string& csArg = csaArgs[i];
        if (!csArg.empty() && IsSwitchPrefix(csArg[0]) && StrICmp(csArg.substr(1), pszName) == 0)
            return (int)i;
    }
    return -1;
}

void MarkUsed(CDWordArray& dwaUsed, size_t i)
{
    if (dwaUsed.size() <= i)
        dwaUsed.resize(i + 1, 0);
    dwaUsed[i] = 1;
}

}  // namespace

CConsoleApp::CConsoleApp() : m_nExitCode(0)
{
    g_pTheApp = this;
    m_csModulePath = GetModulePath(NULL);
    m_csExeName = GetFileName(m_csModulePath);
    ASSERT_TRUE(!m_csExeName.empty());
}

CConsoleApp::~CConsoleApp()
{
}

CConsoleApp* CConsoleApp::GetApp()
{
    if (g_pTheApp == NULL)
        DEBUG_FAILURE_MSG("You didn't declare a CConsoleApp-derived object!");
    return g_pTheApp;
}

CConsoleApp* CConsoleApp::PeekApp()
{
    return g_pTheApp;
}

int CConsoleApp::RunMain(int argc, char** argv)
{
    CConsoleApp* pApp = GetApp();
    if (pApp == NULL)
        return 1;
    for (int i = 0; i < argc; i++) {
        pApp->m_csaArgs.push_back(argv[i]);
        pApp->m_dwaArgUsed.push_back(0);
    }
    // The program's own name is never matched as a switch.
    if (!pApp->m_dwaArgUsed.empty())
        pApp->m_dwaArgUsed[0] = 1;
    pApp->RunApplication();
    return pApp->m_nExitCode;
}

BOOL WINAPI CConsoleApp::ControlHandlerRoutine(DWORD dwCtrlType)
{
    CConsoleApp* pApp = GetApp();
    return pApp != NULL ? pApp->OnControlEvent(dwCtrlType) : FALSE;
}

void CConsoleApp::RunApplication()
{
    RunConsoleApplication();
}

void CConsoleApp::RunConsoleApplication()
{
    ::SetConsoleCtrlHandler(ControlHandlerRoutine, TRUE);
    if (!Initialize())
        return;
    if (ParseArguments())
        Main();
    Finish();
}

BOOL CConsoleApp::OnControlEvent(DWORD dwCtrlType)
{
    switch (dwCtrlType) {
    case CTRL_C_EVENT:
        DEBUG_ERROR_MSG("The process has received a ctrl-c.");
        break;
    case CTRL_BREAK_EVENT:
        DEBUG_ERROR_MSG("The process has received a ctrl-break.");
        break;
    case CTRL_CLOSE_EVENT:
        DEBUG_ERROR_MSG("The process has received a close-window.");
        break;
    case CTRL_LOGOFF_EVENT:
        DEBUG_ERROR_MSG("The process has received a logoff notification.");
        break;
    case CTRL_SHUTDOWN_EVENT:
        DEBUG_ERROR_MSG("The process has received a shutdown notification.");
        break;
    default:
        break;
    }
    return FALSE;
}

BOOL CConsoleApp::Initialize()
{
    return TRUE;
}

BOOL CConsoleApp::ParseArguments()
{
    if (FindSwitch(m_csaArgs, m_dwaArgUsed, "?") || FindSwitch(m_csaArgs, m_dwaArgUsed, "h")) {
        ShowUsage();
        return FALSE;
    }
    return TRUE;
}

void CConsoleApp::ShowUsage()
{
    std::cerr << m_csExeName << " - no help available." << std::endl;
}

void CConsoleApp::Finish()
{
}

void CArgumentSplitter::Feed(const char* pch, size_t cch)
{
    size_t i = 0;
    while (i < cch) {
        const char ch = pch[i];
        if (ch == '"') {
            // A doubled quote is one quote character, inside quotes or not.
            if (i + 1 < cch && pch[i + 1] == '"') {
                m_csPartial += '"';
                i += 2;
            } else {
                m_fQuoted = !m_fQuoted;
                i++;
            }
        } else if (!m_fQuoted && IsBlank(ch)) {
            // An argument of nothing but quotes ("") counts as none.
            if (!m_csPartial.empty())
                m_csaArgs.push_back(m_csPartial);
            m_csPartial.clear();
            i++;
        } else {
            m_csPartial += ch;
            i++;
        }
    }
}

void CArgumentSplitter::Finish()
{
    if (!m_csPartial.empty())
        m_csaArgs.push_back(m_csPartial);
    m_csPartial.clear();
    m_fQuoted = FALSE;
}

void CArgumentSplitter::ContinueFrom(const CArgumentSplitter& other)
{
    m_csaArgs.clear();
    m_csPartial = other.m_csPartial;
    m_fQuoted = other.m_fQuoted;
}

void CArgumentSplitter::Reset()
{
    m_csaArgs.clear();
    m_csPartial.clear();
    m_fQuoted = FALSE;
}

void CConsoleApp::SplitArguments(const std::string& csText, CStringArray& csaArgs, CDWordArray& dwaUsed)
{
    CArgumentSplitter splitter;
    splitter.Feed(csText);
    splitter.Finish();
    csaArgs.swap(splitter.m_csaArgs);
    dwaUsed.assign(csaArgs.size(), 0);
}

std::string CConsoleApp::GetArgument(const CStringArray& csaArgs, int iArg)
{
    if (iArg < 0 || (size_t)iArg >= csaArgs.size())
        return std::string();
    return csaArgs[(size_t)iArg];
}

BOOL CConsoleApp::FindSwitch(const CStringArray& csaArgs, CDWordArray& dwaUsed, const char* pszName)
{
    int i = FindSwitchIndex(csaArgs, dwaUsed, pszName);
    if (i < 0)
        return FALSE;
    MarkUsed(dwaUsed, (size_t)i);
    return TRUE;
}

BOOL CConsoleApp::FindOption(const CStringArray& csaArgs, CDWordArray& dwaUsed, const char* pszName,
                             std::string& csValue)
{
    int i = FindSwitchIndex(csaArgs, dwaUsed, pszName);
    if (i < 0)
        return FALSE;
    MarkUsed(dwaUsed, (size_t)i);
    csValue.clear();
    size_t iNext = (size_t)i + 1;
    if (iNext < csaArgs.size() && !(iNext < dwaUsed.size() && dwaUsed[iNext]) &&
        !(!csaArgs[iNext].empty() && IsSwitchPrefix(csaArgs[iNext][0]))) {
        csValue = csaArgs[iNext];
        MarkUsed(dwaUsed, iNext);
    }
    return TRUE;
}

BOOL CConsoleApp::FindNumberOption(const CStringArray& csaArgs, CDWordArray& dwaUsed, const char* pszName,
                                   int& nValue)
{
    std::string csValue;
    if (!FindOption(csaArgs, dwaUsed, pszName, csValue))
        return FALSE;
    if (csValue.empty() || csValue[0] < '0' || csValue[0] > '9')
        return FALSE;
    nValue = atoi(csValue.c_str());
    return TRUE;
}

BOOL CConsoleApp::NextUnusedArgument(const CStringArray& csaArgs, CDWordArray& dwaUsed, std::string& csArg)
{
    for (size_t i = 0; i < csaArgs.size(); i++) {
        if (i < dwaUsed.size() && dwaUsed[i])
            continue;
        csArg = csaArgs[i];
        MarkUsed(dwaUsed, i);
        return TRUE;
    }
    return FALSE;
}

int CConsoleApp::CountUnusedArguments() const
{
    int c = 0;
    for (size_t i = 0; i < m_csaArgs.size(); i++) {
        if (!(i < m_dwaArgUsed.size() && m_dwaArgUsed[i]))
            c++;
    }
    return c;
}
