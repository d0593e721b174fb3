// What an operator meets on the first day, with a real Ovrin.exe: mistakes
// in the definition file on the console with their line and a failing exit
// code, and typed lines that the client does not act on answered as such.
#include "exitcode.h"
#include "e2e_util.h"
#include "ovrin_e2e.h"
#include "test_app.h"

namespace {

const DWORD s_dwLong = 20000;

struct CMistakeRow
{
    const char* m_pszCase;
    const char* m_pszDefinition;   // null: no file at all
    const char* m_pszSaid;         // on standard error
};

const CMistakeRow s_aMistakes[] = {
    {"misspelt option", "# the helper\r\n\r\n\"hostname.exe\" -restartdelya 5\r\n",
     "Error: Unexpected \"-restartdelya\" on line 3 of "},
    {"misspelt global option", "-global -alowclose\r\nhostname.exe\r\n",
     "Error: Unexpected GLOBAL config token \"-alowclose\" on line 1 of "},
    {"option that swallowed the command", "hostname.exe\r\n-title hostname.exe\r\n",
     "Error: Line 2 in the .inf file has no command line."},
    {"only comments", "# nothing yet\r\n", " file does not specify any processes to start."},
    {"metrics interval 0", "-global -metrics \"m.prom\" -metricsinterval 0\r\n\"hostname.exe\"\r\n",
     "METRICSINTERVAL needs a number of seconds from 1 to 86400 on line 1"},
    {"missing file", NULL, " has been created. You must customize it for your application."},
};

}  // namespace

TEST(OperatorMistakes, DefinitionErrorsReachStandardErrorAndFailTheRun)
{
    std::string csDir = MakeTempDirectory("ovrmistake");
    std::string csExe = CopyOvrinTo(csDir, "OvrMistake.exe");
    for (const CMistakeRow& row : s_aMistakes) {
        SCOPED_TRACE(row.m_pszCase);
        std::string csPath = csDir + "\\mistake.inf";
        ::DeleteFileA(csPath.c_str());
        if (row.m_pszDefinition != NULL) {
            ASSERT_TRUE(WriteTextFile(csPath, row.m_pszDefinition));
        }
        CRunResult result = RunProgram("\"" + csExe + "\" -d mistake.inf", "", s_dwLong, csDir);
        EXPECT_FALSE(result.m_fTimedOut);
        EXPECT_EQ(result.m_dwExitCode, (DWORD)EXIT_CODE_INVALID_DEFINITION);
        EXPECT_NE(result.m_csErr.find(row.m_pszSaid), std::string::npos) << result.m_csErr;
        EXPECT_EQ(result.m_csErr.find("Warning"), std::string::npos) << "nothing started: " << result.m_csErr;
        EXPECT_NE(result.m_csOut.find("Ending."), std::string::npos) << result.m_csOut;
    }
    std::string csTemplate;
    EXPECT_TRUE(ReadTextFile(csDir + "\\mistake.inf", csTemplate));
    EXPECT_EQ(csTemplate.compare(0, 2, "# "), 0) << "the template is written where -d pointed";
    EXPECT_EQ(::GetFileAttributesA((csDir + "\\m.prom").c_str()), INVALID_FILE_ATTRIBUTES) << "a refused run writes none";
    RemoveDirectoryTree(csDir);
}

// Typed lines the client does not act on are answered with what was typed;
// the prompt takes a name past the old limit, and a reload leaves a line the
// operator stopped stopped.
TEST(OperatorMistakes, TypedLinesLongNamesAndAReload)
{
    COvrinProcess ovrin;
    ovrin.Prepare("OvrTypo.exe");
    ovrin.CopyChild("typo.exe");
    ovrin.CopyChild("longname.exe");
    const std::string csName = "a_line_whose_name_runs_on_well_past_the_old_prompt_limit_of_seventy_nine_characters";
    ASSERT_TRUE(ovrin.Launch("\"typo.exe -forever\" -noconsole\n\"longname.exe -forever\" -noconsole -name " + csName +
                             "\n"));
    ASSERT_NE(ovrin.WaitForOutput("All services have been started.", s_dwLong), std::string::npos)
        << ovrin.Output();
    ovrin.WriteInput("stop typo extra\r\nstatus all\r\n  a b  c \r\n\r\nstatus\r\n");
    ASSERT_NE(ovrin.WaitForOutput("Process typo.exe", s_dwLong), std::string::npos) << ovrin.Output();
    std::string csOut = ovrin.Output();
    for (const char* pszTyped : {"stop typo extra", "status all", "a b  c"}) {
        std::string csAnswer = std::string("Invalid command: ") + pszTyped + ". Type '?' for help.";
        EXPECT_NE(csOut.find(csAnswer), std::string::npos) << csAnswer << " in:\n" << csOut;
    }
    EXPECT_EQ(csOut.find("Stopping process typo.exe"), std::string::npos) << "a line with an extra word stops nothing";

    ovrin.WriteInput("stop " + csName + "\r\n");
    ASSERT_NE(ovrin.WaitForOutput(csName + " Stopped.", s_dwLong), std::string::npos) << ovrin.Output();
    ovrin.WriteInput("reload\r\n");
    ASSERT_NE(ovrin.WaitForOutput("Reloaded ", s_dwLong), std::string::npos) << ovrin.Output();
    EXPECT_NE(ovrin.Output().find(": 0 changes."), std::string::npos) << ovrin.Output();
    EXPECT_EQ(ovrin.Output().find("Started process: " + csName + ".", ovrin.Output().find(" Stopped.")),
              std::string::npos)
        << "a line the operator stopped stays stopped:\n" << ovrin.Output();
    ovrin.WriteInput("quit\r\n");
    EXPECT_TRUE(ovrin.WaitForExit(s_dwLong)) << ovrin.Output();
    EXPECT_EQ(ovrin.GetExitCode(), (DWORD)EXIT_CODE_OK);
}
