// The debugger notifier, its record and the listener program (dbglisten).
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/notifier.h"
#include "common/serial.h"
#include "helpers/dbglisten.h"
#include "test_app.h"

namespace {

typedef std::vector<std::string> CTexts;

// Gives the test debug log a fresh notifier while it lives.
class CSwapNotifier
{
public:
    CSwapNotifier() : m_pOld(GetTestDebugLog().m_pNotifier) { GetTestDebugLog().m_pNotifier = &m_notifier; }
    ~CSwapNotifier() { GetTestDebugLog().m_pNotifier = m_pOld; }
    CDebugNotifier m_notifier;

private:
    CDebugNotifier* m_pOld;
};

CDebugRecord MakeRecord(int nKind, const char* pszFile, int nLine, const std::string& csText)
{
    CDebugRecord record;
    record.m_dwProcessId = 4242;
    record.m_csModule = "ovrin";
    record.m_dwThreadId = 77;
    record.m_csThreadName = "ServerThread";
    record.m_mtTime = CMilliTime(2024, 3, 5, 14, 7, 9, 42);
    record.m_pszFile = pszFile;
    record.m_nLine = nLine;
    record.m_nKind = nKind;
    record.m_csText = csText;
    return record;
}

}  // namespace

TEST(DebugNotifier, RecordsArriveAtTheListenerWithTheirHeader)
{
    const std::string csName = UniquePipeName("records");
    CDbgListener listener;
    ASSERT_TRUE(listener.Start(csName, 4, 20000));
    {
        CSwapNotifier swap;
        CSwitchOn traceOn(g_fDebugTrace);
        CStderrCapture capture;
        ASSERT_TRUE(ConnectToDebugger(NULL, csName.c_str()));
        // The connect's own trace messages are nested: echoed, not sent.
        const std::string csFullName = "\\\\.\\pipe\\" + csName;
        const std::string csConnectTrace = "Waiting for " + csFullName + " to be created and available.\n" +
                                           "Have connected to " + csFullName + "\n" +
                                           "Connected to the debugger at " + csFullName + "\n";
        EXPECT_EQ(capture.Text(), csConnectTrace);
        EXPECT_TRUE(swap.m_notifier.m_fActive);
        EXPECT_TRUE(swap.m_notifier.Report(MakeRecord(DEBUG_TRACE, "app\\ovrin.cpp", 3, "plain trace")));
        EXPECT_TRUE(swap.m_notifier.Report(MakeRecord(DEBUG_FAILURE, ".\\x.cpp", 12, "check\r\n\r\nLast error: 0")));
        EXPECT_TRUE(swap.m_notifier.Report(MakeRecord(DEBUG_ERROR | DEBUG_SHOW, "app\\ovrin.cpp", 9, "")));
        DEBUG_ERROR_MSG("through the debug log");
        EXPECT_EQ(capture.Text(), csConnectTrace);
    }
    ASSERT_EQ(listener.WaitForExit(20000), 0);
    const std::vector<CTexts> aacsRecords = listener.ReadRecords();
    ASSERT_EQ(aacsRecords.size(), 4u);
    EXPECT_EQ(aacsRecords[0], (CTexts{CMilliTime(2024, 3, 5, 14, 7, 9, 42).Format(), "4242", "ovrin", "ServerThread",
                                      "0", "ovrin", "plain trace"}));
    EXPECT_EQ(CTexts(aacsRecords[1].begin() + 4, aacsRecords[1].end()),
              (CTexts{"4", "x", "check\\r\\n\\r\\nLast error: 0 (Line 12 of .\\x.cpp)."}));
    EXPECT_EQ(aacsRecords[2][4] + "|" + aacsRecords[2][6], "3|");
    EXPECT_EQ(CTexts(aacsRecords[3].begin() + 1, aacsRecords[3].end()),
              (CTexts{std::to_string(::GetCurrentProcessId()), "test_notifier", "main", "1", "test_notifier",
                      "through the debug log"}));
}

TEST(DebugNotifier, AListenerThatStopsReadingIsGivenUpAfterTheSendTimeout)
{
    const std::string csName = UniquePipeName("stalled");
    CHandle hServer(::CreateNamedPipeA(("\\\\.\\pipe\\" + csName).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 0, 0, 0, NULL));
    ASSERT_TRUE(hServer.IsValid());
    CKernelEvent evConnect(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = evConnect.m_hHandle;
    ::ConnectNamedPipe(hServer.Get(), &overlapped);
    CDebugNotifier notifier;
    notifier.m_dwSendTimeout = 300;
    CStderrCapture capture;
    ASSERT_TRUE(notifier.Connect(NULL, csName.c_str()));
    BOOL fActive = notifier.Report(MakeRecord(DEBUG_ERROR, "a.cpp", 1, "never read"));
    hServer.Reset();
    evConnect.Wait(5000);
    if (fActive)
        GTEST_SKIP() << "this platform buffers the record";
    EXPECT_FALSE(notifier.m_fPipeOpened);
    EXPECT_EQ(capture.Text(), "A debug message couldn't be sent to the debugger. Error " + ErrorText(ERROR_TIMEOUT) + "\n");
}

TEST(DebugListener, ServesTheDebuggerPipeAndDropsMalformedRecords)
{
    CDbgListener listener;
    ASSERT_TRUE(listener.Start("debugger", 1, 20000));
    CMessagePipe pipe;
    pipe.SetClient("", "debugger");
    pipe.SetTimeouts(5000, 5000);
    pipe.SetOverlapped(TRUE);
    CIoInstance instance;
    ASSERT_TRUE(instance.Open(&pipe));
    CIoOperation op(&instance);
    const BYTE abGarbage[] = {200, 0, 0, 0, 1, 2, 3};
    EXPECT_TRUE(op.WriteMessage(abGarbage, sizeof(abGarbage)) || op.WaitForResult(5000));
    CDebugMessage message;
    CDebugNotifier::BuildMessage(MakeRecord(DEBUG_SHOW, "app\\client.cpp", 5, "Box text"), message);
    EXPECT_TRUE(op.SendMessage(message));
    instance.Close();
    ASSERT_EQ(listener.WaitForExit(20000), 0);
    const std::vector<CTexts> aacsRecords = listener.ReadRecords();
    ASSERT_EQ(aacsRecords.size(), 1u);
    EXPECT_EQ(aacsRecords[0][5] + "|" + aacsRecords[0][6], "client|Box text");
}
