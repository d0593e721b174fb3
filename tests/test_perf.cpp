#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string.h>
#include <string>
#include <vector>

#include "common/filestuf.h"
#include "common/perf.h"
#include <tlhelp32.h>

#include "guard_buffer.h"
#include "record_failures.h"
#include "test_app.h"

namespace {

// Title indices as an English Windows NT numbers them.
const DWORD PROCESS_INDEX = 230;
const DWORD THREAD_INDEX = 232;
const DWORD PROCESSOR_INDEX = 238;
const DWORD MEMORY_INDEX = 4;
const DWORD ID_PROCESS_INDEX = 784;
const DWORD ELAPSED_TIME_INDEX = 684;

std::vector<BYTE> BuildTitles(const std::vector<std::pair<DWORD, std::string>>& aTitles)
{
    std::string cs;
    for (const auto& title : aTitles) {
        cs += std::to_string(title.first);
        cs.push_back('\0');
        cs += title.second;
        cs.push_back('\0');
    }
    cs.push_back('\0');
    return std::vector<BYTE>(cs.begin(), cs.end());
}

std::vector<BYTE> StandardTitles()
{
    return BuildTitles({{1, "1847"},
                        {MEMORY_INDEX, "Memory"},
                        {PROCESS_INDEX, "Process"},
                        {THREAD_INDEX, "Thread"},
                        {PROCESSOR_INDEX, "Processor"},
                        {ELAPSED_TIME_INDEX, "Elapsed Time"},
                        {ID_PROCESS_INDEX, "ID Process"}});
}

struct CTestInstance
{
    std::wstring wsName;
    std::vector<DWORD> adwValues;  // one per counter of the object
};

struct CTestObject
{
    DWORD dwTitleIndex;
    std::vector<DWORD> adwCounterTitles;
    std::vector<CTestInstance> aInstances;  // none: an object without instances
};

DWORD Align8(DWORD cb)
{
    return (cb + 7) & ~7u;
}

template <typename T_>
void Append(std::vector<BYTE>& ab, const T_& value)
{
    const BYTE* pb = (const BYTE*)&value;
    ab.insert(ab.end(), pb, pb + sizeof(value));
}

// Counter blocks hold a DWORD after the block header's own, then one
// DWORD per counter.
std::vector<BYTE> BuildCounterBlock(const std::vector<DWORD>& adwValues)
{
    std::vector<BYTE> ab;
    PERF_COUNTER_BLOCK counterBlock = {};
    counterBlock.ByteLength = Align8(8 + 4 * (DWORD)adwValues.size());
    Append(ab, counterBlock);
    Append(ab, (DWORD)0);
    for (DWORD dw : adwValues)
        Append(ab, dw);
    ab.resize(counterBlock.ByteLength, 0);
    return ab;
}

std::vector<BYTE> BuildObject(const CTestObject& object)
{
    std::vector<BYTE> ab;
    PERF_OBJECT_TYPE objectType = {};
    objectType.HeaderLength = sizeof(objectType);
    objectType.DefinitionLength =
        sizeof(objectType) + (DWORD)object.adwCounterTitles.size() * sizeof(PERF_COUNTER_DEFINITION);
    objectType.ObjectNameTitleIndex = object.dwTitleIndex;
    objectType.NumCounters = (DWORD)object.adwCounterTitles.size();
    objectType.NumInstances = object.aInstances.empty() ? PERF_NO_INSTANCES : (LONG)object.aInstances.size();
    Append(ab, objectType);
    for (size_t i = 0; i < object.adwCounterTitles.size(); i++) {
        PERF_COUNTER_DEFINITION definition = {};
        definition.ByteLength = sizeof(definition);
        definition.CounterNameTitleIndex = object.adwCounterTitles[i];
        definition.CounterSize = 4;
        definition.CounterOffset = 8 + 4 * (DWORD)i;
        Append(ab, definition);
    }
    if (object.aInstances.empty()) {
        std::vector<BYTE> abBlock = BuildCounterBlock(std::vector<DWORD>(object.adwCounterTitles.size(), 0));
        ab.insert(ab.end(), abBlock.begin(), abBlock.end());
    }
    for (const CTestInstance& testInstance : object.aInstances) {
        PERF_INSTANCE_DEFINITION instance = {};
        instance.NameOffset = sizeof(instance);
        instance.NameLength = 2 * ((DWORD)testInstance.wsName.size() + 1);
        instance.ByteLength = Align8(sizeof(instance) + instance.NameLength);
        const size_t iStart = ab.size();
        Append(ab, instance);
        const BYTE* pbName = (const BYTE*)testInstance.wsName.c_str();
        ab.insert(ab.end(), pbName, pbName + instance.NameLength);
        ab.resize(iStart + instance.ByteLength, 0);
        std::vector<BYTE> abBlock = BuildCounterBlock(testInstance.adwValues);
        ab.insert(ab.end(), abBlock.begin(), abBlock.end());
    }
    const DWORD cbTotal = (DWORD)ab.size();
    memcpy(&ab[0], &cbTotal, 4);  // TotalByteLength
    return ab;
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
        std::vector<BYTE> abObject = BuildObject(object);
        ab.insert(ab.end(), abObject.begin(), abObject.end());
    }
    const DWORD cbTotal = (DWORD)ab.size();
    memcpy(&ab[offsetof(PERF_DATA_BLOCK, TotalByteLength)], &cbTotal, 4);
    return ab;
}

