// The prober's workers and its two queues.
#include "prober.h"

#include <deque>

#include "common/handle.h"

// What the prober and its workers share: each worker holds a reference, so
// a worker inside a long probe outlives a destroyed prober safely.
struct CProberShared
{
    CProberShared() : m_hWake(::CreateSemaphoreA(NULL, 0, 0x7FFFFFFF, NULL)), m_nWorkers(0), m_nIdle(0), m_fStop(FALSE)
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
        ::WaitForSingleObject(shared.m_hWake.Get(), INFINITE);
        ::EnterCriticalSection(&shared.m_critsec);
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
        ::LeaveCriticalSection(&shared.m_critsec);

        const BOOL fOk = RunProbe(request.m_target, request.m_dwTimeoutMs);

        ::EnterCriticalSection(&shared.m_critsec);
        shared.m_nIdle++;
        shared.m_aResults.push_back(CProbeResult{request.m_dwKey, fOk});
        if (shared.m_hResults != NULL)
            ::SetEvent(shared.m_hResults);
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
    ::LeaveCriticalSection(&m_pShared->m_critsec);
}

int CProber::GetWorkerCount() const
{
    ::EnterCriticalSection(&m_pShared->m_critsec);
    const int nWorkers = m_pShared->m_nWorkers;
    ::LeaveCriticalSection(&m_pShared->m_critsec);
    return nWorkers;
}
