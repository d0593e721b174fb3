// Named pipes: byte-mode and message-mode devices, and the server instance
// that waits for its client.
#include "common/pipe.h"

#include "common/assertex.h"
#include "common/filestuf.h"
#include "common/handle.h"
#include "common/serial.h"
#include "common/strutil.h"

// Not in every SDK's headers.
#ifndef ERROR_HANDLES_CLOSED
#define ERROR_HANDLES_CLOSED 676L
#endif

namespace {

// TRUE when reads on the handle deliver whole messages (a successful read
// then ended exactly at a message's end).
BOOL IsMessageReadMode(HANDLE hHandle)
{
    DWORD dwState = 0;
    if (!::GetNamedPipeHandleStateA(hHandle, &dwState, NULL, NULL, NULL, NULL, 0))
        return FALSE;
    return (dwState & PIPE_READMODE_MESSAGE) != 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// CPipe

CPipe::CPipe() : m_dwPipeMode(PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT)
{
    // The defaults without the instance check of DoReset.
    SetDefaults();
}

CPipe::~CPipe()
{
}

void CPipe::DoReset()
{
    CIoDevice::DoReset();
    SetDefaults();
}

void CPipe::SetDefaults()
{
    m_csPipeName.clear();
    m_fIsServer = -1;
    m_dwOpenMode = PIPE_ACCESS_DUPLEX;
    m_dwMaxInstances = PIPE_UNLIMITED_INSTANCES;
    m_dwDefaultTimeout = 0xFFFFFFFF;
    m_dwInBufferSize = 0;
    m_dwOutBufferSize = 0;
    m_csComputer.clear();
    m_dwWaitForPipe = 0xFFFFFFFF;
    m_dwWaitForInstance = 0xFFFFFFFF;
    m_dwDesiredAccess = GENERIC_READ | GENERIC_WRITE;
}

void CPipe::SetServer(const std::string& csPipeName)
{
    DoReset();
    ASSERT_COND(m_fIsServer, ==, -1);
    m_fIsServer = 1;
    m_csComputer = ".";
    m_csPipeName = csPipeName;
}

void CPipe::SetClient(const std::string& csComputer, const std::string& csPipeName)
{
    DoReset();
    ASSERT_COND(m_fIsServer, ==, -1);
    m_fIsServer = 0;
    if (!csComputer.empty() && !StrIEqual(csComputer, GetComputerNameText()))
        m_csComputer = csComputer;
    else
        m_csComputer = ".";
    m_csPipeName = csPipeName;
}

void CPipe::SetAccess(DWORD dwDesiredAccess)
{
    m_dwDesiredAccess = dwDesiredAccess;
}

void CPipe::SetTimeouts(DWORD dwWaitForPipe, DWORD dwWaitForInstance)
{
    m_dwWaitForPipe = dwWaitForPipe;
    m_dwWaitForInstance = dwWaitForInstance;
}

std::string CPipe::GetFullName() const
{
    return "\\\\" + m_csComputer + "\\pipe\\" + m_csPipeName;
}

std::string CPipe::GetComputerName() const
{
    if (m_csComputer == ".")
        return GetComputerNameText();
    return m_csComputer;
}

BOOL CPipe::IsServed(const std::string& csFullName)
{
    // A time-out of 0 would mean the pipe's default wait; 1 ms is the
    // shortest real one.
    if (::WaitNamedPipeA(csFullName.c_str(), 1))
        return TRUE;
    const DWORD dwError = ::GetLastError();
    DEBUG_TRACE_MSG("Probing " << csFullName << ": error " << dwError);
    return dwError != ERROR_FILE_NOT_FOUND;
}

DWORD CPipe::GetPollInterval(DWORD dwLimit)
{
    return (dwLimit & ~(DWORD)3) < 400 ? dwLimit / 4 : 100;
}

BOOL CPipe::DoCreate(CIoInstance* pInstance)
{
    if (m_fIsServer == 0)
        return CreateClientEnd(pInstance);
    return CreateServerEnd(pInstance);
}

BOOL CPipe::WaitForServer(const std::string& csFullName, DWORD dwStart)
{
    for (;;) {
        if (::WaitNamedPipeA(csFullName.c_str(), GetPollInterval(m_dwWaitForInstance)))
            return TRUE;
        const DWORD dwError = ::GetLastError();
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        // Wine ends the wait with ERROR_HANDLES_CLOSED when the last
        // instance of the pipe is closed meanwhile (measured): the pipe is
        // gone, as with ERROR_FILE_NOT_FOUND.
        if (dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_BAD_NETPATH || dwError == ERROR_HANDLES_CLOSED) {
            if (dwElapsed >= m_dwWaitForPipe) {
                DEBUG_TRACE_MSG("DoCreate() failed because the server end does not exist.");
                ::SetLastError(dwError);
                return FALSE;
            }
            ::Sleep(GetPollInterval(m_dwWaitForPipe));
        } else if (dwError == ERROR_SEM_TIMEOUT) {
            if (dwElapsed >= m_dwWaitForInstance) {
                DEBUG_TRACE_MSG("DoCreate() failed because no Server instance was available.");
                ::SetLastError(dwError);
                return FALSE;
            }
        } else {
            ::SetLastError(dwError);
            return FALSE;
        }
    }
}

BOOL CPipe::CreateClientEnd(CIoInstance* pInstance)
{
    const std::string csFullName = GetFullName();
    for (;;) {
        DEBUG_TRACE_MSG("Waiting for " << csFullName << " to be created and available.");
        const DWORD dwStart = ::GetTickCount();
        DWORD dwError;
        do {
            if (!WaitForServer(csFullName, dwStart))
                return FALSE;
            // The server may learn who the client is, but never act as it.
            const DWORD dwFlags =
                (m_fOverlapped ? FILE_FLAG_OVERLAPPED : 0) | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
            HANDLE hHandle = ::CreateFileA(csFullName.c_str(), m_dwDesiredAccess, 0, GetSecurityAttributes(),
                                           OPEN_EXISTING, dwFlags, NULL);
            if (hHandle != INVALID_HANDLE_VALUE) {
                if (m_dwPipeMode & PIPE_READMODE_MESSAGE) {
                    // In byte read mode a one-byte message cannot be told
                    // from the first byte of the next one: after the byte is
                    // read the peek reports the next message's length
                    // (measured on Wine). Without write access the handle
                    // stays in byte mode.
                    DWORD dwMode = PIPE_READMODE_MESSAGE;
                    if (!::SetNamedPipeHandleState(hHandle, &dwMode, NULL, NULL))
                        DEBUG_TRACE_MSG("The client end of " << csFullName << " stays in byte read mode. Error "
                                                             << LastErrorText());
                }
                pInstance->m_hHandle = hHandle;
                DEBUG_TRACE_MSG("Have connected to " << csFullName);
                ::SetLastError(0);
                return TRUE;
            }
            dwError = ::GetLastError();
            // The instance that the wait saw may be gone before the open
            // (a server replacing an instance whose client left): the wait
            // goes on within the same limit.
        } while (dwError == ERROR_FILE_NOT_FOUND);
        if (dwError != ERROR_PIPE_BUSY)
            return FALSE;
        DEBUG_TRACE_MSG("Someone else connected to the pipe. Trying again.");
    }
}

HANDLE CPipe::CreateServerHandle(DWORD dwOpenMode)
{
    return ::CreateNamedPipeA(GetFullName().c_str(), dwOpenMode, m_dwPipeMode, m_dwMaxInstances, m_dwOutBufferSize,
                              m_dwInBufferSize, m_dwDefaultTimeout, GetSecurityAttributes());
}

BOOL CPipe::CreateServerEnd(CIoInstance* pInstance)
{
    const std::string csFullName = GetFullName();
    for (;;) {
        CHandle hHandle(CreateServerHandle(m_dwOpenMode | (m_fOverlapped ? FILE_FLAG_OVERLAPPED : 0)));
        if (!hHandle.IsValid())
            return FALSE;
        DEBUG_TRACE_MSG("An instance of the pipe " << csFullName << " has been created. Waiting for a connection. ");
        BOOL fConnected;
        DWORD dwError = 0;
        if (m_fOverlapped) {
            // An overlapped handle needs an OVERLAPPED even for a blocking
            // connect; without one the call may report a connect too early.
            CKernelEvent event(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED);
            OVERLAPPED overlapped;
            ZeroMemory(&overlapped, sizeof(overlapped));
            overlapped.hEvent = event.m_hHandle;
            fConnected = ::ConnectNamedPipe(hHandle.Get(), &overlapped);
            if (!fConnected && ::GetLastError() == ERROR_IO_PENDING) {
                DWORD cbDone = 0;
                fConnected = ::GetOverlappedResult(hHandle.Get(), &overlapped, &cbDone, TRUE);
            }
        } else {
            fConnected = ::ConnectNamedPipe(hHandle.Get(), NULL);
        }
        dwError = fConnected ? 0 : ::GetLastError();
        if (fConnected || dwError == ERROR_PIPE_CONNECTED) {
            pInstance->m_hHandle = hHandle.Release();
            DEBUG_TRACE_MSG("Someone has connected to " << csFullName);
            ::SetLastError(0);
            return TRUE;
        }
        if (dwError != ERROR_NO_DATA) {
            ::SetLastError(dwError);
            return FALSE;
        }
    }
}

BOOL CPipe::DoCreateAsync(CPipeInstance* pInstance)
{
    ASSERT_COND(m_fIsServer, ==, 1);
    // Set directly: other instances of this pipe may be open already.
    m_fOverlapped = TRUE;
    const std::string csFullName = GetFullName();
    HANDLE hHandle = CreateServerHandle(m_dwOpenMode | FILE_FLAG_OVERLAPPED);
    if (hHandle == INVALID_HANDLE_VALUE) {
        const DWORD dwError = ::GetLastError();
        DEBUG_ERROR_MSG("The call to CreateNamedPipe() failed for " << csFullName << ". Error " << ErrorText(dwError));
        pInstance->m_fConnectResult = FALSE;
        pInstance->m_dwConnectError = dwError;
        pInstance->m_event.Set();
        ::SetLastError(dwError);
        return FALSE;
    }
    pInstance->m_hHandle = hHandle;
    DEBUG_TRACE_MSG("An instance of the pipe " << csFullName << " has been created. Waiting asynchronously for a connection.");
    for (;;) {
        if (::ConnectNamedPipe(hHandle, &pInstance->m_overlapped)) {
            DEBUG_FAILURE_MSG("Unexpected return value of TRUE from ::ConnectNamedPipe().");
            pInstance->m_fConnectResult = TRUE;
            pInstance->m_dwConnectError = 0;
            // Signalled so that a wait on the instance sees the client.
            pInstance->m_event.Set();
            return TRUE;
        }
        const DWORD dwError = ::GetLastError();
        switch (dwError) {
        case ERROR_IO_PENDING:
            pInstance->m_fConnectResult = FALSE;
            pInstance->m_dwConnectError = ERROR_IO_PENDING;
            ::SetLastError(ERROR_IO_PENDING);
            return FALSE;
        case ERROR_PIPE_CONNECTED:
            pInstance->m_fConnectResult = TRUE;
            pInstance->m_dwConnectError = 0;
            pInstance->m_event.Set();
            ::SetLastError(0);
            return TRUE;
        case ERROR_NO_DATA:
            // The client has gone, but the instance stays in the closing
            // state, and every further connect fails the same way, until it
            // is disconnected (measured on Wine; the same on Windows).
            DEBUG_TRACE_MSG("A client connected to the pipe but then disconnected immediately.");
            ::DisconnectNamedPipe(hHandle);
            break;
        default:
            DEBUG_ERROR_MSG("Call to ::ConnectNamedPipe() failed. Error " << ErrorText(dwError));
            pInstance->m_fConnectResult = FALSE;
            pInstance->m_dwConnectError = dwError;
            pInstance->m_event.Set();
            VERIFY_TRUE(::CloseHandle(hHandle));
            pInstance->m_hHandle = INVALID_HANDLE_VALUE;
            ::SetLastError(dwError);
            return FALSE;
        }
    }
}

void CPipe::DoClose(CIoInstance* pInstance)
{
    if (IsValidHandle(pInstance->m_hHandle) && m_fIsServer != 0) {
        const DWORD dwSaved = ::GetLastError();
        // Waits until the client has read what was written to it (for ever
        // under Wine when it never reads; see the class comment).
        if (!::FlushFileBuffers(pInstance->m_hHandle)) {
            // A client that has gone already leaves nothing to flush.
            const DWORD dwError = ::GetLastError();
            if (dwError != ERROR_BROKEN_PIPE && dwError != ERROR_NO_DATA && dwError != ERROR_PIPE_NOT_CONNECTED &&
                dwError != ERROR_PIPE_LISTENING)
                DEBUG_FAILURE_MSG("Unexpected failure of ::FlushFileBuffers()");
        }
        if (!::DisconnectNamedPipe(pInstance->m_hHandle)) {
            // Wine answers ERROR_PIPE_LISTENING for an instance that never
            // had a client.
            const DWORD dwError = ::GetLastError();
            ASSERT_TRUE(dwError == ERROR_PIPE_NOT_CONNECTED || dwError == ERROR_PIPE_LISTENING);
        }
        ::SetLastError(dwSaved);
    }
    CIoDevice::DoClose(pInstance);
}

BOOL CPipe::DoRead(CIoOperation* pOperation, void* pvBuffer, DWORD cb)
{
    pOperation->SetPosition(0);
    return ByteRead(pOperation, pvBuffer, cb);
}

BOOL CPipe::DoWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb)
{
    pOperation->SetPosition(0);
    return ByteWrite(pOperation, pvBuffer, cb);
}

// ---------------------------------------------------------------------------
// CMessagePipe

CMessagePipe::CMessagePipe() : m_cbMaxMessage(s_cbDefaultMaxMessage)
{
    m_dwPipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE;
}

BOOL CMessagePipe::DoRead(CIoOperation*, void*, DWORD)
{
    DEBUG_FAILURE_MSG("CMessagePipe does not support byte-reads.");
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL CMessagePipe::DoWrite(CIoOperation*, const void*, DWORD)
{
    DEBUG_FAILURE_MSG("CMessagePipe does not support byte-writes.");
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL CMessagePipe::DoMessageWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb)
{
    if (!CHECK_NOT_NULL(pvBuffer) || !CHECK_COND(cb, !=, 0)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pOperation->m_pDataBlock = NULL;
    pOperation->SetPosition(0);
    return ByteWrite(pOperation, pvBuffer, cb);
}

void CMessagePipe::SetMaxMessageSize(DWORD cbMax)
{
    m_cbMaxMessage = cbMax;
}

BOOL CMessagePipe::GetBytesLeft(CIoOperation* pOperation, BOOL fNullReadOk, DWORD cbNullRead, DWORD& cbLeft)
{
    cbLeft = 0;
    HANDLE hHandle = GetInstanceHandle(pOperation->m_pInstance);
    // A read that succeeded in message read mode took a whole message; the
    // peek would already report the next one.
    if (fNullReadOk && (cbNullRead == 0 || IsMessageReadMode(hHandle)))
        return TRUE;
    DWORD cbAvailable = 0;
    if (!::PeekNamedPipe(hHandle, NULL, 0, NULL, &cbAvailable, &cbLeft))
        return FALSE;
    return TRUE;
}

BOOL CMessagePipe::FinishRest(CIoOperation* pOperation, DWORD cbLeft)
{
    pOperation->m_dwMessagePhase = MESSAGE_PHASE_NONE;
    ASSERT_COND(pOperation->m_dwActual, ==, cbLeft);
    pOperation->m_dwActual = cbLeft + 1;
    return TRUE;
}

int CMessagePipe::AfterFirstByte(CIoOperation* pOperation, BOOL fOk, DWORD cbRead, DWORD dwError, BOOL fWait)
{
    pOperation->m_dwMessagePhase = MESSAGE_PHASE_NONE;
    pOperation->m_dwActual = 0;
    CDataBlock* pBlock = pOperation->m_pDataBlock;
    if (!fOk && dwError != ERROR_MORE_DATA) {
        pOperation->SetFinished(0, dwError);
        return 0;
    }
    DWORD cbLeft = 0;
    if (!GetBytesLeft(pOperation, fOk, cbRead, cbLeft)) {
        const DWORD dwPeekError = ::GetLastError();
        DEBUG_ERROR_MSG("Error " << ErrorText(dwPeekError) << " occurred peeking for the size of the message.");
        pOperation->SetFinished(0, dwPeekError);
        return 0;
    }
    if (cbLeft == 0)
        return -1;
    if (cbLeft >= m_cbMaxMessage) {
        // The size comes from the peer: it is refused before anything of
        // that size is allocated, and the rest of the message stays unread.
        DEBUG_TRACE_MSG("A message of " << (unsigned long)cbLeft + 1 << " bytes is over the bound of "
                                        << (unsigned long)m_cbMaxMessage << " bytes and is refused.");
        pOperation->SetFinished(0, ERROR_MESSAGE_EXCEEDS_MAX_SIZE);
        return 0;
    }
    BYTE* pbMessage = CDataBlock::AllocateBuffer(cbLeft + 1);
    if (pbMessage == NULL) {
        pOperation->SetFinished(0, ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    pbMessage[0] = pOperation->m_bFirstByte;
    pBlock->Attach(pbMessage, cbLeft + 1);
    pOperation->SetPosition(0);
    pOperation->m_dwMessagePhase = MESSAGE_PHASE_REST;
    if (ByteRead(pOperation, pbMessage + 1, cbLeft))
        return FinishRest(pOperation, cbLeft);
    if (pOperation->IsComplete()) {
        DEBUG_ERROR_MSG("Error " << ErrorText(pOperation->m_dwError) << " reading the message data.");
        pOperation->m_dwMessagePhase = MESSAGE_PHASE_NONE;
        return 0;
    }
    return CollectRest(pOperation, fWait);
}

BOOL CMessagePipe::CollectRest(CIoOperation* pOperation, BOOL fWait)
{
    const DWORD cbLeft = pOperation->m_pDataBlock->GetLength() - 1;
    if (ByteGetResult(pOperation, fWait))
        return FinishRest(pOperation, cbLeft);
    if (pOperation->IsComplete())
        pOperation->m_dwMessagePhase = MESSAGE_PHASE_NONE;
    return FALSE;
}

BOOL CMessagePipe::StartFirstByte(CIoOperation* pOperation, int cDropped, BOOL fWait)
{
    HANDLE hHandle = GetInstanceHandle(pOperation->m_pInstance);
    for (;; cDropped++) {
        if (cDropped >= s_cDropsPerRound) {
            // A peer that sends nothing but empty or one-byte messages gets
            // no more of the caller's time in one go than a real message:
            // the read starts again when the operation is next collected,
            // and the event says so to a caller waiting on it.
            pOperation->m_dwMessagePhase = MESSAGE_PHASE_RESTART;
            pOperation->SetPending();
            pOperation->m_event.Set();
            ::SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        pOperation->SetPosition(0);
        pOperation->m_dwActual = 0;
        pOperation->m_bFirstByte = 0;
        DWORD cbRead = 0;
        BOOL fOk = ::ReadFile(hHandle, &pOperation->m_bFirstByte, 1, &cbRead, &pOperation->m_overlapped);
        const DWORD dwError = fOk ? 0 : ::GetLastError();
        if (!fOk && dwError == ERROR_IO_PENDING) {
            pOperation->m_dwMessagePhase = MESSAGE_PHASE_FIRST_BYTE;
            pOperation->SetPending();
            ::SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        const int nOutcome = AfterFirstByte(pOperation, fOk, cbRead, dwError, fWait);
        if (nOutcome >= 0)
            return nOutcome;
        // An empty or one-byte message carries nothing of the protocol.
    }
}

BOOL CMessagePipe::DoMessageRead(CIoOperation* pOperation, CDataBlock* pBlock)
{
    if (!CHECK_NOT_NULL(pBlock)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pOperation->m_pDataBlock = pBlock;
    pBlock->Reset();
    return StartFirstByte(pOperation, 0, FALSE);
}

BOOL CMessagePipe::DoGetResult(CIoOperation* pOperation, BOOL fWait)
{
    if (pOperation->m_fResult)
        return TRUE;
    if (pOperation->m_dwError != ERROR_IO_PENDING) {
        ::SetLastError(pOperation->m_dwError);
        return FALSE;
    }
    switch (pOperation->m_dwMessagePhase) {
    case MESSAGE_PHASE_RESTART:
        return StartFirstByte(pOperation, 0, fWait);
    case MESSAGE_PHASE_REST:
        return CollectRest(pOperation, fWait);
    case MESSAGE_PHASE_FIRST_BYTE: {
        DWORD cbRead = 0;
        BOOL fOk = ::GetOverlappedResult(GetInstanceHandle(pOperation->m_pInstance), &pOperation->m_overlapped,
                                         &cbRead, fWait);
        const DWORD dwError = fOk ? 0 : ::GetLastError();
        if (!fOk && dwError == ERROR_IO_INCOMPLETE) {
            ::SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        const int nOutcome = AfterFirstByte(pOperation, fOk, cbRead, dwError, fWait);
        if (nOutcome >= 0)
            return nOutcome;
        return StartFirstByte(pOperation, 1, fWait);
    }
    default:
        return ByteGetResult(pOperation, fWait);
    }
}

// ---------------------------------------------------------------------------
// CPipeInstance

CPipeInstance::CPipeInstance()
    : m_event(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED), m_fConnectResult(TRUE), m_dwConnectError(0)
{
    m_pwoDelegate = &m_event;
    ZeroMemory(&m_overlapped, sizeof(m_overlapped));
    m_overlapped.hEvent = m_event.m_hHandle;
}

CPipeInstance::~CPipeInstance()
{
    Close();
}

void CPipeInstance::Close()
{
    const DWORD dwSaved = ::GetLastError();
    if (IsConnectPending()) {
        // The system writes into the OVERLAPPED when the connect ends, so
        // it must have ended before this object may go.
        if (IsValidHandle(m_hHandle))
            ::CancelIoEx(m_hHandle, &m_overlapped);
        if (::WaitForSingleObject(m_event.m_hHandle, 5000) == WAIT_OBJECT_0) {
            DWORD cbDone = 0;
            ::GetOverlappedResult(m_hHandle, &m_overlapped, &cbDone, FALSE);
        } else {
            DEBUG_ERROR_MSG("A cancelled connect did not end.");
        }
    }
    CIoInstance::Close();
    m_fConnectResult = TRUE;
    m_dwConnectError = 0;
    ::SetLastError(dwSaved);
}

BOOL CPipeInstance::OpenAsync(CPipe* pPipe)
{
    if (!CHECK_NOT_NULL(pPipe) || !CHECK_TRUE(m_pDevice == NULL) || !CHECK_TRUE(!IsValidHandle(m_hHandle))) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    m_hHandle = INVALID_HANDLE_VALUE;
    m_fConnectResult = TRUE;
    m_dwConnectError = 0;
    m_event.Reset();
    BOOL fOk = pPipe->DoCreateAsync(this);
    if (!fOk && ::GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    m_pDevice = pPipe;
    ::InterlockedIncrement(&pPipe->m_cInstances);
    ::SetLastError(fOk ? 0 : ERROR_IO_PENDING);
    return TRUE;
}

BOOL CPipeInstance::FinishConnect()
{
    ASSERT_VALID_HANDLE(m_hHandle);
    if (IsConnectPending()) {
        DWORD cbDone = 0;
        if (::GetOverlappedResult(m_hHandle, &m_overlapped, &cbDone, TRUE)) {
            m_fConnectResult = TRUE;
            m_dwConnectError = 0;
        } else {
            m_fConnectResult = FALSE;
            m_dwConnectError = ::GetLastError();
        }
    }
    if (!m_fConnectResult)
        ::SetLastError(m_dwConnectError);
    return m_fConnectResult;
}

void CPipeInstance::OnSignalled()
{
    CWaitObject::OnSignalled();
    const DWORD dwSaved = ::GetLastError();
    FinishConnect();
    ::SetLastError(dwSaved);
}

// ---------------------------------------------------------------------------
// CPipeConnection

CPipeConnection::CPipeConnection() : m_fClosing(FALSE), m_fServing(FALSE), m_dwWriteStart(0)
{
}

CPipeConnection::~CPipeConnection()
{
    Close();
}

BOOL CPipeConnection::Listen(CPipe* pPipe)
{
    if (!m_instance.OpenAsync(pPipe))
        return FALSE;
    m_opRead.SetInstance(&m_instance);
    m_opWrite.SetInstance(&m_instance);
    ::SetLastError(0);
    return TRUE;
}

BOOL CPipeConnection::StartRead()
{
    m_fServing = TRUE;
    return m_opRead.ReadMessage(&m_block);
}

void CPipeConnection::Close()
{
    if (!m_instance.IsOpen())
        return;
    if (IsListening()) {
        m_instance.Close();
        return;
    }
    // Closing the handle first ends what is in flight at once; a flush
    // would wait for a client that may never read. The operations' ends
    // must be collected before their OVERLAPPED structures may go.
    m_instance.CloseHandleNow();
    if (!m_opRead.IsComplete())
        m_opRead.Cancel();
    if (!m_opWrite.IsComplete())
        m_opWrite.Cancel();
    m_instance.Close();
    m_block.Reset();
    m_apOutgoing.clear();
    m_pWriting.reset();
}

BOOL CPipeConnection::QueueMessage(const CSharedMessage& pMessage)
{
    if (m_apOutgoing.size() >= s_cMaxQueued || (m_opWrite.IsComplete() && !m_opWrite.m_fResult)) {
        ::SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    m_apOutgoing.push_back(pMessage);
    return StartWrites();
}

BOOL CPipeConnection::ContinueWrites()
{
    if (!m_opWrite.TryGetResult())
        return ::GetLastError() == ERROR_IO_PENDING;
    return StartWrites();
}

BOOL CPipeConnection::StartWrites()
{
    while (m_opWrite.IsComplete()) {
        if (!m_opWrite.m_fResult) {
            ::SetLastError(m_opWrite.m_dwError);
            return FALSE;
        }
        if (m_apOutgoing.empty()) {
            m_pWriting.reset();
            return TRUE;
        }
        m_pWriting = m_apOutgoing.front();
        m_apOutgoing.pop_front();
        m_dwWriteStart = ::GetTickCount();
        if (!m_opWrite.WriteMessage(m_pWriting->data(), (DWORD)m_pWriting->size()) && m_opWrite.IsComplete())
            return FALSE;
    }
    return TRUE;
}

DWORD CPipeConnection::GetWriteWait() const
{
    return IsWritePending() ? ::GetTickCount() - m_dwWriteStart : 0;
}
