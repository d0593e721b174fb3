// Overlapped I/O in three roles.
//
// CIoDevice: knows how to open something (a file, a pipe) and how to move
// bytes or whole messages on it. It owns no handle; it counts the instances
// open on it (interlocked, since instances open and close on any thread) and
// may be reconfigured (SetOverlapped, DoReset) only while none is open.
//
// CIoInstance: one open handle of a device, owned by the instance and closed
// by Close and the destructor. CloseHandleNow may be called from another
// thread to abort the I/O pending on the handle.
//
// CIoOperation: one read or write in flight on an instance, with its own
// OVERLAPPED and manual-reset event; as a wait object it can be waited on
// among others (WaitForWaitObjects), and its OnSignalled collects the result.
// An operation belongs to one thread at a time; a reader and a writer may
// work on the same overlapped instance at once with an operation each.
//
// A thread that must never block (the supervision loop) collects with
// TryGetResult after the operation's wait object was signalled.
//
// Use: device.SetOverlapped(TRUE); instance.Open(&device);
// op.SetInstance(&instance); op.Read(pv, cb) (or Write, ReadMessage,
// WriteMessage); then op.GetResult() to wait, or WaitForResult(ms) to wait
// with a bound and Cancel() to give up. A transfer's buffer must live until
// the operation is complete.
#pragma once

#include <string>

#include "common/win32.h"

class CDataBlock;
class CSerializable;
class CIoInstance;
class CIoOperation;

class CIoDevice : public CSecurityAttributes
{
public:
    CIoDevice();
    virtual ~CIoDevice();

    // Opens the instance's handle.
    virtual BOOL DoCreate(CIoInstance* pInstance) = 0;
    // Closes a valid handle (verified) and makes it invalid.
    virtual void DoClose(CIoInstance* pInstance);
    // Start a byte transfer at the operation's file position.
    virtual BOOL DoRead(CIoOperation* pOperation, void* pvBuffer, DWORD cb);
    virtual BOOL DoWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb);
    // Message transfers; the base device refuses them (failure message, 0).
    virtual BOOL DoMessageRead(CIoOperation* pOperation, CDataBlock* pBlock);
    virtual BOOL DoMessageWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb);
    // Collects a transfer: with fWait it waits for it to end; without, it
    // never blocks and leaves a transfer still in flight pending (FALSE,
    // ERROR_IO_PENDING). Returns the operation's result.
    virtual BOOL DoGetResult(CIoOperation* pOperation, BOOL fWait);
    // Back to the defaults; only while no instance is open.
    virtual void DoReset();

    void SetOverlapped(BOOL fOverlapped);
    BOOL IsOverlapped() const { return m_fOverlapped; }

    static HANDLE GetInstanceHandle(const CIoInstance* pInstance);
    static DWORD GetOperationActual(const CIoOperation* pOperation);

    BOOL m_fOverlapped;
    volatile LONG m_cInstances;

protected:
    // The byte read and write of every device, used by the message devices
    // for the bytes after a message's first one.
    BOOL ByteRead(CIoOperation* pOperation, void* pvBuffer, DWORD cb);
    BOOL ByteWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb);
    // The base completion of a pending transfer (see DoGetResult).
    BOOL ByteGetResult(CIoOperation* pOperation, BOOL fWait);
    // Records how a ReadFile/WriteFile call that was just made ended.
    BOOL FinishStart(CIoOperation* pOperation, BOOL fOk, DWORD cbDone);

private:
    CIoDevice(const CIoDevice&) = delete;
    CIoDevice& operator=(const CIoDevice&) = delete;
};

class CIoInstance
{
public:
    CIoInstance();
    virtual ~CIoInstance();

    // Opens the handle through the device; FALSE leaves the instance closed.
    virtual BOOL Open(CIoDevice* pDevice);
    // Closes through the device; nothing on a closed instance.
    virtual void Close();
    // Closes the handle at once, leaving the device attached until Close;
    // pending I/O on the handle ends with a failure. Any thread.
    BOOL CloseHandleNow();

    BOOL IsOpen() const { return m_pDevice != NULL; }

