// Wait objects, kernel events and the wait multiplexer for up to
// MAXIMUM_WAIT_OBJECTS enabled objects (more go to waitmany.cpp).
#include "common/win32.h"

#include "common/assertex.h"
#include "common/waitmany.h"

namespace {

void AppendWaitObject(void* pvArray, CChainable* pElement)
{
    CWaitObject* pwo = dynamic_cast<CWaitObject*>(pElement);
    if (CHECK_NOT_NULL(pwo))
        static_cast<CWaitObjectArray*>(pvArray)->push_back(pwo);
}

}  // namespace

CWaitObject::~CWaitObject()
{
    m_pwoDelegate = NULL;
    m_phWaitHandle = NULL;
    m_fEnabled = TRUE;
}

void CWaitObject::OnSignalled()
{
    if (m_pwoDelegate != NULL)
        m_pwoDelegate->OnSignalled();
}

HANDLE CWaitObject::GetWaitHandle() const
{
    // A delegate cycle is a caller error; the slow pointer (one step for
    // every two of the fast one) meets the fast one inside any cycle, so
    // the walk ends instead of spinning for ever.
    const CWaitObject* pwo = this;
    const CWaitObject* pwoSlow = this;
    BOOL fStep = FALSE;
    while (pwo->m_pwoDelegate != NULL) {
        pwo = pwo->m_pwoDelegate;
        if (fStep)
            pwoSlow = pwoSlow->m_pwoDelegate;
        fStep = !fStep;
        if (!CHECK_TRUE(pwo != pwoSlow))
            return NULL;
    }
    return pwo->m_phWaitHandle != NULL ? *pwo->m_phWaitHandle : NULL;
}

BOOL CWaitObject::HasValidWaitHandle() const
{
    return IsValidHandle(GetWaitHandle());
}

BOOL CWaitObject::Wait(DWORD dwTimeout)
{
    // INVALID_HANDLE_VALUE is also the current-process pseudo-handle: a wait
    // on it would never end.
    if (!CHECK_TRUE(HasValidWaitHandle()))
        return FALSE;
    DWORD dwWaitObject = ::WaitForSingleObject(GetWaitHandle(), dwTimeout);
    if (dwWaitObject == WAIT_OBJECT_0) {
        OnSignalled();
        return TRUE;
    }
    if (dwWaitObject == WAIT_TIMEOUT)
        return FALSE;
    ASSERT_TRUE(dwWaitObject == WAIT_OBJECT_0 || dwWaitObject == WAIT_TIMEOUT);
    return FALSE;
}

void CWaitObject::CollectChain(CWaitObjectArray& apWaitObjects)
{
    apWaitObjects.clear();
    apWaitObjects.reserve(10);
    CollectChainWith(AppendWaitObject, &apWaitObjects);
}

CKernelEvent::CKernelEvent() : m_hHandle(NULL)
{
    m_phWaitHandle = &m_hHandle;
}

CKernelEvent::CKernelEvent(DWORD dwFlags) : m_hHandle(NULL)
{
    m_phWaitHandle = &m_hHandle;
    Create(dwFlags, NULL);
}

CKernelEvent::~CKernelEvent()
{
    Close();
}

BOOL CKernelEvent::Create(DWORD dwFlags, const char* pchName)
{
    // Creating over a live handle would leak it and strand its waiters.
    if (!CHECK_NULL(m_hHandle)) {
        ::SetLastError(ERROR_ALREADY_INITIALIZED);
        return FALSE;
    }
    if (pchName != NULL && *pchName == '\0')
        pchName = NULL;
    const BOOL fManualReset = (dwFlags & EVENT_MANUAL_RESET) != 0;
    const BOOL fAutoReset = (dwFlags & EVENT_AUTO_RESET) != 0;
    ASSERT_COND(fManualReset + fAutoReset, ==, 1);
    const BOOL fInitSignalled = (dwFlags & EVENT_INITIALLY_SIGNALLED) != 0;
    const BOOL fInitNonSignalled = (dwFlags & EVENT_INITIALLY_NONSIGNALLED) != 0;
    ASSERT_COND(fInitSignalled + fInitNonSignalled, ==, 1);
    m_hHandle = ::CreateEventA(GetSecurityAttributes(), fManualReset, fInitSignalled, pchName);
    ASSERT_TRUE(pchName != NULL || m_hHandle != NULL);
    if (m_hHandle == NULL)
        return FALSE;
    ASSERT_TRUE(::GetLastError() == 0 || ::GetLastError() == ERROR_ALREADY_EXISTS);
    return TRUE;
}