CTestObject ProcessObject()
{
    return {PROCESS_INDEX,
            {ELAPSED_TIME_INDEX, ID_PROCESS_INDEX},
            {{L"Idle", {1, 0}}, {L"notepad", {2, 100}}, {L"services", {3, 200}}, {L"Notepad", {4, 300}}}};
}

CTestObject ThreadObject()
{
    return {THREAD_INDEX, {ID_PROCESS_INDEX}, {{L"Idle/0", {0}}, {L"notepad/0", {100}}}};
}

// A machine of the test's making: scripted answers for the titles and the
// performance data, and a record of what was asked.
class CScriptedCensus : public CProcessCensus
{
public:
    explicit CScriptedCensus(BOOL fLoadTitlesNow = FALSE) : CProcessCensus(fLoadTitlesNow)
    {
        EnableToolhelpFallback(FALSE);
    }

    std::vector<BYTE> m_abTitles = StandardTitles();
    LONG m_lTitlesError = ERROR_SUCCESS;
    DWORD m_cbTitlesUnderstated = 0;  // the size answer falls short by this much once
    std::vector<BYTE> m_abSnapshot;
    DWORD m_cbNeeded = 0;  // answers ERROR_MORE_DATA below this size
    LONG m_lDataError = ERROR_SUCCESS;

    int m_cTitleQueries = 0;
    std::vector<DWORD> m_acbDataAsked;
    std::vector<std::string> m_acsValueNames;

protected:
    virtual LONG QueryValue(HKEY hKey, const char* pszValueName, DWORD* pdwType, BYTE* pbData,
                            DWORD* pcbData) override
    {
        if (hKey == HKEY_PERFORMANCE_DATA) {
            m_acbDataAsked.push_back(*pcbData);
            m_acsValueNames.push_back(pszValueName);
            if (m_lDataError != ERROR_SUCCESS)
                return m_lDataError;
            const DWORD cbData = (DWORD)m_abSnapshot.size();
            if (*pcbData < cbData || *pcbData < m_cbNeeded)
                return ERROR_MORE_DATA;
            memcpy(pbData, m_abSnapshot.data(), cbData);
            *pcbData = cbData;
            *pdwType = REG_BINARY;
            return ERROR_SUCCESS;
        }
        m_cTitleQueries++;
        EXPECT_STREQ(pszValueName, "Counters");
        if (m_lTitlesError != ERROR_SUCCESS)
            return m_lTitlesError;
        *pdwType = REG_MULTI_SZ;
        const DWORD cbTitles = (DWORD)m_abTitles.size();
        if (pbData == NULL) {
            *pcbData = cbTitles - m_cbTitlesUnderstated;
            m_cbTitlesUnderstated = 0;
            return ERROR_SUCCESS;
        }
        if (*pcbData < cbTitles) {
            *pcbData = cbTitles;
            return ERROR_MORE_DATA;
        }
        memcpy(pbData, m_abTitles.data(), cbTitles);
        *pcbData = cbTitles;
        return ERROR_SUCCESS;
    }
};

