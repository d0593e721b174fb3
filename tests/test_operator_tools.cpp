// What operators get beside the supervision itself, end to end: the output
// of a line captured in rotating files, and the control tool ovrinctl.exe
// against a real supervisor.
#include <windows.h>
#include <ctype.h>
#include <stdlib.h>

#include <numeric>
#include <regex>

#include "capture.h"
#include "common/handle.h"
#include "common/strutil.h"
#include "logtime.h"
#include "e2e_util.h"
#include "ovrin_e2e.h"
#include "test_app.h"

namespace {

const DWORD s_dwLong = 20000;

// The bytes childproc.exe -print COUNT writes: numbered lines of 100 bytes.
std::string PrintedLines(DWORD dwFirst, DWORD cLines)
{
    std::string cs;
    for (DWORD n = dwFirst; n < dwFirst + cLines; n++) {
        char szLine[128];
        int cch = snprintf(szLine, sizeof szLine, "out %08lu ", (unsigned long)n);
        cs.append(szLine, (size_t)cch);
        cs.append((size_t)(99 - cch), 'x');
        cs += '\n';
    }
    return cs;
}

std::string ReadFileBytes(const std::string& csPath)
{
    std::string cs;
    ReadTextFile(csPath, cs);
    return cs;
}

BOOL FileExists(const std::string& csPath)
{
    return ::GetFileAttributesA(csPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

ULONGLONG FileSize(const std::string& csPath)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(csPath.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// The file and its rotated copies, oldest first, with each size. Only the
// sizes are looked at while the copying goes on: an open file cannot be
// renamed.
std::string ReadRotated(const std::string& csPath, int nKeep, std::vector<ULONGLONG>& acbSizes, BOOL fRead)
{
    std::string cs;
    acbSizes.clear();
    for (int n = nKeep + 1; n >= 0; n--) {
        std::string csName = n == 0 ? csPath : csPath + "." + std::to_string(n);
        if (!FileExists(csName))
            continue;
        acbSizes.push_back(FileSize(csName));
        if (fRead)
            cs += ReadFileBytes(csName);
    }
    return cs;
}

// "2026-12-08T07:16:41.123" (or with a blank for the T) as local
// milliseconds since 1601; -1 when it is not such a text.
LONGLONG LocalMs(const std::string& csText)
{
    LONGLONG nDay = 0;
    unsigned uHour = 0, uMinute = 0, uSecond = 0, uMs = 0;
    if (csText.size() != 23 || !ParseLogDate(csText.substr(0, 10), nDay) ||
        sscanf(csText.c_str() + 11, "%2u:%2u:%2u.%3u", &uHour, &uMinute, &uSecond, &uMs) != 4)
        return -1;
    return nDay * c_llMsPerDay + ((uHour * 60 + uMinute) * 60 + uSecond) * 1000LL + uMs;
}

std::string Today()
{
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    char sz[16];
    snprintf(sz, sizeof sz, "%04u-%02u-%02u", st.wYear, st.wMonth, st.wDay);
    return sz;
}

// The object of process csName in ovrinctl's JSON array, or empty.
std::string JsonObjectOf(const std::string& csJson, const std::string& csName)
{
    size_t iName = csJson.find("\"name\": \"" + csName + "\"");
    if (iName == std::string::npos)
        return std::string();
    size_t iOpen = csJson.rfind('{', iName);
    size_t iClose = csJson.find('}', iName);
    return iOpen == std::string::npos || iClose == std::string::npos ? std::string()
                                                                      : csJson.substr(iOpen, iClose + 1 - iOpen);
}

// The CSV row (without its line end) whose name column is csName, or empty.
std::string CsvRowOf(const std::string& csCsv, const std::string& csName)
{
    for (const std::string& csLine : SplitLines(csCsv)) {
        std::string cs = csLine.substr(0, csLine.find_last_not_of('\r') + 1);
        if (cs.compare(0, csName.size() + 1, csName + ",") == 0)
            return cs;
    }
    return std::string();
}

// The local time of a status line ("8Dec26 11:40:22.123") as LocalMs
// gives it; -1 when it is not such a text.
LONGLONG StatusLineMs(const std::string& csTime)
{
    static const char* const s_apszMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int nDay = 0, nYear = 0, nHour = 0, nMinute = 0, nSecond = 0, nMs = 0;
    char szMonth[4] = "";
    if (sscanf(csTime.c_str(), "%d%3s%d %d:%d:%d.%d", &nDay, szMonth, &nYear, &nHour, &nMinute, &nSecond, &nMs) < 6)
        return -1;
    for (int m = 0; m < 12; m++) {
        if (strcmp(szMonth, s_apszMonths[m]) == 0)
            return LocalMs(StrFormat("20%02d-%02d-%02d %02d:%02d:%02d.%03d", nYear, m + 1, nDay, nHour, nMinute,
                                     nSecond, nMs));
    }
    return -1;
}

class OperatorTools : public ::testing::Test
{
protected:
    void Run(const std::string& csExe, const std::vector<std::string>& acsChildren, const std::string& csDefinition,
             const std::vector<std::string>& acsFolders = {},
             const std::vector<std::pair<std::string, std::string>>& aFiles = {})
    {
        m_csExe = csExe;
        m_ovrin.Prepare(csExe);
        for (const std::string& csChild : acsChildren)
            m_ovrin.CopyChild(csChild);
        for (const std::string& csFolder : acsFolders)
            ::CreateDirectoryA((m_ovrin.m_csDir + "\\" + csFolder).c_str(), NULL);
        for (const auto& file : aFiles)
            ASSERT_TRUE(WriteTextFile(m_ovrin.m_csDir + "\\" + file.first, file.second));
        ASSERT_TRUE(m_ovrin.Launch(csDefinition));
        ASSERT_TRUE(m_client.Connect(csExe, s_dwLong));
        m_acsSeen = m_client.ReceiveTextsUntil("All services have been started.", s_dwLong);
    }
    CRunResult Tool(const std::string& csArgs)
    {
        return RunProgram("\"" + GetTestDirectory() + "ovrinctl.exe\" " + csArgs, "", s_dwLong, m_ovrin.m_csDir);
    }
    // Ends the supervisor the operator's way, which stops every process.
    void Quit()
    {
        m_client.Close();
        m_ovrin.WriteInput("quit\r\n");
        EXPECT_TRUE(m_ovrin.WaitForExit(s_dwLong)) << m_ovrin.Output();
    }
    std::string Path(const std::string& csName) const { return m_ovrin.m_csDir + "\\" + csName; }
    // Waits until the files of csPath hold cbTotal bytes, then reads them.
    std::string WaitForRotated(const std::string& csPath, int nKeep, ULONGLONG cbTotal, std::vector<ULONGLONG>& acbSizes)
    {
        for (DWORD dwStart = ::GetTickCount(); ::GetTickCount() - dwStart < s_dwLong; ::Sleep(100)) {
            ReadRotated(csPath, nKeep, acbSizes, FALSE);
            if (std::accumulate(acbSizes.begin(), acbSizes.end(), 0ULL) >= cbTotal)
                break;
        }
        return ReadRotated(csPath, nKeep, acbSizes, TRUE);
    }

    std::string m_csExe;
    COvrinProcess m_ovrin;
    CTestClient m_client;
    std::vector<std::string> m_acsSeen;
};

}  // namespace

TEST_F(OperatorTools, RotatedOutputKeepsEveryByteInOrderWhileClientsAreServed)
{
    // The path is relative to the definition file's folder, not to the
    // process's working directory (CD work).
    Run("OvRotate.exe", {"printer.exe", "trimmed.exe", "busy.exe", "mixed.exe"},
        "\"printer.exe -print 2000 -forever\" -noconsole -cd work -stdout logs\\p.log -logsize 8 -logkeep 40\r\n"
        "\"trimmed.exe -print 1000 -forever\" -noconsole -stdout keep.log -logsize 4 -logkeep 2\r\n"
        "\"busy.exe -print 100000 -forever\" -noconsole -stdout busy.log -logsize 1024 -logkeep 1\r\n"
        "\"mixed.exe -print 3000 -printerr 3000 -forever\" -noconsole -stdout mixed.log -stderr mixed.log\r\n",
        {"work", "logs"});

    // A client's status is answered promptly while the lines print.
    for (int i = 0; i < 3; i++) {
        DWORD dwStart = ::GetTickCount();
        ASSERT_TRUE(m_client.Send(MSG_STATUS));
        std::vector<std::string> acs = m_client.ReceiveTextsUntil("Process busy.exe", s_dwLong);
        EXPECT_LT(::GetTickCount() - dwStart, 1000u) << JoinLines(acs);
    }

    const struct
    {
        const char* m_pszFile;
        DWORD m_cLines;
        ULONGLONG m_cbLimit;
        int m_nKeep;
    } aCases[] = {{"logs\\p.log", 2000, 8 * 1024, 40}, {"keep.log", 1000, 4 * 1024, 2}};
    for (const auto& c : aCases) {
        std::vector<ULONGLONG> acbSizes;
        const std::string csAll = PrintedLines(0, c.m_cLines);
        // With too few copies kept, the oldest go: what stays is the tail.
        ULONGLONG cbKept = c.m_cbLimit / 100 * 100 * (ULONGLONG)c.m_nKeep;
        std::string csGot = WaitForRotated(Path(c.m_pszFile), c.m_nKeep, c.m_nKeep == 40 ? csAll.size() : cbKept, acbSizes);
        ASSERT_GE(csAll.size(), csGot.size()) << c.m_pszFile;
        EXPECT_TRUE(csAll.compare(csAll.size() - csGot.size(), csGot.size(), csGot) == 0)
            << c.m_pszFile << ": the files are not the tail of what was printed (" << csGot.size() << " bytes)";
        if (c.m_nKeep == 40) {
            EXPECT_EQ(csGot.size(), csAll.size()) << c.m_pszFile;
        }
        EXPECT_LE(acbSizes.size(), (size_t)c.m_nKeep + 1) << c.m_pszFile;
        for (ULONGLONG cb : acbSizes)
            EXPECT_LE(cb, c.m_cbLimit) << c.m_pszFile;
        EXPECT_FALSE(FileExists(Path(c.m_pszFile) + "." + std::to_string(c.m_nKeep + 1))) << c.m_pszFile;
    }
    EXPECT_FALSE(FileExists(Path("work\\logs\\p.log")));

    // Both streams in one file: whole lines, each stream in its order.
    std::vector<ULONGLONG> acbSizes;
    std::string csMixed = WaitForRotated(Path("mixed.log"), 5, 600000, acbSizes);
    std::vector<std::string> acsLines = SplitLines(csMixed);
    ASSERT_EQ(acsLines.size(), 6000u);
    unsigned long anNext[2] = {0, 0};
    for (const std::string& csLine : acsLines) {
        BOOL fErr = csLine.compare(0, 4, "err ") == 0;
        std::string csExpected = PrintedLines(anNext[fErr]++, 1);
        if (fErr)
            csExpected.replace(0, 3, "err");
        ASSERT_EQ(csLine + "\n", csExpected);
    }
    Quit();
}

TEST_F(OperatorTools, AnUnwritableFileCostsOneNoticeThenCopyingResumes)
{
    // Every run prints 50 lines and crashes; its folder does not exist yet.
    Run("OvNoDisk.exe", {"printer.exe"}, "\"printer.exe -print 50 -exit 3\" -noconsole -stdout missing\\o.log -restartdelay 1\r\n");
    std::vector<std::string> acs = m_acsSeen;
    for (size_t cEnds = 0; cEnds < 3;) {
        std::vector<std::string> acsMore = m_client.ReceiveTextsUntil("printer.exe has ended.", s_dwLong);
        ASSERT_FALSE(acsMore.empty());
        acs.insert(acs.end(), acsMore.begin(), acsMore.end());
        cEnds = CountPrefixed(acs, "printer.exe has ended.");
    }
    const std::string csNotice = "Cannot write the output of printer.exe to " + Path("missing\\o.log") + ". Error 3 ";
    EXPECT_EQ(CountPrefixed(acs, csNotice), 1u) << JoinLines(acs);
    EXPECT_GE(CountPrefixed(acs, "Started process: printer.exe."), 3u) << JoinLines(acs);

    ASSERT_TRUE(::CreateDirectoryA(Path("missing").c_str(), NULL));
    acs = m_client.ReceiveTextsUntil("The output of printer.exe is written to " + Path("missing\\o.log") + " again",
                                     s_dwLong);
    ASSERT_FALSE(acs.empty());
    acs = m_client.ReceiveTextsUntil("printer.exe has ended.", s_dwLong);
    acs = m_client.ReceiveTextsUntil("printer.exe has ended.", s_dwLong);
    // Restarts append whole runs; the end is reported after its output is in the file.
    std::string csFile = ReadFileBytes(Path("missing\\o.log"));
    ASSERT_GE(csFile.size(), 5000u);
    EXPECT_EQ(csFile.substr(csFile.size() - 5000), PrintedLines(0, 50));
    Quit();
}

// Whether and into which day's copy a daily rotation goes, at times given
// to it: the due time itself, a day missed while the supervisor was not
// running, and clocks set back a little and a lot.
TEST(DailyRotation, DecidesFromTheFilesDayTheRotationTimeAndNow)
{
    const struct
    {
        const char* m_pszWhy;
        int m_nMinute;
        const char* m_pszFileDay;
        const char* m_pszNow;
        int m_nDecision;
        const char* m_pszNowDay;
    } aCases[] = {
        {"just before midnight", 0, "2026-12-08", "2026-12-08 23:59:59.999", LOG_DAY_KEEP, "2026-12-08"},
        {"midnight", 0, "2026-12-08", "2026-12-09 00:00:00.000", LOG_DAY_ROTATE, "2026-12-09"},
        {"before the time of day", 390, "2026-12-08", "2026-12-09 06:29:59.999", LOG_DAY_KEEP, "2026-12-08"},
        {"at the time of day", 390, "2026-12-08", "2026-12-09 06:30:00.000", LOG_DAY_ROTATE, "2026-12-09"},
        {"across a month and year", 1439, "2026-12-31", "2027-01-01 23:59:00.000", LOG_DAY_ROTATE, "2027-01-01"},
        {"days missed while down: one copy, named by its first day", 0, "2026-12-01", "2026-12-08 12:00:00.000",
         LOG_DAY_ROTATE, "2026-12-08"},
        {"set back over the time just rotated at: not again", 390, "2026-12-09", "2026-12-09 06:29:00.000",
         LOG_DAY_KEEP, "2026-12-08"},
        {"set back over midnight", 0, "2026-12-09", "2026-12-08 23:59:50.000", LOG_DAY_KEEP, "2026-12-08"},
        {"set back by weeks: counting starts again", 0, "2026-12-09", "2026-11-01 10:00:00.000", LOG_DAY_RESTART,
         "2026-11-01"},
    };
    for (const auto& c : aCases) {
        LONGLONG nFileDay = 0;
        ASSERT_TRUE(ParseLogDate(c.m_pszFileDay, nFileDay)) << c.m_pszWhy;
        LONGLONG nNowDay = -7;
        EXPECT_EQ(DecideDailyRotation(nFileDay, c.m_nMinute, LocalMs(c.m_pszNow), nNowDay), c.m_nDecision)
            << c.m_pszWhy;
        EXPECT_EQ(FormatLogDate(nNowDay), c.m_pszNowDay) << c.m_pszWhy;
    }
    // The day file's text: only real dates.
    LONGLONG nDay = 0;
    for (const char* psz : {"2026-02-30", "2026-13-01", "2026-1-01", "20261208", "2026-12-08x", ""})
        EXPECT_FALSE(ParseLogDate(psz, nDay)) << psz;
    EXPECT_TRUE(ParseLogDate("2028-02-29", nDay));
}

// A line's stamp (with milliseconds) and an ISO time, local with the
// offset of that moment, never Z.
TEST(TimeTexts, LocalTimeWithASignedOffsetNeverZ)
{
    LONGLONG nDay = 0;
    ASSERT_TRUE(ParseLogDate("2026-12-08", nDay));
    const LONGLONG llUtc = nDay * c_llMsPerDay + ((6 * 60 + 16) * 60 + 41) * 1000LL + 123;
    // Days since 1601 to seconds since 1970.
    const LONGLONG llUnix = (nDay - 134774) * 86400 + (10 * 60 + 40) * 60 + 22;
    const struct
    {
        LONG m_nBias;
        const char* m_pszStamp;
        const char* m_pszIso;
    } aCases[] = {
        {60, "2026-12-08T07:16:41.123+01:00 ", "2026-12-08T11:40:22+01:00"},
        {0, "2026-12-08T06:16:41.123+00:00 ", "2026-12-08T10:40:22+00:00"},
        {-330, "2026-12-08T00:46:41.123-05:30 ", "2026-12-08T05:10:22-05:30"},
        {-420, "2026-12-07T23:16:41.123-07:00 ", "2026-12-08T03:40:22-07:00"},
        {-660, "2026-12-07T19:16:41.123-11:00 ", "2026-12-07T23:40:22-11:00"},
        {345, "2026-12-08T12:01:41.123+05:45 ", "2026-12-08T16:25:22+05:45"},
    };
    for (const auto& c : aCases) {
        EXPECT_EQ(FormatLineStamp(llUtc, c.m_nBias), c.m_pszStamp) << c.m_nBias;
        EXPECT_EQ(FormatIsoTime(llUnix, c.m_nBias), c.m_pszIso) << c.m_nBias;
    }
    EXPECT_EQ(FormatIsoLocalTime(-1), "") << "no start";
    // Now: this computer's offset now.
    const LONGLONG llNow = (UtcNowMs() / 1000) - 11644473600LL;
    EXPECT_EQ(FormatIsoLocalTime(llNow), FormatIsoTime(llNow, LocalBiasMinutes()));
}

// Every captured line starts with its stamp, taken when its first bytes
// came; a start with a stale day file rotates the file at once into the
// copy of that day, without replacing one of that name, and LOGKEEP counts
// the dated copies only.
TEST_F(OperatorTools, StampedLinesAndTheDailyRotationCaughtUpAtTheStart)
{
    const std::vector<std::pair<std::string, std::string>> aFiles = {
        {"old.log", "before\n"},
        {"old.log.ovrin-date", "2020-01-02\r\n"},
        {"old.log.2020-01-02", "earlier\n"},
        {"old.log.2019-05-05", "oldest\n"},
        {"old.log.notes", "not a copy\n"},
    };
    const std::string csBefore = Today();
    // The GLOBAL line's TIMESTAMP holds for the line before it too.
    Run("OvStamp.exe", {"ticker.exe", "keeper.exe"},
        "\"ticker.exe -tick 5 100 -halfline 1500 -forever\" -noconsole -stdout t.log\r\n"
        "-global -timestamp\r\n"
        "\"keeper.exe -print 2 -forever\" -noconsole -stdout old.log -rotate daily -logkeep 2\r\n",
        {}, aFiles);

    std::string csText;
    for (DWORD dwStart = ::GetTickCount(); ::GetTickCount() - dwStart < s_dwLong; ::Sleep(100)) {
        csText = ReadFileBytes(Path("t.log"));
        if (std::count(csText.begin(), csText.end(), '\n') >= 6)
            break;
    }
    const std::regex reLine("(\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3})[+-]\\d{2}:\\d{2} (.*)");
    const std::regex reTimed("(tick|half) (\\S+)( rest)?");
    int cTicks = 0, cHalves = 0;
    for (const std::string& csLine : SplitLines(csText)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(csLine, m, reLine)) << csLine << "\n" << csText;
        const std::string csRest = m[2];
        const LONGLONG llStamp = LocalMs(m[1]);
        std::smatch mTimed;
        ASSERT_TRUE(std::regex_match(csRest, mTimed, reTimed)) << csLine;
        {
            BOOL fHalf = mTimed[1] == "half";
            EXPECT_EQ(mTimed[3].matched, fHalf) << csLine;
            cTicks += fHalf ? 0 : 1;
            cHalves += fHalf ? 1 : 0;
            // Stamped when the child wrote it (the rest of the half line
            // came 1.5 s later); both clocks are the machine's one.
            const LONGLONG llWritten = LocalMs(mTimed[2]);
            EXPECT_GE(llStamp, llWritten - 20) << csLine;
            EXPECT_LT(llStamp, llWritten + 1500) << csLine;
        }
    }
    EXPECT_EQ(cTicks, 5) << csText;
    EXPECT_EQ(cHalves, 1) << csText;

    // The copy of the stale day: a counter, since that name is taken.
    const std::string csNew = Path("old.log");
    for (DWORD dwStart = ::GetTickCount(); ::GetTickCount() - dwStart < s_dwLong && FileSize(csNew) < 260; ::Sleep(100)) {
    }
    EXPECT_EQ(ReadFileBytes(Path("old.log.2020-01-02.1")), "before\n");
    EXPECT_EQ(ReadFileBytes(Path("old.log.2020-01-02")), "earlier\n");
    EXPECT_FALSE(FileExists(Path("old.log.2019-05-05")));
    EXPECT_TRUE(FileExists(Path("old.log.notes")));
    const std::string csDay = ReadFileBytes(Path("old.log.ovrin-date")).substr(0, 10);
    EXPECT_TRUE(csDay == csBefore || csDay == Today()) << csDay;
    std::vector<std::string> acsLines = SplitLines(ReadFileBytes(csNew));
    ASSERT_EQ(acsLines.size(), 2u);
    for (DWORD n = 0; n < 2; n++) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(acsLines[n], m, reLine)) << acsLines[n];
        EXPECT_EQ(std::string(m[2]) + "\n", PrintedLines(n, 1));
    }
    Quit();
}

