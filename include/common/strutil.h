// String helpers shared by the whole program: printf-style formatting and
// the multibyte-aware, case-insensitive compare of the ANSI code page.
// Strings are std::string; arrays are std::vector. Any thread may call these.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

typedef std::vector<std::string> CStringArray;
typedef std::vector<DWORD> CDWordArray;

// printf-style formatting into a new string.
std::string StrFormat(const char* pszFormat, ...)
#ifdef __GNUC__
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;

// Compares without regard to case, multibyte-aware (as _mbsicmp does).
int StrICmp(const std::string& csLeft, const std::string& csRight);
inline BOOL StrIEqual(const std::string& csLeft, const std::string& csRight)
{
    return StrICmp(csLeft, csRight) == 0;
}

// Lower-case and upper-case copies (multibyte-aware).
std::string StrLower(const std::string& cs);
std::string StrUpper(const std::string& cs);

// TRUE when cs ends with csSuffix, compared without regard to case.
BOOL StrEndsWithI(const std::string& cs, const std::string& csSuffix);
