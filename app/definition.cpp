// The supervisor's reading of its definition file: the reader parses it, the
// supervisor shows what was found, writes the template in place of a missing
// file and takes the records and the GLOBAL settings.
#include "common/assertex.h"
#include "common/filestuf.h"
#include "defreader.h"
#include "ovrin.h"

BOOL CSupervisorApp::ReadDefinitionFile()
{
    if (m_csDefinitionFile.empty())
        m_csDefinitionFile = GetFullPath(StripExtension(m_csModulePath) + ".inf");
    const std::string& csPath = m_csDefinitionFile;
    DEBUG_APP_MESSAGE(DEBUG_TRACE, "Attempting to open " << csPath);

    CDefinitionReader reader;
    BOOL fOk = reader.Read(csPath);
    if (reader.GetOpenError() == ERROR_FILE_NOT_FOUND) {
        // The first run without a file leaves one to customize; a check
        // reads files only, so this stays with the supervisor.
        if (WriteDefinitionTemplate(csPath))
            DEBUG_MESSAGE(DEBUG_SHOW, csPath << " has been created. You must customize it for your application.");
        else
            DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW,
                          csPath << " could not be found or created. Error " << LastErrorText());
        return FALSE;
    }
    for (const CDefinitionMessage& error : reader.GetErrors())
        DEBUG_MESSAGE(DEBUG_ERROR | DEBUG_SHOW, error.m_csText);
    for (const CDefinitionMessage& warning : reader.GetWarnings())
        DEBUG_MESSAGE(DEBUG_SHOW, warning.m_csText);

    // The records read before an error are taken too, as the list held
    // them before the reader: the supervisor ends on a failure anyway.
    for (auto& pProcess : reader.TakeRecords()) {
        if (pProcess->m_capture.IsConfigured())
            pProcess->m_pNotices = &m_notices;
        m_fAnyChecks |= pProcess->m_checkOptions.IsAnySet();
        AddRecord(std::move(pProcess));
    }
    const CDefinitionGlobals& globals = reader.GetGlobals();
    TakeRunGlobals(globals);
    m_fSecurePipe = globals.m_fSecurePipe;
    m_metrics.Configure(globals.m_csMetricsPath, globals.m_nMetricsInterval);
    return fOk;
}

void CSupervisorApp::TakeRunGlobals(const CDefinitionGlobals& globals)
{
    m_fAllowClose = globals.m_fAllowClose;
    m_fLifoShutdown = globals.m_fLifoShutdown;
    m_fKillTreeAll = globals.m_fKillTree;
    m_nStopTimeoutAll = globals.m_nStopTimeout;
    m_adwStopWaysAll = globals.m_adwStopWays;
}
