// CDefinitionReader: reads one definition file into watched-process
// records, without an application object. It owns the records it has read
// (in file order, until TakeRecords hands them over), the GLOBAL line's
// settings, and the errors and warnings found, each with its line and its
// exact text. It writes nothing and reports nothing itself: the supervisor
// shows the texts in its debug log, a check prints them. Any one thread at a
// time.
//
//   CDefinitionReader reader;
//   reader.SetReportEveryError(TRUE);   // a check: read on past invalid lines
//   BOOL fValid = reader.Read(csPath);  // then GetErrors, GetWarnings, ...
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/stopway.h"
#include "common/strutil.h"
#include "metrics.h"
#include "watched.h"

// One message about the file: its line (0 when it concerns the whole file)
// and its text, exactly as it is shown.
struct CDefinitionMessage
{
    int m_nLine;
    std::string m_csText;
};
typedef std::vector<CDefinitionMessage> CDefinitionMessageArray;

// The GLOBAL line's settings; their defaults when the file has none.
struct CDefinitionGlobals
{
    CDefinitionGlobals()
        : m_fAllowClose(FALSE),
          m_fLifoShutdown(FALSE),
          m_fKillTree(FALSE),
          m_fSecurePipe(FALSE),
          m_nStopTimeout(-1),
          m_fTimestamp(FALSE),
          m_nRotateMinute(-1),
          m_nMetricsInterval(c_nDefaultMetricsInterval)
    {
    }
    BOOL m_fAllowClose;
    BOOL m_fLifoShutdown;
    BOOL m_fKillTree;
    BOOL m_fSecurePipe;
    LONG m_nStopTimeout;          // -1 without
    CStopWayArray m_adwStopWays;  // empty without
    BOOL m_fTimestamp;
    int m_nRotateMinute;          // ROTATE's minute of the day, -1 without
    std::string m_csMetricsPath;  // METRICS, full path; empty without
    LONG m_nMetricsInterval;      // METRICSINTERVAL seconds
    CStringArray m_acsEnv;        // ENV entries of the GLOBAL lines, in file order
};

class CDefinitionReader
{
public:
    CDefinitionReader();

    // Reading goes on past an invalid line, so that a check reports every
    // error; the supervisor stops at the first (the default).
    void SetReportEveryError(BOOL fReportEveryError) { m_fReportEveryError = fReportEveryError; }

    // Reads the file, after forgetting any earlier reading. TRUE when every
    // line is valid and the file names a process; FALSE with the errors in
    // GetErrors (an unopened file: see GetOpenError). The records read
    // before an error stay. GLOBAL KILLTREE, stop, capture and ENV settings are
    // applied to every record, those before the GLOBAL line included; a
    // line's own stop settings and ENV variables win. The texts name the file as csPath gives it.
    BOOL Read(const std::string& csPath);

    // The error of opening the file, 0 when it was opened: a caller may
    // treat a missing file (ERROR_FILE_NOT_FOUND) apart.
    DWORD GetOpenError() const { return m_dwOpenError; }
    const CDefinitionMessageArray& GetErrors() const { return m_aErrors; }
    // Found only in a valid file (two UNIQUE lines listing one name).
    const CDefinitionMessageArray& GetWarnings() const { return m_aWarnings; }
    const CDefinitionGlobals& GetGlobals() const { return m_globals; }
    const std::vector<std::unique_ptr<CWatchedProcess>>& GetRecords() const { return m_apRecords; }
    // Hands the records over, in file order; the reader keeps none.
    std::vector<std::unique_ptr<CWatchedProcess>> TakeRecords();

private:
    // Each interprets one entry ending on line nLine; FALSE after adding its error.
    BOOL InterpretEntry(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    BOOL InterpretGlobalLine(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    BOOL InterpretProcessLine(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    // STOPTIMEOUT and STOPMETHOD of a process line or the GLOBAL line.
    BOOL InterpretStopOptions(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine, LONG& nStopTimeout,
                              CStopWayArray& adwStopWays);
    // ROTATE of a process line or the GLOBAL line.
    BOOL InterpretRotateOption(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine, int& nRotateMinute);
    BOOL InterpretMetricsOptions(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    // A path of the file, relative ones from the definition file's folder.
    std::string ResolvePath(const std::string& csPath) const;
    BOOL InterpretCaptureOptions(CWatchedProcess& wp, CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    BOOL InterpretCheckOptions(CWatchedProcess& wp, CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    void ApplyGlobals();
    void WarnOfSharedUniqueNames();
    // NAME: its form, and no two lines answering to one name (lines
    // without NAME may share their program's, as they always could).
    BOOL CheckName(const CWatchedProcess& wp, BOOL fNamed, int nLine);
    void AddError(int nLine, const std::string& csText);

    BOOL m_fReportEveryError;
    std::string m_csPath;
    DWORD m_dwOpenError;
    std::vector<std::unique_ptr<CWatchedProcess>> m_apRecords;
    std::vector<int> m_anRecordLines;  // the line each record ended on
    CDefinitionGlobals m_globals;
    // The names of the lines read so far (upper case, without .exe): the
    // first line that has it, and whether that line's is its NAME.
    std::map<std::string, std::pair<int, BOOL>> m_mapNames;
    CDefinitionMessageArray m_aErrors;
    CDefinitionMessageArray m_aWarnings;
};
