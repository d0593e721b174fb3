#include "common/perf.h"

#include <algorithm>
#include <new>
#include <stdlib.h>
#include <string.h>
#include <tlhelp32.h>
#include <wchar.h>
#include <winternl.h>

#include "common/assertex.h"
#include "common/debug.h"
#include "common/filestuf.h"
#include "common/widestr.h"

namespace {

const char szTitlesKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Perflib\\009";
// Bounds the size-and-retry loop of the titles, which a value that keeps
// growing could otherwise turn into a loop without end.
const int MAX_TITLES_ATTEMPTS = 16;
const int PROCESS_NAME_CHARACTERS = 15;

// Reads a structure at an offset, when the whole of it lies within the
// first cbLimit bytes. The data need not be aligned.
template <typename T_>
BOOL ReadAt(const BYTE* pbData, DWORD cbLimit, unsigned long long ullOffset, T_& value)
{
    if (ullOffset > cbLimit || cbLimit - ullOffset < sizeof(T_))
        return FALSE;
    memcpy(&value, pbData + ullOffset, sizeof(T_));
    return TRUE;
}

BYTE* AllocateBytes(DWORD cb)
{
    return new (std::nothrow) BYTE[cb != 0 ? cb : 1];
}

// The instance name: UTF-16 from NameOffset, at most NameLength bytes, up
// to its terminator. The caller has checked that it lies in the instance.
std::string InstanceName(const BYTE* pbInstance, const PERF_INSTANCE_DEFINITION& instance)
{
    const DWORD cch = instance.NameLength / sizeof(WCHAR);
    if (cch == 0)
        return std::string();
    std::wstring ws(cch, L'\0');
    memcpy(&ws[0], pbInstance + instance.NameOffset, cch * sizeof(WCHAR));
    return WideToAnsi(ws.c_str(), (int)cch);
}

}  // namespace

std::string ProcessNameFromImage(const WCHAR* pwszImage)
{
    if (pwszImage == NULL)
        return std::string();
    return ProcessNameFromImage(pwszImage, wcslen(pwszImage));
}

std::string ProcessNameFromImage(const WCHAR* pwchImage, size_t cchImage)
{
    if (pwchImage == NULL)
        return std::string();
    std::wstring ws(pwchImage, cchImage);
    const size_t iSlash = ws.find_last_of(L"\\/");
    if (iSlash != std::wstring::npos)
        ws.erase(0, iSlash + 1);
    const size_t iDot = ws.rfind(L'.');
    if (iDot != std::wstring::npos)
        ws.erase(iDot);
    if (ws.size() > (size_t)PROCESS_NAME_CHARACTERS)
        ws.resize(PROCESS_NAME_CHARACTERS);
    return WideToAnsi(ws.c_str(), (int)ws.size());
}

CProcessCensus::CProcessCensus(BOOL fLoadTitlesNow)
    : m_fValid(FALSE),
      m_ftCollected(),
      m_pbTitlesData(NULL),
      m_cbTitlesData(0),
      m_pbData(NULL),
      m_cbData(INITIAL_DATA_SIZE),
      m_pDataBlockHeader(NULL),
      m_pProcessObject(NULL),
      m_pThreadObject(NULL),
      m_fLoadTitlesAtConstruction(fLoadTitlesNow),
      m_fTitlesLoaded(FALSE),
      m_dwProcessTitleIndex(0),
      m_dwThreadTitleIndex(0),
      m_fHasIdProcessTitle(FALSE),
      m_dwIdProcessTitleIndex(0),
      m_fToolhelpFallback(TRUE),
      m_pbSystemList(NULL),
      m_cbSystemList(0),
      m_nSource(SOURCE_NONE),
      m_dwPerformanceDataError(ERROR_SUCCESS)
{
    // Virtual calls made here reach this class's own registry reads.
    if (m_fLoadTitlesAtConstruction)
        m_fTitlesLoaded = LoadTitles();
}

