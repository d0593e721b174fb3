// CSupervisorApp: the one application object of Ovrin.exe. It chooses the
// run mode from the command line, prints the usage, runs the supervision
// loop on "ServerThread" and the interactive client on "ClientThread",
// reacts to console control events and stops everything in order. It owns
// what the supervisor's parts share: the process list, the global options of
// the definition file and the quit event. The process list and the records
// are used only by the server thread; control events and the service
// control handler only set events, terminate the client thread and wait.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/alarm.h"

#include "common/cio.h"
#include "common/perf.h"
#include "common/pipe.h"
#include "common/serial.h"
#include "common/servapp.h"
#include "common/win32.h"
#include "defreader.h"
#include "metrics.h"
#include "prober.h"
#include "watched.h"

class CControlMessage;
class CControlClient;

class CServerThread : public CThread
{
public:
    CServerThread() : CThread("ServerThread") {}
    virtual void Run() override;
};

class CClientThread : public CThread
{
public:
    CClientThread() : CThread("ClientThread") {}
    virtual void Run() override;
};

// Reads the definition file again for a reload, on "ReloadThread", so that
// the loop never waits for the file; the loop waits on the thread's end and
// then takes the reader's result.
class CReloadThread : public CThread
{
public:
    CReloadThread() : CThread("ReloadThread"), m_fValid(FALSE) {}
    virtual void Run() override;

    std::string m_csPath;
    CDefinitionReader m_reader;
    BOOL m_fValid;
};

// Prints what the server sends, on "StatusReaderThread". The client thread
// sets m_pClient and starts it; m_evStop (auto-reset) ends it.
class CStatusReaderThread : public CThread
{
public:
    CStatusReaderThread();
    virtual ~CStatusReaderThread();
    virtual void Run() override;

    CKernelEvent m_evStop;
    CControlClient* m_pClient;
};

// Pointers to records that the process list owns (snapshots, sequences).
typedef std::vector<CWatchedProcess*> CWatchedProcessArray;
// The process list: it owns the records, in definition-file order, with
// copies for external instances at its end.
typedef std::vector<std::unique_ptr<CWatchedProcess>> CWatchedProcessList;

// Lines stopped one after another, for a stop command, a rule or the
// shutdown: the next is asked when the one before has ended or been
// killed. The records belong to the process list.
struct CStopSequence
{
    CStopSequence() : m_nFor(STOP_FOR_NONE), m_pRequester(NULL), m_iCurrent(0), m_iAsked(0), m_fAskedAll(FALSE) {}
    CWatchedProcessArray m_apQueue;
    LONG m_nFor;                    // STOP_FOR_*
    // The client whose end-of-replies waits for the sequence; null when none.
    const CPipeConnection* m_pRequester;
    size_t m_iCurrent;              // the line waited for
    size_t m_iAsked;                // lines before this have been asked
    BOOL m_fAskedAll;               // a short budget asked every line at once
};
// The server's connections: the ones still listening for a client and the
// connected ones, in the order they were made.
typedef std::vector<std::unique_ptr<CPipeConnection>> CConnectionArray;

// A client has this long to take each message; one that does not read its
// pipe would otherwise hold its queue (and its memory) for ever.
const DWORD CLIENT_WRITE_TIMEOUT_MS = 3000;

// One object the supervision loop waits on and what it does when it fires.
struct CLoopSource
{
    CWaitObject* m_pObject;
    std::function<void()> m_fnOnFired;
};
typedef std::vector<CLoopSource> CLoopSourceArray;

// What the supervision loop keeps between its turns: its alarms and whose
// turn is next after a process event or a client message.
struct CLoopState
{
    CLoopState() : m_nServed(0), m_iSweep(0), m_iClientSweep(0) {}
    CAlarm m_alarmStartup;
    CAlarm m_alarmMonitor;
    CAlarm m_alarmWrites;   // looks at writes that wait for their clients
    int m_nServed;          // what the last turn served (the loop's SERVED_*)
    size_t m_iSweep;        // the record after the one served last
    size_t m_iClientSweep;  // the connection after the one served last
};

