// CWatchedProcess: one defined process: a child process plus the options of
// its definition line, its state code, its times and its restart alarm.
// Records live in the application's process list and are used only by the
// supervision thread; the alarm thread touches only m_alarmRestart.
#pragma once

#include <string>

#include "common/alarm.h"
#include "common/millitim.h"
#include "common/win32.h"
#include "capture.h"

// Process states; their texts come from GetStateText.
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
    PS_NOT_INITIALIZED = 8
};

class CWatchedProcess : public CChildProcess
{
public:
    CWatchedProcess();
    virtual ~CWatchedProcess();

    virtual void OnSignalled() override;
    virtual void Reset() override;
    // Applies this record's rules to the end of pEnded (this record or another).
    virtual void OnProcessEnded(CWatchedProcess* pEnded);

    // Copies the supervision options of a NOSTART template for an external instance.
    void CopyFromTemplate(const CWatchedProcess& wpTemplate);

    std::string GetStateText() const;
    std::string GetTimeText() const;
    std::string GetUniqueName() const;
    BOOL IsRunning();
    BOOL IsExternalTemplate() const;
    void SetMonitorEvent(const std::string& csName);
    void SignalMonitorEvent();
    // The exit code of an ended process (returns at once once it has ended).
    LONG GetExitCode();
    // An end with the okay exit code of an EXIT line.
    BOOL EndedNormally();

    // Starting, attaching and stopping.
    BOOL Start();
    void Attach(DWORD dwProcessId);
    BOOL RequestStop();
    BOOL SendCtrlBreak();
    BOOL Stop();
    BOOL Kill();
    void ScheduleRestart();

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
    std::string m_csUniqueName;
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
    HANDLE m_hMonitorEvent;
    LONG m_nState;

    // Kept for operators (the control tool's details); no rule reads them.
    LONG m_nStartsSeen;        // successful starts since the supervisor started
    BOOL m_fHasLastExitCode;
    DWORD m_dwLastExitCode;    // of the last end seen

    // Captured output (STDOUT, STDERR, LOGSIZE, LOGKEEP) and where its
    // notices go (the application's queue; null without capture).
    COutputCapture m_capture;
    CNoticeQueue* m_pNotices;

private:
    void SetDefaults();
    // Only the record that created the monitor event closes it; copies made
    // for external instances borrow the template's handle.
    BOOL m_fOwnsMonitorEvent;
};
