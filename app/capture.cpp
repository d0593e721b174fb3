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

#include <string.h>

#include <algorithm>
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

// The files with a daily rotation, checked by one thread of their own
// that is started with the first one and runs to the process's end. Kept
// to the end, like the files' map, for copiers that end after main.
struct CRotatorList
{
    CRITICAL_SECTION m_critsec;
    std::vector<std::weak_ptr<CLogFile>> m_apFiles;
    CKernelEvent m_evAdded{EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED};
    BOOL m_fStarted = FALSE;
};

CRotatorList& Rotators()
{
    static CRotatorList* const s_pList = [] {
        CRotatorList* pList = new CRotatorList;
        ::InitializeCriticalSection(&pList->m_critsec);
        return pList;
    }();
    return *s_pList;
}

// Every file is checked at least once a second, not only at its due time:
// a clock step or a change of the local offset moves the due time, and the
// check finds that out cheaply.
DWORD WINAPI RotatorThread(void*)
{
    CRotatorList& list = Rotators();
    for (;;) {
        std::vector<std::shared_ptr<CLogFile>> apFiles;
        ::EnterCriticalSection(&list.m_critsec);
        for (size_t i = 0; i < list.m_apFiles.size();) {
            std::shared_ptr<CLogFile> pFile = list.m_apFiles[i].lock();
            if (pFile == NULL) {
                list.m_apFiles.erase(list.m_apFiles.begin() + (ptrdiff_t)i);
                continue;
            }
            apFiles.push_back(pFile);
            i++;
        }
        ::LeaveCriticalSection(&list.m_critsec);
        LONGLONG llNext = UtcNowMs() + 1000;
        for (const auto& pFile : apFiles)
            llNext = std::min(llNext, pFile->CheckDaily(UtcNowMs()));
        apFiles.clear();
        LONGLONG llWait = llNext - UtcNowMs();
        ::WaitForSingleObject(list.m_evAdded.m_hHandle, (DWORD)std::max<LONGLONG>(1, std::min<LONGLONG>(llWait, 1000)));
    }
}

void AddToRotator(const std::shared_ptr<CLogFile>& pFile)
{
    CRotatorList& list = Rotators();
    ::EnterCriticalSection(&list.m_critsec);
    list.m_apFiles.push_back(pFile);
    if (!list.m_fStarted) {
        DWORD dwThreadId = 0;
        HANDLE hThread = ::CreateThread(NULL, 64 * 1024, RotatorThread, NULL, 0, &dwThreadId);
        if (hThread != NULL) {
            ::CloseHandle(hThread);
            list.m_fStarted = TRUE;
        }
    }
    ::LeaveCriticalSection(&list.m_critsec);
    list.m_evAdded.Set();
}

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

CLogFile::CLogFile(const std::string& csPath, ULONGLONG cbLimit, int nKeep, int nRotateMinute,
                   const std::string& csOwner, CNoticeQueue* pNotices)
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
      m_dwLastRotateTry(0),
      m_nRotateMinute(nRotateMinute),
      m_nFileDay(-1),
      m_llDueUtcMs(0)
{
    ::InitializeCriticalSection(&m_critsec);
}

CLogFile::~CLogFile()
{
    ::DeleteCriticalSection(&m_critsec);
}

