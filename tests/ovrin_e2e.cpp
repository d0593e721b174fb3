#include "ovrin_e2e.h"

#include "common/filestuf.h"
#include "common/serial.h"
#include "e2e_util.h"

COvrinProcess::COvrinProcess() : m_llLaunched(0)
{
    ZeroMemory(&m_pi, sizeof m_pi);
    ::InitializeCriticalSection(&m_critsec);
}

COvrinProcess::~COvrinProcess()
{
    Cleanup();
    if (m_hReader.IsValid()) {
        // Every writer of the output pipe ended with the job.
        if (::WaitForSingleObject(m_hReader.Get(), 5000) != WAIT_OBJECT_0)
            ::CancelSynchronousIo(m_hReader.Get());
        ::WaitForSingleObject(m_hReader.Get(), 2000);
        m_hReader.Reset();
    }
    m_hOutput.Reset();
    ::DeleteCriticalSection(&m_critsec);
    if (!m_csDir.empty())
        RemoveDirectoryTree(m_csDir);
}

BOOL COvrinProcess::Start(const std::string& csExeName, const std::string& csDefinition, const std::string& csArgs)
{
    return Prepare(csExeName) && Launch(csDefinition, csArgs);
}

BOOL COvrinProcess::Prepare(const std::string& csExeName)
{
    m_csExeName = csExeName;
    m_csDir = MakeTempDirectory("ovre2e");
    m_csExePath = GetPath(csExeName);
    // A copy: see CopyChild.
    return ::CopyFileA((GetTestDirectory() + "Ovrin.exe").c_str(), m_csExePath.c_str(), FALSE);
}

BOOL COvrinProcess::CopyChild(const std::string& csName)
{
    return PlaceChild(m_csDir, csName);
}

BOOL COvrinProcess::Launch(const std::string& csDefinition, const std::string& csArgs)
{
    if (!csDefinition.empty() && !WriteTextFile(GetPath(StripExtension(m_csExeName) + ".inf"), csDefinition))
        return FALSE;
    CHandle hInRead, hOutWrite;
    CreateChildPipe(hInRead, m_hInput, FALSE, 0);
    CreateChildPipe(m_hOutput, hOutWrite, TRUE, 1 << 16);
    STARTUPINFOA si = MakeStdHandlesStartupInfo(hInRead.Get(), hOutWrite.Get(), hOutWrite.Get());
    std::string csCommandLine = "\"" + m_csExePath + "\" " + csArgs;
    std::vector<char> acCommandLine(csCommandLine.begin(), csCommandLine.end());
    acCommandLine.push_back('\0');
    // Suspended until it is in the job, so that no child escapes it.
    m_hJob.Reset(::CreateJobObjectA(NULL, NULL));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(m_hJob.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
    m_llLaunched = NowTicks();
    BOOL fOk = ::CreateProcessA(NULL, acCommandLine.data(), NULL, NULL, TRUE, CREATE_SUSPENDED, NULL,
                                m_csDir.c_str(), &si, &m_pi);
    // Our copies of the child's ends go, so that the output pipe ends with
    // the supervisor and its children.
    hInRead.Reset();
    hOutWrite.Reset();
    if (fOk) {
        ::AssignProcessToJobObject(m_hJob.Get(), m_pi.hProcess);
        ::ResumeThread(m_pi.hThread);
    }
    m_hReader.Reset(::CreateThread(NULL, 0, ReadOutput, this, 0, NULL));
    return fOk;
}

DWORD WINAPI COvrinProcess::ReadOutput(LPVOID pv)
{
    COvrinProcess* pThis = static_cast<COvrinProcess*>(pv);
    char ab[8192];
    DWORD cb = 0;
    while (::ReadFile(pThis->m_hOutput.Get(), ab, sizeof ab, &cb, NULL) && cb > 0) {
        const LONGLONG llAt = NowTicks();
        ::EnterCriticalSection(&pThis->m_critsec);
        pThis->m_csOutput.append(ab, cb);
        pThis->m_csPartial.append(ab, cb);
        size_t iEnd;
        while ((iEnd = pThis->m_csPartial.find('\n')) != std::string::npos) {
            std::string csLine = pThis->m_csPartial.substr(0, iEnd);
            if (!csLine.empty() && csLine.back() == '\r')
                csLine.pop_back();
            pThis->m_acsLines.push_back(csLine);
            pThis->m_allLineTimes.push_back(llAt);
            pThis->m_csPartial.erase(0, iEnd + 1);
        }
        ::LeaveCriticalSection(&pThis->m_critsec);
    }
    return 0;
}

void COvrinProcess::WriteInput(const std::string& csText)
{
    DWORD cb = 0;
    if (m_hInput.IsValid())
        ::WriteFile(m_hInput.Get(), csText.data(), (DWORD)csText.size(), &cb, NULL);
}

void COvrinProcess::CloseInput()
{
    m_hInput.Reset();
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
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        const size_t i = Output().find(csText, iFrom);
        if (i != std::string::npos)
            return i;
        if (::GetTickCount() - dwStart >= dwTimeoutMs)
            return std::string::npos;
        ::Sleep(10);
    }
}

