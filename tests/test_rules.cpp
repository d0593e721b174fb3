// The supervision rules as an operator sees them: each row is a definition
// file, what the operator and the clients do, and the broadcasts they must
// see, in order and, where the rule is about time, within a tolerance. Every
// row runs a real Ovrin.exe under a name of its own with copies of the test
// child program (childproc.exe).
//
// A step is one of:
//   "text"        the next broadcast after the previous match starts with text
//   "text|lo-hi"  ... and arrives lo..hi ms after the previous match
//   "+text"       a broadcast after the previous match, in any order
//   "!text"       no broadcast after the previous match starts with text
//                 (checked when the row has run)
//   ">cmd name"   a client command: stop, start, kill, status, report, reload
//   "$line"       a line typed at the supervisor's console
//   "~ms"         a pause
//   "=exit"       the supervisor ends with exit code 0 (optionally |lo-hi)
//   "%silent"     a client connects and never reads
//   "%garbage"    a client sends a record whose lengths run past its end
//   "%copy name"  the child program appears in the folder as name
//   "%alive name" a process of that name is running
//   "%gone name"  no process of that name is running (waits up to 3 s)
//   "%ready file" the file exists in the supervisor's folder (a test child
//                 writes its -pidfile once its handlers are in place, so
//                 a stop cannot come before them)
//   "%mark file text"  the file in the supervisor's folder holds the text
//                 (what a test child's stop handler wrote; waits up to 3 s)
//   "%ext line"   the command line runs outside the supervisor, in its folder
//   "%define text"  the definition file now holds the text (for a reload)
//   "&text"       the broadcast matched last also holds text
// Process details (details) read "@<name> <state> healthy <-1|0|1>".
// Process records (report) read "#<file name> <status> <version>".
#include "exitcode.h"
#include "common/filestuf.h"
#include "e2e_util.h"
#include "ovrin_e2e.h"
#include "test_app.h"