class CSupervisorApp : public CServiceApp
{
public:
    CSupervisorApp();
    virtual ~CSupervisorApp();

    virtual BOOL OnControlEvent(DWORD dwCtrlType) override;
    virtual BOOL ProcessServiceSwitches() override;
    virtual BOOL ParseArguments() override;
    virtual void ShowUsage() override;
    virtual void Main() override;
    virtual void OnStop() override;
    // The system's shutdown: the lines are stopped within the pre-shutdown
    // time-out last given to the system, then the service reports stopped.
    virtual void OnPreshutdown() override;
    // The lines' STOPTIMEOUTs one after another plus a margin, bounded (see
    // ovrin.cpp). Reads the process list: supervision thread only, or
    // before it runs.
    virtual DWORD GetPreshutdownTimeout() override;
    // The control manager's parameter change: the definition file is read
    // again (the supervision loop does it).
    virtual void OnParamChange() override;
    // The QUIT rule's stop, from the supervision thread: only asks, never
    // waits (the main thread ends the client).
    void RequestShutdown();
    // Reads the definition file (m_csDefinitionFile, by default the
    // executable's name with .inf) into the process list and the GLOBAL
    // settings; shows its errors and warnings, and writes the template in
    // place of a missing file. FALSE when it is not valid.
    virtual BOOL ReadDefinitionFile();
    // The GLOBAL settings that a reload changes too (the pipe's security and
    // the metrics file hold from the start).
    void TakeRunGlobals(const CDefinitionGlobals& globals);

    // The supervision loop and the interactive client (thread bodies).
    void RunServer();
    void RunClient();

    BOOL WriteDefinitionTemplate(const std::string& csPath);

    // Starting and watching processes (supervision thread only).
    void StartProcess(CWatchedProcess* pProcess);
    // A SYNC line runs or waits to retry its start, or a READY line that
    // the start-up started is not ready yet: the start-up holds.
    BOOL IsStartupHeld() const;
    // Removes the records of external instances that have ended, wherever
    // their end was seen (the loop, a command or a group rule).
    void RemoveEndedExternalCopies();
    BOOL RemoveProcess(CWatchedProcess* pProcess);
    void MonitorExternalProcesses();
    void ApplyEndRules(CWatchedProcess* pEnded);
    // MAXRESTARTS reached: the notice, the event and the record.
    void ReportGivenUp(CWatchedProcess* pProcess);
    // What the loop does when a record comes out of its wait.
    void HandleProcessEvent(CWatchedProcess* pProcess);
    // The broadcasts and rules of a run's end (crashed, ended, stopped).
    void ReportEnd(CWatchedProcess* pProcess);
    int FindProcessIndex(const CWatchedProcess* pProcess) const;
    BOOL IsProcessIdWatched(DWORD dwProcessId) const;
    // The census for a UNIQUE test or an external-process pass: the kept
    // one while m_fKeepCensus is set and it is valid, a new one otherwise.
    BOOL TakeCensus();
    // Whether the census names a running instance of the line (the
    // process of its UNIQUE name that runs its program file), and its id;
    // a match in a kept census is confirmed by a new one.
    BOOL FindRunningInstance(CWatchedProcess* pProcess, DWORD& dwId);
    // The first process of the census that IsUniqueInstance takes.
    BOOL FindInstanceInCensus(CWatchedProcess* pProcess, const std::string& csProgramPath, DWORD& dwId);
    // Whether the census offers a NOSTART line an instance not yet watched.
    BOOL HasExternalCandidate(const CStringArray& csaNames, const CDWordArray& dwaIds) const;
    static std::string FormatStatusLine(CWatchedProcess* pProcess);

