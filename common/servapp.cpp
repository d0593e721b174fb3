// Service application frame.
#include "common/servapp.h"

#include <ctype.h>

#include <iostream>

#include "common/assertex.h"
#include "common/filestuf.h"

SERVICE_STATUS_HANDLE CServiceApp::m_sshStatusHandle = NULL;
std::string CServiceApp::m_csServiceName;
volatile DWORD CServiceApp::m_dwPreshutdownTimeoutMs = 0;
CKernelEvent CServiceApp::m_evServiceStop;
void (*CServiceApp::m_pfnStatusObserver)(const SERVICE_STATUS& status) = NULL;
void (*CServiceApp::m_pfnConfigObserver)(DWORD dwInfoLevel, const void* pvInfo, BOOL fOk, DWORD dwError) = NULL;
// Windows repeats the last action for every failure after the others: the
// last one leaves the service stopped, so a service that cannot run is not
// started every 30 s for a day.
const SC_ACTION CServiceApp::c_aRecoveryActions[4] = {
    {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_NONE, 0}};

namespace {

// One status record for the process. It is filled and sent under a lock so
// that the dispatcher thread, the service thread and the supervision loop
// never send a record that another thread half filled.
struct CServiceStatusRecord
{
    CServiceStatusRecord()
    {
        ::InitializeCriticalSection(&m_critsec);
        ZeroMemory(&m_status, sizeof m_status);
        m_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    }
    CRITICAL_SECTION m_critsec;
    SERVICE_STATUS m_status;
};

CServiceStatusRecord& StatusRecord()
{
    static CServiceStatusRecord* s_pRecord = new CServiceStatusRecord;
    return *s_pRecord;
}

// Opens the local control manager (full access unless asked for less), or
// returns null.
SC_HANDLE OpenManager(DWORD dwAccess = SC_MANAGER_ALL_ACCESS)
{
    return ::OpenSCManagerA(NULL, NULL, dwAccess);
}

// SERVICE_PRESHUTDOWN_INFO is this one DWORD; old headers lack the type.
BOOL SetPreshutdownInfo(SC_HANDLE schService, DWORD dwMs)
{
    return ::ChangeServiceConfig2A(schService, SERVICE_CONFIG_PRESHUTDOWN_INFO, &dwMs);
}

std::string ServiceNameOf(const std::string& csExeName)
{
    return StripExtension(csExeName);
}

}  // namespace

CServiceApp::CServiceApp() : m_fIsService(-1)
{
}

CServiceApp::~CServiceApp()
{
}

BOOL CServiceApp::IsService() const
{
    ASSERT_BOOL(m_fIsService);
    return m_fIsService == 1;
}

void CServiceApp::RunApplication()
{
    if (!ProcessServiceSwitches())
        return;
    if (!Initialize())
        return;
    if (ParseArguments())
        Main();
    Finish();
}

void CServiceApp::ShowUsage()
{
    std::cerr << "Use -i to install (if necessary) and start this executable as an NT service." << std::endl;
    std::cerr << "Use -r to stop (if necessary) and remove this executable as an NT service." << std::endl;
}

void CServiceApp::OnPause()
{
    DEBUG_FAILURE_MSG("OnPause not implemented.");
    ReportServiceStatus(SERVICE_PAUSED, 0, 0, 0);
}

void CServiceApp::OnContinue()
{
    DEBUG_FAILURE_MSG("OnContinue() not implemented.");
    ReportServiceStatus(SERVICE_RUNNING, 0, 0, 0);
}

void CServiceApp::OnStop()
{
    DEBUG_ERROR_MSG("The service has received a command to stop.");
    ReportServiceStatus(SERVICE_STOP_PENDING, 0, 1, 500);
    if (m_evServiceStop.m_hHandle != NULL)
        m_evServiceStop.Set();
}

void CServiceApp::OnInterrogate()
{
    ReportServiceStatus(GetReportedServiceState(), 0, 0, 0);
}

void CServiceApp::OnPreshutdown()
{
    OnStop();
}

void CServiceApp::OnParamChange() {}

DWORD CServiceApp::GetPreshutdownTimeout()
{
    return 0;
}

