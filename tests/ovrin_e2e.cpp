#include "ovrin_e2e.h"

#include "common/filestuf.h"
#include "e2e_util.h"
#include "helpers/childpath.h"

COvrinProcess::COvrinProcess() : m_hInput(NULL), m_hOutput(NULL), m_hReader(NULL)
{
    ZeroMemory(&m_pi, sizeof m_pi);
    ::InitializeCriticalSection(&m_critsec);
}

COvrinProcess::~COvrinProcess()
{
    Kill();
    if (m_hReader != NULL) {
        ::WaitForSingleObject(m_hReader, 5000);
        ::CloseHandle(m_hReader);
    }
    if (m_hOutput != NULL)
        ::CloseHandle(m_hOutput);
    ::DeleteCriticalSection(&m_critsec);
    if (!m_csDir.empty())
        RemoveDirectoryTree(m_csDir);
}

BOOL COvrinProcess::Start(const std::string& csExeName, const std::string& csDefinition, const std::string& csArgs)
{
    Prepare(csExeName);
    return Launch(csDefinition, csArgs);
}

void COvrinProcess::Prepare(const std::string& csExeName)
{
    m_csExeName = csExeName;
    m_csDir = MakeTempDirectory("ovre2e");
    m_csExePath = CopyOvrinTo(m_csDir, csExeName);
}

