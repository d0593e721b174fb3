// Stop ways: the ways of asking one process to end ("please end"), short of
// killing it. Free functions without shared state; any thread may call them.
// None of them waits for the process: the supervision loop calls
// DeliverStopWay for the first way of a program's list, waits for the end
// in its own loop, and goes on with the next way when the process outlives
// its grace or when a way cannot reach it (FALSE).
//
// Use: ParseStopWays once for the program's list; IsGuiImage to pick a
// default list; DeliverStopWay per way while stopping.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

// The ways of asking a process to end, as STOPMETHOD names them.
enum { STOP_WAY_CTRLC = 1, STOP_WAY_CTRLBREAK = 2, STOP_WAY_CLOSE = 3, STOP_WAY_QUIT = 4 };
typedef std::vector<DWORD> CStopWayArray;

// "ctrlc,ctrlbreak,close,quit": names separated by commas, without regard to
// case, blanks around names allowed. FALSE (ERROR_INVALID_PARAMETER, the
// array left as it was) for an empty list or name, an unknown name or a name
// given twice.
BOOL ParseStopWays(const std::string& csText, CStopWayArray& adwWays);
// The name of a way ("ctrlc", "ctrlbreak", "close", "quit"); "?" for others.
const char* GetStopWayName(DWORD dwWay);

// Asks the process once by this way and returns at once. TRUE when the
// request was delivered (not that the process will end); FALSE with the
// last error set when this way cannot reach the process:
//  - ctrlc, ctrlbreak: a thread started in the process at the console
//    control routine runs its control handlers (or the default one, which
//    ends it). ERROR_NOT_SUPPORTED when its bitness differs from ours.
//  - close: WM_CLOSE posted to each of its top-level windows;
//    ERROR_NOT_FOUND when it has none.
//  - quit: WM_QUIT posted to each of its threads; TRUE when one took it
//    (threads without a message queue refuse it).
// hProcess needs PROCESS_CREATE_THREAD, PROCESS_QUERY_INFORMATION,
// PROCESS_VM_OPERATION, PROCESS_VM_WRITE and PROCESS_VM_READ.
BOOL DeliverStopWay(DWORD dwWay, HANDLE hProcess, DWORD dwProcessId);

// TRUE when the executable file is a GUI-subsystem image; FALSE for console
// images and files that cannot be read or are no image (console is the
// default). Reads only the headers.
BOOL IsGuiImage(const std::string& csPath);