std::shared_ptr<CLogFile> CLogFile::Get(const std::string& csPath, ULONGLONG cbLimit, int nKeep, int nRotateMinute,
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
    BOOL fNew = pFile == NULL;
    if (fNew) {
        pFile = std::make_shared<CLogFile>(csPath, cbLimit, nKeep, nRotateMinute, csOwner, pNotices);
        wpFile = pFile;
    }
    ::LeaveCriticalSection(s_pcritsec);
    if (fNew && nRotateMinute >= 0)
        AddToRotator(pFile);
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
    } else if (m_nRotateMinute >= 0) {
        fOk = MoveToDatedCopy();
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

// The first free name of the file's day: a copy of that name made before
// (a restart, a clock set back) is never replaced.
BOOL CLogFile::MoveToDatedCopy()
{
    const std::string csBase = m_csPath + "." + FormatLogDate(m_nFileDay);
    std::string csTo = csBase;
    for (int n = 1; ::GetFileAttributesA(csTo.c_str()) != INVALID_FILE_ATTRIBUTES; n++)
        csTo = csBase + "." + std::to_string(n);
    if (!MoveWithRetry(m_csPath, csTo))
        return FALSE;
    DeleteOldDatedCopies();
    return TRUE;
}

// LOGKEEP counts every dated copy; the oldest go first, by day and then
// by counter. A copy that cannot be deleted now goes at a later rotation.
void CLogFile::DeleteOldDatedCopies()
{
    const size_t iName = m_csPath.find_last_of("\\/") + 1;
    const std::string csFolder = m_csPath.substr(0, iName);
    const std::string csPrefix = m_csPath.substr(iName) + ".";
    std::vector<std::pair<std::string, unsigned long>> aCopies;
    WIN32_FIND_DATAA data;
    HANDLE hFind = ::FindFirstFileA((m_csPath + ".*").c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string csName = data.cFileName;
        if (csName.size() < csPrefix.size() + 10 || StrICmp(csName.substr(0, csPrefix.size()), csPrefix) != 0)
            continue;
        const std::string csDate = csName.substr(csPrefix.size(), 10);
        const std::string csRest = csName.substr(csPrefix.size() + 10);
        LONGLONG nDay = 0;
        if (!ParseLogDate(csDate, nDay))
            continue;
        if (!csRest.empty() &&
            (csRest[0] != '.' || csRest.size() == 1 || csRest.find_first_not_of("0123456789", 1) != std::string::npos))
            continue;
        aCopies.emplace_back(csDate, csRest.empty() ? 0ul : strtoul(csRest.c_str() + 1, NULL, 10));
    } while (::FindNextFileA(hFind, &data));
    ::FindClose(hFind);
    if (aCopies.size() <= (size_t)m_nKeep)
        return;
    std::sort(aCopies.begin(), aCopies.end());
    for (size_t i = 0; i + (size_t)m_nKeep < aCopies.size(); i++) {
        std::string csName = csFolder + csPrefix + aCopies[i].first;
        if (aCopies[i].second > 0)
            csName += "." + std::to_string(aCopies[i].second);
        MoveWithRetry(csName, std::string());
    }
}

// A failure costs only the catching up of a time missed at the next start.
void CLogFile::WriteDayFile()
{
    const std::string csText = FormatLogDate(m_nFileDay) + "\r\n";
    CHandle hFile(::CreateFileA((m_csPath + ".ovrin-date").c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    DWORD cbWritten = 0;
    if (hFile.IsValid())
        ::WriteFile(hFile.Get(), csText.data(), (DWORD)csText.size(), &cbWritten, NULL);
}

LONGLONG CLogFile::CheckDaily(LONGLONG llUtcNowMs)
{
    ::EnterCriticalSection(&m_critsec);
    const LONG nBias = LocalBiasMinutes();
    const LONGLONG llLocalNowMs = llUtcNowMs + nBias * c_llMsPerMinute;
    if (m_nFileDay < 0) {
        char achDay[10] = {};
        DWORD cbRead = 0;
        CHandle hFile(::CreateFileA((m_csPath + ".ovrin-date").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, NULL));
        LONGLONG nDay = -1;
        if (!hFile.IsValid() || !::ReadFile(hFile.Get(), achDay, sizeof achDay, &cbRead, NULL) ||
            !ParseLogDate(std::string(achDay, cbRead), nDay)) {
            // No day kept: the file is taken as begun now.
            m_nFileDay = RotationDay(llLocalNowMs, m_nRotateMinute);
            WriteDayFile();
        } else {
            m_nFileDay = nDay;
        }
    }
    LONGLONG nNowDay = 0;
    const int nDecision = DecideDailyRotation(m_nFileDay, m_nRotateMinute, llLocalNowMs, nNowDay);
    BOOL fOk = TRUE;
    if (nDecision == LOG_DAY_ROTATE) {
        // An empty file is not kept as a copy: it would only push a real
        // one out of LOGKEEP.
        WIN32_FILE_ATTRIBUTE_DATA data;
        BOOL fEmpty = !::GetFileAttributesExA(m_csPath.c_str(), GetFileExInfoStandard, &data) ||
                      (data.nFileSizeHigh == 0 && data.nFileSizeLow == 0);
        if (!fEmpty)
            fOk = Rotate();
        else if (m_nKeep == 0)
            MoveWithRetry(m_csPath, std::string());
    }
    if (nDecision != LOG_DAY_KEEP && (fOk || !m_fRotateBlocked)) {
        m_nFileDay = nNowDay;
        WriteDayFile();
    }
    // A copy that could not be made is tried again a second later.
    m_llDueUtcMs = m_fRotateBlocked && nDecision == LOG_DAY_ROTATE
                       ? llUtcNowMs + s_dwRetryPause
                       : (m_nFileDay + 1) * c_llMsPerDay + m_nRotateMinute * c_llMsPerMinute - nBias * c_llMsPerMinute;
    const LONGLONG llDue = m_llDueUtcMs;
    ::LeaveCriticalSection(&m_critsec);
    return llDue;
}

void CLogFile::Write(const char* pch, DWORD cch)
{
    ::EnterCriticalSection(&m_critsec);
    if (m_nRotateMinute >= 0) {
        LONGLONG llNow = UtcNowMs();
        if (llNow >= m_llDueUtcMs)
            CheckDaily(llNow);
    }
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
    CCopier(CHandle hRead, const std::shared_ptr<CLogFile>& pFile, BOOL fStamp)
        : CThread("OutputCopier"),
          m_hRead(std::move(hRead)),
          m_pFile(pFile),
          m_fStop(FALSE),
          m_fStamp(fStamp),
          m_fAtLineStart(TRUE)
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
    // the pipe's buffer), and the end of the pipe flushes it. A stamp goes
    // where a line begins, with the time its first bytes came: a line that
    // comes in parts keeps the one stamp.
    void Copy(const char* pch, DWORD cch)
    {
        const size_t cchHeld = m_csPartial.size();
        if (!m_fStamp) {
            m_csPartial.append(pch, cch);
        } else {
            const std::string& csStamp = m_stamp.At(UtcNowMs());
            const char* const pchEnd = pch + cch;
            while (pch < pchEnd) {
                if (m_fAtLineStart)
                    m_csPartial += csStamp;
                const char* pchLf = (const char*)memchr(pch, '\n', (size_t)(pchEnd - pch));
                const char* pchNext = pchLf != NULL ? pchLf + 1 : pchEnd;
                m_csPartial.append(pch, (size_t)(pchNext - pch));
                m_fAtLineStart = pchLf != NULL;
                pch = pchNext;
            }
        }
        size_t cchLines = m_csPartial.size();
        while (cchLines > cchHeld && m_csPartial[cchLines - 1] != '\n')
            cchLines--;
        if (cchLines == cchHeld) {
            if (m_csPartial.size() < s_cbPipeBuffer)
                return;
            cchLines = m_csPartial.size();
        }
        m_pFile->Write(m_csPartial.data(), (DWORD)cchLines);
        m_csPartial.erase(0, cchLines);
    }

    CHandle m_hRead;
    std::shared_ptr<CLogFile> m_pFile;
    volatile BOOL m_fStop;
    std::string m_csPartial;
    BOOL m_fStamp;
    BOOL m_fAtLineStart;
    CLineStamp m_stamp;
};

COutputCapture::COutputCapture()
    : m_cbLimit(10240 * 1024), m_nKeep(5), m_nRotateMinute(-1), m_fStamp(FALSE), m_dwSavedFlags(0)
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
        m_pOutFile = CLogFile::Get(m_csOutPath, m_cbLimit, m_nKeep, m_nRotateMinute, csOwner, pNotices);
    if (m_pErrFile == NULL && !m_csErrPath.empty())
        m_pErrFile = CLogFile::Get(m_csErrPath, m_cbLimit, m_nKeep, m_nRotateMinute, csOwner, pNotices);
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
            std::unique_ptr<CCopier> pCopier(new CCopier(std::move(m_ahReadEnds[i]), apFiles[i], m_fStamp));
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
