// Error texts and path helpers.
#include "common/filestuf.h"
#include "common/strutil.h"
#include "test_app.h"

TEST(ErrorText, CodeThenSystemTextWithoutTrailingBreaksAndFallbacks)
{
    for (DWORD dwError : {2, 0}) {
        const std::string cs = ErrorText(dwError);
        EXPECT_EQ(cs.substr(0, 3), std::to_string(dwError) + " (") << cs;
        EXPECT_EQ(cs.back(), ')');
        EXPECT_EQ(cs.find_first_of("\r\n"), std::string::npos) << cs;
        EXPECT_EQ(cs.find(" )"), std::string::npos) << cs;
        EXPECT_NE(cs, std::to_string(dwError) + " (No error string available)");
    }
    EXPECT_EQ(ErrorText(0x2000ABCD), "536914893 (No error string available)");
    // Whatever the system knows, a Winsock code always gets a text of its own.
    EXPECT_EQ(ErrorText(10061).find("10061 ("), 0u);
    EXPECT_STREQ(GetWinsockErrorString(10061), "Winsock error: WSAECONNREFUSED");
    EXPECT_STREQ(GetWinsockErrorString(10036), "Winsock error: WSAEINPROGRESS, blocking function is in progress.");
    EXPECT_STREQ(GetWinsockErrorString(10092),
                 "Winsock error: WSAVERNOTSUPPORTED, The Windows Socktes DLL cannot support this application");
    EXPECT_STREQ(GetWinsockErrorString(11004), "Winsock error: WSANO_DATA");
    for (DWORD dw = 10066; dw < 10091; dw++)
        EXPECT_EQ(GetWinsockErrorString(dw), nullptr) << dw;
    EXPECT_EQ(GetWinsockErrorString(0), nullptr);
    ::SetLastError(5);
    EXPECT_EQ(LastErrorText(), ErrorText(5));
    EXPECT_EQ(::GetLastError(), 5u);
}

TEST(Paths, ExtensionsDrivesUncRootsAndNames)
{
    const char* const aszStrip[][2] = {{"c:\\dir\\Ovrin.exe", "c:\\dir\\Ovrin"}, {"c:\\dir.d\\file", "c:\\dir.d\\file"},
                                       {"a.b.c", "a.b"}, {"", ""}};
    for (auto& c : aszStrip)
        EXPECT_EQ(StripExtension(c[0]), c[1]);
    for (const char* psz : {"c:", "Z:\\x"})
        EXPECT_TRUE(IsDrivePath(psz)) << psz;
    for (const char* psz : {"1:\\x", "c"})
        EXPECT_FALSE(IsDrivePath(psz)) << psz;
    for (const char* psz : {"\\\\srv\\share", "\\\\a\\b"})
        EXPECT_TRUE(IsUncPath(psz)) << psz;
    for (const char* psz : {"\\\\srv", "\\\\\\x\\y", "\\\\a\\"})
        EXPECT_FALSE(IsUncPath(psz)) << psz;
    const char* const aszRoot[][2] = {{"c:\\dir\\sub", "c:\\"}, {"\\\\srv\\share\\dir\\x", "\\\\srv\\share"},
                                      {"\\\\srv\\share", "\\\\srv\\share"}};
    for (auto& c : aszRoot)
        EXPECT_EQ(GetRootOfPath(c[0]), c[1]);
    CStderrCapture capture;
    EXPECT_EQ(GetRootOfPath("relative\\x"), "");
    EXPECT_NE(capture.Text().find("Couldn't get the root portion of the path relative\\x"), std::string::npos);
    const char* const aszTrim[][2] = {{"c:\\\\", "c:\\"}, {"c:\\dir\\\\\\", "c:\\dir"},
                                      {"\\\\srv\\share\\", "\\\\srv\\share"}, {"c:", "c:"}};
    for (auto& c : aszTrim)
        EXPECT_EQ(RemoveTrailingBackslashes(c[0]), c[1]);
    for (const char* psz : {"C:\\", "c:\\\\", "\\\\srv\\share\\"})
        EXPECT_TRUE(IsRoot(psz)) << psz;
    for (const char* psz : {"c:\\dir", "\\\\srv\\share\\dir"})
        EXPECT_FALSE(IsRoot(psz)) << psz;
    EXPECT_EQ(GetFullPath(""), "");
    EXPECT_EQ(GetFullPath("c:\\a\\..\\b\\x.txt"), "c:\\b\\x.txt");
    EXPECT_EQ(GetFullPath("\\\\.\\share\\x"), "\\\\" + GetComputerNameText() + "\\share\\x");
    EXPECT_EQ(GetFileName("c:\\a\\b\\x.txt") + "|" + GetFileName("c:\\") + "|" + GetFileName(""), "x.txt||");
    EXPECT_TRUE(StrEndsWithI(GetModulePath(NULL), "\\test_filestuf.exe")) << GetModulePath(NULL);
}