namespace {

const DWORD c_dwLong = 20000;

struct CRuleCase
{
    const char* m_pszName;
    std::vector<std::string> m_acsChildren;   // copied in before the start
    std::vector<std::string> m_acsExternal;   // started before the supervisor
    std::string m_csDefinition;
    std::vector<std::string> m_acsSteps;
};

std::string Lines(int nFirst, int nLast, const std::string& csFormat)
{
    std::string cs;
    for (int i = nFirst; i <= nLast; i++)
        cs += StrFormat(csFormat.c_str(), i);
    return cs;
}

std::vector<std::string> Names(int nFirst, int nLast, const char* pszFormat)
{
    std::vector<std::string> acs;
    for (int i = nFirst; i <= nLast; i++)
        acs.push_back(StrFormat(pszFormat, i));
    return acs;
}

const std::vector<CRuleCase>& Cases()
{
    static const std::vector<CRuleCase> s_aCases = {
        {"FileOrderStatusAddressingAndNoStop", {"ra1.exe", "ra2.exe", "ra3.exe"}, {},
         "\"ra1.exe -forever\" -noconsole\r\n\"ra2.exe -forever\" -noconsole\r\n# a comment\r\n"
         "\"ra3.exe -forever\" -noconsole -nostop\r\n",
         {"Started process: ra1.exe.", "Started process: ra2.exe.", "Started process: ra3.exe.",
          "All services have been started.", ">status", "Status of all processes:",
          "Process ra1.exe(2.0-2.0.1.5)     running       ", "Process ra2.exe(2.0-2.0.1.5)     running       ",
          "Process ra3.exe(2.0-2.0.1.5)     running       ",
          ">report", "#ra1.exe 4 2.0-2.0.1.5", "#ra2.exe 4 2.0-2.0.1.5", "#ra3.exe 4 2.0-2.0.1.5",
          ">stop RA2", "Stopping process ra2.exe", "ra2.exe Stopped.", ">status",
          "Process ra2.exe(2.0-2.0.1.5)     stopped       ",
          ">start ra2.EXE", "Started process: ra2.exe.", ">start ra1", 
          "ra1.exe is already running so starting it is not permitted.", ">stop nosuch.exe",
          "nosuch is not a valid process name.", ">stop ra3", "Stopping process ra3.exe",
          "ra3.exe not stopped (running      )", ">stop all", "Stopping process ra1.exe", "ra1.exe Stopped.",
          "Stopping process ra2.exe", "ra2.exe Stopped.", "Stopping process ra3.exe",
          "ra3.exe not stopped (running      )", ">start ALL", "+Started process: ra1.exe.",
          "+Started process: ra2.exe.", "+ra3.exe is already running so starting it is not permitted.",
          "~500", "$quit", "Stopping process ra1.exe", "ra1.exe Stopped.", "Stopping process ra2.exe",
          "ra2.exe Stopped.", "Stopping process ra3.exe", "ra3.exe not stopped (running      )", "=exit",
          "%alive ra3.exe"}},
        {"LifoShutdownStopsTheLastLineFirst", {"rl1.exe", "rl2.exe", "rl3.exe"}, {},
         "-global -lifoshutdown\n\"rl1.exe -forever\" -noconsole\n\"rl2.exe -forever\" -noconsole\n"
         "\"rl3.exe -forever\" -noconsole\n",
         {"All services have been started.", "$quit", "Stopping process rl3.exe", "rl3.exe Stopped.",
          "Stopping process rl2.exe", "rl2.exe Stopped.", "Stopping process rl1.exe", "rl1.exe Stopped.",
          "=exit"}},
        {"CrashIsRestartedAfterItsDelay", {"rc1.exe"}, {},
         "\"rc1.exe -sleep 300 -crash\" -noconsole -restartdelay 2\n",
         {"Started process: rc1.exe.", "rc1.exe has ended. Exit code: -1073741819|200-5000",
          "#rc1.exe 1 2.0-2.0.1.5", "Started process: rc1.exe.|1700-4500",
          "rc1.exe has ended. Exit code: -1073741819"}},
        {"OnlyTheExitCodeGivenIsANormalEnd", {"re1.exe", "re2.exe", "re3.exe", "re4.exe"}, {},
         "\"re1.exe -sleep 200 -exit 0\" -noconsole -exit 0 -restartdelay 0\n"
         "\"re2.exe -sleep 200 -exit 3\" -noconsole -exit 0 -restartdelay 0\n"
         "\"re3.exe -sleep 200\" -noconsole -restartdelay 0\n"
         "\"re4.exe -sleep 200 -exit 3\" -noconsole -exit 0 -nowatch -restartdelay 0\n",
         // A loaded machine may end re1 before the start-up is over: the
         // ends are looked for from the first line on.
         {"+re1.exe has finished.", "+re2.exe has ended. Exit code: 3", "+re3.exe has ended. Exit code: 0",
          "+re4.exe has ended. Exit code: 3", "Started process: re4.exe.", "~1500",
          "!Started process: re1.exe.", "!Started process: re4.exe.", ">status", "Status of all processes:",
          "Process re1.exe(2.0-2.0.1.5)     ended         ", "Process re2.exe(2.0-2.0.1.5)     ",
          "Process re3.exe(2.0-2.0.1.5)     ", "Process re4.exe(2.0-2.0.1.5)     crashed       "}},
        {"ExitCodesAreRestarted", {"rx2.exe", "rx3.exe"}, {},
         "\"rx2.exe -sleep 200 -exit 3\" -noconsole -exit 0 -restartdelay 0\n"
         "\"rx3.exe -sleep 200\" -noconsole -restartdelay 0\n",
         {"All services have been started.", "+rx2.exe has ended. Exit code: 3", "+rx3.exe has ended. Exit code: 0",
          "+Started process: rx2.exe.", "+Started process: rx3.exe."}},
        {"GroupCrashRestartsTheBrothersAndLeavesOtherGroups", {"rg1.exe", "rg2.exe", "rg3.exe", "rg4.exe"}, {},
         "\"rg1.exe -forever\" -noconsole -group 1 -restartdelay 1\n"
         "\"rg2.exe -sleep 500 -exit 3\" -noconsole -group 1 -restartdelay 1\n"
         "\"rg3.exe -forever\" -noconsole -group 2 -restartdelay 1\n"
         "\"rg4.exe -forever\" -noconsole -restartdelay 1\n",
         {"rg2.exe has ended. Exit code: 3", "#rg2.exe 1 ", "#rg1.exe 3 ",
          ">status", "Process rg1.exe(2.0-2.0.1.5)     stopped       ",
          "Process rg2.exe(2.0-2.0.1.5)     crashed       ",
          "Process rg3.exe(2.0-2.0.1.5)     running       ", "Process rg4.exe(2.0-2.0.1.5)     running       ",
          "+Started process: rg1.exe.|800-4000", "+Started process: rg2.exe.|800-4000", "~1000",
          "!Started process: rg3.exe.", "!Started process: rg4.exe."}},
        {"MasterEndingNormallyStopsItsGroupForGood", {"rm1.exe", "rm2.exe", "rm3.exe"}, {},
         "\"rm1.exe -sleep 1000 -exit 0\" -noconsole -master -exit 0 -group 3 -restartdelay 0\n"
         "\"rm2.exe -forever\" -noconsole -group 3 -restartdelay 0\n"
         "\"rm3.exe -forever\" -noconsole -group 4 -restartdelay 0\n",
         {"rm1.exe has finished.", "#rm2.exe 3 ", ">status",
          "Process rm1.exe(2.0-2.0.1.5)     ended         ", "Process rm2.exe(2.0-2.0.1.5)     stopped       ",
          "Process rm3.exe(2.0-2.0.1.5)     running       ", "~1000", "!Started process: rm"}},
        {"QuitAsksTheShutdownOnlyAfterANormalEndAndItsDelay", {"rq1.exe", "rq2.exe"}, {},
         "\"rq1.exe -sleep 100 -exit 0\" -noconsole -quit -quitdelay 0 -restartdelay 60\n"
         "\"rq2.exe -sleep 1000 -exit 0\" -noconsole -quit -quitdelay 2 -exit 0\n",
         {"rq1.exe has ended. Exit code: 0", "rq2.exe has finished.",
          "Stopping all processes and shutting down in 2 seconds...", "=exit|1700-8000"}},
        {"QuitDelayOfNoneShutsDownAtOnce", {"rq3.exe"}, {},
         "\"rq3.exe -sleep 300 -exit 0\" -noconsole -quit -quitdelay 0 -exit 0\n",
         {"rq3.exe has finished.", "Stopping all processes and shutting down in 0 seconds...", "=exit|0-3500"}},
        {"SyncRunsAloneThenLeavesTheList", {"rs1.exe", "rs2.exe"}, {},
         "\"rs1.exe -sleep 1000\" -noconsole -sync\n\"rs2.exe -forever\" -noconsole\n",
         {"Started process: rs1.exe.", "Waiting for rs1.exe to finish.", "rs1.exe has finished.|800-5000",
          "rs1.exe has been removed from process list.", "Started process: rs2.exe.",
          "All services have been started.", ">status", "Status of all processes:", "Process rs2.exe", ">report",
          "#rs2.exe 4 ", "!Process rs1.exe", "!#rs1.exe"}},
        {"UniqueAttachesToTheRunningInstance", {"ru1.exe", "ru2.exe", "ru3.exe"},
         {"ru1.exe -forever", "ru2.exe -forever", "ru3.exe -sleep 2500 -exit 5"},
         "\"ru1.exe -forever\" -noconsole -restartdelay 60\n"
         "\"ru2.exe -forever\" -noconsole -nounique -restartdelay 60\n"
         "\"rux.exe -forever\" -noconsole -unique ru3 -restartdelay 60\n",
         {"Monitoring running process: ru1.exe.", "Started process: ru2.exe.", "Monitoring running process: rux.exe.",
          "All services have been started.", "rux.exe has ended. Exit code: 5", "!Started process: ru1.exe."}},
        {"NoStartLineWatchesEachOutsideInstance", {"rt1.exe"}, {}, "\"rt1.exe\" -nostart -restartdelay 0\n",
         {"All services have been started.", "%ext rt1.exe -sleep 5000 -exit 4", "Monitoring external process: rt1.exe",
          "rt1.exe has ended. Exit code: 4", "%ext rt1.exe -forever", "Monitoring external process: rt1.exe",
          "~500", "!Started process: rt1.exe."}},
        {"UniqueAtStartUpSeesItsOwnStartsButNotEndedOnes", {"rv_a.exe", "rv_b.exe", "rv_s.exe"}, {},
         "\"rv_b.exe -exit 0\" -noconsole -restartdelay 60\n\"rv_s.exe -sleep 500\" -noconsole -sync -nounique\n"
         "\"rv_a.exe -forever\" -noconsole\n\"rv_a.exe -forever\" -noconsole\n\"rv_b.exe -forever\" -noconsole\n",
         {"!Monitoring running process: rv_b.exe.", "!Cannot monitor ", "Started process: rv_b.exe.",
          "Started process: rv_s.exe.", "Started process: rv_a.exe.", "!Started process: rv_a.exe.",
          "Monitoring running process: rv_a.exe.",
          "Started process: rv_b.exe.", "All services have been started."}},
        {"FailedStartIsRetriedEveryDelay", {}, {},
         "\"rz1.exe -forever\" -noconsole -restartdelay 1\n",
         {"Could not start process: rz1.exe. Error 2 (", "Could not start process: rz1.exe. Error 2 (|800-4000",
          "%copy rz1.exe", "Started process: rz1.exe.|0-4000"}},
        {"StopAndKillEndTheProcessForGood", {"rk1.exe", "rk2.exe"}, {},
         "\"rk1.exe -forever\" -noconsole -restartdelay 0\n\"rk2.exe -forever\" -noconsole -restartdelay 0\n",
         {"All services have been started.", ">kill rk1", "Terminating process rk1.exe", ">stop rk2",
          "Stopping process rk2.exe", "rk2.exe Stopped.", "~1000", "!Started process: rk", ">status",
          "Process rk1.exe(2.0-2.0.1.5)     ended         ", "Process rk2.exe(2.0-2.0.1.5)     stopped       "}},
        {"StuckAndBadClientsLeaveTheOthersServed", {"rb1.exe"}, {}, "\"rb1.exe -forever\" -noconsole\n",
         {"All services have been started.", "%garbage", "%silent", "~300", ">status", "Process rb1.exe", ">status",
          "Status of all processes:|0-2500", "Process rb1.exe|0-2500", ">stop rb1", "rb1.exe Stopped.|0-4000"}},
        {"StopDuringASyncLineIsServedAtOnce", {"rd1.exe", "rd2.exe"}, {},
         "\"rd1.exe -sleep 1500\" -noconsole -sync\n\"rd2.exe -forever\" -noconsole\n",
         {"Waiting for rd1.exe to finish.", ">stop rd2", "Stopping process rd2.exe",
          "rd2.exe not stopped (not initialized)", "rd1.exe has finished.", "Started process: rd2.exe.",
          "All services have been started.",
          "$quit", "Stopping process rd2.exe", "rd2.exe Stopped.", "=exit"}},
        {"QuitWhileASyncChildNeverEnds", {"rn1.exe", "rn2.exe"}, {},
         "\"rn1.exe -forever\" -noconsole -sync\n\"rn2.exe -forever\" -noconsole\n",
         {"Waiting for rn1.exe to finish.", "~300", "$quit", "Stopping process rn1.exe", "rn1.exe Stopped.",
          "=exit", "!Started process: rn2.exe."}},
        {"StopTimeoutKillsWhatIgnoresTheRequestAndASecondStopIsAnswered", {"ri1.exe", "ri2.exe"}, {},
         "\"ri1.exe -ignorectrl -pidfile ri1.pid -forever\" -noconsole -stoptimeout 1\n\"ri2.exe -forever\" -noconsole -stoptimeout 0\n",
         {"All services have been started.", "%ready ri1.pid", ">stop ri1", "Stopping process ri1.exe", ">stop ri1",
          "Stopping process ri1.exe", ">status", "Status of all processes:",
          "Process ri1.exe(2.0-2.0.1.5)     stopping      ",
          "ri1.exe did not stop within 1 seconds and was killed.|700-3000", "ri1.exe Stopped.", "#ri1.exe 2 ",
          "%gone ri1.exe", ">stop ri2", "Stopping process ri2.exe", "ri2.exe Stopped.", ">status",
          "Process ri1.exe(2.0-2.0.1.5)     ended         ", "Process ri2.exe(2.0-2.0.1.5)     ended         ",
          "!ri2.exe did not stop", "!ri1.exe Stopped."}},
        {"StopAllGoesInOrderWhileACrashingLineRestarts", {"ro1.exe", "ro2.exe", "ro3.exe"}, {},
         "-global -stoptimeout 1\n\"ro1.exe -ignorectrl -pidfile ro1.pid -forever\" -noconsole\n"
         "\"ro2.exe -ignorectrl -pidfile ro2.pid -forever\" -newconsole\n\"ro3.exe -sleep 200 -crash\" -noconsole -restartdelay 0\n",
         {"All services have been started.", "%ready ro1.pid", "%ready ro2.pid", ">stop all", "Stopping process ro1.exe", "ro3.exe has ended.",
          "Started process: ro3.exe.", "ro1.exe did not stop within 1 seconds and was killed.", "ro1.exe Stopped.",
          "Stopping process ro2.exe", "ro3.exe has ended.", "Started process: ro3.exe.",
          "ro2.exe did not stop within 1 seconds and was killed.", "ro2.exe Stopped.", "Stopping process ro3.exe",
          "ro3.exe Stopped.", "~1000", "!Started process: ro3.exe."}},
        {"QuitStopsOneLineAfterAnotherEachWithItsTimeout", {"rp1.exe", "rp2.exe", "rp3.exe"}, {},
         "-global -lifoshutdown\n\"rp1.exe -ignorectrl -pidfile rp1.pid -forever\" -noconsole -stoptimeout 1\n"
         "\"rp2.exe -forever\" -noconsole\n\"rp3.exe -ignorectrl -pidfile rp3.pid -forever\" -stoptimeout 2\n",
         {"All services have been started.", "%ready rp1.pid", "%ready rp3.pid", "$quit", "Stopping process rp3.exe",
          "rp3.exe did not stop within 2 seconds and was killed.|1700-4000", "rp3.exe Stopped.",
          "Stopping process rp2.exe", "rp2.exe Stopped.|0-1500", "Stopping process rp1.exe",
          "rp1.exe did not stop within 1 seconds and was killed.|700-3000", "rp1.exe Stopped.", "=exit"}},
        {"KillTreeLineKilledAtItsDeadlineTakesItsTree", {"ry1.exe"}, {},
         "\"ry1.exe -ignorectrl -grandchild gc.pid -forever\" -noconsole -killtree -stoptimeout 1\n",
         {"All services have been started.", "%ready gc.pid", ">stop ry1",
          "ry1.exe did not stop within 1 seconds and was killed.", "ry1.exe Stopped.", "%gone ry1.exe"}},
        {"EveryConsoleKindRunsItsHandlerOnStopAndOnQuit",
         {"rh1.exe", "rh2.exe", "rh3.exe", "rh4.exe", "rh5.exe", "rh6.exe", "rh7.exe", "rh8.exe", "rh9.exe"}, {},
         "\"rh1.exe -onctrl h1.txt -pidfile rh1.pid -forever\" -stoptimeout 5\n\"rh2.exe -onctrl h2.txt -pidfile rh2.pid -forever\" -newconsole -stoptimeout 5\n"
         "\"rh3.exe -onctrl h3.txt -pidfile rh3.pid -forever\" -noconsole -stoptimeout 5\n\"rh4.exe -msgloop h4.txt -pidfile rh4.pid\" -stoptimeout 5\n"
         "\"rh5.exe -msgloop h5.txt -pidfile rh5.pid\" -newconsole -stoptimeout 5\n\"rh6.exe -msgloop h6.txt -pidfile rh6.pid\" -noconsole -stoptimeout 5\n"
         "\"rh7.exe -onbreak h7.txt -pidfile rh7.pid -forever\" -noconsole -stopmethod ctrlbreak -stoptimeout 5\n"
         "\"rh8.exe -onctrl h8.txt -pidfile rh8.pid -forever\" -noconsole -stoptimeout 5\n\"rh9.exe -msgloop h9.txt -pidfile rh9.pid\" -newconsole -stoptimeout 5\n",
         {"All services have been started.", "!rh1.exe did not stop", "!rh2.exe did not stop", "!rh3.exe did not stop",
          "!rh4.exe did not stop", "!rh5.exe did not stop", "!rh6.exe did not stop", "!rh7.exe did not stop",
          "!rh8.exe did not stop", "!rh9.exe did not stop", "%ready rh1.pid", "%ready rh2.pid", "%ready rh3.pid",
          "%ready rh4.pid", "%ready rh5.pid", "%ready rh6.pid", "%ready rh7.pid", "%ready rh8.pid", "%ready rh9.pid",
          ">stop rh1", "rh1.exe Stopped.", ">stop rh2", "rh2.exe Stopped.",
          ">stop rh3", "rh3.exe Stopped.", ">stop rh4", "rh4.exe Stopped.", ">stop rh5", "rh5.exe Stopped.",
          ">stop rh6", "rh6.exe Stopped.", ">stop rh7", "rh7.exe Stopped.", "$quit", "rh8.exe Stopped.",
          "rh9.exe Stopped.", "=exit", "%gone rh", "%mark h1.txt ctrlc", "%mark h2.txt ctrlc", "%mark h3.txt ctrlc",
          "%mark h4.txt quit", "%mark h5.txt quit", "%mark h6.txt quit", "%mark h7.txt ctrlbreak",
          "%mark h8.txt ctrlc", "%mark h9.txt quit"}},
        {"NamesAddressLinesAndKeepTheirColumn", {"rna.exe", "rnb.exe", "rnc.exe", "rnd.exe"}, {},
         "\".\\rna.exe -forever\" -noconsole\n\"rnb.exe -forever\" -noconsole -nounique -name web\n"
         "\"rnb.exe -forever\" -noconsole -nounique -name Worker2\n"
         "\"rnc.exe -forever\" -noconsole -name a_name_of_thirty_characters_\n"
         "\".\\rnd.exe -forever\" -noconsole -nounique\n\".\\rnd.exe -sleep 600000\" -noconsole -nounique\n",
         {"Started process: .\\rna.exe.", "Started process: web.", "Started process: Worker2.",
          "Started process: a_name_of_thirty_characters_.", "All services have been started.", ">status",
          "Status of all processes:", "Process .\\rna.exe(2.0-2.0.1.5)   running       ",
          "Process web(2.0-2.0.1.5)         running       ", "Process Worker2(2.0-2.0.1.5)     running       ",
          "Process a_name_of_thirty_characters_(2.0-2.0.1.5) running       ", ">report", "#.\\rna.exe 4 ",
          "#web 4 ", ">stop rna", "Stopping process .\\rna.exe", ".\\rna.exe Stopped.", ">stop WEB",
          "Stopping process web", "web Stopped.", ">stop rnb", "rnb is not a valid process name.", ">stop rnd",
          "rnd is not a valid process name.", ">stop worker2.exe", "Stopping process Worker2", "Worker2 Stopped.",
          ">start Web", "Started process: web.", "!Stopping process rnd", "!Started process: Worker2."}},
        {"ReloadAppliesWhatChangedAndRefusesABrokenFile",
         {"rr1.exe", "rr2.exe", "rr3.exe", "rr4.exe", "rr5.exe", "rr6.exe", "rr7.exe"}, {},
         "\"rr7.exe -sleep 200\" -noconsole -sync\n"
         "\"rr1.exe -forever\" -noconsole -name keep\n\"rr2.exe -forever\" -noconsole\n"
         "\"rr3.exe -forever\" -noconsole -name tuned\n\"rr4.exe -forever\" -noconsole -name held\n"
         "\"rr5.exe -forever\" -noconsole -name gone\n",
         {"rr7.exe has been removed from process list.", "All services have been started.", ">stop held",
          "held Stopped.",
          "%define \"rr7.exe -sleep 200\" -noconsole -sync\n\"rr1.exe -forever\" -noconsole -name keep\n\"rr2.exe -sleep 600000\" -noconsole\n"
          "\"rr3.exe -forever\" -noconsole -name tuned -restartdelay 5\n"
          "\"rr4.exe -sleep 600000\" -noconsole -name held\n\"rr6.exe -forever\" -noconsole -name fresh\n",
          ">reload", "!Started process: rr7.exe.", "+Started process: fresh.", "+Reloaded ", "+Restarting rr2.exe: its process settings changed.",
          "+Changed tuned.", "+Changed held.", "+Added fresh.", "+Removing gone: it leaves the list when it has stopped.",
          "Stopping process rr2.exe", "rr2.exe Stopped.", "+Started process: rr2.exe.", "Stopping process gone",
          "gone Stopped.", "gone has been removed from process list.", "~500", ">status", "Status of all processes:",
          "Process keep(", "Process rr2.exe(", "Process tuned(", "Process held(2.0-2.0.1.5)        stopped ",
          "Process fresh(", "!Stopping process keep", "!Stopping process tuned", "!Started process: held.",
          "!Process gone",
          "%define \"rr1.exe -forever\" -noconsole -name keep\n\"rr3.exe -forever\" -noconsole -stoptimeout x2\n",
          ">reload", "Reload refused: ", "Error: ", ">stop fresh", "Stopping process fresh", "fresh Stopped.",
          ">status", "Process keep(", "Process rr2.exe(", "Process tuned(", "Process held(", "Process fresh(",
          "!Started process: rr2", "!Stopping process tuned"}},
        // READY: each line holds the next until it listens, answers or
        // signals; the status says starting meanwhile, the record running.
        {"ReadyLinesHoldTheNextUntilTheyServe", {"rr1.exe", "rr2.exe", "rr3.exe", "rr4.exe"}, {},
         "\"rr1.exe -listen 47311 2000 -forever\" -noconsole -ready tcp:47311\n"
         "\"rr2.exe -listen 47312 1000 -forever\" -noconsole -ready http://127.0.0.1:47312/ready\n"
         "\"rr3.exe -sleep 1000 -setevent OvrRulesReady3 -forever\" -noconsole -ready event:OvrRulesReady3\n"
         "\"rr4.exe -forever\" -noconsole\n",
         {"#rr1.exe 4 ", "Started process: rr1.exe.", ">status", "Status of all processes:",
          "Process rr1.exe(2.0-2.0.1.5)     starting      ", "rr1.exe is ready.|1000-4500",
          "Started process: rr2.exe.", "rr2.exe is ready.|500-3500", "Started process: rr3.exe.",
          "rr3.exe is ready.", "Started process: rr4.exe.", "All services have been started.", ">status",
          "Status of all processes:", "Process rr1.exe(2.0-2.0.1.5)     running       ", ">details",
          "@rr1.exe running healthy -1", "!rr1.exe was not ready"}},
        // Not ready in time: the notice, a graceful stop and a restart that
        // counts like a crash; the next line waits through it and starts
        // once the line is given up.
        {"NotReadyInTimeIsRestartedThenGivenUpAndTheNextLineStarts", {"rj1.exe", "rj2.exe"}, {},
         "\"rj1.exe -listen 47313 60000 -forever\" -noconsole -ready tcp:47313 -readytimeout 2 -restartdelay 1 "
         "-maxrestarts 1\n\"rj2.exe -forever\" -noconsole\n",
         {"Started process: rj1.exe.", "rj1.exe was not ready within 2 seconds.|1800-4000",
          "Started process: rj1.exe.|700-4000", "rj1.exe was not ready within 2 seconds.|1800-4000",
          "rj1.exe has been restarted 1 times in a row and will not be restarted again.",
          "Started process: rj2.exe.", "All services have been started.", ">status",
          "Process rj1.exe(2.0-2.0.1.5)     given up      ", "!rj1.exe did not stop"}},
        // HEALTH: a server that stops answering while its port stays open is
        // restarted after its failures in a row, gracefully.
        {"UnansweredHealthChecksRestartTheLine", {"rf1.exe"}, {},
         "\"rf1.exe -listen 47314 0 -hang 2500 -onctrl rf1.txt -forever\" -noconsole -ready tcp:47314 "
         "-health http://127.0.0.1:47314/ -healthinterval 1 -healthtimeout 1 -healthfailures 2 -restartdelay 0\n",
         {"Started process: rf1.exe.", "rf1.exe is ready.", "~1200", ">details", "@rf1.exe running healthy 1",
          "rf1.exe failed 2 health checks in a row and is restarted.|1500-8000", "%mark rf1.txt ctrlc",
          "Started process: rf1.exe.|0-3000", "rf1.exe is ready.", "!rf1.exe did not stop"}},
        // A NOSTOP line is only asked, and its checks go on while it runs on.
        {"NoStopLineFailingItsHealthIsAskedAndCheckedOn", {"rf2.exe"}, {},
         "\"rf2.exe -listen 47315 0 -hang 0 -ignorectrl -forever\" -noconsole -nostop -stoptimeout 1 "
         "-health http://127.0.0.1:47315/ -healthinterval 1 -healthtimeout 1 -healthfailures 1\n",
         {"Started process: rf2.exe.", "rf2.exe failed 1 health checks in a row and is restarted.",
          "rf2.exe failed 1 health checks in a row and is restarted.|1000-10000", "~1000",
          "!Started process: rf2.exe.", "!rf2.exe did not stop"}},
        // MAXMEMORY: a line that grows past its limit is stopped gracefully
        // and started again.
        {"MemoryOverTheLimitRestartsTheLine", {"rmm1.exe"}, {},
         "\"rmm1.exe -grow 8 100 -onctrl rmm1.txt -forever\" -noconsole -maxmemory 40 -restartdelay 0\n",
         {"Started process: rmm1.exe.", "rmm1.exe used ", "&, over its limit of 40 MB, and is restarted.",
          "%mark rmm1.txt ctrlc", "Started process: rmm1.exe.|0-3000", "!rmm1.exe did not stop"}},
        {"MoreThanSixtyFourRecordsWithAQuitAndACommandBehindThem", Names(1, 70, "rw%02d.exe"), {},
         Lines(1, 69, "\"rw%02d.exe -forever\" -noconsole -nounique\n") +
             "\"rw70.exe -sleep 8000 -crash\" -noconsole -nounique -restartdelay 60\n",
         {"Started process: rw01.exe.", "Started process: rw69.exe.", "Started process: rw70.exe.",
          "All services have been started.", ">stop rw69", "rw69.exe Stopped.",
          "rw70.exe has ended. Exit code: -1073741819", "$quit", "Stopping process rw01.exe", "=exit"}},
    };
    return s_aCases;
}

struct CArrived
{
    std::string m_csText;
    LONGLONG m_llAt;
};

class CRuleRun
{
public:
    explicit CRuleRun(const CRuleCase& rc) : m_case(rc), m_csExe(std::string("Ovr") + rc.m_pszName + ".exe") {}
    ~CRuleRun()
    {
        for (PROCESS_INFORMATION& pi : m_apiExternal) {
            ::TerminateProcess(pi.hProcess, 1);
            ::WaitForSingleObject(pi.hProcess, 5000);
            ::CloseHandle(pi.hProcess);
            ::CloseHandle(pi.hThread);
        }
    }

