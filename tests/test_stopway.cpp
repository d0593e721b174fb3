// Stop ways: parsing the list, and each way delivered to real children
// (childproc.exe) in every console kind the supervisor starts programs in.
#include <stdio.h>

#include "common/filestuf.h"
#include "common/stopway.h"
#include "helpers/childpath.h"
#include "test_util.h"
#include "test_app.h"

namespace {

const DWORD c_dwBoundMs = 10000;

// A child that writes its pid file once its handlers and window are set up,
// then runs until a way ends it or CTestChild kills it.
struct CStopChild : CTestChild
{
    CStopChild(const CTempDir& dir, DWORD dwConsoleFlags, const std::string& csMode) : m_dir(dir)
    {
        SetCommandLine("\"" + GetChildProcPath() + "\" " + csMode + " \"" + dir.File("mark") + "\" -pidfile \"" +
                       dir.File("pid") + "\" -forever");
        m_dwConsoleFlags = dwConsoleFlags;
        // Wine ignores every console event in a new process group.
        m_dwGroupFlags = 0;
    }
    BOOL Start()
    {
        if (!Create()) {
            ADD_FAILURE() << "CreateProcess: " << LastErrorText();
            return FALSE;
        }
        for (DWORD i = 0; i < c_dwBoundMs / 5 && m_dir.Text("pid") == "(missing)" && !Wait(0); i++)
            ::Sleep(5);
        return m_dir.Text("pid") != "(missing)";
    }
    BOOL Deliver(DWORD dwWay) { return DeliverStopWay(dwWay, m_processinfo.hProcess, m_processinfo.dwProcessId); }
    const CTempDir& m_dir;
};

class StopWayKindTest : public ::testing::TestWithParam<std::pair<const char*, DWORD>>
{
};

}  // namespace

TEST(StopWayNames, ListsAreParsedWithoutRegardToCaseOrBlanksAndBadListsStoreNothing)
{
    CStopWayArray adwWays;
    EXPECT_TRUE(ParseStopWays("ctrlc", adwWays));
    EXPECT_EQ(adwWays, CStopWayArray({STOP_WAY_CTRLC}));
    EXPECT_TRUE(ParseStopWays(" Quit , CLOSE,\tCtrlBreak,ctrlC ", adwWays));
    EXPECT_EQ(adwWays, CStopWayArray({STOP_WAY_QUIT, STOP_WAY_CLOSE, STOP_WAY_CTRLBREAK, STOP_WAY_CTRLC}));
    for (const char* pszText : {"", " ", "ctrlc,", ",ctrlc", "ctrlc,,quit", "ctrl c", "ctrlc;quit", "ctrlc,CTRLC",
                                "quit,close,quit", "kill", "ctrlcx"}) {
        ::SetLastError(0);
        EXPECT_FALSE(ParseStopWays(pszText, adwWays)) << "'" << pszText << "'";
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << "'" << pszText << "'";
        EXPECT_EQ(adwWays.size(), 4u) << "'" << pszText << "'";
    }
    for (DWORD dwWay : {STOP_WAY_CTRLC, STOP_WAY_CTRLBREAK, STOP_WAY_CLOSE, STOP_WAY_QUIT}) {
        EXPECT_TRUE(ParseStopWays(GetStopWayName(dwWay), adwWays)) << GetStopWayName(dwWay);
        EXPECT_EQ(adwWays, CStopWayArray({dwWay}));
    }
    EXPECT_STREQ(GetStopWayName(5), "?");
}

