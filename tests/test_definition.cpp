#include <algorithm>

#include "common/filestuf.h"
#include "defreader.h"
#include "e2e_util.h"
#include "environment.h"
#include "test_supervisor_app.h"

namespace {

// Writes the text as a definition file and reads it with a reader of its
// own; m_csSaid holds the errors, then the warnings, a line each.
class DefinitionFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_csDir = MakeTempDirectory("ovrdef");
        m_csPath = m_csDir + "\\test.inf";
    }
    void TearDown() override { RemoveDirectoryTree(m_csDir); }
    BOOL Read(const std::string& csText)
    {
        EXPECT_TRUE(WriteTextFile(m_csPath, csText));
        return ReadPath(m_csPath);
    }
    BOOL ReadPath(const std::string& csPath)
    {
        BOOL fOk = m_reader.Read(csPath);
        m_csSaid.clear();
        for (const CDefinitionMessage& error : m_reader.GetErrors())
            m_csSaid += error.m_csText + "\n";
        for (const CDefinitionMessage& warning : m_reader.GetWarnings())
            m_csSaid += warning.m_csText + "\n";
        return fOk;
    }
    const std::vector<std::unique_ptr<CWatchedProcess>>& Processes() const { return m_reader.GetRecords(); }
    const CWatchedProcess& Only()
    {
        EXPECT_EQ(Processes().size(), 1u);
        return *Processes().at(0);
    }
    // Each error's line, in the order found.
    std::vector<int> ErrorLines() const
    {
        std::vector<int> anLines;
        for (const CDefinitionMessage& error : m_reader.GetErrors())
            anLines.push_back(error.m_nLine);
        return anLines;
    }

    CDefinitionReader m_reader;
    std::string m_csDir;
    std::string m_csPath;
    std::string m_csSaid;
};

// The same files read by the supervisor, which shows what the reader found
// in its debug log (echoed to the standard error here).
class SupervisorDefinition : public DefinitionFile
{
protected:
    void SetUp() override
    {
        DefinitionFile::SetUp();
        ResetSupervisorForTest();
    }
    void TearDown() override
    {
        ResetSupervisorForTest();
        DefinitionFile::TearDown();
    }
    BOOL SupervisorRead(const std::string& csPath)
    {
        CSupervisorApp& app = GetSupervisorForTest();
        app.m_csDefinitionFile = csPath;
        CStderrCapture capture;
        BOOL fOk = app.ReadDefinitionFile();
        m_csSaid = capture.Text();
        return fOk;
    }
};

// The GLOBAL settings as one text, to compare what was read or taken.
std::string GlobalsText(BOOL fAllowClose, BOOL fLifoShutdown, BOOL fKillTree, BOOL fSecurePipe, LONG nStopTimeout,
                        const CStopWayArray& adwStopWays)
{
    std::string cs = StrFormat("ALLOWCLOSE %d LIFOSHUTDOWN %d KILLTREE %d SECUREPIPE %d STOPTIMEOUT %ld STOPMETHOD",
                               fAllowClose != FALSE, fLifoShutdown != FALSE, fKillTree != FALSE, fSecurePipe != FALSE,
                               (long)nStopTimeout);
    for (DWORD dwWay : adwStopWays)
        cs += " " + std::to_string(dwWay);
    return cs;
}

}  // namespace

