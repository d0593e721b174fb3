// CFileDevice: the I/O device for disk files. It holds a file name and the
// CreateFileA parameters (SetFile, while no instance is open); each Open
// opens the file anew. A read at the end of the file fails with
// ERROR_HANDLE_EOF, so a reader's loop ends there. Each operation
// keeps its own file position, which every finished transfer advances.
// A device, its instances and their operations are used by one thread.
//
// Use: device.SetFile(csName, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ, 0);
// instance.Open(&device); CIoOperation op(&instance);
// while (op.Read(achBlock, sizeof achBlock)) use op.GetActual() bytes;
// instance.Close();
#pragma once

#include <string>

#include "common/cio.h"

class CFileDevice : public CIoDevice
{
public:
    CFileDevice();
    virtual ~CFileDevice();

    void SetFile(const std::string& csFileName, DWORD dwCreationDisposition, DWORD dwDesiredAccess,
                 DWORD dwShareMode, DWORD dwFlagsAndAttributes);

    virtual BOOL DoCreate(CIoInstance* pInstance) override;
    virtual BOOL DoRead(CIoOperation* pOperation, void* pvBuffer, DWORD cb) override;
    virtual void DoReset() override;

    std::string m_csFileName;
    DWORD m_dwCreationDisposition;
    DWORD m_dwDesiredAccess;
    DWORD m_dwShareMode;
    DWORD m_dwFlagsAndAttributes;   // FILE_FLAG_OVERLAPPED added when overlapped
};
