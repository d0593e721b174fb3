#include "common/strutil.h"

#include <mbstring.h>
#include <stdarg.h>
#include <stdio.h>

std::string StrFormat(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    va_list argsCopy;
    va_copy(argsCopy, args);
    int cch = vsnprintf(NULL, 0, pszFormat, args);
    va_end(args);
    std::string cs;
    if (cch > 0) {
        cs.resize((size_t)cch + 1);
        vsnprintf(&cs[0], cs.size(), pszFormat, argsCopy);
        cs.resize((size_t)cch);
    }
    va_end(argsCopy);
    return cs;
}

int StrICmp(const std::string& csLeft, const std::string& csRight)
{
    return _mbsicmp((const unsigned char*)csLeft.c_str(), (const unsigned char*)csRight.c_str());
}

std::string StrLower(const std::string& cs)
{
    std::vector<unsigned char> ab(cs.begin(), cs.end());
    ab.push_back(0);
    _mbslwr(ab.data());
    return std::string((const char*)ab.data(), cs.size());
}

std::string StrUpper(const std::string& cs)
{
    std::vector<unsigned char> ab(cs.begin(), cs.end());
    ab.push_back(0);
    _mbsupr(ab.data());
    return std::string((const char*)ab.data(), cs.size());
}

BOOL StrEndsWithI(const std::string& cs, const std::string& csSuffix)
{
    if (csSuffix.size() > cs.size())
        return FALSE;
    return StrICmp(cs.substr(cs.size() - csSuffix.size()), csSuffix) == 0;
}