CProcessCensus::~CProcessCensus()
{
    delete[] m_pbTitlesData;
    m_pbTitlesData = NULL;
    delete[] m_pbData;
    m_pbData = NULL;
    delete[] m_pbSystemList;
    m_pbSystemList = NULL;
}

LONG CProcessCensus::QueryValue(HKEY hKey, const char* pszValueName, DWORD* pdwType, BYTE* pbData, DWORD* pcbData)
{
    return ::RegQueryValueExA(hKey, pszValueName, NULL, pdwType, pbData, pcbData);
}

BOOL CProcessCensus::LoadTitles()
{
    HKEY hkTitlesKey = NULL;
    LONG lResult = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, szTitlesKey, 0, KEY_QUERY_VALUE, &hkTitlesKey);
    if (lResult != ERROR_SUCCESS) {
        ::SetLastError((DWORD)lResult);
        return FALSE;
    }

    BOOL fResult = FALSE;
    DWORD dwError = ERROR_SUCCESS;
    delete[] m_pbTitlesData;
    m_pbTitlesData = NULL;
    m_cbTitlesData = 0;
    DWORD dwType = 0;
    DWORD cbTitles = 0;
    for (int iAttempt = 0;; iAttempt++) {
        // The first call has no buffer and only asks for the size.
        cbTitles = m_cbTitlesData;
        lResult = QueryValue(hkTitlesKey, "Counters", &dwType, m_pbTitlesData, &cbTitles);
        if (m_pbTitlesData != NULL && lResult == ERROR_SUCCESS)
            break;
        if (m_pbTitlesData != NULL && lResult != ERROR_MORE_DATA) {
            dwError = (DWORD)lResult;
            break;
        }
        if (m_pbTitlesData == NULL && lResult != ERROR_SUCCESS && lResult != ERROR_MORE_DATA) {
            dwError = (DWORD)lResult;
            break;
        }
        if (iAttempt >= MAX_TITLES_ATTEMPTS) {
            dwError = ERROR_MORE_DATA;
            break;
        }
        delete[] m_pbTitlesData;
        m_pbTitlesData = AllocateBytes(cbTitles);
        m_cbTitlesData = m_pbTitlesData != NULL ? cbTitles : 0;
        if (m_pbTitlesData == NULL) {
            dwError = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
    }

    if (dwError == ERROR_SUCCESS) {
        VERIFY_COND(dwType, "==", REG_MULTI_SZ);
        // Only what the last call wrote counts.
        if (cbTitles < m_cbTitlesData)
            m_cbTitlesData = cbTitles;
        m_fHasIdProcessTitle = FindTitleIndex("ID Process", m_dwIdProcessTitleIndex);
        if (FindTitleIndex("Process", m_dwProcessTitleIndex) && FindTitleIndex("Thread", m_dwThreadTitleIndex)) {
            m_csProcessIndexText = StrFormat("%lu", m_dwProcessTitleIndex);
            m_csThreadIndexText = StrFormat("%lu", m_dwThreadTitleIndex);
            fResult = TRUE;
        } else {
            dwError = ERROR_NOT_FOUND;
        }
    } else {
        delete[] m_pbTitlesData;
        m_pbTitlesData = NULL;
        m_cbTitlesData = 0;
    }
    VERIFY_COND(::RegCloseKey(hkTitlesKey), "==", ERROR_SUCCESS);
    if (!fResult)
        ::SetLastError(dwError);
    return fResult;
}

