// Named pipes as I/O devices.
//
// CPipe: a byte-mode pipe. It holds the name, the computer, which end this
// side is and the CreateNamedPipe parameters; it creates server instances
// (blocking with Open, or with an overlapped connect through a
// CPipeInstance) and opens client ends (Open). SetServer and SetClient
// reset every setting, so SetAccess, SetTimeouts and SetOverlapped come
// after them. The server end installs no DACL itself: a server that any
// user may open calls SetNullDacl after SetServer. Client ends open with
// identification-level impersonation only.
//
// CMessagePipe: the same pipe in message mode; one write is one message and
// ReadMessage delivers one whole message into a CDataBlock. A read never
// allocates more than the message bound, and a collect without waiting
// (TryGetResult) never blocks, whatever the peer sends.
//
// CPipeInstance: a server instance that is a wait object: it is signalled
// when a client connects (OpenAsync starts the wait); OnSignalled finishes
// the connect. Each instance serves one client once.
//
// A pipe object is configured and its instances opened by one thread; the
// reader and the writer of one connection may be two threads, each with its
// own operation. Under Wine a write on a pipe with buffer sizes 0 ends only
// when the other end reads it, and closing a server end flushes, which
// waits until the client has read everything: a writer to a peer that may
// not read bounds its waits (CIoOperation::WaitForResult) and cancels the
// write (CIoOperation::Cancel) before it closes the instance.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "common/cio.h"
#include "common/serial.h"

class CPipeInstance;

class CPipe : public CIoDevice
{
public:
    CPipe();
    virtual ~CPipe();

    // Resets, then makes this the server end of "\\.\pipe\" + the name.
    void SetServer(const std::string& csPipeName);
    // Resets, then makes this the client end; an empty computer, or this
    // computer's own name, gives ".".
    void SetClient(const std::string& csComputer, const std::string& csPipeName);
    // The client's desired access (GENERIC_READ | GENERIC_WRITE by default).
    void SetAccess(DWORD dwDesiredAccess);
    // How long a client waits, in ms, for the pipe to exist and for a free
    // server instance (0xFFFFFFFF: for ever, the default).
    void SetTimeouts(DWORD dwWaitForPipe, DWORD dwWaitForInstance);

    // "\\" + computer + "\pipe\" + name.
    std::string GetFullName() const;
    // The computer, or this computer's name for ".".
    std::string GetComputerName() const;
    BOOL IsServer() const { return m_fIsServer == 1; }

    virtual BOOL DoCreate(CIoInstance* pInstance) override;
    virtual void DoClose(CIoInstance* pInstance) override;
    virtual BOOL DoRead(CIoOperation* pOperation, void* pvBuffer, DWORD cb) override;
    virtual BOOL DoWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb) override;
    virtual void DoReset() override;
    // A server instance whose connect goes on in the background.
    virtual BOOL DoCreateAsync(CPipeInstance* pInstance);

    // TRUE when anyone serves that full pipe name now (any answer of a
    // probe but "not found"), so that a server learns it before it creates
    // an instance of a name someone else holds.
    static BOOL IsServed(const std::string& csFullName);

    // The client's poll interval for a limit: a quarter of it below 400 ms,
    // else 100 ms.
    static DWORD GetPollInterval(DWORD dwLimit);

    std::string m_csPipeName;
    int m_fIsServer;              // -1 not set, 1 server end, 0 client end
    DWORD m_dwOpenMode;
    DWORD m_dwPipeMode;           // set by the constructors only
    DWORD m_dwMaxInstances;
    DWORD m_dwDefaultTimeout;
    DWORD m_dwInBufferSize;
    DWORD m_dwOutBufferSize;
    std::string m_csComputer;
    DWORD m_dwWaitForPipe;        // client: ms to wait for the pipe to exist
    DWORD m_dwWaitForInstance;    // client: ms to wait for a free instance
    DWORD m_dwDesiredAccess;

protected:
    BOOL CreateClientEnd(CIoInstance* pInstance);
    // Polls until an instance is free; FALSE when a limit ran out.
    BOOL WaitForServer(const std::string& csFullName, DWORD dwStart);
    BOOL CreateServerEnd(CIoInstance* pInstance);
    // CreateNamedPipeA with this pipe's parameters.
    virtual HANDLE CreateServerHandle(DWORD dwOpenMode);

private:
    // Every setting but the pipe mode back to its default.
    void SetDefaults();
};

class CMessagePipe : public CPipe
{
public:
    CMessagePipe();

    // Messages this long or longer are refused (ERROR_MESSAGE_EXCEEDS_MAX_SIZE)
    // before their size is allocated; the default is s_cbDefaultMaxMessage.
    void SetMaxMessageSize(DWORD cbMax);

