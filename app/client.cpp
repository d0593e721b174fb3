// The interactive client on "ClientThread" and its reader on
// "StatusReaderThread": commands typed at the console go to the server,
// everything the server sends is printed.
#include <iostream>

#include "common/assertex.h"
#include "common/chain.h"
#include "exitcode.h"
#include "common/filestuf.h"
#include "control.h"
#include "controlclient.h"
#include "ovrin.h"

namespace {

const char* const s_apszHelp[] = {
    "Commands:",
    "  status - lists the status of all processes",
    "  stop <process name> - same as ctrl-break",
    "  start <process name>",
    "  help or ?",
    "  quit or exit",
    "(Only processes that are listed by the 'status' command can be",
    " controlled. You may specify 'all' instead of a process name.)",
};

// Names of lines in deep folders are long, so a line is taken whole up to
// the longest command line Windows has; beyond that it could not name a
// line, and the rest is dropped rather than sent past the message bound.
const size_t s_cchMaxLine = 32767;

void PrintLine(const std::string& csLine)
{
    std::cout << csLine << std::endl;
}

// The line as typed, without the blanks and CR around it.
std::string TypedText(const std::string& csLine)
{
    const char* const pszBlanks = " \t\r\n";
    size_t iFirst = csLine.find_first_not_of(pszBlanks);
    if (iFirst == std::string::npos)
        return std::string();
    return csLine.substr(iFirst, csLine.find_last_not_of(pszBlanks) - iFirst + 1);
}

}  // namespace

CStatusReaderThread::CStatusReaderThread() : CThread("StatusReaderThread"), m_pClient(NULL)
{
    m_evStop.Create(EVENT_AUTO_RESET | EVENT_INITIALLY_NONSIGNALLED);
}

CStatusReaderThread::~CStatusReaderThread()
{
    WaitForEnd();
}

void CStatusReaderThread::Run()
{
    CControlMessage msg;
    for (;;) {
        // Lines are shown when no more messages wait: a status of 1000
        // lines then costs the console a few writes, not one system call
        // per line (each a round trip to the Wine server), which slowed
        // every other client's answer too.
        if (!m_pClient->HasMessageWaiting())
            std::cout.flush();
        int nResult = m_pClient->Receive(msg, &m_evStop, INFINITE);
        if (nResult == CControlClient::RECEIVE_STOPPED) {
            // What the server sent before the stop is still shown (a quit's
            // last lines are in the pipe when its end is seen), for a moment.
            const DWORD dwStart = ::GetTickCount();
            while (::GetTickCount() - dwStart < 500 &&
                   m_pClient->Receive(msg, NULL, 50) == CControlClient::RECEIVE_OK) {
                if (msg.m_dwKind == MSG_TEXT)
                    std::cout << msg.m_csText << '\n';
            }
            std::cout.flush();
            m_pClient->AbortRead();
            return;
        }
        if (nResult == CControlClient::RECEIVE_FAILED) {
            PrintLine("Error " + LastErrorText() + " occurred reading from the Ovrin-server.");
            return;
        }
        if (nResult != CControlClient::RECEIVE_OK) {
            DEBUG_ERROR_MSG("A malformed message arrived from the Ovrin-server.");
            continue;
        }
        if (msg.m_dwKind == MSG_TEXT)
            std::cout << msg.m_csText << '\n';
        else if (msg.m_dwKind != MSG_PROCESS_RECORD && msg.m_dwKind != MSG_END_OF_REPLIES &&
                 msg.m_dwKind != MSG_PROCESS_DETAIL)
            DEBUG_FAILURE_MSG("Unrecognized message from Ovrin-server: " << (unsigned long)msg.m_dwKind);
    }
}

