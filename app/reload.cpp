// Reading the definition file again while the lines run. The file is read on
// a thread of its own (a file on a share may take its time), and the loop
// applies it when that thread has ended: a file with any error changes
// nothing; otherwise lines are matched by NAME, or by command line where
// they have none. A new line starts, a removed one is stopped by its own
// rules and leaves the list, a line whose process settings changed is
// stopped and started again, and the other settings are taken at once.
// A line the operator stopped stays stopped.
#include <algorithm>
#include <deque>
#include <map>
#include <sstream>

#include "common/assertex.h"
#include "common/filestuf.h"
#include "control.h"
#include "eventlog.h"
#include "ovrin.h"

namespace {

const char s_pszShuttingDown[] = "The definition file is not read again: the supervisor is shutting down.";

// READY, HEALTH and MAXMEMORY as one comparable text.
std::string DescribeChecks(const CCheckOptions& checks)
{
    std::ostringstream os;
    for (const CProbeTarget* pTarget : {&checks.m_ready, &checks.m_health})
        os << pTarget->m_nKind << ' ' << pTarget->m_csHost << ' ' << pTarget->m_wPort << ' ' << pTarget->m_csPath << '\n';
    os << checks.m_nReadyTimeout << ' ' << checks.m_nHealthInterval << ' ' << checks.m_nHealthTimeout << ' '
       << checks.m_nHealthFailures << ' ' << checks.m_nMaxMemoryMb << '\n';
    return os.str();
}

}  // namespace

std::string CWatchedProcess::DescribeStartSettings() const
{
    const STARTUPINFOA& si = m_startupinfo;
    std::ostringstream os;
    os << m_csApplicationName << '\n'
       << m_csCommandLine << '\n'
       << m_csCurrentDirectory << '\n'
       << m_dwConsoleFlags << ' ' << m_dwGroupFlags << ' ' << si.dwFlags << ' ' << si.wShowWindow << ' ' << si.dwX
       << ' ' << si.dwY << ' ' << si.dwXSize << ' ' << si.dwYSize << ' ' << si.dwXCountChars << ' '
       << si.dwYCountChars << '\n'
       << m_csTitle << '\n'
       << m_capture.m_csOutPath << '\n'
       << m_capture.m_csErrPath << '\n'
       << m_capture.m_cbLimit << ' ' << m_capture.m_nKeep << ' ' << m_capture.m_nRotateMinute << ' '
       << m_capture.m_fStamp << '\n';
    return os.str();
}

std::string CWatchedProcess::DescribeRunSettings() const
{
    std::ostringstream os;
    os << m_csName << '\n'
       << m_fMaster << ' ' << m_nGroup << ' ' << m_fCheckExitCode << ' ' << m_dwOkExitCode << ' ' << m_fWatch << ' '
       << m_fSync << ' ' << m_fUnique << ' ' << m_mtsRestartDelay.GetTotalMilliseconds() << ' ' << m_fQuit << ' '
       << m_nQuitDelay << ' ' << m_fNoStart << ' ' << m_fNoStop << ' ' << m_nBackoffMax << ' ' << m_nMaxRestarts
       << ' ' << m_fKillTree << ' ' << m_nStopTimeout << ' ' << m_dwPriorityClass << '\n'
       << m_csUniqueName << '\n'
       << m_csMonitorEventName << '\n'
       << DescribeChecks(m_checkOptions);
    for (DWORD dwWay : m_adwStopWays)
        os << dwWay << ' ';
    return os.str();
}

