// The metrics text: a strict reading of what the shared formatter writes,
// and a real supervisor's file read over and over while its lines crash.
#include <windows.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/handle.h"
#include "e2e_util.h"
#include "metrics.h"
#include "ovrin_e2e.h"
#include "test_app.h"
#include "watched.h"
#include <gtest/gtest.h>

namespace {

// Reads the text as a scraper does and stops at the first fault: every
// line ends in LF alone, a family's HELP and TYPE come once and before its
// lines, label values are quoted with only \\, \" and \n escaped, values
// are numbers, and no series appears twice. Series go to mapSeries
// (name{labels as written} -> value), the families' types to mapTypes.
BOOL ParseExposition(const std::string& csText, std::map<std::string, double>& mapSeries,
                     std::map<std::string, std::string>& mapTypes, std::string& csError)
{
    mapSeries.clear();
    mapTypes.clear();
    if (csText.empty() || csText.back() != '\n') {
        csError = "the text does not end with a newline";
        return FALSE;
    }
    std::set<std::string> setHelp;
    size_t iLine = 0;
    while (iLine < csText.size()) {
        const size_t iEnd = csText.find('\n', iLine);
        const std::string csLine = csText.substr(iLine, iEnd - iLine);
        iLine = iEnd + 1;
        csError = "line \"" + csLine + "\": ";
        if (csLine.find('\r') != std::string::npos) {
            csError += "carries a CR";
            return FALSE;
        }
        if (csLine.compare(0, 7, "# HELP ") == 0 || csLine.compare(0, 7, "# TYPE ") == 0) {
            const std::string csRest = csLine.substr(7);
            const std::string csName = csRest.substr(0, csRest.find(' '));
            const BOOL fHelp = csLine[2] == 'H';
            if (fHelp ? !setHelp.insert(csName).second : mapTypes.count(csName) != 0) {
                csError += "a second HELP or TYPE";
                return FALSE;
            }
            if (!fHelp)
                mapTypes[csName] = csRest.substr(csName.size() + 1);
            continue;
        }
        const size_t iBrace = csLine.find('{');
        if (iBrace == std::string::npos || mapTypes.count(csLine.substr(0, iBrace)) == 0) {
            csError += "no labels, or no TYPE before it";
            return FALSE;
        }
        size_t i = iBrace + 1;
        std::set<std::string> setLabels;
        while (i < csLine.size() && csLine[i] != '}') {
            const size_t iEq = csLine.find("=\"", i);
            if (iEq == std::string::npos || !setLabels.insert(csLine.substr(i, iEq - i)).second) {
                csError += "a malformed or repeated label";
                return FALSE;
            }
            for (i = iEq + 2; i < csLine.size() && csLine[i] != '"'; i++) {
                if (csLine[i] == '\\' && (i + 1 >= csLine.size() || std::string("\\\"n").find(csLine[++i]) ==
                                                                         std::string::npos)) {
                    csError += "a bad escape";
                    return FALSE;
                }
            }
            if (i >= csLine.size()) {
                csError += "an unterminated value";
                return FALSE;
            }
            i++;
            if (i < csLine.size() && csLine[i] == ',')
                i++;
        }
        if (setLabels.count("name") == 0 || setLabels.count("exe") == 0 || i + 2 > csLine.size() ||
            csLine[i + 1] != ' ') {
            csError += "no name and exe labels, or no value";
            return FALSE;
        }
        const std::string csValue = csLine.substr(i + 2);
        char* pszEnd = NULL;
        const double dValue = strtod(csValue.c_str(), &pszEnd);
        if (csValue.empty() || *pszEnd != '\0') {
            csError += "the value is not a number";
            return FALSE;
        }
        if (!mapSeries.emplace(csLine.substr(0, i + 1), dValue).second) {
            csError += "a series seen before";
            return FALSE;
        }
    }
    csError.clear();
    return TRUE;
}

CMetricsProcess Process(const std::string& csExe, const std::string& csUnique, const std::string& csState,
                        DWORD dwPid = 0, BOOL fCopy = FALSE)
{
    CMetricsProcess process;
    process.m_csExeName = csExe;
    process.m_detail.m_csUniqueName = csUnique;
    process.m_detail.m_csState = csState;
    process.m_detail.m_dwProcessId = dwPid;
    process.m_detail.m_fExternalCopy = fCopy;
    return process;
}

}  // namespace