TEST_P(StopWayKindTest, EachWayReachesTheChildThatListensForIt)
{
    struct CRow
    {
        const char* m_pszMode;
        DWORD m_dwWay;
        const char* m_pszMark;
    };
    const CRow aRows[] = {
        {"-onctrl", STOP_WAY_CTRLC, "ctrlc"},
        {"-onbreak", STOP_WAY_CTRLBREAK, "ctrlbreak"},
        // The handler declines Ctrl-C and the default handler ends the child.
        {"-onbreak", STOP_WAY_CTRLC, "(missing)"},
        {"-msgloop", STOP_WAY_QUIT, "quit"},
    };
    for (const CRow& row : aRows) {
        SCOPED_TRACE(std::string(row.m_pszMode) + " " + GetStopWayName(row.m_dwWay));
        CTempDir dir;
        CStopChild child(dir, GetParam().second, row.m_pszMode);
        ASSERT_TRUE(child.Start());
        LONGLONG llStart = NowTicks();
        EXPECT_TRUE(child.Deliver(row.m_dwWay)) << LastErrorText();
        EXPECT_TRUE(child.Wait(c_dwBoundMs));
        printf("%s %s %s: ended %.1f ms after the request\n", GetParam().first, row.m_pszMode,
               GetStopWayName(row.m_dwWay), MsSince(llStart));
        EXPECT_EQ(dir.Text("mark"), row.m_pszMark);
        if (dir.Text("mark") != "(missing)") {
            EXPECT_EQ(child.WaitForExitCode(), 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, StopWayKindTest,
                         ::testing::Values(std::make_pair("SharedConsole", (DWORD)0),
                                           std::make_pair("NewConsole", (DWORD)CREATE_NEW_CONSOLE),
                                           std::make_pair("Detached", (DWORD)DETACHED_PROCESS),
                                           std::make_pair("NoWindow", (DWORD)CREATE_NO_WINDOW)),
                         [](const ::testing::TestParamInfo<std::pair<const char*, DWORD>>& info) {
                             return std::string(info.param.first);
                         });

TEST(StopWay, WaysThatCannotReachAChildAreRefusedAndDeliveredIsNotEnded)
{
    // No message queue and (headless Wine) no window: quit and close are
    // refused, so the caller goes on to its next way; the child runs on.
    CTempDir dir;
    CStopChild child(dir, CREATE_NO_WINDOW, "-onctrl");
    ASSERT_TRUE(child.Start());
    ::SetLastError(0);
    EXPECT_FALSE(child.Deliver(STOP_WAY_QUIT));
    printf("quit without a message queue: %s\n", LastErrorText().c_str());
    EXPECT_NE(::GetLastError(), (DWORD)ERROR_SUCCESS);
    EXPECT_FALSE(child.Deliver(STOP_WAY_CLOSE));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_NOT_FOUND);
    EXPECT_FALSE(child.Wait(200));
    EXPECT_TRUE(child.Deliver(STOP_WAY_CTRLC)) << LastErrorText();
    EXPECT_EQ(child.ExitCode(), 0u);
    // An ended process takes no way.
    for (DWORD dwWay : {STOP_WAY_CTRLC, STOP_WAY_CTRLBREAK, STOP_WAY_CLOSE, STOP_WAY_QUIT})
        EXPECT_FALSE(child.Deliver(dwWay)) << GetStopWayName(dwWay);
    EXPECT_FALSE(DeliverStopWay(0, ::GetCurrentProcess(), ::GetCurrentProcessId()));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // A child that ignores every event takes both requests and runs on (its
    // "mark" holds its command line).
    CTempDir dir2;
    CStopChild child2(dir2, CREATE_NO_WINDOW, "-ignorectrl -argsfile");
    ASSERT_TRUE(child2.Start());
    EXPECT_TRUE(child2.Deliver(STOP_WAY_CTRLC)) << LastErrorText();
    EXPECT_TRUE(child2.Deliver(STOP_WAY_CTRLBREAK)) << LastErrorText();
    EXPECT_FALSE(child2.Wait(300));
}

TEST(StopWay, TheSubsystemIsReadFromTheImageHeaders)
{
    EXPECT_FALSE(IsGuiImage(GetChildProcPath()));
    struct CRow
    {
        WORD m_wMagic;
        WORD m_wSubsystem;
        LONG m_nNtOffset;
        size_t m_cbFile;
        BOOL m_fGui;
    };
    const size_t cbFull = 0x84 + sizeof(IMAGE_FILE_HEADER) + sizeof(IMAGE_OPTIONAL_HEADER64);
    const size_t iSubsystem = 0x84 + sizeof(IMAGE_FILE_HEADER) + offsetof(IMAGE_OPTIONAL_HEADER64, Subsystem);
    const CRow aRows[] = {
        {IMAGE_NT_OPTIONAL_HDR64_MAGIC, IMAGE_SUBSYSTEM_WINDOWS_GUI, 0x80, cbFull, TRUE},
        {IMAGE_NT_OPTIONAL_HDR32_MAGIC, IMAGE_SUBSYSTEM_WINDOWS_GUI, 0x80, cbFull, TRUE},
        {IMAGE_NT_OPTIONAL_HDR64_MAGIC, IMAGE_SUBSYSTEM_WINDOWS_CUI, 0x80, cbFull, FALSE},
        {0x107, IMAGE_SUBSYSTEM_WINDOWS_GUI, 0x80, cbFull, FALSE},
        // Cut off just before the field; headers beyond the end or before the start.
        {IMAGE_NT_OPTIONAL_HDR64_MAGIC, IMAGE_SUBSYSTEM_WINDOWS_GUI, 0x80, iSubsystem + 1, FALSE},
        {IMAGE_NT_OPTIONAL_HDR64_MAGIC, IMAGE_SUBSYSTEM_WINDOWS_GUI, 0x7FFFFFF0, cbFull, FALSE},
        {IMAGE_NT_OPTIONAL_HDR64_MAGIC, IMAGE_SUBSYSTEM_WINDOWS_GUI, -4, cbFull, FALSE},
        {0, 0, 0, 0, FALSE},
    };
    CTempDir dir;
    for (const CRow& row : aRows) {
        std::string csImage(cbFull, '\0');
        IMAGE_DOS_HEADER dosheader = {};
        dosheader.e_magic = IMAGE_DOS_SIGNATURE;
        dosheader.e_lfanew = row.m_nNtOffset;
        IMAGE_FILE_HEADER fileheader = {};
        fileheader.SizeOfOptionalHeader = sizeof(IMAGE_OPTIONAL_HEADER64);
        const DWORD dwSignature = IMAGE_NT_SIGNATURE;
        memcpy(&csImage[0], &dosheader, sizeof dosheader);
        memcpy(&csImage[0x80], &dwSignature, 4);
        memcpy(&csImage[0x84], &fileheader, sizeof fileheader);
        memcpy(&csImage[0x84 + sizeof fileheader], &row.m_wMagic, 2);
        memcpy(&csImage[iSubsystem], &row.m_wSubsystem, 2);
        csImage.resize(row.m_cbFile);
        ASSERT_TRUE(WriteTextFile(dir.File("image.exe"), csImage));
        EXPECT_EQ(IsGuiImage(dir.File("image.exe")), row.m_fGui)
            << "magic " << row.m_wMagic << " offset " << row.m_nNtOffset << " size " << row.m_cbFile;
    }
    EXPECT_FALSE(IsGuiImage(dir.File("none.exe")));
}