BOOL CServiceApp::SetPreshutdownTimeout(DWORD dwMs)
{
    m_dwPreshutdownTimeoutMs = dwMs;
    if (m_fIsService != 1 || dwMs == 0)
        return TRUE;
    const std::string csName = !m_csServiceName.empty() ? m_csServiceName : ServiceNameOf(m_csExeName);
    if (ConfigurePreshutdown(csName, dwMs))
        return TRUE;
    const DWORD dwError = ::GetLastError();
    DEBUG_TRACE_MSG("The pre-shutdown time-out of the service " << csName << " could not be set to " << dwMs
                                                                << " ms. Error " << ErrorText(dwError));
    ::SetLastError(dwError);
    return FALSE;
}

DWORD CServiceApp::GetReportedServiceState()
{
    CServiceStatusRecord& rec = StatusRecord();
    ::EnterCriticalSection(&rec.m_critsec);
    DWORD dwState = rec.m_status.dwCurrentState;
    ::LeaveCriticalSection(&rec.m_critsec);
    return dwState;
}

void CServiceApp::GetReportedServiceStatus(SERVICE_STATUS& status)
{
    CServiceStatusRecord& rec = StatusRecord();
    ::EnterCriticalSection(&rec.m_critsec);
    status = rec.m_status;
    ::LeaveCriticalSection(&rec.m_critsec);
}

BOOL CServiceApp::ReportServiceStatus(DWORD dwState, DWORD dwExitCode, DWORD dwCheckPoint, DWORD dwWaitHint)
{
    CServiceStatusRecord& rec = StatusRecord();
    ::EnterCriticalSection(&rec.m_critsec);
    SERVICE_STATUS& status = rec.m_status;
    status.dwControlsAccepted = (dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING)
                                    ? 0
                                    : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE;
    status.dwCurrentState = dwState;
    status.dwWin32ExitCode = dwExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    status.dwServiceSpecificExitCode = dwExitCode;
    status.dwCheckPoint = dwCheckPoint;
    status.dwWaitHint = dwWaitHint;
    if (m_pfnStatusObserver != NULL)
        m_pfnStatusObserver(status);
    BOOL fOk = m_sshStatusHandle != NULL && ::SetServiceStatus(m_sshStatusHandle, &status);
    ::LeaveCriticalSection(&rec.m_critsec);
    return fOk;
}

void WINAPI CServiceApp::ServiceCtrlHandler(DWORD dwControl)
{
    ServiceCtrlHandlerEx(dwControl, 0, NULL, NULL);
}