TEST_F(OperatorTools, ControlToolAnswersScriptsWithExitCodes)
{
    Run("OvCtl.exe", {"sleeper.exe", "crasher.exe", "pr\xfc" "f.exe"},
        "\"sleeper.exe -forever\" -noconsole\r\n\"crasher.exe -crash\" -noconsole -restartdelay 1\r\n"
        "\"pr\xfc" "f.exe -forever\" -noconsole\r\n");
    m_client.ReceiveTextsUntil("crasher.exe has ended.", s_dwLong);

    CRunResult result = Tool("-n OvCtl.exe status -json");
    EXPECT_EQ(result.m_dwExitCode, 0u) << result.m_csErr;
    const std::string& csJson = result.m_csOut;
    ASSERT_FALSE(csJson.empty());
    EXPECT_EQ(csJson.front(), '[');
    EXPECT_EQ(csJson[csJson.find_last_not_of("\r\n")], ']');
    EXPECT_NE(csJson.find("{\"name\": \"sleeper.exe\", \"executable\": \"sleeper.exe\", \"version\": \"2.0-2.0.1.5\", "
                          "\"state\": \"running\", \"status\": 4, \"started\": \""),
              std::string::npos)
        << csJson;
    EXPECT_NE(csJson.find("\"name\": \"pr\\u00fcf.exe\""), std::string::npos) << csJson;
    EXPECT_NE(csJson.find("\"exit_code\": 3221225477, \"exit_code_hex\": \"0xC0000005\""), std::string::npos) << csJson;
    // The start time is the one the status line shows, in ISO 8601 with the
    // local offset (the status line keeps its own form).
    ASSERT_TRUE(m_client.Send(MSG_STATUS));
    std::vector<std::string> acs = m_client.ReceiveTextsUntil("Process sleeper.exe", s_dwLong);
    ASSERT_FALSE(acs.empty());
    std::string csTime = acs.back().substr(acs.back().find("running") + 14);
    csTime.pop_back();
    const std::string csObject = JsonObjectOf(csJson, "sleeper.exe");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(csObject, m, std::regex("\"started\": \"(\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}[+-]\\d{2}:\\d{2})\"")))
        << csObject;
    const std::string csStarted = m[1];
    const LONGLONG llStatusLine = StatusLineMs(csTime) / 1000;
    const LONGLONG llIso = LocalMs(csStarted.substr(0, 19) + ".000") / 1000;
    ASSERT_TRUE(llStatusLine >= 0 && llIso >= 0) << csTime << " / " << csStarted;
    // Two clocks read one after the other: a second may lie between them.
    EXPECT_TRUE(llIso - llStatusLine >= 0 && llIso - llStatusLine <= 1) << csTime << " / " << csStarted;
    EXPECT_EQ(csStarted.substr(19), FormatIsoTime(0, LocalBiasMinutes()).substr(19)) << "the offset of now";
    EXPECT_NE(csObject.find("\"attached\": false, \"healthy\": null}"), std::string::npos) << csObject;

    // The crashing line has served its purpose: its ends would otherwise
    // fall between the replies that the rows below compare whole.
    ASSERT_EQ(Tool("-n OvCtl.exe stop crasher").m_dwExitCode, 0u);
    const struct
    {
        const char* m_pszArgs;
        DWORD m_dwExitCode;
        const char* m_pszOut;
        const char* m_pszErr;
    } aCases[] = {
        {"-n OvCtl.exe stop sleeper", 0, "Stopping process sleeper.exe\r\nsleeper.exe Stopped.\r\n", ""},
        {"-n OvCtl.exe start SLEEPER.EXE", 0, "Started process: sleeper.exe.", ""},
        {"-n OvCtl.exe stop nosuch", 1, "nosuch is not a valid process name.\r\n", ""},
        {"-n OvCtl.exe -c . -c . status -csv", 0, "computer,name,executable,version,state,status,started,", ""},
        {"-n OvCtl.exe status", 0, "Process sleeper.exe(2.0-2.0.1.5) running       ", ""},
        // One unreachable computer costs its own answer only; the worst code wins.
        {"-n OvCtl.exe -c nosuchhost -c . status -json", 2, "{\"computer\": \".\", \"name\": \"sleeper.exe\"",
         "nosuchhost: Unable to connect to pipe \\\\nosuchhost\\pipe\\"},
        {"-n NoSuchOvrin.exe status", 2, "", "Unable to connect to pipe \\\\.\\pipe\\Tesk\\OvrinUtility\\NoSuchOvrin.exe. Error 2 "},
        {"-n OvCtl.exe frobnicate", 3, "Usage: ovrinctl", ""},
        {"-n OvCtl.exe status -xml", 3, "Usage: ovrinctl", ""},
    };
    for (const auto& c : aCases) {
        result = Tool(c.m_pszArgs);
        EXPECT_EQ(result.m_dwExitCode, c.m_dwExitCode) << c.m_pszArgs << "\n" << result.m_csOut << result.m_csErr;
        EXPECT_NE(result.m_csOut.find(c.m_pszOut), std::string::npos) << c.m_pszArgs << "\n" << result.m_csOut;
        EXPECT_NE(result.m_csErr.find(c.m_pszErr), std::string::npos) << c.m_pszArgs << "\n" << result.m_csErr;
    }
    Quit();
}