// A started copy of the sleeper, ended and waited for when it goes.
class CSleeper
{
public:
    CSleeper()
    {
        const std::string csPath = GetModulePath(NULL);
        const std::string csExe =
            csPath.substr(0, csPath.find_last_of('\\') + 1) + "census_sleeper_long_name.exe";
        std::string csCommand = "\"" + csExe + "\" 20000";
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        m_pi = {};
        m_fStarted = ::CreateProcessA(csExe.c_str(), &csCommand[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL,
                                      &si, &m_pi);
    }
    ~CSleeper() { End(); }
    void End()
    {
        if (!m_fStarted)
            return;
        ::TerminateProcess(m_pi.hProcess, 1);
        ::WaitForSingleObject(m_pi.hProcess, 10000);
        ::CloseHandle(m_pi.hProcess);
        ::CloseHandle(m_pi.hThread);
        m_fStarted = FALSE;
    }
    BOOL m_fStarted;
    PROCESS_INFORMATION m_pi;
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

TEST(CensusTitles, IndexOfTheFirstPairWithExactlyThatTitle)
{
    CScriptedCensus census;
    census.m_abTitles = BuildTitles(
        {{7, "process"}, {PROCESS_INDEX, "Process"}, {999, "Process"}, {THREAD_INDEX, "Thread"}});
    ASSERT_TRUE(census.LoadTitles());
    DWORD dwIndex = 0;
    EXPECT_TRUE(census.FindTitleIndex("Process", dwIndex));
    EXPECT_EQ(dwIndex, PROCESS_INDEX);
    EXPECT_TRUE(census.FindTitleIndex("process", dwIndex));
    EXPECT_EQ(dwIndex, 7u);
    EXPECT_FALSE(census.FindTitleIndex("PROCESS", dwIndex));
    EXPECT_FALSE(census.FindTitleIndex("ID Process", dwIndex));
    EXPECT_EQ(census.m_csThreadIndexText, "232");
    EXPECT_EQ(census.m_csProcessIndexText, "230");

    // A value that grows between the size question and the read is asked for again.
    CScriptedCensus censusGrowing;
    censusGrowing.m_cbTitlesUnderstated = 10;
    ASSERT_TRUE(censusGrowing.LoadTitles());
    EXPECT_EQ(censusGrowing.m_cTitleQueries, 3);
    EXPECT_TRUE(censusGrowing.FindTitleIndex("ID Process", dwIndex));
    EXPECT_EQ(dwIndex, ID_PROCESS_INDEX);
}

TEST(CensusTitles, MissingOrUnterminatedTitlesFailWithoutReadingPastTheValue)
{
    CScriptedCensus census;
    // Cut inside the last title: no terminator at all.
    std::vector<BYTE> abTitles = BuildTitles({{PROCESS_INDEX, "Process"}, {THREAD_INDEX, "Thread"}});
    abTitles.resize(abTitles.size() - 4);
    census.m_abTitles = abTitles;
    ::SetLastError(0);
    EXPECT_FALSE(census.LoadTitles());
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOT_FOUND);
    DWORD dwIndex = 0;
    EXPECT_TRUE(census.FindTitleIndex("Thre", dwIndex));

    census.m_lTitlesError = ERROR_ACCESS_DENIED;
    EXPECT_FALSE(census.LoadTitles());
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST(Census, SeveralObjectsGiveEveryProcessInSnapshotOrder)
{
    CScriptedCensus census;
    census.m_abSnapshot = BuildPerfData({{PROCESSOR_INDEX, {ELAPSED_TIME_INDEX}, {}},
                                         ThreadObject(),
                                         ProcessObject(),
                                         {MEMORY_INDEX, {ELAPSED_TIME_INDEX, ID_PROCESS_INDEX}, {}}});
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.GetSource(), (int)CProcessCensus::SOURCE_PERFORMANCE_DATA);
    EXPECT_EQ(ListText(census), "Idle:0 notepad:100 services:200 Notepad:300 ");
    EXPECT_EQ(census.GetThreadInstanceCount(), 2u);
    EXPECT_TRUE(census.IsProcessRunning("NOTEPAD"));
    EXPECT_FALSE(census.IsProcessRunning("notepad.exe"));
    EXPECT_EQ(census.GetProcessId("Notepad"), 100u);
    EXPECT_EQ(census.GetProcessId("SERVICES"), 200u);
    EXPECT_EQ(census.GetProcessId("explorer"), 0u);
    ASSERT_EQ(census.m_acsValueNames.size(), 1u);
    EXPECT_EQ(census.m_acsValueNames[0], "232");  // the "Thread" object is asked for
    EXPECT_EQ(census.m_acbDataAsked[0], 40960u);
}

TEST(Census, SnapshotWithoutProcessOrThreadObjectFailsAndQueriesFindNothing)
{
    const std::vector<BYTE> aabSnapshots[] = {
        BuildPerfData({ThreadObject()}),
        BuildPerfData({ProcessObject()}),
        BuildPerfData({}),  // what Wine answers
    };
    for (const std::vector<BYTE>& abSnapshot : aabSnapshots) {
        CScriptedCensus census;
        census.m_abSnapshot = abSnapshot;
        ::SetLastError(0);
        EXPECT_FALSE(census.Collect());
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOT_FOUND);
        EXPECT_FALSE(census.m_fValid);

        CRecordFailures failures;
        CStderrCapture capture;
        EXPECT_FALSE(census.IsProcessRunning("Idle"));
        EXPECT_EQ(census.GetProcessId("Idle"), 0u);
        ASSERT_EQ(failures.Records().size(), 2u);
        EXPECT_NE(failures.Records()[0].csText.find("ASSERT_TRUE(m_fValid)"), std::string::npos)
            << failures.Records()[0].csText;
    }
}

