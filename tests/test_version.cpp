#include <gtest/gtest.h>

#include <stdlib.h>
#include <string>
#include <vector>

#include "common/filestuf.h"
#include "common/strutil.h"
#include "exeinfo.h"
#include "test_app.h"

namespace {

// The directory of this program, where the ver_*.exe helpers are built.
std::string GetHelperDir()
{
    std::string csPath = GetModulePath(NULL);
    return csPath.substr(0, csPath.rfind('\\'));
}

// A fresh directory under TEMP, removed with its files when the object ends.
class CTempDir
{
public:
    CTempDir()
    {
        static int s_nCounter = 0;
        char szTemp[MAX_PATH];
        ::GetTempPathA(sizeof(szTemp), szTemp);
        m_csPath = StrFormat("%sovrin_ver_%lu_%d", szTemp, ::GetCurrentProcessId(), ++s_nCounter);
        ::CreateDirectoryA(m_csPath.c_str(), NULL);
    }
    ~CTempDir()
    {
        for (auto it = m_acsFiles.rbegin(); it != m_acsFiles.rend(); ++it) {
            if (!::DeleteFileA(it->c_str()))
                ::RemoveDirectoryA(it->c_str());
        }
        ::RemoveDirectoryA(m_csPath.c_str());
    }
    std::string Copy(const std::string& csHelper, const std::string& csName)
    {
        std::string csTarget = Add(csName);
        EXPECT_TRUE(::CopyFileA((GetHelperDir() + "\\" + csHelper).c_str(), csTarget.c_str(), FALSE))
            << csHelper << ": " << LastErrorText();
        return csTarget;
    }
    std::string Write(const std::string& csName, const std::string& csText)
    {
        std::string csTarget = Add(csName);
        HANDLE hFile = ::CreateFileA(csTarget.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        DWORD cbWritten = 0;
        ::WriteFile(hFile, csText.data(), (DWORD)csText.size(), &cbWritten, NULL);
        ::CloseHandle(hFile);
        return csTarget;
    }
    std::string MakeDir(const std::string& csName)
    {
        std::string csTarget = Add(csName);
        ::CreateDirectoryA(csTarget.c_str(), NULL);
        return csTarget;
    }
    std::string m_csPath;

private:
    std::string Add(const std::string& csName)
    {
        m_acsFiles.push_back(m_csPath + "\\" + csName);
        return m_acsFiles.back();
    }
    std::vector<std::string> m_acsFiles;
};

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
    std::string m_csOldPath;
    std::string m_csOldDirectory;
};

std::string GetVersionTextInHelperDir(const std::string& csName)
{
    CSearchScope scope(GetHelperDir(), "");
    return GetVersionTextOf(csName);
}

}  // namespace

TEST(VersionText, ProductAndFileVersionJoinedByHyphen)
{
    // Its only translation is German: the first entry is used, not US English.
    EXPECT_EQ(GetVersionTextInHelperDir("ver_both"), "2.0-2.0.1.5");
    EXPECT_EQ(GetVersionTextInHelperDir("ver_both.exe"), "2.0-2.0.1.5");
}

TEST(VersionText, FileVersionOnlyGivesHyphenPlaceholderFirst)
{
    EXPECT_EQ(GetVersionTextInHelperDir("ver_file"), "--3.1.0.7");
}

TEST(VersionText, ProductVersionOnlyStandsAlone)
{
    EXPECT_EQ(GetVersionTextInHelperDir("ver_product"), "4.2");
}

TEST(VersionText, NoVersionResourceGivesEmptyText)
{
    EXPECT_EQ(GetVersionTextInHelperDir("ver_none"), "");
}

TEST(VersionText, NoTranslationFallsBackToUsEnglishTables)
{
    EXPECT_EQ(GetVersionTextInHelperDir("ver_notrans"), "5.0-5.0.0.1");
    // Only a German table and nothing to name it: the placeholder stays.
    EXPECT_EQ(GetVersionTextInHelperDir("ver_notrans_de"), "-");
}

TEST(VersionText, SystemFilesFoundAlongPath)
{
    char szSystem[MAX_PATH];
    ::GetSystemDirectoryA(szSystem, sizeof(szSystem));
    CTempDir empty;
    CSearchScope scope(empty.m_csPath, std::string("c:\\no_such_dir;") + szSystem);
    std::string csPath = FindExecutableFile("notepad");
    EXPECT_TRUE(StrIEqual(csPath, std::string(szSystem) + "\\notepad.exe")) << csPath;
    // Wine's own programs carry no version resource (GetFileVersionInfoSizeA
    // fails with 1812, measured with Wine 8.0), its DLLs do.
    csPath = FindExecutableFile("kernel32.dll");
    EXPECT_TRUE(StrIEqual(csPath, std::string(szSystem) + "\\kernel32.dll")) << csPath;
    std::string csText = GetVersionTextOf("kernel32.dll");
    EXPECT_GT(csText.find('-'), 0u) << csText;
    EXPECT_LT(csText.find('-'), csText.size() - 1) << csText;
}