void CWatchedProcess::TakeStartSettings(const CWatchedProcess& wpNew)
{
    m_csApplicationName = wpNew.m_csApplicationName;
    m_csCommandLine = wpNew.m_csCommandLine;
    m_csCurrentDirectory = wpNew.m_csCurrentDirectory;
    m_dwConsoleFlags = wpNew.m_dwConsoleFlags;
    m_dwGroupFlags = wpNew.m_dwGroupFlags;
    m_startupinfo = wpNew.m_startupinfo;
    m_csTitle = wpNew.m_csTitle;
    m_acsEnv = wpNew.m_acsEnv;
    m_capture.Configure(wpNew.m_capture.m_csOutPath, wpNew.m_capture.m_csErrPath, wpNew.m_capture.m_cbLimit,
                        wpNew.m_capture.m_nKeep);
    m_capture.m_nRotateMinute = wpNew.m_capture.m_nRotateMinute;
    m_capture.m_fStamp = wpNew.m_capture.m_fStamp;
    m_pNotices = wpNew.m_pNotices;
}

void CWatchedProcess::TakeRunSettings(const CWatchedProcess& wpNew)
{
    m_csName = wpNew.m_csName;
    m_fMaster = wpNew.m_fMaster;
    m_nGroup = wpNew.m_nGroup;
    m_fCheckExitCode = wpNew.m_fCheckExitCode;
    m_dwOkExitCode = wpNew.m_dwOkExitCode;
    m_fWatch = wpNew.m_fWatch;
    m_fSync = wpNew.m_fSync;
    m_fUnique = wpNew.m_fUnique;
    m_mtsRestartDelay = wpNew.m_mtsRestartDelay;
    m_fQuit = wpNew.m_fQuit;
    m_nQuitDelay = wpNew.m_nQuitDelay;
    m_fNoStart = wpNew.m_fNoStart;
    m_fNoStop = wpNew.m_fNoStop;
    m_nBackoffMax = wpNew.m_nBackoffMax;
    m_nMaxRestarts = wpNew.m_nMaxRestarts;
    m_fKillTree = wpNew.m_fKillTree;
    m_nStopTimeout = wpNew.m_nStopTimeout;
    m_dwPriorityClass = wpNew.m_dwPriorityClass;
    m_csUniqueName = wpNew.m_csUniqueName;
    if (m_csMonitorEventName != wpNew.m_csMonitorEventName) {
        m_csMonitorEventName = wpNew.m_csMonitorEventName;
        m_pMonitorEvent = wpNew.m_pMonitorEvent;
    }
    m_adwStopWays = wpNew.m_adwStopWays;
    m_checkOptions = wpNew.m_checkOptions;
}

std::string CWatchedProcess::GetReloadKey() const
{
    return !m_csName.empty() ? "NAME " + StrUpper(m_csName) : "LINE " + GetFullCommandLine();
}

void CReloadThread::Run()
{
    m_reader.SetReportEveryError(TRUE);
    m_fValid = m_reader.Read(m_csPath);
}

void CSupervisorApp::RequestReload(const CPipeConnection* pRequester)
{
    if (m_fShuttingDown) {
        SendReloadReply(pRequester, {s_pszShuttingDown});
        return;
    }
    // One answer serves a client however often it asked meanwhile: a client
    // that keeps asking cannot grow the list.
    if (std::find(m_apReloadRequesters.begin(), m_apReloadRequesters.end(), pRequester) == m_apReloadRequesters.end())
        m_apReloadRequesters.push_back(pRequester);
    StartReloadRead();
}

void CSupervisorApp::StartReloadRead()
{
    if (m_pReloadThread || m_apReloadRequesters.empty())
        return;
    std::unique_ptr<CReloadThread> pThread(new CReloadThread);
    pThread->m_csPath = m_csDefinitionFile;
    const DWORD dwError = pThread->Start();
    if (dwError != 0) {
        const std::vector<const CPipeConnection*> apRequesters = std::move(m_apReloadRequesters);
        m_apReloadRequesters.clear();
        ::SetLastError(dwError);
        const std::string csText = "The definition file could not be read again. Error " + LastErrorText();
        for (const CPipeConnection* pRequester : apRequesters)
            SendReloadReply(pRequester, {csText});
        return;
    }
    // The requests so far are answered by this reading; later ones wait for
    // the next, since the file may change again meanwhile.
    m_apReadingFor = std::move(m_apReloadRequesters);
    m_apReloadRequesters.clear();
    pThread->Resume();
    m_pReloadThread = std::move(pThread);
}

