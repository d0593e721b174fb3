// Threads as wait objects: a wait on one fires when its thread has ended.
//
// CSimpleThread runs a plain thread routine with one parameter (the alarm
// thread is one). It owns its thread handle; Close does not wait.
//
// CThread is an application thread: a derived class supplies Run. Start
// creates the thread suspended, Resume lets it run, WaitForEnd joins it and
// closes the handle (the object may then be started again). Destroying the
// object while its thread runs is reported and then waited for. Because the
// base destructor runs after the derived part is gone, a derived class whose
// Run touches its own members must end the thread (WaitForEnd) in its own
// destructor.
//
// Both are started, resumed, joined and destroyed by their owner thread;
// the thread itself only runs the body. Each registers its name with the
// debug log's thread-name registry.
#pragma once

#include "common/win32.h"

class CSimpleThread : public CWaitObject, public CSecurityAttributes
{
public:
    CSimpleThread();
    virtual ~CSimpleThread();

    // Creates the thread suspended; TRUE when it exists.
    BOOL Create(LPTHREAD_START_ROUTINE pfnRoutine, void* pvParameter);
    // Stores the name, then creates the thread with a null parameter.
    BOOL Create(const std::string& csName, LPTHREAD_START_ROUTINE pfnRoutine);
    void Resume();
    void Close();

    HANDLE m_hHandle;
    std::string m_csName;
    DWORD m_dwThreadId;
    BOOL m_fSuspended;
};

class CThread : public CWaitObject, public CSecurityAttributes
{
public:
    explicit CThread(const std::string& csName);
    virtual ~CThread();

    // Creates the thread suspended; 0 or the Win32 error of CreateThread.
    DWORD Start();
    // Returns the previous suspend count.
    DWORD Resume();
    // Joins the thread (a message if it takes longer than 100 ms) and closes
    // the handle; nothing without a handle.
    void WaitForEnd();
    // A thread that was never resumed is let run to its end without its
    // body (it holds nothing, so nothing is lost); nothing otherwise.
    void SkipIfNeverResumed();

    // The body on the thread: Run, then OnEnding.
    virtual void Execute();
    virtual void Run() = 0;
    virtual void OnEnding();

    // The routine given to CreateThread; the parameter is the object.
    static DWORD WINAPI ThreadEntry(void* pvThread);

    std::string m_csName;
    DWORD m_dwThreadId;
    HANDLE m_hHandle;
    DWORD m_dwStackSize;
    BOOL m_fSuspended;
    DWORD m_dwExitCode;   // the thread's exit code; Run may set it

private:
    // Set by the destructor for a thread that was never resumed: it is let
    // run to its end without running the body.
    volatile BOOL m_fSkipBody;
};