    void Run()
    {
        ASSERT_TRUE(m_ovrin.Prepare(m_csExe));
        for (const std::string& csChild : m_case.m_acsChildren)
            ASSERT_TRUE(m_ovrin.CopyChild(csChild));
        for (const std::string& csExternal : m_case.m_acsExternal)
            StartExternal(csExternal);
        ASSERT_TRUE(m_ovrin.Launch(m_case.m_csDefinition)) << ::GetLastError();
        ASSERT_TRUE(m_client.Connect(m_csExe, c_dwLong));
        for (const std::string& csStep : m_case.m_acsSteps) {
            SCOPED_TRACE(csStep);
            Step(csStep);
            if (::testing::Test::HasFatalFailure())
                break;
        }
        Pump(300);
        for (const auto& check : m_aAbsent) {
            for (size_t i = check.second; i < m_aArrived.size(); i++)
                EXPECT_NE(m_aArrived[i].m_csText.compare(0, check.first.size(), check.first), 0)
                    << "\"" << check.first << "\" came, line " << i << Transcript();
        }
    }

private:
    // Splits "text|lo-hi" into the text and the tolerance.
    static std::string Tolerance(const std::string& csStep, LONG& nLo, LONG& nHi)
    {
        nLo = -1;
        nHi = -1;
        const size_t iBar = csStep.rfind('|');
        if (iBar == std::string::npos || iBar == 0)
            return csStep;
        sscanf(csStep.c_str() + iBar + 1, "%ld-%ld", &nLo, &nHi);
        return csStep.substr(0, iBar);
    }

