// Shared by the test programs: the application object, an echoing debug log
// and a capture of the standard error stream.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

#include "common/assertex.h"
#include "common/conapp.h"
#include "common/debug.h"

// The program's checks header takes ASSERT_TRUE for its own check; in the
// tests it is GoogleTest's, which defines it afresh below. Include this
// header after the program's headers.
#undef ASSERT_TRUE
#include <gtest/gtest.h>

class CTestApp : public CConsoleApp
{
public:
    virtual void Main() override { m_cMainCalls++; }
    int m_cMainCalls = 0;
};

// A test program's application object and its echoing debug log,
// constructed in this order, as in the program. Each test program has one,
// from test_app.cpp or test_supervisor_app.cpp.
template <class TApp>
struct CTestProgram
{
    TApp m_app;
    CDebugAppLog m_debugLog{m_app.m_csExeName, TRUE};
};

CTestApp& GetTestApp();
CDebugAppLog& GetTestDebugLog();

// Captures what is written to std::cerr while it lives.
class CStderrCapture
{
public:
    CStderrCapture() : m_pOld(std::cerr.rdbuf(m_ss.rdbuf())) {}
    ~CStderrCapture() { std::cerr.rdbuf(m_pOld); }
    std::string Text() const { return m_ss.str(); }
    void Clear() { m_ss.str(std::string()); }

private:
    std::stringstream m_ss;
    std::streambuf* m_pOld;
};

// Turns a switch on for the life of the object.
class CSwitchOn
{
public:
    explicit CSwitchOn(volatile BOOL& fSwitch) : m_fSwitch(fSwitch), m_fOld(fSwitch) { m_fSwitch = TRUE; }
    ~CSwitchOn() { m_fSwitch = m_fOld; }

private:
    volatile BOOL& m_fSwitch;
    BOOL m_fOld;
};
