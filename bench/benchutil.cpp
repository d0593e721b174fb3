#include "benchutil.h"

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "common/filestuf.h"
#include "common/pipe.h"

namespace {

std::string ReadSmallFile(const std::string& csPath)
{
    std::string csText;
    HANDLE hFile = ::CreateFileA(csPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return csText;
    char ab[4096];
    DWORD cb = 0;
    while (::ReadFile(hFile, ab, sizeof ab, &cb, NULL) && cb > 0)
        csText.append(ab, cb);
    ::CloseHandle(hFile);
    return csText;
}

}  // namespace

CFigures ComputeFigures(std::vector<double> adSamples)
{
    CFigures figures;
    if (adSamples.empty())
        return figures;
    std::sort(adSamples.begin(), adSamples.end());
    const size_t c = adSamples.size();
    figures.m_cSamples = c;
    figures.m_dMin = adSamples.front();
    figures.m_dMax = adSamples.back();
    figures.m_dMedian = c % 2 ? adSamples[c / 2] : (adSamples[c / 2 - 1] + adSamples[c / 2]) / 2;
    size_t iP90 = (c * 9 + 9) / 10;   // nearest rank: ceil(0.9 n)
    figures.m_dP90 = adSamples[std::min(c, std::max<size_t>(iP90, 1)) - 1];
    return figures;
}

std::string FormatFigures(const CFigures& figures, const char* pszUnit)
{
    if (figures.m_cSamples == 0)
        return "no samples";
    return StrFormat("min %.2f  median %.2f  p90 %.2f  max %.2f %s  (n=%u)", figures.m_dMin, figures.m_dMedian,
                     figures.m_dP90, figures.m_dMax, pszUnit, (unsigned)figures.m_cSamples);
}

void PrintLine(const std::string& csLabel, const std::string& csText)
{
    std::string csPadded = "  " + csLabel;
    if (csPadded.size() < 44)
        csPadded.append(44 - csPadded.size(), ' ');
    printf("%s %s\n", csPadded.c_str(), csText.c_str());
    fflush(stdout);
}

void PrintHeading(const std::string& csTitle)
{
    printf("\n== %s  [load %s]\n", csTitle.c_str(), GetLoadText().c_str());
    fflush(stdout);
}

std::string GetLoadText()
{
    std::string csText = ReadSmallFile("Z:\\proc\\loadavg");
    // "0.52 0.58 0.59 1/389 12345": the three averages.
    size_t iEnd = 0;
    for (int nField = 0; nField < 3 && iEnd != std::string::npos; nField++)
        iEnd = csText.find(' ', iEnd + (nField ? 1 : 0));
    if (csText.empty() || iEnd == std::string::npos)
        return "unknown";
    return csText.substr(0, iEnd);
}

std::string GetMachineText()
{
    std::string csProcessor = "unknown processor";
    HKEY hKey = NULL;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", 0, KEY_READ,
                        &hKey) == ERROR_SUCCESS) {
        char szName[256] = "";
        DWORD cb = sizeof szName - 1;
        if (::RegQueryValueExA(hKey, "ProcessorNameString", NULL, NULL, (BYTE*)szName, &cb) == ERROR_SUCCESS)
            csProcessor = szName;
        ::RegCloseKey(hKey);
    }
    while (!csProcessor.empty() && csProcessor.back() == ' ')
        csProcessor.pop_back();
    SYSTEM_INFO si;
    ::GetSystemInfo(&si);
    MEMORYSTATUSEX ms = {sizeof ms};
    ::GlobalMemoryStatusEx(&ms);
    typedef const char*(CDECL * PFNWINEGETVERSION)();
    PFNWINEGETVERSION pfnWineVersion =
        (PFNWINEGETVERSION)(void*)::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version");
    std::string csSystem = pfnWineVersion != NULL ? std::string("Wine ") + pfnWineVersion() : "Windows";
    return StrFormat("%s, %lu logical processors, %llu MB memory, %s", csProcessor.c_str(),
                     (unsigned long)si.dwNumberOfProcessors, (unsigned long long)(ms.ullTotalPhys >> 20),
                     csSystem.c_str());
}

