// The building blocks of the supervisor's work, timed one by one in this
// process: what one status line, one broadcast and one monitor pass cost,
// and which part of that is the system's (under Wine: Wine's) own.
#include <windows.h>
#include <stdio.h>
#include <tlhelp32.h>

#include <memory>

#include "benchmarks.h"
#include "benchutil.h"
#include "common/chain.h"
#include "common/millitim.h"
#include "common/perf.h"
#include "common/pipe.h"
#include "common/serial.h"
#include "control.h"
#include "e2e_util.h"
#include "exeinfo.h"

namespace {

template <typename T_>
CFigures TimeRepeated(int cRepeats, T_ fnWork)
{
    std::vector<double> adSamples;
    for (int i = 0; i < cRepeats; i++) {
        const LONGLONG llBefore = NowTicks();
        fnWork();
        adSamples.push_back(TicksToMs(NowTicks() - llBefore));
    }
    return ComputeFigures(adSamples);
}

// What CreateToolhelp32Snapshot asks the system for: every process with
// its threads (NtQuerySystemInformation, SystemProcessInformation).
void QueryProcessList()
{
    typedef LONG(NTAPI * PFNQUERY)(ULONG, PVOID, ULONG, PULONG);
    static const PFNQUERY s_pfnQuery =
        (PFNQUERY)(void*)::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    static std::vector<BYTE> s_ab(1 << 20);
    ULONG cb = 0;
    while (s_pfnQuery != NULL && s_pfnQuery(5, s_ab.data(), (ULONG)s_ab.size(), &cb) == (LONG)0xC0000004)
        s_ab.resize(s_ab.size() * 2);
}

}  // namespace

