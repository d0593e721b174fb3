#include "e2e_util.h"

#include <tlhelp32.h>
#include <vector>

#include "common/filestuf.h"
#include "common/handle.h"
#include "common/strutil.h"

namespace {

struct CPipeReader
{
    HANDLE m_hRead = NULL;
    std::string m_csText;
};

DWORD WINAPI ReadAll(LPVOID pv)
{
    CPipeReader* pReader = static_cast<CPipeReader*>(pv);
    char ab[4096];
    DWORD cb = 0;
    while (::ReadFile(pReader->m_hRead, ab, sizeof ab, &cb, NULL) && cb > 0)
        pReader->m_csText.append(ab, cb);
    return 0;
}

}  // namespace

void CreateChildPipe(CHandle& hRead, CHandle& hWrite, BOOL fParentReads, DWORD cbBuffer)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, NULL, TRUE};
    ::CreatePipe(hRead.Receive(), hWrite.Receive(), &sa, cbBuffer);
    ::SetHandleInformation((fParentReads ? hRead : hWrite).Get(), HANDLE_FLAG_INHERIT, 0);
}

STARTUPINFOA MakeStdHandlesStartupInfo(HANDLE hInput, HANDLE hOutput, HANDLE hError)
{
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = hInput;
    si.hStdOutput = hOutput;
    si.hStdError = hError;
    return si;
}

CRunResult RunProgram(const std::string& csCommandLine, const std::string& csInput, DWORD dwTimeoutMs,
                      const std::string& csDirectory)
{
    CRunResult result;
    CHandle hInRead, hInWrite, hOutRead, hOutWrite, hErrRead, hErrWrite;
    CreateChildPipe(hInRead, hInWrite, FALSE, 1 << 16);
    CreateChildPipe(hOutRead, hOutWrite, TRUE, 1 << 16);
    CreateChildPipe(hErrRead, hErrWrite, TRUE, 1 << 16);

    STARTUPINFOA si = MakeStdHandlesStartupInfo(hInRead.Get(), hOutWrite.Get(), hErrWrite.Get());
    PROCESS_INFORMATION pi = {};
    std::vector<char> acCommandLine(csCommandLine.begin(), csCommandLine.end());
    acCommandLine.push_back('\0');
    result.m_fStarted = ::CreateProcessA(NULL, acCommandLine.data(), NULL, NULL, TRUE, 0, NULL,
                                       csDirectory.empty() ? NULL : csDirectory.c_str(), &si, &pi);
    // The child's ends go at once: the output pipes end when the child (and
    // whatever inherited them) has gone.
    hInRead.Reset();
    hOutWrite.Reset();
    hErrWrite.Reset();
    CHandle hProcess(pi.hProcess);
    CHandle hMainThread(pi.hThread);

    CPipeReader outReader, errReader;
    outReader.m_hRead = hOutRead.Get();
    errReader.m_hRead = hErrRead.Get();
    CHandle hOutThread(::CreateThread(NULL, 0, ReadAll, &outReader, 0, NULL));
    CHandle hErrThread(::CreateThread(NULL, 0, ReadAll, &errReader, 0, NULL));
    const HANDLE ahThreads[2] = {hOutThread.Get(), hErrThread.Get()};
    if (result.m_fStarted) {
        DWORD cbWritten = 0;
        if (!csInput.empty())
            ::WriteFile(hInWrite.Get(), csInput.data(), (DWORD)csInput.size(), &cbWritten, NULL);
    }
    hInWrite.Reset();
    if (result.m_fStarted) {
        if (::WaitForSingleObject(hProcess.Get(), dwTimeoutMs) != WAIT_OBJECT_0) {
            result.m_fTimedOut = TRUE;
            ::TerminateProcess(hProcess.Get(), 999);
            ::WaitForSingleObject(hProcess.Get(), 5000);
        }
        ::GetExitCodeProcess(hProcess.Get(), &result.m_dwExitCode);
    }
    // Grandchildren may hold the pipes open; do not wait for them for ever.
    if (::WaitForMultipleObjects(2, ahThreads, TRUE, 5000) != WAIT_OBJECT_0) {
        ::CancelSynchronousIo(ahThreads[0]);
        ::CancelSynchronousIo(ahThreads[1]);
        ::WaitForMultipleObjects(2, ahThreads, TRUE, 2000);
    }
    result.m_csOut = outReader.m_csText;
    result.m_csErr = errReader.m_csText;
    return result;
}

std::string GetTestDirectory()
{
    std::string csPath = GetModulePath(NULL);
    return csPath.substr(0, csPath.find_last_of('\\') + 1);
}

std::string MakeTempDirectory(const std::string& csPrefix)
{
    char szTemp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, szTemp);
    for (int i = 0;; i++) {
        std::string csDir = std::string(szTemp) + csPrefix + std::to_string(::GetCurrentProcessId()) + "_" +
                            std::to_string(::GetTickCount()) + "_" + std::to_string(i);
        if (::CreateDirectoryA(csDir.c_str(), NULL))
            return csDir;
    }
}