    // Sends a text line to every client and writes it as a trace entry.
    void Broadcast(const std::string& csText);
    // Sends the status record of a process to every client.
    void BroadcastRecord(CWatchedProcess* pProcess);
    // A client is connected and not being closed.
    BOOL HasClients() const;

    static CSupervisorApp* GetSupervisor() { return static_cast<CSupervisorApp*>(GetApp()); }

    BOOL m_fClientMode;
    std::string m_csComputer;
    CKernelEvent m_evQuit;
    CStatusReaderThread m_thStatusReader;
    CServerThread m_thServer;
    CClientThread m_thClient;
    std::string m_csDefinitionFile;
    CProcessCensus m_census;
    // Set through the start-up: one census serves all its steps, kept
    // current with the processes started here, instead of one per step
    // (a census costs about 1 ms plus 0.1 ms per process under Wine).
    BOOL m_fKeepCensus;
    CWatchedProcessList m_paProcesses;
    // Outside instances that could not be attached, by id, while the census
    // lists them: each is tried twice, then left alone.
    std::map<DWORD, int> m_mapAttachFailures;
    // The one way into and out of the process list.
    CWatchedProcess* AddRecord(std::unique_ptr<CWatchedProcess> pProcess);
    void DestroyRecord(size_t iProcess);
    // The records as plain pointers, in list order.
    CWatchedProcessArray GetRecords() const;
    BOOL m_fAllowClose;
    BOOL m_fLifoShutdown;
    BOOL m_fKillTreeAll;   // GLOBAL KILLTREE
    BOOL m_fSecurePipe;
    LONG m_nStopTimeoutAll;          // GLOBAL STOPTIMEOUT; -1 without
    CStopWayArray m_adwStopWaysAll;  // GLOBAL STOPMETHOD; empty without
    CMessagePipe m_pipe;
    CConnectionArray m_apConnections;
    // Set once the server has its pipe or has given up: its own console
    // client must not connect to another program that holds the name.
    CKernelEvent m_evPipeReady;
    volatile BOOL m_fPipeOwned;   // set before m_evPipeReady when the pipe is ours
    // Retries listening after an instance could not be made.
    CAlarm m_alarmListen;
    // The whole shutdown's time when it is bounded (the console's close
    // event, the service's pre-shutdown), else INFINITE: lines that would
    // not fit one after another are asked at once and killed at its end.
    volatile DWORD m_dwShutdownBudget;
    // Set (auto-reset) when a budget is given, for a shutdown under way.
    CKernelEvent m_evBudget;

    // Makes the control pipe's first instances: FALSE, after saying so on
    // the console or in the event log, when another program serves the name.
    BOOL CreateControlPipe();
    // The close event's stop: the shutdown is asked for with that budget
    // (the caller waits for the server thread and ends the process).
    void BeginBoundedStop(DWORD dwBudgetMs);
    // Bounds the shutdown to dwBudgetMs, one under way included.
    void SetShutdownBudget(DWORD dwBudgetMs);
    // Set (auto-reset) by the service's parameter change: a reload.
    CKernelEvent m_evReload;
    // The start-up has started every line: a line a reload adds starts at once.
    BOOL m_fStartupDone;
    // Notices of the output copiers, broadcast by the supervision loop.
    CNoticeQueue m_notices;
    // GLOBAL METRICS: the file, and the state changes it has seen.
    CMetricsFile m_metrics;
    LONG m_nMetricsChangesSeen;
    // The supervisor and its lines as the metrics and ovrinctl show them.
    CProcessDetail MakeDetail(CWatchedProcess* pProcess);
    CMetricsSource MakeMetricsSource();
    // The supervisor's own part of it (no lines).
    void DescribeSupervisor(CMetricsSource& source);
    // The alarm fired: writes the file (a failure is traced; the next write retries).
    void WriteMetrics();