TEST_F(OperatorTools, ControlToolReloadsAndABrokenFileChangesNothing)
{
    Run("OvRel.exe", {"relone.exe", "reltwo.exe"}, "\"relone.exe -forever\" -noconsole -name one\r\n");
    const std::string csDefinition = Path("OvRel.inf");
    ASSERT_TRUE(WriteTextFile(csDefinition, "\"relone.exe -forever\" -noconsole -name one\r\n"
                                            "\"reltwo.exe -forever\" -noconsole -name two\r\n"));
    CRunResult result = Tool("-n OvRel.exe reload");
    EXPECT_EQ(result.m_dwExitCode, 0u) << result.m_csOut << result.m_csErr;
    EXPECT_NE(result.m_csOut.find("Reloaded " + csDefinition + ": 1 change.\r\nAdded two.\r\n"), std::string::npos)
        << result.m_csOut;

    ASSERT_TRUE(WriteTextFile(csDefinition, "\"relone.exe -forever\" -noconsole -name one -restartdelya 3\r\n"));
    result = Tool("-n OvRel.exe reload");
    EXPECT_EQ(result.m_dwExitCode, 1u) << result.m_csOut << result.m_csErr;
    EXPECT_NE(result.m_csOut.find("Reload refused: " + csDefinition + " has errors; nothing was changed.\r\n"
                                  "Error: Unexpected \"-restartdelya\" on line 1 of " + csDefinition),
              std::string::npos)
        << result.m_csOut;
    result = Tool("-n OvRel.exe status -csv");
    EXPECT_NE(result.m_csOut.find("\ntwo,"), std::string::npos) << "the line stays: " << result.m_csOut;
    EXPECT_EQ(result.m_csOut.find("Stopping process two"), std::string::npos) << result.m_csOut;
    Quit();
}

