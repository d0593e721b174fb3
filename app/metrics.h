// The metrics text that monitoring systems read (their text exposition
// format), built in one place for the supervisor's METRICS file and for
// ovrinctl's "status -prom", and CMetricsFile, which writes it to a file
// that readers never see half written.
#pragma once

#include <string>
#include <vector>

#include "common/alarm.h"
#include "common/win32.h"
#include "control.h"

// One process as the metrics show it.
struct CMetricsProcess
{
    std::string m_csExeName;   // as the definition line gives it
    CProcessDetail m_detail;
};

// One supervisor and its processes.
struct CMetricsSource
{
    CMetricsSource() : m_fComputerLabel(FALSE), m_nClients(0) {}
    BOOL m_fComputerLabel;       // every line carries computer="m_csComputer"
    std::string m_csComputer;
    std::string m_csExeName;     // the supervisor's executable file name
    std::string m_csVersion;
    LONG m_nClients;
    std::vector<CMetricsProcess> m_aProcesses;
};

// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& csValue);

// Every family once, with its HELP and TYPE, then its lines for each source
// in turn; lines end with LF alone, and so does the text. Lines that would
// share a name and labels are told apart by an "index" label: an
// external instance's copy always has "pid-<process id>", and lines of the
// definition file that list the same name and executable have their
// position among those lines ("1", "2", ...).
std::string FormatMetrics(const std::vector<CMetricsSource>& aSources);

// Seconds since 1970 (UTC) now.
LONGLONG GetUnixTimeNow();

// The file at m_csPath, written whole by a rename of a temporary file
// beside it, every interval and soon after changes. Its alarm is served by
// the supervision loop; nothing here waits. Supervision thread only.
class CMetricsFile
{
public:
    CMetricsFile();

    // An empty path turns the file off.
    void Configure(const std::string& csPath, LONG nIntervalSeconds);
    BOOL IsEnabled() const { return !m_csPath.empty(); }
    const std::string& GetPath() const { return m_csPath; }
    // The temporary file: its name must not end in ".prom", since collectors
    // read every such file in the folder.
    std::string GetTempPath() const { return m_csPath + ".tmp"; }
    // Arms the first write, at once.
    void Start();
    // A state changed: the next write comes at once, or a second after the
    // last one when that was more recent (changes in bursts write once).
    void NoteChange();
    // Writes csText (the alarm fired) and arms the next write: after the
    // interval, or after a second when the rename failed on a reader's share
    // (a few times in a row). FALSE with the last error when it failed.
    BOOL Write(const std::string& csText);

    CAlarm m_alarm;

private:
    void ArmIn(ULONGLONG ullDelayMs);

    std::string m_csPath;
    LONG m_nIntervalSeconds;
    ULONGLONG m_ullLastWriteMs;   // monotonic; 0 before the first
    ULONGLONG m_ullDueMs;         // when m_alarm fires, while armed
    int m_nRenameRetries;         // quick retries used since the last success
};

// METRICSINTERVAL's default and bounds (seconds).
const LONG c_nDefaultMetricsInterval = 15;
const LONG c_nMaxMetricsInterval = 86400;
