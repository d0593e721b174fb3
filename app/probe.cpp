// Probe targets and one look at each kind, bounded by a time-out.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "probe.h"

#include <stdlib.h>
#include <string.h>

#include "common/handle.h"
#include "common/millitim.h"

namespace {

// The most of a response that is read: the status line comes first.
const size_t c_cbMaxHead = 1024;

BOOL ParsePort(const std::string& csText, WORD& wPort)
{
    if (csText.empty() || csText.size() > 5 || csText.find_first_not_of("0123456789") != std::string::npos)
        return FALSE;
    const long nPort = atol(csText.c_str());
    if (nPort < 1 || nPort > 65535)
        return FALSE;
    wPort = (WORD)nPort;
    return TRUE;
}

// A host as a name or an IPv4 address: no blanks, no separators of ours.
BOOL IsHostText(const std::string& csHost)
{
    return !csHost.empty() && csHost.size() <= 255 && csHost.find_first_of(" \t/:?#@") == std::string::npos;
}

BOOL StartsWith(const std::string& csText, const char* pszPrefix)
{
    return _strnicmp(csText.c_str(), pszPrefix, strlen(pszPrefix)) == 0;
}

// Winsock is started once per process and left running: sockets are made
// for as long as the process probes.
BOOL StartWinsock()
{
    static const int s_nError = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    return s_nError == 0;
}

// Closes the socket it owns.
class CSocket
{
public:
    CSocket() : m_s(INVALID_SOCKET) {}
    ~CSocket()
    {
        if (m_s != INVALID_SOCKET)
            ::closesocket(m_s);
    }
    SOCKET m_s;
};

DWORD MsLeft(ULONGLONG ullDeadline)
{
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    return ullNow < ullDeadline ? (DWORD)(ullDeadline - ullNow) : 0;
}

// Waits until the socket can be written (fWrite) or read, or the deadline.
BOOL WaitSocket(SOCKET s, BOOL fWrite, ULONGLONG ullDeadline)
{
    const DWORD dwLeft = MsLeft(ullDeadline);
    fd_set fdsReady, fdsFailed;
    FD_ZERO(&fdsReady);
    FD_ZERO(&fdsFailed);
    FD_SET(s, &fdsReady);
    FD_SET(s, &fdsFailed);
    timeval tv;
    tv.tv_sec = (long)(dwLeft / 1000);
    tv.tv_usec = (long)(dwLeft % 1000) * 1000;
    const int nReady = ::select(0, fWrite ? NULL : &fdsReady, fWrite ? &fdsReady : NULL, &fdsFailed, &tv);
    return nReady > 0 && FD_ISSET(s, &fdsReady) && !FD_ISSET(s, &fdsFailed);
}

// A non-blocking connect to the target's host and port, within the deadline.
BOOL Connect(const CProbeTarget& target, ULONGLONG ullDeadline, CSocket& sock)
{
    if (!StartWinsock())
        return FALSE;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(target.m_wPort);
    // An address needs no lookup (the usual 127.0.0.1 is one); a lookup
    // costs about as much as the probe under Wine.
    if (::inet_pton(AF_INET, target.m_csHost.c_str(), &addr.sin_addr) != 1) {
        addrinfo hints = {};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        addrinfo* pInfo = NULL;
        if (::getaddrinfo(target.m_csHost.c_str(), std::to_string(target.m_wPort).c_str(), &hints, &pInfo) != 0)
            return FALSE;
        addr = *(const sockaddr_in*)pInfo->ai_addr;
        ::freeaddrinfo(pInfo);
    }
    sock.m_s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long ulNonBlocking = 1;
    if (sock.m_s == INVALID_SOCKET || ::ioctlsocket(sock.m_s, FIONBIO, &ulNonBlocking) != 0)
        return FALSE;
    if (::connect(sock.m_s, (const sockaddr*)&addr, sizeof addr) == 0)
        return TRUE;
    if (::WSAGetLastError() != WSAEWOULDBLOCK || !WaitSocket(sock.m_s, TRUE, ullDeadline))
        return FALSE;
    int nError = 0;
    int cbError = sizeof nError;
    return ::getsockopt(sock.m_s, SOL_SOCKET, SO_ERROR, (char*)&nError, &cbError) == 0 && nError == 0;
}

BOOL ProbeHttp(const CProbeTarget& target, ULONGLONG ullDeadline)
{
    CSocket sock;
    if (!Connect(target, ullDeadline, sock))
        return FALSE;
    const std::string csRequest = "GET " + target.m_csPath + " HTTP/1.0\r\nHost: " + target.m_csHost + ":" +
                                  std::to_string(target.m_wPort) + "\r\nConnection: close\r\n\r\n";
    for (size_t iSent = 0; iSent < csRequest.size();) {
        const int cb = ::send(sock.m_s, csRequest.data() + iSent, (int)(csRequest.size() - iSent), 0);
        if (cb > 0)
            iSent += (size_t)cb;
        else if (::WSAGetLastError() != WSAEWOULDBLOCK || !WaitSocket(sock.m_s, TRUE, ullDeadline))
            return FALSE;
    }
    std::string csHead;
    char achBuffer[256];
    while (csHead.size() < c_cbMaxHead) {
        int nStatus = 0;
        if (ParseHttpStatus(csHead, nStatus))
            return nStatus >= 200 && nStatus <= 299;
        const int cb = ::recv(sock.m_s, achBuffer, sizeof achBuffer, 0);
        if (cb > 0)
            csHead.append(achBuffer, (size_t)cb);
        else if (cb == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK || !WaitSocket(sock.m_s, FALSE, ullDeadline))
            return FALSE;
    }
    return FALSE;
}

BOOL ProbeEvent(const std::string& csName)
{
    CHandle hEvent(::OpenEventA(SYNCHRONIZE, FALSE, csName.c_str()));
    return hEvent.IsValid() && ::WaitForSingleObject(hEvent.Get(), 0) == WAIT_OBJECT_0;
}

}  // namespace

