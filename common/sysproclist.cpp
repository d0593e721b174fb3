// The census's fallback source: the system's process list, read with one
// NtQuerySystemInformation call into a kept buffer, or through a Toolhelp
// snapshot where that call is missing. Names take the form the performance
// data give them.
#include "common/perf.h"

#include <algorithm>
#include <new>
#include <string.h>
#include <tlhelp32.h>
#include <winternl.h>

#include "common/assertex.h"
#include "common/debug.h"
#include "common/handle.h"

// Toolhelp hands out this same list, but Wine 8's Toolhelp asks for it with
// a buffer that starts at 4 KB and doubles, listing every process anew at
// each try, and maps its snapshot section twice per entry read: with 500
// processes a snapshot took 28 to 50 ms against 16 to 27 ms for the one
// call made here (measured with ovrbench parts). The supervisor takes a
// census before every UNIQUE start and every 3 s, so this is most of its
// start-up step and of its idle cost.
BOOL CProcessCensus::CollectFromSystemInformation()
{
    typedef LONG(NTAPI * PFNQUERYSYSTEMINFORMATION)(ULONG, PVOID, ULONG, PULONG);
    static const PFNQUERYSYSTEMINFORMATION s_pfnQuery = (PFNQUERYSYSTEMINFORMATION)(void*)::GetProcAddress(
        ::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    const LONG STATUS_LENGTH_MISMATCH = (LONG)0xC0000004;
    if (s_pfnQuery == NULL)
        return FALSE;
    ULONG cbReturned = 0;
    LONG lStatus = STATUS_LENGTH_MISMATCH;
    for (int cTries = 0; cTries < MAX_SYSTEM_LIST_TRIES; cTries++) {
        if (m_pbSystemList != NULL) {
            cbReturned = 0;
            lStatus = s_pfnQuery(SystemProcessInformation, m_pbSystemList, m_cbSystemList, &cbReturned);
            if (lStatus != STATUS_LENGTH_MISMATCH)
                break;
        }
        // Processes may start before the next try: room beyond the size asked for.
        const DWORD cbWanted = std::max<DWORD>(std::max<DWORD>(m_cbSystemList * 2, INITIAL_SYSTEM_LIST_SIZE),
                                               (DWORD)cbReturned + (DWORD)cbReturned / 4);
        delete[] m_pbSystemList;
        m_cbSystemList = 0;
        m_pbSystemList = new (std::nothrow) BYTE[cbWanted];
        if (m_pbSystemList == NULL)
            return FALSE;
        m_cbSystemList = cbWanted;
    }
    if (lStatus < 0)
        return FALSE;
    // Every entry and every name must lie within what the call filled in.
    const DWORD cbList = (cbReturned != 0 && cbReturned < m_cbSystemList) ? (DWORD)cbReturned : m_cbSystemList;
    const BYTE* const pbEnd = m_pbSystemList + cbList;
    DWORD dwOffset = 0;
    for (;;) {
        if (cbList < sizeof(SYSTEM_PROCESS_INFORMATION) || dwOffset > cbList - sizeof(SYSTEM_PROCESS_INFORMATION)) {
            m_acsProcessNames.clear();
            m_adwProcessIds.clear();
            return FALSE;
        }
        SYSTEM_PROCESS_INFORMATION spi;
        memcpy(&spi, m_pbSystemList + dwOffset, sizeof spi);
        const DWORD dwProcessId = (DWORD)(ULONG_PTR)spi.UniqueProcessId;
        const BYTE* pbName = (const BYTE*)spi.ImageName.Buffer;
        std::string csName;
        if (dwProcessId == 0) {
            // The idle process has no image; the performance data call it "Idle".
            csName = "Idle";
        } else if (pbName >= m_pbSystemList && pbName <= pbEnd && spi.ImageName.Length <= pbEnd - pbName) {
            std::wstring wsImage(spi.ImageName.Length / sizeof(WCHAR), L'\0');
            if (!wsImage.empty())
                memcpy(&wsImage[0], pbName, wsImage.size() * sizeof(WCHAR));
            csName = ProcessNameFromImage(wsImage.c_str(), wsImage.size());
        }
        m_acsProcessNames.push_back(csName);
        m_adwProcessIds.push_back(dwProcessId);
        if (spi.NextEntryOffset == 0)
            break;
        dwOffset += spi.NextEntryOffset;
    }
    m_fValid = TRUE;
    m_nSource = SOURCE_TOOLHELP;
    return TRUE;
}

BOOL CProcessCensus::CollectFromProcessList()
{
    return CollectFromSystemInformation() || CollectFromToolhelp();
}

BOOL CProcessCensus::CollectFromToolhelp()
{
    CHandle hSnapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!hSnapshot.IsValid())
        return FALSE;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    BOOL fMore = ::Process32FirstW(hSnapshot.Get(), &entry);
    DWORD dwError = fMore ? ERROR_SUCCESS : ::GetLastError();
    while (fMore) {
        // The idle process has no image; the performance data call it "Idle".
        m_acsProcessNames.push_back(entry.th32ProcessID == 0 ? std::string("Idle")
                                                              : ProcessNameFromImage(entry.szExeFile));
        m_adwProcessIds.push_back(entry.th32ProcessID);
        entry.dwSize = sizeof(entry);
        fMore = ::Process32NextW(hSnapshot.Get(), &entry);
        if (!fMore)
            dwError = ::GetLastError();
    }
    hSnapshot.Reset();
    if (dwError != ERROR_NO_MORE_FILES) {
        m_acsProcessNames.clear();
        m_adwProcessIds.clear();
        ::SetLastError(dwError);
        return FALSE;
    }
    m_fValid = TRUE;
    m_nSource = SOURCE_TOOLHELP;
    return TRUE;
}

