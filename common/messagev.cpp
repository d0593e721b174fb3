#include "common/messagev.h"

#include "common/assertex.h"
#include "common/debug.h"

CMessageV::CMessageV(int nCurrentVersion, int nLowestCompatibleVersion)
    : nCurrentVersion(nCurrentVersion),
      nLowestCompatibleVersion(nLowestCompatibleVersion),
      m_nPeerVersion(-1),
      m_nPeerLowestVersion(-1)
{
    ASSERT_COND(nCurrentVersion, >=, 0);
    ASSERT_COND(nLowestCompatibleVersion, >=, 0);
}

void CMessageV::DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    // The versions must come first, or a reader cannot tell what follows.
    if (!apDataBlocks.empty())
        DEBUG_FAILURE_MSG(
            "Call CMessageV::DoSerialize() before anything else in your implementation of DoSerialize().");
    AddDword(&nCurrentVersion, apDataBlocks, adwDataLengths);
    AddDword(&nLowestCompatibleVersion, apDataBlocks, adwDataLengths);
}

BOOL CMessageV::DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths, int& iBlock)
{
    int iNext = iBlock;
    int nPeerVersion;
    int nPeerLowestVersion;
    if (!ReadDword(&nPeerVersion, apDataBlocks, adwDataLengths, iNext) ||
        !ReadDword(&nPeerLowestVersion, apDataBlocks, adwDataLengths, iNext))
        return FALSE;
    m_nPeerVersion = nPeerVersion;
    m_nPeerLowestVersion = nPeerLowestVersion;
    iBlock = iNext;
    return TRUE;
}
