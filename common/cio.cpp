// Devices, instances and operations of overlapped I/O.
#include "common/cio.h"

#include "common/assertex.h"
#include "common/serial.h"

// ---------------------------------------------------------------------------
// CIoDevice

CIoDevice::CIoDevice() : m_fOverlapped(FALSE), m_cInstances(0)
{
}

CIoDevice::~CIoDevice()
{
    ASSERT_COND(m_cInstances, ==, 0);
}

void CIoDevice::SetOverlapped(BOOL fOverlapped)
{
    ASSERT_COND(m_cInstances, ==, 0);
    m_fOverlapped = fOverlapped;
}

HANDLE CIoDevice::GetInstanceHandle(const CIoInstance* pInstance)
{
    return pInstance != NULL ? pInstance->m_hHandle : INVALID_HANDLE_VALUE;
}

DWORD CIoDevice::GetOperationActual(const CIoOperation* pOperation)
{
    return pOperation != NULL ? pOperation->m_dwActual : 0;
}

void CIoDevice::DoClose(CIoInstance* pInstance)
{
    if (IsValidHandle(pInstance->m_hHandle)) {
        VERIFY_TRUE(::CloseHandle(pInstance->m_hHandle));
    }
    pInstance->m_hHandle = INVALID_HANDLE_VALUE;
}

BOOL CIoDevice::DoRead(CIoOperation* pOperation, void* pvBuffer, DWORD cb)
{
    return ByteRead(pOperation, pvBuffer, cb);
}

BOOL CIoDevice::DoWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb)
{
    return ByteWrite(pOperation, pvBuffer, cb);
}

