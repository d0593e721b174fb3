// Executable lookup and version text.
#include "exeinfo.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <map>
#include <memory>
#include <new>

#include "common/assertex.h"
#include "common/debug.h"
#include "common/filestuf.h"
#include "common/strutil.h"

namespace {

// String tables tried when the resource has no translation table: US English
// in Unicode (1200) and in Windows Latin-1 (1252), as resource editors write them.
const DWORD c_adwFallbackTranslations[] = {MAKELONG(0x0409, 1200), MAKELONG(0x0409, 1252)};

// A version resource is at most 64 KB (its length is a WORD); the buffer
// also takes the ANSI copies that VerQueryValueA makes of a Unicode
// resource's strings, which the sizes the system asks for (twice the
// resource and a little more) allow for.
const DWORD c_cbVersionInfoBuffer = 3 * 0x10000;

// The first translation entry, or a fallback that names a table holding
// either version value; null when there is neither.
const DWORD* FindTranslation(const void* pvVersionInfo, DWORD& dwFallback)
{
    LPVOID pvTranslation = NULL;
    UINT cbTranslation = 0;
    // A Translation value shorter than one entry counts as missing.
    if (::VerQueryValueA(pvVersionInfo, "\\VarFileInfo\\Translation", &pvTranslation, &cbTranslation) &&
        pvTranslation != NULL && cbTranslation >= sizeof(DWORD))
        return (const DWORD*)pvTranslation;
    for (size_t i = 0; i < DIM(c_adwFallbackTranslations); i++) {
        std::string csProbe;
        dwFallback = c_adwFallbackTranslations[i];
        if (QueryVersionString(pvVersionInfo, &dwFallback, "ProductVersion", &csProbe) ||
            QueryVersionString(pvVersionInfo, &dwFallback, "FileVersion", &csProbe))
            return &dwFallback;
    }
    return NULL;
}

// The version texts of the files read so far, by full path (upper case).
// Under Wine 8 GetFileVersionInfoA maps the whole file on every call (1 ms
// for 116 KB, 3.4 ms for 8.8 MB, measured with ovrbench parts), which was
// three quarters of a status line; GetFileAttributesExA costs about 0.02 ms.
class CVersionTextCache
{
public:
    CVersionTextCache() : m_cReads(0) { ::InitializeCriticalSection(&m_cs); }
    ~CVersionTextCache() { ::DeleteCriticalSection(&m_cs); }

    std::string Get(const std::string& csPath)
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!::GetFileAttributesExA(csPath.c_str(), GetFileExInfoStandard, &data))
            return GetFileVersionText(csPath);
        const std::string csKey = StrUpper(csPath);
        ::EnterCriticalSection(&m_cs);
        auto it = m_mapEntries.find(csKey);
        if (it != m_mapEntries.end() && SameFile(it->second.m_fad, data)) {
            std::string csText = it->second.m_csText;
            ::LeaveCriticalSection(&m_cs);
            return csText;
        }
        ::LeaveCriticalSection(&m_cs);
        // Read outside the lock: it is the slow part, and two threads that
        // read the same file at once only store the same text twice.
        std::string csText = GetFileVersionText(csPath);
        ::EnterCriticalSection(&m_cs);
        m_cReads++;
        // Only as many paths as definition lines are ever asked for; the
        // bound keeps a PATH that changes all the time from growing it.
        if (m_mapEntries.size() >= c_cMaxEntries && m_mapEntries.find(csKey) == m_mapEntries.end())
            m_mapEntries.clear();
        CEntry& entry = m_mapEntries[csKey];
        entry.m_fad = data;
        entry.m_csText = csText;
        ::LeaveCriticalSection(&m_cs);
        return csText;
    }

    DWORD GetReadCount()
    {
        ::EnterCriticalSection(&m_cs);
        const DWORD cReads = m_cReads;
        ::LeaveCriticalSection(&m_cs);
        return cReads;
    }

