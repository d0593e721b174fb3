// A test buffer placed against inaccessible pages, at its end or at its
// start, so that any read outside it faults at once.
#pragma once

#include <windows.h>
#include <string.h>
#include <vector>

class CGuardedBuffer
{
public:
    CGuardedBuffer()
    {
        SYSTEM_INFO si;
        ::GetSystemInfo(&si);
        m_cbPage = si.dwPageSize;
        m_pbBase = (BYTE*)::VirtualAlloc(NULL, 3 * m_cbPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        DWORD dwOld;
        m_fGuarded = m_pbBase != NULL && ::VirtualProtect(m_pbBase, m_cbPage, PAGE_NOACCESS, &dwOld) &&
                     ::VirtualProtect(m_pbBase + 2 * m_cbPage, m_cbPage, PAGE_NOACCESS, &dwOld);
    }
    ~CGuardedBuffer() { ::VirtualFree(m_pbBase, 0, MEM_RELEASE); }
    BOOL IsValid() const { return m_fGuarded; }
    // Copies ab so that it ends at the upper guard (fAtEnd) or starts at the
    // lower one; ab must fit in one page.
    const BYTE* Place(const std::vector<BYTE>& ab, BOOL fAtEnd)
    {
        BYTE* pb = m_pbBase + m_cbPage + (fAtEnd ? m_cbPage - ab.size() : 0);
        if (!ab.empty())
            memcpy(pb, ab.data(), ab.size());
        return pb;
    }

private:
    CGuardedBuffer(const CGuardedBuffer&) = delete;
    CGuardedBuffer& operator=(const CGuardedBuffer&) = delete;

    BYTE* m_pbBase;
    DWORD m_cbPage;
    BOOL m_fGuarded;
};
