// Stop ways: parsing a program's list, and delivering one way to a process.
#include "common/stopway.h"

#include <stddef.h>
#include <string.h>

#include <memory>
#include <tlhelp32.h>

#include "common/handle.h"
#include "common/strutil.h"

namespace {

struct CStopWayName
{
    DWORD m_dwWay;
    const char* m_pszName;
};

const CStopWayName g_aStopWayNames[] = {
    {STOP_WAY_CTRLC, "ctrlc"},
    {STOP_WAY_CTRLBREAK, "ctrlbreak"},
    {STOP_WAY_CLOSE, "close"},
    {STOP_WAY_QUIT, "quit"},
};

std::string TrimBlanks(const std::string& cs)
{
    const char* pszBlanks = " \t";
    std::string::size_type iFirst = cs.find_first_not_of(pszBlanks);
    if (iFirst == std::string::npos)
        return std::string();
    return cs.substr(iFirst, cs.find_last_not_of(pszBlanks) - iFirst + 1);
}

BOOL FailWith(DWORD dwError)
{
    ::SetLastError(dwError);
    return FALSE;
}

// A 32-bit process under WOW64 and a native one map the system DLLs at
// different addresses.
BOOL IsSameBitness(HANDLE hProcess, BOOL& fSame)
{
    BOOL fOursWow64 = FALSE;
    BOOL fTheirsWow64 = FALSE;
    if (!::IsWow64Process(::GetCurrentProcess(), &fOursWow64) || !::IsWow64Process(hProcess, &fTheirsWow64))
        return FALSE;
    fSame = !fOursWow64 == !fTheirsWow64;
    return TRUE;
}

// The system DLLs sit at the same address in every process of one bitness,
// so our own address of the routine is the target's.
// The console control routine. System modules lie at one address in every
// process of a boot (of one bitness), so ours is the target's too.
LPTHREAD_START_ROUTINE GetCtrlRoutine()
{
    const char* apszModules[] = {"kernelbase.dll", "kernel32.dll"};
    for (const char* pszModule : apszModules) {
        HMODULE hModule = ::GetModuleHandleA(pszModule);
        FARPROC pfn = hModule != NULL ? ::GetProcAddress(hModule, "CtrlRoutine") : NULL;
        if (pfn != NULL)
            return (LPTHREAD_START_ROUTINE)(void*)pfn;
    }
    return NULL;
}

struct CCtrlRequest
{
    CHandle m_hProcess;
    LPTHREAD_START_ROUTINE m_pfnRoutine;
    DWORD m_dwEvent;
};

// Starts the remote thread from a thread of its own: under Wine a remote
// thread is made by the target itself, and the call waits until the target
// gets to it, which a process still starting up may not do for a long time
// (seen here: a quit that asked a line started a moment before held the
// supervision loop past its deadlines). The caller never waits for it.
DWORD WINAPI StartRemoteCtrlThread(LPVOID pv)
{
    std::unique_ptr<CCtrlRequest> pRequest(static_cast<CCtrlRequest*>(pv));
    CHandle hThread(::CreateRemoteThread(pRequest->m_hProcess.Get(), NULL, 0, pRequest->m_pfnRoutine,
                                         (LPVOID)(ULONG_PTR)pRequest->m_dwEvent, 0, NULL));
    return hThread.IsValid() ? 0 : ::GetLastError();
}

BOOL DeliverCtrlEvent(DWORD dwEvent, HANDLE hProcess)
{
    BOOL fSame = FALSE;
    if (!IsSameBitness(hProcess, fSame))
        return FALSE;
    if (!fSame)
        return FailWith(ERROR_NOT_SUPPORTED);
    LPTHREAD_START_ROUTINE pfnCtrlRoutine = GetCtrlRoutine();
    if (pfnCtrlRoutine == NULL)
        return FailWith(ERROR_PROC_NOT_FOUND);
    // The thread is started later, elsewhere: an ended process is refused here.
    if (::WaitForSingleObject(hProcess, 0) != WAIT_TIMEOUT)
        return FailWith(ERROR_PROCESS_ABORTED);
    std::unique_ptr<CCtrlRequest> pRequest(new CCtrlRequest);
    pRequest->m_pfnRoutine = pfnCtrlRoutine;
    pRequest->m_dwEvent = dwEvent;
    // The request outlives the caller's handle, which a stop may close.
    if (!::DuplicateHandle(::GetCurrentProcess(), hProcess, ::GetCurrentProcess(), pRequest->m_hProcess.Receive(), 0,
                           FALSE, DUPLICATE_SAME_ACCESS))
        return FALSE;
    // Delivered means handed on: a remote thread that cannot be made leaves
    // the request to the next way of the chain, a moment later.
    CHandle hStarter(::CreateThread(NULL, 64 * 1024, StartRemoteCtrlThread, pRequest.get(),
                                    STACK_SIZE_PARAM_IS_A_RESERVATION, NULL));
    if (!hStarter.IsValid())
        return FALSE;
    pRequest.release();
    return TRUE;
}

struct CCloseWindows
{
    DWORD m_dwProcessId;
    int m_nFound;
    int m_nPosted;
    DWORD m_dwError;
};

BOOL CALLBACK PostCloseToWindow(HWND hwnd, LPARAM lParam)
{
    CCloseWindows& close = *(CCloseWindows*)lParam;
    DWORD dwProcessId = 0;
    ::GetWindowThreadProcessId(hwnd, &dwProcessId);
    if (dwProcessId != close.m_dwProcessId)
        return TRUE;
    close.m_nFound++;
    if (::PostMessageA(hwnd, WM_CLOSE, 0, 0))
        close.m_nPosted++;
    else
        close.m_dwError = ::GetLastError();
    return TRUE;
}

BOOL DeliverClose(DWORD dwProcessId)
{
    CCloseWindows close = {dwProcessId, 0, 0, ERROR_SUCCESS};
    if (!::EnumWindows(PostCloseToWindow, (LPARAM)&close) && close.m_nFound == 0)
        return FALSE;
    if (close.m_nFound == 0)
        return FailWith(ERROR_NOT_FOUND);
    if (close.m_nPosted == 0)
        return FailWith(close.m_dwError);
    return TRUE;
}

BOOL DeliverQuit(DWORD dwProcessId)
{
    CHandle hSnapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!hSnapshot.IsValid())
        return FALSE;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    int nFound = 0;
    int nPosted = 0;
    DWORD dwError = ERROR_SUCCESS;
    for (BOOL fMore = ::Thread32First(hSnapshot.Get(), &entry); fMore;
         fMore = ::Thread32Next(hSnapshot.Get(), &entry)) {
        if (entry.th32OwnerProcessID != dwProcessId)
            continue;
        nFound++;
        if (::PostThreadMessageA(entry.th32ThreadID, WM_QUIT, 0, 0))
            nPosted++;
        else
            dwError = ::GetLastError();
    }
    if (nFound == 0)
        return FailWith(ERROR_NOT_FOUND);
    if (nPosted == 0)
        return FailWith(dwError);
    return TRUE;
}