BOOL CProcessCensus::FindTitleIndex(const char* pszTitle, DWORD& dwIndex) const
{
    if (!CHECK_NOT_NULL(m_pbTitlesData) || pszTitle == NULL)
        return FALSE;
    // Pairs of strings, an index in decimal and its title, ended by an empty
    // string. The value need not be terminated as it should: no string is
    // read past the size that the registry reported.
    const char* pszData = (const char*)m_pbTitlesData;
    const DWORD cbData = m_cbTitlesData;
    DWORD iOffset = 0;
    auto NextString = [&](std::string& cs) {
        if (iOffset >= cbData)
            return FALSE;
        const char* pszStart = pszData + iOffset;
        const void* pvEnd = memchr(pszStart, '\0', cbData - iOffset);
        const DWORD cch = pvEnd != NULL ? (DWORD)((const char*)pvEnd - pszStart) : cbData - iOffset;
        cs.assign(pszStart, cch);
        iOffset += cch + 1;
        return cch != 0 ? TRUE : FALSE;
    };
    std::string csIndex;
    std::string csTitle;
    while (NextString(csIndex) && NextString(csTitle)) {
        if (csTitle == pszTitle) {
            dwIndex = strtoul(csIndex.c_str(), NULL, 10);
            return TRUE;
        }
    }
    return FALSE;
}

void CProcessCensus::ClearSnapshot()
{
    m_fValid = FALSE;
    m_nSource = SOURCE_NONE;
    m_pDataBlockHeader = NULL;
    m_pProcessObject = NULL;
    m_apProcessInstances.clear();
    m_apProcessCounterBlocks.clear();
    m_pThreadObject = NULL;
    m_apThreadInstances.clear();
    m_apThreadCounterBlocks.clear();
    m_acsProcessNames.clear();
    m_adwProcessIds.clear();
}

// Under Wine 8 (measured) the Perflib titles lack "Process", so LoadTitles
// fails with ERROR_NOT_FOUND, and the performance data hold no object at
// all: there the Toolhelp snapshot always serves.
BOOL CProcessCensus::Collect()
{
    ClearSnapshot();
    ::GetSystemTimeAsFileTime(&m_ftCollected);
    m_dwPerformanceDataError = CollectFromPerformanceData();
    if (m_dwPerformanceDataError == ERROR_SUCCESS)
        return TRUE;
    if (!m_fToolhelpFallback) {
        ::SetLastError(m_dwPerformanceDataError);
        return FALSE;
    }
    DEBUG_TRACE_MSG("The performance data gave no process list (error " << ErrorText(m_dwPerformanceDataError)
                                                                        << "); taking a process snapshot.");
    return CollectFromProcessList();
}

