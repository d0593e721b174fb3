// The wait multiplexer for more than MAXIMUM_WAIT_OBJECTS enabled objects.
//
// WaitForMultipleObjects takes at most 64 handles, yet the rules must hold
// for any number: the earliest signalled object in array order is the one
// dispatched, only its auto-reset signal is consumed, a time-out returns
// null, and wait-for-all dispatches every object in order.
//
// Wait for any (the common case):
// 1. Poll. WaitForMultipleObjects with time-out 0 over consecutive batches
//    of 64, in array order. A zero-time-out wait consumes only the handle
//    it reports, which is the lowest signalled one of its batch; as the
//    batches before it had none, it is the winner. Nothing else is touched.
//    A call that finds an object at once therefore costs N / 64 system calls
//    and starts no thread; with time-out 0 it never goes further.
// 2. Wait. The calling thread waits on objects 0..62 plus a report event;
//    helper threads wait on the rest, 63 objects each plus the call's stop
//    event at index 0 (so a stop never consumes an object's signal). A
//    helper whose wait is satisfied has consumed that object's signal; it
//    records the object's index and sets the report event. Helpers come from
//    a process-wide pool: an idle helper blocks on its "go" event and retires
//    after 30 s without work. Every waiting thread is blocked in a kernel
//    wait, so an idle waiter uses no CPU.
// 3. Stop. After the calling thread wakes (its own object, the report, the
//    time-out or a failure), it sets the call's one stop event and waits for
//    the last helper to count itself done. Each helper has then consumed at
//    most one signal, which it recorded.
// 4. Decide. The lowest recorded index is the candidate. Objects before it
//    may have become signalled meanwhile, so the range before it is polled
//    as in step 1; a hit there is the winner (and the only signal that poll
//    consumed). Every consumed signal other than the winner's is given back
//    (see GiveBackSignal), so no signal is lost. A time-out with a signal
//    consumed in the stop window is reported as that signal, not as null.
// The cost of one call is linear in the number of objects: one batch wait per
// 63 objects and one wake-up per helper, plus a constant number of calls to
// start and stop them.
//
// Wait for all: the batches of 64 are waited for one after another with the
// remaining time-out. If one times out or fails, the signals consumed by the
// batches before it are given back and null is returned. Unlike the single
// call, the objects of a satisfied batch are held while later batches wait.
//
// Giving a signal back: an auto-reset event is set again, a semaphore is
// released once; other objects (processes, threads, manual-reset events)
// lose nothing to a wait. Mutexes cannot be given back by another thread:
// a set of more than 64 objects must not hold mutexes (the program creates
// none).
#include "common/waitmany.h"

#include <algorithm>
#include <string.h>

#include "common/assertex.h"
#include "common/filestuf.h"
#include "common/handle.h"

void (*g_pfnWaitManyWokenHook)(void* pvContext) = NULL;
void* g_pvWaitManyWokenHookContext = NULL;

