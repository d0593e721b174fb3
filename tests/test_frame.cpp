// The console application frame: splitting and looking up arguments,
// RunMain and the control handler.
#include "common/conapp.h"
#include "test_app.h"

namespace {

struct CArgs
{
    explicit CArgs(const std::string& csText) { CConsoleApp::SplitArguments(csText, m_csa, m_dwa); }
    CStringArray m_csa;
    CDWordArray m_dwa;
};

}  // namespace

TEST(SplitArguments, BlanksSeparateQuotesGroupDoubledQuotesGiveOne)
{
    const struct
    {
        const char* pszText;
        CStringArray acsTokens;
    } aCases[] = {
        {"  a \t b\r\nc  ", {"a", "b", "c"}},
        {" \t\r\n", {}},
        {"\"\"", {"\""}},
        {"abc\"d e\"f", {"abcd ef"}},
        {"\"a \"\"b\"\" c\" d", {"a \"b\" c", "d"}},
        {"x\"\"y", {"x\"y"}},
        {"a \"b c  ", {"a", "b c  "}},   // an unterminated quote runs to the end
    };
    for (auto& c : aCases)
        EXPECT_EQ(CArgs(c.pszText).m_csa, c.acsTokens) << c.pszText;
    // Earlier contents are replaced; every token starts unused.
    CStringArray csa{"old"};
    CDWordArray dwa{1};
    CConsoleApp::SplitArguments("new x", csa, dwa);
    EXPECT_EQ(csa, (CStringArray{"new", "x"}));
    EXPECT_EQ(dwa, (CDWordArray{0, 0}));
}

TEST(FindSwitch, MatchesDashOrSlashCaseInsensitiveOnlyOnce)
{
    CArgs args("h --h -H /h");
    EXPECT_TRUE(CConsoleApp::FindSwitch(args.m_csa, args.m_dwa, "h"));
    EXPECT_EQ(args.m_dwa, (CDWordArray{0, 0, 1, 0}));
    EXPECT_TRUE(CConsoleApp::FindSwitch(args.m_csa, args.m_dwa, "h"));
    EXPECT_EQ(args.m_dwa, (CDWordArray{0, 0, 1, 1}));
    EXPECT_FALSE(CConsoleApp::FindSwitch(args.m_csa, args.m_dwa, "h"));
}

TEST(FindOption, TakesTheNextUnusedArgumentUnlessItIsASwitch)
{
    CArgs args("-d file -c -x /y -e used");
    args.m_dwa[6] = 1;
    std::string csValue = "stale";
    EXPECT_TRUE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "d", csValue));
    EXPECT_EQ(csValue, "file");
    csValue = "stale";
    EXPECT_TRUE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "c", csValue));
    EXPECT_EQ(csValue, "");
    EXPECT_EQ(args.m_dwa, (CDWordArray{1, 1, 1, 0, 0, 0, 1}));
    // The argument that starts with "-" is left for later lookups.
    EXPECT_TRUE(CConsoleApp::FindSwitch(args.m_csa, args.m_dwa, "x"));
    EXPECT_TRUE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "y", csValue));
    EXPECT_EQ(csValue, "");
    EXPECT_TRUE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "e", csValue));
    EXPECT_EQ(csValue, "") << "a consumed value is skipped";
    EXPECT_FALSE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "z", csValue));
}

TEST(FindNumberOption, NeedsALeadingDigit)
{
    CArgs args("-n 42x -m abc -k -5 -j");
    int n = -1;
    EXPECT_TRUE(CConsoleApp::FindNumberOption(args.m_csa, args.m_dwa, "n", n));
    EXPECT_EQ(n, 42);
    n = -1;
    EXPECT_FALSE(CConsoleApp::FindNumberOption(args.m_csa, args.m_dwa, "m", n));
    EXPECT_EQ(n, -1);
    EXPECT_EQ(args.m_dwa[3], 1u) << "the switch and its value stay consumed";
    EXPECT_FALSE(CConsoleApp::FindNumberOption(args.m_csa, args.m_dwa, "k", n));
    EXPECT_EQ(args.m_dwa[5], 0u) << "-5 starts with '-' and is no value";
    EXPECT_FALSE(CConsoleApp::FindNumberOption(args.m_csa, args.m_dwa, "j", n));
}

TEST(NextUnusedArgument, ReturnsUnconsumedInOrder)
{
    CArgs args("a -b c");
    CConsoleApp::FindSwitch(args.m_csa, args.m_dwa, "b");
    std::string cs1, cs2, cs3;
    EXPECT_TRUE(CConsoleApp::NextUnusedArgument(args.m_csa, args.m_dwa, cs1));
    EXPECT_TRUE(CConsoleApp::NextUnusedArgument(args.m_csa, args.m_dwa, cs2));
    EXPECT_FALSE(CConsoleApp::NextUnusedArgument(args.m_csa, args.m_dwa, cs3));
    EXPECT_EQ(cs1 + cs2, "ac");
    EXPECT_EQ(CConsoleApp::GetArgument(args.m_csa, 1), "-b");
    EXPECT_EQ(CConsoleApp::GetArgument(args.m_csa, 7), "");
}

TEST(ConsoleApp, RunMainConsumesArgv0AndShowsUsageForQuestionMark)
{
    CTestApp& app = GetTestApp();
    EXPECT_EQ(app.m_csExeName, "test_frame.exe");
    EXPECT_EQ(CConsoleApp::GetApp(), &app);
    app.m_csaArgs.clear();
    app.m_dwaArgUsed.clear();
    app.m_cMainCalls = 0;
    char szProgram[] = "-h";   // a program path that looks like a switch
    char szArg[] = "-?";
    char* argv[] = {szProgram, szArg, NULL};
    {
        CStderrCapture capture;
        EXPECT_EQ(CConsoleApp::RunMain(2, argv), 0);
        EXPECT_EQ(capture.Text(), "test_frame.exe - no help available.\n");
    }
    EXPECT_EQ(app.m_cMainCalls, 0);
    EXPECT_EQ(app.m_dwaArgUsed, (CDWordArray{1, 1}));
    argv[1] = NULL;
    app.m_csaArgs.clear();
    app.m_dwaArgUsed.clear();
    EXPECT_EQ(CConsoleApp::RunMain(1, argv), 0);
    EXPECT_EQ(app.m_cMainCalls, 1) << "argv[0] -h must not be taken as the help switch";
    EXPECT_EQ(app.CountUnusedArguments(), 0);
}

TEST(ConsoleApp, ControlEventsAreLoggedAndPassedOn)
{
    const char* const aszTexts[] = {"The process has received a ctrl-c.\n",
                                    "The process has received a ctrl-break.\n",
                                    "The process has received a close-window.\n",
                                    "",
                                    "",
                                    "The process has received a logoff notification.\n",
                                    "The process has received a shutdown notification.\n",
                                    ""};
    for (DWORD dwEvent = 0; dwEvent < 8; dwEvent++) {
        CStderrCapture capture;
        EXPECT_FALSE(CConsoleApp::ControlHandlerRoutine(dwEvent));
        EXPECT_EQ(capture.Text(), aszTexts[dwEvent]) << "event " << dwEvent;
    }
}
