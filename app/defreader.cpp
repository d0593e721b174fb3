// Reading a definition file into watched-process records (CDefinitionReader).
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include <set>
#include <sstream>

#include "common/assertex.h"
#include "common/cio.h"
#include "common/conapp.h"
#include "common/filestuf.h"
#include "common/filex.h"
#include "defreader.h"
#include "environment.h"

namespace {

// Adds an error of line nLine to the reader, its text written as to a stream.
#define DEFINITION_ERROR(nLine, text)      \
    do {                                   \
        std::ostringstream osError_;       \
        osError_ << text;                  \
        AddError((nLine), osError_.str()); \
    } while (0)

// The lookups of the command line's arguments serve the file's lines.
const auto FindSwitch = &CConsoleApp::FindSwitch;
const auto FindOption = &CConsoleApp::FindOption;
const auto FindNumberOption = &CConsoleApp::FindNumberOption;
const auto NextUnusedArgument = &CConsoleApp::NextUnusedArgument;

// A day: longer caps would only overflow the millisecond arithmetic.
const int c_nMaxBackoffSeconds = 86400;

// The window geometry option pairs of a process line (position, size,
// buffer): each sets two fields of the startup info and the flag that makes
// them count, when either keyword is found; a missing half keeps its default.
struct CGeometryOption
{
    const char* m_pszYName;
    const char* m_pszXName;
    const char* m_pszYDefault;
    const char* m_pszXDefault;
    DWORD STARTUPINFOA::*m_pdwY;
    DWORD STARTUPINFOA::*m_pdwX;
    DWORD m_dwFlag;
};

const CGeometryOption c_aGeometryOptions[] = {
    {"ypos", "xpos", "0", "0", &STARTUPINFOA::dwY, &STARTUPINFOA::dwX, STARTF_USEPOSITION},
    {"ysize", "xsize", "25", "80", &STARTUPINFOA::dwYSize, &STARTUPINFOA::dwXSize, STARTF_USESIZE},
    {"ybuf", "xbuf", "25", "80", &STARTUPINFOA::dwYCountChars, &STARTUPINFOA::dwXCountChars, STARTF_USECOUNTCHARS},
};

void FindGeometryOptions(CStringArray& csaTokens, CDWordArray& dwaUsed, STARTUPINFOA& si)
{
    for (const CGeometryOption& option : c_aGeometryOptions) {
        std::string csY = option.m_pszYDefault, csX = option.m_pszXDefault;
        BOOL fY = FindOption(csaTokens, dwaUsed, option.m_pszYName, csY);
        BOOL fX = FindOption(csaTokens, dwaUsed, option.m_pszXName, csX);
        if (fY || fX) {
            si.*option.m_pdwX = (DWORD)atoi(csX.c_str());
            si.*option.m_pdwY = (DWORD)atoi(csY.c_str());
            si.dwFlags |= option.m_dwFlag;
        }
    }
}

// Every ENV "NAME=VALUE" of a line, in file order; FALSE at the first
// value without "=" or without a name before it.
BOOL FindEnvOptions(CStringArray& csaTokens, CDWordArray& dwaUsed, CStringArray& acsEnv)
{
    std::string csValue, csName, csRest;
    while (FindOption(csaTokens, dwaUsed, "env", csValue)) {
        if (!SplitEnvEntry(csValue, csName, csRest))
            return FALSE;
        acsEnv.push_back(csValue);
    }
    return TRUE;
}

// The numbers of READY, HEALTH and MAXMEMORY: each is a whole number within
// its bounds, and the timing ones need their probe on the same line.
struct CCheckNumber
{
    const char* m_pszName;
    LONG CCheckOptions::*m_pnValue;
    LONG m_nMax;
    const char* m_pszWhat;
    const char* m_pszNeeds;   // the probe keyword it belongs to; NULL: none
    CProbeTarget CCheckOptions::*m_pProbe;
};

const CCheckNumber c_aCheckNumbers[] = {
    {"readytimeout", &CCheckOptions::m_nReadyTimeout, c_nMaxCheckSeconds, "a number of seconds", "READY",
     &CCheckOptions::m_ready},
    {"healthinterval", &CCheckOptions::m_nHealthInterval, c_nMaxCheckSeconds, "a number of seconds", "HEALTH",
     &CCheckOptions::m_health},
    {"healthtimeout", &CCheckOptions::m_nHealthTimeout, c_nMaxCheckSeconds, "a number of seconds", "HEALTH",
     &CCheckOptions::m_health},
    {"healthfailures", &CCheckOptions::m_nHealthFailures, c_nMaxHealthFailures, "a number", "HEALTH",
     &CCheckOptions::m_health},
    {"maxmemory", &CCheckOptions::m_nMaxMemoryMb, c_nMaxMemoryMb, "a number of megabytes", NULL, NULL},
};

// Reads the lines of an open file, each with its LF, a block at a time:
// under Wine every ReadFile is a round trip to the wine server (about 70 us
// measured), so a 100 KB file read byte by byte took seven seconds and a
// file of several megabytes looked like a hang.
class CLineReader
{
public:
    explicit CLineReader(CIoInstance* pInstance) : m_opRead(pInstance), m_iNext(0), m_cbData(0), m_dwEndError(0) {}

