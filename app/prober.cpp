// The prober's workers and its two queues.
#include "prober.h"

#include <deque>

#include "common/handle.h"
#include "common/millitim.h"

// What the prober and its workers share: each worker holds a reference, so
// a worker inside a long probe outlives a destroyed prober safely.
struct CProberShared
{
    CProberShared()
        : m_hWake(::CreateSemaphoreA(NULL, 0, 0x7FFFFFFF, NULL)), m_nWorkers(0), m_nIdle(0), m_fStop(FALSE),
          m_ullLastStartMs(0), m_ullUnsignalledMs(0)
    {
        ::InitializeCriticalSection(&m_critsec);
    }
    ~CProberShared() { ::DeleteCriticalSection(&m_critsec); }

    CRITICAL_SECTION m_critsec;          // guards everything below but m_hWake
    CHandle m_hWake;                     // one count per queued request (and per worker at the stop)
    std::deque<CProbeRequest> m_aQueue;
    CProbeResultArray m_aResults;
    HANDLE m_hResults;                   // the prober's event while it lives, then NULL
    int m_nWorkers;
    int m_nIdle;                         // workers waiting for a request
    BOOL m_fStop;
    ULONGLONG m_ullLastStartMs;          // when the latest probe began
    ULONGLONG m_ullUnsignalledMs;        // when the oldest result not yet signalled came; 0: none

    // Called with the lock held after a result is queued, and by an idle
    // worker whose wait timed out. Results that come close together are
    // signalled once: each wake of the supervision loop costs more than a
    // probe. One probe begun a moment ago is likely to end soon; a result
    // waits for it at most c_dwCoalesceMs.
    void SignalResults(BOOL fTimedOut)
    {
        const ULONGLONG ullNow = GetMonotonicMilliseconds();
        if (m_aResults.empty())
            return;
        if (m_ullUnsignalledMs == 0)
            m_ullUnsignalledMs = ullNow;
        const BOOL fOthersSoon = !m_aQueue.empty() || (m_nIdle < m_nWorkers && ullNow - m_ullLastStartMs < c_dwCoalesceMs);
        if (fOthersSoon && !fTimedOut && ullNow - m_ullUnsignalledMs < c_dwCoalesceMs)
            return;
        m_ullUnsignalledMs = 0;
        if (m_hResults != NULL)
            ::SetEvent(m_hResults);
    }
    static const DWORD c_dwCoalesceMs = 100;
};

namespace {

struct CWorkerStart
{
    std::shared_ptr<CProberShared> m_pShared;
};

DWORD WINAPI WorkerEntry(LPVOID pv)
{
    std::unique_ptr<CWorkerStart> pStart(static_cast<CWorkerStart*>(pv));
    CProberShared& shared = *pStart->m_pShared;
    for (;;) {
        // Results held back are signalled after a moment, by an idle worker.
        ::EnterCriticalSection(&shared.m_critsec);
        const DWORD dwWait = shared.m_ullUnsignalledMs != 0 ? CProberShared::c_dwCoalesceMs : INFINITE;
        ::LeaveCriticalSection(&shared.m_critsec);
        const BOOL fTimedOut = ::WaitForSingleObject(shared.m_hWake.Get(), dwWait) == WAIT_TIMEOUT;
        ::EnterCriticalSection(&shared.m_critsec);
        if (fTimedOut) {
            shared.SignalResults(TRUE);
            ::LeaveCriticalSection(&shared.m_critsec);
            continue;
        }
        if (shared.m_fStop || shared.m_aQueue.empty()) {
            const BOOL fStop = shared.m_fStop;
            ::LeaveCriticalSection(&shared.m_critsec);
            if (fStop)
                return 0;
            continue;
        }
        CProbeRequest request = shared.m_aQueue.front();
        shared.m_aQueue.pop_front();
        shared.m_nIdle--;
        shared.m_ullLastStartMs = GetMonotonicMilliseconds();
        ::LeaveCriticalSection(&shared.m_critsec);

        const BOOL fOk = RunProbe(request.m_target, request.m_dwTimeoutMs);

        ::EnterCriticalSection(&shared.m_critsec);
        shared.m_nIdle++;
        shared.m_aResults.push_back(CProbeResult{request.m_dwKey, fOk});
        shared.SignalResults(FALSE);
        ::LeaveCriticalSection(&shared.m_critsec);
    }
}

}  // namespace

CProber::CProber()
    : m_evResults(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED), m_pShared(std::make_shared<CProberShared>())
{
    m_pShared->m_hResults = m_evResults.m_hHandle;
}

CProber::~CProber()
{
    ::EnterCriticalSection(&m_pShared->m_critsec);
    m_pShared->m_fStop = TRUE;
    m_pShared->m_hResults = NULL;
    const int nWorkers = m_pShared->m_nWorkers;
    ::LeaveCriticalSection(&m_pShared->m_critsec);
    if (nWorkers > 0)
        ::ReleaseSemaphore(m_pShared->m_hWake.Get(), nWorkers, NULL);
}

BOOL CProber::Submit(const CProbeRequest& request)
{
    CProberShared& shared = *m_pShared;
    ::EnterCriticalSection(&shared.m_critsec);
    shared.m_aQueue.push_back(request);
    DWORD dwError = 0;
    if ((int)shared.m_aQueue.size() > shared.m_nIdle && shared.m_nWorkers < c_nMaxProbeWorkers) {
        CWorkerStart* pStart = new CWorkerStart{m_pShared};
        CHandle hThread(::CreateThread(NULL, 64 * 1024, WorkerEntry, pStart, STACK_SIZE_PARAM_IS_A_RESERVATION, NULL));
        if (hThread.IsValid()) {
            shared.m_nWorkers++;
            shared.m_nIdle++;
        } else {
            dwError = ::GetLastError();
            delete pStart;
        }
    }
    const BOOL fServed = shared.m_nWorkers > 0;
    if (!fServed)
        shared.m_aQueue.pop_back();
    ::LeaveCriticalSection(&shared.m_critsec);
    if (!fServed) {
        ::SetLastError(dwError);
        return FALSE;
    }
    ::ReleaseSemaphore(shared.m_hWake.Get(), 1, NULL);
    return TRUE;
}

void CProber::TakeResults(CProbeResultArray& aResults)
{
    ::EnterCriticalSection(&m_pShared->m_critsec);
    aResults.insert(aResults.end(), m_pShared->m_aResults.begin(), m_pShared->m_aResults.end());
    m_pShared->m_aResults.clear();
    m_pShared->m_ullUnsignalledMs = 0;
    ::LeaveCriticalSection(&m_pShared->m_critsec);
}

int CProber::GetWorkerCount() const
{
    ::EnterCriticalSection(&m_pShared->m_critsec);
    const int nWorkers = m_pShared->m_nWorkers;
    ::LeaveCriticalSection(&m_pShared->m_critsec);
    return nWorkers;
}