namespace {

const DWORD OWN_BATCH = MAXIMUM_WAIT_OBJECTS - 1;      // plus the report event
const DWORD HELPER_BATCH = MAXIMUM_WAIT_OBJECTS - 1;   // plus the stop event
const DWORD HELPER_IDLE_RETIRE_MS = 30000;
const DWORD HELPER_STACK_SIZE = 64 * 1024;
const size_t NO_INDEX = (size_t)-1;

enum EPollResult { POLL_NONE, POLL_HIT, POLL_FAILED };

// The events one call shares with its helpers; kept in the pool between calls.
struct CWaitCall
{
    CHandle m_hReport;   // manual-reset: a helper consumed a signal or failed
    CHandle m_hStop;     // manual-reset: every helper gives up its batch
    CHandle m_hDone;     // auto-reset: the last helper has stored its result
    volatile LONG m_cPending;   // helpers that have not stored their result yet
};

struct CWaitHelper
{
    CHandle m_hGo;    // auto-reset: a batch is ready
    // The batch, written by the caller before m_hGo.
    const HANDLE* m_phHandles;
    DWORD m_cHandles;
    size_t m_iBase;
    CWaitCall* m_pCall;
    // The result, written by the helper before it counts itself done.
    size_t m_iConsumed;
    BOOL m_fFailed;
    DWORD m_dwError;
};

// Never deleted: helpers may still retire while statics are destroyed.
struct CHelperPool
{
    CHelperPool() { ::InitializeCriticalSection(&m_critsec); }
    CRITICAL_SECTION m_critsec;
    std::vector<CWaitHelper*> m_apIdle;
    std::vector<CWaitCall*> m_apSpareCalls;
};

CHelperPool& Pool()
{
    static CHelperPool* s_pPool = new CHelperPool;
    return *s_pPool;
}

// A helper that was not handed out while its wait for work timed out leaves
// the pool; one that was handed out meanwhile finds its go event set.
BOOL RetireIfIdle(CWaitHelper* pHelper)
{
    CHelperPool& pool = Pool();
    ::EnterCriticalSection(&pool.m_critsec);
    std::vector<CWaitHelper*>::iterator it = std::find(pool.m_apIdle.begin(), pool.m_apIdle.end(), pHelper);
    const BOOL fRetire = it != pool.m_apIdle.end();
    if (fRetire)
        pool.m_apIdle.erase(it);
    ::LeaveCriticalSection(&pool.m_critsec);
    if (fRetire)
        delete pHelper;
    return fRetire;
}

DWORD WINAPI HelperRoutine(void* pvHelper)
{
    CWaitHelper* pHelper = static_cast<CWaitHelper*>(pvHelper);
    HANDLE ahWait[MAXIMUM_WAIT_OBJECTS];
    for (;;) {
        if (::WaitForSingleObject(pHelper->m_hGo.Get(), HELPER_IDLE_RETIRE_MS) == WAIT_TIMEOUT) {
            if (RetireIfIdle(pHelper))
                return 0;
            continue;
        }
        // The stop event comes first: when it and an object are signalled
        // together, the wait reports the stop and consumes nothing else.
        CWaitCall* pCall = pHelper->m_pCall;
        ahWait[0] = pCall->m_hStop.Get();
        memcpy(ahWait + 1, pHelper->m_phHandles, pHelper->m_cHandles * sizeof(HANDLE));
        const DWORD dw = ::WaitForMultipleObjects(pHelper->m_cHandles + 1, ahWait, FALSE, INFINITE);
        pHelper->m_iConsumed = NO_INDEX;
        pHelper->m_fFailed = FALSE;
        pHelper->m_dwError = 0;
        if (dw > WAIT_OBJECT_0 && dw <= WAIT_OBJECT_0 + pHelper->m_cHandles) {
            pHelper->m_iConsumed = pHelper->m_iBase + (dw - WAIT_OBJECT_0 - 1);
            ::SetEvent(pCall->m_hReport.Get());
        } else if (dw != WAIT_OBJECT_0) {
            pHelper->m_fFailed = TRUE;
            pHelper->m_dwError = dw == WAIT_FAILED ? ::GetLastError() : ERROR_INVALID_HANDLE;
            ::SetEvent(pCall->m_hReport.Get());
        }
        // The caller reads the results only after the last helper's signal;
        // the others must not touch the call afterwards (it may be reused).
        if (::InterlockedDecrement(&pCall->m_cPending) == 0)
            ::SetEvent(pCall->m_hDone.Get());
    }
}

CWaitHelper* CreateHelper()
{
    CWaitHelper* pHelper = new CWaitHelper();
    pHelper->m_hGo.Reset(::CreateEventA(NULL, FALSE, FALSE, NULL));
    // Helpers are never joined: they end by themselves when idle, or with
    // the process, so the thread handle goes at once.
    CHandle hThread;
    if (pHelper->m_hGo.IsValid())
        hThread.Reset(::CreateThread(NULL, HELPER_STACK_SIZE, HelperRoutine, pHelper,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, NULL));
    if (!hThread.IsValid()) {
        const DWORD dwError = ::GetLastError();
        delete pHelper;
        ::SetLastError(dwError);
        return NULL;
    }
    return pHelper;
}

CWaitCall* CreateCall()
{
    CWaitCall* pCall = new CWaitCall();
    pCall->m_hReport.Reset(::CreateEventA(NULL, TRUE, FALSE, NULL));
    pCall->m_hStop.Reset(::CreateEventA(NULL, TRUE, FALSE, NULL));
    pCall->m_hDone.Reset(::CreateEventA(NULL, FALSE, FALSE, NULL));
    if (!pCall->m_hReport.IsValid() || !pCall->m_hStop.IsValid() || !pCall->m_hDone.IsValid()) {
        const DWORD dwError = ::GetLastError();
        delete pCall;
        ::SetLastError(dwError);
        return NULL;
    }
    return pCall;
}

void ReturnHelpers(std::vector<CWaitHelper*>& apHelpers, CWaitCall* pCall)
{
    CHelperPool& pool = Pool();
    ::EnterCriticalSection(&pool.m_critsec);
    pool.m_apIdle.insert(pool.m_apIdle.end(), apHelpers.begin(), apHelpers.end());
    if (pCall != NULL)
        pool.m_apSpareCalls.push_back(pCall);
    ::LeaveCriticalSection(&pool.m_critsec);
    apHelpers.clear();
}

BOOL TakeHelpers(size_t cHelpers, std::vector<CWaitHelper*>& apHelpers, CWaitCall*& pCall)
{
    CHelperPool& pool = Pool();
    apHelpers.reserve(cHelpers);
    pCall = NULL;
    ::EnterCriticalSection(&pool.m_critsec);
    while (apHelpers.size() < cHelpers && !pool.m_apIdle.empty()) {
        apHelpers.push_back(pool.m_apIdle.back());
        pool.m_apIdle.pop_back();
    }
    if (!pool.m_apSpareCalls.empty()) {
        pCall = pool.m_apSpareCalls.back();
        pool.m_apSpareCalls.pop_back();
    }
    ::LeaveCriticalSection(&pool.m_critsec);
    if (pCall == NULL)
        pCall = CreateCall();
    BOOL fOk = pCall != NULL;
    while (fOk && apHelpers.size() < cHelpers) {
        CWaitHelper* pHelper = CreateHelper();
        fOk = pHelper != NULL;
        if (fOk)
            apHelpers.push_back(pHelper);
    }
    if (!fOk) {
        const DWORD dwError = ::GetLastError();
        DEBUG_MESSAGE(DEBUG_ERROR, "A wait helper thread could not be started. Error " << ErrorText(dwError));
        ReturnHelpers(apHelpers, pCall);
        pCall = NULL;
        ::SetLastError(dwError);
    }
    return fOk;
}

// Undoes a wait's effect on an object that is not dispatched.
void GiveBackSignal(HANDLE h)
{
    struct CEventBasicInformation
    {
        int nEventType;   // 0 notification (manual-reset), 1 synchronization (auto-reset)
        LONG lEventState;
    };
    typedef LONG(NTAPI * PFNNTQUERYEVENT)(HANDLE, int, PVOID, ULONG, PULONG);
    static const PFNNTQUERYEVENT s_pfnNtQueryEvent =
        (PFNNTQUERYEVENT)(void*)::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQueryEvent");
    const DWORD dwSavedError = ::GetLastError();
    CEventBasicInformation info = {};
    if (s_pfnNtQueryEvent != NULL && s_pfnNtQueryEvent(h, 0, &info, sizeof info, NULL) >= 0) {
        // A manual-reset event lost nothing; setting it again could undo a
        // reset that its owner made meanwhile.
        if (info.nEventType == 1)
            ::SetEvent(h);
    } else if (s_pfnNtQueryEvent == NULL) {
        ::SetEvent(h);
    } else {
        // Not an event: a semaphore gets its count back; any other kind of
        // object refuses the call, having lost nothing.
        ::ReleaseSemaphore(h, 1, NULL);
    }
    ::SetLastError(dwSavedError);
}

// Zero-time-out waits over [iFrom, iTo) in batches, in order; the first
// hit is the lowest signalled index and the only signal consumed.
EPollResult PollRange(const std::vector<HANDLE>& ahHandles, size_t iFrom, size_t iTo, size_t& iHit,
                      DWORD& dwError)
{
    for (size_t i = iFrom; i < iTo; i += MAXIMUM_WAIT_OBJECTS) {
        const DWORD c = (DWORD)std::min<size_t>(MAXIMUM_WAIT_OBJECTS, iTo - i);
        const DWORD dw = ::WaitForMultipleObjects(c, &ahHandles[i], FALSE, 0);
        if (dw < WAIT_OBJECT_0 + c) {
            iHit = i + (dw - WAIT_OBJECT_0);
            return POLL_HIT;
        }
        if (dw != WAIT_TIMEOUT) {
            dwError = dw == WAIT_FAILED ? ::GetLastError() : ERROR_INVALID_HANDLE;
            return POLL_FAILED;
        }
    }
    return POLL_NONE;
}

// Steps 2 to 4 of the wait for any.
EPollResult WaitWithHelpers(const std::vector<HANDLE>& ahHandles, DWORD dwTimeout, size_t& iWinner,
                            DWORD& dwError)
{
    const size_t cHandles = ahHandles.size();
    const size_t cHelpers = (cHandles - OWN_BATCH + HELPER_BATCH - 1) / HELPER_BATCH;
    std::vector<CWaitHelper*> apHelpers;
    CWaitCall* pCall = NULL;
    if (!TakeHelpers(cHelpers, apHelpers, pCall)) {
        dwError = ::GetLastError();
        return POLL_FAILED;
    }
    pCall->m_cPending = (LONG)cHelpers;
    for (size_t k = 0; k < cHelpers; k++) {
        CWaitHelper* pHelper = apHelpers[k];
        pHelper->m_iBase = OWN_BATCH + k * HELPER_BATCH;
        pHelper->m_phHandles = &ahHandles[pHelper->m_iBase];
        pHelper->m_cHandles = (DWORD)std::min<size_t>(HELPER_BATCH, cHandles - pHelper->m_iBase);
        pHelper->m_pCall = pCall;
        ::SetEvent(pHelper->m_hGo.Get());
    }

    HANDLE ahOwn[MAXIMUM_WAIT_OBJECTS];
    memcpy(ahOwn, &ahHandles[0], OWN_BATCH * sizeof(HANDLE));
    ahOwn[OWN_BATCH] = pCall->m_hReport.Get();
    const DWORD dw = ::WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, ahOwn, FALSE, dwTimeout);
    std::vector<size_t> aiConsumed;
    aiConsumed.reserve(cHelpers + 1);
    BOOL fFailed = FALSE;
    if (dw < WAIT_OBJECT_0 + OWN_BATCH) {
        aiConsumed.push_back(dw - WAIT_OBJECT_0);
    } else if (dw != WAIT_OBJECT_0 + OWN_BATCH && dw != WAIT_TIMEOUT) {
        fFailed = TRUE;
        dwError = dw == WAIT_FAILED ? ::GetLastError() : ERROR_INVALID_HANDLE;
    }
    if (g_pfnWaitManyWokenHook != NULL)
        g_pfnWaitManyWokenHook(g_pvWaitManyWokenHookContext);

