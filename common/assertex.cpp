// Check failures and the software-failure box.
#include "common/assertex.h"

#include <string.h>

#include "common/filestuf.h"

void ReportAssertion(const char* pszFile, int nLine, const char* pszCheck, const char* pszName1,
                     long long llValue1, const char* pszName2, long long llValue2)
{
    DWORD dwSavedError = ::GetLastError();
    std::string csPair1;
    std::string csPair2;
    if (pszName1 != NULL)
        csPair1 = StrFormat("%s is %lld", pszName1, llValue1);
    if (pszName2 != NULL)
        csPair2 = StrFormat("%s is %lld", pszName2, llValue2);
    ::SetLastError(dwSavedError);
    ReportSoftwareError(pszFile, nLine, pszCheck, csPair1, csPair2);
    ::SetLastError(dwSavedError);
}

void ReportSoftwareError(const char* pszFile, int nLine, const char* pszCheck, const std::string& csPair1,
                         const std::string& csPair2)
{
    DWORD dwSavedError = ::GetLastError();
    std::string csError = ErrorText(dwSavedError);

    StartDebugMessage(pszFile, nLine, DEBUG_FAILURE);
    std::ostream& os = GetDebugStream();
    os << pszCheck << "\r\n\r\n";
    if (!csPair1.empty())
        os << csPair1 << "\r\n";
    if (!csPair2.empty())
        os << csPair2 << "\r\n";
    os << "Last error: " << csError;
    EndDebugMessage();

    StartDebugMessage(__FILE__, __LINE__, DEBUG_ERROR | DEBUG_SHOW);
    GetDebugStream() << "A software error has occurred in line " << nLine << " of " << pszFile
                     << ". Consult the debug log.";
    EndDebugMessage();
    ::SetLastError(dwSavedError);
}

BOOL VerifyCondition(const char* pszFile, int nLine, const char* pszCheck, const char* pszNameA, long long llA,
                     const char* pszCondition, const char* pszNameB, long long llB)
{
    const char* szConditionalString = pszCondition != NULL ? pszCondition : "";
    size_t cch = strlen(szConditionalString);
    if (cch == 0) {
        ASSERT_COND(szConditionalString[0], !=, 0);
        return FALSE;
    }
    if (cch == 2 && szConditionalString[1] != '=') {
        ReportAssertion(__FILE__, __LINE__, "ASSERT_COND(szConditionalString[1], ==, T('='))",
                        "szConditionalString[1]", szConditionalString[1], "T('=')", '=');
        return FALSE;
    }
    BOOL fResult = FALSE;
    BOOL fKnown = cch <= 2;
    if (fKnown) {
        BOOL fEqualsToo = cch == 2;
        switch (szConditionalString[0]) {
        case '<': fResult = fEqualsToo ? llA <= llB : llA < llB; break;
        case '>': fResult = fEqualsToo ? llA >= llB : llA > llB; break;
        case '=': fResult = fEqualsToo && llA == llB; fKnown = fEqualsToo; break;
        case '!': fResult = fEqualsToo && llA != llB; fKnown = fEqualsToo; break;
        default: fKnown = FALSE; break;
        }
    }
    if (!fKnown) {
        DEBUG_FAILURE_MSG("Unknown conditional operator: " << szConditionalString);
        fResult = FALSE;
    }
    if (!fResult)
        ReportAssertion(pszFile, nLine, pszCheck, pszNameA, llA, pszNameB, llB);
    return fResult;
}

std::string CFailureReporter::BuildText(const CDebugRecord& record)
{
    return GetModulePath(NULL) + "\n" + (record.m_pszFile ? record.m_pszFile : "") + "  Line " +
           StrFormat("%d", record.m_nLine) + "\n\n" + record.m_csText + "\n\n" +
           "Continue? (Choose cancel to invoke the debugger.)";
}

BOOL CFailureReporter::Report(const CDebugRecord& record)
{
    std::string csText = BuildText(record);
    if (!g_fSoftwareFailureBox)
        return TRUE;
    int nAnswer = ::MessageBoxA(NULL, csText.c_str(), "Software Failure",
                                MB_YESNOCANCEL | MB_ICONHAND | MB_DEFBUTTON2 | MB_TASKMODAL | MB_SETFOREGROUND);
    switch (nAnswer) {
    case IDNO:
        ::ExitProcess(666);
        break;
    case IDCANCEL:
        // Without a debugger the system's just-in-time debugging takes over.
        ::DebugBreak();
        ::ExitProcess(667);
        break;
    default:
        break;
    }
    return TRUE;
}
