// The commented template written when the definition file is missing.
#include "ovrin.h"

#include "common/filestuf.h"
#include "common/filex.h"
#include "common/iostr.h"

namespace {

// *EXE* and *BASE* stand for the executable's file name and base name in
// upper case. Every line is written with CR LF after it.
const char* const s_apszTemplateLines[] = {
    "# *BASE*.INF is the information file used by *EXE*",
    "#",
    "# Each line in this file corresponds to an executable that is to be started.",
    "#         i.e.,  executable <options>  OR  \"executable arguments\" <options>",
    "# Comment lines are preceeded by '#'.",
    "# Each option is prefixed by '/' or '-'.",
    "# Backslash is the line-continuation character.",
    "#",
    "# #########################################################",
    "# The following global configuration options are available:",
    "#",
    "# GLOBAL - (required) specifies that this line contains global configuration",
    "#          options, rather than an executable to start and monitor. The GLOBAL",
    "#          option MUST be specified on the line, otherwise the line will be",
    "#          treated as an executable configuration line.",
    "#",
    "# ALLOWCLOSE - Allows a click of the closebox to shutdown all monitored processes.",
    "#              By default, closebox clicks are ignored and the operator is required",
    "#              to type 'quit' or 'exit'.",
    "#",
    "# LIFOSHUTDOWN - Shuts down processes in the reverse (LIFO) order of startup.",
    "#                By default, processes are shut down in order of startup (FIFO).",
    "#",
    "# #########################################################",
    "# The following startup options are available for each executable:",
    "#",
    "# NOCONSOLE (default) - start the process with no console window",
    "#         (uses the same console window as *EXE*).",
    "# NEWCONSOLE - start the process with its own console window",
    "#         (default title, position and size are inherited from the same console",
    "#         window as *EXE*, but if *EXE* is a service then the",
    "#         new console is not displayed).",
    "#    TITLE <\"TITLE\"> - sets the console window title.",
    "#    XBUF <M>, YBUF <N> - sets the console window buffer size,",
    "#         in characters.",
    "#",
    "# XPOS <M>,YPOS <N> - set the location of the process window or ",
    "#         console window, in pixels.",
    "#",
    "# XSIZE <M>, YSIZE <N> - set the size of the process window or",
    "#         console window, in pixels.",
    "#",
    "# MIN - minimize the process or console on startup.",
    "#",
    "# HIDDEN - hide the window and icon of the process.",
    "#         The console will not be shown on the desktop and will not appear in the",
    "#         task list.  It can only be stopped from within the OVRIN utility.",
    "#",
    "# REALTIME, HIGH, NORMAL, IDLE - set the process's priority",
    "#         (default priority is inherited from *EXE*, usually NORMAL).",
    "#",
    "# CD <\"PATH\"> - set the process's working directory",
    "#         (default path is inherited from the same console window as *EXE*,",
    "#         but if *EXE* is a service then the default is the NT system path).",
    "#",
    "# UNIQUE [\"EXE-NAME\"] (default) - do not start the process if another",
    "#         instance is running (exe-name is required only if the name that the",
    "#         process runs as is different from the command line).",
    "# NOUNIQUE [\"EXE-NAME\"] - start the process even if another instance is running.",
    "#         (exe-name is required only if the name that the",
    "#         process runs as is different from the command line).",
    "# SYNC - wait for the process to end before starting any more, and the",
    "#         process is not automatically restarted if it ends.",
    "#",
    "# QUIT   - if the process ends normally (i.e., with the exit code specified with",
    "#         the exit option) then all other processes controlled by Ovrin are",
    "#         stopped as well.  Ovrin then terminates its execution.",
    "#",
    "# QUITDELAY <INTEGER> - how long to wait, in seconds, before all processes are",
    "#         stopped by the QUIT option. The default is 5 seconds.",
    "#",
    "# #########################################################",
    "# The following start\\restart options are available for each executable:",
    "#",
    "# NOSTART - Do not start this process but monitor it",
    "#",
    "# NOSTOP - Do not stop this process",
    "#",
    "# EXIT <INTEGER> - if the process exits with this exit code, it is considered",
    "#         to have exited normally and is not restarted .",
    "#",
    "# NOWATCH - do not restart the process if it ends.",
    "#         WARNING: this option overrides all other options, except MASTER",
    "#",
    "# GROUP <INTEGER> - if a process with a particular group number crashes and is",
    "#         going to be restarted, then the other processes with the same",
    "#         group number are stopped and restarted. The actual values you assign ",
    "#         to the groups are irrelevent, but must be greater than zero.",
    "#",
    "# MASTER - if the process ends normally (i.e., with the exit code specified with",
    "#         the exit option) then all the other processes in the group are",
    "#         stopped as well, even if NOWATCH is used.",
    "#",
    "# RESTARTDELAY <INTEGER> - how long to wait, in seconds, before the process is",
    "#         restarted (default is 60 seconds).",
    "#",
    "# MONITOREVSEM <\"NAME\"> - create an event with the specified name. ",
    "#          The event will be set when ovrin has detected and started monitoring ",
    "#          The process",
    "#",
    "# #########################################################",
    "# Normally, a process will be restarted if it ends, on the assumption that",
    "# it has crashed. Processes will not be restarted if SYNC or NOWATCH",
    "# is specified or if it exits with the exit code specified with the 'exit'",
    "# option.",
    "# ",
};

std::string FillIn(const std::string& csLine, const std::string& csExe, const std::string& csBase)
{
    std::string cs = csLine;
    for (size_t i; (i = cs.find("*EXE*")) != std::string::npos;)
        cs.replace(i, 5, csExe);
    for (size_t i; (i = cs.find("*BASE*")) != std::string::npos;)
        cs.replace(i, 6, csBase);
    return cs;
}

}  // namespace

BOOL CSupervisorApp::WriteDefinitionTemplate(const std::string& csPath)
{
    CFileDevice device;
    device.SetFile(csPath, CREATE_ALWAYS, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL);
    CIoInstance instance;
    if (!instance.Open(&device))
        return FALSE;
    std::string csExe = StrUpper(m_csExeName);
    std::string csBase = StrUpper(StripExtension(m_csExeName));
    BOOL fOk;
    {
        CDeviceStream stream(&instance);
        for (const char* pszLine : s_apszTemplateLines) {
            stream << FillIn(pszLine, csExe, csBase) << "\r\n";
            stream.flush();
        }
        fOk = stream.good();
        stream.FlushAndClear();
    }
    DWORD dwError = ::GetLastError();
    instance.Close();
    ::SetLastError(dwError);
    return fOk;
}