    // One stop for all helpers and one signal back from the last of them:
    // two calls here, however many helpers there are.
    ::SetEvent(pCall->m_hStop.Get());
    ::WaitForSingleObject(pCall->m_hDone.Get(), INFINITE);
    ::ResetEvent(pCall->m_hStop.Get());
    ::ResetEvent(pCall->m_hReport.Get());
    for (size_t k = 0; k < cHelpers; k++) {
        CWaitHelper* pHelper = apHelpers[k];
        if (pHelper->m_iConsumed != NO_INDEX)
            aiConsumed.push_back(pHelper->m_iConsumed);
        if (pHelper->m_fFailed && !fFailed) {
            fFailed = TRUE;
            dwError = pHelper->m_dwError;
        }
    }
    ReturnHelpers(apHelpers, pCall);

    if (fFailed || aiConsumed.empty()) {
        for (size_t i = 0; i < aiConsumed.size(); i++)
            GiveBackSignal(ahHandles[aiConsumed[i]]);
        return fFailed ? POLL_FAILED : POLL_NONE;
    }
    size_t iBest = *std::min_element(aiConsumed.begin(), aiConsumed.end());
    size_t iLower = NO_INDEX;
    DWORD dwPollError = 0;
    // A failure here (a handle closed meanwhile) leaves the candidate standing.
    if (PollRange(ahHandles, 0, iBest, iLower, dwPollError) == POLL_HIT)
        aiConsumed.push_back(iLower);
    else
        iLower = NO_INDEX;
    const size_t iConsumedWinner = iLower != NO_INDEX ? iLower : iBest;
    BOOL fKept = FALSE;
    for (size_t i = 0; i < aiConsumed.size(); i++) {
        if (aiConsumed[i] == iConsumedWinner && !fKept)
            fKept = TRUE;
        else
            GiveBackSignal(ahHandles[aiConsumed[i]]);
    }
    // The same handle may stand for several objects (shared delegates); a
    // single wait would have reported the first of them.
    iWinner = iConsumedWinner;
    for (size_t i = 0; i < iConsumedWinner; i++) {
        if (ahHandles[i] == ahHandles[iConsumedWinner]) {
            iWinner = i;
            break;
        }
    }
    return POLL_HIT;
}