void CSupervisorApp::OnReloadRead()
{
    std::unique_ptr<CReloadThread> pThread = std::move(m_pReloadThread);
    pThread->WaitForEnd();
    const std::vector<const CPipeConnection*> apRequesters = std::move(m_apReadingFor);
    m_apReadingFor.clear();
    CStringArray csaReply;
    if (m_fShuttingDown) {
        csaReply.push_back(s_pszShuttingDown);
    } else if (!pThread->m_fValid) {
        csaReply.push_back(CONTROL_RELOAD_REFUSED + m_csDefinitionFile + " has errors; nothing was changed.");
        for (const CDefinitionMessage& error : pThread->m_reader.GetErrors())
            csaReply.push_back(error.m_csText);
        ReportEvent(EVMSG_RELOAD_REFUSED, m_csDefinitionFile);
    } else {
        ApplyReloadedDefinition(pThread->m_reader, csaReply);
    }
    for (const CPipeConnection* pRequester : apRequesters)
        SendReloadReply(pRequester, csaReply);
    StartReloadRead();
}

void CSupervisorApp::SendReloadReply(const CPipeConnection* pRequester, const CStringArray& csaLines)
{
    for (const std::string& csLine : csaLines)
        DEBUG_TRACE_MSG(" " << csLine);
    if (pRequester == NULL)
        return;
    for (size_t i = 0; i < m_apConnections.size(); i++) {
        if (m_apConnections[i].get() != pRequester)
            continue;
        CControlMessage msg;
        msg.m_dwKind = MSG_TEXT;
        for (const std::string& csLine : csaLines) {
            msg.m_csText = csLine;
            SendToClients(msg, (int)i);
        }
        // A client that asked for its end-of-replies meanwhile gets it now.
        AnswerAwaitingClients();
    }
}