BOOL IsRunningOnWine()
{
    return ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "wine_get_version") != NULL;
}

BOOL CProcessProbe::Open(HANDLE hProcess, DWORD dwProcessId, const std::string& csExePath)
{
    m_hProcess = hProcess;
    m_dwProcessId = dwProcessId;
    m_fWine = IsRunningOnWine();
    m_dwUnixPid = 0;
    if (!m_fWine)
        return TRUE;
    // Wine gives the unix process the first word of the Windows command
    // line as its first argument (a full path or a bare name, as started).
    // The files of /proc are opened by the wine server, so /proc/self would
    // be the server: the process is looked up by that argument.
    WIN32_FIND_DATAA fd;
    DWORD dwByName = 0;
    HANDLE hFind = ::FindFirstFileA("Z:\\proc\\*", &fd);
    if (hFind == INVALID_HANDLE_VALUE)
        return FALSE;
    do {
        if (fd.cFileName[0] < '1' || fd.cFileName[0] > '9')
            continue;
        std::string csCommandLine = ReadSmallFile(std::string("Z:\\proc\\") + fd.cFileName + "\\cmdline");
        std::string csFirst = csCommandLine.substr(0, csCommandLine.find('\0'));
        if (!csFirst.empty() && StrIEqual(csFirst, csExePath)) {
            m_dwUnixPid = strtoul(fd.cFileName, NULL, 10);
            break;
        }
        // Started by a bare name, or a path spelt otherwise: the file
        // name, when no other process has it.
        const std::string csName = csExePath.substr(csExePath.find_last_of('\\') + 1);
        if (csFirst.size() >= csName.size() &&
            (csFirst.size() == csName.size() || csFirst[csFirst.size() - csName.size() - 1] == '\\') &&
            StrIEqual(csFirst.substr(csFirst.size() - csName.size()), csName))
            dwByName = dwByName == 0 ? strtoul(fd.cFileName, NULL, 10) : (DWORD)-1;
    } while (::FindNextFileA(hFind, &fd));
    ::FindClose(hFind);
    if (m_dwUnixPid == 0 && dwByName != (DWORD)-1)
        m_dwUnixPid = dwByName;
    return m_dwUnixPid != 0;
}

CProcessUsage CProcessProbe::ReadWin32() const
{
    CProcessUsage usage;
    FILETIME ftCreation, ftExit, ftKernel, ftUser;
    if (::GetProcessTimes(m_hProcess, &ftCreation, &ftExit, &ftKernel, &ftUser)) {
        ULARGE_INTEGER uliKernel = {{ftKernel.dwLowDateTime, ftKernel.dwHighDateTime}};
        ULARGE_INTEGER uliUser = {{ftUser.dwLowDateTime, ftUser.dwHighDateTime}};
        usage.m_fCpuOk = TRUE;
        usage.m_dCpuMs = (double)(uliKernel.QuadPart + uliUser.QuadPart) / 10000.0;
    }
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof pmc;
    if (::GetProcessMemoryInfo(m_hProcess, (PROCESS_MEMORY_COUNTERS*)&pmc, sizeof pmc)) {
        usage.m_fMemoryOk = TRUE;
        usage.m_cbPrivate = pmc.PrivateUsage;
    }
    DWORD cHandles = 0;
    if (::GetProcessHandleCount(m_hProcess, &cHandles)) {
        usage.m_fHandlesOk = TRUE;
        usage.m_cHandles = cHandles;
    }
    return usage;
}

