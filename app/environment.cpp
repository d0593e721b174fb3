// ENV entries and the environment block built from them.
#include "environment.h"

#include <algorithm>
#include <set>

namespace {

std::wstring AnsiToWide(const std::string& cs)
{
    if (cs.empty())
        return std::wstring();
    int cch = ::MultiByteToWideChar(CP_ACP, 0, cs.data(), (int)cs.size(), NULL, 0);
    std::wstring ws((size_t)(cch > 0 ? cch : 0), L'\0');
    if (cch > 0)
        ::MultiByteToWideChar(CP_ACP, 0, cs.data(), (int)cs.size(), &ws[0], cch);
    return ws;
}

// The name of a block string: up to its first "=" after the first
// character (the hidden per-drive variables start with one).
std::wstring NameOf(const std::wstring& wsEntry)
{
    size_t iEqual = wsEntry.find(L'=', 1);
    return wsEntry.substr(0, iEqual);
}

std::wstring UpperWide(std::wstring ws)
{
    if (!ws.empty())
        ::CharUpperBuffW(&ws[0], (DWORD)ws.size());
    return ws;
}

std::wstring ExpandWide(const std::wstring& wsValue)
{
    if (wsValue.find(L'%') == std::wstring::npos)
        return wsValue;
    // The result may grow while it is asked for (another thread setting a
    // variable): a few tries, then the value as written.
    DWORD cch = (DWORD)wsValue.size() + 256;
    for (int nTry = 0; nTry < 4; nTry++) {
        std::wstring wsOut(cch, L'\0');
        DWORD cchNeeded = ::ExpandEnvironmentStringsW(wsValue.c_str(), &wsOut[0], cch);
        if (cchNeeded == 0)
            break;
        if (cchNeeded <= cch) {
            wsOut.resize(cchNeeded - 1);
            return wsOut;
        }
        cch = cchNeeded;
    }
    return wsValue;
}

}  // namespace

BOOL SplitEnvEntry(const std::string& csEntry, std::string& csName, std::string& csValue)
{
    const size_t iEqual = csEntry.find('=');
    if (iEqual == std::string::npos || iEqual == 0)
        return FALSE;
    csName = csEntry.substr(0, iEqual);
    csValue = csEntry.substr(iEqual + 1);
    return TRUE;
}

CStringArray CombineEnvEntries(const CStringArray& acsGlobal, const CStringArray& acsOwn)
{
    auto Less = [](const std::string& csA, const std::string& csB) { return StrICmp(csA, csB) < 0; };
    std::set<std::string, decltype(Less)> setOwn(Less);
    std::string csName, csValue;
    for (const std::string& csEntry : acsOwn) {
        if (SplitEnvEntry(csEntry, csName, csValue))
            setOwn.insert(csName);
    }
    CStringArray acsCombined;
    for (const std::string& csEntry : acsGlobal) {
        if (SplitEnvEntry(csEntry, csName, csValue) && setOwn.count(csName) == 0)
            acsCombined.push_back(csEntry);
    }
    acsCombined.insert(acsCombined.end(), acsOwn.begin(), acsOwn.end());
    return acsCombined;
}

CStringArray EffectiveEnvEntries(const CStringArray& acsEntries)
{
    CStringArray acsEffective;
    std::string csName, csValue;
    for (const std::string& csEntry : acsEntries) {
        if (!SplitEnvEntry(csEntry, csName, csValue))
            continue;
        const std::string csKey = StrUpper(csName) + "=";
        auto it = std::find_if(acsEffective.begin(), acsEffective.end(), [&](const std::string& cs) {
            return cs.compare(0, csKey.size(), csKey) == 0;
        });
        if (it != acsEffective.end())
            *it = csKey + csValue;
        else
            acsEffective.push_back(csKey + csValue);
    }
    std::sort(acsEffective.begin(), acsEffective.end());
    return acsEffective;
}

std::vector<std::wstring> GetProcessEnvironment()
{
    std::vector<std::wstring> awsEntries;
    LPWCH pwchBlock = ::GetEnvironmentStringsW();
    if (pwchBlock == NULL)
        return awsEntries;
    for (const WCHAR* pwch = pwchBlock; *pwch != L'\0';) {
        std::wstring wsEntry(pwch);
        pwch += wsEntry.size() + 1;
        awsEntries.push_back(wsEntry);
    }
    ::FreeEnvironmentStringsW(pwchBlock);
    return awsEntries;
}

std::vector<std::wstring> BuildProcessEnvironment(const std::vector<std::wstring>& awsBase,
                                                  const CStringArray& acsEntries)
{
    std::vector<std::wstring> awsBlock = awsBase;
    std::string csName, csValue;
    for (const std::string& csEntry : acsEntries) {
        if (!SplitEnvEntry(csEntry, csName, csValue))
            continue;
        const std::wstring wsName = AnsiToWide(csName);
        const std::wstring wsUpper = UpperWide(wsName);
        const std::wstring wsEntry = wsName + L"=" + ExpandWide(AnsiToWide(csValue));
        auto it = std::find_if(awsBlock.begin(), awsBlock.end(),
                               [&](const std::wstring& ws) { return UpperWide(NameOf(ws)) == wsUpper; });
        if (it != awsBlock.end())
            *it = wsEntry;
        else
            awsBlock.push_back(wsEntry);
    }
    // Windows keeps a block sorted by name without regard to case, and some
    // programs look variables up in it as if it were.
    std::stable_sort(awsBlock.begin(), awsBlock.end(), [](const std::wstring& wsA, const std::wstring& wsB) {
        return UpperWide(NameOf(wsA)) < UpperWide(NameOf(wsB));
    });
    return awsBlock;
}