void CSupervisorApp::ApplyReloadedDefinition(CDefinitionReader& reader, CStringArray& csaReply)
{
    for (const CDefinitionMessage& warning : reader.GetWarnings())
        csaReply.push_back(warning.m_csText);
    std::vector<std::unique_ptr<CWatchedProcess>> apRead = reader.TakeRecords();

    // The lines as the list holds them, each by the settings it will run
    // with next (a replacement waiting for its run's end included).
    CWatchedProcessList apOld = std::move(m_paProcesses);
    m_paProcesses.clear();
    std::vector<BOOL> afMatched(apOld.size(), FALSE);
    // Each line read is matched by its key; a line without NAME whose
    // command changed then takes an unmatched line of the same program
    // (without NAME too), so that its new run waits for the old one's end.
    // Keys are looked up, not compared pairwise: a file may have thousands
    // of lines, and this runs on the supervision thread.
    std::vector<size_t> aiMatch(apRead.size(), apOld.size());
    for (int nPass = 0; nPass < 2; nPass++) {
        std::map<std::string, std::deque<size_t>> mapOld;
        for (size_t iOld = 0; iOld < apOld.size(); iOld++) {
            const CWatchedProcess& wpOld = *apOld[iOld];
            const CWatchedProcess& wpNext = wpOld.m_pReloaded ? *wpOld.m_pReloaded : wpOld;
            if (afMatched[iOld] || wpOld.m_fExternalCopy || (nPass == 1 && !wpNext.m_csName.empty()))
                continue;
            mapOld[nPass == 0 ? wpNext.GetReloadKey() : StrUpper(wpNext.GetExeName())].push_back(iOld);
        }
        for (size_t iNew = 0; iNew < apRead.size(); iNew++) {
            const CWatchedProcess& wpNew = *apRead[iNew];
            if (aiMatch[iNew] < apOld.size() || (nPass == 1 && !wpNew.m_csName.empty()))
                continue;
            auto it = mapOld.find(nPass == 0 ? wpNew.GetReloadKey() : StrUpper(wpNew.GetExeName()));
            if (it == mapOld.end() || it->second.empty())
                continue;
            aiMatch[iNew] = it->second.front();
            afMatched[aiMatch[iNew]] = TRUE;
            it->second.pop_front();
        }
    }
    CWatchedProcessArray apToStop, apToStart;
    int nChanges = 0;
    for (size_t iNew = 0; iNew < apRead.size(); iNew++) {
        std::unique_ptr<CWatchedProcess>& pNew = apRead[iNew];
        if (pNew->m_capture.IsConfigured())
            pNew->m_pNotices = &m_notices;
        const size_t iOld = aiMatch[iNew];
        if (iOld == apOld.size() && pNew->m_fSync && m_setSyncDone.count(pNew->GetReloadKey()) != 0)
            continue;  // a start-up step that has run
        if (iOld == apOld.size()) {
            // A line of its own: it starts now, or in its turn while the
            // start-up still runs.
            CWatchedProcess* pProcess = pNew.get();
            m_paProcesses.push_back(std::move(pNew));
            csaReply.push_back("Added " + pProcess->GetName() + ".");
            nChanges++;
            if (m_fStartupDone)
                apToStart.push_back(pProcess);
            continue;
        }
        CWatchedProcess* pProcess = apOld[iOld].get();
        m_paProcesses.push_back(std::move(apOld[iOld]));
        const CWatchedProcess& wpNext = pProcess->m_pReloaded ? *pProcess->m_pReloaded : *pProcess;
        const BOOL fBeingRemoved = pProcess->m_nReloadAction == RELOAD_REMOVE;
        const BOOL fStart = wpNext.DescribeStartSettings() != pNew->DescribeStartSettings() ||
                            !wpNext.HasSameEnvironment(*pNew);
        const BOOL fRun = wpNext.DescribeRunSettings() != pNew->DescribeRunSettings();
        if (!fStart && !fRun && !fBeingRemoved)
            continue;
        nChanges++;
        const std::string csName = pNew->GetName();
        if (!pProcess->IsRunOrStopUnderWay()) {
            // Nothing runs: the settings hold from the next start, and the
            // state (stopped, waiting for a restart, given up) stays.
            pProcess->TakeSettings(*pNew);
            pProcess->m_pReloaded.reset();
            pProcess->m_nReloadAction = RELOAD_NONE;
            csaReply.push_back("Changed " + csName + ".");
            BroadcastRecord(pProcess);
            continue;
        }
        if (!fStart && !fBeingRemoved) {
            // Taken now, for the run's end and the next start; a
            // replacement still waiting takes them too. New checks begin
            // at once (the run counts as ready).
            const std::string csChecks = DescribeChecks(pProcess->m_checkOptions);
            pProcess->TakeRunSettings(*pNew);
            if (DescribeChecks(pProcess->m_checkOptions) != csChecks && pProcess->m_nStopFor == STOP_FOR_NONE)
                BeginChecks(pProcess, FALSE);
            if (pProcess->m_pReloaded)
                pProcess->m_pReloaded = std::move(pNew);
            csaReply.push_back("Changed " + csName + ".");
            continue;
        }
        // A new process is needed: the run is stopped by the line's own
        // rules, and the line starts with its new settings at its end.
        csaReply.push_back("Restarting " + csName + ": its process settings changed.");
        if (fBeingRemoved)
            csaReply.back() = "Added " + csName + ": it starts when its earlier run has ended.";
        const BOOL fAlreadyAsked = pProcess->m_nReloadAction != RELOAD_NONE;
        pProcess->m_pReloaded = std::move(pNew);
        pProcess->m_nReloadAction = RELOAD_REPLACE;
        if (!fAlreadyAsked) {
            pProcess->m_fStartAfterReload = pProcess->m_nStopFor == STOP_FOR_NONE;
            apToStop.push_back(pProcess);
        } else if (fBeingRemoved) {
            pProcess->m_fStartAfterReload = TRUE;
        }
    }
    // Lines no longer in the file: removed now, or once their run has
    // ended; copies for outside instances stay at the end while they run.
    std::vector<std::unique_ptr<CWatchedProcess>> apCopies;
    for (size_t i = 0; i < apOld.size(); i++) {
        if (afMatched[i])
            continue;
        CWatchedProcess* pProcess = apOld[i].get();
        if (pProcess->m_fExternalCopy) {
            apCopies.push_back(std::move(apOld[i]));
            continue;
        }
        m_paProcesses.push_back(std::move(apOld[i]));
        if (pProcess->m_nReloadAction == RELOAD_REMOVE)
            continue;
        nChanges++;
        const BOOL fWasAsked = pProcess->m_nReloadAction != RELOAD_NONE;
        pProcess->m_pReloaded.reset();
        pProcess->m_nReloadAction = RELOAD_REMOVE;
        pProcess->m_fStartAfterReload = FALSE;
        if (pProcess->IsRunOrStopUnderWay()) {
            csaReply.push_back("Removing " + pProcess->GetName() + ": it leaves the list when it has stopped.");
            if (!fWasAsked)
                apToStop.push_back(pProcess);
        } else {
            csaReply.push_back("Removed " + pProcess->GetName() + ".");
        }
    }
    for (auto& pCopy : apCopies)
        m_paProcesses.push_back(std::move(pCopy));
    for (const auto& pProcess : m_paProcesses)
        m_fAnyChecks |= pProcess->m_checkOptions.IsAnySet();
    // Started once the list is whole again: a UNIQUE test looks at it.
    for (CWatchedProcess* pProcess : apToStart) {
        pProcess->SetState(PS_NOT_CREATED);
        StartProcess(pProcess);
    }

    TakeRunGlobals(reader.GetGlobals());
    SetPreshutdownTimeout(GetPreshutdownTimeout());

    csaReply.insert(csaReply.begin(), StrFormat("Reloaded %s: %d change%s.", m_csDefinitionFile.c_str(), nChanges,
                                                nChanges == 1 ? "" : "s"));
    const std::string csChanges = std::to_string((long)nChanges);
    const char* const apszStrings[] = {m_csDefinitionFile.c_str(), csChanges.c_str()};
    ReportEvent(EVMSG_RELOADED, 2, apszStrings);
    m_fReloadPending = TRUE;
    if (!apToStop.empty())
        BeginStopSequence(apToStop, STOP_FOR_RELOAD, NULL);
    FinishReloadedLines();
}

