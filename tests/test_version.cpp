// Executable lookup and version texts, on the ver_*.exe helpers built beside
// this program.
#include <stdlib.h>
#include <algorithm>
#include <string>
#include <vector>

#include "common/filestuf.h"
#include "common/handle.h"
#include "common/strutil.h"
#include "exeinfo.h"
#include "test_util.h"
#include "test_app.h"

namespace {

// Sets the run-time library's PATH (the one _searchenv reads) and the
// current directory for the life of the object.
class CSearchScope
{
public:
    CSearchScope(const std::string& csDirectory, const std::string& csPath)
    {
        const char* pszOld = getenv("PATH");
        m_csOldPath = pszOld != NULL ? pszOld : "";
        char szDirectory[MAX_PATH];
        ::GetCurrentDirectoryA(sizeof(szDirectory), szDirectory);
        m_csOldDirectory = szDirectory;
        _putenv_s("PATH", csPath.c_str());
        EXPECT_TRUE(::SetCurrentDirectoryA(csDirectory.c_str())) << csDirectory;
    }
    ~CSearchScope()
    {
        _putenv_s("PATH", m_csOldPath.c_str());
        ::SetCurrentDirectoryA(m_csOldDirectory.c_str());
    }

private:
    std::string m_csOldPath, m_csOldDirectory;
};

// Copies a helper into the directory under that name; returns its path.
std::string CopyHelper(const CTempDir& dir, const std::string& csHelper, const std::string& csName)
{
    EXPECT_TRUE(::CopyFileA((GetTestDirectory() + csHelper).c_str(), dir.File(csName).c_str(), FALSE))
        << csHelper << ": " << LastErrorText();
    return dir.File(csName);
}

}  // namespace

TEST(VersionText, ProductHyphenFileOrWhatTheResourceHas)
{
    CSearchScope scope(GetTestDirectory(), "");
    const char* const aszCases[][2] = {
        {"ver_both", "2.0-2.0.1.5"},     // its only translation is German: the first entry is used
        {"ver_both.exe", "2.0-2.0.1.5"}, {"ver_file", "--3.1.0.7"}, {"ver_product", "4.2"}, {"ver_none", ""},
        {"ver_notrans", "5.0-5.0.0.1"},  // no translation: the US English tables
        {"ver_notrans_de", "-"},         // only a German table and nothing to name it
    };
    for (auto& c : aszCases)
        EXPECT_EQ(GetVersionTextOf(c[0]), c[1]) << c[0];
}

TEST(VersionText, ReadAgainOnlyWhenTheFileChanges)
{
    CTempDir dir;
    const std::string csPath = CopyHelper(dir, "ver_both.exe", "kept.exe");
    CSearchScope scope(dir.m_csPath, "");
    const DWORD cBefore = GetVersionReadCount();
    EXPECT_EQ(GetVersionTextOf("kept"), "2.0-2.0.1.5");
    EXPECT_EQ(GetVersionTextOf("kept.exe"), "2.0-2.0.1.5");
    EXPECT_EQ(GetVersionReadCount() - cBefore, 1u);

    // Replaced by another build, with a later write time each.
    const char* const aszCases[][2] = {{"ver_product.exe", "4.2"}, {"ver_file.exe", "--3.1.0.7"}};
    ULONGLONG ullTime = 0;
    for (auto& c : aszCases) {
        ASSERT_TRUE(::DeleteFileA(csPath.c_str())) << LastErrorText();
        CopyHelper(dir, c[0], "kept.exe");
        CHandle hFile(::CreateFileA(csPath.c_str(), FILE_WRITE_ATTRIBUTES, 0, NULL, OPEN_EXISTING, 0, NULL));
        ASSERT_TRUE(hFile.IsValid()) << LastErrorText();
        FILETIME ft;
        ::GetSystemTimeAsFileTime(&ft);
        ullTime = std::max(ullTime + 10000000, ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime);
        ft.dwLowDateTime = (DWORD)ullTime;
        ft.dwHighDateTime = (DWORD)(ullTime >> 32);
        EXPECT_TRUE(::SetFileTime(hFile.Get(), NULL, NULL, &ft));
        // Closed before the lookup, which opens the file itself.
        hFile.Reset();
        EXPECT_EQ(GetVersionTextOf("kept"), c[1]) << c[0];
    }
    EXPECT_EQ(GetVersionTextOf("kept"), "--3.1.0.7");
    EXPECT_EQ(GetVersionReadCount() - cBefore, 3u);
}

TEST(ExecutableLookup, CurrentDirectoryThenPathInOrderAndAnExtensionAsItStands)
{
    CTempDir current, first, second, empty;
    const std::string csInCurrent = CopyHelper(current, "ver_both.exe", "order.exe");
    const std::string csInFirst = CopyHelper(first, "ver_file.exe", "order.exe");
    CopyHelper(second, "ver_product.exe", "order.exe");
    const struct
    {
        std::string m_csCurrent, m_csPath, m_csFound, m_csVersion;
    } aOrders[] = {{current.m_csPath, first.m_csPath + ";" + second.m_csPath, csInCurrent, "2.0-2.0.1.5"},
                   {empty.m_csPath, first.m_csPath + ";" + second.m_csPath, csInFirst, "--3.1.0.7"},
                   {empty.m_csPath, second.m_csPath + ";" + first.m_csPath, second.File("order.exe"), "4.2"}};
    for (const auto& o : aOrders) {
        CSearchScope scope(o.m_csCurrent, o.m_csPath);
        EXPECT_TRUE(StrIEqual(FindExecutableFile("order"), o.m_csFound)) << FindExecutableFile("order");
        EXPECT_EQ(GetVersionTextOf("order"), o.m_csVersion);
    }

    const std::string csBat = first.File("srvtest.bat");
    WriteTextFile(csBat, "@echo off\r\n");
    CopyHelper(first, "ver_both.exe", "tool.com.exe");
    const std::string csSubDir = first.File("sub.d");
    ::CreateDirectoryA(csSubDir.c_str(), NULL);
    const std::string csExe = CopyHelper(first, "ver_product.exe", "sub.d\\tool.exe");
    {
        CSearchScope scope(empty.m_csPath, first.m_csPath);
        EXPECT_TRUE(StrIEqual(FindExecutableFile("srvtest.bat"), csBat)) << FindExecutableFile("srvtest.bat");
        EXPECT_EQ(GetVersionTextOf("srvtest.bat"), "");
        // ".com" is an extension, so no ".exe" is added and nothing is found.
        EXPECT_EQ(FindExecutableFile("tool.com"), "");
        // A dot in a directory name is no extension.
        EXPECT_TRUE(StrIEqual(FindExecutableFile(csSubDir + "\\tool"), csExe));
    }
    ::DeleteFileA(csExe.c_str());
    ::RemoveDirectoryA(csSubDir.c_str());
}
