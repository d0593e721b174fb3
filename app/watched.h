// CWatchedProcess: one defined process: a child process plus the options of
// its definition line, its state code, its times and its restart alarm.
// Besides the process handles it owns, with KILLTREE, the job of the
// process tree; CloseHandles, Kill and the destructor close it, which ends
// every process left in the tree (the job kills on close).
// Records live in the application's process list and are used only by the
// supervision thread; the alarm thread touches only m_alarmRestart.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/alarm.h"
#include "common/handle.h"
#include "common/millitim.h"
#include "common/stopway.h"
#include "common/win32.h"
#include "capture.h"
#include "checks.h"

// Process states. Their texts, wire values, shown times and allowed source
// states are one table in watched.cpp; SetState is the only way in.
enum
{
    PS_CRASHED = 0,
    PS_ENDED = 1,
    PS_STOPPED = 2,
    PS_RUNNING = 3,
    PS_NOT_CREATED = 4,
    PS_STARTING = 5,
    PS_ANOTHER_INSTANCE = 6,
    PS_REMOVED = 7,
    PS_NOT_INITIALIZED = 8,
    PS_GIVEN_UP = 9,    // MAXRESTARTS reached; reported as crashed on the wire
    PS_STOPPING = 10    // asked to end, its deadline armed; reported as running on the wire
};

// Every state's text (right blanks trimmed), in table order, for the
// metrics' one series per state.
std::vector<std::string> GetStateTexts();
// How many state changes records have made in this process: the metrics
// file is written soon after it moves.
LONG GetStateChangeCount();

// What the group and master rules ask of a member.
enum
{
    RULE_NONE,
    RULE_STOP_AND_RESTART,   // a brother crashed: down, then up after the delay
    RULE_STOP_FOR_GOOD,      // the master ended normally: down until started
    RULE_RESTART_COUNTED     // a check failed: up again by the line's restart rules, as after a crash
};

// Why a line is being stopped, which says what follows its end.
enum
{
    STOP_FOR_NONE,
    STOP_FOR_OPERATOR,   // the stop command: down until started
    STOP_FOR_SHUTDOWN,
    STOP_FOR_GROUP,      // RULE_STOP_AND_RESTART
    STOP_FOR_MASTER,     // RULE_STOP_FOR_GOOD
    STOP_FOR_RELOAD,     // a reload removes or changes the line: see m_nReloadAction
    STOP_FOR_CHECK       // RULE_RESTART_COUNTED: not ready in time, unhealthy or over its memory
};

// What a reload left for the end of a line's run (m_nReloadAction).
enum
{
    RELOAD_NONE,
    RELOAD_REMOVE,    // the line is gone from the file: it leaves the list
    RELOAD_REPLACE    // m_pReloaded's settings hold from the next start
};

// How a run came to its end (RecordEnd).
enum
{
    END_SEEN,
    END_KILLED,
    END_CANCELLED,
    END_GIVEN_UP
};

// What asking a record to stop came to (BeginStop).
enum
{
    STOP_BEGUN,        // asked; its end or its deadline completes the stop
    STOP_KILLED,       // killed at once (STOPTIMEOUT 0, or no way reached it)
    STOP_NOT_RUNNING,  // nothing to stop
    STOP_REFUSED       // NOSTOP
};

// How a line is restarted: RESTARTDELAY, BACKOFF and MAXRESTARTS.
struct CRestartPolicy
{
    LONG m_nDelayMs;        // RESTARTDELAY
    LONG m_nBackoffMaxMs;   // BACKOFF; 0 without
    LONG m_nMaxRestarts;    // MAXRESTARTS; -1 without
};

// The counts that carry from one end of a line to the next.
struct CRestartCount
{
    LONG m_nBackoffStep;      // k of the last restart or retry (0: none yet)
    LONG m_nCountedRestarts;  // restarts in a row that followed counted runs
};

// After a run of ullRunMs that ended unexpectedly: FALSE when the line is
// given up; otherwise the delay before its restart in nDelayMs.
BOOL NextRestartDelay(const CRestartPolicy& policy, CRestartCount& count, ULONGLONG ullRunMs, LONG& nDelayMs);
// The delay before the next try of a start that failed (never under a second).
LONG NextRetryDelay(const CRestartPolicy& policy, CRestartCount& count);

