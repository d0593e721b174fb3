// ovrinctl.exe: the control tool for scripts. It asks one or more running
// supervisors for their status, starts, stops or terminates their processes,
// prints their notices, or checks a definition file with the supervisor's
// own definition reader. A command prints exactly the replies to it and ends: after its
// command the tool asks for the end of the replies, which the server
// answers to this client alone once everything for the command has gone out.
//
// Every computer named with -c gets its own thread, connection and bounded
// connect; the main thread prints the results in the order of the -c
// options (watch prints as notices arrive) and exits with the worst code.
#include <stdio.h>

#include <iostream>
#include <memory>
#include <sstream>

#include "common/assertex.h"
#include "common/conapp.h"
#include "common/filestuf.h"
#include "common/strutil.h"
#include "common/thread.h"
#include "control.h"
#include "controlclient.h"
#include "defreader.h"
#include "logtime.h"
#include "metrics.h"

namespace {

enum
{
    EXIT_DONE = 0,
    EXIT_NOT_VALID = 1,      // the server answered that a name is not valid (check: the file is not valid)
    EXIT_UNREACHABLE = 2,    // no supervisor reachable
    EXIT_USAGE = 3
};

// A supervisor that does not exist is known at once; one whose instances
// are all busy, or a computer that is slow to answer, costs at most this.
const DWORD s_dwWaitForPipe = 1000;
const DWORD s_dwWaitForInstance = 4000;
const DWORD s_dwConnectBound = s_dwWaitForPipe + s_dwWaitForInstance + 1000;
// Between two messages of one command's replies. Only a server that does
// not know the end-of-replies kind lets it pass; a live server answers the
// other commands at once.
const DWORD s_dwReplyGap = 30000;
// The same for a stop. Its lines are stopped one after another, each
// announced as it is asked, and the end of the replies waits for the last:
// the longest quiet stretch is one line's STOPTIMEOUT, then its kill and the
// drain of its output.
const DWORD s_dwStopReplyGap = (DWORD)c_nMaxStopTimeout * 1000 + 60000;

CRITICAL_SECTION g_csOutput;

void WriteOut(const std::string& csText)
{
    ::EnterCriticalSection(&g_csOutput);
    std::cout << csText << std::flush;
    ::LeaveCriticalSection(&g_csOutput);
}

void WriteErr(const std::string& csText)
{
    ::EnterCriticalSection(&g_csOutput);
    std::cout << std::flush;
    std::cerr << csText << std::flush;
    ::LeaveCriticalSection(&g_csOutput);
}

// A JSON string: quotes, backslashes and control characters escaped, bytes
// of the ANSI code page above 127 as \u escapes of their characters.
std::string JsonString(const std::string& csText)
{
    std::string csOut = "\"";
    char szEscape[8];
    for (size_t i = 0; i < csText.size(); i++) {
        unsigned char ch = (unsigned char)csText[i];
        if (ch == '"' || ch == '\\') {
            csOut += '\\';
            csOut += (char)ch;
        } else if (ch < 0x20) {
            snprintf(szEscape, sizeof szEscape, "\\u%04x", ch);
            csOut += szEscape;
        } else if (ch < 0x80) {
            csOut += (char)ch;
        } else {
            // One character may take two bytes in a double-byte code page.
            int cb = ::IsDBCSLeadByte(ch) && i + 1 < csText.size() ? 2 : 1;
            WCHAR awch[2];
            int cwch = ::MultiByteToWideChar(CP_ACP, 0, csText.data() + i, cb, awch, 2);
            for (int k = 0; k < cwch; k++) {
                snprintf(szEscape, sizeof szEscape, "\\u%04x", (unsigned)awch[k]);
                csOut += szEscape;
            }
            if (cwch == 0)
                csOut += "\\ufffd";
            i += (size_t)cb - 1;
        }
    }
    return csOut + "\"";
}

std::string CsvField(const std::string& csText)
{
    if (csText.find_first_of(",\"\r\n") == std::string::npos)
        return csText;
    std::string csOut = "\"";
    for (char ch : csText) {
        if (ch == '"')
            csOut += '"';
        csOut += ch;
    }
    return csOut + "\"";
}

std::string Duration(LONG nSeconds)
{
    return StrFormat("%ld:%02ld:%02ld", (long)(nSeconds / 3600), (long)(nSeconds / 60 % 60), (long)(nSeconds % 60));
}

// One process as the server's detail record gives it.
struct CProcessRow
{
    std::string m_csName;
    std::string m_csVersion;
    std::string m_csStatusLine;
    LONG m_nStatus;
    CProcessDetail m_detail;
};

// One supervisor: its connection and what it answered, on its own thread.
class CTarget : public CThread
{
public:
    CTarget() : CThread("TargetThread"), m_nExitCode(EXIT_DONE), m_evConnectDone(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED) {}