    // TRUE with a line that ends in LF. FALSE at the end of the file (last
    // error ERROR_HANDLE_EOF) or on a read error, with an unterminated last
    // line in csLine.
    BOOL ReadLine(std::string& csLine)
    {
        csLine.clear();
        for (;;) {
            if (m_iNext == m_cbData) {
                if (m_dwEndError == 0 && !m_opRead.Read(m_achBlock, sizeof m_achBlock))
                    m_dwEndError = ::GetLastError();
                if (m_dwEndError != 0) {
                    ::SetLastError(m_dwEndError);
                    return FALSE;
                }
                m_cbData = m_opRead.GetActual();
                m_iNext = 0;
            }
            const char* pchEnd = (const char*)memchr(m_achBlock + m_iNext, '\n', m_cbData - m_iNext);
            size_t iEnd = pchEnd != NULL ? (size_t)(pchEnd - m_achBlock) + 1 : m_cbData;
            csLine.append(m_achBlock + m_iNext, iEnd - m_iNext);
            m_iNext = iEnd;
            if (pchEnd != NULL)
                return TRUE;
        }
    }

private:
    CIoOperation m_opRead;
    char m_achBlock[4096];
    size_t m_iNext;
    size_t m_cbData;
    DWORD m_dwEndError;
};

}  // namespace

CDefinitionReader::CDefinitionReader() : m_fReportEveryError(FALSE), m_dwOpenError(0) {}

std::vector<std::unique_ptr<CWatchedProcess>> CDefinitionReader::TakeRecords()
{
    std::vector<std::unique_ptr<CWatchedProcess>> apRecords = std::move(m_apRecords);
    m_apRecords.clear();
    m_anRecordLines.clear();
    return apRecords;
}

void CDefinitionReader::AddError(int nLine, const std::string& csText)
{
    m_aErrors.push_back(CDefinitionMessage{nLine, csText});
}