TEST_F(DefinitionFile, EveryKeywordSetsItsField)
{
    ASSERT_TRUE(Read("\"c:\\tools\\app.exe -port 5\" -master -newconsole -title \"App server\" -hidden -xpos 10 "
                     "-ypos 20 -xsize 300 -ysize 200 -xbuf 100 -ybuf 50 -high -cd c:\\work -sync -group 0 "
                     "-exit 3 -nowatch -nounique first -unique second -restartdelay 7 -quit -quitdelay 9 -NoStop\n"));
    const CWatchedProcess& wp = Only();
    EXPECT_EQ(wp.m_csCommandLine, "c:\\tools\\app.exe -port 5");
    EXPECT_TRUE(wp.m_fMaster);
    EXPECT_EQ(wp.m_dwConsoleFlags, (DWORD)CREATE_NEW_CONSOLE);
    EXPECT_EQ(wp.m_dwGroupFlags, 0u);
    EXPECT_EQ(wp.m_csTitle, "App server");
    EXPECT_EQ(wp.m_startupinfo.wShowWindow, SW_HIDE);
    EXPECT_EQ(wp.m_startupinfo.dwX, 10u);
    EXPECT_EQ(wp.m_startupinfo.dwY, 20u);
    EXPECT_EQ(wp.m_startupinfo.dwXSize, 300u);
    EXPECT_EQ(wp.m_startupinfo.dwYSize, 200u);
    EXPECT_EQ(wp.m_startupinfo.dwXCountChars, 100u);
    EXPECT_EQ(wp.m_startupinfo.dwYCountChars, 50u);
    DWORD dwAll = STARTF_USESHOWWINDOW | STARTF_USEPOSITION | STARTF_USESIZE | STARTF_USECOUNTCHARS;
    EXPECT_EQ(wp.m_startupinfo.dwFlags & dwAll, dwAll);
    EXPECT_EQ(wp.m_dwPriorityClass, (DWORD)HIGH_PRIORITY_CLASS);
    EXPECT_EQ(wp.m_csCurrentDirectory, "c:\\work");
    EXPECT_TRUE(wp.m_fSync);
    EXPECT_EQ(wp.m_nGroup, 0);
    EXPECT_TRUE(wp.m_fCheckExitCode);
    EXPECT_EQ(wp.m_dwOkExitCode, 3u);
    EXPECT_FALSE(wp.m_fWatch);
    EXPECT_TRUE(wp.m_fUnique) << "unique is looked up after nounique";
    EXPECT_EQ(wp.m_csUniqueName, "second");
    EXPECT_EQ(wp.m_mtsRestartDelay.GetTotalMilliseconds(), 7000);
    EXPECT_TRUE(wp.m_fQuit);
    EXPECT_EQ(wp.m_nQuitDelay, 9);
    EXPECT_TRUE(wp.m_fNoStop);
}

TEST_F(DefinitionFile, KeywordsAreCaseInsensitiveWithEitherPrefix)
{
    ASSERT_TRUE(Read("a.exe -NOSTART\nb.exe /noauto -MIN -NoConsole /REALTIME\n"));
    ASSERT_EQ(Processes().size(), 2u);
    EXPECT_TRUE(Processes()[0]->m_fNoStart);
    EXPECT_TRUE(Processes()[1]->m_fNoStart);
    EXPECT_EQ(Processes()[1]->m_startupinfo.wShowWindow, SW_MINIMIZE);
    EXPECT_EQ(Processes()[1]->m_dwConsoleFlags, (DWORD)DETACHED_PROCESS);
    EXPECT_EQ(Processes()[1]->m_dwPriorityClass, (DWORD)REALTIME_PRIORITY_CLASS);
    // A continued line may look like a comment; a token ending in a
    // backslash does not continue.
    ASSERT_TRUE(Read("first.exe -newconsole \\\r\n  -title T \\\n  -min\n\"second.exe c:\\dir\\\"\nthird.exe \\"));
    ASSERT_EQ(Processes().size(), 2u);
    EXPECT_EQ(Processes()[0]->m_csTitle, "T");
    EXPECT_EQ(Processes()[0]->m_startupinfo.wShowWindow, SW_MINIMIZE);
    EXPECT_EQ(Processes()[1]->m_csCommandLine, "second.exe c:\\dir\\");
}

