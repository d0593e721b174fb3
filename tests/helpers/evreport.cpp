// evreport: writes event-log reports for the event-log tests, which read
// what Wine's eventlog channel makes of them.
//   evreport exe_name|- id count [string...] [id count [string...]]...
// "-" reports under the application object's executable (evreport.exe),
// through ReportEvent; an exe name reports under that name through
// ReportEventAs. Trace and echo are on, so any debug message of the
// reporting reaches standard error too. Exit code 0, or 2 for bad arguments.
#include <stdlib.h>
#include <string>
#include <vector>

#include "common/conapp.h"
#include "common/debug.h"
#include "eventlog.h"

namespace {

class CReportApp : public CConsoleApp
{
public:
    virtual void Main() override {}
};

CReportApp theApp;
CDebugAppLog theDebugLog(theApp.m_csExeName, TRUE);

}  // namespace

int main(int argc, char** argv)
{
    g_fDebugTrace = TRUE;
    if (argc < 2)
        return 2;
    std::string csExeName = argv[1];
    int iArg = 2;
    while (iArg + 1 < argc) {
        DWORD dwEventId = strtoul(argv[iArg], NULL, 0);
        int cStrings = atoi(argv[iArg + 1]);
        iArg += 2;
        if (cStrings < 0 || cStrings > argc - iArg)
            return 2;
        std::vector<const char*> apszStrings(argv + iArg, argv + iArg + cStrings);
        iArg += cStrings;
        if (csExeName != "-")
            ReportEventAs(csExeName, dwEventId, (WORD)cStrings, apszStrings.data());
        else if (cStrings == 1)
            ReportEvent(dwEventId, std::string(apszStrings[0]));
        else
            ReportEvent(dwEventId, (WORD)cStrings, apszStrings.data());
    }
    return iArg == argc ? 0 : 2;
}