TEST(Census, MissingIdProcessCounterListsNamesWithIdZero)
{
    CScriptedCensus census;
    CTestObject process = {PROCESS_INDEX, {ELAPSED_TIME_INDEX}, {{L"notepad", {5}}, {L"services", {6}}}};
    census.m_abSnapshot = BuildPerfData({process, ThreadObject()});
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(ListText(census), "notepad:0 services:0 ");
    EXPECT_TRUE(census.IsProcessRunning("services"));
    EXPECT_EQ(census.GetProcessId("services"), 0u);

    // The same when the titles lack "ID Process" altogether.
    CScriptedCensus censusNoTitle;
    censusNoTitle.m_abTitles = BuildTitles({{PROCESS_INDEX, "Process"}, {THREAD_INDEX, "Thread"}});
    censusNoTitle.m_abSnapshot = BuildPerfData({ProcessObject(), ThreadObject()});
    ASSERT_TRUE(censusNoTitle.Collect());
    EXPECT_EQ(ListText(censusNoTitle), "Idle:0 notepad:0 services:0 Notepad:0 ");
}

TEST(Census, BufferGrowsBy10240UntilTheDataFitAndIsKept)
{
    CScriptedCensus census;
    census.m_abSnapshot = BuildPerfData({ProcessObject(), ThreadObject()});
    census.m_cbNeeded = 40960 + 3 * 10240 + 1;
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.m_acbDataAsked, (std::vector<DWORD>{40960, 51200, 61440, 71680, 81920}));
    EXPECT_EQ(census.GetDataBufferSize(), 81920u);

    census.m_acbDataAsked.clear();
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.m_acbDataAsked, (std::vector<DWORD>{81920}));
    EXPECT_EQ(census.GetProcessId("services"), 200u);
}

