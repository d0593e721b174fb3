// CServiceApp: the console frame extended so that one executable installs
// (-i), removes (-r) and runs itself as an NT service (/NT_SERVICE). The
// frame owns the service status record, the control handler and the service
// entry; a derived class reacts to a stop request by overriding OnStop.
// Under the control manager the main thread runs the dispatcher and the
// control handler; ServiceMain runs the application on the dispatcher's
// service thread. ReportServiceStatus may be called from any thread.
#pragma once

#include "common/conapp.h"
#include "common/win32.h"

class CServiceApp : public CConsoleApp
{
public:
    CServiceApp();
    virtual ~CServiceApp();

    virtual void RunApplication() override;
    virtual void ShowUsage() override;
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnStop();
    virtual void OnInterrogate();
    virtual BOOL ProcessServiceSwitches();

    virtual BOOL IsRunningAsService() const override { return m_fIsService == 1; }
    BOOL IsService() const;

    static BOOL ReportServiceStatus(DWORD dwState, DWORD dwExitCode, DWORD dwCheckPoint, DWORD dwWaitHint);
    // The state of the last report (0 before any).
    static DWORD GetReportedServiceState();
    // A copy of the record as the last report filled it, sent or not.
    static void GetReportedServiceStatus(SERVICE_STATUS& status);
    static void WINAPI ServiceCtrlHandler(DWORD dwControl);
    static void WINAPI ServiceMain(DWORD dwArgc, LPSTR* lpszArgv);

    static BOOL InstallService(const std::string& csName, const std::string& csModulePath,
                               const CStringArray& csaArguments);
    static BOOL StartInstalledService(const std::string& csName);
    static BOOL StopService(const std::string& csName);
    static BOOL RemoveService(const std::string& csName);
    // Polls the service's state for up to 30 s; TRUE once it has stopped or is gone.
    static BOOL WaitUntilStopped(const std::string& csName);
    // The image path CreateServiceA receives.
    static std::string BuildImagePath(const std::string& csModulePath, const CStringArray& csaArguments);

    int m_fIsService;   // -1 until decided, then 0 or 1

    static SERVICE_STATUS_HANDLE m_sshStatusHandle;
    static CKernelEvent m_evServiceStop;
    // Test seam: when set, called with every record ReportServiceStatus
    // fills, inside the record's lock, whether or not it could be sent.
    static void (*m_pfnStatusObserver)(const SERVICE_STATUS& status);
};
