// capturebench.exe: how fast the supervisor copies a line's captured output
// to its file, against the same child writing the same bytes to a file
// itself. Both runs are lines of one real supervisor (Ovrin.exe under its
// own name) and are timed alike, from "Started process" to the broadcast of
// the end, which comes after the copying has finished.
//   capturebench [-quick]     (-quick: 5 MB instead of 50 MB per run)
#include <stdio.h>
#include <string.h>

#include "benchutil.h"
#include "e2e_util.h"
#include "ovrin_e2e.h"

namespace {

struct CRunFigure
{
    BOOL m_fOk = FALSE;
    double m_dMs = 0;
    ULONGLONG m_cbFile = 0;
};

ULONGLONG FileSize(const std::string& csPath)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(csPath.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return ((ULONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// One supervisor with one line; the time from its start to its end.
CRunFigure TimeLine(const std::string& csExe, const std::string& csLine, const std::string& csFile)
{
    CRunFigure figure;
    COvrinProcess ovrin;
    ovrin.Prepare(csExe);
    ovrin.CopyChild("printer.exe");
    if (!ovrin.Launch(csLine + "\r\n"))
        return figure;
    CTestClient client;
    if (!client.Connect(csExe, 20000))
        return figure;
    std::vector<std::string> acs = client.ReceiveTextsUntil("Started process: printer.exe.", 20000);
    LONGLONG llStart = NowTicks();
    acs = client.ReceiveTextsUntil("printer.exe has finished.", 600000);
    figure.m_dMs = MsSince(llStart);
    figure.m_fOk = !acs.empty() && acs.back() == "printer.exe has finished.";
    figure.m_cbFile = FileSize(ovrin.m_csDir + "\\" + csFile);
    client.Close();
    ovrin.WriteInput("quit\r\n");
    if (!ovrin.WaitForExit(20000))
        ovrin.Kill();
    RemoveDirectoryTree(ovrin.m_csDir);
    return figure;
}

}  // namespace

int main(int argc, char** argv)
{
    BOOL fQuick = argc > 1 && strcmp(argv[1], "-quick") == 0;
    const unsigned long cLines = fQuick ? 50000 : 500000;
    const ULONGLONG cbExpected = (ULONGLONG)cLines * 100;
    PrintHeading("Captured output: bytes per second copied for one line");
    PrintLine("machine", GetMachineText());
    PrintLine("load", GetLoadText());
    const std::string csCount = std::to_string(cLines);
    CRunFigure own = TimeLine("OvCapOwn.exe",
                              "\"printer.exe -printfile own.log " + csCount + " -exit 0\" -noconsole -exit 0 -nowatch",
                              "own.log");
    CRunFigure captured = TimeLine("OvCapture.exe",
                                   "\"printer.exe -print " + csCount +
                                       " -exit 0\" -noconsole -exit 0 -nowatch -stdout out.log -logsize 1048576",
                                   "out.log");
    // TIMESTAMP puts "2026-12-08T07:16:41.123+01:00 " (30 bytes) before each line.
    CRunFigure stamped = TimeLine("OvCapStamp.exe",
                                  "\"printer.exe -print " + csCount +
                                      " -exit 0\" -noconsole -exit 0 -nowatch -stdout out.log -logsize 1048576 -timestamp",
                                  "out.log");
    const ULONGLONG cbStamped = cbExpected + (ULONGLONG)cLines * 30;
    BOOL fOk = TRUE;
    const struct
    {
        const char* m_pszLabel;
        const CRunFigure& m_fig;
        ULONGLONG m_cbExpected;
    } aRuns[] = {{"child writes its own file", own, cbExpected},
                 {"supervisor copies its output", captured, cbExpected},
                 {"supervisor copies it with TIMESTAMP", stamped, cbStamped}};
    for (const auto& run : aRuns) {
        BOOL fRunOk = run.m_fig.m_fOk && run.m_fig.m_cbFile == run.m_cbExpected;
        fOk &= fRunOk;
        double dMBps =
            run.m_fig.m_dMs > 0 ? (double)run.m_cbExpected / (1024.0 * 1024.0) / (run.m_fig.m_dMs / 1000.0) : 0;
        PrintLine(run.m_pszLabel,
                  fRunOk ? StrFormat("%.1f MB/s (%s in %.0f ms)", dMBps, FormatBytes((SIZE_T)run.m_cbExpected).c_str(),
                                     run.m_fig.m_dMs)
                         : StrFormat("FAILED (end seen: %d, %llu of %llu bytes in the file)", run.m_fig.m_fOk,
                                     run.m_fig.m_cbFile, run.m_cbExpected));
    }
    if (fOk && own.m_dMs > 0)
    {
        PrintLine("captured against own file", StrFormat("%.2f x the time", captured.m_dMs / own.m_dMs));
        PrintLine("stamped against own file", StrFormat("%.2f x the time", stamped.m_dMs / own.m_dMs));
    }
    return fOk ? 0 : 1;
}