void CSupervisorApp::RunClient()
{
    // The console's own client connects only once its server has the pipe:
    // another program holding the name must not get this operator.
    if (!m_fClientMode) {
        HANDLE ahWait[] = {m_evPipeReady.m_hHandle, m_thServer.m_hHandle};
        ::WaitForMultipleObjects(2, ahWait, FALSE, INFINITE);
        if (!m_fPipeOwned)
            return;
    }
    CControlClient client;
    client.SetServer(m_csComputer, m_csExeName, 1000, 0xFFFFFFFF);
    PrintLine("Attempting to connect to " + client.GetComputerName() + ".");
    PrintLine("Connecting using " + client.GetFullName() + ".");
    for (;;) {
        if (client.Open())
            break;
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
            PrintLine("Unable to connect to pipe " + client.GetFullName() + ". Error " + LastErrorText());
            m_nExitCode = EXIT_CODE_NOT_CONNECTED;
            return;
        }
        // A client started before its own server waits for it, unless that
        // server has already given up.
        if (!m_fClientMode && m_thServer.m_hHandle != NULL && m_thServer.Wait(0))
            return;
    }
    PrintLine("Connected. Type 'help' or '?' for a list of commands.");
    m_thStatusReader.m_pClient = &client;
    m_thStatusReader.Start();
    m_thStatusReader.Resume();

    CControlMessage msg;
    BOOL fWriteOk = TRUE;
    // A quit from elsewhere (a control event) ends the pause at once. The
    // console's own client shows what its server says until the server has
    // ended (the QUIT rule's stops included); the operator's own quit and
    // the control events end it themselves.
    const HANDLE hEnd = m_fClientMode ? m_evQuit.m_hHandle : m_thServer.m_hHandle;
    while (std::cin.good()) {
        if (!fWriteOk || m_thStatusReader.Wait(0))
            break;
        if (::WaitForSingleObject(hEnd, 500) == WAIT_OBJECT_0) {
            m_thStatusReader.m_evStop.Set();
            break;
        }
        std::cout << ">" << std::flush;
        std::string csLine;
        // Cancelled from another thread when the supervisor stops.
        std::getline(std::cin, csLine);
        if (!std::cin.good() || ::WaitForSingleObject(hEnd, 0) == WAIT_OBJECT_0) {
            m_thStatusReader.m_evStop.Set();
            break;
        }
        if (csLine.size() > s_cchMaxLine)
            csLine.resize(s_cchMaxLine);
        CStringArray csaWords;
        CDWordArray dwaUsed;
        SplitArguments(csLine, csaWords, dwaUsed);
        msg.m_dwKind = 0;
        // Every line that is not exactly one of the commands is answered, so
        // that a typo never passes for a command that was carried out.
        BOOL fInvalid = !csaWords.empty();
        if (csaWords.size() == 2) {
            if (StrIEqual(csaWords[0], "start"))
                msg.m_dwKind = MSG_START;
            else if (StrIEqual(csaWords[0], "stop"))
                msg.m_dwKind = MSG_STOP;
            fInvalid = msg.m_dwKind == 0;
            msg.m_csName = fInvalid ? msg.m_csName : csaWords[1];
        } else if (csaWords.size() == 1) {
            const std::string& csWord = csaWords[0];
            fInvalid = FALSE;
            if (csWord == "?" || StrIEqual(csWord, "help")) {
                for (const char* pszLine : s_apszHelp)
                    PrintLine(pszLine);
                PrintLine("");
            } else if (StrIEqual(csWord, "status")) {
                msg.m_dwKind = MSG_STATUS;
            } else if (StrIEqual(csWord, "reload")) {
                msg.m_dwKind = MSG_RELOAD;
            } else if (StrIEqual(csWord, "quit") || StrIEqual(csWord, "exit")) {
                m_thStatusReader.m_evStop.Set();
                break;
            } else {
                fInvalid = TRUE;
            }
        }
        if (fInvalid)
            PrintLine("Invalid command: " + TypedText(csLine) + ". Type '?' for help.");
        if (msg.m_dwKind != 0) {
            fWriteOk = client.Send(msg);
            if (!fWriteOk)
                PrintLine("Error " + LastErrorText() + " occurred writing to the Ovrin-server.");
        }
    }
    m_thStatusReader.WaitForEnd();
    client.Close();
}
