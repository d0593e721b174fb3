// Debugger notifier. The pipe transport is not built yet: Connect reports
// that no debugger could be reached and the notifier stays inactive.
#include "common/notifier.h"

#include "common/filestuf.h"

CDebugNotifier::CDebugNotifier() : m_fPipeOpened(0), m_pImpl(NULL)
{
    m_fActive = 0;
}

CDebugNotifier::~CDebugNotifier()
{
    m_fPipeOpened = 0;
    m_fActive = 0;
}

BOOL CDebugNotifier::Connect(const char* pszComputer, const char* pszPipeName)
{
    ASSERT_TRUE(!m_fPipeOpened);
    std::string csPath = std::string("\\\\") + (pszComputer ? pszComputer : ".") + "\\pipe\\" + pszPipeName;
    m_fActive = 0;
    ::SetLastError(ERROR_NOT_SUPPORTED);
    DEBUG_ERROR_MSG("Couldn't connect to debugger at " << csPath << ". Error " << LastErrorText());
    return FALSE;
}

BOOL CDebugNotifier::Report(const CDebugRecord&)
{
    ASSERT_TRUE(m_fPipeOpened);
    return m_fActive;
}