BOOL CDefinitionReader::Read(const std::string& csPath)
{
    m_csPath = csPath;
    m_dwOpenError = 0;
    m_apRecords.clear();
    m_anRecordLines.clear();
    m_globals = CDefinitionGlobals();
    m_aErrors.clear();
    m_aWarnings.clear();
    m_mapNames.clear();

    CFileDevice device;
    device.SetFile(csPath, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ, 0);
    CIoInstance instance;
    if (!instance.Open(&device)) {
        m_dwOpenError = ::GetLastError();
        const std::string csError = LastErrorText();
        AddError(0, csPath + " could not be opened. Error " + csError);
        ::SetLastError(m_dwOpenError);
        return FALSE;
    }

    CLineReader reader(&instance);
    // A line ending in a "\\" argument continues on the next: the entry is
    // the text before that backslash, a blank and the next line. The text
    // pending so far is split once, as it grows, and each line adds only
    // its own arguments: splitting the whole text again for every line made
    // a file of 5,000 continued lines take seconds.
    std::string csPending;
    CArgumentSplitter pending;
    CArgumentSplitter line;
    std::string csLine;
    int nLine = 0;
    BOOL fOk = TRUE;
    for (;;) {
        BOOL fRead = reader.ReadLine(csLine);
        // A read error is not an end: the lines after it would be lost
        // without a word, even in the middle of a line.
        if (!fRead && ::GetLastError() != ERROR_HANDLE_EOF) {
            const std::string csError = LastErrorText();
            AddError(0, "Could not read from " + csPath + ". Error " + csError);
            fOk = FALSE;
            break;
        }
        if (!fRead && csLine.empty())
            break;
        nLine++;
        // Editors may save a UTF-8 byte-order mark at the start.
        if (nLine == 1 && csLine.compare(0, 3, "\xEF\xBB\xBF") == 0)
            csLine.erase(0, 3);
        // A NUL byte would silently cut a command line short.
        if (csLine.find('\0') != std::string::npos) {
            DEFINITION_ERROR(nLine, "Error: Line " << nLine << " of " << csPath << " contains a NUL character.");
            fOk = FALSE;
            if (!m_fReportEveryError)
                break;
            continue;
        }
        // The entry's arguments: the pending ones, then this line's.
        line.ContinueFrom(pending);
        line.Feed(" ", 1);
        line.Feed(csLine);
        line.Finish();
        const CStringArray& csaFirst = !pending.m_csaArgs.empty() ? pending.m_csaArgs : line.m_csaArgs;
        const CStringArray& csaLast = !line.m_csaArgs.empty() ? line.m_csaArgs : pending.m_csaArgs;
        if (csaFirst.empty() || csaFirst[0][0] == '#') {
            // skipped; pending text stays as it was
        } else if (csaLast.back() == "\\") {
            const size_t iCut = csLine.rfind('\\');
            if (iCut != std::string::npos) {
                csPending.append(" ").append(csLine, 0, iCut);
                pending.Feed(" ", 1);
                pending.Feed(csLine.data(), iCut);
            } else {
                // The backslash argument began before this line (a quoted
                // one, say): the pending text is cut there and split anew.
                csPending.append(" ").append(csLine);
                csPending.erase(csPending.rfind('\\'));
                pending.Reset();
                pending.Feed(csPending);
            }
        } else {
            CStringArray csaTokens = pending.m_csaArgs;
            csaTokens.insert(csaTokens.end(), line.m_csaArgs.begin(), line.m_csaArgs.end());
            CDWordArray dwaUsed(csaTokens.size(), 0);
            csPending.clear();
            pending.Reset();
            if (!InterpretEntry(csaTokens, dwaUsed, nLine)) {
                fOk = FALSE;
                if (!m_fReportEveryError)
                    break;
            }
        }
        if (!fRead)
            break;  // the last line had no LF; the next read would only report the end
    }
    instance.Close();
    ApplyGlobals();
    if (fOk && m_apRecords.empty()) {
        DEFINITION_ERROR(0, "Error: The " << csPath << " file does not specify any processes to start.");
        fOk = FALSE;
    }
    if (fOk)
        WarnOfSharedUniqueNames();
    return fOk;
}