// How long a stop waits for a process it asked to end before the kill
// (STOPTIMEOUT's default, seconds).
const LONG c_nDefaultStopTimeout = 2;
const LONG c_nMaxStopTimeout = 86400;
// A request that was delivered is followed by the next way of the line's
// chain this much later (never past the deadline), for programs that took
// the first one and went on.
const DWORD c_dwNextStopWayMs = 1000;
// A console event goes to a process that has run at least this long.
const DWORD c_dwYoungProcessMs = 500;

class CWatchedProcess : public CChildProcess
{
public:
    CWatchedProcess();
    virtual ~CWatchedProcess();

    virtual void OnSignalled() override;
    // Applies this record's rules to the end of pEnded (this record or
    // another). A member that runs and must end is not stopped here: the
    // result says so (RULE_*), the caller stops it and then calls
    // FinishRuleStop, which is all a member that does not run needs.
    LONG OnProcessEnded(CWatchedProcess* pEnded);
    void FinishRuleStop(LONG nRule);

    // Copies the supervision options of a NOSTART template for an external instance.
    void CopyFromTemplate(const CWatchedProcess& wpTemplate);

    LONG GetState() const { return m_nState; }
    // The one writer of the state: checks that the change is allowed from
    // the current state (a change that is not is reported as a software
    // failure and not made; FALSE), and traces it.
    BOOL SetState(LONG nState);
    std::string GetStateText() const;
    // The status code of the state in a process record (0 for none).
    LONG GetWireStatus() const;
    std::string GetTimeText() const;
    std::string GetUniqueName() const;
    // The name a process census lists the line's program under: UNIQUE's
    // name, else the program's file name, without folder and ".exe", cut
    // to 15 characters.
    std::string GetCensusName() const;
    // The same without the cut: what a running instance's own file name
    // (without folder and ".exe") must be where the name alone decides.
    std::string GetInstanceFileName() const;
    // The program file a running instance must run for UNIQUE (and a
    // NOSTART line) to take it: the full path of the line's program where
    // it resolves to a file (FindExecutable). Empty where it does not, or
    // where UNIQUE names another program than the line's: then the name
    // alone decides.
    std::string GetUniqueProgramPath();
    // hProcess runs what UNIQUE looks for: the file csProgramPath, or,
    // without one, an image of the file name GetInstanceFileName (where
    // the image cannot be read, the census's name has decided already).
    BOOL RunsUniqueProgram(HANDLE hProcess, const std::string& csProgramPath) const;
    // The process dwProcessId (listed under GetCensusName by a census) runs
    // what UNIQUE looks for. A process that cannot be opened to tell counts
    // only where the name alone decides (its attach then fails as before).
    BOOL IsUniqueInstance(DWORD dwProcessId, const std::string& csProgramPath) const;
    // The line's ENV entries take effect the same as other's (names
    // compared without regard to case, the last of a name counting): a
    // reload compares two readings of a line with it.
    BOOL HasSameEnvironment(const CWatchedProcess& other) const;
    // The name commands, status, notices and records use: NAME, or the
    // program as the line lists it.
    std::string GetName() const { return !m_csName.empty() ? m_csName : GetExeName(); }
    BOOL IsRunning();
    BOOL IsExternalTemplate() const;
    void SetMonitorEvent(const std::string& csName);
    void SignalMonitorEvent();
    // The exit code of an ended process (returns at once once it has ended).
    LONG GetExitCode();
    // An end with the okay exit code of an EXIT line.
    BOOL EndedNormally();

    virtual void CloseHandles() override;

