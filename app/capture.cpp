// Captured output: the notice queue, the rotating output file and the pipes
// and copier threads of each run.
//
// Copying choice: one thread per captured stream and run, blocked in an
// overlapped read of its own pipe. The supervision loop's wait already
// carries the processes, the clients and the alarms, and copying there
// would put every write to disk on the thread that must answer ends and
// clients at once; a thread per stream keeps a slow disk's delay with the
// one process whose pipe it fills, and ends by itself at the pipe's end.
#include "capture.h"

#include <map>

#include "common/assertex.h"
#include "common/childproc.h"
#include "common/filestuf.h"
#include "common/thread.h"

namespace {

const DWORD s_cbPipeBuffer = 64 * 1024;
const DWORD s_dwRetryPause = 1000;
const DWORD s_dwPartialWait = 500;
LONG s_nPipeCounter = 0;

}  // namespace

// ---------------------------------------------------------------------------
// CNoticeQueue

CNoticeQueue::CNoticeQueue() : m_evPosted(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED)
{
    ::InitializeCriticalSection(&m_critsec);
}

CNoticeQueue::~CNoticeQueue()
{
    ::DeleteCriticalSection(&m_critsec);
}

void CNoticeQueue::Post(const std::string& csText)
{
    ::EnterCriticalSection(&m_critsec);
    m_csaTexts.push_back(csText);
    ::LeaveCriticalSection(&m_critsec);
    m_evPosted.Set();
}

void CNoticeQueue::TakeAll(CStringArray& csaTexts)
{
    ::EnterCriticalSection(&m_critsec);
    csaTexts.swap(m_csaTexts);
    m_csaTexts.clear();
    ::LeaveCriticalSection(&m_critsec);
}

// ---------------------------------------------------------------------------
// CLogFile

CLogFile::CLogFile(const std::string& csPath, ULONGLONG cbLimit, int nKeep, const std::string& csOwner,
                   CNoticeQueue* pNotices)
    : m_csPath(csPath),
      m_cbLimit(cbLimit < 1 ? 1 : cbLimit),
      m_nKeep(nKeep < 0 ? 0 : nKeep),
      m_csOwner(csOwner),
      m_pNotices(pNotices),
      m_cbSize(0),
      m_fAtLineStart(TRUE),
      m_fFailed(FALSE),
      m_dwLastTry(0),
      m_cbLost(0),
      m_fRotateBlocked(FALSE),
      m_dwLastRotateTry(0)
{
    ::InitializeCriticalSection(&m_critsec);
}

CLogFile::~CLogFile()
{
    ::DeleteCriticalSection(&m_critsec);
}

std::shared_ptr<CLogFile> CLogFile::Get(const std::string& csPath, ULONGLONG cbLimit, int nKeep,
                                        const std::string& csOwner, CNoticeQueue* pNotices)
{
    // Any thread may ask; the objects themselves go with their last user.
    // Function statics are made once even when threads race to the first
    // call; both are kept to the end, for copiers that end after main.
    static CRITICAL_SECTION* const s_pcritsec = [] {
        CRITICAL_SECTION* pcritsec = new CRITICAL_SECTION;
        ::InitializeCriticalSection(pcritsec);
        return pcritsec;
    }();
    static std::map<std::string, std::weak_ptr<CLogFile>>* const s_pmapFiles =
        new std::map<std::string, std::weak_ptr<CLogFile>>;
    ::EnterCriticalSection(s_pcritsec);
    std::weak_ptr<CLogFile>& wpFile = (*s_pmapFiles)[StrLower(csPath)];
    std::shared_ptr<CLogFile> pFile = wpFile.lock();
    if (pFile == NULL) {
        pFile = std::make_shared<CLogFile>(csPath, cbLimit, nKeep, csOwner, pNotices);
        wpFile = pFile;
    }
    ::LeaveCriticalSection(s_pcritsec);
    return pFile;
}

void CLogFile::Fail(const std::string& csWhat, DWORD dwError)
{
    m_hFile.Reset();
    if (!m_fFailed && m_pNotices != NULL)
        m_pNotices->Post("Cannot " + csWhat + " the output of " + m_csOwner + " to " + m_csPath + ". Error " +
                         ErrorText(dwError));
    m_fFailed = TRUE;
    m_dwLastTry = ::GetTickCount();
}

