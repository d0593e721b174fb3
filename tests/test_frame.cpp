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
        const char* m_pszText;
        CStringArray m_acsTokens;
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
        EXPECT_EQ(CArgs(c.m_pszText).m_csa, c.m_acsTokens) << c.m_pszText;
    // Earlier contents are replaced; every token starts unused.
    CStringArray csa{"old"};
    CDWordArray dwa{1};
    CConsoleApp::SplitArguments("new x", csa, dwa);
    EXPECT_EQ(csa, (CStringArray{"new", "x"}));
    EXPECT_EQ(dwa, (CDWordArray{0, 0}));
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
