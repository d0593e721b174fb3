// Reads what Wine's event log makes of the reports of a process. Wine's
// ReportEventA stores nothing; with the eventlog channels on it writes, for
// each report (measured with Wine 8.0):
//   0124:fixme:advapi:RegisterEventSourceA ((null),"Ovrin"): stub
//   0124:fixme:advapi:ReportEventA (00000000CAFE4242,0x0001,0x0000,0xc00007d3,...,0x0002,...): stub
//   0124:err:eventlog:ReportEventW L"c:\\bin\\srv.exe"     (err, warn or trace by the type)
//   0124:fixme:advapi:DeregisterEventSource (00000000CAFE4242) stub
// Wine writes those lines to the unix standard error that the process
// inherits, whatever hStdError CreateProcess was given. A test that reads
// them therefore runs with its own standard error appended to a file, which
// the children inherit: ovrin_add_trace_test in tests/CMakeLists.txt runs it
// so and names the file in OVRIN_TRACE_FILE. Link e2e_util.cpp too.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

struct CTracedEvent
{
    std::string csSource;   // as the last registration before the report named it
    unsigned uType;
    DWORD dwId;
    std::vector<std::string> acsStrings;
    std::vector<std::string> acsClasses;   // err, warn or trace, one per string
};

struct CEventTrace
{
    std::string csText;   // what was read, for failure messages
    std::vector<CTracedEvent> aEvents;
    int cRegistrations = 0;
    int cDeregistrations = 0;
    std::vector<std::string> acsOtherLines;   // lines that are not Wine's own
};

// The file named by OVRIN_TRACE_FILE, or empty when this program runs
// without one.
std::string GetEventTraceFile();

// Runs csCommandLine with the eventlog channels on, waits up to dwTimeout ms
// (then kills it) and reads what Wine added to csTraceFile meanwhile; the
// process's own output counts as other lines. *pdwExitCode is ~0 when the
// process did not start or end.
CEventTrace RunWithEventTrace(const std::string& csTraceFile, const std::string& csCommandLine, DWORD dwTimeout,
                              DWORD* pdwExitCode);

// For a test whose own Wine traces reach the file (its program runs with the
// eventlog channels on): the file's size now, and what was added after it.
LONGLONG GetEventTraceSize(const std::string& csTraceFile);
CEventTrace ReadEventTraceFrom(const std::string& csTraceFile, LONGLONG llStart);

// Registers an event source for the life of the object, as the install step
// would (its key under HKLM's EventLog\Application key), and removes it
// again unless it was there before. fPresent FALSE makes sure the source is
// not registered.
class CEventSourceKey
{
public:
    CEventSourceKey(const std::string& csSource, BOOL fPresent);
    ~CEventSourceKey();

    LONG m_lResult = ERROR_SUCCESS;

private:
    CEventSourceKey(const CEventSourceKey&) = delete;
    CEventSourceKey& operator=(const CEventSourceKey&) = delete;

    std::string m_csKey;
    BOOL m_fCreated = FALSE;
};