    virtual void Run() override;
    // Prefix of every text line: the computer's name when -c was given.
    std::string Prefix() const { return m_fNamed ? m_csComputer + ": " : std::string(); }

    // Set before the thread runs.
    std::string m_csComputer;
    BOOL m_fNamed;
    std::string m_csExeName;
    std::string m_csCommand;
    std::string m_csArgument;
    // Results, read by the main thread once the thread has ended.
    int m_nExitCode;
    std::vector<std::string> m_acsTexts;
    std::vector<CProcessRow> m_aRows;
    // The supervisor itself (a server that predates the message sends none).
    BOOL m_fHasSupervisor = FALSE;
    std::string m_csSupervisorExe;
    std::string m_csSupervisorVersion;
    LONG m_nClients = 0;
    std::string m_csError;
    CKernelEvent m_evConnectDone;

private:
    BOOL RunCommand(CControlClient& client);
    // Receives until the end of the replies; FALSE after a failure.
    BOOL CollectReplies(CControlClient& client);
};

void CTarget::Run()
{
    CControlClient client;
    client.SetServer(m_csComputer, m_csExeName, s_dwWaitForPipe, s_dwWaitForInstance);
    BOOL fOpen = client.Open();
    if (!fOpen) {
        m_csError = Prefix() + "Unable to connect to pipe " + client.GetFullName() + ". Error " + LastErrorText();
        m_nExitCode = EXIT_UNREACHABLE;
    }
    m_evConnectDone.Set();
    if (!fOpen)
        return;
    if (!RunCommand(client) && m_nExitCode == EXIT_DONE)
        m_nExitCode = EXIT_UNREACHABLE;
    client.Close();
}

BOOL CTarget::RunCommand(CControlClient& client)
{
    if (m_csCommand == "watch") {
        for (;;) {
            CControlMessage msg;
            int nResult = client.Receive(msg, NULL, INFINITE);
            if (nResult == CControlClient::RECEIVE_FAILED) {
                m_csError = Prefix() + "Error " + LastErrorText() + " occurred reading from the Ovrin-server.";
                WriteErr(m_csError + "\n");
                m_csError.clear();
                return FALSE;
            }
            if (nResult == CControlClient::RECEIVE_OK && msg.m_dwKind == MSG_TEXT)
                WriteOut(Prefix() + msg.m_csText + "\n");
        }
    }
    BOOL fSent;
    if (m_csCommand == "status") {
        fSent = client.Post(MSG_REPORT_DETAILS);
    } else if (m_csCommand == "reload") {
        fSent = client.Post(MSG_RELOAD);
    } else {
        DWORD dwKind = m_csCommand == "start" ? MSG_START : m_csCommand == "stop" ? MSG_STOP : MSG_TERMINATE;
        fSent = client.Post(dwKind, m_csArgument);
    }
    if (!fSent || !client.Post(MSG_END_OF_REPLIES)) {
        m_csError = Prefix() + "Error " + LastErrorText() + " occurred writing to the Ovrin-server.";
        return FALSE;
    }
    return CollectReplies(client);
}

BOOL CTarget::CollectReplies(CControlClient& client)
{
    const DWORD dwGap = m_csCommand == "stop" ? s_dwStopReplyGap : s_dwReplyGap;
    for (;;) {
        CControlMessage msg;
        int nResult = client.Receive(msg, NULL, dwGap);
        if (nResult == CControlClient::RECEIVE_TIMED_OUT) {
            m_csError = Prefix() + "The supervisor did not finish its replies within " +
                        std::to_string(dwGap / 1000) + " seconds.";
            return FALSE;
        }
        if (nResult == CControlClient::RECEIVE_FAILED) {
            m_csError = Prefix() + "Error " + LastErrorText() + " occurred reading from the Ovrin-server.";
            return FALSE;
        }
        if (nResult != CControlClient::RECEIVE_OK)
            continue;
        if (msg.m_dwKind == MSG_END_OF_REPLIES)
            return TRUE;
        if (msg.m_dwKind == MSG_SUPERVISOR_DETAIL) {
            m_fHasSupervisor = TRUE;
            m_csSupervisorExe = msg.m_csName;
            m_csSupervisorVersion = msg.m_csVersion;
            m_nClients = strtol(msg.m_csText.c_str(), NULL, 10);
        } else if (msg.m_dwKind == MSG_PROCESS_DETAIL) {
            CProcessRow row;
            row.m_csName = msg.m_csName;
            row.m_csVersion = msg.m_csVersion;
            row.m_csStatusLine = msg.m_csFilename;
            row.m_nStatus = msg.m_nStatus;
            row.m_detail.Parse(msg.m_csText);
            m_aRows.push_back(row);
        } else if (msg.m_dwKind == MSG_TEXT && m_csCommand != "status") {
            m_acsTexts.push_back(msg.m_csText);
            if (StrEndsWithI(msg.m_csText, CONTROL_NOT_VALID_SUFFIX) ||
                msg.m_csText.compare(0, strlen(CONTROL_RELOAD_REFUSED), CONTROL_RELOAD_REFUSED) == 0)
                m_nExitCode = EXIT_NOT_VALID;
        }
    }
}

class CControlToolApp : public CConsoleApp
{
public:
    virtual void RunApplication() override;
    virtual void ShowUsage() override;
    // Unused: RunApplication does the whole run.
    virtual void Main() override {}

private:
    int Parse(std::vector<std::string>& acsComputers, std::string& csExeName, std::string& csCommand,
              std::string& csArgument, std::string& csFormat);
    int Check(const std::string& csFile);
    void PrintRows(const std::vector<std::unique_ptr<CTarget>>& apTargets, const std::string& csFormat);
    // The metrics text of every supervisor that answered, as its METRICS file has it.
    void PrintMetrics(const std::vector<std::unique_ptr<CTarget>>& apTargets);
};

}  // namespace