namespace {

// The entries of the system handle list (SystemExtendedHandleInformation).
struct CHandleEntry
{
    PVOID pvObject;
    ULONG_PTR ulpProcessId;
    ULONG_PTR ulpHandle;
    ULONG ulGrantedAccess;
    USHORT usCreatorBackTraceIndex;
    USHORT usObjectTypeIndex;
    ULONG ulAttributes;
    ULONG ulReserved;
};

BOOL CountHandlesOf(DWORD dwProcessId, DWORD& cHandles)
{
    typedef LONG(NTAPI * PFNQUERY)(ULONG, PVOID, ULONG, PULONG);
    static const PFNQUERY s_pfnQuery =
        (PFNQUERY)(void*)::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    const ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
    const LONG STATUS_INFO_LENGTH_MISMATCH = (LONG)0xC0000004;
    if (s_pfnQuery == NULL)
        return FALSE;
    std::vector<BYTE> ab(1 << 20);
    LONG lStatus;
    ULONG cbReturned = 0;
    while ((lStatus = s_pfnQuery(SYSTEM_EXTENDED_HANDLE_INFORMATION, ab.data(), (ULONG)ab.size(), &cbReturned)) ==
               STATUS_INFO_LENGTH_MISMATCH &&
           ab.size() < (256u << 20))
        ab.resize(ab.size() * 2);
    if (lStatus < 0 || cbReturned < 2 * sizeof(ULONG_PTR))
        return FALSE;
    const ULONG_PTR cEntries = *(const ULONG_PTR*)ab.data();
    const CHandleEntry* pEntries = (const CHandleEntry*)(ab.data() + 2 * sizeof(ULONG_PTR));
    if (cEntries > (ab.size() - 2 * sizeof(ULONG_PTR)) / sizeof(CHandleEntry))
        return FALSE;
    cHandles = 0;
    for (ULONG_PTR i = 0; i < cEntries; i++)
        cHandles += pEntries[i].ulpProcessId == dwProcessId ? 1 : 0;
    return TRUE;
}

// "Name:   1234 kB" of a /proc status file, in bytes.
BOOL ReadStatusKilobytes(const std::string& csStatus, const char* pszName, SIZE_T& cb)
{
    size_t i = csStatus.find(pszName);
    if (i == std::string::npos)
        return FALSE;
    cb = (SIZE_T)strtoull(csStatus.c_str() + i + strlen(pszName), NULL, 10) * 1024;
    return TRUE;
}

}  // namespace

CProcessUsage CProcessProbe::Read() const
{
    if (!m_fWine)
        return ReadWin32();
    CProcessUsage usage;
    const std::string csProc = StrFormat("Z:\\proc\\%lu\\", m_dwUnixPid);
    if (m_dwUnixPid != 0) {
        // utime and stime, the 14th and 15th fields, count every thread of
        // the process, ended ones too, in clock ticks of 10 ms (Linux's
        // USER_HZ). The second field, the name in parentheses, may hold blanks.
        const std::string csStat = ReadSmallFile(csProc + "stat");
        const size_t iNameEnd = csStat.rfind(')');
        if (iNameEnd != std::string::npos) {
            const char* psz = csStat.c_str() + iNameEnd + 1;
            unsigned long long ullUser = 0, ullSystem = 0;
            if (sscanf(psz, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ullUser, &ullSystem) == 2) {
                usage.m_fCpuOk = TRUE;
                usage.m_dCpuMs = (double)(ullUser + ullSystem) * 10.0;
            }
        }
        usage.m_fMemoryOk = ReadStatusKilobytes(ReadSmallFile(csProc + "status"), "RssAnon:", usage.m_cbPrivate);
    }
    usage.m_fHandlesOk = CountHandlesOf(m_dwProcessId, usage.m_cHandles);
    return usage;
}

std::string CProcessProbe::DescribeSource() const
{
    if (!m_fWine)
        return "GetProcessTimes, GetProcessMemoryInfo (PrivateUsage), GetProcessHandleCount";
    const CProcessUsage win32 = ReadWin32();
    return StrFormat("Wine answers GetProcessTimes %.0f ms, PrivateUsage %llu bytes, GetProcessHandleCount %lu "
                     "for it; used instead: /proc/%lu (stat, RssAnon) and the system handle list",
                     win32.m_dCpuMs, (unsigned long long)win32.m_cbPrivate, win32.m_cHandles, m_dwUnixPid);
}

