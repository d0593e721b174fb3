// CDebugAppLog: the application's debug log, with echo and message boxes.
#include "common/debug.h"

CDebugAppLog::CDebugAppLog(const std::string& csTitle, BOOL fEcho) : CDebugLog(fEcho), m_csTitle(csTitle)
{
}

void CDebugAppLog::EndMessage()
{
    FinishMessage(TRUE, m_csTitle);
}
