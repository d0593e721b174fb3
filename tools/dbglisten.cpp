// dbglisten: serves a debugger pipe and prints one line for every debug
// record a notifier sends, so that tests (and people) can see a program's
// debug messages, message-box texts included.
//
// Usage: dbglisten [-p pipe_name] [-n count] [-o file] [-t milliseconds]
//   -p  the pipe to serve on this computer (default "debugger")
//   -n  end after count records
//   -o  append the lines to file instead of standard output
//   -t  end after that many milliseconds, records or not
// Each line: time, process id, module, thread name, kind, source and text,
// separated by tabs; carriage returns and line feeds inside the text are
// written as \r and \n. Every line is flushed at once. Exit code 0, or 1
// when -t ended the run before -n records came, 2 for a usage or pipe error.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "common/notifier.h"
#include "common/pipe.h"
#include "common/serial.h"
#include "common/win32.h"

namespace {

std::string EscapeText(const std::string& csText)
{
    std::string cs;
    cs.reserve(csText.size());
    for (char ch : csText) {
        if (ch == '\r')
            cs += "\\r";
        else if (ch == '\n')
            cs += "\\n";
        else
            cs += ch;
    }
    return cs;
}

void PrintRecord(FILE* pFile, const CDebugMessage& message)
{
    std::string csLine = message.m_mtTime.Format() + "\t" + std::to_string(message.m_dwProcessId) + "\t" +
                         message.m_csModule + "\t" + message.m_csThreadName + "\t" +
                         std::to_string(message.m_dwKind) + "\t" + message.m_csSource + "\t" +
                         EscapeText(message.m_csText) + "\n";
    fputs(csLine.c_str(), pFile);
    fflush(pFile);
}

int Usage()
{
    fputs("Usage: dbglisten [-p pipe_name] [-n count] [-o file] [-t milliseconds]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string csPipeName = "debugger";
    std::string csOutput;
    long nCount = -1;
    DWORD dwRunLimit = INFINITE;
    for (int i = 1; i < argc; i++) {
        const char* pszArg = argv[i];
        if ((pszArg[0] != '-' && pszArg[0] != '/') || pszArg[1] == '\0' || pszArg[2] != '\0' || i + 1 >= argc)
            return Usage();
        const char* pszValue = argv[++i];
        switch (pszArg[1]) {
        case 'p': csPipeName = pszValue; break;
        case 'o': csOutput = pszValue; break;
        case 'n': nCount = atol(pszValue); break;
        case 't': dwRunLimit = (DWORD)strtoul(pszValue, NULL, 10); break;
        default: return Usage();
        }
    }

    FILE* pFile = stdout;
    if (!csOutput.empty()) {
        pFile = fopen(csOutput.c_str(), "a");
        if (pFile == NULL) {
            fprintf(stderr, "dbglisten: couldn't open %s\n", csOutput.c_str());
            return 2;
        }
    }

    CMessagePipe pipe;
    pipe.SetServer(csPipeName);
    pipe.SetNullDacl();
    std::vector<std::unique_ptr<CPipeConnection>> apConnections;
    std::unique_ptr<CPipeConnection> pListening(new CPipeConnection);
    if (!pListening->Listen(&pipe)) {
        fprintf(stderr, "dbglisten: couldn't create %s (error %lu)\n", pipe.GetFullName().c_str(), GetLastError());
        return 2;
    }

    const DWORD dwStart = GetTickCount();
    long cRecords = 0;
    int nExitCode = 0;
    while (nCount < 0 || cRecords < nCount) {
        DWORD dwWait = INFINITE;
        if (dwRunLimit != INFINITE) {
            DWORD dwElapsed = GetTickCount() - dwStart;
            if (dwElapsed >= dwRunLimit) {
                nExitCode = nCount < 0 ? 0 : 1;
                break;
            }
            dwWait = dwRunLimit - dwElapsed;
        }
        CWaitObjectArray apWaitObjects;
        for (auto& pConnection : apConnections)
            apWaitObjects.push_back(&pConnection->m_opRead);
        apWaitObjects.push_back(&pListening->m_instance);
        CWaitObject* pSignalled = WaitForWaitObjects(FALSE, apWaitObjects, dwWait);
        if (pSignalled == NULL)
            continue;

        if (pSignalled == &pListening->m_instance) {
            // OnSignalled has finished the connect.
            std::unique_ptr<CPipeConnection> pConnection(std::move(pListening));
            if (pConnection->IsConnected()) {
                pConnection->StartRead();
                apConnections.push_back(std::move(pConnection));
            }
            pListening.reset(new CPipeConnection);
            if (!pListening->Listen(&pipe)) {
                fprintf(stderr, "dbglisten: couldn't create %s (error %lu)\n", pipe.GetFullName().c_str(),
                        GetLastError());
                nExitCode = 2;
                break;
            }
            continue;
        }

        for (size_t i = 0; i < apConnections.size(); i++) {
            CPipeConnection* pConnection = apConnections[i].get();
            if (pSignalled != &pConnection->m_opRead)
                continue;
            if (!pConnection->m_opRead.TryGetResult()) {
                if (GetLastError() == ERROR_IO_PENDING)
                    break;   // a dropped message; the read goes on
                // The notifier has gone (or sent more than a record may hold).
                apConnections.erase(apConnections.begin() + i);
                break;
            }
            CDebugMessage message;
            if (message.Deserialize(pConnection->m_block) && message.m_nPeerLowestVersion <= 2) {
                PrintRecord(pFile, message);
                cRecords++;
            } else {
                fprintf(stderr, "dbglisten: dropped a malformed record of %lu bytes\n",
                        pConnection->m_block.GetLength());
            }
            pConnection->StartRead();
            break;
        }
    }

    apConnections.clear();
    pListening.reset();
    if (pFile != stdout)
        fclose(pFile);
    return nExitCode;
}
