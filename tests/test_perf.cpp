// The process census: the performance-data parser on buffers built here
// (Wine's own performance data hold no object), and Toolhelp on real
// processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string.h>
#include <string>
#include <vector>

#include "common/childproc.h"
#include "common/filestuf.h"
#include "common/perf.h"

#include <tlhelp32.h>

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
    std::wstring wsName;
    std::vector<DWORD> adwValues;   // one per counter of the object
};

struct CTestObject
{
    DWORD dwTitleIndex;
    std::vector<DWORD> adwCounterTitles;
    std::vector<CTestInstance> aInstances;   // none: an object without instances
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
        objectType.NumCounters = (DWORD)object.adwCounterTitles.size();
        objectType.DefinitionLength = sizeof(objectType) + objectType.NumCounters * sizeof(PERF_COUNTER_DEFINITION);
        objectType.ObjectNameTitleIndex = object.dwTitleIndex;
        objectType.NumInstances = object.aInstances.empty() ? PERF_NO_INSTANCES : (LONG)object.aInstances.size();
        Append(ab, objectType);
        for (DWORD i = 0; i < objectType.NumCounters; i++) {
            PERF_COUNTER_DEFINITION definition = {sizeof(definition)};
            definition.CounterNameTitleIndex = object.adwCounterTitles[i];
            definition.CounterSize = 4;
            definition.CounterOffset = 8 + 4 * i;
            Append(ab, definition);
        }
        if (object.aInstances.empty())
            AppendCounterBlock(ab, std::vector<DWORD>(objectType.NumCounters, 0));
        for (const CTestInstance& testInstance : object.aInstances) {
            const size_t iStart = ab.size();
            PERF_INSTANCE_DEFINITION instance = {};
            instance.NameOffset = sizeof(instance);
            instance.NameLength = 2 * ((DWORD)testInstance.wsName.size() + 1);
            instance.ByteLength = Align8(sizeof(instance) + instance.NameLength);
            Append(ab, instance);
            Append(ab, *testInstance.wsName.c_str(), instance.NameLength);
            ab.resize(iStart + instance.ByteLength, 0);
            AppendCounterBlock(ab, testInstance.adwValues);
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
    LONG m_lTitlesError = ERROR_SUCCESS;
    DWORD m_cbTitlesUnderstated = 0;   // the size answer falls short by this much once
    std::vector<BYTE> m_abSnapshot = BuildPerfData({c_process, c_thread});
    DWORD m_cbNeeded = 0;   // answers ERROR_MORE_DATA below this size
    LONG m_lDataError = ERROR_SUCCESS;

    int m_cTitleQueries = 0;
    std::vector<DWORD> m_acbDataAsked;
    std::vector<std::string> m_acsValueNames;

protected:
    virtual LONG QueryValue(HKEY hKey, const char* pszValueName, DWORD* pdwType, BYTE* pbData,
                            DWORD* pcbData) override
    {
        const BOOL fData = hKey == HKEY_PERFORMANCE_DATA;
        const std::vector<BYTE>& ab = fData ? m_abSnapshot : m_abTitles;
        if (fData) {
            m_acbDataAsked.push_back(*pcbData);
            m_acsValueNames.push_back(pszValueName);
        } else {
            m_cTitleQueries++;
            EXPECT_STREQ(pszValueName, "Counters");
        }
        if ((fData ? m_lDataError : m_lTitlesError) != ERROR_SUCCESS)
            return fData ? m_lDataError : m_lTitlesError;
        *pdwType = fData ? REG_BINARY : REG_MULTI_SZ;
        if (!fData && pbData == NULL) {
            *pcbData = (DWORD)ab.size() - m_cbTitlesUnderstated;
            m_cbTitlesUnderstated = 0;
            return ERROR_SUCCESS;
        }
        if (*pcbData < ab.size() || (fData && *pcbData < m_cbNeeded)) {
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

TEST(CensusTitles, TheFirstPairWithExactlyThatTitleAndValuesThatGrowAreReadAgain)
{
    CScriptedCensus census;
    census.m_abTitles = BuildTitles({{7, "process"}, {PROCESS, "Process"}, {999, "Process"}, {THREAD, "Thread"}});
    ASSERT_TRUE(census.LoadTitles());
    DWORD dwIndex = 0;
    EXPECT_TRUE(census.FindTitleIndex("Process", dwIndex));
    EXPECT_EQ(dwIndex, PROCESS);
    EXPECT_TRUE(census.FindTitleIndex("process", dwIndex));
    EXPECT_EQ(dwIndex, 7u);
    EXPECT_FALSE(census.FindTitleIndex("PROCESS", dwIndex));
    EXPECT_FALSE(census.FindTitleIndex("ID Process", dwIndex));
    EXPECT_EQ(census.m_csThreadIndexText + " " + census.m_csProcessIndexText, "232 230");

    CScriptedCensus censusGrowing;
    censusGrowing.m_cbTitlesUnderstated = 10;
    ASSERT_TRUE(censusGrowing.LoadTitles());
    EXPECT_EQ(censusGrowing.m_cTitleQueries, 3);
    EXPECT_TRUE(censusGrowing.FindTitleIndex("ID Process", dwIndex));
    EXPECT_EQ(dwIndex, ID_PROCESS);

    // Cut inside the last title, with no terminator at all: not read past.
    census.m_abTitles = BuildTitles({{PROCESS, "Process"}, {THREAD, "Thread"}});
    census.m_abTitles.resize(census.m_abTitles.size() - 4);
    EXPECT_FALSE(census.LoadTitles());
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOT_FOUND);
    EXPECT_TRUE(census.FindTitleIndex("Thre", dwIndex));
    census.m_lTitlesError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(census.LoadTitles());
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

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
    EXPECT_EQ(census.m_acsValueNames, std::vector<std::string>{"232"});   // the "Thread" object is asked for
    EXPECT_EQ(census.m_acbDataAsked, std::vector<DWORD>{40960});
}

TEST(Census, SnapshotWithoutProcessOrThreadObjectFailsAndQueriesFindNothing)
{
    for (const std::vector<CTestObject>& aObjects : {std::vector<CTestObject>{c_thread},
                                                      std::vector<CTestObject>{c_process},
                                                      std::vector<CTestObject>{}}) {   // the last as Wine answers
        CScriptedCensus census;
        census.m_abSnapshot = BuildPerfData(aObjects);
        EXPECT_FALSE(census.Collect());
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOT_FOUND);
        CRecordFailures failures;
        CStderrCapture capture;
        EXPECT_FALSE(census.IsProcessRunning("Idle"));
        EXPECT_EQ(census.GetProcessId("Idle"), 0u);
        ASSERT_EQ(failures.Count(), 2u);
        EXPECT_TRUE(failures.Has("ASSERT_TRUE(m_fValid)")) << failures.Texts();
    }
}

TEST(Census, MissingIdProcessCounterOrTitleListsNamesWithIdZero)
{
    CScriptedCensus census;
    census.m_abSnapshot = BuildPerfData({{PROCESS, {ELAPSED_TIME}, {{L"notepad", {5}}, {L"services", {6}}}}, c_thread});
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(ListText(census), "notepad:0 services:0 ");
    EXPECT_TRUE(census.IsProcessRunning("services"));

    CScriptedCensus censusNoTitle;
    censusNoTitle.m_abTitles = BuildTitles({{PROCESS, "Process"}, {THREAD, "Thread"}});
    ASSERT_TRUE(censusNoTitle.Collect());
    EXPECT_EQ(ListText(censusNoTitle), "Idle:0 notepad:0 services:0 Notepad:0 ");
}

TEST(Census, BufferDoublesUntilTheDataFitIsKeptAndOnePastTheLimitEndsTheAttempt)
{
    CScriptedCensus census;
    census.m_cbNeeded = 4 * 40960 + 1;
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.m_acbDataAsked, (std::vector<DWORD>{40960, 81920, 163840, 327680}));
    census.m_acbDataAsked.clear();
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.m_acbDataAsked, std::vector<DWORD>{327680});
    EXPECT_EQ(census.GetProcessId("services"), 200u);

