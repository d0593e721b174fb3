// The metrics text and its file.
#include "metrics.h"

#include <stdio.h>

#include <map>
#include <utility>

#include "common/assertex.h"
#include "common/filestuf.h"
#include "common/handle.h"
#include "watched.h"

namespace {

struct CFamily
{
    const char* m_pszName;
    const char* m_pszType;
    const char* m_pszHelp;
};

enum
{
    F_UP,
    F_INFO,
    F_CLIENTS,
    F_PROCESS_UP,
    F_STATE,
    F_RESTARTS,
    F_START_TIME,
    F_EXIT_CODE,
    F_GIVEN_UP,
    F_FORCED_STOPS,
    F_COUNT
};

const CFamily c_aFamilies[F_COUNT] = {
    {"ovrin_up", "gauge", "1 while the supervisor runs (a stale file's time tells when it stopped)."},
    {"ovrin_info", "gauge", "The supervisor's version in its label; always 1."},
    {"ovrin_clients", "gauge", "Clients connected to the supervisor's control pipe."},
    {"ovrin_process_up", "gauge", "1 while the line's process runs."},
    {"ovrin_process_state", "gauge", "1 for the line's current state, 0 for the others."},
    {"ovrin_process_restarts_total", "counter", "Starts of the line after its first since the supervisor started."},
    {"ovrin_process_start_time_seconds", "gauge", "Start of the line's last run, seconds since 1970; 0 before one."},
    {"ovrin_process_last_exit_code", "gauge", "Exit code of the line's last run; -1 before one ended."},
    {"ovrin_process_given_up", "gauge", "1 while the line is given up after MAXRESTARTS."},
    {"ovrin_process_forced_stops_total", "counter", "Stops of the line that needed the kill."},
};

std::string Label(const char* pszName, const std::string& csValue)
{
    return std::string(pszName) + "=\"" + EscapeLabelValue(csValue) + "\"";
}

std::string TrimRight(const std::string& cs)
{
    size_t iEnd = cs.find_last_not_of(' ');
    return iEnd == std::string::npos ? std::string() : cs.substr(0, iEnd + 1);
}

std::string ProcessName(const CMetricsProcess& process)
{
    if (!process.m_detail.m_csUniqueName.empty())
        return process.m_detail.m_csUniqueName;
    return StripExtension(GetFileName(process.m_csExeName));
}

// Adds one line to the family's text: name{labels} value.
void AddLine(std::string& csFamily, const char* pszName, const std::string& csLabels, const std::string& csValue)
{
    csFamily.append(pszName).append("{").append(csLabels).append("} ").append(csValue).append("\n");
}

std::string Number(LONGLONG llValue)
{
    char szValue[32];
    snprintf(szValue, sizeof szValue, "%lld", (long long)llValue);
    return szValue;
}

// Appends one source's lines to each family's text.
void AddSource(const CMetricsSource& source, std::string (&acsFamilies)[F_COUNT])
{
    const std::string csComputer = source.m_fComputerLabel ? Label("computer", source.m_csComputer) + "," : "";
    const std::string csSupervisor = csComputer + Label("name", StripExtension(GetFileName(source.m_csExeName))) +
                                     "," + Label("exe", source.m_csExeName);
    AddLine(acsFamilies[F_UP], c_aFamilies[F_UP].m_pszName, csSupervisor, "1");
    AddLine(acsFamilies[F_INFO], c_aFamilies[F_INFO].m_pszName,
            csSupervisor + "," + Label("version", source.m_csVersion), "1");
    AddLine(acsFamilies[F_CLIENTS], c_aFamilies[F_CLIENTS].m_pszName, csSupervisor, Number(source.m_nClients));

    // Definition lines that list the same name and executable, by position.
    std::map<std::pair<std::string, std::string>, int> mapShared;
    for (const CMetricsProcess& process : source.m_aProcesses) {
        if (!process.m_detail.m_fExternalCopy)
            mapShared[std::make_pair(ProcessName(process), process.m_csExeName)]++;
    }
    std::map<std::pair<std::string, std::string>, int> mapSeen;
    const std::vector<std::string> acsStates = GetStateTexts();
    for (const CMetricsProcess& process : source.m_aProcesses) {
        const CProcessDetail& d = process.m_detail;
        const auto key = std::make_pair(ProcessName(process), process.m_csExeName);
        std::string csLabels = csComputer + Label("name", key.first) + "," + Label("exe", key.second);
        if (d.m_fExternalCopy)
            csLabels += "," + Label("index", "pid-" + std::to_string((unsigned long)d.m_dwProcessId));
        else if (mapShared[key] > 1)
            csLabels += "," + Label("index", std::to_string(++mapSeen[key]));
        const std::string csState = TrimRight(d.m_csState);
        const BOOL fUp = csState == "running" || csState == "stopping";
        AddLine(acsFamilies[F_PROCESS_UP], c_aFamilies[F_PROCESS_UP].m_pszName, csLabels, fUp ? "1" : "0");
        BOOL fKnown = FALSE;
        for (const std::string& csEach : acsStates) {
            fKnown |= csEach == csState;
            AddLine(acsFamilies[F_STATE], c_aFamilies[F_STATE].m_pszName, csLabels + "," + Label("state", csEach),
                    csEach == csState ? "1" : "0");
        }
        if (!fKnown)
            AddLine(acsFamilies[F_STATE], c_aFamilies[F_STATE].m_pszName, csLabels + "," + Label("state", csState),
                    "1");
        AddLine(acsFamilies[F_RESTARTS], c_aFamilies[F_RESTARTS].m_pszName, csLabels, Number(d.m_nRestarts));
        AddLine(acsFamilies[F_START_TIME], c_aFamilies[F_START_TIME].m_pszName, csLabels,
                Number(d.m_llStartTime >= 0 ? d.m_llStartTime : 0));
        AddLine(acsFamilies[F_EXIT_CODE], c_aFamilies[F_EXIT_CODE].m_pszName, csLabels,
                d.m_fHasExitCode ? Number((LONGLONG)d.m_dwExitCode) : std::string("-1"));
        AddLine(acsFamilies[F_GIVEN_UP], c_aFamilies[F_GIVEN_UP].m_pszName, csLabels,
                csState == "given up" ? "1" : "0");
        AddLine(acsFamilies[F_FORCED_STOPS], c_aFamilies[F_FORCED_STOPS].m_pszName, csLabels,
                Number(d.m_nForcedStops));
    }
}

}  // namespace

