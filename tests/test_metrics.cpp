// The metrics text: a strict reading of what the shared formatter writes.
#include <windows.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/handle.h"
#include "e2e_util.h"
#include "metrics.h"
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
    auto Fail = [&](const char* pszWhy) {
        csError += pszWhy;
        return FALSE;
    };
    std::set<std::string> setHelp;
    size_t iLine = 0;
    while (iLine < csText.size()) {
        const size_t iEnd = csText.find('\n', iLine);
        const std::string csLine = csText.substr(iLine, iEnd - iLine);
        iLine = iEnd + 1;
        csError = "line \"" + csLine + "\": ";
        if (csLine.find('\r') != std::string::npos)
            return Fail("carries a CR");
        if (csLine.compare(0, 7, "# HELP ") == 0 || csLine.compare(0, 7, "# TYPE ") == 0) {
            const std::string csRest = csLine.substr(7);
            const std::string csName = csRest.substr(0, csRest.find(' '));
            const BOOL fHelp = csLine[2] == 'H';
            if (fHelp ? !setHelp.insert(csName).second : mapTypes.count(csName) != 0)
                return Fail("a second HELP or TYPE");
            if (!fHelp)
                mapTypes[csName] = csRest.substr(csName.size() + 1);
            continue;
        }
        const size_t iBrace = csLine.find('{');
        if (iBrace == std::string::npos || mapTypes.count(csLine.substr(0, iBrace)) == 0)
            return Fail("no labels, or no TYPE before it");
        size_t i = iBrace + 1;
        std::set<std::string> setLabels;
        while (i < csLine.size() && csLine[i] != '}') {
            const size_t iEq = csLine.find("=\"", i);
            if (iEq == std::string::npos || !setLabels.insert(csLine.substr(i, iEq - i)).second)
                return Fail("a malformed or repeated label");
            for (i = iEq + 2; i < csLine.size() && csLine[i] != '"'; i++) {
                if (csLine[i] == '\\' && (i + 1 >= csLine.size() || std::string("\\\"n").find(csLine[++i]) ==
                                                                         std::string::npos))
                    return Fail("a bad escape");
            }
            if (i >= csLine.size())
                return Fail("an unterminated value");
            i++;
            if (i < csLine.size() && csLine[i] == ',')
                i++;
        }
        if (setLabels.count("name") == 0 || setLabels.count("exe") == 0 || i + 2 > csLine.size() ||
            csLine[i + 1] != ' ')
            return Fail("no name and exe labels, or no value");
        const std::string csValue = csLine.substr(i + 2);
        char* pszEnd = NULL;
        const double dValue = strtod(csValue.c_str(), &pszEnd);
        if (csValue.empty() || *pszEnd != '\0')
            return Fail("the value is not a number");
        if (!mapSeries.emplace(csLine.substr(0, i + 1), dValue).second)
            return Fail("a series seen before");
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
