#include <gtest/gtest.h>

#include "common/filestuf.h"
#include "common/strutil.h"
#include "test_app.h"

TEST(ErrorText, CodeThenSystemTextWithoutTrailingBreaks)
{
    std::string cs = ErrorText(2);
    EXPECT_EQ(cs.substr(0, 3), "2 (") << cs;
    EXPECT_EQ(cs.back(), ')');
    EXPECT_EQ(cs.find('\n'), std::string::npos) << cs;
    EXPECT_EQ(cs.find(" )"), std::string::npos) << cs;
    EXPECT_GT(cs.size(), 5u);
    std::string csZero = ErrorText(0);
    EXPECT_EQ(csZero.substr(0, 3), "0 (") << csZero;
    EXPECT_NE(csZero, "0 (No error string available)");
}

TEST(ErrorText, UnknownCodeAndWinsockFallbacks)
{
    EXPECT_EQ(ErrorText(0x2000ABCD), "536914893 (No error string available)");
    EXPECT_STREQ(GetWinsockErrorString(10061), "Winsock error: WSAECONNREFUSED");
    EXPECT_STREQ(GetWinsockErrorString(10036), "Winsock error: WSAEINPROGRESS, blocking function is in progress.");
    EXPECT_STREQ(GetWinsockErrorString(10092),
                 "Winsock error: WSAVERNOTSUPPORTED, The Windows Socktes DLL cannot support this application");
    EXPECT_STREQ(GetWinsockErrorString(11004), "Winsock error: WSANO_DATA");
    for (DWORD dw = 10066; dw < 10091; dw++)
        EXPECT_EQ(GetWinsockErrorString(dw), nullptr) << dw;
    EXPECT_EQ(GetWinsockErrorString(0), nullptr);
    // Whatever the system knows, a Winsock code always gets a text of its own.
    EXPECT_NE(ErrorText(10061).find("10061 ("), std::string::npos);
}

TEST(ErrorText, LastErrorTextKeepsTheError)
{
    ::SetLastError(5);
    EXPECT_EQ(LastErrorText(), ErrorText(5));
    EXPECT_EQ(::GetLastError(), 5u);
}

TEST(Paths, StripExtension)
{
    EXPECT_EQ(StripExtension("c:\\dir\\Ovrin.exe"), "c:\\dir\\Ovrin");
    EXPECT_EQ(StripExtension("c:\\dir.d\\file"), "c:\\dir.d\\file");
    EXPECT_EQ(StripExtension("a.b.c"), "a.b");
    EXPECT_EQ(StripExtension(""), "");
}

TEST(Paths, DriveAndUncForms)
{
    EXPECT_TRUE(IsDrivePath("c:"));
    EXPECT_TRUE(IsDrivePath("Z:\\x"));
    EXPECT_FALSE(IsDrivePath("1:\\x"));
    EXPECT_FALSE(IsDrivePath("c"));
    EXPECT_TRUE(IsUncPath("\\\\srv\\share"));
    EXPECT_FALSE(IsUncPath("\\\\srv"));
    EXPECT_FALSE(IsUncPath("\\\\\\x\\y"));
    EXPECT_FALSE(IsUncPath("\\\\a\\"));
    EXPECT_TRUE(IsUncPath("\\\\a\\b"));
}

TEST(Paths, RootOfPath)
{
    EXPECT_EQ(GetRootOfPath("c:\\dir\\sub"), "c:\\");
    EXPECT_EQ(GetRootOfPath("\\\\srv\\share\\dir\\x"), "\\\\srv\\share");
    EXPECT_EQ(GetRootOfPath("\\\\srv\\share"), "\\\\srv\\share");
    CStderrCapture capture;
    EXPECT_EQ(GetRootOfPath("relative\\x"), "");
    EXPECT_NE(capture.Text().find("Couldn't get the root portion of the path relative\\x"), std::string::npos);
}

TEST(Paths, TrailingBackslashesAndRoots)
{
    EXPECT_EQ(RemoveTrailingBackslashes("c:\\\\"), "c:\\");
    EXPECT_EQ(RemoveTrailingBackslashes("c:\\dir\\\\\\"), "c:\\dir");
    EXPECT_EQ(RemoveTrailingBackslashes("\\\\srv\\share\\"), "\\\\srv\\share");
    EXPECT_EQ(RemoveTrailingBackslashes("c:"), "c:");
    EXPECT_TRUE(IsRoot("C:\\"));
    EXPECT_TRUE(IsRoot("c:\\\\"));
    EXPECT_TRUE(IsRoot("\\\\srv\\share\\"));
    EXPECT_FALSE(IsRoot("c:\\dir"));
    EXPECT_FALSE(IsRoot("\\\\srv\\share\\dir"));
}

TEST(Paths, FullPathAndFileName)
{
    EXPECT_EQ(GetFullPath(""), "");
    EXPECT_EQ(GetFullPath("c:\\a\\..\\b\\x.txt"), "c:\\b\\x.txt");
    EXPECT_EQ(GetFileName("c:\\a\\b\\x.txt"), "x.txt");
    EXPECT_EQ(GetFileName("c:\\"), "");
    EXPECT_EQ(GetFileName(""), "");
    std::string csComputer = GetComputerNameText();
    ASSERT_FALSE(csComputer.empty());
    EXPECT_EQ(GetFullPath("\\\\.\\share\\x"), "\\\\" + csComputer + "\\share\\x");
}

TEST(Paths, ModulePath)
{
    std::string cs = GetModulePath(NULL);
    EXPECT_TRUE(StrEndsWithI(cs, "\\test_filestuf.exe")) << cs;
    EXPECT_EQ(GetFileName(cs), "test_filestuf.exe");
}