    // READY, HEALTH and MAXMEMORY (checks.cpp). A run's checks begin when
    // it has started (or been found running: then it counts as ready).
    void BeginChecks(CWatchedProcess* pProcess, BOOL fStartedHere);
    // m_alarmChecks fired: the probes and measurements that are due.
    void RunDueChecks();
    // m_prober.m_evResults fired.
    void OnProbeResults();
    void OnProbeResult(CWatchedProcess* pProcess, BOOL fOk);
    void CheckMemory(CWatchedProcess* pProcess);
    // The notice, the event-log warning (the name, then csSecond and, when
    // given, csThird) and the graceful stop, after which the line's restart
    // rules follow as after a crash.
    void RestartForCheck(CWatchedProcess* pProcess, const std::string& csNotice, DWORD dwEventId,
                         const std::string& csSecond, const std::string& csThird = std::string());
    // Arms m_alarmChecks for the earliest check due (disarmed without one).
    void ArmChecksAlarm();
    CProber m_prober;
    CAlarm m_alarmChecks;
    BOOL m_fAnyChecks;   // some line has READY, HEALTH or MAXMEMORY

private:
    void StopPath();
    // The supervision loop's parts. Every object the loop waits on comes
    // with what it does when it fires (AddLoopSources and the two below,
    // in wait order); the loop runs the handler of the one that fired.
    void AddLoopSources(CLoopState& loop, CLoopSourceArray& aSources, BOOL fWithRecords, BOOL fWithClients,
                        BOOL fWithWrites);
    // The records from iFrom up to iTo; with fPoll only those that can fire.
    void AddRecordSources(CLoopState& loop, CLoopSourceArray& aSources, size_t iFrom, BOOL fPoll,
                          size_t iTo = (size_t)-1);
    // The connected clients' reads from iFrom on.
    void AddReadSources(CLoopState& loop, CLoopSourceArray& aSources, size_t iFrom, BOOL fPoll);
    // The source whose object fired (its OnSignalled has run); null on
    // time-out or a failed wait (logged).
    static const CLoopSource* WaitOnSources(const CLoopSourceArray& aSources, DWORD dwTimeout);
    void StartupStep(CAlarm& alarmStartup, CAlarm& alarmMonitor);
    // Keeps s_cListening instances waiting for clients, unless a failure
    // put listening off until m_alarmListen.
    void TopUpListening();
    void OnConnectionSignalled(size_t iConnection, const CWaitObject* pw);
    void CloseFinishedConnections();
    BOOL HandleCommand(size_t iConnection);
    void CommandOnNamedProcesses(size_t iConnection, DWORD dwKind, const std::string& csRequested);
    // The records a command's name addresses: "all", every line of that
    // name (with or without .exe, in any case), or else the one line
    // without NAME whose program has that file name.
    CWatchedProcessArray FindNamedProcesses(const std::string& csRequested) const;
    void StartCommand(CWatchedProcess* pProcess);
    void TerminateCommand(CWatchedProcess* pProcess);
    void SendEndOfReplies(size_t iConnection);

    // Stops (stopping.cpp). A sequence is started with its lines in order;
    // ends and deadlines move every sequence on (AdvanceStopSequences).
    void BeginStopSequence(const CWatchedProcessArray& apProcesses, LONG nFor, const CPipeConnection* pRequester);
    // TRUE while the sequence waits for a line.
    BOOL AdvanceStopSequence(CStopSequence& seq);
    void AdvanceStopSequences();
    // Asks one line for a sequence, with the announced texts of the stop
    // command and the shutdown; a stop that ends at once is reported here.
    void StopLine(CWatchedProcess* pProcess, LONG nFor, DWORD dwCapMs);
    // The end of a line being stopped was seen, or its deadline killed it.
    void CompleteStop(CWatchedProcess* pProcess, BOOL fKilledAtDeadline);
    void ReportStopEnd(CWatchedProcess* pProcess, BOOL fKilledAtDeadline);
    // Runs fnReport once the line's captured output has reached its files
    // (at once without capture; at most c_dwDrainTimeout later), so that an
    // end is reported after what the process wrote, without the loop
    // waiting for that.
    void ReportWhenDrained(CWatchedProcess* pProcess, std::function<void()> fnReport);
    // The held reports that are due (with pOnly: that record's, at once).
    void RunHeldReports(const CWatchedProcess* pOnly = NULL);
    void OnStopAlarm(CWatchedProcess* pProcess);
    void AskAllIfBudgetShort(CStopSequence& seq);
    DWORD GetBudgetLeft() const;
    void OnBudgetSet();
    void ReportStopProgress(DWORD dwWaitHintMs);
    void BeginShutdown();
    void FinishShutdown();
    BOOL IsStopPendingFor(const CPipeConnection* pConnection) const;
    // Sends the deferred end-of-replies of clients whose stops have ended.
    void AnswerAwaitingClients();
    // Before a connection or a record is destroyed.
    void ForgetConnection(const CPipeConnection* pConnection);
    void ForgetRecord(const CWatchedProcess* pProcess);

