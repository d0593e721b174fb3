// CConsoleApp: the frame of a console program. A program declares exactly
// one object of a derived class at namespace scope; main hands it the
// command line and calls RunApplication. The frame keeps the arguments with
// a consumed flag each and offers the argument lookups that also serve
// definition-file lines and typed commands. The main thread runs the frame;
// OnControlEvent runs on a thread the system creates for each console event.
#pragma once

#include <windows.h>
#include <string>

#include "common/strutil.h"

// Splits text into arguments as SplitArguments does, in pieces: the text
// fed so far is split as one text, so a long text built piece by piece
// (continued definition-file lines) is split once, not again for every
// piece. A piece's last character is taken as followed by a blank or the
// end of the text. Any thread; one object per text.
class CArgumentSplitter
{
public:
    CArgumentSplitter() : m_fQuoted(FALSE) {}

    void Feed(const char* pch, size_t cch);
    void Feed(const std::string& cs) { Feed(cs.data(), cs.size()); }
    // Ends the text: the argument being read, if any, is added.
    void Finish();
    // Continues from where other stands within an argument, with no
    // finished argument of its own.
    void ContinueFrom(const CArgumentSplitter& other);
    void Reset();

    CStringArray m_csaArgs;     // the finished arguments
    std::string m_csPartial;    // the argument being read
    BOOL m_fQuoted;
};

class CConsoleApp
{
public:
    CConsoleApp();
    virtual ~CConsoleApp();

    virtual void RunApplication();
    virtual BOOL OnControlEvent(DWORD dwCtrlType);
    virtual BOOL Initialize();
    virtual BOOL ParseArguments();
    virtual void ShowUsage();
    virtual void Main() = 0;
    virtual void Finish();
    // TRUE only while the program runs under the service control manager.
    virtual BOOL IsRunningAsService() const { return FALSE; }

    // The application object; reports a failure when there is none.
    static CConsoleApp* GetApp();
    // The application object or null, without any report.
    static CConsoleApp* PeekApp();
    // What main does: copy the arguments, run, return the exit code.
    static int RunMain(int argc, char** argv);
    static BOOL WINAPI ControlHandlerRoutine(DWORD dwCtrlType);

    static void SplitArguments(const std::string& csText, CStringArray& csaArgs, CDWordArray& dwaUsed);
    static std::string GetArgument(const CStringArray& csaArgs, int iArg);
    static BOOL FindSwitch(const CStringArray& csaArgs, CDWordArray& dwaUsed, const char* pszName);
    static BOOL FindOption(const CStringArray& csaArgs, CDWordArray& dwaUsed, const char* pszName,
                           std::string& csValue);
    static BOOL FindNumberOption(const CStringArray& csaArgs, CDWordArray& dwaUsed, const char* pszName,
                                 int& nValue);
    static BOOL NextUnusedArgument(const CStringArray& csaArgs, CDWordArray& dwaUsed, std::string& csArg);
    int CountUnusedArguments() const;

    CStringArray m_csaArgs;
    CDWordArray m_dwaArgUsed;
    int m_nExitCode;
    std::string m_csModulePath;
    std::string m_csExeName;

protected:
    // The base frame's sequence; the service frame calls it from its entry.
    void RunConsoleApplication();
};