void CSupervisorApp::FinishReloadedLines()
{
    // Run at the end of a loop turn, where no handler holds a record: a
    // line leaves the list, or starts again, only here.
    if (!m_fReloadPending)
        return;
    m_fReloadPending = FALSE;
    CWatchedProcessArray apRecords = GetRecords();
    for (CWatchedProcess* pProcess : apRecords) {
        if (pProcess->m_nReloadAction == RELOAD_NONE)
            continue;
        if (pProcess->IsRunOrStopUnderWay() || HasHeldReport(pProcess)) {
            m_fReloadPending = TRUE;
            continue;
        }
        if (pProcess->m_nReloadAction == RELOAD_REMOVE) {
            RemoveProcess(pProcess);
            continue;
        }
        std::unique_ptr<CWatchedProcess> pNew = std::move(pProcess->m_pReloaded);
        pProcess->m_nReloadAction = RELOAD_NONE;
        pProcess->TakeSettings(*pNew);
        const BOOL fStart = pProcess->m_fStartAfterReload && !m_fShuttingDown;
        pProcess->m_fStartAfterReload = FALSE;
        BroadcastRecord(pProcess);
        if (fStart) {
            pProcess->CancelRestart();
            pProcess->CloseHandles();
            pProcess->ResetRestartCount();
            StartProcess(pProcess);
        }
    }
}