void RemoveDirectoryTree(const std::string& csDirectory)
{
    WIN32_FIND_DATAA fd;
    HANDLE hFind = ::FindFirstFileA((csDirectory + "\\*").c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            std::string csName = fd.cFileName;
            if (csName != "." && csName != "..")
                ::DeleteFileA((csDirectory + "\\" + csName).c_str());
        } while (::FindNextFileA(hFind, &fd));
        ::FindClose(hFind);
    }
    ::RemoveDirectoryA(csDirectory.c_str());
}

std::string CopyOvrinTo(const std::string& csDirectory, const std::string& csName)
{
    std::string csTarget = csDirectory + "\\" + csName;
    ::CopyFileA((GetTestDirectory() + "Ovrin.exe").c_str(), csTarget.c_str(), FALSE);
    return csTarget;
}

BOOL PlaceChild(const std::string& csDirectory, const std::string& csName)
{
    return ::CopyFileA((GetTestDirectory() + "childproc.exe").c_str(), (csDirectory + "\\" + csName).c_str(), FALSE);
}

BOOL WriteTextFile(const std::string& csPath, const std::string& csText)
{
    CHandle h(::CreateFileA(csPath.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    if (!h.IsValid())
        return FALSE;
    DWORD cb = 0;
    return ::WriteFile(h.Get(), csText.data(), (DWORD)csText.size(), &cb, NULL) && cb == csText.size();
}

BOOL ReadTextFile(const std::string& csPath, std::string& csText)
{
    csText.clear();
    CHandle h(::CreateFileA(csPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                            0, NULL));
    if (!h.IsValid())
        return FALSE;
    char ab[4096];
    DWORD cb = 0;
    while (::ReadFile(h.Get(), ab, sizeof ab, &cb, NULL) && cb > 0)
        csText.append(ab, cb);
    return TRUE;
}

std::vector<std::string> SplitLines(const std::string& csText)
{
    std::vector<std::string> acsLines;
    size_t iStart = 0;
    while (iStart < csText.size()) {
        size_t iEnd = csText.find('\n', iStart);
        if (iEnd == std::string::npos)
            iEnd = csText.size();
        std::string csLine = csText.substr(iStart, iEnd - iStart);
        if (!csLine.empty() && csLine.back() == '\r')
            csLine.pop_back();
        acsLines.push_back(csLine);
        iStart = iEnd + 1;
    }
    return acsLines;
}

std::string JoinLines(const std::vector<std::string>& acs)
{
    std::string cs;
    for (const std::string& c : acs)
        cs += c + "\n";
    return cs;
}

size_t CountPrefixed(const std::vector<std::string>& acs, const std::string& csPrefix)
{
    size_t c = 0;
    for (const std::string& cs : acs)
        c += cs.compare(0, csPrefix.size(), csPrefix) == 0;
    return c;
}

BOOL StartDetached(const std::string& csPath, const std::string& csArgs, CHandle& hProcess)
{
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    std::string csLine = "\"" + csPath + "\" " + csArgs;
    if (!::CreateProcessA(NULL, &csLine[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si, &pi))
        return FALSE;
    CHandle hThread(pi.hThread);   // not needed; closed on return
    hProcess.Reset(pi.hProcess);
    return TRUE;
}

LONGLONG NowTicks()
{
    LARGE_INTEGER li;
    ::QueryPerformanceCounter(&li);
    return li.QuadPart;
}

double TicksToMs(LONGLONG llTicks)
{
    static LONGLONG s_llFrequency = 0;
    if (s_llFrequency == 0) {
        LARGE_INTEGER li;
        ::QueryPerformanceFrequency(&li);
        s_llFrequency = li.QuadPart;
    }
    return (double)llTicks * 1000.0 / (double)s_llFrequency;
}

double MsSince(LONGLONG llTicks)
{
    return TicksToMs(NowTicks() - llTicks);
}

std::vector<DWORD> FindProcessesWithPrefix(const std::string& csPrefix)
{
    std::vector<DWORD> adwIds;
    CHandle hSnapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!hSnapshot.IsValid())
        return adwIds;
    PROCESSENTRY32 pe = {};
    pe.dwSize = sizeof pe;
    for (BOOL f = ::Process32First(hSnapshot.Get(), &pe); f; f = ::Process32Next(hSnapshot.Get(), &pe)) {
        const std::string csName = pe.szExeFile;
        if (csName.size() >= csPrefix.size() && StrIEqual(csName.substr(0, csPrefix.size()), csPrefix))
            adwIds.push_back(pe.th32ProcessID);
    }
    return adwIds;
}

size_t KillProcessesWithPrefix(const std::string& csPrefix)
{
    const std::vector<DWORD> adwIds = FindProcessesWithPrefix(csPrefix);
    for (DWORD dwId : adwIds) {
        CHandle hProcess(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, dwId));
        if (!hProcess.IsValid())
            continue;
        ::TerminateProcess(hProcess.Get(), 1);
        ::WaitForSingleObject(hProcess.Get(), 5000);
    }
    return adwIds.size();
}
