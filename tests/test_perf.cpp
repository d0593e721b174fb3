// The process census: the performance-data parser on buffers built here
// (Wine's own performance data hold no object), sound and damaged.
#include <algorithm>
#include <random>
#include <string.h>
#include <string>
#include <vector>

#include "common/filestuf.h"
#include "common/perf.h"

#include "guard_buffer.h"
#include "record_failures.h"
#include "test_util.h"
#include "test_app.h"

namespace {

// Title indices as an English Windows NT numbers them.
const DWORD PROCESS = 230, THREAD = 232, PROCESSOR = 238, MEMORY = 4, ID_PROCESS = 784, ELAPSED_TIME = 684;

std::vector<BYTE> BuildTitles(const std::vector<std::pair<DWORD, std::string>>& aTitles)
{
    std::string cs;
    for (const auto& title : aTitles)
        cs += std::to_string(title.first) + '\0' + title.second + '\0';
    cs += '\0';
    return std::vector<BYTE>(cs.begin(), cs.end());
}

struct CTestInstance
{
    std::wstring m_wsName;
    std::vector<DWORD> m_adwValues;   // one per counter of the object
};

struct CTestObject
{
    DWORD m_dwTitleIndex;
    std::vector<DWORD> m_adwCounterTitles;
    std::vector<CTestInstance> m_aInstances;   // none: an object without instances
};

DWORD Align8(DWORD cb)
{
    return (cb + 7) & ~7u;
}

template <typename T_>
void Append(std::vector<BYTE>& ab, const T_& value, size_t cb = sizeof(T_))
{
    ab.insert(ab.end(), (const BYTE*)&value, (const BYTE*)&value + cb);
}

// A counter block holds a DWORD after the block header's own, then one
// DWORD per counter.
void AppendCounterBlock(std::vector<BYTE>& ab, const std::vector<DWORD>& adwValues)
{
    const size_t iStart = ab.size();
    PERF_COUNTER_BLOCK counterBlock = {Align8(8 + 4 * (DWORD)adwValues.size())};
    Append(ab, counterBlock);
    Append(ab, (DWORD)0);
    for (DWORD dw : adwValues)
        Append(ab, dw);
    ab.resize(iStart + counterBlock.ByteLength, 0);
}

std::vector<BYTE> BuildPerfData(const std::vector<CTestObject>& aObjects)
{
    std::vector<BYTE> ab;
    PERF_DATA_BLOCK dataBlock = {};
    memcpy(dataBlock.Signature, L"PERF", 8);
    dataBlock.LittleEndian = 1;
    dataBlock.Version = PERF_DATA_VERSION;
    dataBlock.Revision = PERF_DATA_REVISION;
    dataBlock.HeaderLength = sizeof(dataBlock);
    dataBlock.NumObjectTypes = (DWORD)aObjects.size();
    Append(ab, dataBlock);
    for (const CTestObject& object : aObjects) {
        const size_t iObject = ab.size();
        PERF_OBJECT_TYPE objectType = {};
        objectType.HeaderLength = sizeof(objectType);
        objectType.NumCounters = (DWORD)object.m_adwCounterTitles.size();
        objectType.DefinitionLength = sizeof(objectType) + objectType.NumCounters * sizeof(PERF_COUNTER_DEFINITION);
        objectType.ObjectNameTitleIndex = object.m_dwTitleIndex;
        objectType.NumInstances = object.m_aInstances.empty() ? PERF_NO_INSTANCES : (LONG)object.m_aInstances.size();
        Append(ab, objectType);
        for (DWORD i = 0; i < objectType.NumCounters; i++) {
            PERF_COUNTER_DEFINITION definition = {sizeof(definition)};
            definition.CounterNameTitleIndex = object.m_adwCounterTitles[i];
            definition.CounterSize = 4;
            definition.CounterOffset = 8 + 4 * i;
            Append(ab, definition);
        }
        if (object.m_aInstances.empty())
            AppendCounterBlock(ab, std::vector<DWORD>(objectType.NumCounters, 0));
        for (const CTestInstance& testInstance : object.m_aInstances) {
            const size_t iStart = ab.size();
            PERF_INSTANCE_DEFINITION instance = {};
            instance.NameOffset = sizeof(instance);
            instance.NameLength = 2 * ((DWORD)testInstance.m_wsName.size() + 1);
            instance.ByteLength = Align8(sizeof(instance) + instance.NameLength);
            Append(ab, instance);
            Append(ab, *testInstance.m_wsName.c_str(), instance.NameLength);
            ab.resize(iStart + instance.ByteLength, 0);
            AppendCounterBlock(ab, testInstance.m_adwValues);
        }
        const DWORD cbObject = (DWORD)(ab.size() - iObject);
        memcpy(&ab[iObject], &cbObject, 4);   // TotalByteLength
    }
    const DWORD cbTotal = (DWORD)ab.size();
    memcpy(&ab[offsetof(PERF_DATA_BLOCK, TotalByteLength)], &cbTotal, 4);
    return ab;
}

const CTestObject c_process = {
    PROCESS, {ELAPSED_TIME, ID_PROCESS}, {{L"Idle", {1, 0}}, {L"notepad", {2, 100}}, {L"services", {3, 200}}, {L"Notepad", {4, 300}}}};
const CTestObject c_thread = {THREAD, {ID_PROCESS}, {{L"Idle/0", {0}}, {L"notepad/0", {100}}}};

// A machine of the test's making: scripted answers for the titles and the
// performance data, and a record of what was asked.
class CScriptedCensus : public CProcessCensus
{
public:
    explicit CScriptedCensus(BOOL fLoadTitlesNow = FALSE) : CProcessCensus(fLoadTitlesNow)
    {
        EnableToolhelpFallback(FALSE);
    }