    // Reload (reload.cpp). A request (pRequester null: the service) is
    // answered by the next reading of the file; the answer goes to the
    // requester alone, the starts and stops it causes to every client.
    void RequestReload(const CPipeConnection* pRequester);
    void StartReloadRead();
    // The reading thread has ended.
    void OnReloadRead();
    void ApplyReloadedDefinition(CDefinitionReader& reader, CStringArray& csaReply);
    void SendReloadReply(const CPipeConnection* pRequester, const CStringArray& csaLines);
    // Lines whose run a reload stopped leave the list or start again, once
    // nothing waits for them any more; called where no handler holds a record.
    void FinishReloadedLines();
    BOOL HasHeldReport(const CWatchedProcess* pProcess) const;
    // SYNC lines that ran to their end and left the list: a reload does not
    // run them again.
    std::set<std::string> m_setSyncDone;
    BOOL m_fReloadPending;   // a record waits for its reload's end: FinishReloadedLines has work
    std::unique_ptr<CReloadThread> m_pReloadThread;
    std::vector<const CPipeConnection*> m_apReloadRequesters;   // waiting for the next reading
    std::vector<const CPipeConnection*> m_apReadingFor;         // answered by the reading under way

    std::vector<std::unique_ptr<CStopSequence>> m_apStopSequences;
    // Clients that asked for their end-of-replies while their stops ran.
    std::vector<const CPipeConnection*> m_apAwaitingEnd;
    BOOL m_fShuttingDown;
    BOOL m_fServerDone;             // the shutdown has ended: the loop ends
    ULONGLONG m_ullShutdownStartMs;
    DWORD m_dwStopCheckpoint;
    DWORD m_dwStartCheckpoint;   // the start-up's last start-pending report
    DWORD m_dwStartHolds;        // its reports while a line held it
    // The QUIT rule's delay before the shutdown.
    CAlarm m_alarmQuit;
    struct CHeldReport
    {
        CWatchedProcess* m_pProcess;
        ULONGLONG m_ullDueMs;   // reported then even if not drained
        std::function<void()> m_fnReport;
    };
    std::vector<CHeldReport> m_aHeldReports;
    CAlarm m_alarmDrain;
    // Queues the message to every client, or with iOnly to that connection
    // alone; waits at most a moment for the clients that read.
    void SendToClients(CControlMessage& msg, int iOnly = -1);
    void SendDetail(int iConnection, CWatchedProcess* pProcess);
    // Collects the writes that have ended and starts the next, closes the
    // clients whose write has waited past the bound, and keeps the alarm
    // armed while writes wait.
    void CheckClientWrites(CAlarm& alarmWrites);
    // Waits, at most dwBound ms for all of them, until the clients took
    // what they were sent; with fCloseLate the ones that did not are closed.
    void FlushClientWrites(DWORD dwBound, BOOL fCloseLate);
    // Ends the interactive client without killing its thread: the reader
    // first (it uses the client's pipe), then the console read is cancelled.
    void StopClientThreads();
};
