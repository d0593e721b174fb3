// Texts of Win32 and Winsock error codes.
#include <stdio.h>

#include "common/filestuf.h"

namespace {

struct CWinsockEntry
{
    DWORD m_dwCode;
    const char* m_pszText;
};

// Used when the system has no message for a Winsock code.
const CWinsockEntry s_aWinsockErrors[] = {
    {10004, "Winsock error: WSAEINTR"},
    {10009, "Winsock error: WSAEBADF"},
    {10013, "Winsock error: WSAEACCES"},
    {10014, "Winsock error: WSAEFAULT"},
    {10022, "Winsock error: WSAEINVAL"},
    {10024, "Winsock error: WSAEMFILE"},
    {10035, "Winsock error: WSAEWOULDBLOCK"},
    {10036, "Winsock error: WSAEINPROGRESS, blocking function is in progress."},
    {10037, "Winsock error: WSAEALREADY"},
    {10038, "Winsock error: WSAENOTSOCK"},
    {10039, "Winsock error: WSAEDESTADDRREQ"},
    {10040, "Winsock error: WSAEMSGSIZE"},
    {10041, "Winsock error: WSAEPROTOTYPE"},
    {10042, "Winsock error: WSAENOPROTOOPT"},
    {10043, "Winsock error: WSAEPROTONOSUPPORT"},
    {10044, "Winsock error: WSAESOCKTNOSUPPORT"},
    {10045, "Winsock error: WSAEOPNOTSUPP"},
    {10046, "Winsock error: WSAEPFNOSUPPORT"},
    {10047, "Winsock error: WSAEAFNOSUPPORT"},
    {10048, "Winsock error: WSAEADDRINUSE"},
    {10049, "Winsock error: WSAEADDRNOTAVAIL"},
    {10050, "Winsock error: WSAENETDOWN, underlying failure was detected"},
    {10051, "Winsock error: WSAENETUNREACH"},
    {10052, "Winsock error: WSAENETRESET"},
    {10053, "Winsock error: WSAECONNABORTED"},
    {10054, "Winsock error: WSAECONNRESET"},
    {10055, "Winsock error: WSAENOBUFS"},
    {10056, "Winsock error: WSAEISCONN"},
    {10057, "Winsock error: WSAENOTCONN"},
    {10058, "Winsock error: WSAESHUTDOWN"},
    {10059, "Winsock error: WSAETOOMANYREFS"},
    {10060, "Winsock error: WSAETIMEDOUT"},
    {10061, "Winsock error: WSAECONNREFUSED"},
    {10062, "Winsock error: WSAELOOP"},
    {10063, "Winsock error: WSAENAMETOOLONG"},
    {10064, "Winsock error: WSAEHOSTDOWN"},
    {10065, "Winsock error: WSAEHOSTUNREACH"},
    {10091, "Winsock error: WSASYSNOTREADY, WSAStartup() detected that the network subsystem is unusable"},
    {10092, "Winsock error: WSAVERNOTSUPPORTED, The Windows Socktes DLL cannot support this application"},
    {10093, "Winsock error: WSANOTINITIALISED, WSAStartup() has not yet been called successfully"},
    {11001, "Winsock error: WSAHOST_NOT_FOUND"},
    {11002, "Winsock error: WSATRY_AGAIN"},
    {11003, "Winsock error: WSANO_RECOVERY"},
    {11004, "Winsock error: WSANO_DATA"},
};

}  // namespace

const char* GetWinsockErrorString(DWORD dwError)
{
    for (const CWinsockEntry& entry : s_aWinsockErrors) {
        if (entry.m_dwCode == dwError)
            return entry.m_pszText;
    }
    return NULL;
}

std::string ErrorText(DWORD dwError)
{
    DWORD dwSavedError = ::GetLastError();
    char szMessage[254];
    DWORD cch = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                 NULL, dwError,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), szMessage, sizeof szMessage, NULL);
    std::string csMessage;
    if (cch > 0) {
        csMessage.assign(szMessage, cch);
    } else {
        const char* pszWinsock = GetWinsockErrorString(dwError);
        csMessage = pszWinsock != NULL ? pszWinsock : "No error string available";
    }
    if (!csMessage.empty() && csMessage.back() == '\n')
        csMessage.pop_back();
    if (!csMessage.empty() && csMessage.back() == '\r')
        csMessage.pop_back();
    while (!csMessage.empty() && csMessage.back() == ' ')
        csMessage.pop_back();
    char szCode[16];
    snprintf(szCode, sizeof szCode, "%lu", (unsigned long)dwError);
    ::SetLastError(dwSavedError);
    return std::string(szCode) + " (" + csMessage + ")";
}

std::string LastErrorText()
{
    return ErrorText(::GetLastError());
}
