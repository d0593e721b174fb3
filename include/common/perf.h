// CProcessCensus: the list of the processes that run on this computer, by
// name and id. Collect takes a snapshot; the queries read that snapshot.
//
// The snapshot comes from the performance data in the registry: the object
// "Process", one instance per process named after its image file without
// the extension (at most 15 characters), with the counter "ID Process".
// When the performance data cannot give that list (titles missing, a
// registry error, no "Process" or "Thread" object, malformed data), as on
// machines whose counters are disabled and under Wine, Collect takes the
// list from the system's process list instead (the list a Toolhelp
// snapshot copies, read with one NtQuerySystemInformation call into a
// buffer that is kept; Toolhelp itself where that call is missing; see
// sysproclist.cpp), with names in the same form; the queries behave the
// same whichever source served.
//
// Every offset and length read from the performance data is checked against
// the data's size before it is followed.
//
// Owns its title and data buffers (the data buffer only grows and is kept
// between snapshots). Not locked: one thread (the supervision thread) uses it.
#pragma once

#include <windows.h>
#include <winperf.h>
#include <string>
#include <vector>

#include "common/strutil.h"

class CProcessCensus
{
public:
    enum {
        SOURCE_NONE = 0,
        SOURCE_PERFORMANCE_DATA = 1,
        SOURCE_TOOLHELP = 2   // the system's process list, as Toolhelp gives it
    };
    enum {
        INITIAL_DATA_SIZE = 0xA000,
        // The buffer doubles while the query answers ERROR_MORE_DATA; one
        // that would pass this size ends the attempt.
        MAX_DATA_SIZE = 0x2000000,
        // The system's process list: the first buffer, and the tries for
        // a list that keeps outgrowing the buffer.
        INITIAL_SYSTEM_LIST_SIZE = 0x10000,
        MAX_SYSTEM_LIST_TRIES = 8
    };

    // With fLoadTitlesNow the titles are loaded at once and reloaded only
    // after a failure; without it, every Collect loads them.
    explicit CProcessCensus(BOOL fLoadTitlesNow);
    virtual ~CProcessCensus();

    // Reads the "Counters" value of the Perflib key and finds "Process",
    // "Thread" and "ID Process" in it. FALSE with the Win32 error, or with
    // ERROR_NOT_FOUND when "Process" or "Thread" is not among the titles.
    BOOL LoadTitles();
    // The index of a title (exact case) in the loaded titles.
    BOOL FindTitleIndex(const char* pszTitle, DWORD& dwIndex) const;
    // When the last Collect began (system time): every process it lists was
    // created before then, which tells a reused id from the process listed.
    const FILETIME& GetCollectedTime() const { return m_ftCollected; }
    // Takes a new snapshot. FALSE with the Win32 error when no source gave one.
    BOOL Collect();
    // Reads a snapshot of performance data that a caller holds (Collect
    // passes its own buffer); the titles must be loaded. The instance
    // pointers point into pbData. FALSE with ERROR_INVALID_DATA for data
    // whose offsets or lengths leave the buffer, ERROR_NOT_FOUND when the
    // "Process" or "Thread" object is missing.
    BOOL ReadSnapshot(const BYTE* pbData, DWORD cbData);

    // The name and id of every process of the snapshot, at the same index.
    // The id is 0 when the performance data have no "ID Process" counter.
    void ListProcesses(CStringArray& acsNames, CDWordArray& adwIds) const;
    // Names compare without regard to case.
    BOOL IsProcessRunning(const std::string& csName) const;
    // The id of the first process of that name in snapshot order; 0 if none.
    DWORD GetProcessId(const std::string& csName) const;

    // Keeps a snapshot current between Collects with a process the caller
    // started itself (named from its image file as the snapshot names
    // processes). Nothing happens without a valid snapshot.
    void AddProcess(const std::string& csImageName, DWORD dwId);
    BOOL IsValid() const { return m_fValid; }

    // With FALSE, Collect serves only from the performance data.
    void EnableToolhelpFallback(BOOL fEnable) { m_fToolhelpFallback = fEnable; }
    // Which source served the last successful Collect.
    int GetSource() const { return m_nSource; }
    // Why the performance data failed in the last Collect (0: they did not).
    DWORD GetPerformanceDataError() const { return m_dwPerformanceDataError; }
    DWORD GetDataBufferSize() const { return m_cbData; }
    size_t GetThreadInstanceCount() const { return m_apThreadInstances.size(); }

protected:
    // The registry reads, as RegQueryValueExA; a test replaces them.
    virtual LONG QueryValue(HKEY hKey, const char* pszValueName, DWORD* pdwType, BYTE* pbData, DWORD* pcbData);

public:
    // The snapshot and the titles it is read with.
    BOOL m_fValid;
    FILETIME m_ftCollected;
    BYTE* m_pbTitlesData;
    DWORD m_cbTitlesData;
    BYTE* m_pbData;
    DWORD m_cbData;
    const PERF_DATA_BLOCK* m_pDataBlockHeader;
    const PERF_OBJECT_TYPE* m_pProcessObject;
    std::vector<const PERF_INSTANCE_DEFINITION*> m_apProcessInstances;
    std::vector<const PERF_COUNTER_BLOCK*> m_apProcessCounterBlocks;
    const PERF_OBJECT_TYPE* m_pThreadObject;
    std::vector<const PERF_INSTANCE_DEFINITION*> m_apThreadInstances;
    std::vector<const PERF_COUNTER_BLOCK*> m_apThreadCounterBlocks;
    BOOL m_fLoadTitlesAtConstruction;
    BOOL m_fTitlesLoaded;
    DWORD m_dwProcessTitleIndex;
    std::string m_csProcessIndexText;
    DWORD m_dwThreadTitleIndex;
    std::string m_csThreadIndexText;
    BOOL m_fHasIdProcessTitle;
    DWORD m_dwIdProcessTitleIndex;

    // The snapshot as the queries read it, from either source.
    CStringArray m_acsProcessNames;
    CDWordArray m_adwProcessIds;
    BOOL m_fToolhelpFallback;
    // Receives the system's process list; kept between snapshots, only grows.
    BYTE* m_pbSystemList;
    DWORD m_cbSystemList;
    int m_nSource;
    DWORD m_dwPerformanceDataError;

private:
    CProcessCensus(const CProcessCensus&) = delete;
    CProcessCensus& operator=(const CProcessCensus&) = delete;

    struct CObjectInstances
    {
        const PERF_OBJECT_TYPE* m_pObject;
        std::vector<const PERF_INSTANCE_DEFINITION*> m_apInstances;
        std::vector<const PERF_COUNTER_BLOCK*> m_apCounterBlocks;
    };

    DWORD CollectFromPerformanceData();
    // The fallback: the system's process list (sysproclist.cpp).
    BOOL CollectFromProcessList();
    BOOL CollectFromSystemInformation();
    BOOL CollectFromToolhelp();
    void ClearSnapshot();
    DWORD FindObjectInstances(const BYTE* pbData, DWORD cbData, DWORD dwTitleIndex, CObjectInstances& object);
    DWORD ReadProcessEntries();
};

// The name the performance data give a process: the image file name without
// its folder and extension, cut to its first 15 characters.
std::string ProcessNameFromImage(const WCHAR* pwszImage);
std::string ProcessNameFromImage(const WCHAR* pwchImage, size_t cchImage);
