// Threads as wait objects: the simple routine thread and the application
// thread with its common entry routine.
#include "common/thread.h"

#include "common/assertex.h"

CSimpleThread::CSimpleThread() : m_hHandle(NULL), m_dwThreadId(0), m_fSuspended(FALSE)
{
    m_phWaitHandle = &m_hHandle;
}

CSimpleThread::~CSimpleThread()
{
    Close();
}

BOOL CSimpleThread::Create(LPTHREAD_START_ROUTINE pfnRoutine, void* pvParameter)
{
    // A second thread on the same object would lose the first one's handle.
    if (!CHECK_NULL(m_hHandle))
        return FALSE;
    m_hHandle = ::CreateThread(GetSecurityAttributes(), 0, pfnRoutine, pvParameter, CREATE_SUSPENDED, &m_dwThreadId);
    if (!CHECK_NOT_NULL(m_hHandle)) {
        m_dwThreadId = 0;
        return FALSE;
    }
    m_fSuspended = TRUE;
    DEBUG_TRACE_MSG("Thread '" << m_csName << "' (id: " << m_dwThreadId << ") was created.");
    RegisterThreadName(m_csName, m_dwThreadId);
    return TRUE;
}

BOOL CSimpleThread::Create(const std::string& csName, LPTHREAD_START_ROUTINE pfnRoutine)
{
    m_csName = csName;
    return Create(pfnRoutine, NULL);
}

void CSimpleThread::Resume()
{
    ASSERT_NOT_NULL(m_hHandle);
    DWORD dw = ::ResumeThread(m_hHandle);
    ASSERT_COND(dw, !=, -1);
    m_fSuspended = (dw == 0 || dw == 1) ? FALSE : TRUE;
}

void CSimpleThread::Close()
{
    m_dwThreadId = 0;
    m_fSuspended = FALSE;
    if (m_hHandle != NULL) {
        VERIFY_TRUE(::CloseHandle(m_hHandle));
        m_hHandle = NULL;
    }
}

CThread::CThread(const std::string& csName)
    : m_csName(csName), m_dwThreadId(0), m_hHandle(NULL), m_dwStackSize(0), m_fSuspended(FALSE), m_dwExitCode(0),
      m_fSkipBody(FALSE)
{
    m_phWaitHandle = &m_hHandle;
}

CThread::~CThread()
{
    if (m_hHandle != NULL && !Wait(0)) {
        DEBUG_FAILURE_MSG("A thread object is being destroyed before the corresponding thread has ended.");
        // A thread that was never resumed would never end by itself, and
        // the join below would block for ever. It is resumed to end at once
        // without its body, which belongs to a derived part that is gone.
        // (Terminating it instead made later CreateThread calls fail now
        // and then with error 87 under Wine 8.)
        SkipIfNeverResumed();
    }
    WaitForEnd();
}

void CThread::SkipIfNeverResumed()
{
    if (m_hHandle == NULL || !m_fSuspended)
        return;
    m_fSkipBody = TRUE;
    DWORD dwPrevious;
    do
        dwPrevious = Resume();
    while (dwPrevious != ~(DWORD)0 && dwPrevious > 1);
}

DWORD CThread::Start()
{
    // Two threads on one object would run one body twice and lose a handle.
    if (!CHECK_NULL(m_hHandle))
        return ERROR_BUSY;
    DWORD dwThreadId = 0;
    HANDLE hThread = ::CreateThread(GetSecurityAttributes(), m_dwStackSize, ThreadEntry, this, CREATE_SUSPENDED,
                                    &dwThreadId);
    if (hThread == NULL)
        return ::GetLastError();
    m_hHandle = hThread;
    m_dwThreadId = dwThreadId;
    m_fSuspended = TRUE;
    m_fSkipBody = FALSE;
    RegisterThreadName(m_csName, m_dwThreadId);
    DEBUG_TRACE_MSG("Thread " << m_csName << " (id: " << m_dwThreadId << ") has been created.");
    return 0;
}

DWORD CThread::Resume()
{
    ASSERT_NOT_NULL(m_hHandle);
    DWORD dw = ::ResumeThread(m_hHandle);
    ASSERT_COND(dw, !=, ~(DWORD)0);
    m_fSuspended = (dw == 0 || dw == 1) ? FALSE : TRUE;
    return dw;
}

DWORD WINAPI CThread::ThreadEntry(void* pvThread)
{
    CThread* pThread = static_cast<CThread*>(pvThread);
    if (pThread->m_fSkipBody)
        ::ExitThread(0);
    pThread->Execute();
    ::ExitThread(pThread->m_dwExitCode);
    return 0;
}

void CThread::Execute()
{
    Run();
    OnEnding();
}

void CThread::OnEnding()
{
    DEBUG_TRACE_MSG("Thread " << m_csName << " (id: " << m_dwThreadId << ") is ending.");
}

void CThread::WaitForEnd()
{
    if (m_hHandle == NULL)
        return;
    if (!Wait(100)) {
        DEBUG_ERROR_MSG("Waiting for thread " << m_csName << " (id: " << m_dwThreadId << ") to end.");
        Wait(INFINITE);
    }
    VERIFY_TRUE(::CloseHandle(m_hHandle));
    m_hHandle = NULL;
}
