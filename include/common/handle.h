// CHandle: the owner of one Win32 handle that CloseHandle closes (events,
// threads, processes, files, pipes, jobs, tokens, snapshots). It closes the
// handle when it is destroyed or given another one, exactly once; it can be
// moved (the source is left empty) but not copied. NULL and
// INVALID_HANDLE_VALUE both mean "none", since Win32 calls answer a missing
// handle with one or the other depending on the call.
//
// Closing keeps the thread's last error as it was, so a failure path that
// lets its handles go still reports its own error. A close that fails is not
// reported: with one owner per handle it can only mean that someone else
// closed a handle that was not theirs.
//
// One thread uses an object at a time (no lock), like a HANDLE variable.
//
// Use: CHandle hEvent(::CreateEventA(...)); if (!hEvent.IsValid()) fail;
// ::SetEvent(hEvent.Get()); for a call that writes a handle out,
// ::OpenProcessToken(hProcess, TOKEN_QUERY, hToken.Receive()); to hand the
// handle to another owner, Release().
//
// Header-only, so that the test helper programs, which link nothing of the
// program, can use it too.
#pragma once

#include <windows.h>

class CHandle
{
public:
    CHandle() : m_h(NULL) {}
    explicit CHandle(HANDLE h) : m_h(Normalize(h)) {}
    ~CHandle() { Close(m_h); }

    CHandle(CHandle&& other) noexcept : m_h(other.Release()) {}
    CHandle& operator=(CHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    // The handle, or NULL when there is none; it stays owned.
    HANDLE Get() const { return IsValid() ? m_h : NULL; }
    BOOL IsValid() const { return m_h != NULL && m_h != INVALID_HANDLE_VALUE; }

    // Gives the handle up without closing it; the caller owns what it
    // returns (NULL when there was none).
    HANDLE Release()
    {
        HANDLE h = Get();
        m_h = NULL;
        return h;
    }

    // Closes the handle held (if any) and takes h instead. Taking the
    // handle already held keeps it open.
    void Reset(HANDLE h = NULL)
    {
        HANDLE hOld = m_h;
        m_h = Normalize(h);
        if (hOld != m_h)
            Close(hOld);
    }

    // Closes the handle held and returns where a Win32 call may write a new
    // one (an out parameter), which this object then owns.
    HANDLE* Receive()
    {
        Reset();
        return &m_h;
    }

private:
    static HANDLE Normalize(HANDLE h) { return h == INVALID_HANDLE_VALUE ? NULL : h; }
    static void Close(HANDLE h)
    {
        if (h == NULL || h == INVALID_HANDLE_VALUE)
            return;
        const DWORD dwError = ::GetLastError();
        ::CloseHandle(h);
        ::SetLastError(dwError);
    }

    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    HANDLE m_h;
};