static CControlToolApp theApp;
// No echo and no message box: the tool prints what it has to say itself.
static CDebugLog theDebugLog(FALSE);

void CControlToolApp::ShowUsage()
{
    std::cout << "Usage: ovrinctl [-c computer]... [-n exe-name] command\n"
                 "Commands:\n"
                 "  status [-json | -csv | -prom] every process: state, start time, process id,\n"
                 "                               restarts, last exit code, time up or ended\n"
                 "                               (-prom: the METRICS file's text)\n"
                 "  start NAME|all               start a process\n"
                 "  stop NAME|all                stop a process\n"
                 "  terminate NAME|all           kill a process at once\n"
                 "  reload                       read the definition file again (a file with\n"
                 "                               errors changes nothing) and list the changes\n"
                 "  watch                        print every notice until Ctrl-C\n"
                 "  check FILE                   report the errors of a definition file\n"
                 "-c names a computer (this one by default); give it several times to ask\n"
                 "several supervisors at once. -n names the supervisor's executable\n"
                 "(default Ovrin.exe), whose name its control pipe carries.\n"
                 "Exit codes: 0 done, 1 the name (or the file) is not valid,\n"
                 "2 no supervisor reachable, 3 bad usage.\n"
              << std::flush;
}

int CControlToolApp::Parse(std::vector<std::string>& acsComputers, std::string& csExeName, std::string& csCommand,
                           std::string& csArgument, std::string& csFormat)
{
    std::vector<std::string> acsWords;
    for (size_t i = 1; i < m_csaArgs.size(); i++) {
        const std::string& csArg = m_csaArgs[i];
        BOOL fSwitch = csArg.size() >= 2 && (csArg[0] == '-' || csArg[0] == '/');
        std::string csSwitch = fSwitch ? StrLower(csArg.substr(1)) : std::string();
        if (fSwitch && (csSwitch == "?" || csSwitch == "h" || csSwitch == "help")) {
            ShowUsage();
            return EXIT_DONE + 100;
        }
        if (fSwitch && (csSwitch == "c" || csSwitch == "n") && acsWords.empty()) {
            if (i + 1 >= m_csaArgs.size())
                return EXIT_USAGE;
            if (csSwitch == "c")
                acsComputers.push_back(m_csaArgs[++i]);
            else
                csExeName = m_csaArgs[++i];
            continue;
        }
        const BOOL fFormat = csSwitch == "json" || csSwitch == "csv" || csSwitch == "prom";
        if (fSwitch && fFormat && !acsWords.empty() && csFormat.empty()) {
            csFormat = csSwitch;
            continue;
        }
        acsWords.push_back(csArg);
    }
    if (acsWords.empty())
        return EXIT_USAGE;
    csCommand = StrLower(acsWords[0]);
    if ((csCommand == "status" || csCommand == "watch" || csCommand == "reload") && acsWords.size() == 1)
        return csCommand != "status" && !csFormat.empty() ? EXIT_USAGE : EXIT_DONE;
    if ((csCommand == "start" || csCommand == "stop" || csCommand == "terminate" || csCommand == "check") &&
        acsWords.size() == 2 && csFormat.empty()) {
        csArgument = acsWords[1];
        return csCommand == "check" && !acsComputers.empty() ? EXIT_USAGE : EXIT_DONE;
    }
    return EXIT_USAGE;
}