BOOL COvrinProcess::WaitForLine(const std::string& csPrefix, DWORD dwTimeoutMs, size_t* piLine, LONGLONG* pllAt,
                                size_t iFrom)
{
    const DWORD dwStart = ::GetTickCount();
    size_t iNext = iFrom;
    for (;;) {
        ::EnterCriticalSection(&m_critsec);
        for (; iNext < m_acsLines.size(); iNext++) {
            if (m_acsLines[iNext].compare(0, csPrefix.size(), csPrefix) == 0) {
                if (piLine != NULL)
                    *piLine = iNext;
                if (pllAt != NULL)
                    *pllAt = m_allLineTimes[iNext];
                ::LeaveCriticalSection(&m_critsec);
                return TRUE;
            }
        }
        ::LeaveCriticalSection(&m_critsec);
        if (::GetTickCount() - dwStart >= dwTimeoutMs)
            return FALSE;
        ::Sleep(2);
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
    if (m_hJob.IsValid()) {
        ::TerminateJobObject(m_hJob.Get(), 99);
        m_hJob.Reset();
    }
    if (m_pi.hProcess != NULL) {
        ::WaitForSingleObject(m_pi.hProcess, 5000);
        ::CloseHandle(m_pi.hProcess);
        ::CloseHandle(m_pi.hThread);
        // The ids stay: what the supervisor reported is found by them.
        m_pi.hProcess = m_pi.hThread = NULL;
    }
}

size_t COvrinProcess::Cleanup()
{
    // Counted before the job ends them: what a quit left running.
    const size_t cLeft = m_csChildPrefix.empty() ? 0 : FindProcessesWithPrefix(m_csChildPrefix).size();
    Kill();
    if (!m_csChildPrefix.empty())
        KillProcessesWithPrefix(m_csChildPrefix);
    return cLeft;
}

CTestClient::CTestClient()
    : m_hArrived(::CreateEventA(NULL, FALSE, FALSE, NULL)), m_hWriteEvent(::CreateEventA(NULL, TRUE, FALSE, NULL)),
      m_fEnded(FALSE)
{
    ::InitializeCriticalSection(&m_critsec);
}

CTestClient::~CTestClient()
{
    Close();
    ::DeleteCriticalSection(&m_critsec);
}

BOOL CTestClient::Connect(const std::string& csExeName, DWORD dwTimeoutMs, BOOL fRead)
{
    Close();
    m_fEnded = FALSE;
    m_aArrivals.clear();
    const std::string csPath = "\\\\.\\pipe\\" + GetControlPipeName(csExeName);
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        m_hPipe.Reset(::CreateFileA(csPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, NULL));
        if (m_hPipe.IsValid())
            break;
        if (::GetTickCount() - dwStart >= dwTimeoutMs)
            return FALSE;
        if (!::WaitNamedPipeA(csPath.c_str(), 50))
            ::Sleep(10);
    }
    DWORD dwMode = PIPE_READMODE_MESSAGE;
    ::SetNamedPipeHandleState(m_hPipe.Get(), &dwMode, NULL, NULL);
    if (fRead)
        m_hReader.Reset(::CreateThread(NULL, 64 * 1024, ReadLoop, this, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL));
    return TRUE;
}

DWORD WINAPI CTestClient::ReadLoop(LPVOID pv)
{
    CTestClient* pThis = static_cast<CTestClient*>(pv);
    CHandle hReadEvent(::CreateEventA(NULL, TRUE, FALSE, NULL));
    OVERLAPPED ov = {};
    ov.hEvent = hReadEvent.Get();
    std::vector<char> ab(1 << 16);
    for (;;) {
        ::ResetEvent(ov.hEvent);
        DWORD cb = 0;
        BOOL fOk = ::ReadFile(pThis->m_hPipe.Get(), ab.data(), (DWORD)ab.size(), &cb, &ov);
        if (!fOk && ::GetLastError() == ERROR_IO_PENDING)
            fOk = ::GetOverlappedResult(pThis->m_hPipe.Get(), &ov, &cb, TRUE);
        if (!fOk)
            break;
        CArrival arrival;
        arrival.m_llAt = NowTicks();
        arrival.m_csBytes.assign(ab.data(), cb);
        ::EnterCriticalSection(&pThis->m_critsec);
        pThis->m_aArrivals.push_back(std::move(arrival));
        ::LeaveCriticalSection(&pThis->m_critsec);
        ::SetEvent(pThis->m_hArrived.Get());
    }
    ::EnterCriticalSection(&pThis->m_critsec);
    pThis->m_fEnded = TRUE;
    ::LeaveCriticalSection(&pThis->m_critsec);
    ::SetEvent(pThis->m_hArrived.Get());
    return 0;
}

