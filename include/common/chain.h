// CChainable: an element of a short-lived, intrusive, doubly linked chain.
// A chain names a set of objects in a fixed order without allocating: the
// caller links the objects (LinkTo, ChainObjects, ChainBefore), then turns
// the chain into a pointer array with CollectChain, which dissolves it. The
// order of the array is the order of the chain.
//
// Two process-wide critical sections guard chains: the link lock makes each
// link and unlink atomic; the building lock is held by the building thread
// once per existing link, from the first LinkTo until CollectChain releases
// those holds. A chain must therefore be built and collected on one thread,
// without blocking in between, and every chain built must be collected.
// An element owns nothing; it must be unlinked when it is destroyed.
#pragma once

#include <windows.h>
#include <vector>

#include "common/assertex.h"

class CChainable;

// A pointer array of chain elements; it does not own what it points to.
typedef std::vector<CChainable*> CChainableArray;

class CChainable
{
public:
    CChainable() : m_pToNext(NULL), m_pToPrev(NULL) {}
    virtual ~CChainable();

    // Makes c follow this element (this must be a tail, c a head).
    void LinkTo(CChainable& c);
    // Fills the array with the whole chain this element belongs to, head
    // first, and dissolves the chain. An unlinked element yields itself.
    void CollectChain(CChainableArray& apChainableObjects);

    BOOL IsLinked() const { return m_pToNext != NULL || m_pToPrev != NULL; }

    CChainable* m_pToNext;
    CChainable* m_pToPrev;

protected:
    // CollectChain with the appending left to the caller (typed arrays).
    void CollectChainWith(void (*pfnAppend)(void* pvArray, CChainable* pElement), void* pvArray);

private:
    CChainable(const CChainable&) = delete;
    CChainable& operator=(const CChainable&) = delete;
};

// Links the elements in array order (element i to element i + 1) and
// returns the last one; null for an empty array, after the assertion report.
// T_ is CChainable or a class derived from it.
template <class T_>
inline CChainable* ChainObjects(const std::vector<T_*>& apChainableObjects)
{
    ASSERT_COND(apChainableObjects.size(), >, 0);
    if (apChainableObjects.empty())
        return NULL;
    for (size_t i = 0; i + 1 < apChainableObjects.size(); i++)
        apChainableObjects[i]->LinkTo(*apChainableObjects[i + 1]);
    return apChainableObjects.back();
}

// Joins first (the tail of one chain, or an unlinked element) to the head of
// the chain that second belongs to; returns second. The result is one chain:
// first's chain followed by second's.
CChainable& ChainBefore(CChainable& first, CChainable& second);

// For tests and checks: TRUE when the calling thread can take the building
// lock at once, i.e. no other thread holds a chain under construction.
BOOL IsChainBuildingLockFree();