// Lines that share a name and executable, external copies of a template,
// Windows paths and quotes in names, and two computers: every family once,
// no series twice, every label value read back as it was.
TEST(MetricsText, SharedNamesPathsAndComputersStayDistinctAndParse)
{
    CMetricsSource source;
    source.m_fComputerLabel = TRUE;
    source.m_csComputer = "host\"1";
    source.m_csExeName = "Ovrin.exe";
    source.m_csVersion = "1.0\\beta\nnext";
    source.m_aProcesses = {
        Process("C:\\Apps\\web.exe", "web", "running     "),
        Process("C:\\Apps\\web.exe", "web", "crashed"),
        Process("worker.exe", "worker", "given up     "),
        Process("worker.exe", "worker", "running", 4242, TRUE),
        Process("worker.exe", "worker", "running", 4243, TRUE),
        Process("odd.exe", "say \"hi\"", "ended"),
    };
    CMetricsSource second = source;
    second.m_csComputer = "host2";
    const std::string csText = FormatMetrics({source, second});

    std::map<std::string, double> mapSeries;
    std::map<std::string, std::string> mapTypes;
    std::string csError;
    ASSERT_TRUE(ParseExposition(csText, mapSeries, mapTypes, csError)) << csError << "\n" << csText;
    EXPECT_EQ(mapTypes.size(), 10u);
    EXPECT_EQ(mapTypes["ovrin_process_restarts_total"], "counter");
    EXPECT_EQ(mapTypes["ovrin_process_forced_stops_total"], "counter");
    EXPECT_EQ(mapTypes["ovrin_process_up"], "gauge");
    // Ten states per line, exactly one of them 1; six lines on two computers.
    size_t cStates = 0, cCurrent = 0;
    for (const auto& entry : mapSeries) {
        if (entry.first.compare(0, 20, "ovrin_process_state{") == 0) {
            cStates++;
            cCurrent += entry.second == 1;
        }
    }
    EXPECT_EQ(cStates, 2u * 6u * GetStateTexts().size());
    EXPECT_EQ(cCurrent, 2u * 6u);
    EXPECT_EQ(GetStateTexts().size(), 10u);
    const std::string csHost = "computer=\"host\\\"1\",";
    EXPECT_EQ(mapSeries.count("ovrin_info{" + csHost + "name=\"Ovrin\",exe=\"Ovrin.exe\",version=\"1.0\\\\beta\\nnext\"}"),
              1u)
        << csText;
    EXPECT_EQ(mapSeries.at("ovrin_process_up{" + csHost + "name=\"web\",exe=\"C:\\\\Apps\\\\web.exe\",index=\"1\"}"), 1);
    EXPECT_EQ(mapSeries.at("ovrin_process_up{" + csHost + "name=\"web\",exe=\"C:\\\\Apps\\\\web.exe\",index=\"2\"}"), 0);
    // The template keeps its plain labels; its copies carry their process ids.
    EXPECT_EQ(mapSeries.at("ovrin_process_given_up{" + csHost + "name=\"worker\",exe=\"worker.exe\"}"), 1);
    EXPECT_EQ(mapSeries.count("ovrin_process_up{" + csHost + "name=\"worker\",exe=\"worker.exe\",index=\"pid-4243\"}"),
              1u);
    EXPECT_EQ(mapSeries.count("ovrin_process_up{" + csHost + "name=\"say \\\"hi\\\"\",exe=\"odd.exe\"}"), 1u);
    EXPECT_EQ(mapSeries.at("ovrin_process_last_exit_code{computer=\"host2\",name=\"say \\\"hi\\\"\",exe=\"odd.exe\"}"), -1)
        << "a line that never ended";
}

TEST(MetricsText, TheReaderRejectsWhatScrapersReject)
{
    std::map<std::string, double> mapSeries;
    std::map<std::string, std::string> mapTypes;
    std::string csError;
    const std::string csGood = "# HELP a_b x\n# TYPE a_b gauge\na_b{name=\"n\",exe=\"e\"} 1\n";
    EXPECT_TRUE(ParseExposition(csGood, mapSeries, mapTypes, csError)) << csError;
    for (const std::string& csBad : std::vector<std::string>{csGood.substr(0, csGood.size() - 1), csGood + "a_b{name=\"n\",exe=\"e\"} 2\n",
          "# TYPE a_b gauge\r\na_b{name=\"n\",exe=\"e\"} 1\n", "# TYPE a_b gauge\na_b{name=\"n\\q\",exe=\"e\"} 1\n",
          "# TYPE a_b gauge\na_b{name=\"n\",exe=\"e\"} one\n", "a_b{name=\"n\",exe=\"e\"} 1\n"}) {
        EXPECT_FALSE(ParseExposition(csBad, mapSeries, mapTypes, csError)) << csBad;
    }
}