void CControlToolApp::RunApplication()
{
    ::InitializeCriticalSection(&g_csOutput);
    std::vector<std::string> acsComputers;
    std::string csExeName = "Ovrin.exe", csCommand, csArgument, csFormat;
    int nParsed = Parse(acsComputers, csExeName, csCommand, csArgument, csFormat);
    if (nParsed != EXIT_DONE) {
        if (nParsed == EXIT_USAGE)
            ShowUsage();
        m_nExitCode = nParsed == EXIT_USAGE ? EXIT_USAGE : EXIT_DONE;
        return;
    }
    if (csCommand == "check") {
        m_nExitCode = Check(csArgument);
        return;
    }
    BOOL fNamed = !acsComputers.empty();
    if (!fNamed)
        acsComputers.push_back(std::string());
    std::vector<std::unique_ptr<CTarget>> apTargets;
    for (const std::string& csComputer : acsComputers) {
        std::unique_ptr<CTarget> pTarget(new CTarget);
        pTarget->m_csComputer = csComputer;
        pTarget->m_fNamed = fNamed;
        pTarget->m_csExeName = csExeName;
        pTarget->m_csCommand = csCommand;
        pTarget->m_csArgument = csArgument;
        pTarget->m_dwStackSize = 256 * 1024;
        pTarget->Start();
        pTarget->Resume();
        apTargets.push_back(std::move(pTarget));
    }
    // A computer that has not answered within the connect bound counts as
    // unreachable; its thread is left behind and ends with the process.
    const DWORD dwStart = ::GetTickCount();
    int nWorst = EXIT_DONE;
    std::vector<CTarget*> apConnected;
    for (auto& pTarget : apTargets) {
        DWORD dwElapsed = ::GetTickCount() - dwStart;
        DWORD dwLeft = dwElapsed < s_dwConnectBound ? s_dwConnectBound - dwElapsed : 0;
        if (::WaitForSingleObject(pTarget->m_evConnectDone.m_hHandle, dwLeft) != WAIT_OBJECT_0) {
            WriteErr(pTarget->Prefix() + "Unable to connect to the supervisor. Error " + ErrorText(ERROR_TIMEOUT) + "\n");
            nWorst = EXIT_UNREACHABLE;
            continue;
        }
        apConnected.push_back(pTarget.get());
    }
    for (CTarget* pTarget : apConnected) {
        ::WaitForSingleObject(pTarget->m_hHandle, INFINITE);
        if (!pTarget->m_csError.empty())
            WriteErr(pTarget->m_csError + "\n");
        nWorst = pTarget->m_nExitCode > nWorst ? pTarget->m_nExitCode : nWorst;
        for (const std::string& csText : pTarget->m_acsTexts)
            WriteOut(pTarget->Prefix() + csText + "\n");
    }
    if (csCommand == "status" && csFormat == "prom")
        PrintMetrics(apTargets);
    else if (csCommand == "status")
        PrintRows(apTargets, csFormat);
    std::cout << std::flush;
    m_nExitCode = nWorst;
    // Threads of computers that never answered may still hang in their
    // connect; the process ends without waiting for them.
    ::ExitProcess((UINT)nWorst);
}