BOOL CTestClient::SendRaw(const void* pv, DWORD cb, DWORD dwTimeoutMs)
{
    if (!m_hPipe.IsValid())
        return FALSE;
    OVERLAPPED ov = {};
    ov.hEvent = m_hWriteEvent.Get();
    ::ResetEvent(m_hWriteEvent.Get());
    DWORD cbDone = 0;
    BOOL fOk = ::WriteFile(m_hPipe.Get(), pv, cb, &cbDone, &ov);
    if (!fOk && ::GetLastError() == ERROR_IO_PENDING) {
        if (::WaitForSingleObject(m_hWriteEvent.Get(), dwTimeoutMs) == WAIT_OBJECT_0) {
            fOk = ::GetOverlappedResult(m_hPipe.Get(), &ov, &cbDone, FALSE);
        } else {
            ::CancelIoEx(m_hPipe.Get(), &ov);
            ::GetOverlappedResult(m_hPipe.Get(), &ov, &cbDone, TRUE);
            ::SetLastError(ERROR_TIMEOUT);
        }
    }
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
    return SendRaw(block.GetData(), block.GetLength());
}

BOOL CTestClient::Receive(CControlMessage& msg, LONGLONG* pllAt, DWORD dwTimeoutMs)
{
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        ::EnterCriticalSection(&m_critsec);
        const BOOL fHave = !m_aArrivals.empty();
        CArrival arrival;
        if (fHave) {
            arrival = std::move(m_aArrivals.front());
            m_aArrivals.pop_front();
        }
        const BOOL fEnded = m_fEnded;
        ::LeaveCriticalSection(&m_critsec);
        if (fHave) {
            if (pllAt != NULL)
                *pllAt = arrival.m_llAt;
            msg = CControlMessage();
            return msg.Deserialize((const BYTE*)arrival.m_csBytes.data(), (DWORD)arrival.m_csBytes.size());
        }
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        if (fEnded || dwElapsed >= dwTimeoutMs)
            return FALSE;
        ::WaitForSingleObject(m_hArrived.Get(), dwTimeoutMs - dwElapsed);
    }
}

BOOL CTestClient::ReceiveText(std::string& csText, LONGLONG* pllAt, DWORD dwStart, DWORD dwTimeoutMs)
{
    CControlMessage msg;
    do {
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        if (dwElapsed >= dwTimeoutMs || !Receive(msg, pllAt, dwTimeoutMs - dwElapsed))
            return FALSE;
    } while (msg.m_dwKind != MSG_TEXT);
    csText = msg.m_csText;
    return TRUE;
}

BOOL CTestClient::WaitForText(const std::string& csPrefix, DWORD dwTimeoutMs, LONGLONG* pllAt,
                              std::vector<std::string>* pacsTexts)
{
    const DWORD dwStart = ::GetTickCount();
    std::string csText;
    while (ReceiveText(csText, pllAt, dwStart, dwTimeoutMs)) {
        if (pacsTexts != NULL)
            pacsTexts->push_back(csText);
        if (csText.compare(0, csPrefix.size(), csPrefix) == 0)
            return TRUE;
    }
    return FALSE;
}

std::vector<std::string> CTestClient::ReceiveTextsUntil(const std::string& csLast, DWORD dwTimeoutMs)
{
    std::vector<std::string> acsTexts;
    WaitForText(csLast, dwTimeoutMs, NULL, &acsTexts);
    return acsTexts;
}

BOOL CTestClient::ReceiveTexts(size_t cTexts, DWORD dwTimeoutMs, std::vector<std::string>& acsTexts,
                               LONGLONG* pllLast)
{
    const DWORD dwStart = ::GetTickCount();
    std::string csText;
    while (acsTexts.size() < cTexts) {
        if (!ReceiveText(csText, pllLast, dwStart, dwTimeoutMs))
            return FALSE;
        acsTexts.push_back(csText);
    }
    return TRUE;
}

BOOL CTestClient::WaitForEnd(DWORD dwTimeoutMs)
{
    if (!m_hReader.IsValid())
        return FALSE;
    return ::WaitForSingleObject(m_hReader.Get(), dwTimeoutMs) == WAIT_OBJECT_0;
}

std::vector<std::string> CTestClient::TakeTexts()
{
    std::deque<CArrival> aArrivals;
    ::EnterCriticalSection(&m_critsec);
    aArrivals.swap(m_aArrivals);
    ::LeaveCriticalSection(&m_critsec);
    std::vector<std::string> acsTexts;
    CControlMessage msg;
    for (const CArrival& arrival : aArrivals) {
        msg = CControlMessage();
        if (msg.Deserialize((const BYTE*)arrival.m_csBytes.data(), (DWORD)arrival.m_csBytes.size()) &&
            msg.m_dwKind == MSG_TEXT)
            acsTexts.push_back(msg.m_csText);
    }
    return acsTexts;
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
    if (m_hPipe.IsValid()) {
        ::CancelIoEx(m_hPipe.Get(), NULL);
        m_hPipe.Reset();
    }
    if (m_hReader.IsValid()) {
        ::WaitForSingleObject(m_hReader.Get(), 5000);
        m_hReader.Reset();
    }
}