// healthy: the last health probe's result, null before the first one and
// for lines without HEALTH; the last key of JSON and the last CSV column.
TEST_F(OperatorTools, ToolStopReturnsOnceTheLineHasEndedAndStatusTellsWhetherItWasKilledAndIsHealthy)
{
    Run("OvDeadline.exe", {"stubborn.exe", "obedient.exe", "answers.exe", "silent.exe", "unprobed.exe"},
        "\"stubborn.exe -ignorectrl -forever\" -noconsole -stoptimeout 1\r\n"
        "\"obedient.exe -forever\" -noconsole\r\n"
        "\"answers.exe -listen 47331 0 -forever\" -noconsole -health tcp:47331 -healthinterval 1\r\n"
        "\"silent.exe -forever\" -noconsole -health tcp:47332 -healthinterval 1 -healthtimeout 1 "
        "-healthfailures 1000\r\n"
        "\"unprobed.exe -forever\" -noconsole\r\n");
    const struct
    {
        const char* m_pszName;
        const char* m_pszJson;
        const char* m_pszCsv;
    } aHealth[] = {
        {"answers.exe", "\"healthy\": true}", ",true"},
        {"silent.exe", "\"healthy\": false}", ",false"},
        {"unprobed.exe", "\"healthy\": null}", ","},
    };
    CRunResult result = Tool("-n OvDeadline.exe status -json");
    for (const auto& c : aHealth)
        EXPECT_NE(JsonObjectOf(result.m_csOut, c.m_pszName).find("\"healthy\": null}"), std::string::npos)
            << c.m_pszName << " before the first probe\n" << result.m_csOut;
    const struct
    {
        const char* m_pszName;
        BOOL m_fForced;
        const char* m_pszState;
        DWORD m_dwMinMs;   // the stop cannot return before the deadline it waits out
        DWORD m_dwMaxMs;
    } aCases[] = {
        {"stubborn.exe", TRUE, "ended", 950, 10000},
        {"obedient.exe", FALSE, "stopped", 0, 10000},
    };
    for (const auto& c : aCases) {
        const std::string csName = c.m_pszName;
        const std::string csKilled = csName + " did not stop within 1 seconds and was killed.";
        result = Tool("-n OvDeadline.exe status -json");
        std::string csObject = JsonObjectOf(result.m_csOut, csName);
        size_t iPid = csObject.find("\"pid\": ");
        ASSERT_NE(iPid, std::string::npos) << csName << "\n" << result.m_csOut;
        DWORD dwPid = strtoul(csObject.c_str() + iPid + 7, NULL, 10);
        CHandle hProcess(::OpenProcess(SYNCHRONIZE, FALSE, dwPid));
        ASSERT_TRUE(hProcess.IsValid()) << csName << " pid " << dwPid << " error " << ::GetLastError();
        EXPECT_EQ(::WaitForSingleObject(hProcess.Get(), 0), (DWORD)WAIT_TIMEOUT) << csName << " is not running before the stop";

        DWORD dwStart = ::GetTickCount();
        result = Tool("-n OvDeadline.exe stop " + csName);
        DWORD dwElapsed = ::GetTickCount() - dwStart;
        // Checked first: the tool's return is the moment that matters.
        DWORD dwWait = ::WaitForSingleObject(hProcess.Get(), 0);
        EXPECT_EQ(result.m_dwExitCode, 0u) << csName << "\n" << result.m_csOut << result.m_csErr;
        EXPECT_EQ(dwWait, (DWORD)WAIT_OBJECT_0) << csName << " still runs when the stop returns after " << dwElapsed
                                                << " ms\n" << result.m_csOut;
        EXPECT_GE(dwElapsed, c.m_dwMinMs) << csName << "\n" << result.m_csOut;
        EXPECT_LT(dwElapsed, c.m_dwMaxMs) << csName << "\n" << result.m_csOut;
        EXPECT_EQ(result.m_csOut.find(csKilled) != std::string::npos, c.m_fForced) << csName << "\n" << result.m_csOut;
        EXPECT_NE(result.m_csOut.find(csName + " Stopped."), std::string::npos) << csName << "\n" << result.m_csOut;

        result = Tool("-n OvDeadline.exe status -json");
        csObject = JsonObjectOf(result.m_csOut, csName);
        const std::string csForced =
            std::string("\"forced_stop\": ") + (c.m_fForced ? "true" : "false") + ", \"attached\": false, \"healthy\": null}";
        EXPECT_NE(csObject.find(csForced), std::string::npos) << csName << " wants " << csForced << "\n" << csObject;
        EXPECT_NE(csObject.find("\"state\": \"" + std::string(c.m_pszState) + "\""), std::string::npos)
            << csName << " wants state " << c.m_pszState << "\n" << csObject;
        size_t iSince = csObject.find("\"since_end_s\": ");
        ASSERT_NE(iSince, std::string::npos) << csObject;
        EXPECT_TRUE(isdigit((unsigned char)csObject[iSince + 15])) << csName << " since_end_s is not a number\n"
                                                                   << csObject;
        EXPECT_NE(csObject.find("\"uptime_s\": null"), std::string::npos) << csObject;

        // Columns are added last, so the earlier positions stay; lines end
        // in CR LF once (standard output's text mode adds the CR).
        result = Tool("-n OvDeadline.exe status -csv");
        const std::string csHeader = "name,executable,version,state,status,started,pid,restarts,exit_code,uptime_s,"
                                     "since_end_s,forced_stop,attached,healthy\r\n";
        EXPECT_EQ(result.m_csOut.substr(0, csHeader.size()), csHeader);
        const std::string csRow = CsvRowOf(result.m_csOut, csName);
        // forced_stop, attached, healthy (empty: no HEALTH)
        EXPECT_TRUE(StrEndsWithI(csRow, c.m_fForced ? ",true,false," : ",false,false,")) << csName << ": " << csRow;
    }
    // The first probes come one interval after the start.
    const DWORD dwStart = ::GetTickCount();
    do {
        ::Sleep(250);
        result = Tool("-n OvDeadline.exe status -json");
    } while ((JsonObjectOf(result.m_csOut, "silent.exe").find("\"healthy\": false}") == std::string::npos ||
              JsonObjectOf(result.m_csOut, "answers.exe").find("\"healthy\": true}") == std::string::npos) &&
             ::GetTickCount() - dwStart < s_dwLong);
    for (const auto& c : aHealth)
        EXPECT_NE(JsonObjectOf(result.m_csOut, c.m_pszName).find(c.m_pszJson), std::string::npos)
            << c.m_pszName << " wants " << c.m_pszJson << "\n" << result.m_csOut;
    result = Tool("-n OvDeadline.exe status -csv");
    for (const auto& c : aHealth)
        EXPECT_TRUE(StrEndsWithI(CsvRowOf(result.m_csOut, c.m_pszName), std::string(",false") + c.m_pszCsv))
            << c.m_pszName << "\n" << result.m_csOut;
    Quit();
}