BOOL CIoDevice::DoMessageRead(CIoOperation*, CDataBlock*)
{
    DEBUG_FAILURE_MSG("This device does not support message-reads.");
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL CIoDevice::DoMessageWrite(CIoOperation*, const void*, DWORD)
{
    DEBUG_FAILURE_MSG("This device does not support message-writes.");
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL CIoDevice::DoGetResult(CIoOperation* pOperation, BOOL fWait)
{
    return ByteGetResult(pOperation, fWait);
}

void CIoDevice::DoReset()
{
    ASSERT_COND(m_cInstances, ==, 0);
}

BOOL CIoDevice::FinishStart(CIoOperation* pOperation, BOOL fOk, DWORD cbDone)
{
    const DWORD dwError = fOk ? 0 : ::GetLastError();
    pOperation->m_dwActual = cbDone;
    if (fOk) {
        pOperation->AdvancePosition(cbDone);
        pOperation->SetFinished(1, 0);
        return TRUE;
    }
    if (dwError == ERROR_IO_PENDING) {
        // The system signals the event when the transfer ends.
        ASSERT_COND(cbDone, ==, 0);
        pOperation->SetPending();
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    pOperation->AdvancePosition(cbDone);
    pOperation->SetFinished(0, dwError);
    return FALSE;
}

BOOL CIoDevice::ByteRead(CIoOperation* pOperation, void* pvBuffer, DWORD cb)
{
    DWORD cbRead = 0;
    BOOL fOk = ::ReadFile(GetInstanceHandle(pOperation->m_pInstance), pvBuffer, cb, &cbRead,
                          &pOperation->m_overlapped);
    return FinishStart(pOperation, fOk, cbRead);
}

BOOL CIoDevice::ByteWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb)
{
    DWORD cbWritten = 0;
    BOOL fOk = ::WriteFile(GetInstanceHandle(pOperation->m_pInstance), pvBuffer, cb, &cbWritten,
                           &pOperation->m_overlapped);
    if (fOk) {
        ASSERT_COND(cbWritten, ==, cb);
    }
    return FinishStart(pOperation, fOk, cbWritten);
}

BOOL CIoDevice::ByteGetResult(CIoOperation* pOperation, BOOL fWait)
{
    if (pOperation->m_fResult)
        return TRUE;
    if (pOperation->m_dwError != ERROR_IO_PENDING) {
        ::SetLastError(pOperation->m_dwError);
        return FALSE;
    }
    // The wait is on the OVERLAPPED's event, so a handle closed meanwhile by
    // another thread does no harm here: the transfer ends with a failure.
    DWORD cbDone = 0;
    BOOL fOk = ::GetOverlappedResult(GetInstanceHandle(pOperation->m_pInstance), &pOperation->m_overlapped,
                                     &cbDone, fWait);
    DWORD dwError = fOk ? 0 : ::GetLastError();
    if (!fOk && dwError == ERROR_IO_INCOMPLETE) {
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    pOperation->m_dwActual = cbDone;
    pOperation->AdvancePosition(cbDone);
    pOperation->m_fResult = fOk ? TRUE : FALSE;
    pOperation->m_dwError = dwError;
    if (!fOk)
        ::SetLastError(dwError);
    return pOperation->m_fResult;
}

// ---------------------------------------------------------------------------
// CIoInstance

CIoInstance::CIoInstance() : m_hHandle(INVALID_HANDLE_VALUE), m_pDevice(NULL)
{
}

CIoInstance::~CIoInstance()
{
    CIoInstance::Close();
}

BOOL CIoInstance::Open(CIoDevice* pDevice)
{
    // Opening over a live instance would strand its handle.
    if (!CHECK_NOT_NULL(pDevice) || !CHECK_TRUE(m_pDevice == NULL) || !CHECK_TRUE(!IsValidHandle(m_hHandle))) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    m_hHandle = INVALID_HANDLE_VALUE;
    if (!pDevice->DoCreate(this))
        return FALSE;
    m_pDevice = pDevice;
    ::InterlockedIncrement(&pDevice->m_cInstances);
    return TRUE;
}

void CIoInstance::Close()
{
    if (m_pDevice == NULL)
        return;
    const DWORD dwError = ::GetLastError();
    m_pDevice->DoClose(this);
    ::InterlockedDecrement(&m_pDevice->m_cInstances);
    m_pDevice = NULL;
    ASSERT_INVALID_HANDLE(m_hHandle);
    ::SetLastError(dwError);
}

BOOL CIoInstance::CloseHandleNow()
{
    HANDLE hHandle = m_hHandle;
    if (!IsValidHandle(hHandle))
        return FALSE;
    m_hHandle = INVALID_HANDLE_VALUE;
    VERIFY_TRUE(::CloseHandle(hHandle));
    return TRUE;
}

// ---------------------------------------------------------------------------
// CIoOperation

CIoOperation::CIoOperation() : m_event(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED)
{
    Construct();
}

CIoOperation::CIoOperation(CIoInstance* pInstance) : m_event(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED)
{
    Construct();
    SetInstance(pInstance);
}

void CIoOperation::Construct()
{
    m_pwoDelegate = &m_event;
    ZeroMemory(&m_overlapped, sizeof(m_overlapped));
    m_overlapped.hEvent = m_event.m_hHandle;
    m_pInstance = NULL;
    Reset();
}

CIoOperation::~CIoOperation()
{
    // A transfer that ended (its handle closed, say) but was never collected
    // is collected here; one still in flight would write into freed memory.
    CollectFinished(1000);
    ASSERT_TRUE(IsComplete());
}

void CIoOperation::Reset()
{
    m_fResult = TRUE;
    m_dwError = 0;
    m_pInstance = NULL;
    m_overlapped.Offset = 0;
    m_overlapped.OffsetHigh = 0;
    m_dwActual = 0;
    m_dwRequested = 0;
    m_pDataBlock = NULL;
    m_dwMessagePhase = MESSAGE_PHASE_NONE;
    m_bFirstByte = 0;
}

void CIoOperation::SetInstance(CIoInstance* pInstance)
{
    CollectFinished(0);
    if (!CHECK_TRUE(IsComplete()))
        return;
    Reset();
    m_pInstance = pInstance;
}

void CIoOperation::CollectFinished(DWORD dwTimeout)
{
    if (IsComplete())
        return;
    if (m_dwMessagePhase == MESSAGE_PHASE_RESTART) {
        // Nothing is in flight; the read is simply not started again.
        m_dwMessagePhase = MESSAGE_PHASE_NONE;
        m_fResult = FALSE;
        m_dwError = ERROR_OPERATION_ABORTED;
        return;
    }
    if (::WaitForSingleObject(m_event.m_hHandle, dwTimeout) != WAIT_OBJECT_0)
        return;
    const DWORD dwSaved = ::GetLastError();
    DWORD cbDone = 0;
    BOOL fOk = ::GetOverlappedResult(CIoDevice::GetInstanceHandle(m_pInstance), &m_overlapped, &cbDone, FALSE);
    m_dwActual = cbDone;
    m_fResult = fOk ? TRUE : FALSE;
    m_dwError = fOk ? 0 : ::GetLastError();
    if (m_dwError == ERROR_IO_INCOMPLETE || m_dwError == ERROR_IO_PENDING) {
        m_fResult = FALSE;
        m_dwError = ERROR_IO_PENDING;
    } else {
        m_dwMessagePhase = MESSAGE_PHASE_NONE;
    }
    ::SetLastError(dwSaved);
}

ULONGLONG CIoOperation::GetPosition() const
{
    return ((ULONGLONG)m_overlapped.OffsetHigh << 32) | m_overlapped.Offset;
}

void CIoOperation::SetPosition(ULONGLONG qwPosition)
{
    m_overlapped.Offset = (DWORD)qwPosition;
    m_overlapped.OffsetHigh = (DWORD)(qwPosition >> 32);
}

void CIoOperation::AdvancePosition(DWORD cb)
{
    SetPosition(GetPosition() + cb);
}

void CIoOperation::SetFinished(BOOL fResult, DWORD dwError)
{
    m_fResult = fResult ? TRUE : FALSE;
    m_dwError = fResult ? 0 : dwError;
    m_event.Set();
    ::SetLastError(fResult ? 0 : dwError);
}

void CIoOperation::SetPending()
{
    m_fResult = FALSE;
    m_dwError = ERROR_IO_PENDING;
}

BOOL CIoOperation::CheckDevice()
{
    if (CHECK_NOT_NULL(m_pInstance) && CHECK_NOT_NULL(m_pInstance->m_pDevice))
        return TRUE;
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL CIoOperation::CheckTransfer()
{
    if (!CheckDevice())
        return FALSE;
    if (!CHECK_TRUE(IsValidHandle(m_pInstance->m_hHandle))) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Starting over a transfer in flight (or one not yet collected) would
    // hand its OVERLAPPED and buffer to the system twice.
    if (!CHECK_TRUE(IsComplete())) {
        ::SetLastError(ERROR_BUSY);
        return FALSE;
    }
    return TRUE;
}

BOOL CIoOperation::StartBufferTransfer(DWORD cb)
{
    if (!CheckTransfer())
        return FALSE;
    m_dwRequested = cb;
    m_pDataBlock = NULL;
    return TRUE;
}

BOOL CIoOperation::Read(void* pvBuffer, DWORD cb)
{
    return StartBufferTransfer(cb) && m_pInstance->m_pDevice->DoRead(this, pvBuffer, cb);
}

BOOL CIoOperation::Write(const void* pvBuffer, DWORD cb)
{
    return StartBufferTransfer(cb) && m_pInstance->m_pDevice->DoWrite(this, pvBuffer, cb);
}

BOOL CIoOperation::ReadMessage(CDataBlock* pBlock)
{
    if (!CheckTransfer())
        return FALSE;
    m_dwRequested = 0xFFFFFFFF;
    return m_pInstance->m_pDevice->DoMessageRead(this, pBlock);
}

BOOL CIoOperation::WriteMessage(const void* pvBuffer, DWORD cb)
{
    return StartBufferTransfer(cb) && m_pInstance->m_pDevice->DoMessageWrite(this, pvBuffer, cb);
}

BOOL CIoOperation::SendMessage(CSerializable& object)
{
    CDataBlock block;
    if (!object.Serialize(block))
        return FALSE;
    if (!WriteMessage(block.GetData(), block.GetLength()) && IsComplete())
        return FALSE;
    return GetResult();
}

BOOL CIoOperation::GetResult()
{
    if (!CheckDevice())
        return FALSE;
    // A message device may start its read again (a dropped one-byte
    // message), leaving the operation pending after one round.
    BOOL fResult = m_pInstance->m_pDevice->DoGetResult(this, TRUE);
    while (!fResult && !IsComplete())
        fResult = m_pInstance->m_pDevice->DoGetResult(this, TRUE);
    return fResult;
}

BOOL CIoOperation::TryGetResult()
{
    if (!IsComplete() && m_pInstance != NULL && m_pInstance->m_pDevice != NULL)
        m_pInstance->m_pDevice->DoGetResult(this, FALSE);
    if (!IsComplete()) {
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    ::SetLastError(m_fResult ? 0 : m_dwError);
    return m_fResult;
}

BOOL CIoOperation::WaitForResult(DWORD dwTimeout)
{
    const DWORD dwStart = ::GetTickCount();
    while (!IsComplete()) {
        DWORD dwElapsed = ::GetTickCount() - dwStart;
        DWORD dwLeft = dwTimeout == INFINITE ? INFINITE : (dwElapsed >= dwTimeout ? 0 : dwTimeout - dwElapsed);
        DWORD dwWait = ::WaitForSingleObject(m_event.m_hHandle, dwLeft);
        if (dwWait == WAIT_TIMEOUT) {
            ::SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
        if (dwWait != WAIT_OBJECT_0)
            return FALSE;
        if (m_pInstance == NULL || m_pInstance->m_pDevice == NULL)
            return GetResult();
        // A message device may start its read again and leave the
        // operation pending.
        m_pInstance->m_pDevice->DoGetResult(this, FALSE);
    }
    return GetResult();
}

BOOL CIoOperation::Cancel()
{
    // A message device may start its read again after a dropped message;
    // each round cancels what is in flight then.
    for (int iRound = 0; iRound < 3 && !IsComplete(); iRound++) {
        if (m_dwMessagePhase == MESSAGE_PHASE_RESTART) {
            CollectFinished(0);
            break;
        }
        HANDLE hHandle = CIoDevice::GetInstanceHandle(m_pInstance);
        if (IsValidHandle(hHandle)) {
            // ERROR_NOT_FOUND: it ended meanwhile; collected below all the same.
            ::CancelIoEx(hHandle, &m_overlapped);
        }
        // The system ends a cancelled transfer promptly; the bound only keeps
        // a broken driver from holding this thread for ever.
        if (::WaitForSingleObject(m_event.m_hHandle, 5000) != WAIT_OBJECT_0) {
            DEBUG_ERROR_MSG("A cancelled transfer did not end. Error " << ::GetLastError());
            ::SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
        const DWORD dwSaved = ::GetLastError();
        if (m_pInstance != NULL && m_pInstance->m_pDevice != NULL)
            m_pInstance->m_pDevice->DoGetResult(this, FALSE);
        else
            CollectFinished(0);
        ::SetLastError(dwSaved);
    }
    return IsComplete();
}

void CIoOperation::OnSignalled()
{
    CWaitObject::OnSignalled();
    const DWORD dwError = ::GetLastError();
    if (m_pInstance != NULL && m_pInstance->m_pDevice != NULL)
        m_pInstance->m_pDevice->DoGetResult(this, FALSE);
    ::SetLastError(dwError);
}
