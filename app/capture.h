// Captured output of supervised processes (the STDOUT, STDERR, LOGSIZE,
// LOGKEEP, TIMESTAMP and ROTATE options of a definition line).
//
// CNoticeQueue: texts from other threads for the supervision loop, which
// waits on its event and broadcasts them. Any thread may post.
//
// CLogFile: one output file with its size limit and its rotated copies
// (PATH.1 the newest ... PATH.N). Write takes one chunk as it came from the
// process and appends it whole, under the file's lock, so the streams of a
// line that share the file interleave by chunks. A file that cannot be
// opened or written costs the chunks meanwhile, never the process: one
// notice names the file and the error, and a write is tried again at most
// once a second until it works. A copy that cannot be renamed (a reader
// holds it without delete sharing) lets the file grow past its limit rather
// than lose or overwrite anything, with one notice, until rotation works.
// With a daily rotation time, every rotated copy is named by the day its
// file began (PATH.YYYY-MM-DD, then PATH.YYYY-MM-DD.1 and so on within that
// day); that day is kept in PATH.ovrin-date, since a file's creation time
// may be an old one (tunnelling) or none. One rotator thread of the
// process checks every such file at least once a second, so that a file
// nobody writes to rotates too and the supervision thread never waits.
//
// COutputCapture: the capture of one definition line, owned by its record.
// Each run of the process gets a pipe per stream, whose read end a copier
// thread drains into the file. The copying runs on these threads, never on
// the supervision thread, so a slow or full disk slows only the process
// whose pipe fills. The supervision thread calls PrepareRun before the
// process is created and FinishRun after, IsDrained when the end has been
// seen, and destroys the object; the copiers touch only their pipe and the
// file.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/strutil.h"
#include "common/handle.h"
#include "logtime.h"
#include "common/win32.h"

class CChildProcess;

// How long the report of an end waits for the copying of what the process
// wrote: bounded, since a grandchild that inherited the pipe may keep it
// open, and a disk may be slow.
const DWORD c_dwDrainTimeout = 1000;

class CNoticeQueue
{
public:
    CNoticeQueue();
    ~CNoticeQueue();

    void Post(const std::string& csText);
    // Moves every posted text into csaTexts (in order).
    void TakeAll(CStringArray& csaTexts);

    CKernelEvent m_evPosted;   // auto-reset, set by Post

private:
    CRITICAL_SECTION m_critsec;
    CStringArray m_csaTexts;
};

class CLogFile
{
public:
    // cbLimit: the most a file may hold (at least 1); nKeep rotated copies;
    // nRotateMinute: the daily rotation's minute of the day, -1 for none.
    CLogFile(const std::string& csPath, ULONGLONG cbLimit, int nKeep, int nRotateMinute, const std::string& csOwner,
             CNoticeQueue* pNotices);
    ~CLogFile();

    // The one object of a path (compared without regard to case), shared
    // by every stream and line that names it, so that they interleave by
    // whole chunks and rotate it together. The first caller's size, count,
    // rotation time and owner name hold. A file with a rotation time is
    // handed to the rotator thread.
    static std::shared_ptr<CLogFile> Get(const std::string& csPath, ULONGLONG cbLimit, int nKeep, int nRotateMinute,
                                         const std::string& csOwner, CNoticeQueue* pNotices);

    void Write(const char* pch, DWORD cch);
    // The daily rotation, when its time has come (the first call reads the
    // file's day, catching up a time missed while the supervisor was not
    // running). Returns the UTC time of the next check that is due.
    LONGLONG CheckDaily(LONGLONG llUtcNowMs);
    const std::string& GetPath() const { return m_csPath; }

private:
    BOOL EnsureOpen();
    BOOL Rotate();
    BOOL MoveToDatedCopy();
    void DeleteOldDatedCopies();
    void WriteDayFile();
    BOOL Append(const char* pch, DWORD cch);
    void Fail(const std::string& csWhat, DWORD dwError);

    CRITICAL_SECTION m_critsec;
    std::string m_csPath;
    ULONGLONG m_cbLimit;
    int m_nKeep;
    std::string m_csOwner;
    CNoticeQueue* m_pNotices;
    CHandle m_hFile;
    ULONGLONG m_cbSize;
    BOOL m_fAtLineStart;
    BOOL m_fFailed;
    DWORD m_dwLastTry;
    ULONGLONG m_cbLost;
    // A rotation that failed: the file grows past its limit meanwhile and
    // rotation is tried again a second later.
    BOOL m_fRotateBlocked;
    DWORD m_dwLastRotateTry;
    int m_nRotateMinute;
    LONGLONG m_nFileDay;       // the day the current file began; -1 before it is read
    LONGLONG m_llDueUtcMs;     // when a write must check the daily rotation first
};

class COutputCapture
{
public:
    COutputCapture();
    ~COutputCapture();

    // The file of each stream (full paths; empty: not captured).
    void Configure(const std::string& csOutPath, const std::string& csErrPath, ULONGLONG cbLimit, int nKeep);
    BOOL IsConfigured() const { return !m_csOutPath.empty() || !m_csErrPath.empty(); }

    // Before Create: pipes for the captured streams, the standard handles
    // and the handle list of the child. FALSE leaves the child as it was.
    BOOL PrepareRun(CChildProcess& child, const std::string& csOwner, CNoticeQueue* pNotices);
    // After Create (fCreated: whether it made a process): closes this
    // process's copies of the child's ends and starts the copiers.
    void FinishRun(CChildProcess& child, BOOL fCreated);
    // The copiers of ended runs have copied everything their process wrote
    // (their pipe has reached its end). Never waits.
    BOOL IsDrained();

    std::string m_csOutPath;
    std::string m_csErrPath;
    ULONGLONG m_cbLimit;
    int m_nKeep;
    int m_nRotateMinute;   // ROTATE: the minute of the day, -1 without
    BOOL m_fStamp;         // TIMESTAMP

private:
    class CCopier;
    void ReapCopiers();
    CHandle DuplicateOwnHandle(DWORD dwStdHandle);

    std::shared_ptr<CLogFile> m_pOutFile;
    std::shared_ptr<CLogFile> m_pErrFile;
    std::vector<std::unique_ptr<CCopier>> m_apCopiers;
    // The child's ends during one start: stdin, stdout, stderr.
    CHandle m_ahChildEnds[3];
    CHandle m_ahReadEnds[2];
    DWORD m_dwSavedFlags;
    HANDLE m_ahSavedStd[3];   // the child's own, borrowed back at FinishRun
};