    // Starting, attaching and stopping.
    BOOL Start();
    // Attaches to a running process (m_fAttached). With pftSeenBefore, the
    // process must also run the line's program (RunsUniqueProgram) and have
    // been created before that time (the census that found it), or the id
    // has been reused: FALSE.
    BOOL Attach(DWORD dwProcessId, const FILETIME* pftSeenBefore = NULL);
    // The process behind hProcess is the one a census listed under the
    // unique name: it runs the line's program and was created before the
    // census.
    BOOL IsListedProcess(HANDLE hProcess, const FILETIME& ftSeenBefore);
    // Asks the process to end by the first ways of its chain that reach it
    // and arms m_alarmStop for the next way or the deadline, dwCapMs from
    // now at the latest (INFINITE: STOPTIMEOUT alone). Never waits.
    // With fAskOnly (the group and master rules' NOSTOP members) the process
    // is asked but never killed.
    LONG BeginStop(DWORD dwCapMs = INFINITE, BOOL fAskOnly = FALSE);
    // m_alarmStop fired while stopping: the next way, or the kill at the
    // deadline (TRUE: killed; the caller completes the stop). An ask-only
    // stop ends at its deadline with the process running (FALSE, state
    // running again; the caller completes it).
    BOOL OnStopAlarm();
    BOOL IsStopping() const { return m_nState == PS_STOPPING; }
    // Brings the deadline of a stop in progress forward to dwCapMs from now.
    void CapStopDeadline(DWORD dwCapMs);
    // How long a stop of this record waits before the kill (STOPTIMEOUT).
    DWORD GetStopTimeoutMs() const
    {
        return (DWORD)(m_nStopTimeout >= 0 ? m_nStopTimeout : c_nDefaultStopTimeout) * 1000;
    }
    // What the stop in progress (or the last) gives the process.
    DWORD GetStopWaitMs() const { return m_dwStopWaitMs; }
    BOOL Kill();
    // Arms the restart nDelayMs after the recorded end.
    void ScheduleRestart(LONG nDelayMs);
    // After an unexpected end: the restart after RESTARTDELAY or BACKOFF's
    // delay, or given up at MAXRESTARTS.
    void RestartByRules();
    // What the record waits on follows from its state: its process while
    // it runs or is being stopped, else its restart alarm while one is
    // armed, else nothing. Every change of either calls this.
    void UpdateWait();
    // Every end of a run goes through here, which decides the state it
    // leaves: END_SEEN (the loop saw the process end: crashed, ended or
    // stopped by the line's rules), END_KILLED, END_CANCELLED (an
    // operator's stop of a line waiting for its restart), END_GIVEN_UP.
    void RecordEnd(LONG nHow);
    // Waits on the restart alarm, armed nDelayMs after the recorded end
    // (fFromEnd) or after now.
    void ArmRestart(LONG nDelayMs, BOOL fFromEnd);
    // Records the end of a run (or of the wait for one) now.
    void MarkEnded();
    CRestartPolicy GetRestartPolicy() const;
    // An operator's start: the counts of BACKOFF and MAXRESTARTS begin again.
    void ResetRestartCount();
    // The job of a KILLTREE process: ends every process in it, and the job.
    void EndTree();
    // Disarms a pending restart or retry; TRUE when one was pending.
    BOOL CancelRestart();
    BOOL IsRestartPending() const;

    // Reload (reload.cpp). The settings that only a new process can take
    // (command, CD, ENV, console, captured output) and the others, each as
    // one comparable text, and their copies from the line as read again.
    std::string DescribeStartSettings() const;
    std::string DescribeRunSettings() const;
    void TakeStartSettings(const CWatchedProcess& wpNew);
    void TakeRunSettings(const CWatchedProcess& wpNew);
    void TakeSettings(const CWatchedProcess& wpNew)
    {
        TakeStartSettings(wpNew);
        TakeRunSettings(wpNew);
    }
    // Its process runs, or a stop of it has not come to its end yet: a
    // reload leaves its record as it is until then.
    BOOL IsRunOrStopUnderWay() { return IsRunning() || m_nStopFor != STOP_FOR_NONE; }
    // The line as a reload finds it: its NAME, or its command line.
    std::string GetReloadKey() const;
    LONG m_nReloadAction;     // RELOAD_*
    // RELOAD_REPLACE: the line as read again, and whether it starts once the
    // run that the reload stopped has ended (an operator's stop or the
    // shutdown in between leaves it down).
    std::unique_ptr<CWatchedProcess> m_pReloaded;
    BOOL m_fStartAfterReload;

    // Executable lookup and version text of the listed name.
    std::string FindExecutable();
    std::string GetVersionText();

