#include <gtest/gtest.h>

#include "common/conapp.h"
#include "test_app.h"

namespace {

struct CArgs
{
    explicit CArgs(const std::string& csText) { CConsoleApp::SplitArguments(csText, m_csa, m_dwa); }
    CStringArray m_csa;
    CDWordArray m_dwa;
};

CStringArray Split(const std::string& csText)
{
    return CArgs(csText).m_csa;
}

}  // namespace

TEST(SplitArguments, BlanksSeparateTokensAndAreSkipped)
{
    EXPECT_EQ(Split("  a \t b\r\nc  "), (CStringArray{"a", "b", "c"}));
    EXPECT_TRUE(Split(" \t\r\n").empty());
    CArgs args("x y");
    EXPECT_EQ(args.m_dwa, (CDWordArray{0, 0}));
}

TEST(SplitArguments, QuotesGroupAndDoubledQuotesGiveOneQuote)
{
    EXPECT_EQ(Split("\"\""), (CStringArray{"\""}));
    EXPECT_EQ(Split("abc\"d e\"f"), (CStringArray{"abcd ef"}));
    EXPECT_EQ(Split("\"a \"\"b\"\" c\" d"), (CStringArray{"a \"b\" c", "d"}));
    EXPECT_EQ(Split("x\"\"y"), (CStringArray{"x\"y"}));
}

TEST(SplitArguments, UnterminatedQuoteRunsToEndKeepingBlanks)
{
    EXPECT_EQ(Split("a \"b c  "), (CStringArray{"a", "b c  "}));
}

TEST(SplitArguments, ReplacesEarlierContents)
{
    CStringArray csa{"old"};
    CDWordArray dwa{1};
    CConsoleApp::SplitArguments("new", csa, dwa);
    EXPECT_EQ(csa, (CStringArray{"new"}));
    EXPECT_EQ(dwa, (CDWordArray{0}));
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

TEST(FindOption, TakesNextArgumentUnlessItIsASwitch)
{
    CArgs args("-d file -c -x /y");
    std::string csValue = "stale";
    EXPECT_TRUE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "d", csValue));
    EXPECT_EQ(csValue, "file");
    csValue = "stale";
    EXPECT_TRUE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "c", csValue));
    EXPECT_EQ(csValue, "");
    EXPECT_EQ(args.m_dwa, (CDWordArray{1, 1, 1, 0, 0}));
    // The argument that starts with "-" is left for later lookups.
    EXPECT_TRUE(CConsoleApp::FindSwitch(args.m_csa, args.m_dwa, "x"));
    EXPECT_TRUE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "y", csValue));
    EXPECT_EQ(csValue, "");
    EXPECT_FALSE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "z", csValue));
}

TEST(FindOption, SkipsAConsumedValue)
{
    CArgs args("-d value");
    args.m_dwa[1] = 1;
    std::string csValue;
    EXPECT_TRUE(CConsoleApp::FindOption(args.m_csa, args.m_dwa, "d", csValue));
    EXPECT_EQ(csValue, "");
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
    std::string cs;
    EXPECT_TRUE(CConsoleApp::NextUnusedArgument(args.m_csa, args.m_dwa, cs));
    EXPECT_EQ(cs, "a");
    EXPECT_TRUE(CConsoleApp::NextUnusedArgument(args.m_csa, args.m_dwa, cs));
    EXPECT_EQ(cs, "c");
    EXPECT_FALSE(CConsoleApp::NextUnusedArgument(args.m_csa, args.m_dwa, cs));
    EXPECT_EQ(CConsoleApp::GetArgument(args.m_csa, 1), "-b");
    EXPECT_EQ(CConsoleApp::GetArgument(args.m_csa, 7), "");
}

TEST(ConsoleApp, ModulePathAndExeNameAreKnown)
{
    CTestApp& app = GetTestApp();
    EXPECT_EQ(app.m_csExeName, "test_frame.exe");
    EXPECT_NE(app.m_csModulePath.find("test_frame.exe"), std::string::npos) << app.m_csModulePath;
    EXPECT_EQ(CConsoleApp::GetApp(), &app);
}

TEST(ConsoleApp, RunMainConsumesArgv0AndShowsUsageForQuestionMark)
{
    CTestApp& app = GetTestApp();
    app.m_csaArgs.clear();
    app.m_dwaArgUsed.clear();
    app.m_cMainCalls = 0;
    char szProgram[] = "-h";  // a program path that looks like a switch
    char szArg[] = "-?";
    char* argv[] = {szProgram, szArg};
    std::string csErr;
    {
        CStderrCapture capture;
        EXPECT_EQ(CConsoleApp::RunMain(2, argv), 0);
        csErr = capture.Text();
    }
    EXPECT_EQ(app.m_cMainCalls, 0);
    EXPECT_EQ(csErr, "test_frame.exe - no help available.\n");
    EXPECT_EQ(app.m_dwaArgUsed, (CDWordArray{1, 1}));

    app.m_csaArgs.clear();
    app.m_dwaArgUsed.clear();
    char* argvOnlyName[] = {szProgram, NULL};
    EXPECT_EQ(CConsoleApp::RunMain(1, argvOnlyName), 0);
    EXPECT_EQ(app.m_cMainCalls, 1) << "argv[0] -h must not be taken as the help switch";
    EXPECT_EQ(app.CountUnusedArguments(), 0);
}

TEST(ConsoleApp, ControlEventsAreLoggedAndPassedOn)
{
    CTestApp& app = GetTestApp();
    struct
    {
        DWORD dwEvent;
        const char* pszText;
    } aCases[] = {{CTRL_C_EVENT, "The process has received a ctrl-c.\n"},
                  {CTRL_BREAK_EVENT, "The process has received a ctrl-break.\n"},
                  {CTRL_CLOSE_EVENT, "The process has received a close-window.\n"},
                  {3, ""},
                  {CTRL_LOGOFF_EVENT, "The process has received a logoff notification.\n"},
                  {CTRL_SHUTDOWN_EVENT, "The process has received a shutdown notification.\n"},
                  {7, ""}};
    for (const auto& c : aCases) {
        CStderrCapture capture;
        EXPECT_FALSE(CConsoleApp::ControlHandlerRoutine(c.dwEvent));
        EXPECT_EQ(capture.Text(), c.pszText) << "event " << c.dwEvent;
    }
    (void)app;
}