// A file of at most a second's age is read back-to-back while two lines
// crash and restart: every read is a whole, valid text and no counter ever
// goes down. Without the rename a read would catch a half-written file.
TEST(MetricsFile, EveryReadParsesWhileLinesCrashAndCountersNeverGoDown)
{
    COvrinProcess ovrin;
    ASSERT_TRUE(ovrin.Prepare("OvrMetricsRead.exe"));
    ASSERT_TRUE(ovrin.CopyChild("crashone.exe"));
    ASSERT_TRUE(ovrin.CopyChild("crashtwo.exe"));
    ASSERT_TRUE(ovrin.Launch("-global -metrics \"metrics.prom\" -metricsinterval 1\r\n"
                             "-noconsole -restartdelay 0 \"crashone.exe -sleep 50 -crash\"\r\n"
                             "-noconsole -restartdelay 0 \"crashtwo.exe -sleep 80 -exit 3\"\r\n"));
    const std::string csPath = ovrin.GetPath("metrics.prom");
    std::map<std::string, double> mapHighest;
    size_t cReads = 0, cMissing = 0;
    std::string csLastText;
    const std::string csOne = "ovrin_process_restarts_total{name=\"crashone\",exe=\"crashone.exe\"}";
    const std::string csTwo = "ovrin_process_restarts_total{name=\"crashtwo\",exe=\"crashtwo.exe\"}";
    // At least 4 s of reads, and on until both lines have restarted a few
    // times (a cold Wine takes seconds over its first process starts).
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        if (dwElapsed > 30000 || (dwElapsed > 4000 && mapHighest[csOne] >= 3 && mapHighest[csTwo] >= 3))
            break;
        CHandle hFile(::CreateFileA(csPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    NULL, OPEN_EXISTING, 0, NULL));
        if (!hFile.IsValid()) {
            cMissing++;
            ASSERT_TRUE(cReads == 0) << "the file went missing after read " << cReads;
            ::Sleep(10);
            continue;
        }
        std::string csText(256 * 1024, '\0');
        DWORD cbRead = 0;
        ASSERT_TRUE(::ReadFile(hFile.Get(), &csText[0], (DWORD)csText.size(), &cbRead, NULL));
        csText.resize(cbRead);
        std::map<std::string, double> mapSeries;
        std::map<std::string, std::string> mapTypes;
        std::string csError;
        ASSERT_TRUE(ParseExposition(csText, mapSeries, mapTypes, csError)) << "read " << cReads << ": " << csError;
        for (const auto& entry : mapSeries) {
            const std::string csName = entry.first.substr(0, entry.first.find('{'));
            if (mapTypes[csName] != "counter")
                continue;
            auto it = mapHighest.find(entry.first);
            if (it != mapHighest.end()) {
                ASSERT_GE(entry.second, it->second) << entry.first << " went down at read " << cReads;
            }
            mapHighest[entry.first] = entry.second;
        }
        csLastText = csText;
        cReads++;
    }
    EXPECT_GT(cReads, 100u) << ovrin.Output();
    EXPECT_GE(mapHighest[csOne], 3) << csLastText;
    EXPECT_GE(mapHighest[csTwo], 3) << csLastText;
    // The temporary file is never a second "*.prom" that a collector would read.
    WIN32_FIND_DATAA fd;
    HANDLE hFind = ::FindFirstFileA(ovrin.GetPath("*.prom").c_str(), &fd);
    ASSERT_NE(hFind, INVALID_HANDLE_VALUE);
    size_t cProm = 0;
    do {
        cProm++;
    } while (::FindNextFileA(hFind, &fd));
    ::FindClose(hFind);
    EXPECT_EQ(cProm, 1u);
    ovrin.Quit();
    EXPECT_TRUE(ovrin.WaitForExit(15000)) << ovrin.Output();
}

// Without METRICS nothing is written and the definition reads as before;
// the keywords' mistakes are errors of their line.
TEST(MetricsFile, KeywordsAreCheckedAndAbsentMeansNoFile)
{
    COvrinProcess ovrin;
    ASSERT_TRUE(ovrin.Prepare("OvrMetricsBad.exe"));
    ASSERT_TRUE(ovrin.CopyChild("idle.exe"));
    ASSERT_TRUE(ovrin.Launch("-global -metrics \"m.prom\" -metricsinterval 0\r\n\"idle.exe -forever\"\r\n"));
    EXPECT_NE(ovrin.WaitForOutput("METRICSINTERVAL needs a number of seconds from 1 to 86400 on line 1", 15000),
              std::string::npos)
        << ovrin.Output();
    EXPECT_TRUE(ovrin.WaitForExit(15000));
    EXPECT_EQ(::GetFileAttributesA(ovrin.GetPath("m.prom").c_str()), INVALID_FILE_ATTRIBUTES);
}