TEST_F(DefinitionFile, NumbersNeedADigit)
{
    ASSERT_TRUE(Read("a.exe -group x1 -xsize 640 -quitdelay x -restartdelay 0\n"));
    const CWatchedProcess& wp = Only();
    EXPECT_EQ(wp.m_nGroup, -1);
    EXPECT_EQ(wp.m_startupinfo.dwXSize, 640u);
    EXPECT_EQ(wp.m_startupinfo.dwYSize, 25u);
    EXPECT_TRUE(wp.m_startupinfo.dwFlags & STARTF_USESIZE);
    EXPECT_EQ(wp.m_nQuitDelay, 5);
    EXPECT_EQ(wp.m_mtsRestartDelay.GetTotalMilliseconds(), 0);
    ASSERT_TRUE(Read("-xpos -10\n"));
    EXPECT_EQ(Only().m_csCommandLine, "-10");
    EXPECT_EQ(Only().m_startupinfo.dwX, 0u);
    EXPECT_TRUE(Only().m_startupinfo.dwFlags & STARTF_USEPOSITION);
}

TEST_F(SupervisorDefinition, MissingFileGetsTheTemplateByteForByte)
{
    std::string csPath = m_csDir + "\\fresh.inf";
    EXPECT_FALSE(SupervisorRead(csPath));
    EXPECT_NE(m_csSaid.find(csPath + " has been created. You must customize it for your application."),
              std::string::npos)
        << m_csSaid;
    std::string csText;
    ASSERT_TRUE(ReadTextFile(csPath, csText));
    std::string csExe = StrUpper(GetSupervisorForTest().m_csExeName);
    std::string csBase = csExe.substr(0, csExe.rfind('.'));
    size_t cLines = 0;
    for (size_t i = 0; (i = csText.find("\r\n", i)) != std::string::npos; i += 2)
        cLines++;
    EXPECT_EQ(cLines, 106u);
    EXPECT_EQ(csText.substr(csText.size() - 4), "# \r\n");
    std::vector<std::string> acsLines = SplitLines(csText);
    ASSERT_EQ(acsLines.size(), 106u);
    EXPECT_EQ(acsLines[0], "# " + csBase + ".INF is the information file used by " + csExe);
    EXPECT_EQ(acsLines[27], "#         (uses the same console window as " + csExe + ").");
    EXPECT_EQ(acsLines[30], "#         window as " + csExe + ", but if " + csExe + " is a service then the");
    EXPECT_EQ(acsLines[72], "# The following start\\restart options are available for each executable:");
    EXPECT_EQ(acsLines[96], "# MONITOREVSEM <\"NAME\"> - create an event with the specified name. ");
    // Read back, the template names no process and warns of nothing else.
    ResetSupervisorForTest();
    EXPECT_FALSE(SupervisorRead(csPath));
    EXPECT_NE(m_csSaid.find("does not specify any processes to start."), std::string::npos) << m_csSaid;
    EXPECT_EQ(m_csSaid.find("Unexpected"), std::string::npos) << m_csSaid;
}