    void Step(const std::string& csStep)
    {
        LONG nLo, nHi;
        const std::string csText = Tolerance(csStep, nLo, nHi);
        switch (csText[0]) {
        case '>':
            Command(csText.substr(1));
            return;
        case '$':
            m_ovrin.WriteInput(csText.substr(1) + "\r\n");
            return;
        case '~':
            Pump((DWORD)atol(csText.c_str() + 1));
            return;
        case '!':
            m_aAbsent.push_back({csText.substr(1), m_iNext});
            return;
        case '&':
            ASSERT_GT(m_iNext, 0u);
            EXPECT_NE(m_aArrived[m_iNext - 1].m_csText.find(csText.substr(1)), std::string::npos)
                << "\"" << m_aArrived[m_iNext - 1].m_csText << "\" does not hold \"" << csText.substr(1) << "\"";
            return;
        case '%':
            Special(csText.substr(1));
            return;
        case '=': {
            ASSERT_TRUE(m_ovrin.WaitForExit(c_dwLong)) << Transcript();
            const LONGLONG llEnded = NowTicks();
            EXPECT_EQ(m_ovrin.GetExitCode(), 0u);
            CheckTime(llEnded, nLo, nHi, "the end");
            Pump(200);
            return;
        }
        case '+': {
            const size_t i = Find(csText.substr(1), m_iNext);
            ASSERT_NE(i, std::string::npos) << "\"" << csText.substr(1) << "\" did not come" << Transcript();
            CheckTime(m_aArrived[i].m_llAt, nLo, nHi, csText);
            return;
        }
        default: {
            const size_t i = Find(csText, m_iNext);
            ASSERT_NE(i, std::string::npos) << "\"" << csText << "\" did not come" << Transcript();
            CheckTime(m_aArrived[i].m_llAt, nLo, nHi, csText);
            m_llPrevious = m_aArrived[i].m_llAt;
            m_iNext = i + 1;
        }
        }
    }