    CScriptedCensus censusNever;
    censusNever.m_cbNeeded = 0xFFFFFFFF;
    EXPECT_FALSE(censusNever.Collect());
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_MORE_DATA);
    ASSERT_EQ(censusNever.m_acbDataAsked.size(), 10u);
    EXPECT_EQ(censusNever.m_acbDataAsked.back(), 40960u << 9);
    EXPECT_LE(censusNever.m_acbDataAsked.back(), (DWORD)CProcessCensus::MAX_DATA_SIZE);
    // The next attempt starts with the larger buffer.
    censusNever.m_acbDataAsked.clear();
    censusNever.m_cbNeeded = 0;
    ASSERT_TRUE(censusNever.Collect());
    EXPECT_EQ(censusNever.m_acbDataAsked, std::vector<DWORD>{40960u << 9});
}

TEST(Census, RegistryErrorsAreReturnedAndTitlesReloadedByTheConstructionRule)
{
    CScriptedCensus census;
    census.m_lDataError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(census.Collect());
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(census.GetPerformanceDataError(), (DWORD)ERROR_ACCESS_DENIED);
    // Titles failing: no performance query at all.
    census.m_lDataError = ERROR_SUCCESS;
    census.m_lTitlesError = ERROR_FILE_NOT_FOUND;
    census.m_acbDataAsked.clear();
    EXPECT_FALSE(census.Collect());
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(census.m_acbDataAsked.empty());
    // Without loading at construction, every Collect loads the titles.
    census.m_lTitlesError = ERROR_SUCCESS;
    census.m_cTitleQueries = 0;
    ASSERT_TRUE(census.Collect());
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.m_cTitleQueries, 4);

    // With it, once they are loaded they are not read again. (The load in
    // the constructor reads the real registry, which Wine leaves without
    // usable titles; then the first Collect loads the scripted ones.)
    CScriptedCensus censusLoaded(TRUE);
    ASSERT_TRUE(censusLoaded.Collect());
    const int cQueries = censusLoaded.m_cTitleQueries;
    ASSERT_TRUE(censusLoaded.Collect());
    ASSERT_TRUE(censusLoaded.Collect());
    EXPECT_EQ(censusLoaded.m_cTitleQueries, cQueries);
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
        const char* pszCase;
        DWORD iOffset, dwValue, dwError;
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
        memcpy(&ab[c.iOffset], &c.dwValue, 4);
        for (BOOL fAtEnd : {TRUE, FALSE}) {
            ::SetLastError(0);
            const BOOL fRead = census.ReadSnapshot(guard.Place(ab, fAtEnd), (DWORD)ab.size());
            EXPECT_EQ(fRead, c.dwError == 0) << c.pszCase;
            EXPECT_EQ(fRead ? 0 : ::GetLastError(), c.dwError) << c.pszCase;
            EXPECT_EQ(census.m_fValid, fRead) << c.pszCase;
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

TEST(CensusToolhelp, ImageNamesTakeThePerformanceDataForm)
{
    const std::pair<const WCHAR*, const char*> aCases[] = {
        {L"C:\\windows\\system32\\Notepad.EXE", "Notepad"}, {L"my.tool.exe", "my.tool"},
        {L"census_sleeper_long_name.exe", "census_sleeper_"}, {L"exactly15charsx.exe", "exactly15charsx"},
        {L"noextension", "noextension"}, {L"", ""}};
    for (auto& c : aCases)
        EXPECT_EQ(ProcessNameFromImage(c.first), c.second);
}

TEST(CensusToolhelp, WhenThePerformanceDataFailRealProcessesAreFoundByTheirCutName)
{
    CScriptedCensus census;
    census.EnableToolhelpFallback(TRUE);
    census.m_lDataError = ERROR_ACCESS_DENIED;
    // Its name is longer than the 15 characters that names are cut to.
    const std::string csSleeper = "\"" + GetTestDirectory() + "census_sleeper_long_name.exe\" 20000";
    CTestChild aSleepers[2] = {CTestChild(csSleeper), CTestChild(csSleeper)};
    for (CTestChild& sleeper : aSleepers)
        ASSERT_TRUE(sleeper.Create()) << LastErrorText();
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.GetSource(), (int)CProcessCensus::SOURCE_TOOLHELP);
    EXPECT_EQ(census.GetPerformanceDataError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(census.GetProcessId("test_perf"), ::GetCurrentProcessId());
    CStringArray acsNames;
    CDWordArray adwIds, adwSleepers;
    census.ListProcesses(acsNames, adwIds);
    for (size_t i = 0; i < acsNames.size(); i++)
        if (acsNames[i] == "census_sleeper_")
            adwSleepers.push_back(adwIds[i]);
    ASSERT_EQ(adwSleepers.size(), 2u) << ListText(census);
    EXPECT_EQ(census.GetProcessId("Census_Sleeper_"), adwSleepers[0]);   // the first in snapshot order
    std::sort(adwSleepers.begin(), adwSleepers.end());
    CDWordArray adwStarted = {aSleepers[0].m_processinfo.dwProcessId, aSleepers[1].m_processinfo.dwProcessId};
    std::sort(adwStarted.begin(), adwStarted.end());
    EXPECT_EQ(adwSleepers, adwStarted);
    EXPECT_FALSE(census.IsProcessRunning("census_sleeper_long_name"));
    for (CTestChild& sleeper : aSleepers) {
        sleeper.Terminate(1);
        EXPECT_TRUE(sleeper.Wait(10000));
    }

    // A snapshot without the "Process" object, and data that never fit,
    // fall back too.
    census.m_lDataError = ERROR_SUCCESS;
    census.m_abSnapshot = BuildPerfData({});
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.GetSource(), (int)CProcessCensus::SOURCE_TOOLHELP);
    EXPECT_EQ(census.GetPerformanceDataError(), (DWORD)ERROR_NOT_FOUND);
    EXPECT_FALSE(census.IsProcessRunning("census_sleeper_"));
    census.m_cbNeeded = 0xFFFFFFFF;
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.GetPerformanceDataError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(census.GetProcessId("test_perf"), ::GetCurrentProcessId());
}

