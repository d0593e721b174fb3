// Chains: the two process-wide locks, linking and collecting.
#include "common/chain.h"

#include "common/assertex.h"

namespace {

// Never deleted, and created on first use: chains are built by static
// objects of other translation units and by threads that outlive main.
struct CChainLocks
{
    CChainLocks()
    {
        ::InitializeCriticalSection(&m_critsecBuilding);
        ::InitializeCriticalSection(&m_critsecLink);
    }
    CRITICAL_SECTION m_critsecBuilding;
    CRITICAL_SECTION m_critsecLink;
};

CChainLocks& Locks()
{
    static CChainLocks* s_pLocks = new CChainLocks;
    return *s_pLocks;
}

// Created before the application starts, as every foundation static.
const struct CChainLocksInit { CChainLocksInit() { Locks(); } } s_chainLocksInit;

BOOL OwnsLock(const CRITICAL_SECTION& critsec)
{
    return (DWORD)(DWORD_PTR)critsec.OwningThread == ::GetCurrentThreadId() && critsec.RecursionCount > 0;
}

void AppendChainable(void* pvArray, CChainable* pElement)
{
    static_cast<CChainableArray*>(pvArray)->push_back(pElement);
}

}  // namespace

CChainable::~CChainable()
{
    // Both are looked at (and reported): no short circuit.
    const BOOL fUnlinked = CHECK_NULL(m_pToNext) & CHECK_NULL(m_pToPrev);
    if (fUnlinked)
        return;
    // Still linked: take the element out so that its neighbours never point
    // at freed memory. One link fewer exists afterwards, so the builder's
    // hold for it is released when this thread is the builder.
    CChainLocks& locks = Locks();
    ::EnterCriticalSection(&locks.m_critsecLink);
    if (m_pToPrev != NULL)
        m_pToPrev->m_pToNext = m_pToNext;
    if (m_pToNext != NULL)
        m_pToNext->m_pToPrev = m_pToPrev;
    m_pToNext = m_pToPrev = NULL;
    if (OwnsLock(locks.m_critsecBuilding))
        ::LeaveCriticalSection(&locks.m_critsecBuilding);
    ::LeaveCriticalSection(&locks.m_critsecLink);
}

void CChainable::LinkTo(CChainable& c)
{
    CChainLocks& locks = Locks();
    ::EnterCriticalSection(&locks.m_critsecBuilding);
    ::EnterCriticalSection(&locks.m_critsecLink);
    ASSERT_NULL(m_pToNext);
    ASSERT_NULL(c.m_pToPrev);
    // c is the head of its chain; when this element is that chain's tail
    // (or c itself), the link would close a cycle that no walk could leave.
    BOOL fClosesCycle = FALSE;
    for (CChainable* p = &c; p != NULL && !fClosesCycle; p = p->m_pToNext)
        fClosesCycle = p == this;
    ASSERT_TRUE(!fClosesCycle);
    const BOOL fLink = m_pToNext == NULL && c.m_pToPrev == NULL && !fClosesCycle;
    if (fLink) {
        m_pToNext = &c;
        c.m_pToPrev = this;
    }
    ::LeaveCriticalSection(&locks.m_critsecLink);
    // The building lock stays held once per existing link; a refused link
    // must not leave a hold that no collection would release.
    if (!fLink)
        ::LeaveCriticalSection(&locks.m_critsecBuilding);
}

CChainable& ChainBefore(CChainable& first, CChainable& second)
{
    CChainLocks& locks = Locks();
    ::EnterCriticalSection(&locks.m_critsecBuilding);
    ::EnterCriticalSection(&locks.m_critsecLink);
    CChainable* pHead = &second;
    while (pHead->m_pToPrev != NULL)
        pHead = pHead->m_pToPrev;
    first.LinkTo(*pHead);
    ::LeaveCriticalSection(&locks.m_critsecLink);
    ::LeaveCriticalSection(&locks.m_critsecBuilding);
    return second;
}

void CChainable::CollectChain(CChainableArray& apChainableObjects)
{
    apChainableObjects.clear();
    apChainableObjects.reserve(10);
    CollectChainWith(AppendChainable, &apChainableObjects);
}

void CChainable::CollectChainWith(void (*pfnAppend)(void* pvArray, CChainable* pElement), void* pvArray)
{
    CChainLocks& locks = Locks();
    ::EnterCriticalSection(&locks.m_critsecLink);
    if (m_pToNext == NULL && m_pToPrev == NULL) {
        pfnAppend(pvArray, this);
        ::LeaveCriticalSection(&locks.m_critsecLink);
        return;
    }
    // The building lock is taken before the link lock, as LinkTo does, so
    // the link lock is let go first to keep one lock order.
    ::LeaveCriticalSection(&locks.m_critsecLink);
    ::EnterCriticalSection(&locks.m_critsecBuilding);
    ::EnterCriticalSection(&locks.m_critsecLink);
    CChainable* pHead = this;
    while (pHead->m_pToPrev != NULL)
        pHead = pHead->m_pToPrev;
    size_t cElements = 0;
    for (CChainable* p = pHead; p != NULL;) {
        CChainable* pNext = p->m_pToNext;
        pfnAppend(pvArray, p);
        p->m_pToNext = NULL;
        p->m_pToPrev = NULL;
        cElements++;
        p = pNext;
    }
    // Only holds that this thread took can be given back; a chain built by
    // another thread (a caller error) leaves that thread's holds alone.
    for (size_t i = 1; i < cElements && OwnsLock(locks.m_critsecBuilding); i++)
        ::LeaveCriticalSection(&locks.m_critsecBuilding);
    ::LeaveCriticalSection(&locks.m_critsecLink);
    if (OwnsLock(locks.m_critsecBuilding))
        ::LeaveCriticalSection(&locks.m_critsecBuilding);
}

BOOL IsChainBuildingLockFree()
{
    CChainLocks& locks = Locks();
    if (!::TryEnterCriticalSection(&locks.m_critsecBuilding))
        return FALSE;
    // This thread may hold it itself (recursively); free means nobody did.
    BOOL fFree = locks.m_critsecBuilding.RecursionCount == 1;
    ::LeaveCriticalSection(&locks.m_critsecBuilding);
    return fFree;
}