TEST(Census, The251stMoreDataEndsTheAttemptAfterGrowingTheBuffer)
{
    CScriptedCensus census;
    census.m_abSnapshot = BuildPerfData({ProcessObject(), ThreadObject()});
    census.m_cbNeeded = 0xFFFFFFFF;
    ::SetLastError(0);
    EXPECT_FALSE(census.Collect());
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_MORE_DATA);
    ASSERT_EQ(census.m_acbDataAsked.size(), 251u);
    EXPECT_EQ(census.m_acbDataAsked.back(), 40960u + 250u * 10240u);
    EXPECT_EQ(census.GetDataBufferSize(), 40960u + 251u * 10240u);

    // The next attempt starts with the larger buffer.
    census.m_acbDataAsked.clear();
    census.m_cbNeeded = 0;
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.m_acbDataAsked, (std::vector<DWORD>{40960u + 251u * 10240u}));
}

TEST(Census, RegistryErrorsAreReturnedAndTitlesReloadedByTheConstructionRule)
{
    CScriptedCensus census;
    census.m_abSnapshot = BuildPerfData({ProcessObject(), ThreadObject()});
    census.m_lDataError = ERROR_ACCESS_DENIED;
    ::SetLastError(0);
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
    censusLoaded.m_abSnapshot = census.m_abSnapshot;
    ASSERT_TRUE(censusLoaded.Collect());
    EXPECT_TRUE(censusLoaded.m_fTitlesLoaded);
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
    const std::vector<BYTE> abSound = BuildPerfData({{MEMORY_INDEX, {}, {}}, ProcessObject(), ThreadObject()});
    ASSERT_LE(abSound.size(), guard.GetCapacity());
    ASSERT_TRUE(census.ReadSnapshot(guard.Place(abSound, TRUE), (DWORD)abSound.size()));

    const DWORD cbHeader = sizeof(PERF_DATA_BLOCK);
    const DWORD cbMemory = sizeof(PERF_OBJECT_TYPE) + 8;
    const DWORD iProcess = cbHeader + cbMemory;
    const DWORD iFirstInstance = iProcess + sizeof(PERF_OBJECT_TYPE) + 2 * sizeof(PERF_COUNTER_DEFINITION);
    const DWORD iFirstCounterBlock = iFirstInstance + Align8(sizeof(PERF_INSTANCE_DEFINITION) + 10);
    struct {
        const char* pszCase;
        DWORD iOffset;
        DWORD dwValue;
        DWORD dwError;
    } aCases[] = {
        {"data block header length past the end", offsetof(PERF_DATA_BLOCK, HeaderLength), 0x7FFFFFF0, ERROR_INVALID_DATA},
        {"object count far beyond the objects found", offsetof(PERF_DATA_BLOCK, NumObjectTypes), 0xFFFFFFFF, ERROR_SUCCESS},
        {"object of length 0 before the one sought", cbHeader, 0, ERROR_INVALID_DATA},
        {"object running past the end", iProcess, 0x10000, ERROR_INVALID_DATA},
        {"definitions longer than the object", iProcess + offsetof(PERF_OBJECT_TYPE, DefinitionLength), 0x10000, ERROR_INVALID_DATA},
        {"instance count far beyond the instances", iProcess + offsetof(PERF_OBJECT_TYPE, NumInstances), 0x7FFFFFFF, ERROR_INVALID_DATA},
        {"counter count far beyond the definitions", iProcess + offsetof(PERF_OBJECT_TYPE, NumCounters), 0x7FFFFFFF, ERROR_SUCCESS},
        {"counter definition of length 0", iProcess + sizeof(PERF_OBJECT_TYPE), 0, ERROR_INVALID_DATA},
        {"instance longer than the object", iFirstInstance, 0x100000, ERROR_INVALID_DATA},
        {"instance shorter than its header", iFirstInstance, 4, ERROR_INVALID_DATA},
        {"name past the instance", iFirstInstance + offsetof(PERF_INSTANCE_DEFINITION, NameOffset), 0x1000, ERROR_INVALID_DATA},
        {"name longer than the instance", iFirstInstance + offsetof(PERF_INSTANCE_DEFINITION, NameLength), 0x1000, ERROR_INVALID_DATA},
        {"counter block longer than the object", iFirstCounterBlock, 0x100000, ERROR_INVALID_DATA},
        {"counter block of length 0", iFirstCounterBlock, 0, ERROR_INVALID_DATA},
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
            EXPECT_EQ(fRead, c.dwError == ERROR_SUCCESS) << c.pszCase;
            EXPECT_EQ(fRead ? 0 : ::GetLastError(), c.dwError) << c.pszCase;
            EXPECT_EQ(census.m_fValid, fRead) << c.pszCase;
        }
    }
    // The walk past the last object, looking for one that is not there.
    std::vector<BYTE> abNoThread = BuildPerfData({ProcessObject()});
    const DWORD dwHugeCount = 0xFFFFFFFF;
    memcpy(&abNoThread[offsetof(PERF_DATA_BLOCK, NumObjectTypes)], &dwHugeCount, 4);
    ::SetLastError(0);
    EXPECT_FALSE(census.ReadSnapshot(guard.Place(abNoThread, TRUE), (DWORD)abNoThread.size()));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_DATA);

    // Shorter than a data block header, and every cut of the sound snapshot.
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
    const std::vector<BYTE> abSound = BuildPerfData({{PROCESSOR_INDEX, {ELAPSED_TIME_INDEX}, {}}, ProcessObject(),
                                                     ThreadObject()});
    std::mt19937 rng(4242);
    int cRead = 0;
    int cRejected = 0;
    for (int iRound = 0; iRound < 6000; iRound++) {
        std::vector<BYTE> ab = abSound;
        const int cChanges = 1 + (int)(rng() % 4);
        for (int i = 0; i < cChanges; i++) {
            const size_t iDword = (rng() % (ab.size() / 4)) * 4;
            DWORD dwValue;
            switch (rng() % 4) {
            case 0: dwValue = rng(); break;
            case 1: dwValue = rng() % 64; break;
            case 2: dwValue = 0xFFFFFFFF - rng() % 16; break;
            default: memcpy(&dwValue, &ab[iDword], 4); dwValue += (DWORD)(rng() % 33) - 16; break;
            }
            memcpy(&ab[iDword], &dwValue, 4);
        }
        if (rng() % 4 == 0)
            ab.resize(rng() % ab.size());
        ::SetLastError(0);
        if (census.ReadSnapshot(guard.Place(ab, iRound & 1), (DWORD)ab.size())) {
            cRead++;
            CStringArray acsNames;
            CDWordArray adwIds;
            census.ListProcesses(acsNames, adwIds);
            EXPECT_EQ(acsNames.size(), adwIds.size());
        } else {
            cRejected++;
            const DWORD dwError = ::GetLastError();
            EXPECT_TRUE(dwError == ERROR_INVALID_DATA || dwError == ERROR_NOT_FOUND) << dwError;
        }
    }
    EXPECT_GT(cRejected, 1000);
    std::cout << "damaged snapshots read " << cRead << ", rejected " << cRejected << std::endl;
}