    void CheckTime(LONGLONG llAt, LONG nLo, LONG nHi, const std::string& csWhat)
    {
        if (nLo < 0)
            return;
        const double dMs = TicksToMs(llAt - m_llPrevious);
        EXPECT_TRUE(dMs >= nLo && dMs <= nHi) << csWhat << " came " << dMs << " ms after the previous line, not "
                                              << nLo << ".." << nHi << Transcript();
    }

    void Command(const std::string& csCommand)
    {
        static const struct
        {
            const char* m_pszVerb;
            DWORD m_dwKind;
        } s_aVerbs[] = {{"stop", MSG_STOP}, {"start", MSG_START}, {"kill", MSG_TERMINATE},
                        {"status", MSG_STATUS}, {"report", MSG_REPORT_ALL}, {"reload", MSG_RELOAD},
                        {"details", MSG_REPORT_DETAILS}};
        const size_t iBlank = csCommand.find(' ');
        const std::string csVerb = csCommand.substr(0, iBlank);
        const std::string csName = iBlank == std::string::npos ? "" : csCommand.substr(iBlank + 1);
        for (const auto& verb : s_aVerbs) {
            if (csVerb == verb.m_pszVerb) {
                ASSERT_TRUE(m_client.Send(verb.m_dwKind, csName));
                return;
            }
        }
        FAIL() << "no such command in the table: " << csCommand;
    }