private:
    struct CEntry
    {
        WIN32_FILE_ATTRIBUTE_DATA m_fad;
        std::string m_csText;
    };
    static const size_t c_cMaxEntries = 4096;

    // A copy keeps the source's last-write time, so the creation time and
    // the size are compared too.
    static BOOL SameFile(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b)
    {
        return a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
               ::CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0 &&
               ::CompareFileTime(&a.ftCreationTime, &b.ftCreationTime) == 0;
    }

    CRITICAL_SECTION m_cs;
    std::map<std::string, CEntry> m_mapEntries;
    DWORD m_cReads;
};

CVersionTextCache& GetVersionTextCache()
{
    static CVersionTextCache s_cache;
    return s_cache;
}

}  // namespace

std::string FindExecutableFile(const std::string& csExeName)
{
    char szFound[MAX_PATH] = "";
    if (csExeName.empty()) {
        // Searched as it stands, it would find a file named ".exe".
        ::SetLastError(ERROR_FILE_NOT_FOUND);
    } else if (csExeName.size() >= MAX_PATH) {
        // No such name fits the result; _splitpath_s would refuse it anyway.
        ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    } else {
        char szExt[MAX_PATH] = "";
        _splitpath_s(csExeName.c_str(), NULL, 0, NULL, 0, NULL, 0, szExt, DIM(szExt));
        std::string csSearched = csExeName;
        if (szExt[0] == '\0')
            csSearched += ".exe";
        // The bounded form of _searchenv: an over-long result is left empty.
        _searchenv_s(csSearched.c_str(), "PATH", szFound, DIM(szFound));
    }
    if (szFound[0] == '\0') {
        DEBUG_TRACE_MSG("Could not find executable file for " << csExeName << ". Error " << LastErrorText());
        return std::string();
    }
    return szFound;
}

std::wstring GetProcessImagePath(HANDLE hProcess)
{
    typedef BOOL(WINAPI * PFN_QUERY_IMAGE)(HANDLE, DWORD, LPWSTR, PDWORD);
    typedef DWORD(WINAPI * PFN_MODULE_NAME)(HANDLE, HMODULE, LPWSTR, DWORD);
    // Vista and later; older systems have the module name through psapi.
    static const PFN_QUERY_IMAGE s_pfnQueryImage = (PFN_QUERY_IMAGE)(void*)::GetProcAddress(
        ::GetModuleHandleA("kernel32.dll"), "QueryFullProcessImageNameW");
    WCHAR awchImage[MAX_PATH * 4];
    DWORD cchImage = DIM(awchImage);
    if (s_pfnQueryImage != NULL && s_pfnQueryImage(hProcess, 0, awchImage, &cchImage))
        return std::wstring(awchImage, cchImage);
    static const HMODULE s_hPsapi = ::LoadLibraryA("psapi.dll");
    static const PFN_MODULE_NAME s_pfnModuleName =
        s_hPsapi != NULL ? (PFN_MODULE_NAME)(void*)::GetProcAddress(s_hPsapi, "GetModuleFileNameExW") : NULL;
    if (s_pfnModuleName != NULL) {
        cchImage = s_pfnModuleName(hProcess, NULL, awchImage, DIM(awchImage));
        if (cchImage > 0 && cchImage < DIM(awchImage))
            return std::wstring(awchImage, cchImage);
    }
    return std::wstring();
}