TEST(CensusToolhelp, ImageNamesTakeThePerformanceDataForm)
{
    EXPECT_EQ(ProcessNameFromImage(L"C:\\windows\\system32\\Notepad.EXE"), "Notepad");
    EXPECT_EQ(ProcessNameFromImage(L"services.exe"), "services");
    EXPECT_EQ(ProcessNameFromImage(L"my.tool.exe"), "my.tool");
    EXPECT_EQ(ProcessNameFromImage(L"census_sleeper_long_name.exe"), "census_sleeper_");
    EXPECT_EQ(ProcessNameFromImage(L"exactly15charsx.exe"), "exactly15charsx");
    EXPECT_EQ(ProcessNameFromImage(L"noextension"), "noextension");
    EXPECT_EQ(ProcessNameFromImage(L""), "");
}

TEST(CensusToolhelp, RegistryFailureFallsBackToRealProcesses)
{
    CScriptedCensus census;
    census.EnableToolhelpFallback(TRUE);
    census.m_lDataError = ERROR_ACCESS_DENIED;
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.GetSource(), (int)CProcessCensus::SOURCE_TOOLHELP);
    EXPECT_EQ(census.GetPerformanceDataError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(census.IsProcessRunning("TEST_PERF")) << ListText(census);
    EXPECT_EQ(census.GetProcessId("test_perf"), ::GetCurrentProcessId());

    // A snapshot without the "Process" object, and the 251st ERROR_MORE_DATA, fall back too.
    census.m_lDataError = ERROR_SUCCESS;
    census.m_abSnapshot = BuildPerfData({});
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.GetSource(), (int)CProcessCensus::SOURCE_TOOLHELP);
    EXPECT_EQ(census.GetPerformanceDataError(), (DWORD)ERROR_NOT_FOUND);
    census.m_cbNeeded = 0xFFFFFFFF;
    ASSERT_TRUE(census.Collect());
    EXPECT_EQ(census.GetPerformanceDataError(), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(census.GetProcessId("test_perf"), ::GetCurrentProcessId());
}