    void Special(const std::string& csSpecial)
    {
        if (csSpecial == "silent") {
            ASSERT_TRUE(m_silent.Connect(m_csExe, c_dwLong, FALSE));
        } else if (csSpecial == "garbage") {
            ASSERT_TRUE(m_garbage.Connect(m_csExe, c_dwLong));
            m_garbage.SendRaw(std::string("\x08\x00\x00\x00\xff\xff\x00\x00", 8) + std::string(40, 'x'));
        } else if (csSpecial.compare(0, 5, "copy ") == 0) {
            ASSERT_TRUE(m_ovrin.CopyChild(csSpecial.substr(5)));
        } else if (csSpecial.compare(0, 7, "define ") == 0) {
            ASSERT_TRUE(WriteTextFile(m_ovrin.GetPath(StripExtension(m_csExe) + ".inf"), csSpecial.substr(7)));
        } else if (csSpecial.compare(0, 4, "ext ") == 0) {
            StartExternal(csSpecial.substr(4));
        } else if (csSpecial.compare(0, 6, "alive ") == 0) {
            EXPECT_FALSE(FindProcessesWithPrefix(csSpecial.substr(6)).empty()) << csSpecial << Transcript();
        } else if (csSpecial.compare(0, 5, "gone ") == 0) {
            const DWORD dwStart = ::GetTickCount();
            while (!FindProcessesWithPrefix(csSpecial.substr(5)).empty() && ::GetTickCount() - dwStart < 3000)
                ::Sleep(50);
            EXPECT_TRUE(FindProcessesWithPrefix(csSpecial.substr(5)).empty()) << csSpecial << Transcript();
        } else if (csSpecial.compare(0, 6, "ready ") == 0) {
            const std::string csPath = m_ovrin.GetPath(csSpecial.substr(6));
            const DWORD dwStart = ::GetTickCount();
            while (::GetFileAttributesA(csPath.c_str()) == INVALID_FILE_ATTRIBUTES && ::GetTickCount() - dwStart < c_dwLong)
                ::Sleep(20);
            ASSERT_NE(::GetFileAttributesA(csPath.c_str()), INVALID_FILE_ATTRIBUTES) << csSpecial << Transcript();
        } else if (csSpecial.compare(0, 5, "mark ") == 0) {
            const size_t iBlank = csSpecial.find(' ', 5);
            const std::string csPath = m_ovrin.GetPath(csSpecial.substr(5, iBlank - 5));
            const std::string csExpected = csSpecial.substr(iBlank + 1);
            std::string csText = "(missing)";
            const DWORD dwStart = ::GetTickCount();
            while (!ReadTextFile(csPath, csText) && ::GetTickCount() - dwStart < 3000)
                ::Sleep(50);
            EXPECT_EQ(csText, csExpected) << csSpecial << Transcript();
        } else {
            FAIL() << "no such step: " << csSpecial;
        }
    }

