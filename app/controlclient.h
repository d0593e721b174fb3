// CControlClient: the client end of the control protocol, shared by the
// interactive client and the control tool. It owns one connection to a
// supervisor's pipe, a write operation for commands and a read operation
// that it keeps pending between messages (under Wine a server's write ends
// only when its client reads). One thread connects and sends; the thread
// that receives may be another one; Close may come from either once the
// other no longer uses the object.
//
// Use: SetServer, Open (once, or again while it fails), Send, Receive in a
// loop, Close.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/pipe.h"
#include "common/serial.h"
#include "control.h"

class CControlClient
{
public:
    CControlClient();
    ~CControlClient();

    // The supervisor named by its executable's file name on a computer
    // (empty or "." for this one), with the waits of one Open in ms.
    void SetServer(const std::string& csComputer, const std::string& csExeName, DWORD dwWaitForPipe,
                   DWORD dwWaitForInstance);
    std::string GetComputerName() const { return m_pipe.GetComputerName(); }
    std::string GetFullName() const { return m_pipe.GetFullName(); }

    // One attempt to connect; FALSE with the last error of the pipe.
    BOOL Open();
    // Writes one message and waits until the server has taken it: only for
    // a client whose reading goes on on another thread meanwhile.
    BOOL Send(CControlMessage& msg);
    // Starts the write and returns: a client that reads on the same thread
    // must not wait for a write, since the server may be waiting, at the
    // same time, for it to take a reply (a pipe write under Wine ends only
    // when the peer reads). Close waits for the posted writes.
    BOOL Post(DWORD dwKind, const std::string& csName = std::string());

    enum
    {
        RECEIVE_OK,
        RECEIVE_STOPPED,     // pwoStop fired; the read stays pending
        RECEIVE_TIMED_OUT,   // likewise
        RECEIVE_FAILED,      // the read failed (last error set): the server is gone
        RECEIVE_MALFORMED    // a message that does not parse; the next may
    };
    // The next message, waiting at most dwTimeout ms and ending early when
    // pwoStop (may be null) is signalled.
    int Receive(CControlMessage& msg, CWaitObject* pwoStop, DWORD dwTimeout);
    // A message has come in and the next Receive returns it without a wait.
    BOOL HasMessageWaiting() const { return m_fReadPending && m_opRead.IsComplete(); }
    // Closes the handle, which aborts the pending read, and waits for the
    // read: for the receiving thread, while another may still be sending.
    void AbortRead();
    // AbortRead, then waits for the writes and frees the instance.
    void Close();

private:
    void StartRead();

    CMessagePipe m_pipe;
    CIoInstance m_instance;
    CIoOperation m_opWrite;
    CIoOperation m_opRead;
    CDataBlock m_block;
    BOOL m_fReadPending;
    struct CPostedWrite
    {
        CIoOperation m_op;
        CDataBlock m_block;
    };
    std::vector<std::unique_ptr<CPostedWrite>> m_apPosted;
};