void CDefinitionReader::ApplyGlobals()
{
    // GLOBAL KILLTREE, STOPTIMEOUT, STOPMETHOD, TIMESTAMP, ROTATE and ENV
    // hold for every line, those before it included; a line's own settings
    // (and its own value of a variable) win.
    for (const auto& pProcess : m_apRecords) {
        if (!m_globals.m_acsEnv.empty())
            pProcess->m_acsEnv = CombineEnvEntries(m_globals.m_acsEnv, pProcess->m_acsEnv);
        pProcess->m_fKillTree |= m_globals.m_fKillTree;
        pProcess->m_capture.m_fStamp |= m_globals.m_fTimestamp;
        if (pProcess->m_capture.m_nRotateMinute < 0)
            pProcess->m_capture.m_nRotateMinute = m_globals.m_nRotateMinute;
        if (pProcess->m_nStopTimeout < 0)
            pProcess->m_nStopTimeout = m_globals.m_nStopTimeout;
        if (pProcess->m_adwStopWays.empty())
            pProcess->m_adwStopWays = m_globals.m_adwStopWays;
    }
}

BOOL CDefinitionReader::CheckName(const CWatchedProcess& wp, BOOL fNamed, int nLine)
{
    const std::string& csName = wp.m_csName;
    if (fNamed && (csName.empty() || csName.find_first_of(" \t\"") != std::string::npos || StrIEqual(csName, "all") ||
                   StrEndsWithI(csName, ".exe"))) {
        DEFINITION_ERROR(nLine, "Error: NAME needs a name without blanks or quotes that is not all and does not "
                                "end in .exe on line "
                                    << nLine << " of " << m_csPath);
        return FALSE;
    }
    // Commands take a name with or without .exe, in any case.
    std::string csKey = StrUpper(wp.GetName());
    if (StrEndsWithI(csKey, ".EXE"))
        csKey.resize(csKey.size() - 4);
    auto result = m_mapNames.insert({csKey, {nLine, fNamed}});
    if (result.second)
        return TRUE;
    if (!fNamed && !result.first->second.second)
        return TRUE;
    DEFINITION_ERROR(nLine, "Error: The name " << wp.GetName() << " on line " << nLine << " of " << m_csPath
                                               << " is the name of line " << result.first->second.first
                                               << " as well");
    return FALSE;
}

void CDefinitionReader::WarnOfSharedUniqueNames()
{
    // Two UNIQUE lines that list the same name would watch one process:
    // the second attaches to the first one's instance. One look per line
    // (a set of the names seen), since files may have thousands of lines.
    auto Less = [](const std::string& csA, const std::string& csB) { return StrICmp(csA, csB) < 0; };
    std::set<std::string, decltype(Less)> setSeen(Less);
    for (size_t i = 0; i < m_apRecords.size(); i++) {
        const CWatchedProcess& wp = *m_apRecords[i];
        if (!wp.m_fUnique || wp.m_csUniqueName.empty())
            continue;
        if (setSeen.insert(wp.m_csUniqueName).second)
            continue;
        const std::string csText =
            "Warning: Two UNIQUE lines of " + m_csPath + " list the name " + wp.m_csUniqueName + ".";
        m_aWarnings.push_back(CDefinitionMessage{m_anRecordLines[i], csText});
    }
}

BOOL CDefinitionReader::InterpretEntry(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine)
{
    if (FindSwitch(csaTokens, dwaUsed, "global"))
        return InterpretGlobalLine(csaTokens, dwaUsed, nLine);
    return InterpretProcessLine(csaTokens, dwaUsed, nLine);
}