    void StartExternal(const std::string& csCommandLine)
    {
        STARTUPINFOA si = {sizeof si};
        PROCESS_INFORMATION pi = {};
        std::string csLine = m_ovrin.m_csDir + "\\" + csCommandLine;
        ASSERT_TRUE(::CreateProcessA(NULL, &csLine[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL,
                                     m_ovrin.m_csDir.c_str(), &si, &pi))
            << csLine << " " << ::GetLastError();
        m_apiExternal.push_back(pi);
    }

    // Collects what arrives for up to dwMs.
    void Pump(DWORD dwMs)
    {
        const DWORD dwStart = ::GetTickCount();
        for (DWORD dwElapsed = 0; dwElapsed < dwMs; dwElapsed = ::GetTickCount() - dwStart) {
            if (!Receive(dwMs - dwElapsed))
                return;
        }
    }

    BOOL Receive(DWORD dwTimeoutMs)
    {
        CControlMessage msg;
        LONGLONG llAt = 0;
        if (!m_client.Receive(msg, &llAt, dwTimeoutMs))
            return FALSE;
        std::string csText = msg.m_csText;
        if (msg.m_dwKind == MSG_PROCESS_RECORD)
            csText = "#" + msg.m_csFilename + " " + std::to_string(msg.m_nStatus) + " " + msg.m_csVersion;
        CProcessDetail detail;
        if (msg.m_dwKind == MSG_PROCESS_DETAIL && detail.Parse(msg.m_csText))
            csText = "@" + msg.m_csName + " " + detail.m_csState + " healthy " + std::to_string(detail.m_nHealthy);
        m_aArrived.push_back({csText, llAt});
        return TRUE;
    }

    // The first broadcast from iFrom on that starts with csPrefix, waiting for it.
    size_t Find(const std::string& csPrefix, size_t iFrom)
    {
        const DWORD dwStart = ::GetTickCount();
        for (size_t i = iFrom;; i++) {
            while (i >= m_aArrived.size()) {
                const DWORD dwElapsed = ::GetTickCount() - dwStart;
                if (dwElapsed >= c_dwLong || !Receive(c_dwLong - dwElapsed))
                    return std::string::npos;
            }
            if (m_aArrived[i].m_csText.compare(0, csPrefix.size(), csPrefix) == 0)
                return i;
        }
    }

    std::string Transcript()
    {
        std::string cs = "\nbroadcasts (-> marks where the next match is looked for):\n";
        for (size_t i = 0; i < m_aArrived.size(); i++)
            cs += (i == m_iNext ? "->" : "  ") + m_aArrived[i].m_csText + "\n";
        return cs + "console:\n" + m_ovrin.Output();
    }

    const CRuleCase& m_case;
    std::string m_csExe;
    COvrinProcess m_ovrin;
    CTestClient m_client;
    CTestClient m_silent;
    CTestClient m_garbage;
    std::vector<PROCESS_INFORMATION> m_apiExternal;
    std::vector<CArrived> m_aArrived;
    std::vector<std::pair<std::string, size_t>> m_aAbsent;
    size_t m_iNext = 0;
    LONGLONG m_llPrevious = 0;
};

class Rules : public ::testing::TestWithParam<CRuleCase>
{
};

}  // namespace

TEST_P(Rules, Hold)
{
    CRuleRun run(GetParam());
    run.Run();
}

INSTANTIATE_TEST_SUITE_P(Supervisor, Rules, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<CRuleCase>& info) { return info.param.m_pszName; });