BOOL CKernelEvent::Set()
{
    ASSERT_NOT_NULL(m_hHandle);
    BOOL fOk = ::SetEvent(m_hHandle);
    VERIFY_TRUE(fOk);
    return fOk;
}

BOOL CKernelEvent::Reset()
{
    ASSERT_NOT_NULL(m_hHandle);
    BOOL fOk = ::ResetEvent(m_hHandle);
    VERIFY_TRUE(fOk);
    return fOk;
}

void CKernelEvent::Close()
{
    if (m_hHandle != NULL) {
        VERIFY_TRUE(::CloseHandle(m_hHandle));
        m_hHandle = NULL;
    }
}

void ReportWaitFailed(DWORD dwError)
{
    DEBUG_MESSAGE(DEBUG_ERROR, "::WaitForMultipleObjects failed.  Error: " << StrFormat("%lx", dwError));
    ::SetLastError(dwError);
}

CWaitObject* WaitForWaitObjects(BOOL fWaitAll, const CWaitObjectArray& apWaitObjects, DWORD dwTimeout)
{
    // Up to MAXIMUM_WAIT_OBJECTS enabled objects live in these two tables;
    // only a larger set allocates, and goes to WaitForManyObjects.
    HANDLE ahWaitHandles[MAXIMUM_WAIT_OBJECTS];
    CWaitObject* apwoGathered[MAXIMUM_WAIT_OBJECTS];
    DWORD cEnabledWaitObjects = 0;
    std::vector<HANDLE> ahMany;
    std::vector<CWaitObject*> apwoMany;
    for (size_t i = 0; i < apWaitObjects.size(); i++) {
        CWaitObject* pw = apWaitObjects[i];
        if (!CHECK_NOT_NULL(pw) || !pw->m_fEnabled)
            continue;
        ASSERT_TRUE(pw->HasValidWaitHandle());
        // An object without a handle can never fire; waiting on a null
        // handle would fail every call, and INVALID_HANDLE_VALUE stands for
        // this process. It is left out.
        if (!pw->HasValidWaitHandle())
            continue;
        if (cEnabledWaitObjects < MAXIMUM_WAIT_OBJECTS) {
            ahWaitHandles[cEnabledWaitObjects] = pw->GetWaitHandle();
            apwoGathered[cEnabledWaitObjects] = pw;
        } else {
            if (ahMany.empty()) {
                ahMany.reserve(apWaitObjects.size());
                apwoMany.reserve(apWaitObjects.size());
                ahMany.assign(ahWaitHandles, ahWaitHandles + MAXIMUM_WAIT_OBJECTS);
                apwoMany.assign(apwoGathered, apwoGathered + MAXIMUM_WAIT_OBJECTS);
            }
            ahMany.push_back(pw->GetWaitHandle());
            apwoMany.push_back(pw);
        }
        cEnabledWaitObjects++;
    }
    if (cEnabledWaitObjects > MAXIMUM_WAIT_OBJECTS)
        return WaitForManyObjects(fWaitAll, ahMany, apwoMany, dwTimeout);
    ASSERT_COND(cEnabledWaitObjects, >, 0);
    DWORD dwWaitObject = ::WaitForMultipleObjects(cEnabledWaitObjects, ahWaitHandles, fWaitAll, dwTimeout);
    if (dwWaitObject == WAIT_TIMEOUT)
        return NULL;
    if (dwWaitObject == WAIT_FAILED) {
        ReportWaitFailed(::GetLastError());
        return NULL;
    }
    // Abandoned mutexes and I/O completions cannot be dispatched.
    if (!CHECK_COND(dwWaitObject, <, WAIT_OBJECT_0 + cEnabledWaitObjects))
        return NULL;
    if (!fWaitAll) {
        CWaitObject* pw = apwoGathered[dwWaitObject - WAIT_OBJECT_0];
        pw->OnSignalled();
        return pw;
    }
    for (DWORD i = 0; i < cEnabledWaitObjects; i++)
        apwoGathered[i]->OnSignalled();
    return apwoGathered[0];
}
