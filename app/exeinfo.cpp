// Executable lookup and version text.
#include "exeinfo.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <memory>
#include <new>

#include "common/assertex.h"
#include "common/debug.h"
#include "common/filestuf.h"

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

std::string GetVersionTextOf(const std::string& csExeName)
{
    std::string csPath = FindExecutableFile(csExeName);
    if (csPath.empty())
        return std::string();
    return GetFileVersionText(csPath);
}

std::string GetFileVersionText(const std::string& csPath)
{
    // The status command reads every process's resource, so the file is
    // read once, into a buffer that any resource fits, instead of asking
    // GetFileVersionInfoSizeA for the size first: each of the two calls
    // opens and maps the whole file, about 0.45 ms under Wine 8 (measured
    // with ovrbench parts), which doubled the cost of a status line.
    std::unique_ptr<BYTE[]> pbInfo(new (std::nothrow) BYTE[(size_t)c_cbVersionInfoBuffer + 32]());
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
