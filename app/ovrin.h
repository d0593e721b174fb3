// CSupervisorApp: the one application object of Ovrin.exe. It chooses the
// run mode from the command line, prints the usage, runs the supervision
// loop on "ServerThread" and the interactive client on "ClientThread",
// reacts to console control events and stops everything in order. It owns
// what the supervisor's parts share: the process list, the global options of
// the definition file and the quit event. The process list and the records
// are used only by the server thread; control events and the service
// control handler only set events, terminate the client thread and wait.
#pragma once

#include <string>
#include <vector>

#include "common/cio.h"
#include "common/perf.h"
#include "common/pipe.h"
#include "common/serial.h"
#include "common/servapp.h"
#include "common/win32.h"
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

typedef std::vector<CWatchedProcess*> CWatchedProcessArray;

// One client connection of the server: its pipe instance, its read and
// write operations and the block that receives its messages. The last
// connection of the list is the one waiting for the next client.
struct CConnection
{
    CPipeInstance* pInstance;
    CIoOperation* pReadOp;
    CIoOperation* pWriteOp;
    CDataBlock* pDataBlock;
    BOOL fClosing;   // closed by the loop after the current dispatch
};

class CSupervisorApp : public CServiceApp
{
public:
    CSupervisorApp();
    virtual ~CSupervisorApp();

    virtual BOOL OnControlEvent(DWORD dwCtrlType) override;
    virtual BOOL ParseArguments() override;
    virtual void ShowUsage() override;
    virtual void Main() override;
    virtual void OnStop() override;
    virtual BOOL ReadDefinitionFile();

    // The supervision loop and the interactive client (thread bodies).
    void RunServer();
    void RunClient();

    BOOL WriteDefinitionTemplate(const std::string& csPath);

    // Starting and watching processes (supervision thread only).
    void StartProcess(CWatchedProcess* pProcess);
    // A SYNC line's run: blocks until it ends, then removes its record.
    void WaitForSyncEnd(CWatchedProcess* pProcess);
    // A SYNC line waits to retry its start; the start-up holds until it has run.
    BOOL IsSyncPending() const;
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
    int FindProcessIndex(const CWatchedProcess* pProcess) const;
    BOOL IsProcessIdWatched(DWORD dwProcessId) const;
    // The census for a UNIQUE test or an external-process pass: the kept
    // one while m_fKeepCensus is set and it is valid, a new one otherwise.
    BOOL TakeCensus();
    // Whether the census names a process of that name, and its id; a
    // match in a kept census is confirmed by a new one.
    BOOL FindRunningInstance(const std::string& csUniqueName, DWORD& dwId);
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
    CWatchedProcessArray m_paProcesses;
    BOOL m_fAllowClose;
    BOOL m_fLifoShutdown;
    BOOL m_fKillTreeAll;   // GLOBAL KILLTREE
    CMessagePipe m_pipe;
    std::vector<CConnection> m_aConnections;
    // Reading goes on past an invalid line, so that a check of the file
    // reports every error; the supervisor itself stops at the first.
    BOOL m_fReportEveryError;
    // Notices of the output copiers, broadcast by the supervision loop.
    CNoticeQueue m_notices;

private:
    // Interprets one definition-file entry; FALSE after reporting its error.
    BOOL InterpretEntry(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    BOOL InterpretGlobalLine(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    BOOL InterpretProcessLine(CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    BOOL InterpretCaptureOptions(CWatchedProcess& wp, CStringArray& csaTokens, CDWordArray& dwaUsed, int nLine);
    void StopPath();
    // The supervision loop's parts.
    // Without fWithRecords: everything but the records, for the poll that
    // follows a process event.
    void BuildWaitArray(CAlarm& alarmStartup, CAlarm& alarmMonitor, CWaitObjectArray& apWaitObjects,
                        BOOL fWithRecords);
    void StartupStep(CAlarm& alarmStartup, CAlarm& alarmMonitor);
    void Shutdown();
    BOOL AddListeningConnection();
    int FindConnectionByReadOp(const CWaitObject* pw) const;
    void CloseFinishedConnections();
    BOOL HandleCommand(int iConnection);
    void CommandOnNamedProcesses(DWORD dwKind, const std::string& csRequested);
    // Stops one process with its broadcasts (the stop command and the shutdown).
    // fOperator: the stop command, which also cancels a pending restart.
    void StopCommand(CWatchedProcess* pProcess, BOOL fOperator);
    void StartCommand(CWatchedProcess* pProcess);
    void TerminateCommand(CWatchedProcess* pProcess);
    // To every client, or with iOnly to that connection alone.
    void SendToClients(CControlMessage& msg, int iOnly = -1);
    void SendDetail(int iConnection, CWatchedProcess* pProcess);
    static void TerminateIfRunning(CThread& thread);
};
