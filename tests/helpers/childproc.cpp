// childproc.exe: the child program of the tests. What it does is set by its
// arguments, which combine freely and act in this order:
//   -pidfile PATH        write its process id (decimal) to PATH
//   -envfile PATH NAME   write the value of the environment variable NAME
//                        to PATH ("(unset)" when it does not exist)
//   -cwdfile PATH        write its current directory to PATH
//   -argsfile PATH       write its whole command line to PATH
//   -stampfile PATH      append "start PID TICKS" to PATH at once and
//                        "end PID TICKS" just before it ends by -crash or
//                        -exit (TICKS: QueryPerformanceCounter, which every
//                        process of the machine shares); the benchmarks
//                        time restarts with it
//   -grandchild PATH     start a copy of itself that writes its process id
//                        to PATH and runs until killed (a process tree)
//   -ignorectrl          ignore every console control event
//   -onctrl PATH         on any console control event, write its name
//                        ("ctrlc", "ctrlbreak", "close", "logoff",
//                        "shutdown") to PATH and end with exit code 0
//   -onbreak PATH        the same for Ctrl-Break only ("ctrlbreak"); any
//                        other event goes on to the default handler, which
//                        ends it without writing anything
//   -msgloop PATH        make a hidden top-level window and run a message
//                        loop on the main thread instead of -sleep and
//                        -forever: WM_CLOSE to the window writes "close" to
//                        PATH, WM_QUIT to the thread writes "quit"; either
//                        ends it with exit code 0
//   -print COUNT         write COUNT numbered lines of 100 bytes to standard
//                        output ("out 00000000 ..."), 40 lines per write
//   -printerr COUNT      the same to standard error ("err 00000000 ...")
//   -printfile PATH COUNT  the same lines appended to PATH by itself (what
//                        capturing its output is measured against)
//   -tick COUNT MS       write COUNT lines "tick LOCALTIME" to standard
//                        output, MS milliseconds apart (LOCALTIME as
//                        2026-12-08T07:16:41.123, taken just before the write)
//   -halfline MS         write "half LOCALTIME " to standard output, sleep
//                        MS milliseconds, then write "rest" and the line end
//   -listen PORT MS      MS milliseconds later, listen on 127.0.0.1:PORT and
//                        answer every request with "HTTP/1.0 200 OK" (on a
//                        thread of its own, while the other arguments act)
//   -hang MS             MS milliseconds after -listen began to listen, stop
//                        answering: connections are still taken, never
//                        answered, so the port stays open
//   -grow MB MS          every MS milliseconds, allocate MB more megabytes
//                        and write to each page (on a thread of its own),
//                        up to 1 GB
//   -setevent NAME       open the named event and set it
//   -sleep MS            sleep MS milliseconds
//   -forever             then wait until killed
//   -crash               then end with the crash code 0xC0000005 (an access
//                        violation's status, without raising one: Wine
//                        would start its debugger)
//   -exit CODE           then end with exit code CODE (decimal, or hex with 0x)
// -onctrl, -onbreak and -msgloop set up their handler, window and message
// queue before any other argument acts, so a -pidfile that exists means
// the child is ready for them.
// Without -exit or -crash the exit code is 0. Every file is written whole
// under a temporary name and then renamed, so a reader that sees the file
// sees all of it. Unknown arguments are ignored.
#include <winsock2.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>

#include "common/handle.h"