std::string EscapeLabelValue(const std::string& csValue)
{
    std::string csOut;
    csOut.reserve(csValue.size());
    for (char ch : csValue) {
        if (ch == '\\')
            csOut += "\\\\";
        else if (ch == '"')
            csOut += "\\\"";
        else if (ch == '\n')
            csOut += "\\n";
        else
            csOut += ch;
    }
    return csOut;
}

std::string FormatMetrics(const std::vector<CMetricsSource>& aSources)
{
    std::string acsFamilies[F_COUNT];
    for (const CMetricsSource& source : aSources)
        AddSource(source, acsFamilies);
    std::string csText;
    for (int i = 0; i < F_COUNT; i++) {
        const CFamily& family = c_aFamilies[i];
        csText.append("# HELP ").append(family.m_pszName).append(" ").append(family.m_pszHelp).append("\n");
        csText.append("# TYPE ").append(family.m_pszName).append(" ").append(family.m_pszType).append("\n");
        csText += acsFamilies[i];
    }
    return csText;
}

LONGLONG GetUnixTimeNow()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    const ULONGLONG ull = ((ULONGLONG)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
    // 100 ns units since 1601; 11644473600 s lie between 1601 and 1970.
    return (LONGLONG)(ull / 10000000ULL) - 11644473600LL;
}

namespace {

// Quick retries of a rename that a reader's open file refused; then the
// interval again, so that a reader that holds the file for good does not
// keep the loop writing every second.
const int c_nRenameRetries = 5;
const ULONGLONG c_ullMinGapMs = 1000;

}  // namespace

CMetricsFile::CMetricsFile()
    : m_nIntervalSeconds(c_nDefaultMetricsInterval), m_ullLastWriteMs(0), m_ullDueMs(0), m_nRenameRetries(0)
{
}

void CMetricsFile::Configure(const std::string& csPath, LONG nIntervalSeconds)
{
    m_csPath = csPath;
    m_nIntervalSeconds = nIntervalSeconds > 0 ? nIntervalSeconds : c_nDefaultMetricsInterval;
    m_alarm.Cancel();
}

void CMetricsFile::ArmIn(ULONGLONG ullDelayMs)
{
    m_ullDueMs = GetMonotonicMilliseconds() + ullDelayMs;
    m_alarm.SetAfter(CMilliTimeSpan::FromMilliseconds((LONG)ullDelayMs));
}

void CMetricsFile::Start()
{
    if (IsEnabled())
        ArmIn(0);
}

void CMetricsFile::NoteChange()
{
    if (!IsEnabled())
        return;
    const ULONGLONG ullNow = GetMonotonicMilliseconds();
    ULONGLONG ullDue = ullNow;
    if (m_ullLastWriteMs != 0 && m_ullLastWriteMs + c_ullMinGapMs > ullNow)
        ullDue = m_ullLastWriteMs + c_ullMinGapMs;
    if (m_alarm.IsArmed() && m_ullDueMs <= ullDue)
        return;
    ArmIn(ullDue - ullNow);
}

BOOL CMetricsFile::Write(const std::string& csText)
{
    m_alarm.Cancel();
    m_ullLastWriteMs = GetMonotonicMilliseconds();
    ULONGLONG ullNextMs = (ULONGLONG)m_nIntervalSeconds * 1000;
    const std::string csTemp = GetTempPath();
    // Binary, through WriteFile: the C run-time's text mode would turn
    // every LF into CR LF.
    CHandle hFile(::CreateFileA(csTemp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL));
    DWORD dwError = 0;
    if (!hFile.IsValid()) {
        dwError = ::GetLastError();
    } else {
        DWORD cbWritten = 0;
        if (!::WriteFile(hFile.Get(), csText.data(), (DWORD)csText.size(), &cbWritten, NULL))
            dwError = ::GetLastError();
        else if (cbWritten != csText.size())
            dwError = ERROR_WRITE_FAULT;
        hFile.Reset();
        if (dwError == 0 && !::MoveFileExA(csTemp.c_str(), m_csPath.c_str(), MOVEFILE_REPLACE_EXISTING))
            dwError = ::GetLastError();
    }
    if (dwError == 0) {
        m_nRenameRetries = 0;
    } else {
        // A reader (a collector, an editor) that holds the file refuses
        // the replace for a moment: the next write comes soon.
        const BOOL fShared = dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_ACCESS_DENIED ||
                             dwError == ERROR_LOCK_VIOLATION;
        if (fShared && m_nRenameRetries < c_nRenameRetries) {
            m_nRenameRetries++;
            ullNextMs = c_ullMinGapMs;
        } else {
            m_nRenameRetries = 0;
            DEBUG_TRACE_MSG("The metrics file " << m_csPath << " could not be written. Error " << ErrorText(dwError));
        }
    }
    ArmIn(ullNextMs);
    ::SetLastError(dwError);
    return dwError == 0;
}
