// The fixture of the watched-process tests. The application object is a real
// CSupervisorApp whose records come from a definition file, as in the
// program. The lines name copies of childproc.exe that the test puts, under
// names of its own, into a temporary folder made the current directory, so a
// line needs no path and the UNIQUE test finds its processes by name. Serve
// is one pass of the supervision loop over the records and the quit event.
// The debug log's echo is captured with trace messages on, which shows every
// broadcast (" " + text) beside the debug messages.
//
// Child names are distinct per test and across the test programs, since the
// UNIQUE test and the monitor see every process that runs. TearDown kills
// every process of the test's names, whatever happened.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "test_supervisor_app.h"

// What one pass of the loop served.
struct CServed
{
    BOOL fServed = FALSE;   // FALSE: nothing within the time-out
    BOOL fQuit = FALSE;     // the quit event came out
    std::string csName;     // the record's listed name
    LONG nState = -1;       // its state after OnSignalled, as the loop reads it
    CMilliTime mtServed;    // when the wait returned
};

// Under Wine some calls fail where Windows succeeds (PLATFORM.md).
BOOL IsRunningUnderWine();

class WatchRules : public ::testing::Test
{
protected:
    WatchRules();
    void SetUp() override;
    void TearDown() override;

    CSupervisorApp& App() { return GetSupervisorForTest(); }
    // Copies childproc.exe into the folder under that name ("wr_x.exe").
    void CopyChild(const std::string& csName);
    // Copies the children and reads the text as the definition file.
    BOOL Define(const std::vector<std::string>& acsChildren, const std::string& csText);
    CWatchedProcess& Record(size_t i) { return *App().m_paProcesses.at(i); }
    size_t RecordCount() { return App().m_paProcesses.size(); }
    CWatchedProcess* FindRecordById(DWORD dwProcessId);
    CWatchedProcess* FindRecord(const std::string& csName);
    // As the start-up step does for a record.
    void StartRecord(size_t i);
    // Waits like the supervision loop on every record and the quit event
    // and hands a record that comes out to the end handling.
    CServed Serve(DWORD dwTimeout);
    // Starts a program of the folder outside the supervisor, detached.
    DWORD StartExternal(const std::string& csCommandLine);
    // Ends an external process with that exit code and waits for its end.
    void EndExternal(DWORD dwProcessId, UINT uExitCode);
    // The ids of the running processes of that name (without extension).
    std::vector<DWORD> RunningIds(const std::string& csName);

    std::string Said() const { return m_capture.Text(); }
    // Index of the first echoed line equal to csLine at or after iFrom; -1 if none.
    int LineIndex(const std::string& csLine, int iFrom = 0) const;
    int BroadcastIndex(const std::string& csText, int iFrom = 0) const { return LineIndex(" " + csText, iFrom); }
    int CountLines(const std::string& csLine) const;
    BOOL SaidText(const std::string& csPart) const { return Said().find(csPart) != std::string::npos; }

    std::string m_csDir;
    std::string m_csOldDir;
    std::vector<std::string> m_acsChildren;
    CStderrCapture m_capture;
    CSwitchOn m_traceOn;
};