    // Byte transfers are refused.
    virtual BOOL DoRead(CIoOperation* pOperation, void* pvBuffer, DWORD cb) override;
    virtual BOOL DoWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb) override;
    // A message of one byte (or none) is dropped and the next one read; at
    // most s_cDropsPerRound of them in one call, then the read is left to
    // start again at the next collect (MESSAGE_PHASE_RESTART, event set).
    virtual BOOL DoMessageRead(CIoOperation* pOperation, CDataBlock* pBlock) override;
    virtual BOOL DoMessageWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb) override;
    virtual BOOL DoGetResult(CIoOperation* pOperation, BOOL fWait) override;

    static const DWORD s_cbDefaultMaxMessage = 1024 * 1024;
    static const int s_cDropsPerRound = 8;

    DWORD m_cbMaxMessage;

protected:
    // After the first byte of a message came in: how many bytes follow it
    // in the same message. FALSE when the peek failed (error stored).
    BOOL GetBytesLeft(CIoOperation* pOperation, BOOL fNullReadOk, DWORD cbNullRead, DWORD& cbLeft);
    // Starts reading a message's first byte, dropping tiny messages.
    BOOL StartFirstByte(CIoOperation* pOperation, int cDropped, BOOL fWait);
    // How the first byte's read ended: 1 or 0 as a transfer's result (0
    // also while the rest is pending), -1 when the message was tiny.
    int AfterFirstByte(CIoOperation* pOperation, BOOL fOk, DWORD cbRead, DWORD dwError, BOOL fWait);
    BOOL CollectRest(CIoOperation* pOperation, BOOL fWait);
    BOOL FinishRest(CIoOperation* pOperation, DWORD cbLeft);
};

class CPipeInstance : public CIoInstance, public CWaitObject
{
public:
    CPipeInstance();
    virtual ~CPipeInstance();

    // Ends a pending connect, then closes as CIoInstance does.
    virtual void Close() override;
    // Creates a server instance and starts waiting for a client: TRUE when
    // the instance is open (connected already, or the connect pending).
    BOOL OpenAsync(CPipe* pPipe);
    // Waits for a pending connect; TRUE when a client is connected.
    BOOL FinishConnect();
    BOOL IsConnectPending() const { return m_fConnectResult == FALSE && m_dwConnectError == ERROR_IO_PENDING; }
    BOOL IsConnected() const { return m_pDevice != NULL && m_fConnectResult == TRUE; }

    // Runs when the multiplexed wait finds the connect event signalled.
    virtual void OnSignalled() override;

    CKernelEvent m_event;      // manual-reset; the wait object's delegate
    OVERLAPPED m_overlapped;   // of the connect; hEvent is the event's handle
    BOOL m_fConnectResult;
    DWORD m_dwConnectError;
};

// A message shared by the queues of every connection it goes to.
typedef std::shared_ptr<const std::string> CSharedMessage;

// CPipeConnection: one server-side connection of a message pipe. It owns
// the server instance, the read and write operations on it, the block that
// receives the messages and the queue of messages not yet taken, and closes
// them in Close and the destructor in the one safe order (operations
// collected before the instance goes). Listen starts waiting for a client;
// once the instance is signalled and connected, StartRead keeps one message
// read pending. QueueMessage never waits: one write is in flight at a time
// and the owner calls ContinueWrites when the write operation is signalled.
// Used by one thread; the object must not move while I/O is in flight
// (keep it by pointer).
class CPipeConnection
{
public:
    CPipeConnection();
    ~CPipeConnection();

    // Creates the instance and starts its connect; FALSE when the instance
    // could not be created (last error set).
    BOOL Listen(CPipe* pPipe);
    BOOL IsListening() const { return m_instance.IsConnectPending(); }
    BOOL IsConnected() const { return m_instance.IsConnected(); }
    // TRUE once StartRead was called: the read, not the connect, is waited on.
    BOOL IsServing() const { return m_fServing; }
    // Serving a client and not marked for closing.
    BOOL IsActive() const { return m_fServing && !m_fClosing; }
    // Starts the read of the next message into m_block.
    BOOL StartRead();
    // Closes without flushing: a client that never reads must not hold the
    // caller. Pending transfers are aborted and collected first.
    void Close();

    // Sends the message after those queued; FALSE (nothing queued) when
    // s_cMaxQueued are waiting already or a write failed.
    BOOL QueueMessage(const CSharedMessage& pMessage);
    // Collects a signalled write without waiting and starts the next; FALSE
    // when a write failed.
    BOOL ContinueWrites();
    BOOL IsWritePending() const { return !m_opWrite.IsComplete(); }
    // How long the write in flight has waited for the client, in ms.
    DWORD GetWriteWait() const;

    static const size_t s_cMaxQueued = 4096;

    CPipeInstance m_instance;
    CIoOperation m_opRead;
    CIoOperation m_opWrite;
    CDataBlock m_block;
    BOOL m_fClosing;   // for the owner: close after the current dispatch

private:
    BOOL StartWrites();

    BOOL m_fServing;
    std::deque<CSharedMessage> m_apOutgoing;
    CSharedMessage m_pWriting;   // the message the write reads from
    DWORD m_dwWriteStart;        // tick count when that write started

    CPipeConnection(const CPipeConnection&) = delete;
    CPipeConnection& operator=(const CPipeConnection&) = delete;
};
