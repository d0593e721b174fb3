// CServiceApp: the console frame extended so that one executable installs
// (-i), removes (-r) and runs itself as an NT service (/NT_SERVICE). The
// frame owns the service status record, the control handler and the service
// entry; a derived class reacts to a stop request by overriding OnStop, and
// to the system's shutdown by overriding OnPreshutdown and
// GetPreshutdownTimeout.
// Under the control manager the main thread runs the dispatcher and the
// control handler; ServiceMain runs the application on the dispatcher's
// service thread. ReportServiceStatus may be called from any thread.
#pragma once

#include "common/conapp.h"
#include "common/win32.h"

// Pre-shutdown arrived after the first service headers: old headers lack it.
#ifndef SERVICE_ACCEPT_PRESHUTDOWN
#define SERVICE_ACCEPT_PRESHUTDOWN 0x00000100
#endif
#ifndef SERVICE_CONTROL_PRESHUTDOWN
#define SERVICE_CONTROL_PRESHUTDOWN 0x0000000F
#endif
#ifndef SERVICE_CONFIG_PRESHUTDOWN_INFO
#define SERVICE_CONFIG_PRESHUTDOWN_INFO 7
#endif
#ifndef SERVICE_CONFIG_FAILURE_ACTIONS_FLAG
#define SERVICE_CONFIG_FAILURE_ACTIONS_FLAG 4
#endif

class CServiceApp : public CConsoleApp
{
public:
    // The exit codes of -i and -r that the frame sets (m_nExitCode); the
    // application lists them with its own.
    enum
    {
        SERVICE_EXIT_FAILED = 5,     // could not be installed, started, stopped or removed
        SERVICE_EXIT_UNCHANGED = 6   // -i found it running, -r found none
    };

    CServiceApp();
    virtual ~CServiceApp();

    virtual void RunApplication() override;
    virtual void ShowUsage() override;
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnStop();
    virtual void OnInterrogate();
    // The system is shutting down (systems that have pre-shutdown send it
    // before the shutdown notice, and wait for the service up to its
    // pre-shutdown time-out). The default stops as a stop control does.
    virtual void OnPreshutdown();
    // How long the system should wait for the service at its shutdown, in
    // ms; 0 leaves the system's default alone.
    virtual DWORD GetPreshutdownTimeout();
    // SERVICE_CONTROL_PARAMCHANGE: the service's settings changed. Nothing by default.
    virtual void OnParamChange();
    // Keeps dwMs as the service's pre-shutdown time-out and, in a service,
    // gives it to the control manager for its own name. Outside a service,
    // or for 0, nothing is sent: TRUE. A failure is traced; FALSE with the
    // last error.
    BOOL SetPreshutdownTimeout(DWORD dwMs);
    // The time-out last kept by SetPreshutdownTimeout; 0 before any.
    static DWORD GetKeptPreshutdownTimeout() { return m_dwPreshutdownTimeoutMs; }
    virtual BOOL ProcessServiceSwitches();

    virtual BOOL IsRunningAsService() const override { return m_fIsService == 1; }
    BOOL IsService() const;

    static BOOL ReportServiceStatus(DWORD dwState, DWORD dwExitCode, DWORD dwCheckPoint, DWORD dwWaitHint);
    // The state of the last report (0 before any).
    static DWORD GetReportedServiceState();
    // A copy of the record as the last report filled it, sent or not.
    static void GetReportedServiceStatus(SERVICE_STATUS& status);
    // The control handler (registered with the extended form: pre-shutdown
    // reaches no other). NO_ERROR, or ERROR_CALL_NOT_IMPLEMENTED for a
    // control it does not know.
    static DWORD WINAPI ServiceCtrlHandlerEx(DWORD dwControl, DWORD dwEventType, LPVOID pvEventData,
                                             LPVOID pvContext);
    static void WINAPI ServiceCtrlHandler(DWORD dwControl);
    static void WINAPI ServiceMain(DWORD dwArgc, LPSTR* lpszArgv);

    // Installs an auto-start service with the recovery actions
    // (ConfigureRecovery); a pre-shutdown time-out other than 0 is set too.
    // A setting that fails is written to the debug log and the install
    // still succeeds.
    static BOOL InstallService(const std::string& csName, const std::string& csModulePath,
                               const CStringArray& csaArguments, DWORD dwPreshutdownMs = 0);
    // The recovery actions -i gives the service: restarted 5 s after its
    // first failure, 10 s after the second, 30 s after the third, and left
    // stopped after more, the count of failures starting again after a day
    // without one; a failure is also an end with a non-zero exit code
    // (SERVICE_CONFIG_FAILURE_ACTIONS_FLAG), not only a crash. Each call's
    // failure is written to the debug log; FALSE when either failed (Wine 8
    // refuses the flag and stores neither).
    static BOOL ConfigureRecovery(SC_HANDLE schService, const std::string& csName);
    static BOOL ConfigureRecovery(const std::string& csName);
    // The failure actions ConfigureRecovery sets, and the reset period (s).
    static const SC_ACTION c_aRecoveryActions[4];
    static const DWORD c_dwRecoveryResetSeconds = 86400;
    // Sets the named service's pre-shutdown time-out; FALSE with the last error.
    static BOOL ConfigurePreshutdown(const std::string& csName, DWORD dwMs);
    static BOOL StartInstalledService(const std::string& csName);
    static BOOL StopService(const std::string& csName);
    static BOOL RemoveService(const std::string& csName);
    // Polls the service's state for up to 30 s; TRUE once it has stopped or is gone.
    static BOOL WaitUntilStopped(const std::string& csName);
    // The image path CreateServiceA receives.
    static std::string BuildImagePath(const std::string& csModulePath, const CStringArray& csaArguments);

    int m_fIsService;   // -1 until decided, then 0 or 1

    static SERVICE_STATUS_HANDLE m_sshStatusHandle;
    // The name the control manager started the service under (ServiceMain's
    // first argument); empty outside a service.
    static std::string m_csServiceName;
    static CKernelEvent m_evServiceStop;
    // Test seam: when set, called with every record ReportServiceStatus
    // fills, inside the record's lock, whether or not it could be sent.
    static void (*m_pfnStatusObserver)(const SERVICE_STATUS& status);
    // Test seam: when set, called after every ChangeServiceConfig2 call of
    // the recovery actions with its level, its argument, its result and
    // its error (0 after a success).
    static void (*m_pfnConfigObserver)(DWORD dwInfoLevel, const void* pvInfo, BOOL fOk, DWORD dwError);

private:
    // Set on one thread (the service entry, then the supervision thread),
    // read by the control handler.
    static volatile DWORD m_dwPreshutdownTimeoutMs;
};