TEST(ProcessDetail, ForcedStopRoundTripsAndAnOlderServersRecordReadsNotForced)
{
    const struct
    {
        const char* m_pszText;   // NULL: the text Format writes for m_fForced
        BOOL m_fForced;
    } aCases[] = {
        {NULL, TRUE},
        {NULL, FALSE},
        // As a server before the field writes it; the reader's earlier value must not survive.
        {"12\t0\t1\t0\t-1\t5\tended\t10:00:00 01/02/2026", FALSE},
        // A later server may append more.
        {"12\t0\t1\t0\t-1\t5\tended\t10:00:00 01/02/2026\t1\tmore", TRUE},
    };
    for (const auto& c : aCases) {
        CProcessDetail written;
        written.m_dwProcessId = 12;
        written.m_fHasExitCode = TRUE;
        written.m_nSecondsSinceEnd = 5;
        written.m_csState = "ended";
        written.m_csTime = "10:00:00 01/02/2026";
        written.m_fForcedStop = c.m_fForced;
        const std::string csText = c.m_pszText != NULL ? c.m_pszText : written.Format();
        CProcessDetail read;
        read.m_fForcedStop = !c.m_fForced;
        ASSERT_TRUE(read.Parse(csText)) << csText;
        EXPECT_EQ(read.m_fForcedStop, c.m_fForced) << csText;
        EXPECT_EQ(read.m_csTime, written.m_csTime) << csText;
        EXPECT_EQ(read.m_nSecondsSinceEnd, written.m_nSecondsSinceEnd) << csText;
        EXPECT_EQ(read.m_dwProcessId, written.m_dwProcessId) << csText;
    }
}

