// The file device.
#include "common/filex.h"

#include "common/assertex.h"

CFileDevice::CFileDevice()
    : m_dwCreationDisposition(0), m_dwDesiredAccess(0), m_dwShareMode(0), m_dwFlagsAndAttributes(0)
{
}

CFileDevice::~CFileDevice()
{
}

void CFileDevice::SetFile(const std::string& csFileName, DWORD dwCreationDisposition, DWORD dwDesiredAccess,
                          DWORD dwShareMode, DWORD dwFlagsAndAttributes)
{
    ASSERT_COND(m_cInstances, ==, 0);
    m_csFileName = csFileName;
    m_dwCreationDisposition = dwCreationDisposition;
    m_dwDesiredAccess = dwDesiredAccess;
    m_dwShareMode = dwShareMode;
    m_dwFlagsAndAttributes = dwFlagsAndAttributes;
}

void CFileDevice::DoReset()
{
    CIoDevice::DoReset();
    m_csFileName.clear();
    m_dwCreationDisposition = 0;
    m_dwDesiredAccess = 0;
    m_dwShareMode = 0;
    m_dwFlagsAndAttributes = 0;
}

BOOL CFileDevice::DoCreate(CIoInstance* pInstance)
{
    HANDLE hHandle = ::CreateFileA(m_csFileName.c_str(), m_dwDesiredAccess, m_dwShareMode, GetSecurityAttributes(),
                                   m_dwCreationDisposition,
                                   m_dwFlagsAndAttributes | (m_fOverlapped ? FILE_FLAG_OVERLAPPED : 0), NULL);
    if (hHandle == INVALID_HANDLE_VALUE)
        return FALSE;
    pInstance->m_hHandle = hHandle;
    return TRUE;
}

BOOL CFileDevice::DoRead(CIoOperation* pOperation, void* pvBuffer, DWORD cb)
{
    DWORD cbRead = 0;
    // With an OVERLAPPED, a read at the end fails with ERROR_HANDLE_EOF on a
    // synchronous handle too; a success with no bytes is turned into the
    // same failure, so both ways end alike.
    BOOL fOk = ::ReadFile(GetInstanceHandle(pOperation->m_pInstance), pvBuffer, cb, &cbRead,
                          &pOperation->m_overlapped);
    if (fOk && cbRead == 0 && cb > 0) {
        pOperation->m_dwActual = 0;
        pOperation->SetFinished(0, ERROR_HANDLE_EOF);
        return FALSE;
    }
    return FinishStart(pOperation, fOk, cbRead);
}