BOOL RunParts(const CBenchOptions& options)
{
    PrintHeading("Building blocks, timed in this process");
    const int cRepeats = options.m_fQuick ? 50 : 200;
    const std::string csDir = MakeTempDirectory("ovbench");
    char szOldDirectory[MAX_PATH] = "";
    ::GetCurrentDirectoryA(MAX_PATH, szOldDirectory);
    if (!PlaceChild(csDir, "bpart.exe") || !::SetCurrentDirectoryA(csDir.c_str())) {
        printf("  could not prepare %s\n", csDir.c_str());
        return FALSE;
    }
    // One status line: the executable's search and its version resource.
    const std::string csPath = FindExecutableFile("bpart.exe");
    PrintLine("executable search (current dir, PATH)",
              FormatFigures(TimeRepeated(cRepeats, [] { FindExecutableFile("bpart.exe"); })));
    PrintLine("version resource of the found file",
              FormatFigures(TimeRepeated(cRepeats, [&] { GetFileVersionText(csPath); })));
    PrintLine("  of which GetFileVersionInfoSizeA", FormatFigures(TimeRepeated(cRepeats, [&] {
                  DWORD dwHandle = 0;
                  ::GetFileVersionInfoSizeA(csPath.c_str(), &dwHandle);
              })));
    PrintLine("file attributes of the found file", FormatFigures(TimeRepeated(cRepeats, [&] {
                  ::GetFileAttributesA(csPath.c_str());
              })));
    PrintLine("version text, kept while the file is unchanged",
              FormatFigures(TimeRepeated(cRepeats, [] { GetVersionTextOf("bpart.exe"); })));
    const CMilliTime mtNow = CMilliTime::GetCurrentTime();
    PrintLine("time text of a status line", FormatFigures(TimeRepeated(cRepeats, [&] { mtNow.Format(); })));
    ::SetCurrentDirectoryA(szOldDirectory);

    // The loop rebuilds its wait array from every record on each pass;
    // the rebuild beside the wait that follows it, with 1000 records.
    {
        std::vector<std::unique_ptr<CKernelEvent>> apEvents;
        CWaitObjectArray apRecords;
        for (int i = 0; i < 1000; i++) {
            apEvents.emplace_back(new CKernelEvent);
            apEvents.back()->Create(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
            apRecords.push_back(apEvents.back().get());
        }
        PrintLine("wait array rebuilt from 1000 records", FormatFigures(TimeRepeated(cRepeats, [&] {
                      CWaitObjectArray apWaitObjects;
                      ChainObjects(apRecords);
                      apRecords.back()->CollectChain(apWaitObjects);
                  })));
        PrintLine("  a poll of those 1000 (time-out 0)", FormatFigures(TimeRepeated(cRepeats, [&] {
                      WaitForWaitObjects(FALSE, apRecords, 0);
                  })));
        PrintLine("  a wait of 1 ms on them (helpers woken)", FormatFigures(TimeRepeated(cRepeats, [&] {
                      WaitForWaitObjects(FALSE, apRecords, 1);
                  })));
    }

    // One broadcast: a message written on a pipe instance and taken by a
    // client's reader thread. With buffers of size 0 Wine ends a write only
    // when the reader has taken it; the supervisor's pipe has 64 KB.
    for (DWORD cbBuffers : {0ul, 65536ul}) {
        const std::string csPipe = StrFormat("ovbparts%lu_%lu", ::GetCurrentProcessId(), cbBuffers);
        CMessagePipe pipe;
        CPipeInstance instance;
        CTestClient client;
        if (ConnectPlainServer(csPipe, cbBuffers, pipe, instance, client)) {
            CIoOperation opWrite(&instance);
            CControlMessage msg;
            msg.m_dwKind = MSG_TEXT;
            msg.m_csText = "Process bpart.exe(1.0-1.0.0.1)      running       2024-01-01 12:00:00.000.";
            CDataBlock block;
            msg.Serialize(block);
            const CFigures figures = TimeRepeated(cRepeats * 5, [&] {
                if (!opWrite.WriteMessage(block.GetData(), block.GetLength()) && ::GetLastError() == ERROR_IO_PENDING)
                    opWrite.WaitForResult(3000);
            });
            PrintLine(cbBuffers == 0 ? "one message to a client (buffers 0)"
                                     : "  the same with buffers of 64 KB",
                      FormatFigures(figures));
            // Everything taken before the instance closes.
            std::vector<std::string> acsTexts;
            client.ReceiveTexts((size_t)cRepeats * 5, 10000, acsTexts);
        }
        client.Close();
        instance.CloseHandleNow();
        instance.Close();
    }

    // One monitor pass and one UNIQUE test: the census, with more and more
    // processes running (idle children of this run).
    std::vector<HANDLE> ahChildren;
    const int acCounts[] = {0, 100, 500};
    for (int cWanted : acCounts) {
        if (options.m_fQuick && cWanted > 100)
            break;
        while ((int)ahChildren.size() < cWanted) {
            std::string csCommandLine = "\"" + csDir + "\\bpart.exe\" -forever";
            std::vector<char> acCommandLine(csCommandLine.begin(), csCommandLine.end());
            acCommandLine.push_back('\0');
            STARTUPINFOA si = {};
            si.cb = sizeof si;
            PROCESS_INFORMATION pi = {};
            if (!::CreateProcessA(NULL, acCommandLine.data(), NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si,
                                  &pi))
                break;
            ::CloseHandle(pi.hThread);
            ahChildren.push_back(pi.hProcess);
        }
        const size_t cRunning = FindProcessesWithPrefix("").size();
        CProcessCensus census(TRUE);
        census.Collect();
        PrintLine(StrFormat("process census, %u processes running", (unsigned)cRunning),
                  FormatFigures(TimeRepeated(cRepeats / 2, [&] { census.Collect(); })));
        PrintLine("  of which the Toolhelp snapshot", FormatFigures(TimeRepeated(cRepeats / 2, [] {
                      HANDLE h = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
                      ::CloseHandle(h);
                  })));
        PrintLine("  the system call under it", FormatFigures(TimeRepeated(cRepeats / 2, [] {
                      QueryProcessList();
                  })));
    }
    for (HANDLE hChild : ahChildren) {
        ::TerminateProcess(hChild, 0);
        ::WaitForSingleObject(hChild, 5000);
        ::CloseHandle(hChild);
    }
    CProcessCensus census(TRUE);
    census.EnableToolhelpFallback(FALSE);
    PrintLine("performance data query (empty under Wine)", FormatFigures(TimeRepeated(cRepeats, [&] {
                  census.Collect();
              })));
    PrintLine("registry key lookup (event source test)", FormatFigures(TimeRepeated(cRepeats, [] {
                  HKEY hKey = NULL;
                  if (::RegOpenKeyA(HKEY_LOCAL_MACHINE,
                                    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Ovbparts",
                                    &hKey) == ERROR_SUCCESS)
                      ::RegCloseKey(hKey);
              })));
    RemoveDirectoryTree(csDir);
    return TRUE;
}
