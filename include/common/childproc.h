// CChildProcess: one process started with CreateProcessA. It holds what
// goes into the call (application name, command line, console, group and
// priority flags, title, environment, working directory, STARTUPINFO),
// owns the process and thread handles in m_processinfo and closes them in
// CloseHandles, Reset and the destructor. As a wait object its handle is
// the process handle, so a multiplexed wait fires when the process ends.
// One thread owns the object; there is no lock.
//
// Use: set the fields (SetCommandLine, flags, STARTUPINFO members), Create,
// wait (Wait, WaitForWaitObjects, WaitForExitCode), CloseHandles or Reset.
#pragma once

#include "common/strutil.h"
#include "common/win32.h"

class CChildProcess : public CWaitObject, public CSecurityAttributes
{
public:
    CChildProcess();
    virtual ~CChildProcess();

    // TRUE when the process was created; FALSE leaves the last error of
    // CreateProcessA and every field as it was.
    virtual BOOL Create();
    // CloseHandles, then every setting except the application name and the
    // command line back to its default (STARTUPINFO read again).
    virtual void Reset();
    // Closes both handles (the process goes on running).
    virtual void CloseHandles();

    // Empties the application name; the whole line is the command line.
    void SetCommandLine(const std::string& csCommandLine);
    // The application name, or the program named by the command line.
    std::string GetExeName() const;
    // The form shown to users: application name, blank, command line.
    std::string GetFullCommandLine() const;
    // Ends the process with that exit code (access denied is accepted).
    void Terminate(UINT uExitCode);
    // Blocks until the process has ended and returns its exit code.
    DWORD WaitForExitCode();

    // What Create passes to CreateProcessA: the command line (the quoted
    // application name in front when there is one) and the environment
    // block (empty when the child inherits the environment).
    std::string BuildCreateCommandLine() const;
    std::string BuildEnvironmentBlock() const;
    // The Unicode block of m_awsEnvironment (empty when that is empty).
    std::wstring BuildUnicodeEnvironmentBlock() const;

    STARTUPINFOA m_startupinfo;
    PROCESS_INFORMATION m_processinfo;
    std::string m_csApplicationName;
    std::string m_csCommandLine;
    DWORD m_dwConsoleFlags;    // CREATE_NEW_CONSOLE (default), DETACHED_PROCESS or 0
    DWORD m_dwGroupFlags;      // 0 or CREATE_NEW_PROCESS_GROUP
    DWORD m_dwPriorityClass;   // 0 or a *_PRIORITY_CLASS
    DWORD m_dwMoreFlags;       // further creation flags (CREATE_SUSPENDED ...), 0 by default
    std::string m_csTitle;     // used only with CREATE_NEW_CONSOLE
    CStringArray m_asEnvironment;   // name=value strings; empty: inherit
    // name=value strings passed as a Unicode block; when not empty they are
    // the environment and m_asEnvironment is not used.
    std::vector<std::wstring> m_awsEnvironment;
    std::string m_csCurrentDirectory;
    // When not empty, the only handles the child inherits. They stay
    // non-inheritable outside the CreateProcess call, so no other child
    // (started by this thread) inherits them. The caller owns them.
    std::vector<HANDLE> m_ahInheritOnly;

private:
    void SetDefaults();
    BOOL CreateWithHandleList(LPSTR pszCommandLine, LPVOID pvEnvironment, DWORD dwEnvironmentFlags,
                              PROCESS_INFORMATION& processinfo);
    // The one CreateProcessA call, with this child's flags plus dwExtraFlags.
    BOOL CallCreateProcess(LPSTR pszCommandLine, LPVOID pvEnvironment, DWORD dwExtraFlags,
                           LPSTARTUPINFOA pStartupInfo, PROCESS_INFORMATION& processinfo);
};