// Reads exactly cb bytes at the offset; FALSE for a short file.
BOOL ReadAt(HANDLE hFile, DWORD dwOffset, void* pv, DWORD cb)
{
    LONG nHigh = 0;
    if (::SetFilePointer(hFile, (LONG)dwOffset, &nHigh, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
        ::GetLastError() != NO_ERROR)
        return FALSE;
    DWORD cbRead = 0;
    return ::ReadFile(hFile, pv, cb, &cbRead, NULL) && cbRead == cb;
}

}  // namespace

BOOL ParseStopWays(const std::string& csText, CStopWayArray& adwWays)
{
    CStopWayArray adwParsed;
    std::string::size_type iStart = 0;
    for (;;) {
        std::string::size_type iComma = csText.find(',', iStart);
        const std::string csName =
            TrimBlanks(csText.substr(iStart, iComma == std::string::npos ? std::string::npos : iComma - iStart));
        DWORD dwWay = 0;
        for (const CStopWayName& name : g_aStopWayNames) {
            if (StrIEqual(csName, name.m_pszName))
                dwWay = name.m_dwWay;
        }
        if (dwWay == 0)
            return FailWith(ERROR_INVALID_PARAMETER);
        for (DWORD dwSeen : adwParsed) {
            if (dwSeen == dwWay)
                return FailWith(ERROR_INVALID_PARAMETER);
        }
        adwParsed.push_back(dwWay);
        if (iComma == std::string::npos)
            break;
        iStart = iComma + 1;
    }
    adwWays.swap(adwParsed);
    return TRUE;
}