namespace {

volatile BOOL g_fIgnoreCtrl = FALSE;

const char* g_pszOnCtrlFile = NULL;
const char* g_pszOnBreakFile = NULL;
const char* g_pszMsgLoopFile = NULL;

BOOL WINAPI CtrlHandler(DWORD)
{
    return g_fIgnoreCtrl;
}

void WriteWholeFile(const char* pszPath, const std::string& csText)
{
    const std::string csTemp = std::string(pszPath) + ".tmp";
    CHandle hFile(::CreateFileA(csTemp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    if (!hFile.IsValid())
        return;
    DWORD cbWritten = 0;
    ::WriteFile(hFile.Get(), csText.data(), (DWORD)csText.size(), &cbWritten, NULL);
    // An open file cannot be renamed over the target.
    hFile.Reset();
    ::MoveFileExA(csTemp.c_str(), pszPath, MOVEFILE_REPLACE_EXISTING);
}

const char* GetCtrlEventName(DWORD dwEvent)
{
    switch (dwEvent) {
    case CTRL_C_EVENT:
        return "ctrlc";
    case CTRL_BREAK_EVENT:
        return "ctrlbreak";
    case CTRL_CLOSE_EVENT:
        return "close";
    case CTRL_LOGOFF_EVENT:
        return "logoff";
    case CTRL_SHUTDOWN_EVENT:
        return "shutdown";
    }
    return "other";
}

BOOL WINAPI OnCtrlHandler(DWORD dwEvent)
{
    WriteWholeFile(g_pszOnCtrlFile, GetCtrlEventName(dwEvent));
    ::ExitProcess(0);
}

BOOL WINAPI OnBreakHandler(DWORD dwEvent)
{
    if (dwEvent != CTRL_BREAK_EVENT)
        return FALSE;
    WriteWholeFile(g_pszOnBreakFile, GetCtrlEventName(dwEvent));
    ::ExitProcess(0);
}

LRESULT CALLBACK MsgLoopWindowProc(HWND hwnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg == WM_CLOSE) {
        WriteWholeFile(g_pszMsgLoopFile, "close");
        ::ExitProcess(0);
    }
    return ::DefWindowProcA(hwnd, uMsg, wParam, lParam);
}

// The window may be missing (no desktop to make it on); the thread's
// message queue is made anyway, so that WM_QUIT finds it.
void MakeMsgLoopWindow()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = MsgLoopWindowProc;
    wc.hInstance = ::GetModuleHandleA(NULL);
    wc.lpszClassName = "OvrinTestChildWindow";
    ::RegisterClassA(&wc);
    ::CreateWindowExA(0, wc.lpszClassName, "childproc", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, wc.hInstance, NULL);
    MSG msg;
    ::PeekMessageA(&msg, NULL, 0, 0, PM_NOREMOVE);
}

void RunMsgLoop()
{
    MSG msg;
    while (::GetMessageA(&msg, NULL, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    WriteWholeFile(g_pszMsgLoopFile, "quit");
    ::ExitProcess(0);
}

// COUNT lines "TAG NNNNNNNN xxx...x" of 100 bytes with their LF, in writes
// of 40 lines, as a program that logs busily does.
void PrintLines(HANDLE hOut, const char* pszTag, DWORD cLines)
{
    std::string csBatch;
    for (DWORD n = 0; n < cLines; n++) {
        char szLine[128];
        int cch = snprintf(szLine, sizeof szLine, "%s %08lu ", pszTag, (unsigned long)n);
        csBatch.append(szLine, (size_t)cch);
        csBatch.append((size_t)(99 - cch), 'x');
        csBatch += '\n';
        if ((n + 1) % 40 == 0 || n + 1 == cLines) {
            DWORD cbWritten = 0;
            if (!::WriteFile(hOut, csBatch.data(), (DWORD)csBatch.size(), &cbWritten, NULL))
                return;
            csBatch.clear();
        }
    }
}

// One whole line per call; children that run at the same time use a file each.
void AppendStamp(const char* pszPath, const char* pszWhat)
{
    LARGE_INTEGER liNow;
    ::QueryPerformanceCounter(&liNow);
    char szLine[80];
    int cch = snprintf(szLine, sizeof szLine, "%s %lu %lld\n", pszWhat, ::GetCurrentProcessId(), liNow.QuadPart);
    CHandle hFile(::CreateFileA(pszPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    if (!hFile.IsValid())
        return;
    DWORD cbWritten = 0;
    ::WriteFile(hFile.Get(), szLine, (DWORD)cch, &cbWritten, NULL);
}

void WriteLocalTime(const char* pszBefore, const char* pszAfter)
{
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    char sz[96];
    int cch = snprintf(sz, sizeof sz, "%s%04u-%02u-%02uT%02u:%02u:%02u.%03u%s", pszBefore, st.wYear, st.wMonth, st.wDay,
                       st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, pszAfter);
    DWORD cbWritten = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), sz, (DWORD)cch, &cbWritten, NULL);
}

DWORD ParseNumber(const char* psz)
{
    return (DWORD)strtoul(psz, NULL, 0);
}

struct CServerArgs
{
    WORD m_wPort;
    DWORD m_dwDelayMs;
    DWORD m_dwHangMs;   // INFINITE: never
};
CServerArgs g_server = {0, 0, INFINITE};

// Winsock is loaded only by a child that listens, so that the children of
// every other test and benchmark load what they loaded before (the
// benchmarks time their starts).
struct CWinsock
{
    int(WSAAPI* m_pfnStartup)(WORD, LPWSADATA);
    SOCKET(WSAAPI* m_pfnSocket)(int, int, int);
    int(WSAAPI* m_pfnBind)(SOCKET, const sockaddr*, int);
    int(WSAAPI* m_pfnListen)(SOCKET, int);
    SOCKET(WSAAPI* m_pfnAccept)(SOCKET, sockaddr*, int*);
    int(WSAAPI* m_pfnRecv)(SOCKET, char*, int, int);
    int(WSAAPI* m_pfnSend)(SOCKET, const char*, int, int);
    int(WSAAPI* m_pfnClose)(SOCKET);

    BOOL Load()
    {
        HMODULE hWs2 = ::LoadLibraryA("ws2_32.dll");
        if (hWs2 == NULL)
            return FALSE;
        const std::pair<void**, const char*> aFunctions[] = {
            {(void**)&m_pfnStartup, "WSAStartup"}, {(void**)&m_pfnSocket, "socket"},
            {(void**)&m_pfnBind, "bind"},          {(void**)&m_pfnListen, "listen"},
            {(void**)&m_pfnAccept, "accept"},      {(void**)&m_pfnRecv, "recv"},
            {(void**)&m_pfnSend, "send"},          {(void**)&m_pfnClose, "closesocket"}};
        for (const auto& function : aFunctions) {
            *function.first = (void*)::GetProcAddress(hWs2, function.second);
            if (*function.first == NULL)
                return FALSE;
        }
        WSADATA data;
        return m_pfnStartup(MAKEWORD(2, 2), &data) == 0;
    }
};

// Accepts connections one after another; each request (or its first
// bytes) is answered and the connection closed, until the hang.
DWORD WINAPI ServeHttp(LPVOID)
{
    ::Sleep(g_server.m_dwDelayMs);
    CWinsock ws;
    if (!ws.Load())
        return 1;
    SOCKET sListen = ws.m_pfnSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    // Network byte order, without Winsock's helpers.
    addr.sin_port = (u_short)((g_server.m_wPort >> 8) | ((g_server.m_wPort & 0xFF) << 8));
    addr.sin_addr.s_addr = 0x0100007F;   // 127.0.0.1
    if (ws.m_pfnBind(sListen, (const sockaddr*)&addr, sizeof addr) != 0 || ws.m_pfnListen(sListen, SOMAXCONN) != 0)
        return 1;
    const DWORD dwListening = ::GetTickCount();
    for (;;) {
        SOCKET s = ws.m_pfnAccept(sListen, NULL, NULL);
        if (s == INVALID_SOCKET)
            continue;
        if (g_server.m_dwHangMs != INFINITE && ::GetTickCount() - dwListening >= g_server.m_dwHangMs)
            continue;   // kept open, never answered
        char achRequest[1024];
        ws.m_pfnRecv(s, achRequest, sizeof achRequest, 0);
        static const char s_szAnswer[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
        ws.m_pfnSend(s, s_szAnswer, sizeof s_szAnswer - 1, 0);
        ws.m_pfnClose(s);
    }
}

struct CGrowArgs
{
    DWORD m_dwMb;
    DWORD m_dwPauseMs;
};
CGrowArgs g_grow = {0, 0};

DWORD WINAPI GrowMemory(LPVOID)
{
    for (DWORD dwTotalMb = 0; dwTotalMb + g_grow.m_dwMb <= 1024; dwTotalMb += g_grow.m_dwMb) {
        const SIZE_T cb = (SIZE_T)g_grow.m_dwMb << 20;
        BYTE* pb = (BYTE*)::VirtualAlloc(NULL, cb, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (pb == NULL)
            return 1;
        for (SIZE_T i = 0; i < cb; i += 4096)
            pb[i] = 1;
        ::Sleep(g_grow.m_dwPauseMs);
    }
    return 0;
}

void StartThread(LPTHREAD_START_ROUTINE pfn)
{
    CHandle hThread(::CreateThread(NULL, 0, pfn, NULL, 0, NULL));
}

}  // namespace

int main(int argc, char** argv)
{
    DWORD dwSleep = 0;
    BOOL fForever = FALSE;
    BOOL fCrash = FALSE;
    DWORD dwExitCode = 0;
    const char* pszStampFile = NULL;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-stampfile") == 0 && i + 1 < argc) {
            pszStampFile = argv[i + 1];
            AppendStamp(pszStampFile, "start");
            break;
        }
    }
    for (int i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], "-onctrl") == 0) {
            g_pszOnCtrlFile = argv[i + 1];
            ::SetConsoleCtrlHandler(OnCtrlHandler, TRUE);
        } else if (strcmp(argv[i], "-onbreak") == 0) {
            g_pszOnBreakFile = argv[i + 1];
            ::SetConsoleCtrlHandler(OnBreakHandler, TRUE);
        } else if (strcmp(argv[i], "-msgloop") == 0) {
            g_pszMsgLoopFile = argv[i + 1];
            MakeMsgLoopWindow();
        }
    }
    for (int i = 1; i < argc; i++) {
        const char* pszArg = argv[i];
        const BOOL fHasOne = i + 1 < argc;
        if (strcmp(pszArg, "-pidfile") == 0 && fHasOne) {
            char szPid[16];
            snprintf(szPid, sizeof szPid, "%lu", ::GetCurrentProcessId());
            WriteWholeFile(argv[++i], szPid);
        } else if (strcmp(pszArg, "-envfile") == 0 && i + 2 < argc) {
            const char* pszPath = argv[++i];
            const char* pszName = argv[++i];
            DWORD cch = ::GetEnvironmentVariableA(pszName, NULL, 0);
            std::string csValue = "(unset)";
            if (cch > 0) {
                csValue.assign(cch, '\0');
                cch = ::GetEnvironmentVariableA(pszName, &csValue[0], cch);
                csValue.resize(cch);
            } else if (::GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
                csValue.clear();
            }
            WriteWholeFile(pszPath, csValue);
        } else if (strcmp(pszArg, "-cwdfile") == 0 && fHasOne) {
            char szDir[MAX_PATH * 2];
            DWORD cch = ::GetCurrentDirectoryA(sizeof szDir, szDir);
            WriteWholeFile(argv[++i], std::string(szDir, cch < sizeof szDir ? cch : 0));
        } else if (strcmp(pszArg, "-argsfile") == 0 && fHasOne) {
            WriteWholeFile(argv[++i], ::GetCommandLineA());
        } else if (strcmp(pszArg, "-grandchild") == 0 && fHasOne) {
            char szSelf[MAX_PATH];
            DWORD cch = ::GetModuleFileNameA(NULL, szSelf, sizeof szSelf);
            const char* pszPidFile = argv[++i];
            std::string csLine = "\"" + std::string(szSelf, cch < sizeof szSelf ? cch : 0) + "\" -pidfile \"" +
                                 pszPidFile + "\" -forever";
            STARTUPINFOA si = {};
            si.cb = sizeof si;
            PROCESS_INFORMATION pi = {};
            // The grandchild runs on by itself; its handles go at once.
            if (::CreateProcessA(NULL, &csLine[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &si, &pi)) {
                CHandle hThread(pi.hThread);
                CHandle hProcess(pi.hProcess);
            } else {
                // Tells the waiting test why, instead of leaving it to time out.
                WriteWholeFile(pszPidFile, "error " + std::to_string(::GetLastError()));
            }
        } else if (strcmp(pszArg, "-ignorectrl") == 0) {
            g_fIgnoreCtrl = TRUE;
            ::SetConsoleCtrlHandler(NULL, TRUE);
            ::SetConsoleCtrlHandler(CtrlHandler, TRUE);
        } else if ((strcmp(pszArg, "-stampfile") == 0 || strcmp(pszArg, "-onctrl") == 0 ||
                    strcmp(pszArg, "-onbreak") == 0 || strcmp(pszArg, "-msgloop") == 0) &&
                   fHasOne) {
            i++;
        } else if ((strcmp(pszArg, "-print") == 0 || strcmp(pszArg, "-printerr") == 0) && fHasOne) {
            BOOL fOut = pszArg[6] == '\0';
            PrintLines(::GetStdHandle(fOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), fOut ? "out" : "err",
                       ParseNumber(argv[++i]));
        } else if (strcmp(pszArg, "-printfile") == 0 && i + 2 < argc) {
            CHandle hFile(::CreateFileA(argv[++i], GENERIC_WRITE, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, NULL));
            ::SetFilePointer(hFile.Get(), 0, NULL, FILE_END);
            PrintLines(hFile.Get(), "out", ParseNumber(argv[++i]));
        } else if (strcmp(pszArg, "-tick") == 0 && i + 2 < argc) {
            DWORD cTicks = ParseNumber(argv[++i]);
            DWORD dwPause = ParseNumber(argv[++i]);
            for (DWORD n = 0; n < cTicks; n++) {
                if (n > 0)
                    ::Sleep(dwPause);
                WriteLocalTime("tick ", "\n");
            }
        } else if (strcmp(pszArg, "-halfline") == 0 && fHasOne) {
            WriteLocalTime("half ", " ");
            ::Sleep(ParseNumber(argv[++i]));
            DWORD cbWritten = 0;
            ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), "rest\n", 5, &cbWritten, NULL);
        } else if (strcmp(pszArg, "-listen") == 0 && i + 2 < argc) {
            g_server.m_wPort = (WORD)ParseNumber(argv[++i]);
            g_server.m_dwDelayMs = ParseNumber(argv[++i]);
            StartThread(ServeHttp);
        } else if (strcmp(pszArg, "-hang") == 0 && fHasOne) {
            g_server.m_dwHangMs = ParseNumber(argv[++i]);
        } else if (strcmp(pszArg, "-grow") == 0 && i + 2 < argc) {
            g_grow.m_dwMb = ParseNumber(argv[++i]);
            g_grow.m_dwPauseMs = ParseNumber(argv[++i]);
            StartThread(GrowMemory);
        } else if (strcmp(pszArg, "-setevent") == 0 && fHasOne) {
            CHandle hEvent(::OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[++i]));
            ::SetEvent(hEvent.Get());
        } else if (strcmp(pszArg, "-sleep") == 0 && fHasOne) {
            dwSleep = ParseNumber(argv[++i]);
        } else if (strcmp(pszArg, "-forever") == 0) {
            fForever = TRUE;
        } else if (strcmp(pszArg, "-crash") == 0) {
            fCrash = TRUE;
        } else if (strcmp(pszArg, "-exit") == 0 && fHasOne) {
            dwExitCode = ParseNumber(argv[++i]);
        }
    }
    if (g_pszMsgLoopFile != NULL)
        RunMsgLoop();
    if (dwSleep > 0)
        ::Sleep(dwSleep);
    while (fForever)
        ::Sleep(INFINITE);
    if (pszStampFile != NULL)
        AppendStamp(pszStampFile, "end");
    if (fCrash)
        ::ExitProcess(0xC0000005);
    ::ExitProcess(dwExitCode);
}