namespace {

// The full long form of a path (each short name expanded); the full path
// where the file cannot be found.
std::wstring LongFullPath(const std::wstring& wsPath)
{
    WCHAR awchFull[MAX_PATH * 4];
    DWORD cch = ::GetFullPathNameW(wsPath.c_str(), DIM(awchFull), awchFull, NULL);
    std::wstring wsFull = cch > 0 && cch < DIM(awchFull) ? std::wstring(awchFull, cch) : wsPath;
    WCHAR awchLong[MAX_PATH * 4];
    cch = ::GetLongPathNameW(wsFull.c_str(), awchLong, DIM(awchLong));
    return cch > 0 && cch < DIM(awchLong) ? std::wstring(awchLong, cch) : wsFull;
}

BOOL GetFileIdentity(const std::wstring& wsPath, BY_HANDLE_FILE_INFORMATION& info)
{
    // No access beyond the attributes: a running program's file opens so.
    HANDLE hFile = ::CreateFileW(wsPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL fOk = ::GetFileInformationByHandle(hFile, &info);
    ::CloseHandle(hFile);
    return fOk;
}

}  // namespace

BOOL IsSameFile(const std::string& csPath, const std::wstring& wsImage)
{
    if (csPath.empty() || wsImage.empty())
        return FALSE;
    std::wstring wsPath(csPath.size(), L'\0');
    int cch = ::MultiByteToWideChar(CP_ACP, 0, csPath.data(), (int)csPath.size(), &wsPath[0], (int)wsPath.size());
    wsPath.resize(cch > 0 ? (size_t)cch : 0);
    std::wstring wsA = LongFullPath(wsPath);
    std::wstring wsB = LongFullPath(wsImage);
    if (wsA.size() == wsB.size() && ::CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, wsA.data(), (int)wsA.size(),
                                                     wsB.data(), (int)wsB.size()) == CSTR_EQUAL)
        return TRUE;
    // Wine takes the index from the inode and the serial from the drive,
    // and one drive may span file systems: the size and the last write
    // must agree as well.
    BY_HANDLE_FILE_INFORMATION infoA, infoB;
    return GetFileIdentity(wsA, infoA) && GetFileIdentity(wsB, infoB) &&
           infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber && infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow && infoA.nFileSizeHigh == infoB.nFileSizeHigh &&
           infoA.nFileSizeLow == infoB.nFileSizeLow &&
           ::CompareFileTime(&infoA.ftLastWriteTime, &infoB.ftLastWriteTime) == 0;
}

std::string GetVersionTextOf(const std::string& csExeName)
{
    std::string csPath = FindExecutableFile(csExeName);
    if (csPath.empty())
        return std::string();
    return GetVersionTextCache().Get(csPath);
}

DWORD GetVersionReadCount()
{
    return GetVersionTextCache().GetReadCount();
}

std::string GetFileVersionText(const std::string& csPath)
{
    // The file is read once, into a buffer that any resource fits, instead
    // of asking GetFileVersionInfoSizeA for the size first: each of the two
    // calls opens and maps the whole file, about 0.45 ms under Wine 8
    // (measured with ovrbench parts). The buffer is not zero-filled: the
    // call fills what the resource holds and VerQueryValueA reads no more.
    std::unique_ptr<BYTE[]> pbInfo(new (std::nothrow) BYTE[(size_t)c_cbVersionInfoBuffer + 32]);
    if (!pbInfo) {
        DEBUG_TRACE_MSG("Insufficient memory");
        return std::string();
    }
    // No file, no resource: an empty text, as a size of 0 would have given.
    if (!::GetFileVersionInfoA(csPath.c_str(), 0, c_cbVersionInfoBuffer, pbInfo.get()))
        return std::string();

    DWORD dwFallback = 0;
    const DWORD* pdwTranslation = FindTranslation(pbInfo.get(), dwFallback);
    std::string csProduct = "-";
    std::string csFile = "-";
    if (pdwTranslation != NULL)
        QueryVersionString(pbInfo.get(), pdwTranslation, "ProductVersion", &csProduct);
    std::string csText = csProduct;
    if (pdwTranslation != NULL && QueryVersionString(pbInfo.get(), pdwTranslation, "FileVersion", &csFile))
        csText += "-" + csFile;
    return csText;
}

BOOL QueryVersionString(const void* pvVersionInfo, const DWORD* pdwTranslation, const char* pszValueName,
                        std::string* pcsValue)
{
    if (pvVersionInfo == NULL || pdwTranslation == NULL || pszValueName == NULL || pcsValue == NULL)
        return FALSE;
    char szSubBlock[1024];
    // snprintf, unlike _snprintf, terminates a cut result.
    snprintf(szSubBlock, DIM(szSubBlock), "\\StringFileInfo\\%04x%04x\\%s", LOWORD(*pdwTranslation),
             HIWORD(*pdwTranslation), pszValueName);
    LPVOID pvValue = NULL;
    UINT cchValue = 0;
    if (!::VerQueryValueA(pvVersionInfo, szSubBlock, &pvValue, &cchValue) || pvValue == NULL || cchValue == 0)
        return FALSE;
    // The length counts the terminating zero; it also bounds a value without one.
    *pcsValue = std::string((const char*)pvValue, strnlen((const char*)pvValue, cchValue));
    return TRUE;
}