    BOOL m_fMaster;
    LONG m_nGroup;
    BOOL m_fCheckExitCode;
    DWORD m_dwOkExitCode;
    BOOL m_fWatch;
    BOOL m_fSync;
    BOOL m_fUnique;
    BOOL m_fStopRequested;
    LONG m_nStopTimeout;          // STOPTIMEOUT seconds; -1: the GLOBAL line's, or the default
    CStopWayArray m_adwStopWays;  // STOPMETHOD; empty: the default chain
    BOOL m_fForcedStop;           // the last stop needed the kill
    LONG m_nForcedStops;          // stops that needed the kill (the metrics' counter)
    // The last stop needed the kill: the flag and the count.
    void MarkForcedStop()
    {
        m_fForcedStop = TRUE;
        m_nForcedStops++;
    }
    // While stopping: the next way's time or the deadline; after a kill by
    // the terminate command, the time its end is looked for.
    CAlarm m_alarmStop;
    ULONGLONG m_ullStopDeadlineMs;
    DWORD m_dwStopWaitMs;
    size_t m_iNextStopWay;
    LONG m_nStopFor;          // STOP_FOR_*: why the stop in progress was asked
    BOOL m_fWatchTerminate;   // m_alarmStop looks for the end of a terminate
    BOOL m_fAskOnly;          // the stop in progress never kills
    BOOL m_fAskWhenOlder;     // the next way waits until the process has run a moment
    CStopWayArray m_adwStopChain;  // the ways of the stop in progress
    std::string m_csUniqueName;
    std::string m_csName;         // NAME; empty: the program's name
    CMilliTime m_mtStarted;
    CMilliTime m_mtEnded;
    CMilliTimeSpan m_mtsRestartDelay;
    CAlarm m_alarmRestart;
    BOOL m_fQuit;
    LONG m_nQuitDelay;
    BOOL m_fQuitPending;
    BOOL m_fNoStart;
    BOOL m_fNoStop;
    std::string m_csMonitorEventName;
    // MONITOREVSEM's event: the template line opens it, and the copies made
    // for its external instances share it; the last of them closes it.
    std::shared_ptr<CHandle> m_pMonitorEvent;
    LONG m_nBackoffMax;      // BACKOFF seconds; 0 without
    LONG m_nMaxRestarts;     // MAXRESTARTS; -1 without
    BOOL m_fKillTree;        // KILLTREE: the process and all it starts share a job
    CRestartCount m_restartCount;
    ULONGLONG m_ullStartedMs;   // monotonic times of m_mtStarted and m_mtEnded
    ULONGLONG m_ullEndedMs;
    CHandle m_hJob;             // KILLTREE's job while the process runs
    // Why the last KILLTREE start could not put the process in a job of its
    // own (empty when it could); the supervisor reports it.
    std::string m_csTreeProblem;

    // Kept for operators (the control tool's details); no rule reads them.
    LONG m_nStartsSeen;        // successful starts since the supervisor started
    BOOL m_fHasLastExitCode;
    DWORD m_dwLastExitCode;    // of the last end seen
    LONGLONG m_llStartTime;    // of the last start, seconds since 1970; -1 before one
    BOOL m_fExternalCopy;      // made for an external instance of a NOSTART line
    // The line watches (or last watched) a process it did not start: set
    // by Attach to a running process, cleared by Start.
    BOOL m_fAttached;

    // ENV: "NAME=VALUE" entries as the file gives them, in file order, the
    // GLOBAL line's (those the line does not give itself) first. Empty: the
    // process inherits the supervisor's environment as it is.
    CStringArray m_acsEnv;

    // READY, HEALTH and MAXMEMORY, and where this run's checks stand.
    CCheckOptions m_checkOptions;
    CCheckState m_checks;
    // READY's event, made by the supervisor so that it can be reset before
    // each start; the program opens it by name and sets it.
    CHandle m_hReadyEvent;
    // Before a start: an old ready signal (READY's file or event) must not count.
    void ClearReadySignal();
    // The run is over or being stopped: no more probes or measurements.
    void EndChecks();
    // The private bytes of the process (with KILLTREE, of every process in
    // its job); FALSE when they cannot be read.
    BOOL QueryPrivateBytes(ULONGLONG& cbPrivate);

    // Captured output (STDOUT, STDERR, LOGSIZE, LOGKEEP) and where its
    // notices go (the application's queue; null without capture).
    COutputCapture m_capture;
    CNoticeQueue* m_pNotices;

private:
    void SetDefaults();
    // Delivers ways of m_adwStopChain from m_iNextStopWay on until one
    // reaches the process; TRUE when one did.
    BOOL DeliverNextStopWay();
    void ArmStopAlarm();
    // KILLTREE: a job of its own for the suspended new process.
    BOOL PutInJob();
    LONG m_nState;
};