    std::vector<BYTE> m_abTitles = BuildTitles({{1, "1847"}, {MEMORY, "Memory"}, {PROCESS, "Process"},
                                                {THREAD, "Thread"}, {PROCESSOR, "Processor"},
                                                {ELAPSED_TIME, "Elapsed Time"}, {ID_PROCESS, "ID Process"}});
    std::vector<BYTE> m_abSnapshot = BuildPerfData({c_process, c_thread});

protected:
    virtual LONG QueryValue(HKEY hKey, const char* pszValueName, DWORD* pdwType, BYTE* pbData,
                            DWORD* pcbData) override
    {
        const BOOL fData = hKey == HKEY_PERFORMANCE_DATA;
        const std::vector<BYTE>& ab = fData ? m_abSnapshot : m_abTitles;
        *pdwType = fData ? REG_BINARY : REG_MULTI_SZ;
        if (!fData && pbData == NULL) {
            *pcbData = (DWORD)ab.size();
            return ERROR_SUCCESS;
        }
        if (*pcbData < ab.size()) {
            if (!fData)
                *pcbData = (DWORD)ab.size();
            return ERROR_MORE_DATA;
        }
        memcpy(pbData, ab.data(), ab.size());
        *pcbData = (DWORD)ab.size();
        return ERROR_SUCCESS;
    }
};

std::string ListText(const CProcessCensus& census)
{
    CStringArray acsNames;
    CDWordArray adwIds;
    census.ListProcesses(acsNames, adwIds);
    std::string cs;
    for (size_t i = 0; i < acsNames.size(); i++)
        cs += acsNames[i] + ":" + std::to_string(adwIds[i]) + " ";
    return cs;
}

}  // namespace

TEST(Census, SeveralObjectsGiveEveryProcessInSnapshotOrder)
{
    CScriptedCensus census;
    census.m_abSnapshot = BuildPerfData(
        {{PROCESSOR, {ELAPSED_TIME}, {}}, c_thread, c_process, {MEMORY, {ELAPSED_TIME, ID_PROCESS}, {}}});
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.GetSource(), (int)CProcessCensus::SOURCE_PERFORMANCE_DATA);
    EXPECT_EQ(ListText(census), "Idle:0 notepad:100 services:200 Notepad:300 ");
    EXPECT_EQ(census.GetThreadInstanceCount(), 2u);
    EXPECT_TRUE(census.IsProcessRunning("NOTEPAD"));
    EXPECT_FALSE(census.IsProcessRunning("notepad.exe"));
    EXPECT_EQ(census.GetProcessId("Notepad"), 100u);
    EXPECT_EQ(census.GetProcessId("explorer"), 0u);
}