TEST_F(DefinitionFile, UnusableMissingOrEmptyFilesAreAnErrorOfTheWholeFile)
{
    EXPECT_FALSE(ReadPath(m_csDir));
    EXPECT_NE(m_csSaid.find(m_csDir + " could not be opened. Error "), std::string::npos) << m_csSaid;
    EXPECT_FALSE(ReadPath(m_csDir + "\\nodir\\x.inf"));
    EXPECT_NE(m_csSaid.find(" could not be opened. Error 3 ("), std::string::npos) << m_csSaid;
    EXPECT_FALSE(Read(std::string("a.exe\nb.exe \0 -min\n", 20)));
    EXPECT_NE(m_csSaid.find("Error: Line 2 of " + m_csPath + " contains a NUL character."), std::string::npos)
        << m_csSaid;
    // The reader only reads: a missing file is an error of the whole file
    // (line 0) that the caller can tell apart, and no template takes its place.
    const std::string csMissing = m_csDir + "\\missing.inf";
    EXPECT_FALSE(ReadPath(csMissing));
    EXPECT_EQ(m_reader.GetOpenError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ErrorLines(), (std::vector<int>{0}));
    EXPECT_EQ(m_csSaid.find(csMissing + " could not be opened. Error 2 ("), 0u) << m_csSaid;
    EXPECT_EQ(::GetFileAttributesA(csMissing.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(Read("# nothing but a comment\r\n\r\n"));
    EXPECT_EQ(m_reader.GetOpenError(), 0u);
    EXPECT_EQ(ErrorLines(), (std::vector<int>{0}));
    EXPECT_EQ(m_csSaid, "Error: The " + m_csPath + " file does not specify any processes to start.\n");
}

// A line's own stop settings win over the GLOBAL line's, wherever that line
// stands; lines with neither get the defaults (2 s, the default chain); a
// line sharing the console is in the supervisor's process group, where a
// console event can reach it.
TEST_F(DefinitionFile, StopSettingsOfTheLineThenTheGlobalLineThenTheDefaults)
{
    ASSERT_TRUE(Read("\"a.exe\" -stoptimeout 7 -stopmethod \"quit, CtrlBreak\"\n\"b.exe\"\n"
                     "-global -stoptimeout 0 -stopmethod close\n\"c.exe\" -stoptimeout 86400\n"));
    ASSERT_EQ(Processes().size(), 3u);
    EXPECT_EQ(Processes()[0]->GetStopTimeoutMs(), 7000u);
    EXPECT_EQ(Processes()[0]->m_adwStopWays, (CStopWayArray{STOP_WAY_QUIT, STOP_WAY_CTRLBREAK}));
    EXPECT_EQ(Processes()[1]->GetStopTimeoutMs(), 0u);
    EXPECT_EQ(Processes()[1]->m_adwStopWays, (CStopWayArray{STOP_WAY_CLOSE}));
    EXPECT_EQ(Processes()[2]->GetStopTimeoutMs(), 86400000u);
    EXPECT_EQ(Processes()[2]->m_dwGroupFlags, 0u);
    ASSERT_TRUE(Read("\"d.exe\"\n"));
    EXPECT_EQ(Only().GetStopTimeoutMs(), 2000u);
    EXPECT_TRUE(Only().m_adwStopWays.empty());
}

// A check reads on past invalid lines and finds every error with its line;
// the supervisor's reading stops at the first, keeping the lines before it.
TEST_F(DefinitionFile, ACheckReadsOnPastInvalidLinesTheSupervisorStopsAtTheFirst)
{
    const std::string csText =
        std::string("a.exe\nb.exe -bogus\nc.exe \\\n  -stoptimeout x\n-global -what\nd.exe ") + '\0' + "\ne.exe\n";
    EXPECT_FALSE(Read(csText));
    EXPECT_EQ(ErrorLines(), (std::vector<int>{2})) << m_csSaid;
    ASSERT_EQ(Processes().size(), 1u);
    EXPECT_EQ(Processes()[0]->m_csCommandLine, "a.exe");

    m_reader.SetReportEveryError(TRUE);
    EXPECT_FALSE(Read(csText));
    EXPECT_EQ(ErrorLines(), (std::vector<int>{2, 4, 5, 6})) << m_csSaid;
    const CDefinitionMessageArray& aErrors = m_reader.GetErrors();
    ASSERT_EQ(aErrors.size(), 4u);
    EXPECT_EQ(aErrors[0].m_csText, "Error: Unexpected \"-bogus\" on line 2 of " + m_csPath);
    EXPECT_EQ(aErrors[1].m_csText,
              "Error: STOPTIMEOUT needs a number of seconds from 0 to 86400 on line 4 of " + m_csPath);
    EXPECT_EQ(aErrors[2].m_csText, "Error: Unexpected GLOBAL config token \"-what\" on line 5 of " + m_csPath);
    EXPECT_EQ(aErrors[3].m_csText, "Error: Line 6 of " + m_csPath + " contains a NUL character.");
    ASSERT_EQ(Processes().size(), 2u);
    EXPECT_EQ(Processes()[1]->m_csCommandLine, "e.exe");
    EXPECT_TRUE(m_reader.GetWarnings().empty());
}

// The GLOBAL line's settings are the reader's; its KILLTREE holds for the
// lines before it too. Two UNIQUE lines naming one process (in any case)
// are a warning of the second line, in an otherwise valid file.
TEST_F(DefinitionFile, GlobalSettingsAndSharedUniqueNames)
{
    ASSERT_TRUE(Read("a.exe -unique Same.exe\nb.exe -unique other.exe\n"
                     "-global -allowclose -lifoshutdown -killtree -securepipe -stoptimeout 4 -stopmethod quit\n"
                     "c.exe -unique SAME.EXE\n"));
    const CDefinitionGlobals& g = m_reader.GetGlobals();
    EXPECT_EQ(GlobalsText(g.m_fAllowClose, g.m_fLifoShutdown, g.m_fKillTree, g.m_fSecurePipe, g.m_nStopTimeout,
                          g.m_adwStopWays),
              GlobalsText(TRUE, TRUE, TRUE, TRUE, 4, {STOP_WAY_QUIT}));
    ASSERT_EQ(Processes().size(), 3u);
    EXPECT_TRUE(Processes()[0]->m_fKillTree);
    EXPECT_TRUE(Processes()[2]->m_fKillTree);
    const CDefinitionMessageArray& aWarnings = m_reader.GetWarnings();
    ASSERT_EQ(aWarnings.size(), 1u);
    EXPECT_EQ(aWarnings[0].m_nLine, 4);
    EXPECT_EQ(aWarnings[0].m_csText, "Warning: Two UNIQUE lines of " + m_csPath + " list the name SAME.EXE.");

    // A second reading forgets the first.
    ASSERT_TRUE(Read("d.exe\n"));
    EXPECT_FALSE(m_reader.GetGlobals().m_fKillTree);
    EXPECT_EQ(m_reader.GetGlobals().m_nStopTimeout, -1);
    EXPECT_FALSE(Only().m_fKillTree);
    EXPECT_TRUE(m_reader.GetWarnings().empty());
}

// The supervisor shows the reader's errors and warnings as it always did,
// stops at the first error, and takes the records (their output copiers
// report to its notices) and the GLOBAL settings.
TEST_F(SupervisorDefinition, ShowsTheReadersMessagesAndTakesWhatItRead)
{
    CSupervisorApp& app = GetSupervisorForTest();
    ASSERT_TRUE(WriteTextFile(m_csPath, "a.exe\nb.exe -bogus\nc.exe -alsobogus\n"));
    EXPECT_FALSE(SupervisorRead(m_csPath));
    EXPECT_NE(m_csSaid.find("Error: Unexpected \"-bogus\" on line 2 of " + m_csPath), std::string::npos) << m_csSaid;
    EXPECT_EQ(m_csSaid.find("-alsobogus"), std::string::npos) << m_csSaid;

    ResetSupervisorForTest();
    ASSERT_TRUE(WriteTextFile(m_csPath, "a.exe -unique x.exe -stdout a.log\n-global -lifoshutdown -killtree "
                                        "-securepipe -stoptimeout 3 -stopmethod close\nb.exe -unique X.exe\n"));
    EXPECT_TRUE(SupervisorRead(m_csPath)) << m_csSaid;
    EXPECT_NE(m_csSaid.find("Warning: Two UNIQUE lines of " + m_csPath + " list the name X.exe."), std::string::npos)
        << m_csSaid;
    ASSERT_EQ(app.m_paProcesses.size(), 2u);
    EXPECT_EQ(app.m_paProcesses[0]->m_pNotices, &app.m_notices);
    EXPECT_EQ(app.m_paProcesses[1]->m_pNotices, nullptr);
    EXPECT_TRUE(app.m_paProcesses[0]->m_fKillTree);
    EXPECT_EQ(app.m_paProcesses[0]->GetStopTimeoutMs(), 3000u);
    EXPECT_EQ(GlobalsText(app.m_fAllowClose, app.m_fLifoShutdown, app.m_fKillTreeAll, app.m_fSecurePipe,
                          app.m_nStopTimeoutAll, app.m_adwStopWaysAll),
              GlobalsText(FALSE, TRUE, TRUE, TRUE, 3, {STOP_WAY_CLOSE}));
}

// TIMESTAMP and ROTATE of a line win; the GLOBAL line's hold for the
// others, those before it included; a file without them is as before.
TEST_F(DefinitionFile, CaptureStampAndRotationOfTheLineThenTheGlobalLine)
{
    ASSERT_TRUE(Read("a.exe -stdout a.log\nb.exe -stdout b.log -rotate 6:05 -TimeStamp\n"
                     "-global -timestamp -rotate DAILY\nc.exe -stdout c.log -rotate 23:59\n"));
    ASSERT_EQ(Processes().size(), 3u);
    const int anRotateMinute[] = {0, 6 * 60 + 5, 23 * 60 + 59};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_TRUE(Processes()[i]->m_capture.m_fStamp) << i;
        EXPECT_EQ(Processes()[i]->m_capture.m_nRotateMinute, anRotateMinute[i]) << i;
    }
    ASSERT_TRUE(Read("d.exe -stdout d.log\n"));
    EXPECT_FALSE(Only().m_capture.m_fStamp);
    EXPECT_EQ(Only().m_capture.m_nRotateMinute, -1);
    EXPECT_FALSE(m_reader.GetGlobals().m_fTimestamp);
    EXPECT_EQ(m_reader.GetGlobals().m_nRotateMinute, -1);
}

// What a reload compares: the variables that take effect, not how they are
// written.
TEST_F(DefinitionFile, HasSameEnvironmentComparesWhatTakesEffect)
{
    ASSERT_TRUE(Read("\"a.exe\" -env \"A=1\" -env \"b=2\"\n"
                     "\"a.exe\" -env \"B=2\" -env \"a=1\"\n"
                     "\"a.exe\" -env \"A=0\" -env \"B=2\" -env \"A=1\"\n"
                     "\"a.exe\" -env \"A=1\" -env \"B=3\"\n"
                     "\"a.exe\" -env \"A=1\"\n"
                     "\"a.exe\"\n"
                     "\"a.exe\" -env \"a=1\" -nounique\n"));
    ASSERT_EQ(Processes().size(), 7u);
    const CWatchedProcess& first = *Processes()[0];
    EXPECT_TRUE(first.HasSameEnvironment(*Processes()[1])) << "names without regard to case, in any order";
    EXPECT_TRUE(first.HasSameEnvironment(*Processes()[2])) << "the last value of a name counts";
    EXPECT_FALSE(first.HasSameEnvironment(*Processes()[3])) << "another value";
    EXPECT_FALSE(first.HasSameEnvironment(*Processes()[4])) << "a variable less";
    EXPECT_FALSE(Processes()[5]->HasSameEnvironment(*Processes()[4])) << "none against one";
    EXPECT_TRUE(Processes()[5]->HasSameEnvironment(*Processes()[5]));
    EXPECT_TRUE(Processes()[4]->HasSameEnvironment(*Processes()[6]));
}

// The block a process gets: the supervisor's environment with the entries
// laid over it (never replacing it), %VAR% expanded from the supervisor's
// environment, sorted by name without regard to case.
TEST(ProcessEnvironment, EntriesAreLaidOverTheSupervisorsEnvironmentAndExpanded)
{
    ASSERT_TRUE(::SetEnvironmentVariableA("OVRIN_TEST_BASE", "base"));
    const std::vector<std::wstring> awsBase = {L"=C:=C:\\work", L"Path=C:\\windows", L"Zeta=z", L"alpha=a"};
    const std::vector<std::wstring> awsBlock = BuildProcessEnvironment(
        awsBase, {"ALPHA=new", "Beta=[%OVRIN_TEST_BASE%]", "PATH=C:\\tools;%OVRIN_TEST_BASE%", "Gone=%NO_SUCH_VAR_X%",
                  "Empty="});
    EXPECT_EQ(awsBlock, (std::vector<std::wstring>{L"=C:=C:\\work", L"ALPHA=new", L"Beta=[base]", L"Empty=",
                                                   L"Gone=%NO_SUCH_VAR_X%", L"PATH=C:\\tools;base", L"Zeta=z"}));
    // Without entries the block is the environment as it was, sorted.
    EXPECT_EQ(BuildProcessEnvironment({L"b=1", L"A=2"}, {}), (std::vector<std::wstring>{L"A=2", L"b=1"}));
    // This process's own environment holds what was just set.
    const std::vector<std::wstring> awsOwn = GetProcessEnvironment();
    EXPECT_NE(std::find(awsOwn.begin(), awsOwn.end(), std::wstring(L"OVRIN_TEST_BASE=base")), awsOwn.end());
    ::SetEnvironmentVariableA("OVRIN_TEST_BASE", NULL);
}
// Each refused setting names its line; the rows with a line number also
// check that the error is the only one.
TEST_F(DefinitionFile, BadSettingsAreRefusedWithTheirLine)
{
    const std::string csStop = "Error: STOPTIMEOUT needs a number of seconds from 0 to 86400 on line ";
    const std::string csWay = "Error: STOPMETHOD needs one or more of";
    const std::string csName = "Error: NAME needs a name without blanks";
    const std::string csRotate = "Error: ROTATE needs daily or a time of day from 00:00 to 23:59 on line 1 of " + m_csPath;
    const std::string csEnv = "Error: ENV needs NAME=VALUE with a variable name before the \"=\" on line ";
    const std::string csReady = "Error: READY needs tcp:PORT, tcp:HOST:PORT, http://HOST:PORT/PATH, file:PATH or "
                                "event:NAME on line ";
    const std::string csHealth = "Error: HEALTH needs tcp:PORT, tcp:HOST:PORT or http://HOST:PORT/PATH on line ";
    const struct
    {
        const char* m_pszText;
        std::string m_csSaid;
        int m_nOnlyLine;
    } aCases[] = {
        {"a.exe --nostart\n", "Error: Unexpected \"--nostart\" on line 1 of " + m_csPath, 0},
        {"a.exe -xpos -10\n", "Error: Unexpected \"-10\" on line 1 of " + m_csPath, 0},
        {"first.exe \\\n# -min\n", "Error: Unexpected \"#\" on line 2 of ", 0},   // a continued line is no comment
        {"a.exe \\\n\\\nb.exe\n", "Error: Unexpected \"b.exe\" on line 3 of ", 0},
        {"\"a.exe\" -stoptimeout -1\n", csStop + "1 of ", 1},
        {"\"a.exe\" -stoptimeout 86401\n", csStop + "1", 0},
        {"# x\n\"a.exe\" -stoptimeout 2s\n", csStop + "2", 2},
        {"-global -stoptimeout 99999999999\n\"a.exe\"\n", csStop, 0},
        {"\"a.exe\" -stopmethod kill\n", csWay + " ctrlc, ctrlbreak, close and quit, separated by commas, on line 1 of ", 0},
        {"\"a.exe\" -stopmethod \"ctrlc,ctrlc\"\n", csWay, 0},
        {"-global -stopmethod \"\"\n\"a.exe\"\n", csWay, 0},
        {"a.exe -name \"\"\n", csName + " or quotes that is not all and does not end in .exe on line 1", 0},
        {"a.exe -name \"my web\"\n", csName, 0},
        {"a.exe -name ALL\n", csName, 0},
        {"a.exe -name web.EXE\n", csName, 0},
        {"a.exe -name web\n# x\nb.exe -name WEB\n", "Error: The name WEB on line 3 of ", 0},
        {"worker.exe\nb.exe -name Worker\n", "Error: The name Worker on line 2 of ", 0},
        {"b.exe -name worker\nworker.exe\n", "Error: The name worker.exe on line 2 of ", 0},
        {"a.exe -name web\nb.exe -name web\n", "is the name of line 1 as well", 0},
        {"a.exe -stdout a.log -rotate 24:00\n", csRotate, 0},
        {"a.exe -rotate 12:60\n", csRotate, 0},
        {"a.exe -rotate 7\n", csRotate, 0},
        {"a.exe -rotate 123:00\n", csRotate, 0},
        {"a.exe -rotate 1:5\n", csRotate, 0},
        {"a.exe -rotate weekly\n", csRotate, 0},
        {"a.exe -rotate 12:00:00\n", csRotate, 0},
        {"-global -rotate \"\"\na.exe\n", csRotate, 0},
        {"a.exe\n# x\nb.exe -rotate 25:00\n", "Error: ROTATE needs", 3},
        {"\"a.exe\" -env NOVALUE\n", csEnv + "1 of " + m_csPath + "\n", 1},
        {"# first\n\"a.exe\" -env \"=x\"\n", csEnv + "2 of " + m_csPath + "\n", 2},
        {"\"a.exe\" -env \"A=1\" -env\n", csEnv + "1 of " + m_csPath + "\n", 1},
        {"\"a.exe\"\n-global -env \"\"\n", csEnv + "2 of " + m_csPath + "\n", 2},
        {"\"a.exe\" -env -noconsole\n", csEnv + "1 of " + m_csPath + "\n", 1},
        {"\"a.exe\" -ready\n", csReady + "1 of ", 0},
        {"# x\n\"a.exe\" -ready tcp:99999\n", csReady + "2 of ", 0},
        {"\"a.exe\" -ready https://web/\n", csReady, 0},
        {"\"a.exe\" -health file:x.ready\n", csHealth + "1 of ", 0},
        {"\"a.exe\" -health event:x\n", csHealth, 0},
        {"\"a.exe\" -ready tcp:1 -readytimeout 0\n", "Error: READYTIMEOUT needs a number of seconds from 1 to 86400 on line 1 of ", 0},
        {"\"a.exe\" -ready tcp:1 -readytimeout 86401\n", "Error: READYTIMEOUT needs a number of seconds from 1 to", 0},
        {"\"a.exe\" -health tcp:1 -healthinterval 5s\n", "Error: HEALTHINTERVAL needs a number of seconds from 1 to 86400 on line 1 of ", 0},
        {"\"a.exe\" -health tcp:1 -healthtimeout -1\n", "Error: HEALTHTIMEOUT needs a number of seconds from 1 to", 0},
        {"\"a.exe\" -health tcp:1 -healthfailures 1001\n", "Error: HEALTHFAILURES needs a number from 1 to 1000 on ", 0},
        {"\"a.exe\" -maxmemory 0\n", "Error: MAXMEMORY needs a number of megabytes from 1 to 16777216 on line 1 of ", 0},
        {"\"a.exe\" -maxmemory 99999999999\n", "Error: MAXMEMORY needs a number of megabytes from 1 to 16777216", 0},
        {"\"a.exe\" -readytimeout 5\n", "Error: READYTIMEOUT needs READY on line 1 of ", 0},
        {"\"a.exe\" -ready tcp:1 -healthfailures 2\n", "Error: HEALTHFAILURES needs HEALTH on line 1 of ", 0},
    };
    for (const auto& tc : aCases) {
        EXPECT_FALSE(Read(tc.m_pszText)) << tc.m_pszText;
        EXPECT_NE(m_csSaid.find(tc.m_csSaid), std::string::npos) << tc.m_pszText << " said: " << m_csSaid;
        if (tc.m_nOnlyLine != 0) {
            EXPECT_EQ(ErrorLines(), (std::vector<int>{tc.m_nOnlyLine})) << tc.m_pszText << m_csSaid;
        }
    }
    // Lines without NAME may share their program; a NAME may be its own
    // program's name; the largest values are taken.
    EXPECT_TRUE(Read("worker.exe\n\"worker.exe -x\"\nc:\\srv\\node.exe -name node\n")) << m_csSaid;
    ASSERT_TRUE(Read("\"a.exe\" -ready tcp:1 -readytimeout 86400 -health tcp:1 -healthfailures 1000 "
                     "-maxmemory 16777216\n"))
        << m_csSaid;
    EXPECT_EQ(Only().m_checkOptions.m_nMaxMemoryMb, 16777216);
}
