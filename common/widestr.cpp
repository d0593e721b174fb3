#include "common/widestr.h"

#include <wchar.h>


namespace {

// The one buffer behind every empty string.
const WCHAR g_wszEmpty[1] = {0};

}  // namespace

CWideString::CWideString(const WCHAR* pwch, int cch)
{
    Assign(pwch, cch);
}

CWideString::CWideString(const WCHAR* pwsz)
{
    if (pwsz != NULL)
        Assign(pwsz, (int)wcslen(pwsz));
}

CWideString::CWideString(const char* psz)
{
    if (psz == NULL || *psz == '\0')
        return;
    const DWORD dwSavedError = ::GetLastError();
    const int cchWide = ::MultiByteToWideChar(CP_ACP, 0, psz, -1, NULL, 0);
    if (cchWide > 1) {
        m_ws.resize((size_t)cchWide);
        ::MultiByteToWideChar(CP_ACP, 0, psz, -1, &m_ws[0], cchWide);
        m_ws.resize((size_t)cchWide - 1);
    }
    ::SetLastError(dwSavedError);
}

CWideString::CWideString(const std::string& cs) : CWideString(cs.c_str())
{
}

const WCHAR* CWideString::GetString() const
{
    return m_ws.empty() ? g_wszEmpty : m_ws.c_str();
}

void CWideString::Empty()
{
    // Releases the storage too, so that an emptied string holds nothing.
    std::wstring().swap(m_ws);
}

void CWideString::Assign(const WCHAR* pwch, int cch)
{
    if (pwch == NULL || cch <= 0)
        Empty();
    else
        m_ws.assign(pwch, (size_t)cch);
}

std::string CWideString::ToAnsi() const
{
    return WideToAnsi(m_ws.c_str(), (int)m_ws.size());
}

std::string WideToAnsi(const WCHAR* pwch, int cch)
{
    if (pwch == NULL || cch <= 0)
        return std::string();
    int cchUsed = 0;
    while (cchUsed < cch && pwch[cchUsed] != 0)
        cchUsed++;
    if (cchUsed == 0)
        return std::string();
    const DWORD dwSavedError = ::GetLastError();
    std::string cs;
    const int cbAnsi = ::WideCharToMultiByte(CP_ACP, 0, pwch, cchUsed, NULL, 0, NULL, NULL);
    if (cbAnsi > 0) {
        cs.resize((size_t)cbAnsi);
        ::WideCharToMultiByte(CP_ACP, 0, pwch, cchUsed, &cs[0], cbAnsi, NULL, NULL);
    }
    ::SetLastError(dwSavedError);
    return cs;
}