// The fallback reads the system's process list itself; a Toolhelp snapshot
// of the same moment must give the same names for the same ids. Processes
// of other programs may come and go in between, so a mismatch is tried
// again a few times.
TEST(CensusToolhelp, SystemListAgreesWithAToolhelpSnapshot)
{
    CScriptedCensus census;
    census.EnableToolhelpFallback(TRUE);
    census.m_lDataError = ERROR_ACCESS_DENIED;
    CTestChild sleeper("\"" + GetTestDirectory() + "census_sleeper_long_name.exe\" 20000");
    ASSERT_TRUE(sleeper.Create()) << LastErrorText();
    std::map<DWORD, std::string> mapListed, mapSnapshot;
    for (int nAttempt = 0; nAttempt < 5; nAttempt++) {
        ASSERT_TRUE(census.Collect());
        ASSERT_EQ(census.GetSource(), (int)CProcessCensus::SOURCE_TOOLHELP);
        CStringArray acsNames;
        CDWordArray adwIds;
        census.ListProcesses(acsNames, adwIds);
        mapListed.clear();
        for (size_t i = 0; i < acsNames.size(); i++)
            mapListed[adwIds[i]] = acsNames[i];
        HANDLE hSnapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        ASSERT_NE(hSnapshot, INVALID_HANDLE_VALUE);
        PROCESSENTRY32W entry = {};
        entry.dwSize = sizeof entry;
        mapSnapshot.clear();
        for (BOOL f = ::Process32FirstW(hSnapshot, &entry); f; f = ::Process32NextW(hSnapshot, &entry))
            mapSnapshot[entry.th32ProcessID] =
                entry.th32ProcessID == 0 ? std::string("Idle") : ProcessNameFromImage(entry.szExeFile);
        ::CloseHandle(hSnapshot);
        if (mapListed == mapSnapshot)
            break;
    }
    EXPECT_EQ(mapListed, mapSnapshot);
    EXPECT_EQ(mapListed[sleeper.m_processinfo.dwProcessId], "census_sleeper_");
    EXPECT_EQ(mapListed[::GetCurrentProcessId()], "test_perf");
}

// The census as the supervisor builds it, on this machine's own sources.
TEST(CensusToolhelp, DefaultCensusFindsThisProcessWhicheverSourceServes)
{
    CProcessCensus census(TRUE);
    ASSERT_TRUE(census.Collect()) << LastErrorText();
    EXPECT_EQ(census.GetProcessId("test_perf"), ::GetCurrentProcessId()) << ListText(census);
}