// The console client of the supervisor and the client started alone.
namespace {

BOOL Shows(COvrinProcess& ovrin, const std::string& csText)
{
    return ovrin.WaitForOutput(csText, c_dwLong) != std::string::npos;
}

}  // namespace

TEST(SupervisorConsole, PromptHelpInvalidCommandsAndQuit)
{
    COvrinProcess ovrin;
    ovrin.Prepare("OvrConsole.exe");
    ovrin.CopyChild("quiet.exe");
    ASSERT_TRUE(ovrin.Launch("\"quiet.exe -forever\" -noconsole\n"));
    ASSERT_TRUE(Shows(ovrin, "Connected. Type 'help' or '?' for a list of commands.")) << ovrin.Output();
    ASSERT_TRUE(Shows(ovrin, "All services have been started."));
    ovrin.WriteInput("HELP\r\n");
    ASSERT_TRUE(Shows(ovrin, " controlled. You may specify 'all' instead of a process name.)"));
    ovrin.WriteInput("?? \r\nstart\r\n\r\na b c\r\nStatus\r\n");
    ASSERT_TRUE(Shows(ovrin, "Process quiet.exe")) << ovrin.Output();
    std::string csOut = ovrin.Output();
    EXPECT_NE(csOut.find("Attempting to connect to "), std::string::npos);
    EXPECT_NE(csOut.find("Connecting using \\\\.\\pipe\\Tesk\\OvrinUtility\\OvrConsole.exe."), std::string::npos)
        << csOut;
    EXPECT_NE(csOut.find("Commands:\r\n  status - lists the status of all processes\r\n"), std::string::npos);
    EXPECT_NE(csOut.find("Invalid command: ??. Type '?' for help."), std::string::npos);
    EXPECT_NE(csOut.find("Invalid command: start. Type '?' for help."), std::string::npos);
    EXPECT_NE(csOut.find(">"), std::string::npos);
    ovrin.WriteInput("QUIT\r\n");
    EXPECT_TRUE(ovrin.WaitForExit(c_dwLong)) << ovrin.Output();
    // The last line may still be on its way from the pipe when the end is seen.
    EXPECT_NE(ovrin.WaitForOutput("Ending.", c_dwLong), std::string::npos) << ovrin.Output();
    EXPECT_EQ(ovrin.GetExitCode(), 0u);
}

TEST(SupervisorClient, StartedBeforeItsServerAndUnreachableComputer)
{
    COvrinProcess client;
    ASSERT_TRUE(client.Start("OvrLate.exe", "", "-c"));
    ::Sleep(1500);
    COvrinProcess server;
    server.Prepare("OvrLate.exe");
    server.CopyChild("late.exe");
    ASSERT_TRUE(server.Launch("\"late.exe -forever\" -noconsole\n"));
    ASSERT_TRUE(Shows(client, "Connected. Type 'help' or '?' for a list of commands."))
        << client.Output();
    client.WriteInput("status\r\n");
    EXPECT_TRUE(Shows(client, "Status of all processes:")) << client.Output();
    client.CloseInput();
    EXPECT_TRUE(client.WaitForExit(c_dwLong));
    EXPECT_NE(client.WaitForOutput("Ending.", c_dwLong), std::string::npos) << client.Output();
    server.WriteInput("quit\r\n");
    EXPECT_TRUE(server.WaitForExit(c_dwLong));

    COvrinProcess lost;
    DWORD dwStart = ::GetTickCount();
    ASSERT_TRUE(lost.Start("OvrLost.exe", "", "-c nosuchcomputer"));
    EXPECT_TRUE(lost.WaitForExit(c_dwLong));
    EXPECT_NE(lost.Output().find("Unable to connect to pipe \\\\nosuchcomputer\\pipe\\Tesk\\OvrinUtility\\OvrLost.exe. Error "),
              std::string::npos)
        << lost.Output();
    EXPECT_EQ(lost.GetExitCode(), (DWORD)EXIT_CODE_NOT_CONNECTED);
    EXPECT_LT(::GetTickCount() - dwStart, 15000u);
}

// The QUIT rule ends the supervisor whatever its standard input is: the
// driver keeps it open (a scheduler's or a wrapper's pipe), and "Ending."
// is followed by the end of the process within a second.
TEST(SupervisorConsole, QuitRuleEndsTheProcessWithStandardInputLeftOpen)
{
    COvrinProcess ovrin;
    ovrin.Prepare("OvrQuitOpen.exe");
    ovrin.CopyChild("qo1.exe");
    ovrin.CopyChild("qo2.exe");
    ASSERT_TRUE(ovrin.Launch("\"qo1.exe -sleep 300 -exit 0\" -noconsole -quit -quitdelay 0 -exit 0\n"
                             "\"qo2.exe -forever\" -noconsole\n"));
    ASSERT_NE(ovrin.WaitForOutput("Ending.", c_dwLong), std::string::npos) << ovrin.Output();
    const DWORD dwEnding = ::GetTickCount();
    EXPECT_TRUE(ovrin.WaitForExit(c_dwLong)) << ovrin.Output();
    EXPECT_LT(::GetTickCount() - dwEnding, 1000u) << ovrin.Output();
    EXPECT_EQ(ovrin.GetExitCode(), 0u);
    const std::string csOut = ovrin.Output();
    EXPECT_LT(csOut.find("qo2.exe Stopped."), csOut.find("Ending.")) << csOut;
}
