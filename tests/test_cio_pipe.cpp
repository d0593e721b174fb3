// Operations and named message pipes: servers and clients on threads.
// (Clients in other processes: the supervisor's end-to-end tests.)
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/handle.h"
#include "common/pipe.h"
#include "common/serial.h"
#include "common/thread.h"
#include "helpers/dbglisten.h"
#include "record_failures.h"
#include "test_util.h"
#include "test_app.h"

namespace {

std::string FullName(const std::string& csPipeName)
{
    return "\\\\.\\pipe\\" + csPipeName;
}

std::string BlockText(const CDataBlock& block)
{
    return std::string((const char*)block.GetData(), block.GetLength());
}

// Serves any number of clients on one thread and writes every message back.
// The last connection waits for a client; the others keep a read pending.
class CEchoServer : public CThread
{
public:
    explicit CEchoServer(const std::string& csPipeName)
        : CThread("EchoServer"), m_evQuit(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED)
    {
        m_pipe.SetServer(csPipeName);
        m_pipe.SetNullDacl();
        m_fStarted = Listen() && Start() == 0;
        if (m_fStarted)
            Resume();
    }
    virtual ~CEchoServer()
    {
        m_evQuit.Set();
        WaitForEnd();
    }
    BOOL Listen()
    {
        m_apConnections.emplace_back(new CPipeConnection);
        return m_apConnections.back()->Listen(&m_pipe);
    }
    virtual void Run() override
    {
        for (;;) {
            CWaitObjectArray apwo;
            for (auto& p : m_apConnections)
                apwo.push_back(p != m_apConnections.back() ? (CWaitObject*)&p->m_opRead : &p->m_instance);
            apwo.push_back(&m_evQuit);
            const size_t i = std::find(apwo.begin(), apwo.end(), WaitForWaitObjects(FALSE, apwo, 60000)) - apwo.begin();
            if (i >= m_apConnections.size())   // quit, time-out or failure
                break;
            CPipeConnection& c = *m_apConnections[i];
            BOOL fKeep;
            if (i + 1 == m_apConnections.size()) {   // a client came
                fKeep = c.m_instance.m_fConnectResult;
                m_cConnections += fKeep;
                if (!Listen())
                    break;
            } else if (!c.m_opRead.IsComplete()) {
                continue;
            } else {
                // Bounded: a client that stopped reading must not hold the server.
                fKeep = c.m_opRead.GetResult() && ++m_cMessages &&
                        (c.m_opWrite.WriteMessage(c.m_block.GetData(), c.m_block.GetLength()) ||
                         c.m_opWrite.WaitForResult(5000));
            }
            if (fKeep)
                c.StartRead();
            else
                m_apConnections.erase(m_apConnections.begin() + i);
        }
        m_apConnections.clear();
    }