void CControlToolApp::PrintRows(const std::vector<std::unique_ptr<CTarget>>& apTargets, const std::string& csFormat)
{
    std::ostringstream os;
    if (csFormat == "csv") {
        if (apTargets.front()->m_fNamed)
            os << "computer,";
        os << "name,executable,version,state,status,started,pid,restarts,exit_code,uptime_s,since_end_s,forced_stop,"
              "attached,healthy\n";
    } else if (csFormat == "json") {
        os << "[";
    }
    BOOL fFirst = TRUE;
    for (auto& pTarget : apTargets) {
        if (!pTarget->m_csError.empty() || ::WaitForSingleObject(pTarget->m_hHandle, 0) != WAIT_OBJECT_0)
            continue;
        for (const CProcessRow& row : pTarget->m_aRows) {
            const CProcessDetail& d = row.m_detail;
            std::string csPid = d.m_dwProcessId != 0 ? std::to_string((unsigned long)d.m_dwProcessId) : "";
            std::string csExit = d.m_fHasExitCode ? std::to_string((unsigned long)d.m_dwExitCode) : "";
            std::string csUp = d.m_nSecondsUp >= 0 ? std::to_string((long)d.m_nSecondsUp) : "";
            std::string csSince = d.m_nSecondsSinceEnd >= 0 ? std::to_string((long)d.m_nSecondsSinceEnd) : "";
            // The program, from a server that sends it; the name otherwise.
            const std::string& csExecutable = !d.m_csExecutable.empty() ? d.m_csExecutable : row.m_csName;
            // The start the status line shows, in ISO 8601 with the local
            // offset of that moment; none where the line shows no start (or
            // the server predates the start time).
            const std::string csStarted =
                !d.m_csTime.empty() && d.m_llStartTime >= 0 ? FormatIsoLocalTime(d.m_llStartTime) : std::string();
            const char* const pszAttached = d.m_fAttached ? "true" : "false";
            const char* pszHealthy = d.m_nHealthy < 0 ? "" : d.m_nHealthy > 0 ? "true" : "false";
            if (csFormat == "json") {
                auto Number = [](const std::string& cs) { return cs.empty() ? std::string("null") : cs; };
                os << (fFirst ? "\n  {" : ",\n  {");
                if (pTarget->m_fNamed)
                    os << "\"computer\": " << JsonString(pTarget->m_csComputer) << ", ";
                os << "\"name\": " << JsonString(row.m_csName) << ", \"executable\": " << JsonString(csExecutable)
                   << ", \"version\": " << JsonString(row.m_csVersion) << ", \"state\": " << JsonString(d.m_csState)
                   << ", \"status\": " << row.m_nStatus
                   << ", \"started\": " << (csStarted.empty() ? std::string("null") : JsonString(csStarted))
                   << ", \"pid\": " << Number(csPid) << ", \"restarts\": " << d.m_nRestarts
                   << ", \"exit_code\": " << Number(csExit) << ", \"exit_code_hex\": "
                   << (d.m_fHasExitCode && d.m_dwExitCode >= 0xC0000000
                           ? JsonString(StrFormat("0x%08lX", (unsigned long)d.m_dwExitCode))
                           : std::string("null"))
                   << ", \"uptime_s\": " << Number(csUp) << ", \"since_end_s\": " << Number(csSince)
                   << ", \"forced_stop\": " << (d.m_fForcedStop ? "true" : "false") << ", \"attached\": " << pszAttached
                   << ", \"healthy\": " << (*pszHealthy != '\0' ? pszHealthy : "null") << "}";
            } else if (csFormat == "csv") {
                if (pTarget->m_fNamed)
                    os << CsvField(pTarget->m_csComputer) << ",";
                os << CsvField(row.m_csName) << "," << CsvField(csExecutable) << "," << CsvField(row.m_csVersion) << ","
                   << CsvField(d.m_csState) << "," << row.m_nStatus << "," << CsvField(csStarted) << "," << csPid
                   << "," << d.m_nRestarts << "," << csExit << "," << csUp << "," << csSince << ","
                   << (d.m_fForcedStop ? "true" : "false") << "," << pszAttached << "," << pszHealthy << "\n";
            } else {
                os << pTarget->Prefix() << row.m_csStatusLine << "  pid " << (csPid.empty() ? "-" : csPid)
                   << ", restarts " << d.m_nRestarts << ", last exit code "
                   << (d.m_fHasExitCode ? FormatExitCode(d.m_dwExitCode) : std::string("-"));
                if (d.m_nSecondsUp >= 0)
                    os << ", up " << Duration(d.m_nSecondsUp);
                else if (d.m_nSecondsSinceEnd >= 0)
                    os << ", ended " << Duration(d.m_nSecondsSinceEnd) << " ago";
                os << "\n";
            }
            fFirst = FALSE;
        }
    }
    if (csFormat == "json")
        os << (fFirst ? "]\n" : "\n]\n");
    WriteOut(os.str());
}