const char* GetStopWayName(DWORD dwWay)
{
    for (const CStopWayName& name : g_aStopWayNames) {
        if (name.m_dwWay == dwWay)
            return name.m_pszName;
    }
    return "?";
}

BOOL DeliverStopWay(DWORD dwWay, HANDLE hProcess, DWORD dwProcessId)
{
    switch (dwWay) {
    case STOP_WAY_CTRLC:
        return DeliverCtrlEvent(CTRL_C_EVENT, hProcess);
    case STOP_WAY_CTRLBREAK:
        return DeliverCtrlEvent(CTRL_BREAK_EVENT, hProcess);
    case STOP_WAY_CLOSE:
        return DeliverClose(dwProcessId);
    case STOP_WAY_QUIT:
        return DeliverQuit(dwProcessId);
    }
    return FailWith(ERROR_INVALID_PARAMETER);
}

BOOL IsGuiImage(const std::string& csPath)
{
    CHandle hFile(::CreateFileA(csPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL));
    if (!hFile.IsValid())
        return FALSE;
    BOOL fGui = FALSE;
    IMAGE_DOS_HEADER dosheader;
    // The NT headers up to the optional header's Subsystem field, which sits
    // at the same offset in 32-bit and 64-bit images.
    const DWORD cbSubsystemEnd = offsetof(IMAGE_OPTIONAL_HEADER32, Subsystem) + sizeof(WORD);
    static_assert(offsetof(IMAGE_OPTIONAL_HEADER32, Subsystem) == offsetof(IMAGE_OPTIONAL_HEADER64, Subsystem),
                  "Subsystem moves between image kinds");
    BYTE abNt[sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER) + cbSubsystemEnd];
    if (ReadAt(hFile.Get(), 0, &dosheader, sizeof dosheader) && dosheader.e_magic == IMAGE_DOS_SIGNATURE &&
        dosheader.e_lfanew > 0 && ReadAt(hFile.Get(), (DWORD)dosheader.e_lfanew, abNt, sizeof abNt)) {
        DWORD dwSignature = 0;
        IMAGE_FILE_HEADER fileheader;
        WORD wMagic = 0;
        WORD wSubsystem = 0;
        memcpy(&dwSignature, abNt, sizeof dwSignature);
        memcpy(&fileheader, abNt + sizeof(DWORD), sizeof fileheader);
        const BYTE* pbOptional = abNt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
        memcpy(&wMagic, pbOptional, sizeof wMagic);
        memcpy(&wSubsystem, pbOptional + offsetof(IMAGE_OPTIONAL_HEADER32, Subsystem), sizeof wSubsystem);
        fGui = dwSignature == IMAGE_NT_SIGNATURE &&
               (wMagic == IMAGE_NT_OPTIONAL_HDR32_MAGIC || wMagic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) &&
               fileheader.SizeOfOptionalHeader >= cbSubsystemEnd && wSubsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
    }
    return fGui;
}