BOOL CDefinitionReader::InterpretGlobalLine(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine)
{
    if (FindSwitch(csaTokens, dwaUsed, "allowclose"))
        m_globals.m_fAllowClose = TRUE;
    if (FindSwitch(csaTokens, dwaUsed, "lifoshutdown"))
        m_globals.m_fLifoShutdown = TRUE;
    if (FindSwitch(csaTokens, dwaUsed, "killtree"))
        m_globals.m_fKillTree = TRUE;
    if (FindSwitch(csaTokens, dwaUsed, "securepipe"))
        m_globals.m_fSecurePipe = TRUE;
    if (FindSwitch(csaTokens, dwaUsed, "timestamp"))
        m_globals.m_fTimestamp = TRUE;
    if (!InterpretStopOptions(csaTokens, dwaUsed, nLine, m_globals.m_nStopTimeout, m_globals.m_adwStopWays) ||
        !InterpretRotateOption(csaTokens, dwaUsed, nLine, m_globals.m_nRotateMinute) ||
        !InterpretMetricsOptions(csaTokens, dwaUsed, nLine)) {
        return FALSE;
    }
    if (!FindEnvOptions(csaTokens, dwaUsed, m_globals.m_acsEnv)) {
        DEFINITION_ERROR(nLine, "Error: ENV needs NAME=VALUE with a variable name before the \"=\" on line "
                                    << nLine << " of " << m_csPath);
        return FALSE;
    }
    std::string csToken;
    if (NextUnusedArgument(csaTokens, dwaUsed, csToken)) {
        DEFINITION_ERROR(nLine, "Error: Unexpected GLOBAL config token \"" << csToken << "\" on line " << nLine
                                                                                << " of " << m_csPath);
        return FALSE;
    }
    return TRUE;
}

BOOL CDefinitionReader::InterpretRotateOption(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine,
                                              int& nRotateMinute)
{
    std::string csValue;
    if (FindOption(csaTokens, dwaUsed, "rotate", csValue) && !ParseRotateTime(csValue, nRotateMinute)) {
        DEFINITION_ERROR(nLine, "Error: ROTATE needs daily or a time of day from 00:00 to 23:59 on line "
                                    << nLine << " of " << m_csPath);
        return FALSE;
    }
    return TRUE;
}

std::string CDefinitionReader::ResolvePath(const std::string& csPath) const
{
    BOOL fAbsolute = csPath[0] == '\\' || csPath[0] == '/' || (csPath.size() >= 2 && csPath[1] == ':');
    if (fAbsolute)
        return GetFullPath(csPath);
    std::string csDefinition = GetFullPath(m_csPath);
    return GetFullPath(csDefinition.substr(0, csDefinition.find_last_of("\\/") + 1) + csPath);
}

// METRICS and METRICSINTERVAL of the GLOBAL line; METRICS's path is taken
// like STDOUT's.
BOOL CDefinitionReader::InterpretMetricsOptions(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine)
{
    std::string csValue;
    if (FindOption(csaTokens, dwaUsed, "metricsinterval", csValue)) {
        const BOOL fDigits = !csValue.empty() && csValue.size() <= 5 &&
                             csValue.find_first_not_of("0123456789") == std::string::npos;
        const long nValue = fDigits ? atol(csValue.c_str()) : 0;
        if (nValue < 1 || nValue > c_nMaxMetricsInterval) {
            DEFINITION_ERROR(nLine, "Error: METRICSINTERVAL needs a number of seconds from 1 to "
                                        << c_nMaxMetricsInterval << " on line " << nLine << " of " << m_csPath);
            return FALSE;
        }
        m_globals.m_nMetricsInterval = nValue;
    }
    if (FindOption(csaTokens, dwaUsed, "metrics", csValue)) {
        if (csValue.empty()) {
            DEFINITION_ERROR(nLine, "Error: METRICS needs a file name on line " << nLine << " of " << m_csPath);
            return FALSE;
        }
        m_globals.m_csMetricsPath = ResolvePath(csValue);
    }
    return TRUE;
}

