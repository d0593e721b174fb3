// Path helpers, the module path and the computer name.
#include "common/filestuf.h"

#include <mbctype.h>
#include <mbstring.h>

#include "common/assertex.h"
#include "common/strutil.h"

namespace {

// Index of the last occurrence of ch, multibyte-aware; npos when absent.
size_t FindLastChar(const std::string& cs, unsigned int ch)
{
    const unsigned char* psz = (const unsigned char*)cs.c_str();
    const unsigned char* pFound = _mbsrchr(psz, ch);
    return pFound != NULL ? (size_t)(pFound - psz) : std::string::npos;
}

// The system's full path of csPath, and where its file part starts (npos
// when it has none); FALSE for an empty path or one the system refuses.
BOOL FullPathName(const std::string& csPath, std::string& csFull, size_t& iFilePart)
{
    if (csPath.empty())
        return FALSE;
    char szFullPath[_MAX_PATH + 1];
    char* pszFilePart = NULL;
    DWORD dw = ::GetFullPathNameA(csPath.c_str(), DIM(szFullPath), szFullPath, &pszFilePart);
    if (!CHECK_COND(dw, >, 0) || !CHECK_COND(dw, <, DIM(szFullPath)))
        return FALSE;
    csFull.assign(szFullPath, dw);
    iFilePart = pszFilePart != NULL ? (size_t)(pszFilePart - szFullPath) : std::string::npos;
    return TRUE;
}

}  // namespace

std::string GetFullPath(const std::string& csPath)
{
    std::string csFull;
    size_t iFilePart = 0;
    if (!FullPathName(csPath, csFull, iFilePart))
        return std::string();
    if (IsUncPath(csPath) && csPath[2] == '.' && csFull.size() >= 3)
        csFull = "\\\\" + GetComputerNameText() + csFull.substr(3);
    return csFull;
}

std::string GetFileName(const std::string& csPath)
{
    std::string csFull;
    size_t iFilePart = 0;
    if (!FullPathName(csPath, csFull, iFilePart))
        return std::string();
    if (IsRoot(csFull) || iFilePart == std::string::npos)
        return std::string();
    return csFull.substr(iFilePart);
}

std::string StripExtension(const std::string& csPath)
{
    size_t iDot = FindLastChar(csPath, '.');
    size_t iBackslash = FindLastChar(csPath, '\\');
    if (iDot == std::string::npos || (iBackslash != std::string::npos && iDot < iBackslash))
        return csPath;
    return csPath.substr(0, iDot);
}

BOOL IsDrivePath(const std::string& csPath)
{
    if (csPath.size() < 2)
        return FALSE;
    unsigned char ch = (unsigned char)csPath[0];
    if (_ismbblead(ch))
        return FALSE;
    return ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z')) && csPath[1] == ':';
}

BOOL IsUncPath(const std::string& csPath)
{
    if (csPath.size() < 5 || csPath[0] != '\\' || csPath[1] != '\\' || csPath[2] == '\\')
        return FALSE;
    size_t iLast = FindLastChar(csPath, '\\');
    return iLast != std::string::npos && iLast >= 3;
}

std::string GetRootOfPath(const std::string& csPath)
{
    if (IsDrivePath(csPath))
        return csPath.substr(0, 3);
    if (IsUncPath(csPath)) {
        size_t iThirdBackslash = csPath.find('\\', 2);
        if (!CHECK_COND(iThirdBackslash, !=, std::string::npos))
            return csPath;
        size_t iFourthBackslash = csPath.find('\\', iThirdBackslash + 1);
        if (iFourthBackslash == std::string::npos)
            return csPath;
        return csPath.substr(0, iFourthBackslash);
    }
    DEBUG_FAILURE_MSG("Couldn't get the root portion of the path " << csPath);
    return std::string();
}

std::string RemoveTrailingBackslashes(const std::string& csPath)
{
    std::string cs = csPath;
    while (!cs.empty() && cs.back() == '\\')
        cs.pop_back();
    if (cs.size() == 2 && IsDrivePath(cs) && csPath.size() > 2)
        cs += '\\';
    return cs;
}

BOOL IsRoot(const std::string& csPath)
{
    return StrICmp(RemoveTrailingBackslashes(csPath), GetRootOfPath(csPath)) == 0;
}

std::string GetModulePath(HMODULE hModule)
{
    char szPath[_MAX_PATH];
    DWORD dw = ::GetModuleFileNameA(hModule, szPath, DIM(szPath));
    if (!CHECK_COND(dw, >, 0) || !CHECK_COND(dw, <, DIM(szPath)))
        return std::string();
    return std::string(szPath, dw);
}

std::string GetComputerNameText()
{
    char szName[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD cch = DIM(szName);
    if (!::GetComputerNameA(szName, &cch))
        return std::string();
    return std::string(szName, cch);
}