std::string FormatBytes(SIZE_T cb)
{
    return StrFormat("%.1f MB", (double)cb / (1024.0 * 1024.0));
}

std::vector<CStamp> ReadStamps(const std::string& csPath)
{
    std::vector<CStamp> aStamps;
    const std::string csText = ReadSmallFile(csPath);
    size_t iLine = 0;
    while (iLine < csText.size()) {
        size_t iEnd = csText.find('\n', iLine);
        // A line still being written has no line end yet.
        if (iEnd == std::string::npos)
            break;
        const std::string csLine = csText.substr(iLine, iEnd - iLine);
        iLine = iEnd + 1;
        char szWhat[16] = "";
        unsigned long ulPid = 0;
        long long llTicks = 0;
        if (sscanf(csLine.c_str(), "%15s %lu %lld", szWhat, &ulPid, &llTicks) != 3)
            continue;
        CStamp stamp;
        stamp.m_fStart = strcmp(szWhat, "start") == 0;
        stamp.m_dwProcessId = ulPid;
        stamp.m_llTicks = llTicks;
        aStamps.push_back(stamp);
    }
    return aStamps;
}

size_t CountStampStarts(const std::string& csPath)
{
    size_t c = 0;
    for (const CStamp& stamp : ReadStamps(csPath))
        c += stamp.m_fStart ? 1 : 0;
    return c;
}

std::vector<double> EndToStartIntervals(const std::vector<CStamp>& aStamps)
{
    std::vector<CStamp> aSorted = aStamps;
    std::stable_sort(aSorted.begin(), aSorted.end(),
                     [](const CStamp& a, const CStamp& b) { return a.m_llTicks < b.m_llTicks; });
    std::vector<double> adIntervals;
    for (size_t i = 0; i + 1 < aSorted.size(); i++) {
        if (!aSorted[i].m_fStart && aSorted[i + 1].m_fStart && aSorted[i + 1].m_dwProcessId != aSorted[i].m_dwProcessId)
            adIntervals.push_back(TicksToMs(aSorted[i + 1].m_llTicks - aSorted[i].m_llTicks));
    }
    return adIntervals;
}

unsigned long long CRandom::Next()
{
    m_ullState ^= m_ullState << 13;
    m_ullState ^= m_ullState >> 7;
    m_ullState ^= m_ullState << 17;
    return m_ullState;
}

const CProcessProbe& CProbedRun::GetProbe()
{
    if (!m_fProbeOpen && m_pi.hProcess != NULL)
        m_fProbeOpen = m_probe.Open(m_pi.hProcess, m_pi.dwProcessId, m_csExePath);
    return m_probe;
}

BOOL EndRun(CProbedRun& run, DWORD dwTimeoutMs, BOOL fCheckExitCode)
{
    run.Quit();
    const BOOL fEnded = run.WaitForExit(dwTimeoutMs);
    const DWORD dwExitCode = fCheckExitCode ? run.GetExitCode() : 0;
    const size_t cLeft = run.Cleanup();
    if (!fEnded || dwExitCode != 0 || cLeft != 0) {
        const std::string csExitCode = fCheckExitCode ? StrFormat(" (exit code %lu)", dwExitCode) : "";
        printf("  FAILED: supervisor ended %s%s, %u children left running\n", fEnded ? "yes" : "no",
               csExitCode.c_str(), (unsigned)cLeft);
        return FALSE;
    }
    return TRUE;
}

BOOL ConnectPlainServer(const std::string& csName, DWORD cbBuffers, CMessagePipe& pipe, CPipeInstance& instance,
                        CTestClient& client)
{
    pipe.SetServer(GetControlPipeName(csName));
    pipe.m_dwInBufferSize = cbBuffers;
    pipe.m_dwOutBufferSize = cbBuffers;
    instance.OpenAsync(&pipe);
    BOOL fConnected = client.Connect(csName, 5000);
    if (fConnected && instance.IsConnectPending())
        fConnected = instance.FinishConnect();
    return fConnected;
}