TEST(ControlToolCheck, ReportsEveryErrorWithItsLineAndStartsNothing)
{
    std::string csDir = MakeTempDirectory("ovrchk");
    WriteTextFile(csDir + "\\good.inf", "# fine\r\n\"never.exe -x\" -restartdelay 5 -stdout out.log\r\n");
    WriteTextFile(csDir + "\\bad.inf",
                  "\"never.exe\"\r\n\"never.exe\" -restartdelya 5\r\n\"never.exe\" -logsize 0 -stdout o.log\r\n");
    WriteTextFile(csDir + "\\twice.inf", "\"never.exe\" -unique n.exe\r\n\"never2.exe\" -unique N.exe\r\n");
    WriteTextFile(csDir + "\\empty.inf", "# nothing\r\n");
    const struct
    {
        const char* m_pszFile;
        DWORD m_dwExitCode;
        std::vector<std::string> m_acsLines;
    } aCases[] = {
        {"good.inf", 0, {"good.inf is valid: 1 process line."}},
        {"bad.inf", 1, {"Unexpected \"-restartdelya\" on line 2 of", "LOGSIZE must be 1 or more and LOGKEEP 0 or more on line 3"}},
        {"missing.inf", 1, {"missing.inf could not be opened."}},
        {"twice.inf", 0, {"Warning: Two UNIQUE lines of ", "twice.inf list the name N.exe.",
                          "twice.inf is valid: 2 process lines."}},
        {"empty.inf", 1, {"empty.inf file does not specify any processes to start."}},
    };
    for (const auto& c : aCases) {
        CRunResult result =
            RunProgram("\"" + GetTestDirectory() + "ovrinctl.exe\" check " + c.m_pszFile, "", s_dwLong, csDir);
        EXPECT_EQ(result.m_dwExitCode, c.m_dwExitCode) << c.m_pszFile << "\n" << result.m_csOut;
        for (const std::string& csLine : c.m_acsLines)
            EXPECT_NE(result.m_csOut.find(csLine), std::string::npos) << c.m_pszFile << "\n" << result.m_csOut;
    }
    // Nothing was started and no template was written for the missing file.
    EXPECT_FALSE(FileExists(csDir + "\\missing.inf"));
    EXPECT_FALSE(FileExists(csDir + "\\out.log"));
    RemoveDirectoryTree(csDir);
}