    BOOL m_fStarted;
    CMessagePipe m_pipe;   // outlives the instances below
    CKernelEvent m_evQuit;
    std::vector<std::unique_ptr<CPipeConnection>> m_apConnections;
    volatile LONG m_cMessages = 0;   // written by the server thread only
    volatile LONG m_cConnections = 0;
};

// Sends cMessages messages of different sizes (one of 70000 bytes) and
// checks every echo; an empty text on success, else what went wrong.
std::string RunEchoClient(const std::string& csPipeName, int cMessages, DWORD dwWaitForPipe)
{
    CMessagePipe pipe;
    pipe.SetClient("", csPipeName);
    pipe.SetTimeouts(dwWaitForPipe, 5000);
    pipe.SetOverlapped(TRUE);
    CIoInstance instance;
    if (!instance.Open(&pipe))
        return "open failed: " + LastErrorText();
    CIoOperation opRead(&instance), opWrite(&instance);
    std::string csError;
    for (int i = 0; i < cMessages && csError.empty(); i++) {
        const std::string csSent = StrFormat("message %d from %lu/%lu ", i, ::GetCurrentProcessId(),
                                             ::GetCurrentThreadId()) +
                                   std::string(i == 1 ? 70000 : i * 37 % 300, 'x');
        CDataBlock block;
        // Under Wine the echo is written only when it is read: read first.
        opRead.ReadMessage(&block);
        if (!opWrite.WriteMessage(csSent.data(), (DWORD)csSent.size()) && !opWrite.WaitForResult(5000))
            csError = "send failed: " + LastErrorText();
        else if (!opRead.WaitForResult(5000))
            csError = "read failed: " + LastErrorText();
        else if (BlockText(block) != csSent)
            csError = "echo differs: " + BlockText(block).substr(0, 100);
        if (!opRead.IsComplete())
            opRead.Cancel();
    }
    instance.Close();
    return csError;
}

// A server instance of a new pipe with a connected client end, both overlapped.
template <class T_>
struct CPipePair
{
    explicit CPipePair(const std::string& csBase)
    {
        const std::string csPipeName = UniquePipeName(csBase);
        m_serverPipe.SetServer(csPipeName);
        m_clientPipe.SetClient("", csPipeName);
        m_clientPipe.SetTimeouts(5000, 5000);
        m_clientPipe.SetOverlapped(TRUE);
        m_fOpen = m_server.OpenAsync(&m_serverPipe) && m_client.Open(&m_clientPipe) && m_server.Wait(5000) &&
                  m_server.m_fConnectResult;
    }
    ~CPipePair()
    {
        m_client.Close();
        m_server.Close();
    }
    T_ m_serverPipe, m_clientPipe;
    BOOL m_fOpen;
    CPipeInstance m_server;
    CIoInstance m_client;
};

}  // namespace

TEST(PipeServer, RoundTripsWithSeveralClientsOneStartedBeforeIt)
{
    const std::string csName = UniquePipeName("echo");
    std::unique_ptr<CEchoServer> pServer;   // outlives the clients
    std::string acsErrors[4] = {"not run", "not run", "not run", "not run"};
    std::unique_ptr<CTestThread> apClients[4];
    apClients[0].reset(new CTestThread([&] { acsErrors[0] = RunEchoClient(csName, 3, 5000); }));
    ::Sleep(300);
    EXPECT_FALSE(apClients[0]->Join(0)) << "the client gave up before the server came";
    pServer.reset(new CEchoServer(csName));
    ASSERT_TRUE(pServer->m_fStarted);
    for (int i = 1; i < 4; i++)
        apClients[i].reset(new CTestThread([&, i] { acsErrors[i] = RunEchoClient(csName, 25, 5000); }));
    for (int i = 0; i < 4; i++) {
        EXPECT_TRUE(apClients[i]->Join(30000));
        EXPECT_EQ(acsErrors[i], "") << "client " << i;
    }
    EXPECT_EQ(pServer->m_cMessages, 3 + 3 * 25);
    EXPECT_EQ(pServer->m_cConnections, 4);

    // Clients that connect and leave at once do not stop it accepting.
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(WaitForPipeToExist(FullName(csName), 5000));
        CHandle hClient(::CreateFileA(FullName(csName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                                      OPEN_EXISTING, 0, NULL));
        ASSERT_TRUE(hClient.IsValid()) << LastErrorText();
    }
    EXPECT_EQ(RunEchoClient(csName, 2, 5000), "");
}