// STDOUT, STDERR, LOGSIZE, LOGKEEP, TIMESTAMP and ROTATE of a process line. A relative path is
// taken from the definition file's folder: the process's own directory may
// change with CD, and the supervisor's varies with how it was started.
BOOL CDefinitionReader::InterpretCaptureOptions(CWatchedProcess& wp, CStringArray& csaTokens, CDWordArray& dwaUsed,
                                                int nLine)
{
    std::string asPaths[2];
    const char* const apszStreams[2] = {"stdout", "stderr"};
    BOOL fAny = FALSE;
    for (int i = 0; i < 2; i++) {
        if (!FindOption(csaTokens, dwaUsed, apszStreams[i], asPaths[i]))
            continue;
        if (asPaths[i].empty()) {
            DEFINITION_ERROR(nLine, "Error: " << StrUpper(apszStreams[i]) << " needs a file name on line " << nLine
                                              << " of " << m_csPath);
            return FALSE;
        }
        asPaths[i] = ResolvePath(asPaths[i]);
        fAny = TRUE;
    }
    int nLogSize = 10240;
    int nLogKeep = 5;
    BOOL fSize = FindNumberOption(csaTokens, dwaUsed, "logsize", nLogSize);
    BOOL fKeep = FindNumberOption(csaTokens, dwaUsed, "logkeep", nLogKeep);
    if ((fSize && nLogSize < 1) || (fKeep && nLogKeep < 0)) {
        DEFINITION_ERROR(nLine, "Error: LOGSIZE must be 1 or more and LOGKEEP 0 or more on line "
                                    << nLine << " of " << m_csPath);
        return FALSE;
    }
    if (FindSwitch(csaTokens, dwaUsed, "timestamp"))
        wp.m_capture.m_fStamp = TRUE;
    if (!InterpretRotateOption(csaTokens, dwaUsed, nLine, wp.m_capture.m_nRotateMinute))
        return FALSE;
    if (fAny)
        wp.m_capture.Configure(asPaths[0], asPaths[1], (ULONGLONG)nLogSize * 1024, nLogKeep);
    return TRUE;
}

// READY, HEALTH, their timing and MAXMEMORY of a process line. READY's
// file is taken from the definition file's folder like STDOUT's.
BOOL CDefinitionReader::InterpretCheckOptions(CWatchedProcess& wp, CStringArray& csaTokens, CDWordArray& dwaUsed,
                                              int nLine)
{
    CCheckOptions& options = wp.m_checkOptions;
    std::string csValue;
    if (FindOption(csaTokens, dwaUsed, "ready", csValue)) {
        if (!options.m_ready.Parse(csValue, PROBE_KINDS_READY)) {
            DEFINITION_ERROR(nLine, "Error: READY needs tcp:PORT, tcp:HOST:PORT, http://HOST:PORT/PATH, file:PATH or "
                                    "event:NAME on line "
                                        << nLine << " of " << m_csPath);
            return FALSE;
        }
        if (options.m_ready.m_nKind == PROBE_FILE)
            options.m_ready.m_csPath = ResolvePath(options.m_ready.m_csPath);
    }
    if (FindOption(csaTokens, dwaUsed, "health", csValue) && !options.m_health.Parse(csValue, PROBE_KINDS_HEALTH)) {
        DEFINITION_ERROR(nLine, "Error: HEALTH needs tcp:PORT, tcp:HOST:PORT or http://HOST:PORT/PATH on line "
                                    << nLine << " of " << m_csPath);
        return FALSE;
    }
    for (const CCheckNumber& number : c_aCheckNumbers) {
        if (!FindOption(csaTokens, dwaUsed, number.m_pszName, csValue))
            continue;
        const BOOL fDigits = !csValue.empty() && csValue.size() <= 9 &&
                             csValue.find_first_not_of("0123456789") == std::string::npos;
        const long nValue = fDigits ? atol(csValue.c_str()) : 0;
        if (nValue < 1 || nValue > number.m_nMax) {
            DEFINITION_ERROR(nLine, "Error: " << StrUpper(number.m_pszName) << " needs " << number.m_pszWhat
                                              << " from 1 to " << number.m_nMax << " on line " << nLine << " of "
                                              << m_csPath);
            return FALSE;
        }
        if (number.m_pProbe != NULL && !(options.*number.m_pProbe).IsSet()) {
            DEFINITION_ERROR(nLine, "Error: " << StrUpper(number.m_pszName) << " needs " << number.m_pszNeeds
                                              << " on line " << nLine << " of " << m_csPath);
            return FALSE;
        }
        options.*number.m_pnValue = nValue;
    }
    return TRUE;
}