CWaitObject* WaitForAny(const std::vector<HANDLE>& ahHandles, const std::vector<CWaitObject*>& apwoObjects,
                        DWORD dwTimeout)
{
    size_t iWinner = NO_INDEX;
    DWORD dwError = 0;
    EPollResult result = PollRange(ahHandles, 0, ahHandles.size(), iWinner, dwError);
    if (result == POLL_NONE && dwTimeout != 0)
        result = WaitWithHelpers(ahHandles, dwTimeout, iWinner, dwError);
    if (result == POLL_FAILED) {
        ReportWaitFailed(dwError);
        return NULL;
    }
    if (result == POLL_NONE)
        return NULL;
    CWaitObject* pw = apwoObjects[iWinner];
    pw->OnSignalled();
    return pw;
}

CWaitObject* WaitForAll(const std::vector<HANDLE>& ahHandles, const std::vector<CWaitObject*>& apwoObjects,
                        DWORD dwTimeout)
{
    const DWORD dwStart = ::GetTickCount();
    for (size_t i = 0; i < ahHandles.size(); i += MAXIMUM_WAIT_OBJECTS) {
        const DWORD c = (DWORD)std::min<size_t>(MAXIMUM_WAIT_OBJECTS, ahHandles.size() - i);
        DWORD dwRemaining = dwTimeout;
        if (dwTimeout != INFINITE) {
            const DWORD dwElapsed = ::GetTickCount() - dwStart;
            dwRemaining = dwElapsed < dwTimeout ? dwTimeout - dwElapsed : 0;
        }
        const DWORD dw = ::WaitForMultipleObjects(c, &ahHandles[i], TRUE, dwRemaining);
        if (dw < WAIT_OBJECT_0 + c)
            continue;
        const DWORD dwError = dw == WAIT_FAILED ? ::GetLastError() : ERROR_INVALID_HANDLE;
        for (size_t j = 0; j < i; j++)
            GiveBackSignal(ahHandles[j]);
        if (dw != WAIT_TIMEOUT)
            ReportWaitFailed(dwError);
        return NULL;
    }
    for (size_t i = 0; i < apwoObjects.size(); i++)
        apwoObjects[i]->OnSignalled();
    return apwoObjects[0];
}

}  // namespace

CWaitObject* WaitForManyObjects(BOOL fWaitAll, const std::vector<HANDLE>& ahHandles,
                                const std::vector<CWaitObject*>& apwoObjects, DWORD dwTimeout)
{
    if (fWaitAll)
        return WaitForAll(ahHandles, apwoObjects, dwTimeout);
    return WaitForAny(ahHandles, apwoObjects, dwTimeout);
}