    HANDLE m_hHandle;      // INVALID_HANDLE_VALUE when closed
    CIoDevice* m_pDevice;  // not owned; null when closed

private:
    CIoInstance(const CIoInstance&) = delete;
    CIoInstance& operator=(const CIoInstance&) = delete;
};

// Where a message read stands; kept in its operation by the message device.
enum
{
    MESSAGE_PHASE_NONE = 0,      // no message read in flight
    MESSAGE_PHASE_FIRST_BYTE,    // the read of a message's first byte is pending
    MESSAGE_PHASE_REST,          // the read of the bytes after it is pending
    MESSAGE_PHASE_RESTART        // nothing in flight; the read starts again when collected
};

class CIoOperation : public CWaitObject
{
public:
    CIoOperation();
    explicit CIoOperation(CIoInstance* pInstance);
    virtual ~CIoOperation();

    // Resets and binds; the operation must be complete.
    void SetInstance(CIoInstance* pInstance);
    CIoInstance* GetInstance() const { return m_pInstance; }

    // Start transfers: TRUE when finished at once with success; FALSE with
    // the last error otherwise, ERROR_IO_PENDING while it goes on.
    BOOL Read(void* pvBuffer, DWORD cb);
    BOOL Write(const void* pvBuffer, DWORD cb);
    BOOL ReadMessage(CDataBlock* pBlock);
    BOOL WriteMessage(const void* pvBuffer, DWORD cb);
    // Serializes the object and writes it as one message, waiting.
    BOOL SendMessage(CSerializable& object);

    // Waits for the transfer to finish and returns its result.
    BOOL GetResult();
    // Collects without waiting: FALSE with ERROR_IO_PENDING while the
    // transfer goes on (a message device may have started its read again).
    BOOL TryGetResult();
    // As GetResult, but gives up after dwTimeout ms: FALSE with
    // ERROR_TIMEOUT, the transfer still pending (Cancel it or wait again).
    BOOL WaitForResult(DWORD dwTimeout);
    // Aborts a pending transfer and waits until it has ended; TRUE when the
    // operation is complete afterwards (its result says how it ended).
    BOOL Cancel();

    virtual void OnSignalled() override;

    BOOL IsComplete() const { return !(m_fResult == FALSE && m_dwError == ERROR_IO_PENDING); }
    DWORD GetActual() const { return m_dwActual; }
    DWORD GetError() const { return m_dwError; }
    CDataBlock* GetDataBlock() const { return m_pDataBlock; }

    // The operation's 64-bit file position.
    ULONGLONG GetPosition() const;
    void SetPosition(ULONGLONG qwPosition);
    void AdvancePosition(DWORD cb);

    // Finish with a result at once: stores it, signals the event and makes
    // the error (when failed) the thread's last error.
    void SetFinished(BOOL fResult, DWORD dwError);
    void SetPending();

    CKernelEvent m_event;      // manual-reset; the wait object's delegate
    OVERLAPPED m_overlapped;   // hEvent is the event's handle
    CIoInstance* m_pInstance;  // not owned
    DWORD m_dwRequested;       // 0xFFFFFFFF for message and delimiter reads
    DWORD m_dwActual;
    BOOL m_fResult;
    DWORD m_dwError;
    CDataBlock* m_pDataBlock;  // not owned; target of a message read
    DWORD m_dwMessagePhase;    // MESSAGE_PHASE_...
    BYTE m_bFirstByte;         // buffer of a message's first byte

private:
    void Construct();
    void Reset();
    // Asserts that the operation has an instance with a device; FALSE (last
    // error ERROR_INVALID_HANDLE) when it has not.
    BOOL CheckDevice();
    // Asserts the preconditions of a transfer; FALSE when it must not start.
    BOOL CheckTransfer();
    // CheckTransfer, then the request of a transfer of cb bytes from or to
    // the caller's buffer.
    BOOL StartBufferTransfer(DWORD cb);
    // Collects a transfer that has ended but was not collected (its handle
    // was closed, for example) so that the operation may be reused.
    void CollectFinished(DWORD dwTimeout);

    CIoOperation(const CIoOperation&) = delete;
    CIoOperation& operator=(const CIoOperation&) = delete;
};