BOOL CDefinitionReader::InterpretStopOptions(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine,
                                             LONG& nStopTimeout, CStopWayArray& adwStopWays)
{
    std::string csValue;
    if (FindOption(csaTokens, dwaUsed, "stoptimeout", csValue)) {
        const BOOL fDigits = !csValue.empty() && csValue.size() <= 5 &&
                             csValue.find_first_not_of("0123456789") == std::string::npos;
        if (!fDigits || atol(csValue.c_str()) > c_nMaxStopTimeout) {
            DEFINITION_ERROR(nLine, "Error: STOPTIMEOUT needs a number of seconds from 0 to "
                                        << c_nMaxStopTimeout << " on line " << nLine << " of " << m_csPath);
            return FALSE;
        }
        nStopTimeout = atol(csValue.c_str());
    }
    if (FindOption(csaTokens, dwaUsed, "stopmethod", csValue) && !ParseStopWays(csValue, adwStopWays)) {
        DEFINITION_ERROR(nLine, "Error: STOPMETHOD needs one or more of ctrlc, ctrlbreak, close and quit, separated "
                                "by commas, on line "
                                    << nLine << " of " << m_csPath);
        return FALSE;
    }
    return TRUE;
}

BOOL CDefinitionReader::InterpretProcessLine(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine)
{
    std::unique_ptr<CWatchedProcess> pProcess(new CWatchedProcess);
    CWatchedProcess& wp = *pProcess;
    STARTUPINFOA& si = wp.m_startupinfo;
    std::string csValue;
    int nValue = 0;

    if (FindSwitch(csaTokens, dwaUsed, "master"))
        wp.m_fMaster = TRUE;
    if (FindSwitch(csaTokens, dwaUsed, "noconsole")) {
        wp.m_dwConsoleFlags = DETACHED_PROCESS;
    } else if (FindSwitch(csaTokens, dwaUsed, "newconsole")) {
        wp.m_dwConsoleFlags = CREATE_NEW_CONSOLE;
    } else {
        // The supervisor's console and its process group: a group of its
        // own would make Wine ignore every console event the line is sent
        // (and Windows its Ctrl-C), so a stop could not ask it.
        wp.m_dwConsoleFlags = 0;
        wp.m_dwGroupFlags = 0;
    }
    si.wShowWindow = FindSwitch(csaTokens, dwaUsed, "min") ? SW_MINIMIZE : SW_RESTORE;
    si.dwFlags |= STARTF_USESHOWWINDOW;
    if (FindSwitch(csaTokens, dwaUsed, "hidden"))
        si.wShowWindow = SW_HIDE;
    if (FindOption(csaTokens, dwaUsed, "title", csValue))
        wp.m_csTitle = csValue;
    BOOL fNamed = FindOption(csaTokens, dwaUsed, "name", csValue);
    if (fNamed)
        wp.m_csName = csValue;

    FindGeometryOptions(csaTokens, dwaUsed, si);

    if (FindSwitch(csaTokens, dwaUsed, "realtime"))
        wp.m_dwPriorityClass = REALTIME_PRIORITY_CLASS;
    else if (FindSwitch(csaTokens, dwaUsed, "high"))
        wp.m_dwPriorityClass = HIGH_PRIORITY_CLASS;
    else if (FindSwitch(csaTokens, dwaUsed, "normal"))
        wp.m_dwPriorityClass = NORMAL_PRIORITY_CLASS;
    else if (FindSwitch(csaTokens, dwaUsed, "idle"))
        wp.m_dwPriorityClass = IDLE_PRIORITY_CLASS;

    if (FindOption(csaTokens, dwaUsed, "cd", csValue))
        wp.m_csCurrentDirectory = csValue;
    if (FindSwitch(csaTokens, dwaUsed, "sync"))
        wp.m_fSync = TRUE;
    if (FindNumberOption(csaTokens, dwaUsed, "group", nValue))
        wp.m_nGroup = nValue;
    if (FindNumberOption(csaTokens, dwaUsed, "exit", nValue)) {
        wp.m_fCheckExitCode = TRUE;
        wp.m_dwOkExitCode = (DWORD)nValue;
    }
    if (FindOption(csaTokens, dwaUsed, "monitorevsem", csValue))
        wp.SetMonitorEvent(csValue);
    if (FindSwitch(csaTokens, dwaUsed, "noauto"))
        wp.m_fNoStart = TRUE;
    if (FindSwitch(csaTokens, dwaUsed, "nowatch"))
        wp.m_fWatch = FALSE;
    if (FindOption(csaTokens, dwaUsed, "nounique", csValue)) {
        wp.m_fUnique = FALSE;
        wp.m_csUniqueName = csValue;
    }
    if (FindOption(csaTokens, dwaUsed, "unique", csValue)) {
        wp.m_fUnique = TRUE;
        wp.m_csUniqueName = csValue;
    }
    if (FindNumberOption(csaTokens, dwaUsed, "restartdelay", nValue))
        wp.m_mtsRestartDelay = CMilliTimeSpan(0, 0, 0, nValue, 0);
    if (FindSwitch(csaTokens, dwaUsed, "quit"))
        wp.m_fQuit = TRUE;
    if (FindNumberOption(csaTokens, dwaUsed, "quitdelay", nValue) && nValue >= 0)
        wp.m_nQuitDelay = nValue;
    if (FindSwitch(csaTokens, dwaUsed, "NoStart"))
        wp.m_fNoStart = TRUE;
    if (FindSwitch(csaTokens, dwaUsed, "NoStop"))
        wp.m_fNoStop = TRUE;
    if (FindNumberOption(csaTokens, dwaUsed, "backoff", nValue))
        wp.m_nBackoffMax = std::min(nValue, c_nMaxBackoffSeconds);
    if (FindNumberOption(csaTokens, dwaUsed, "maxrestarts", nValue))
        wp.m_nMaxRestarts = nValue;
    if (FindSwitch(csaTokens, dwaUsed, "killtree"))
        wp.m_fKillTree = TRUE;

    if (!InterpretStopOptions(csaTokens, dwaUsed, nLine, wp.m_nStopTimeout, wp.m_adwStopWays) ||
        !InterpretCaptureOptions(wp, csaTokens, dwaUsed, nLine) ||
        !InterpretCheckOptions(wp, csaTokens, dwaUsed, nLine)) {
        return FALSE;
    }
    if (!FindEnvOptions(csaTokens, dwaUsed, wp.m_acsEnv)) {
        DEFINITION_ERROR(nLine, "Error: ENV needs NAME=VALUE with a variable name before the \"=\" on line "
                                    << nLine << " of " << m_csPath);
        return FALSE;
    }

    std::string csCommandLine;
    if (!NextUnusedArgument(csaTokens, dwaUsed, csCommandLine)) {
        DEFINITION_ERROR(nLine, "Error: Line " << nLine << " in the .inf file has no command line.");
        return FALSE;
    }
    wp.SetCommandLine(csCommandLine);
    std::string csToken;
    if (NextUnusedArgument(csaTokens, dwaUsed, csToken)) {
        DEFINITION_ERROR(nLine, "Error: Unexpected \"" << csToken << "\" on line " << nLine << " of " << m_csPath);
        return FALSE;
    }
    if (!CheckName(wp, fNamed, nLine))
        return FALSE;
    m_apRecords.push_back(std::move(pProcess));
    m_anRecordLines.push_back(nLine);
    return TRUE;
}