TEST(CensusToolhelp, StartedCopiesAreFoundByTheirCutNameAndGoneAfterTheyEnd)
{
    CScriptedCensus census;
    census.EnableToolhelpFallback(TRUE);
    census.m_lDataError = ERROR_ACCESS_DENIED;
    CSleeper first;
    CSleeper second;
    ASSERT_TRUE(first.m_fStarted);
    ASSERT_TRUE(second.m_fStarted);

    ASSERT_TRUE(census.Collect());
    CStringArray acsNames;
    CDWordArray adwIds;
    census.ListProcesses(acsNames, adwIds);
    std::vector<DWORD> adwSleepers;
    for (size_t i = 0; i < acsNames.size(); i++) {
        if (acsNames[i] == "census_sleeper_")
            adwSleepers.push_back(adwIds[i]);
    }
    ASSERT_EQ(adwSleepers.size(), 2u) << ListText(census);
    EXPECT_TRUE((adwSleepers[0] == first.m_pi.dwProcessId && adwSleepers[1] == second.m_pi.dwProcessId) ||
                (adwSleepers[0] == second.m_pi.dwProcessId && adwSleepers[1] == first.m_pi.dwProcessId));
    EXPECT_EQ(census.GetProcessId("Census_Sleeper_"), adwSleepers[0]);  // the first in snapshot order
    EXPECT_FALSE(census.IsProcessRunning("census_sleeper_long_name"));

    first.End();
    second.End();
    ASSERT_TRUE(census.Collect());
    EXPECT_FALSE(census.IsProcessRunning("census_sleeper_"));
    EXPECT_EQ(census.GetProcessId("census_sleeper_"), 0u);
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
    CSleeper sleeper;
    ASSERT_TRUE(sleeper.m_fStarted);
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
    EXPECT_EQ(mapListed[sleeper.m_pi.dwProcessId], "census_sleeper_");
    EXPECT_EQ(mapListed[::GetCurrentProcessId()], "test_perf");
}

// The census as the supervisor builds it, on this machine's own sources.
TEST(CensusToolhelp, DefaultCensusFindsThisProcessWhicheverSourceServes)
{
    CProcessCensus census(TRUE);
    ASSERT_TRUE(census.Collect()) << LastErrorText();
    EXPECT_EQ(census.GetProcessId("test_perf"), ::GetCurrentProcessId()) << ListText(census);
    std::cout << "titles loaded " << census.m_fTitlesLoaded << ", source " << census.GetSource()
              << ", performance data error "
              << ErrorText(census.GetPerformanceDataError()) << std::endl;
}