BOOL CProbeTarget::Parse(const std::string& csText, DWORD dwKinds)
{
    *this = CProbeTarget();
    CProbeTarget target;
    if (StartsWith(csText, "tcp:")) {
        target.m_nKind = PROBE_TCP;
        const std::string csRest = csText.substr(4);
        const size_t iColon = csRest.rfind(':');
        target.m_csHost = iColon == std::string::npos ? "127.0.0.1" : csRest.substr(0, iColon);
        if (!IsHostText(target.m_csHost) || !ParsePort(csRest.substr(iColon + 1), target.m_wPort))
            return FALSE;
    } else if (StartsWith(csText, "http://")) {
        target.m_nKind = PROBE_HTTP;
        const std::string csRest = csText.substr(7);
        const size_t iSlash = csRest.find('/');
        const std::string csAuthority = csRest.substr(0, iSlash);
        target.m_csPath = iSlash == std::string::npos ? "/" : csRest.substr(iSlash);
        const size_t iColon = csAuthority.find(':');
        target.m_csHost = csAuthority.substr(0, iColon);
        target.m_wPort = 80;
        if (!IsHostText(target.m_csHost) ||
            (iColon != std::string::npos && !ParsePort(csAuthority.substr(iColon + 1), target.m_wPort)) ||
            target.m_csPath.find_first_of(" \t\r\n") != std::string::npos)
            return FALSE;
    } else if (StartsWith(csText, "file:") || StartsWith(csText, "event:")) {
        const BOOL fFile = StartsWith(csText, "file:");
        target.m_nKind = fFile ? PROBE_FILE : PROBE_EVENT;
        target.m_csPath = csText.substr(fFile ? 5 : 6);
        if (target.m_csPath.empty() || target.m_csPath.size() >= MAX_PATH)
            return FALSE;
    } else {
        return FALSE;
    }
    if ((dwKinds & (1u << target.m_nKind)) == 0)
        return FALSE;
    *this = target;
    return TRUE;
}

BOOL ParseHttpStatus(const std::string& csHead, int& nStatus)
{
    // "HTTP/1.x NNN": the status is the three digits after the first blank.
    const size_t iEnd = csHead.find('\n');
    if (iEnd == std::string::npos || csHead.compare(0, 5, "HTTP/") != 0)
        return FALSE;
    const size_t iBlank = csHead.find(' ');
    if (iBlank == std::string::npos || iBlank + 4 > iEnd)
        return FALSE;
    const std::string csCode = csHead.substr(iBlank + 1, 3);
    if (csCode.find_first_not_of("0123456789") != std::string::npos)
        return FALSE;
    nStatus = atoi(csCode.c_str());
    return TRUE;
}

BOOL RunProbe(const CProbeTarget& target, DWORD dwTimeoutMs)
{
    const ULONGLONG ullDeadline = GetMonotonicMilliseconds() + dwTimeoutMs;
    switch (target.m_nKind) {
    case PROBE_TCP: {
        CSocket sock;
        return Connect(target, ullDeadline, sock);
    }
    case PROBE_HTTP:
        return ProbeHttp(target, ullDeadline);
    case PROBE_FILE:
        return ::GetFileAttributesA(target.m_csPath.c_str()) != INVALID_FILE_ATTRIBUTES;
    case PROBE_EVENT:
        return ProbeEvent(target.m_csPath);
    default:
        return FALSE;
    }
}