// ENV reaches the process beside everything it inherits: the GLOBAL line's
// variables, a line's own value winning over the GLOBAL line's, %VAR%
// expanded from the supervisor's environment, and PATH as the supervisor
// has it. ovrinctl tells the program apart from the name and says which
// line watches a process it did not start.
TEST_F(OperatorTools, EnvReachesTheProcessBesideWhatItInheritsAndTheToolTellsAttachedLines)
{
    ASSERT_TRUE(::SetEnvironmentVariableA("OVRIN_E2E_SOURCE", "from the supervisor"));
    m_ovrin.Prepare("OvEnv.exe");
    ASSERT_TRUE(m_ovrin.CopyChild("envown.exe"));
    ASSERT_TRUE(m_ovrin.CopyChild("envplain.exe"));
    ASSERT_TRUE(m_ovrin.CopyChild("envrunning.exe"));
    CHandle hRunning;
    ASSERT_TRUE(StartDetached(Path("envrunning.exe"), "-forever", hRunning));
    const std::string csFiles = " -envfile own_g.txt GREETING -envfile own_m.txt MODE -envfile own_x.txt EXPANDED "
                                "-envfile own_p.txt PATH -envfile own_s.txt OVRIN_E2E_SOURCE";
    ASSERT_TRUE(m_ovrin.Launch(
        "\"envown.exe" + csFiles + " -forever\" -noconsole -env \"mode=own\" "
        "-env \"EXPANDED=[%OVRIN_E2E_SOURCE%] %NO_SUCH_OVRIN_VAR%\"\r\n"
        "-global -env \"GREETING=hello there\" -env \"MODE=global\"\r\n"
        "\"envplain.exe -envfile plain_m.txt MODE -envfile plain_p.txt PATH -forever\" -noconsole\r\n"
        "\"envrunning.exe -forever\" -noconsole\r\n"));
    ::SetEnvironmentVariableA("OVRIN_E2E_SOURCE", NULL);
    ASSERT_TRUE(m_client.Connect("OvEnv.exe", s_dwLong));
    m_acsSeen = m_client.ReceiveTextsUntil("All services have been started.", s_dwLong);
    EXPECT_EQ(CountPrefixed(m_acsSeen, "Monitoring running process: envrunning.exe."), 1u) << JoinLines(m_acsSeen);

    char szPath[32768] = "";
    ::GetEnvironmentVariableA("PATH", szPath, sizeof szPath);
    const struct
    {
        const char* m_pszFile;
        std::string m_csValue;
    } aExpected[] = {
        {"own_g.txt", "hello there"},
        {"own_m.txt", "own"},
        {"own_x.txt", "[from the supervisor] %NO_SUCH_OVRIN_VAR%"},
        {"own_p.txt", szPath},
        {"own_s.txt", "from the supervisor"},
        {"plain_m.txt", "global"},
        {"plain_p.txt", szPath},
    };
    for (const auto& e : aExpected) {
        std::string csValue = "(missing)";
        for (DWORD dwStart = ::GetTickCount(); ::GetTickCount() - dwStart < s_dwLong; ::Sleep(50)) {
            if (ReadTextFile(Path(e.m_pszFile), csValue))
                break;
        }
        EXPECT_EQ(csValue, e.m_csValue) << e.m_pszFile;
    }
    EXPECT_FALSE(std::string(szPath).empty());

    CRunResult result = Tool("-n OvEnv.exe status -json");
    EXPECT_EQ(result.m_dwExitCode, 0u) << result.m_csErr;
    for (const auto& j : {std::make_pair("envrunning.exe", "\"executable\": \"envrunning.exe\","),
                          std::make_pair("envrunning.exe", "\"attached\": true, \"healthy\": null}"),
                          std::make_pair("envown.exe", "\"attached\": false, \"healthy\": null}")})
        EXPECT_NE(JsonObjectOf(result.m_csOut, j.first).find(j.second), std::string::npos) << j.second << result.m_csOut;
    result = Tool("-n OvEnv.exe status -csv");
    const std::string csRow = CsvRowOf(result.m_csOut, "envrunning.exe");
    EXPECT_EQ(csRow.compare(0, 30, "envrunning.exe,envrunning.exe,"), 0) << result.m_csOut;
    EXPECT_TRUE(StrEndsWithI(csRow, ",false,true,")) << csRow;   // forced_stop, attached, healthy
    Quit();
    ::TerminateProcess(hRunning.Get(), 1);
}