TEST(ExecutableLookup, CurrentDirectoryComesBeforePathInOrder)
{
    CTempDir current, first, second;
    std::string csInCurrent = current.Copy("ver_both.exe", "order.exe");
    std::string csInFirst = first.Copy("ver_file.exe", "order.exe");
    second.Copy("ver_product.exe", "order.exe");
    {
        CSearchScope scope(current.m_csPath, first.m_csPath + ";" + second.m_csPath);
        EXPECT_TRUE(StrIEqual(FindExecutableFile("order"), csInCurrent)) << FindExecutableFile("order");
        EXPECT_EQ(GetVersionTextOf("order"), "2.0-2.0.1.5");
    }
    CTempDir empty;
    {
        CSearchScope scope(empty.m_csPath, first.m_csPath + ";" + second.m_csPath);
        EXPECT_TRUE(StrIEqual(FindExecutableFile("order"), csInFirst)) << FindExecutableFile("order");
        EXPECT_EQ(GetVersionTextOf("order"), "--3.1.0.7");
    }
    {
        CSearchScope scope(empty.m_csPath, second.m_csPath + ";" + first.m_csPath);
        EXPECT_EQ(GetVersionTextOf("order"), "4.2");
    }
}

TEST(ExecutableLookup, NameWithExtensionIsSearchedAsItStands)
{
    CTempDir scripts, empty;
    std::string csBat = scripts.Write("srvtest.bat", "@echo off\r\n");
    scripts.Copy("ver_both.exe", "tool.com.exe");
    CSearchScope scope(empty.m_csPath, scripts.m_csPath);
    EXPECT_TRUE(StrIEqual(FindExecutableFile("srvtest.bat"), csBat)) << FindExecutableFile("srvtest.bat");
    EXPECT_EQ(GetVersionTextOf("srvtest.bat"), "");
    // ".com" is an extension, so no ".exe" is added and nothing is found.
    EXPECT_EQ(FindExecutableFile("tool.com"), "");
    // A dot in a directory name is no extension.
    scripts.MakeDir("sub.d");
    std::string csExe = scripts.Copy("ver_product.exe", "sub.d\\tool.exe");
    EXPECT_TRUE(StrIEqual(FindExecutableFile(scripts.m_csPath + "\\sub.d\\tool"), csExe));
}

TEST(ExecutableLookup, MissingFileWritesTraceAndGivesEmptyText)
{
    CTempDir empty;
    CSearchScope scope(empty.m_csPath, empty.m_csPath);
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    EXPECT_EQ(FindExecutableFile("no_such_prog"), "");
    EXPECT_EQ(capture.Text(),
              "Could not find executable file for no_such_prog. Error " + ErrorText(ERROR_FILE_NOT_FOUND) + "\n");
    capture.Clear();
    EXPECT_EQ(GetVersionTextOf("no_such_prog.bat"), "");
    EXPECT_EQ(capture.Text(),
              "Could not find executable file for no_such_prog.bat. Error " + ErrorText(ERROR_FILE_NOT_FOUND) +
                  "\n");
}

TEST(ExecutableLookup, EmptyOrOverlongNameIsNotFound)
{
    CTempDir dir;
    // A file named ".exe" must not pass for the empty name.
    dir.Copy("ver_both.exe", ".exe");
    CSearchScope scope(dir.m_csPath, dir.m_csPath);
    CSwitchOn traceOn(g_fDebugTrace);
    CStderrCapture capture;
    EXPECT_EQ(FindExecutableFile(""), "");
    EXPECT_EQ(GetVersionTextOf(""), "");
    std::string csLong(300, 'x');
    EXPECT_EQ(FindExecutableFile(csLong), "");
    EXPECT_EQ(FindExecutableFile(std::string(200, 'y') + "." + std::string(250, 'z')), "");
    EXPECT_EQ(capture.Text().rfind("Could not find executable file for . Error ", 0), 0u) << capture.Text();
}

TEST(QueryVersionString, MissingValueOrOverlongNameLeavesValueAlone)
{
    std::string csPath = GetHelperDir() + "\\ver_product.exe";
    DWORD dwHandle = 0;
    DWORD cbInfo = ::GetFileVersionInfoSizeA(csPath.c_str(), &dwHandle);
    ASSERT_NE(cbInfo, 0u) << LastErrorText();
    std::vector<BYTE> abInfo(cbInfo + 32);
    ASSERT_TRUE(::GetFileVersionInfoA(csPath.c_str(), dwHandle, cbInfo, abInfo.data()));
    DWORD dwTranslation = MAKELONG(0x0409, 1252);
    std::string csValue = "-";
    EXPECT_TRUE(QueryVersionString(abInfo.data(), &dwTranslation, "ProductVersion", &csValue));
    EXPECT_EQ(csValue, "4.2");
    csValue = "-";
    EXPECT_FALSE(QueryVersionString(abInfo.data(), &dwTranslation, "FileVersion", &csValue));
    EXPECT_EQ(csValue, "-");
    EXPECT_FALSE(QueryVersionString(abInfo.data(), &dwTranslation, std::string(2000, 'P').c_str(), &csValue));
    EXPECT_EQ(csValue, "-");
    DWORD dwOther = MAKELONG(0x0407, 1252);
    EXPECT_FALSE(QueryVersionString(abInfo.data(), &dwOther, "ProductVersion", &csValue));
    EXPECT_FALSE(QueryVersionString(abInfo.data(), NULL, "ProductVersion", &csValue));
    EXPECT_EQ(csValue, "-");
}