DWORD CProcessCensus::CollectFromPerformanceData()
{
    if (m_fLoadTitlesAtConstruction) {
        if (!m_fTitlesLoaded)
            m_fTitlesLoaded = LoadTitles();
        if (!m_fTitlesLoaded)
            return ::GetLastError();
    } else if (!LoadTitles()) {
        return ::GetLastError();
    }

    if (m_pbData == NULL) {
        m_pbData = AllocateBytes(m_cbData);
        if (m_pbData == NULL)
            return ERROR_NOT_ENOUGH_MEMORY;
    }
    // The "Thread" object is asked for because its answer holds "Process" too.
    for (;;) {
        DWORD dwType = 0;
        DWORD cbReturned = m_cbData;
        const LONG lResult = QueryValue(HKEY_PERFORMANCE_DATA, m_csThreadIndexText.c_str(), &dwType, m_pbData,
                                        &cbReturned);
        if (lResult == ERROR_SUCCESS) {
            // A size beyond the buffer would be a fault of the registry; the
            // buffer is all there is to read.
            if (cbReturned > m_cbData)
                cbReturned = m_cbData;
            if (!ReadSnapshot(m_pbData, cbReturned))
                return ::GetLastError();
            m_nSource = SOURCE_PERFORMANCE_DATA;
            return ERROR_SUCCESS;
        }
        if (lResult != ERROR_MORE_DATA)
            return (DWORD)lResult;
        // The size answered with ERROR_MORE_DATA means nothing here: the
        // buffer doubles, so that a large answer takes a few tries, not
        // hundreds. The grown buffer is kept for the next call either way.
        if (m_cbData > MAX_DATA_SIZE / 2)
            return ERROR_MORE_DATA;
        delete[] m_pbData;
        m_cbData *= 2;
        m_pbData = AllocateBytes(m_cbData);
        if (m_pbData == NULL) {
            m_cbData /= 2;
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }
}

DWORD CProcessCensus::FindObjectInstances(const BYTE* pbData, DWORD cbData, DWORD dwTitleIndex,
                                          CObjectInstances& object)
{
    object.m_pObject = NULL;
    object.m_apInstances.clear();
    object.m_apCounterBlocks.clear();

    PERF_DATA_BLOCK dataBlock;
    if (!ReadAt(pbData, cbData, 0, dataBlock))
        return ERROR_INVALID_DATA;
    unsigned long long ullObject = dataBlock.HeaderLength;
    PERF_OBJECT_TYPE objectType;
    DWORD i = 0;
    for (; i < dataBlock.NumObjectTypes; i++) {
        if (!ReadAt(pbData, cbData, ullObject, objectType))
            return ERROR_INVALID_DATA;
        if (objectType.ObjectNameTitleIndex == dwTitleIndex)
            break;
        // Each object at least as long as its header, so that the walk ends.
        if (objectType.TotalByteLength < sizeof(PERF_OBJECT_TYPE))
            return ERROR_INVALID_DATA;
        ullObject += objectType.TotalByteLength;
    }
    if (i >= dataBlock.NumObjectTypes)
        return ERROR_NOT_FOUND;

    // Everything of the object lies within it, and it within the data.
    if (objectType.TotalByteLength > cbData - ullObject || objectType.DefinitionLength > objectType.TotalByteLength ||
        objectType.HeaderLength > objectType.DefinitionLength)
        return ERROR_INVALID_DATA;
    const BYTE* pbObject = pbData + ullObject;
    const DWORD cbObject = objectType.TotalByteLength;
    object.m_pObject = (const PERF_OBJECT_TYPE*)pbObject;

    unsigned long long ullInstance = objectType.DefinitionLength;
    for (LONG iInstance = 0; iInstance < objectType.NumInstances; iInstance++) {
        PERF_INSTANCE_DEFINITION instance;
        if (!ReadAt(pbObject, cbObject, ullInstance, instance) || instance.ByteLength < sizeof(instance) ||
            instance.ByteLength > cbObject - ullInstance)
            return ERROR_INVALID_DATA;
        if (instance.NameLength != 0 &&
            (instance.NameOffset > instance.ByteLength || instance.NameLength > instance.ByteLength - instance.NameOffset))
            return ERROR_INVALID_DATA;
        const unsigned long long ullCounterBlock = ullInstance + instance.ByteLength;
        PERF_COUNTER_BLOCK counterBlock;
        if (!ReadAt(pbObject, cbObject, ullCounterBlock, counterBlock) ||
            counterBlock.ByteLength < sizeof(counterBlock) || counterBlock.ByteLength > cbObject - ullCounterBlock)
            return ERROR_INVALID_DATA;
        object.m_apInstances.push_back((const PERF_INSTANCE_DEFINITION*)(pbObject + ullInstance));
        object.m_apCounterBlocks.push_back((const PERF_COUNTER_BLOCK*)(pbObject + ullCounterBlock));
        ullInstance = ullCounterBlock + counterBlock.ByteLength;
    }
    return ERROR_SUCCESS;
}

DWORD CProcessCensus::ReadProcessEntries()
{
    // The "ID Process" counter: its definition in the object, its value at
    // CounterOffset in each instance's counter block.
    PERF_OBJECT_TYPE objectType;
    memcpy(&objectType, m_pProcessObject, sizeof(objectType));
    const BYTE* pbObject = (const BYTE*)m_pProcessObject;
    BOOL fHasIdCounter = FALSE;
    DWORD dwIdOffset = 0;
    if (m_fHasIdProcessTitle) {
        unsigned long long ullDefinition = objectType.HeaderLength;
        for (DWORD iCounter = 0; iCounter < objectType.NumCounters; iCounter++) {
            PERF_COUNTER_DEFINITION definition;
            if (!ReadAt(pbObject, objectType.DefinitionLength, ullDefinition, definition) ||
                definition.ByteLength < sizeof(definition))
                return ERROR_INVALID_DATA;
            if (definition.CounterNameTitleIndex == m_dwIdProcessTitleIndex) {
                fHasIdCounter = TRUE;
                dwIdOffset = definition.CounterOffset;
                break;
            }
            ullDefinition += definition.ByteLength;
        }
    }

    for (size_t i = 0; i < m_apProcessInstances.size(); i++) {
        const BYTE* pbInstance = (const BYTE*)m_apProcessInstances[i];
        PERF_INSTANCE_DEFINITION instance;
        memcpy(&instance, pbInstance, sizeof(instance));
        DWORD dwId = 0;
        if (fHasIdCounter) {
            PERF_COUNTER_BLOCK counterBlock;
            memcpy(&counterBlock, m_apProcessCounterBlocks[i], sizeof(counterBlock));
            if (!ReadAt((const BYTE*)m_apProcessCounterBlocks[i], counterBlock.ByteLength, dwIdOffset, dwId))
                return ERROR_INVALID_DATA;
        }
        m_acsProcessNames.push_back(InstanceName(pbInstance, instance));
        m_adwProcessIds.push_back(dwId);
    }
    return ERROR_SUCCESS;
}

BOOL CProcessCensus::ReadSnapshot(const BYTE* pbData, DWORD cbData)
{
    ClearSnapshot();
    DWORD dwError = ERROR_INVALID_DATA;
    if (pbData != NULL && m_pbTitlesData != NULL) {
        CObjectInstances process;
        CObjectInstances thread;
        dwError = FindObjectInstances(pbData, cbData, m_dwProcessTitleIndex, process);
        if (dwError == ERROR_SUCCESS)
            dwError = FindObjectInstances(pbData, cbData, m_dwThreadTitleIndex, thread);
        if (dwError == ERROR_SUCCESS) {
            m_pDataBlockHeader = (const PERF_DATA_BLOCK*)pbData;
            m_pProcessObject = process.m_pObject;
            m_apProcessInstances.swap(process.m_apInstances);
            m_apProcessCounterBlocks.swap(process.m_apCounterBlocks);
            m_pThreadObject = thread.m_pObject;
            m_apThreadInstances.swap(thread.m_apInstances);
            m_apThreadCounterBlocks.swap(thread.m_apCounterBlocks);
            dwError = ReadProcessEntries();
        }
    }
    if (dwError != ERROR_SUCCESS) {
        ClearSnapshot();
        ::SetLastError(dwError);
        return FALSE;
    }
    m_fValid = TRUE;
    m_nSource = SOURCE_PERFORMANCE_DATA;
    return TRUE;
}

void CProcessCensus::AddProcess(const std::string& csImageName, DWORD dwId)
{
    if (!m_fValid)
        return;
    const CWideString wsImage(csImageName);
    m_acsProcessNames.push_back(ProcessNameFromImage(wsImage.GetString(), (size_t)wsImage.GetLength()));
    m_adwProcessIds.push_back(dwId);
}

void CProcessCensus::ListProcesses(CStringArray& acsNames, CDWordArray& adwIds) const
{
    ASSERT_TRUE(m_fValid);
    acsNames = m_acsProcessNames;
    adwIds = m_adwProcessIds;
}

BOOL CProcessCensus::IsProcessRunning(const std::string& csName) const
{
    ASSERT_TRUE(m_fValid);
    for (const std::string& csProcess : m_acsProcessNames) {
        if (StrIEqual(csProcess, csName))
            return TRUE;
    }
    return FALSE;
}

DWORD CProcessCensus::GetProcessId(const std::string& csName) const
{
    ASSERT_TRUE(m_fValid);
    for (size_t i = 0; i < m_acsProcessNames.size(); i++) {
        if (StrIEqual(m_acsProcessNames[i], csName))
            return m_adwProcessIds[i];
    }
    return 0;
}