void CControlToolApp::PrintMetrics(const std::vector<std::unique_ptr<CTarget>>& apTargets)
{
    std::vector<CMetricsSource> aSources;
    for (auto& pTarget : apTargets) {
        if (!pTarget->m_csError.empty() || ::WaitForSingleObject(pTarget->m_hHandle, 0) != WAIT_OBJECT_0)
            continue;
        CMetricsSource source;
        source.m_fComputerLabel = pTarget->m_fNamed;
        source.m_csComputer = pTarget->m_csComputer;
        source.m_csExeName = pTarget->m_fHasSupervisor ? pTarget->m_csSupervisorExe : pTarget->m_csExeName;
        source.m_csVersion = pTarget->m_csSupervisorVersion;
        // This tool's own connection is not one of the supervisor's clients.
        source.m_nClients = pTarget->m_nClients > 0 ? pTarget->m_nClients - 1 : 0;
        // The METRICS file's exe label is the program, which a server that
        // predates the executable field gives only as the name.
        for (const CProcessRow& row : pTarget->m_aRows)
            source.m_aProcesses.push_back(CMetricsProcess{
                !row.m_detail.m_csExecutable.empty() ? row.m_detail.m_csExecutable : row.m_csName, row.m_detail});
        aSources.push_back(source);
    }
    // Binary: the text must end its lines with LF alone, as the file does.
    const std::string csText = FormatMetrics(aSources);
    ::EnterCriticalSection(&g_csOutput);
    std::cout << std::flush;
    fflush(stdout);
    DWORD cbWritten = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), csText.data(), (DWORD)csText.size(), &cbWritten, NULL);
    ::LeaveCriticalSection(&g_csOutput);
}

int CControlToolApp::Check(const std::string& csFile)
{
    // Only a file is read: a device name (NUL, CON) would open as well, and
    // CON would wait for typed input.
    std::string csPath = GetFullPath(csFile);
    if (::GetFileAttributesA(csPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::cout << csPath << " could not be opened. Error " << LastErrorText() << std::endl;
        return EXIT_NOT_VALID;
    }
    CDefinitionReader reader;
    reader.SetReportEveryError(TRUE);
    BOOL fOk = reader.Read(csPath);
    for (const CDefinitionMessage& error : reader.GetErrors())
        std::cout << error.m_csText << std::endl;
    for (const CDefinitionMessage& warning : reader.GetWarnings())
        std::cout << warning.m_csText << std::endl;
    const size_t cRecords = reader.GetRecords().size();
    if (fOk)
        std::cout << csPath << " is valid: " << cRecords << " process line" << (cRecords == 1 ? "" : "s") << "."
                  << std::endl;
    return fOk ? EXIT_DONE : EXIT_NOT_VALID;
}