// Each damage to a sound snapshot, read from a buffer against guard pages.
TEST(Census, OffsetsAndLengthsOutsideTheDataAreRejected)
{
    CGuardedBuffer guard;
    ASSERT_TRUE(guard.IsValid());
    CScriptedCensus census;
    ASSERT_TRUE(census.LoadTitles());
    const std::vector<BYTE> abSound = BuildPerfData({{MEMORY, {}, {}}, c_process, c_thread});
    ASSERT_TRUE(census.ReadSnapshot(guard.Place(abSound, TRUE), (DWORD)abSound.size()));

    const DWORD cbHeader = sizeof(PERF_DATA_BLOCK);
    const DWORD iProcess = cbHeader + sizeof(PERF_OBJECT_TYPE) + 8;
    const DWORD iInstance = iProcess + sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
    const DWORD iCounterBlock = iInstance + Align8(sizeof(PERF_INSTANCE_DEFINITION) + 10);
    const struct
    {
        const char* m_pszCase;
        DWORD m_iOffset, m_dwValue, m_dwError;
    } aCases[] = {
        {"data block header length past the end", offsetof(PERF_DATA_BLOCK, HeaderLength), 0x7FFFFFF0, ERROR_INVALID_DATA},
        {"object count far beyond the objects found", offsetof(PERF_DATA_BLOCK, NumObjectTypes), 0xFFFFFFFF, 0},
        {"object of length 0 before the one sought", cbHeader, 0, ERROR_INVALID_DATA},
        {"object running past the end", iProcess, 0x10000, ERROR_INVALID_DATA},
        {"definitions longer than the object", iProcess + offsetof(PERF_OBJECT_TYPE, DefinitionLength), 0x10000, ERROR_INVALID_DATA},
        {"instance count far beyond the instances", iProcess + offsetof(PERF_OBJECT_TYPE, NumInstances), 0x7FFFFFFF, ERROR_INVALID_DATA},
        {"counter count far beyond the definitions", iProcess + offsetof(PERF_OBJECT_TYPE, NumCounters), 0x7FFFFFFF, 0},
        {"counter definition of length 0", iProcess + sizeof(PERF_OBJECT_TYPE), 0, ERROR_INVALID_DATA},
        {"instance longer than the object", iInstance, 0x100000, ERROR_INVALID_DATA},
        {"instance shorter than its header", iInstance, 4, ERROR_INVALID_DATA},
        {"name past the instance", iInstance + offsetof(PERF_INSTANCE_DEFINITION, NameOffset), 0x1000, ERROR_INVALID_DATA},
        {"name longer than the instance", iInstance + offsetof(PERF_INSTANCE_DEFINITION, NameLength), 0x1000, ERROR_INVALID_DATA},
        {"counter block longer than the object", iCounterBlock, 0x100000, ERROR_INVALID_DATA},
        {"counter block of length 0", iCounterBlock, 0, ERROR_INVALID_DATA},
        {"ID Process offset past the counter block",
         iProcess + sizeof(PERF_OBJECT_TYPE) + sizeof(PERF_COUNTER_DEFINITION) + offsetof(PERF_COUNTER_DEFINITION, CounterOffset),
         16, ERROR_INVALID_DATA},
    };
    for (auto& c : aCases) {
        std::vector<BYTE> ab = abSound;
        memcpy(&ab[c.m_iOffset], &c.m_dwValue, 4);
        for (BOOL fAtEnd : {TRUE, FALSE}) {
            ::SetLastError(0);
            const BOOL fRead = census.ReadSnapshot(guard.Place(ab, fAtEnd), (DWORD)ab.size());
            EXPECT_EQ(fRead, c.m_dwError == 0) << c.m_pszCase;
            EXPECT_EQ(fRead ? 0 : ::GetLastError(), c.m_dwError) << c.m_pszCase;
            EXPECT_EQ(census.m_fValid, fRead) << c.m_pszCase;
        }
    }
    // The walk past the last object, looking for one that is not there.
    std::vector<BYTE> abNoThread = BuildPerfData({c_process});
    memset(&abNoThread[offsetof(PERF_DATA_BLOCK, NumObjectTypes)], 0xFF, 4);
    EXPECT_FALSE(census.ReadSnapshot(guard.Place(abNoThread, TRUE), (DWORD)abNoThread.size()));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_DATA);
    // Every cut of the sound snapshot.
    for (DWORD cb = 0; cb < abSound.size(); cb++) {
        std::vector<BYTE> ab(abSound.begin(), abSound.begin() + cb);
        EXPECT_FALSE(census.ReadSnapshot(guard.Place(ab, TRUE), cb)) << cb << " bytes";
    }
}

TEST(Census, RandomlyDamagedSnapshotsNeverReadOutsideTheData)
{
    CGuardedBuffer guard;
    ASSERT_TRUE(guard.IsValid());
    CScriptedCensus census;
    ASSERT_TRUE(census.LoadTitles());
    const std::vector<BYTE> abSound = BuildPerfData({{PROCESSOR, {ELAPSED_TIME}, {}}, c_process, c_thread});
    std::mt19937 rng(4242);
    int cRejected = 0;
    for (int iRound = 0; iRound < 6000; iRound++) {
        std::vector<BYTE> ab = abSound;
        for (int i = 0, cChanges = 1 + rng() % 4; i < cChanges; i++) {
            DWORD* pdw = (DWORD*)&ab[(rng() % (ab.size() / 4)) * 4];
            const DWORD adwValues[] = {(DWORD)rng(), (DWORD)rng() % 64, 0xFFFFFFFF - rng() % 16, *pdw + rng() % 33 - 16};
            *pdw = adwValues[rng() % 4];
        }
        if (rng() % 4 == 0)
            ab.resize(rng() % ab.size());
        if (!census.ReadSnapshot(guard.Place(ab, iRound & 1), (DWORD)ab.size())) {
            cRejected++;
            const DWORD dwError = ::GetLastError();
            EXPECT_TRUE(dwError == ERROR_INVALID_DATA || dwError == ERROR_NOT_FOUND) << dwError;
        } else {
            ListText(census);   // reads every name and id found
        }
    }
    EXPECT_GT(cRejected, 1000);
}

// The census as the supervisor builds it, on this machine's own sources.
TEST(CensusToolhelp, DefaultCensusFindsThisProcessWhicheverSourceServes)
{
    CProcessCensus census(TRUE);
    ASSERT_TRUE(census.Collect()) << LastErrorText();
    EXPECT_EQ(census.GetProcessId("test_perf"), ::GetCurrentProcessId()) << ListText(census);
}