BOOL CLogFile::EnsureOpen()
{
    if (m_hFile.IsValid())
        return TRUE;
    if (m_fFailed && ::GetTickCount() - m_dwLastTry < s_dwRetryPause)
        return FALSE;
    // Shared for reading, writing and deleting, so that an operator may
    // follow, copy or move the file while it grows.
    CHandle hFile(::CreateFileA(m_csPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    LARGE_INTEGER liSize = {};
    if (!hFile.IsValid() || !::GetFileSizeEx(hFile.Get(), &liSize) ||
        !::SetFilePointerEx(hFile.Get(), liSize, NULL, FILE_BEGIN)) {
        Fail("write", ::GetLastError());
        return FALSE;
    }
    m_hFile = std::move(hFile);
    m_cbSize = (ULONGLONG)liSize.QuadPart;
    if (m_fFailed && m_pNotices != NULL) {
        std::string csLost = m_cbLost == 0 ? std::string()
                                            : " (" + std::to_string((unsigned long long)m_cbLost) +
                                                  " bytes could not be written)";
        m_pNotices->Post("The output of " + m_csOwner + " is written to " + m_csPath + " again" + csLost + ".");
    }
    m_fFailed = FALSE;
    m_cbLost = 0;
    return TRUE;
}

BOOL CLogFile::Append(const char* pch, DWORD cch)
{
    while (cch > 0) {
        DWORD cbWritten = 0;
        if (!::WriteFile(m_hFile.Get(), pch, cch, &cbWritten, NULL) || cbWritten == 0) {
            DWORD dwError = ::GetLastError();
            Fail("write", dwError == 0 ? ERROR_WRITE_FAULT : dwError);
            m_cbLost += cch;
            return FALSE;
        }
        m_cbSize += cbWritten;
        m_fAtLineStart = pch[cbWritten - 1] == '\n';
        pch += cbWritten;
        cch -= cbWritten;
    }
    return TRUE;
}

namespace {

// A reader that opened a file without FILE_SHARE_DELETE blocks its rename
// for as long as it holds it; a short one is waited out.
BOOL MoveWithRetry(const std::string& csFrom, const std::string& csTo)
{
    for (int nTry = 0;; nTry++) {
        if (csTo.empty() ? ::DeleteFileA(csFrom.c_str()) : ::MoveFileExA(csFrom.c_str(), csTo.c_str(), 0))
            return TRUE;
        DWORD dwError = ::GetLastError();
        if (dwError == ERROR_FILE_NOT_FOUND || nTry == 4) {
            ::SetLastError(dwError);
            return dwError == ERROR_FILE_NOT_FOUND;
        }
        ::Sleep(10);
    }
}

}  // namespace

// PATH.N goes, every other copy moves one up, PATH becomes PATH.1. No move
// replaces a file: when one fails, the copies stay as they are and PATH
// keeps growing until a later rotation succeeds, so nothing is lost.
BOOL CLogFile::Rotate()
{
    m_hFile.Reset();
    BOOL fOk = TRUE;
    if (m_nKeep == 0) {
        fOk = MoveWithRetry(m_csPath, std::string());
    } else {
        fOk = MoveWithRetry(m_csPath + "." + std::to_string(m_nKeep), std::string());
        for (int n = m_nKeep - 1; n >= 1 && fOk; n--)
            fOk = MoveWithRetry(m_csPath + "." + std::to_string(n), m_csPath + "." + std::to_string(n + 1));
        fOk = fOk && MoveWithRetry(m_csPath, m_csPath + ".1");
    }
    DWORD dwError = ::GetLastError();
    if (!fOk) {
        if (!m_fRotateBlocked && m_pNotices != NULL)
            m_pNotices->Post("Cannot rotate the output of " + m_csOwner + " in " + m_csPath + ". Error " +
                             ErrorText(dwError));
        m_fRotateBlocked = TRUE;
        m_dwLastRotateTry = ::GetTickCount();
    } else {
        m_fRotateBlocked = FALSE;
        m_fAtLineStart = TRUE;
    }
    return EnsureOpen() && fOk;
}

void CLogFile::Write(const char* pch, DWORD cch)
{
    ::EnterCriticalSection(&m_critsec);
    while (cch > 0) {
        if (!EnsureOpen()) {
            m_cbLost += cch;
            break;
        }
        ULONGLONG cbSpace = m_cbSize < m_cbLimit ? m_cbLimit - m_cbSize : 0;
        BOOL fWaitForRotation = m_fRotateBlocked && ::GetTickCount() - m_dwLastRotateTry < s_dwRetryPause;
        if (cch <= cbSpace || fWaitForRotation) {
            Append(pch, cch);
            break;
        }
        // What fits up to its last line end stays in this file; the rest
        // starts the next one. Only a line longer than a whole file is cut.
        DWORD cchCut = 0;
        for (DWORD i = (DWORD)cbSpace; i > 0; i--) {
            if (pch[i - 1] == '\n') {
                cchCut = i;
                break;
            }
        }
        if (cchCut == 0 && !(m_fAtLineStart && m_cbSize > 0))
            cchCut = (DWORD)cbSpace;
        if (cchCut > 0 && !Append(pch, cchCut)) {
            m_cbLost += cch - cchCut;
            break;
        }
        pch += cchCut;
        cch -= cchCut;
        if (!Rotate() && !m_hFile.IsValid()) {
            m_cbLost += cch;
            break;
        }
    }
    ::LeaveCriticalSection(&m_critsec);
}

// ---------------------------------------------------------------------------
// COutputCapture

// Drains one pipe into its file until the pipe's end (or Stop).
class COutputCapture::CCopier : public CThread
{
public:
    CCopier(CHandle hRead, const std::shared_ptr<CLogFile>& pFile)
        : CThread("OutputCopier"), m_hRead(std::move(hRead)), m_pFile(pFile), m_fStop(FALSE)
    {
        m_dwStackSize = 128 * 1024;
    }
    // The read end closes after the thread has stopped using it.
    virtual ~CCopier() { Stop(); }
    virtual void Run() override
    {
        std::vector<char> achBuffer(s_cbPipeBuffer);
        CKernelEvent evDone(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
        while (!m_fStop) {
            OVERLAPPED ov = {};
            ov.hEvent = evDone.m_hHandle;
            DWORD cbRead = 0;
            BOOL fOk = ::ReadFile(m_hRead.Get(), achBuffer.data(), (DWORD)achBuffer.size(), &cbRead, &ov);
            if (!fOk && ::GetLastError() == ERROR_IO_PENDING) {
                // A line the process leaves unfinished for a while (a prompt,
                // a progress text) goes to the file as it is.
                if (!m_csPartial.empty() && ::WaitForSingleObject(evDone.m_hHandle, s_dwPartialWait) == WAIT_TIMEOUT) {
                    m_pFile->Write(m_csPartial.data(), (DWORD)m_csPartial.size());
                    m_csPartial.clear();
                }
                fOk = ::GetOverlappedResult(m_hRead.Get(), &ov, &cbRead, TRUE);
            }
            // The end of the pipe (every writer gone), or a cancel.
            if (!fOk)
                break;
            if (cbRead > 0)
                Copy(achBuffer.data(), cbRead);
        }
        if (!m_csPartial.empty())
            m_pFile->Write(m_csPartial.data(), (DWORD)m_csPartial.size());
        m_csPartial.clear();
    }
    BOOL HasEnded() { return m_hHandle == NULL || ::WaitForSingleObject(m_hHandle, 0) == WAIT_OBJECT_0; }
    // Ends a copier whose pipe a left-over grandchild still holds open.
    void Stop()
    {
        if (m_hHandle == NULL)
            return;
        m_fStop = TRUE;
        // A read issued just after the cancel would wait again: cancel until it ends.
        while (::WaitForSingleObject(m_hHandle, 0) == WAIT_TIMEOUT) {
            ::CancelIoEx(m_hRead.Get(), NULL);
            ::WaitForSingleObject(m_hHandle, 50);
        }
        WaitForEnd();
    }

private:
    // A read may end inside a line that the process wrote whole: the part
    // after the last line end waits for the rest, so that the other stream
    // sharing the file cannot land inside the line (unless a line outgrows
    // the pipe's buffer), and the end of the pipe flushes it.
    void Copy(const char* pch, DWORD cch)
    {
        DWORD cchLines = cch;
        while (cchLines > 0 && pch[cchLines - 1] != '\n')
            cchLines--;
        if (cchLines == 0 && m_csPartial.size() + cch < s_cbPipeBuffer) {
            m_csPartial.append(pch, cch);
            return;
        }
        if (cchLines == 0)
            cchLines = cch;
        m_csPartial.append(pch, cchLines);
        m_pFile->Write(m_csPartial.data(), (DWORD)m_csPartial.size());
        m_csPartial.assign(pch + cchLines, cch - cchLines);
    }

    CHandle m_hRead;
    std::shared_ptr<CLogFile> m_pFile;
    volatile BOOL m_fStop;
    std::string m_csPartial;
};

COutputCapture::COutputCapture() : m_cbLimit(10240 * 1024), m_nKeep(5), m_dwSavedFlags(0)
{
    for (HANDLE& h : m_ahSavedStd)
        h = NULL;
}

COutputCapture::~COutputCapture()
{
    m_apCopiers.clear();
}

void COutputCapture::Configure(const std::string& csOutPath, const std::string& csErrPath, ULONGLONG cbLimit, int nKeep)
{
    m_csOutPath = csOutPath;
    m_csErrPath = csErrPath;
    m_cbLimit = cbLimit;
    m_nKeep = nKeep;
}

void COutputCapture::ReapCopiers()
{
    for (size_t i = 0; i < m_apCopiers.size();) {
        if (m_apCopiers[i]->HasEnded())
            m_apCopiers.erase(m_apCopiers.begin() + (ptrdiff_t)i);
        else
            i++;
    }
}

CHandle COutputCapture::DuplicateOwnHandle(DWORD dwStdHandle)
{
    HANDLE hOwn = ::GetStdHandle(dwStdHandle);
    CHandle hCopy;
    if (hOwn == NULL || hOwn == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), hOwn, ::GetCurrentProcess(), hCopy.Receive(), 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return CHandle();
    return hCopy;
}

BOOL COutputCapture::PrepareRun(CChildProcess& child, const std::string& csOwner, CNoticeQueue* pNotices)
{
    ReapCopiers();
    if (m_pOutFile == NULL && !m_csOutPath.empty())
        m_pOutFile = CLogFile::Get(m_csOutPath, m_cbLimit, m_nKeep, csOwner, pNotices);
    if (m_pErrFile == NULL && !m_csErrPath.empty())
        m_pErrFile = CLogFile::Get(m_csErrPath, m_cbLimit, m_nKeep, csOwner, pNotices);
    const std::shared_ptr<CLogFile> apFiles[2] = {m_pOutFile, m_pErrFile};
    const DWORD adwStd[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    BOOL fOk = TRUE;
    for (int i = 0; i < 3 && fOk; i++) {
        if (i == 0 || apFiles[i - 1] == NULL) {
            m_ahChildEnds[i] = DuplicateOwnHandle(adwStd[i]);
            continue;
        }
        // A named pipe, not an anonymous one: this end reads overlapped,
        // so a stop can cancel its read. Neither end is inheritable.
        std::string csName = StrFormat("\\\\.\\pipe\\OvrinOutput-%lu-%ld", (unsigned long)::GetCurrentProcessId(),
                                       (long)::InterlockedIncrement(&s_nPipeCounter));
        CHandle hRead(::CreateNamedPipeA(csName.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, s_cbPipeBuffer, 0,
                                         NULL));
        CHandle hWrite(!hRead.IsValid() ? NULL
                                        : ::CreateFileA(csName.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, NULL,
                                                        OPEN_EXISTING, 0, NULL));
        if (!hWrite.IsValid()) {
            DWORD dwError = ::GetLastError();
            hRead.Reset();
            if (pNotices != NULL)
                pNotices->Post("Cannot capture the output of " + csOwner + ". Error " + ErrorText(dwError));
            fOk = FALSE;
            break;
        }
        m_ahReadEnds[i - 1] = std::move(hRead);
        m_ahChildEnds[i] = std::move(hWrite);
    }
    if (!fOk) {
        FinishRun(child, FALSE);
        return FALSE;
    }
    STARTUPINFOA& si = child.m_startupinfo;
    m_dwSavedFlags = si.dwFlags;
    m_ahSavedStd[0] = si.hStdInput;
    m_ahSavedStd[1] = si.hStdOutput;
    m_ahSavedStd[2] = si.hStdError;
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdInput = m_ahChildEnds[0].Get();
    si.hStdOutput = m_ahChildEnds[1].Get();
    si.hStdError = m_ahChildEnds[2].Get();
    child.m_ahInheritOnly.clear();
    for (const CHandle& h : m_ahChildEnds) {
        if (h.IsValid())
            child.m_ahInheritOnly.push_back(h.Get());
    }
    return TRUE;
}

void COutputCapture::FinishRun(CChildProcess& child, BOOL fCreated)
{
    const DWORD dwError = ::GetLastError();
    if (!child.m_ahInheritOnly.empty()) {
        STARTUPINFOA& si = child.m_startupinfo;
        si.dwFlags = m_dwSavedFlags;
        si.hStdInput = m_ahSavedStd[0];
        si.hStdOutput = m_ahSavedStd[1];
        si.hStdError = m_ahSavedStd[2];
        child.m_ahInheritOnly.clear();
    }
    // The child has its own copies now; with this process's gone, the pipe
    // ends when the child (and whatever inherited from it) has ended.
    for (CHandle& h : m_ahChildEnds)
        h.Reset();
    const std::shared_ptr<CLogFile> apFiles[2] = {m_pOutFile, m_pErrFile};
    for (int i = 0; i < 2; i++) {
        if (!m_ahReadEnds[i].IsValid())
            continue;
        if (fCreated) {
            std::unique_ptr<CCopier> pCopier(new CCopier(std::move(m_ahReadEnds[i]), apFiles[i]));
            if (pCopier->Start() == 0) {
                pCopier->Resume();
                m_apCopiers.push_back(std::move(pCopier));
            }
        }
        m_ahReadEnds[i].Reset();
    }
    ::SetLastError(dwError);
}

BOOL COutputCapture::IsDrained()
{
    ReapCopiers();
    return m_apCopiers.empty();
}