DWORD WINAPI CServiceApp::ServiceCtrlHandlerEx(DWORD dwControl, DWORD, LPVOID, LPVOID)
{
    CServiceApp* pApp = static_cast<CServiceApp*>(GetApp());
    if (pApp == NULL)
        return ERROR_CALL_NOT_IMPLEMENTED;
    switch (dwControl) {
    case SERVICE_CONTROL_STOP:
        pApp->OnStop();
        break;
    case SERVICE_CONTROL_PAUSE:
        pApp->OnPause();
        break;
    case SERVICE_CONTROL_CONTINUE:
        pApp->OnContinue();
        break;
    case SERVICE_CONTROL_INTERROGATE:
        pApp->OnInterrogate();
        break;
    case SERVICE_CONTROL_PRESHUTDOWN:
        pApp->OnPreshutdown();
        break;
    case SERVICE_CONTROL_PARAMCHANGE:
        pApp->OnParamChange();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        // Not accepted, so not expected: systems with pre-shutdown send
        // that first, and the others end the process with the rest.
        break;
    default:
        DEBUG_FAILURE_MSG("Default case reached: " << (unsigned long)dwControl);
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    return NO_ERROR;
}

void WINAPI CServiceApp::ServiceMain(DWORD dwArgc, LPSTR* lpszArgv)
{
    char szEmpty[] = "";
    // The first argument is the name the service was started under; the
    // executable's name may differ from it (a renamed copy, another install).
    if (dwArgc >= 1 && lpszArgv != NULL && lpszArgv[0] != NULL)
        m_csServiceName = lpszArgv[0];
    m_sshStatusHandle = ::RegisterServiceCtrlHandlerExA(szEmpty, ServiceCtrlHandlerEx, NULL);
    ASSERT_NOT_NULL(m_sshStatusHandle);
    ReportServiceStatus(SERVICE_START_PENDING, 0, 1, 500);
    if (m_evServiceStop.m_hHandle == NULL)
        m_evServiceStop.Create(EVENT_MANUAL_RESET | EVENT_INITIALLY_NONSIGNALLED, NULL);
    CServiceApp* pApp = static_cast<CServiceApp*>(GetApp());
    // At every start: a time-out changed since the install (or set by
    // another version) is brought back to what this run needs.
    if (pApp != NULL)
        pApp->SetPreshutdownTimeout(pApp->GetPreshutdownTimeout());
    ReportServiceStatus(SERVICE_RUNNING, 0, 0, 0);
    if (pApp != NULL)
        pApp->RunConsoleApplication();
    DEBUG_ERROR_MSG("The service is ending because the main thread ended.");
    // A run that could not start (an invalid definition file, a pipe that
    // another program serves) leaves its exit code where the control
    // manager shows it, as a service-specific error.
    ReportServiceStatus(SERVICE_STOPPED, pApp != NULL ? (DWORD)pApp->m_nExitCode : 0, 0, 0);
}

namespace {

// One argument quoted so that the command-line parser of the C run-time
// (and CommandLineToArgvW) reads it back unchanged: backslashes are doubled
// where they come before a quote, and each quote is escaped.
std::string QuoteArgument(const std::string& csArg)
{
    std::string csQuoted = "\"";
    size_t cBackslashes = 0;
    for (char ch : csArg) {
        if (ch == '\\') {
            cBackslashes++;
            continue;
        }
        csQuoted.append(ch == '"' ? cBackslashes * 2 + 1 : cBackslashes, '\\');
        cBackslashes = 0;
        csQuoted += ch;
    }
    csQuoted.append(cBackslashes * 2, '\\');
    return csQuoted + "\"";
}

}  // namespace

std::string CServiceApp::BuildImagePath(const std::string& csModulePath, const CStringArray& csaArguments)
{
    // A path with a blank is quoted: unquoted, the control manager would try
    // the shorter prefixes (C:\Program.exe) first.
    std::string csImagePath =
        csModulePath.find(' ') != std::string::npos ? "\"" + csModulePath + "\"" : csModulePath;
    csImagePath += " /NT_SERVICE";
    for (const std::string& csArg : csaArguments)
        csImagePath += " " + QuoteArgument(csArg);
    return csImagePath;
}

BOOL CServiceApp::InstallService(const std::string& csName, const std::string& csModulePath,
                                 const CStringArray& csaArguments, DWORD dwPreshutdownMs)
{
    SC_HANDLE schSCManager = OpenManager();
    if (schSCManager == NULL)
        return FALSE;
    std::string csImagePath = BuildImagePath(csModulePath, csaArguments);
    SC_HANDLE schService = ::CreateServiceA(schSCManager, csName.c_str(), csName.c_str(), SERVICE_ALL_ACCESS,
                                            SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                            csImagePath.c_str(), NULL, NULL, NULL, NULL, NULL);
    BOOL fOk = schService != NULL;
    DWORD dwError = ::GetLastError();
    if (fOk)
        ConfigureRecovery(schService, csName);
    if (fOk && dwPreshutdownMs != 0 && !SetPreshutdownInfo(schService, dwPreshutdownMs)) {
        const DWORD dwConfigError = ::GetLastError();
        DEBUG_TRACE_MSG("The pre-shutdown time-out of the service " << csName << " could not be set to "
                                                                    << dwPreshutdownMs << " ms. Error "
                                                                    << ErrorText(dwConfigError));
    }
    if (fOk)
        VERIFY_TRUE(CloseServiceHandle(schService));
    VERIFY_TRUE(CloseServiceHandle(schSCManager));
    ::SetLastError(dwError);
    return fOk;
}

namespace {

// Opens the named service and runs one action on it; every handle is closed
// and the action's last error survives the closing.
template <typename TAction>
BOOL WithService(const std::string& csName, TAction action, DWORD dwManagerAccess = SC_MANAGER_ALL_ACCESS,
                 DWORD dwServiceAccess = SERVICE_ALL_ACCESS)
{
    SC_HANDLE schSCManager = OpenManager(dwManagerAccess);
    if (schSCManager == NULL)
        return FALSE;
    BOOL fOk = FALSE;
    SC_HANDLE schService = ::OpenServiceA(schSCManager, csName.c_str(), dwServiceAccess);
    DWORD dwError = ::GetLastError();
    if (schService != NULL) {
        fOk = action(schService);
        dwError = ::GetLastError();
        VERIFY_TRUE(CloseServiceHandle(schService));
    }
    VERIFY_TRUE(CloseServiceHandle(schSCManager));
    ::SetLastError(dwError);
    return fOk;
}

}  // namespace

BOOL CServiceApp::ConfigureRecovery(SC_HANDLE schService, const std::string& csName)
{
    SC_ACTION aActions[DIM(c_aRecoveryActions)];
    for (size_t i = 0; i < DIM(aActions); i++)
        aActions[i] = c_aRecoveryActions[i];
    SERVICE_FAILURE_ACTIONSA actions = {};
    actions.dwResetPeriod = c_dwRecoveryResetSeconds;
    actions.lpRebootMsg = NULL;
    actions.lpCommand = NULL;
    actions.cActions = DIM(aActions);
    actions.lpsaActions = aActions;
    SERVICE_FAILURE_ACTIONS_FLAG flag = {};
    flag.fFailureActionsOnNonCrashFailures = TRUE;
    const struct
    {
        DWORD m_dwLevel;
        void* m_pvInfo;
        const char* m_pszWhat;
    } aCalls[] = {{SERVICE_CONFIG_FAILURE_ACTIONS, &actions, "recovery actions"},
                  {SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag, "recovery on a non-zero exit code"}};
    BOOL fAll = TRUE;
    for (const auto& call : aCalls) {
        const BOOL fOk = ::ChangeServiceConfig2A(schService, call.m_dwLevel, call.m_pvInfo);
        const DWORD dwError = fOk ? 0 : ::GetLastError();
        if (m_pfnConfigObserver != NULL)
            m_pfnConfigObserver(call.m_dwLevel, call.m_pvInfo, fOk, dwError);
        if (!fOk) {
            // Not on the console: -i's output stays what it is. Wine 8
            // refuses the flag (ERROR_INVALID_PARAMETER) and stores neither.
            DEBUG_ERROR_MSG("The " << call.m_pszWhat << " of the service " << csName
                                   << " could not be set. Error " << ErrorText(dwError));
            fAll = FALSE;
        }
    }
    return fAll;
}

BOOL CServiceApp::ConfigureRecovery(const std::string& csName)
{
    // The configuration and the start right that restart actions need.
    return WithService(
        csName, [&](SC_HANDLE schService) { return ConfigureRecovery(schService, csName); }, SC_MANAGER_CONNECT,
        SERVICE_CHANGE_CONFIG | SERVICE_START);
}

BOOL CServiceApp::ConfigurePreshutdown(const std::string& csName, DWORD dwMs)
{
    // Only the right to change the configuration: a service that runs under
    // a restricted account may have that and no more.
    return WithService(
        csName, [&](SC_HANDLE schService) { return SetPreshutdownInfo(schService, dwMs); }, SC_MANAGER_CONNECT,
        SERVICE_CHANGE_CONFIG);
}

BOOL CServiceApp::StartInstalledService(const std::string& csName)
{
    return WithService(csName, [](SC_HANDLE schService) { return ::StartServiceA(schService, 0, NULL); });
}

BOOL CServiceApp::StopService(const std::string& csName)
{
    return WithService(csName, [](SC_HANDLE schService) {
        SERVICE_STATUS status;
        return ::ControlService(schService, SERVICE_CONTROL_STOP, &status);
    });
}

BOOL CServiceApp::WaitUntilStopped(const std::string& csName)
{
    // A service marked for deletion may vanish as soon as it stops: an open
    // that fails counts as stopped.
    for (int i = 0; i < 300; i++) {
        SERVICE_STATUS status;
        ZeroMemory(&status, sizeof status);
        BOOL fQueried =
            WithService(csName, [&](SC_HANDLE schService) { return ::QueryServiceStatus(schService, &status); });
        if (!fQueried || status.dwCurrentState == SERVICE_STOPPED)
            return TRUE;
        ::Sleep(100);
    }
    return FALSE;
}

BOOL CServiceApp::RemoveService(const std::string& csName)
{
    return WithService(csName, [](SC_HANDLE schService) { return ::DeleteService(schService); });
}

BOOL CServiceApp::ProcessServiceSwitches()
{
    std::string csName = ServiceNameOf(m_csExeName);
    if (FindSwitch(m_csaArgs, m_dwaArgUsed, "i")) {
        CStringArray csaServiceArgs;
        std::string csArg;
        // A second install or remove switch would make the service
        // install or remove itself at every start: they are used up here.
        while (FindSwitch(m_csaArgs, m_dwaArgUsed, "i") || FindSwitch(m_csaArgs, m_dwaArgUsed, "r")) {
        }
        while (NextUnusedArgument(m_csaArgs, m_dwaArgUsed, csArg))
            csaServiceArgs.push_back(csArg);
        // Each error is taken before the message is written: writing the
        // first half of the line may change the last error (measured under
        // Wine: an install refused with 123 was reported as "Error 0").
        BOOL fInstalled = InstallService(csName, m_csModulePath, csaServiceArgs, GetPreshutdownTimeout());
        if (!fInstalled) {
            DWORD dwError = ::GetLastError();
            if (dwError != ERROR_SERVICE_EXISTS) {
                std::cerr << "The service could not be installed. Error " << ErrorText(dwError) << std::endl;
                m_nExitCode = SERVICE_EXIT_FAILED;
                return FALSE;
            }
            // Installed before (by a version without them, say): the
            // recovery actions are set all the same.
            ConfigureRecovery(csName);
        }
        if (!StartInstalledService(csName)) {
            DWORD dwError = ::GetLastError();
            if (dwError == ERROR_SERVICE_ALREADY_RUNNING) {
                std::cerr << "Note: The service was already running." << std::endl;
                m_nExitCode = SERVICE_EXIT_UNCHANGED;
            } else {
                std::cerr << "The service could not be started. Error " << ErrorText(dwError) << std::endl;
                m_nExitCode = SERVICE_EXIT_FAILED;
            }
            return FALSE;
        }
        std::cout << "The service " << csName << (fInstalled ? " has been installed and started." : " has been started.")
                  << std::endl;
        return FALSE;
    }
    if (FindSwitch(m_csaArgs, m_dwaArgUsed, "r")) {
        BOOL fStopped = StopService(csName);
        if (!fStopped) {
            DWORD dwStopError = ::GetLastError();
            if (dwStopError == ERROR_SERVICE_DOES_NOT_EXIST) {
                std::cerr << "Note: The service is not currently installed." << std::endl;
                m_nExitCode = SERVICE_EXIT_UNCHANGED;
                return FALSE;
            }
            if (dwStopError != ERROR_SERVICE_NOT_ACTIVE) {
                // Removed while still running: the control manager deletes
                // it only once it has stopped, so this is no success.
                if (!RemoveService(csName))
                    std::cerr << "The service could not be stopped. Error " << ErrorText(dwStopError) << std::endl;
                else
                    std::cout << "The service " << csName << " could not be stopped. Error " << ErrorText(dwStopError)
                              << ". It will be removed when it stops." << std::endl;
                m_nExitCode = SERVICE_EXIT_FAILED;
                return FALSE;
            }
        }
        // The stop request only asks; a script that goes on after the exit
        // code expects the service's process to have ended.
        BOOL fEnded = !fStopped || WaitUntilStopped(csName);
        if (!RemoveService(csName)) {
            DWORD dwError = ::GetLastError();
            std::cerr << "The service could not be removed. Error " << ErrorText(dwError) << std::endl;
            m_nExitCode = SERVICE_EXIT_FAILED;
            return FALSE;
        }
        if (!fEnded) {
            std::cout << "The service " << csName << " has not stopped yet; it will be removed when it stops."
                      << std::endl;
            m_nExitCode = SERVICE_EXIT_FAILED;
            return FALSE;
        }
        std::cout << "The service " << csName << (fStopped ? " has been stopped and removed." : " has been removed.")
                  << std::endl;
        return FALSE;
    }
    if (FindSwitch(m_csaArgs, m_dwaArgUsed, "NT_SERVICE")) {
        m_fIsService = 1;
        char szEmpty[] = "";
        SERVICE_TABLE_ENTRYA aEntries[] = {{szEmpty, ServiceMain}, {NULL, NULL}};
        // Outside the control manager this fails with 1063: on Windows at
        // once; under Wine 8 it may first wait up to 10 s for the manager
        // (measured 10.0 s in a test process started from the shell, 0.1 s
        // in a program that such a process started).
        if (!::StartServiceCtrlDispatcherA(aEntries)) {
            DWORD dwError = ::GetLastError();
            if (dwError != 1) {
                DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW,
                              "The " << m_csExeName
                                     << " service could not start because the Service Control Dispatcher could not "
                                        "be started. Error "
                                     << ErrorText(dwError));
            }
        }
        return FALSE;
    }
    m_fIsService = 0;
    return TRUE;
}