BOOL COvrinProcess::Launch(const std::string& csDefinition, const std::string& csArgs)
{
    if (!csDefinition.empty())
        WriteTextFile(m_csDir + "\\" + StripExtension(m_csExeName) + ".inf", csDefinition);

    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    HANDLE hInRead, hOutWrite;
    ::CreatePipe(&hInRead, &m_hInput, &sa, 0);
    ::CreatePipe(&m_hOutput, &hOutWrite, &sa, 1 << 16);
    ::SetHandleInformation(m_hInput, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(m_hOutput, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hInRead;
    si.hStdOutput = hOutWrite;
    si.hStdError = hOutWrite;
    std::string csCommandLine = "\"" + m_csExePath + "\" " + csArgs;
    std::vector<char> acCommandLine(csCommandLine.begin(), csCommandLine.end());
    acCommandLine.push_back('\0');
    BOOL fOk = ::CreateProcessA(NULL, acCommandLine.data(), NULL, NULL, TRUE, 0, NULL, m_csDir.c_str(), &si, &m_pi);
    ::CloseHandle(hInRead);
    ::CloseHandle(hOutWrite);
    m_hReader = ::CreateThread(NULL, 0, ReadOutput, this, 0, NULL);
    return fOk;
}

DWORD WINAPI COvrinProcess::ReadOutput(LPVOID pv)
{
    COvrinProcess* pThis = static_cast<COvrinProcess*>(pv);
    char ab[4096];
    DWORD cb = 0;
    while (::ReadFile(pThis->m_hOutput, ab, sizeof ab, &cb, NULL) && cb > 0) {
        ::EnterCriticalSection(&pThis->m_critsec);
        pThis->m_csOutput.append(ab, cb);
        ::LeaveCriticalSection(&pThis->m_critsec);
    }
    return 0;
}

void COvrinProcess::CopyChild(const std::string& csName)
{
    ::CopyFileA(GetChildProcPath().c_str(), (m_csDir + "\\" + csName).c_str(), FALSE);
}

void COvrinProcess::WriteInput(const std::string& csText)
{
    DWORD cb = 0;
    if (m_hInput != NULL)
        ::WriteFile(m_hInput, csText.data(), (DWORD)csText.size(), &cb, NULL);
}

void COvrinProcess::CloseInput()
{
    if (m_hInput != NULL) {
        ::CloseHandle(m_hInput);
        m_hInput = NULL;
    }
}

std::string COvrinProcess::Output()
{
    ::EnterCriticalSection(&m_critsec);
    std::string cs = m_csOutput;
    ::LeaveCriticalSection(&m_critsec);
    return cs;
}

size_t COvrinProcess::WaitForOutput(const std::string& csText, DWORD dwTimeoutMs, size_t iFrom)
{
    DWORD dwStart = ::GetTickCount();
    for (;;) {
        size_t i = Output().find(csText, iFrom);
        if (i != std::string::npos)
            return i;
        if (::GetTickCount() - dwStart >= dwTimeoutMs)
            return std::string::npos;
        ::Sleep(20);
    }
}

BOOL COvrinProcess::WaitForExit(DWORD dwTimeoutMs)
{
    return m_pi.hProcess == NULL || ::WaitForSingleObject(m_pi.hProcess, dwTimeoutMs) == WAIT_OBJECT_0;
}

DWORD COvrinProcess::GetExitCode()
{
    DWORD dw = 0;
    if (m_pi.hProcess != NULL)
        ::GetExitCodeProcess(m_pi.hProcess, &dw);
    return dw;
}

void COvrinProcess::Kill()
{
    CloseInput();
    if (m_pi.hProcess != NULL) {
        if (::WaitForSingleObject(m_pi.hProcess, 0) != WAIT_OBJECT_0) {
            ::TerminateProcess(m_pi.hProcess, 99);
            ::WaitForSingleObject(m_pi.hProcess, 5000);
        }
        ::CloseHandle(m_pi.hProcess);
        ::CloseHandle(m_pi.hThread);
        ZeroMemory(&m_pi, sizeof m_pi);
    }
}

CTestClient::CTestClient() : m_hPipe(INVALID_HANDLE_VALUE), m_hReader(NULL), m_fEnded(FALSE)
{
    ::InitializeCriticalSection(&m_critsec);
    m_hArrived = ::CreateEventA(NULL, FALSE, FALSE, NULL);
}

CTestClient::~CTestClient()
{
    Close();
    ::CloseHandle(m_hArrived);
    ::DeleteCriticalSection(&m_critsec);
}

BOOL CTestClient::Connect(const std::string& csExeName, DWORD dwTimeoutMs, BOOL fRead)
{
    std::string csPath = "\\\\.\\pipe\\" + GetControlPipeName(csExeName);
    DWORD dwStart = ::GetTickCount();
    for (;;) {
        m_hPipe = ::CreateFileA(csPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, NULL);
        if (m_hPipe != INVALID_HANDLE_VALUE)
            break;
        if (::GetTickCount() - dwStart >= dwTimeoutMs)
            return FALSE;
        ::WaitNamedPipeA(csPath.c_str(), 50);
        ::Sleep(20);
    }
    DWORD dwMode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(m_hPipe, &dwMode, NULL, NULL);
    if (fRead)
        m_hReader = ::CreateThread(NULL, 0, ReadLoop, this, 0, NULL);
    return TRUE;
}

DWORD WINAPI CTestClient::ReadLoop(LPVOID pv)
{
    CTestClient* pThis = static_cast<CTestClient*>(pv);
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    std::vector<char> ab(1 << 16);
    for (;;) {
        ::ResetEvent(ov.hEvent);
        DWORD cb = 0;
        BOOL fOk = ::ReadFile(pThis->m_hPipe, ab.data(), (DWORD)ab.size(), &cb, &ov);
        if (!fOk && ::GetLastError() == ERROR_IO_PENDING)
            fOk = ::GetOverlappedResult(pThis->m_hPipe, &ov, &cb, TRUE);
        if (!fOk)
            break;
        ::EnterCriticalSection(&pThis->m_critsec);
        pThis->m_acsMessages.push_back(std::string(ab.data(), cb));
        ::LeaveCriticalSection(&pThis->m_critsec);
        ::SetEvent(pThis->m_hArrived);
    }
    ::CloseHandle(ov.hEvent);
    ::EnterCriticalSection(&pThis->m_critsec);
    pThis->m_fEnded = TRUE;
    ::LeaveCriticalSection(&pThis->m_critsec);
    ::SetEvent(pThis->m_hArrived);
    return 0;
}

BOOL CTestClient::SendRaw(const std::string& csBytes)
{
    OVERLAPPED ov = {};
    ov.hEvent = ::CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD cb = 0;
    BOOL fOk = ::WriteFile(m_hPipe, csBytes.data(), (DWORD)csBytes.size(), &cb, &ov);
    if (!fOk && ::GetLastError() == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(ov.hEvent, 10000) == WAIT_OBJECT_0) {
            fOk = ::GetOverlappedResult(m_hPipe, &ov, &cb, FALSE);
        } else {
            ::CancelIo(m_hPipe);
            ::GetOverlappedResult(m_hPipe, &ov, &cb, TRUE);
        }
    }
    ::CloseHandle(ov.hEvent);
    return fOk;
}

BOOL CTestClient::Send(DWORD dwKind, const std::string& csName)
{
    CControlMessage msg;
    msg.m_dwKind = dwKind;
    msg.m_csName = csName;
    CDataBlock block;
    if (!msg.Serialize(block))
        return FALSE;
    return SendRaw(std::string((const char*)block.GetData(), block.GetLength()));
}

BOOL CTestClient::Receive(CControlMessage& msg, DWORD dwTimeoutMs)
{
    DWORD dwStart = ::GetTickCount();
    for (;;) {
        ::EnterCriticalSection(&m_critsec);
        BOOL fHave = !m_acsMessages.empty();
        std::string csBytes;
        if (fHave) {
            csBytes = m_acsMessages.front();
            m_acsMessages.pop_front();
        }
        BOOL fEnded = m_fEnded;
        ::LeaveCriticalSection(&m_critsec);
        if (fHave)
            return msg.Deserialize((const BYTE*)csBytes.data(), (DWORD)csBytes.size());
        DWORD dwElapsed = ::GetTickCount() - dwStart;
        if (fEnded || dwElapsed >= dwTimeoutMs)
            return FALSE;
        ::WaitForSingleObject(m_hArrived, dwTimeoutMs - dwElapsed);
    }
}

std::vector<std::string> CTestClient::ReceiveTextsUntil(const std::string& csLast, DWORD dwTimeoutMs)
{
    std::vector<std::string> acsTexts;
    DWORD dwStart = ::GetTickCount();
    CControlMessage msg;
    for (;;) {
        DWORD dwElapsed = ::GetTickCount() - dwStart;
        if (dwElapsed >= dwTimeoutMs || !Receive(msg, dwTimeoutMs - dwElapsed))
            return acsTexts;
        if (msg.m_dwKind != MSG_TEXT)
            continue;
        acsTexts.push_back(msg.m_csText);
        if (msg.m_csText.compare(0, csLast.size(), csLast) == 0)
            return acsTexts;
    }
}

std::vector<CControlMessage> CTestClient::Drain(DWORD dwQuietMs)
{
    std::vector<CControlMessage> aMessages;
    CControlMessage msg;
    while (Receive(msg, dwQuietMs))
        aMessages.push_back(msg);
    return aMessages;
}

BOOL CTestClient::HasEnded()
{
    ::EnterCriticalSection(&m_critsec);
    BOOL f = m_fEnded;
    ::LeaveCriticalSection(&m_critsec);
    return f;
}

void CTestClient::Close()
{
    if (m_hPipe != INVALID_HANDLE_VALUE) {
        ::CancelIoEx(m_hPipe, NULL);
        ::CloseHandle(m_hPipe);
        m_hPipe = INVALID_HANDLE_VALUE;
    }
    if (m_hReader != NULL) {
        ::WaitForSingleObject(m_hReader, 5000);
        ::CloseHandle(m_hReader);
        m_hReader = NULL;
    }
}