TEST(PipeMessages, OneByteMessagesAreDroppedWithoutPauseOrBlockingAndTheNextOneRead)
{
    CPipePair<CMessagePipe> pair("onebyte");
    ASSERT_TRUE(pair.m_fOpen);
    CIoOperation opWrite1(&pair.m_server), opWrite2(&pair.m_server), opRead(&pair.m_client);
    CDataBlock block;
    // A flood of one-byte and empty-looking messages waits in the pipe
    // before the read starts: none may be glued to the real one, none may
    // cost a pause, and a collect without waiting must return at once.
    std::vector<std::unique_ptr<CIoOperation>> apFlood;
    for (int i = 0; i < 3 * CMessagePipe::s_cDropsPerRound; i++) {
        apFlood.emplace_back(new CIoOperation(&pair.m_server));
        apFlood.back()->WriteMessage("X", 1);
    }
    opWrite2.WriteMessage("HELLO WORLD", 11);
    DWORD dwStart = ::GetTickCount();
    opRead.ReadMessage(&block);
    int cCollects = 0;
    while (!opRead.TryGetResult() && ::GetLastError() == ERROR_IO_PENDING && cCollects < 1000) {
        cCollects++;
        EXPECT_EQ(::WaitForSingleObject(opRead.m_event.m_hHandle, 5000), WAIT_OBJECT_0);
    }
    EXPECT_GE(cCollects, 2) << "the flood was taken in one go";
    EXPECT_LT(::GetTickCount() - dwStart, 1000u);
    EXPECT_EQ(BlockText(block), "HELLO WORLD");
    EXPECT_EQ(opRead.GetActual(), 11u);
    for (auto& pOp : apFlood)
        EXPECT_TRUE(pOp->WaitForResult(5000));
    EXPECT_TRUE(opWrite2.WaitForResult(5000));

    // The read is pending when the one byte comes, then the message.
    EXPECT_FALSE(opRead.ReadMessage(&block));
    opWrite1.WriteMessage("Y", 1);
    ::Sleep(50);
    opWrite2.WriteMessage("NEXT", 4);
    ASSERT_TRUE(opRead.WaitForResult(5000)) << LastErrorText();
    EXPECT_EQ(BlockText(block), "NEXT");
    EXPECT_TRUE(opWrite1.WaitForResult(5000) && opWrite2.WaitForResult(5000));
    // Two bytes are a message.
    opRead.ReadMessage(&block);
    opWrite1.WriteMessage("AB", 2);
    ASSERT_TRUE(opRead.WaitForResult(5000));
    EXPECT_EQ(BlockText(block), "AB");
    EXPECT_TRUE(opWrite1.WaitForResult(5000));
}

TEST(PipeMessages, ClosingTheHandleFromAnotherThreadAbortsAPendingRead)
{
    CPipePair<CMessagePipe> pair("abort");
    ASSERT_TRUE(pair.m_fOpen);
    CIoOperation op(&pair.m_client);
    CDataBlock block;
    BOOL fResult = 2;
    DWORD dwError = 0;
    {
        CTestThread reader([&] {
            op.ReadMessage(&block);
            fResult = op.GetResult();
            dwError = ::GetLastError();
        });
        EXPECT_FALSE(reader.Join(100));
        EXPECT_TRUE(pair.m_client.CloseHandleNow());
        EXPECT_TRUE(reader.Join(5000));
    }
    EXPECT_FALSE(fResult);
    // Wine answers ERROR_BROKEN_PIPE; Windows ERROR_OPERATION_ABORTED.
    EXPECT_TRUE(dwError == ERROR_BROKEN_PIPE || dwError == ERROR_OPERATION_ABORTED) << dwError;
    EXPECT_TRUE(pair.m_client.IsOpen());
    pair.m_client.Close();
    EXPECT_EQ(pair.m_clientPipe.m_cInstances, 0);
}

TEST(PipeMessages, WriteToAPeerThatNeverReadsTimesOutIsCancelledAndDoesNotHoldTheClose)
{
    CPipePair<CMessagePipe> pair("stalled");
    ASSERT_TRUE(pair.m_fOpen);
    CIoOperation opWrite(&pair.m_server);
    if (opWrite.WriteMessage("broadcast", 9))
        GTEST_SKIP() << "this platform buffers the message";
    EXPECT_FALSE(opWrite.WaitForResult(200));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_TIMEOUT);
    EXPECT_TRUE(opWrite.Cancel());
    EXPECT_TRUE(opWrite.IsComplete());
    EXPECT_FALSE(opWrite.GetResult());
    EXPECT_EQ(opWrite.GetError(), (DWORD)ERROR_OPERATION_ABORTED);
    // With the write gone, closing (which flushes) does not wait for the client.
    CTestThread closer([&] { pair.m_server.Close(); });
    EXPECT_TRUE(closer.Join(5000)) << "closing the server end hangs";
}
