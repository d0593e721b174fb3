// Ovrin.exe started for real: usage, rejected arguments and the template
// written on the first run.
#include "exitcode.h"
#include "e2e_util.h"
#include "common/assertex.h"
#include "test_app.h"

namespace {

class OvrinProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_csDir = MakeTempDirectory("ovrusage");
        m_csExe = CopyOvrinTo(m_csDir, "OvrUsage.exe");
    }
    void TearDown() override { RemoveDirectoryTree(m_csDir); }
    CRunResult Run(const std::string& csArgs, const std::string& csInput = std::string())
    {
        return RunProgram("\"" + m_csExe + "\" " + csArgs, csInput, 20000, m_csDir);
    }

    std::string m_csDir;
    std::string m_csExe;
};

const char* const s_apszUsageOut[] = {
    "Tesk Ovrin Utility",
    "",
    "The Ovrin utility starts processes and monitors them until they end. It",
    "is a client-server type application where the clients can query the status",
    "and control the processes.",
    "",
    "Usage: ovrusage.exe",
    "    or ovrusage.exe -c [computer] (to run as client)",
    "    or ovrusage.exe -i (to install as an NT service)",
    "    or ovrusage.exe -r (to remove the NT service)",
    "    or ovrusage.exe -d definition_file (to specify a definition file)",
    "",
    "Use -c to run as client to another Ovrin program running on the specified",
    "  computer. If no computer is specified, the local computer is assumed.",
    "If -d is not specified, the default definition file of ovrusage.inf is used.",
    "",
    "The first time that you run ovrin (with no command line options), a dummy",
    "definition file will be created that you can customize to the needs of",
    "your application.",
    "",
};

// The usage, byte for byte, after csNamed (the line that names the
// argument not taken) on standard error.
void ExpectUsage(const CRunResult& result, DWORD dwExitCode, const std::string& csNamed = std::string())
{
    EXPECT_FALSE(result.m_fTimedOut);
    EXPECT_EQ(result.m_dwExitCode, dwExitCode);
    std::vector<std::string> acsOut = SplitLines(result.m_csOut);
    ASSERT_EQ(acsOut.size(), DIM(s_apszUsageOut)) << result.m_csOut;
    for (size_t i = 0; i < acsOut.size(); i++)
        EXPECT_EQ(acsOut[i], s_apszUsageOut[i]) << "stdout line " << i + 1;
    EXPECT_EQ(result.m_csErr,
              csNamed + "Use -i to install (if necessary) and start this executable as an NT service.\r\n"
                        "Use -r to stop (if necessary) and remove this executable as an NT service.\r\n");
}

}  // namespace

// -? and /H print the usage alone; an argument not taken is named before it.
TEST_F(OvrinProgram, UsageAndRejectedArgumentsNamedBeforeItStartNothing)
{
    const struct
    {
        const char* m_pszArgs;
        const char* m_pszNamed;
    } aCases[] = {
        {"-?", ""},
        {"/H", ""},
        {"-x", "Unknown option: -x\r\n"},
        {"/frobnicate", "Unknown option: /frobnicate\r\n"},
        {"stray", "Unexpected argument: stray\r\n"},
        {"-c host -d file extra", "Unexpected argument: extra\r\n"},
        {"-c -x", "Unknown option: -x\r\n"},
        // A value that starts like an option is taken for one.
        {"-d /srv/x.inf", "Unknown option: /srv/x.inf\r\n"},
        {"-d a.inf -d b.inf", "Unexpected option: -d\r\n"},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(c.m_pszArgs);
        ExpectUsage(Run(c.m_pszArgs), *c.m_pszNamed ? EXIT_CODE_USAGE : EXIT_CODE_OK, c.m_pszNamed);
        EXPECT_EQ(::GetFileAttributesA((m_csDir + "\\OvrUsage.inf").c_str()), INVALID_FILE_ATTRIBUTES)
            << "no template may be written";
    }
}

TEST_F(OvrinProgram, FirstRunWritesTheTemplateAndEndsWithItsInput)
{
    CRunResult result = Run("");
    EXPECT_FALSE(result.m_fTimedOut);
    EXPECT_EQ(result.m_dwExitCode, (DWORD)EXIT_CODE_INVALID_DEFINITION);
    EXPECT_NE(result.m_csOut.find("Ending.\r\n"), std::string::npos) << result.m_csOut;
    std::string csTemplate;
    ASSERT_TRUE(ReadTextFile(m_csDir + "\\OvrUsage.inf", csTemplate));
    EXPECT_EQ(csTemplate.substr(0, 61), "# OVRUSAGE.INF is the information file used by OVRUSAGE.EXE\r\n");
    EXPECT_EQ(SplitLines(csTemplate).size(), 106u);
}
