// Debugger notifier and its record.
#include "common/notifier.h"

#include "common/filestuf.h"

// ---------------------------------------------------------------------------
// CDebugMessage

CDebugMessage::CDebugMessage() : CMessageV(2, 2), m_dwKind(0), m_dwProcessId(0), m_dwThreadId(0)
{
}

void CDebugMessage::DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    CMessageV::DoSerialize(apDataBlocks, adwDataLengths);
    AddDword(&m_dwKind, apDataBlocks, adwDataLengths);
    AddDword(&m_dwProcessId, apDataBlocks, adwDataLengths);
    AddDword(&m_dwThreadId, apDataBlocks, adwDataLengths);
    AddTime(&m_mtTime, apDataBlocks, adwDataLengths);
    AddString(m_csModule, apDataBlocks, adwDataLengths);
    AddString(m_csThreadName, apDataBlocks, adwDataLengths);
    AddString(m_csSource, apDataBlocks, adwDataLengths);
    AddString(m_csText, apDataBlocks, adwDataLengths);
}

BOOL CDebugMessage::DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths, int& iBlock)
{
    return CMessageV::DoDeserialize(apDataBlocks, adwDataLengths, iBlock) &&
           ReadDword(&m_dwKind, apDataBlocks, adwDataLengths, iBlock) &&
           ReadDword(&m_dwProcessId, apDataBlocks, adwDataLengths, iBlock) &&
           ReadDword(&m_dwThreadId, apDataBlocks, adwDataLengths, iBlock) &&
           ReadTime(&m_mtTime, apDataBlocks, adwDataLengths, iBlock) &&
           ReadString(&m_csModule, apDataBlocks, adwDataLengths, iBlock) &&
           ReadString(&m_csThreadName, apDataBlocks, adwDataLengths, iBlock) &&
           ReadString(&m_csSource, apDataBlocks, adwDataLengths, iBlock) &&
           ReadString(&m_csText, apDataBlocks, adwDataLengths, iBlock);
}

// ---------------------------------------------------------------------------
// CDebugNotifier

CDebugNotifier::CDebugNotifier() : m_fPipeOpened(FALSE), m_dwSendTimeout(1000)
{
    m_fActive = FALSE;
}

CDebugNotifier::~CDebugNotifier()
{
    ClosePipe();
}

void CDebugNotifier::ClosePipe()
{
    // A write still in flight refers to the operation's OVERLAPPED.
    if (!m_opWrite.IsComplete())
        m_opWrite.Cancel();
    m_instance.Close();
    m_fPipeOpened = FALSE;
    m_fActive = FALSE;
}

BOOL CDebugNotifier::Connect(const char* pszComputer, const char* pszPipeName)
{
    if (!CHECK_TRUE(!m_fPipeOpened))
        return TRUE;
    m_pipe.SetClient(pszComputer != NULL ? pszComputer : "", pszPipeName != NULL ? pszPipeName : "");
    m_pipe.SetAccess(GENERIC_READ | GENERIC_WRITE);
    // Bounded both ways: a debugger pipe that exists but never takes a
    // client must not hold the program's start.
    m_pipe.SetTimeouts(200, 500);
    // Overlapped, so that a send can be given up (m_dwSendTimeout).
    m_pipe.SetOverlapped(TRUE);
    if (m_instance.Open(&m_pipe)) {
        m_opWrite.SetInstance(&m_instance);
        m_fPipeOpened = TRUE;
        m_fActive = TRUE;
        DEBUG_TRACE_MSG("Connected to the debugger at " << m_pipe.GetFullName());
    } else {
        m_fActive = FALSE;
        DEBUG_ERROR_MSG("Couldn't connect to debugger at " << m_pipe.GetFullName() << ". Error " << LastErrorText());
    }
    return m_fPipeOpened;
}

void CDebugNotifier::BuildMessage(const CDebugRecord& record, CDebugMessage& message)
{
    const std::string csFile = record.m_pszFile != NULL ? record.m_pszFile : "";
    message.m_dwKind = (DWORD)record.m_nKind;
    message.m_dwProcessId = record.m_dwProcessId;
    message.m_dwThreadId = record.m_dwThreadId;
    message.m_mtTime = record.m_mtTime;
    message.m_csModule = record.m_csModule;
    message.m_csThreadName = record.m_csThreadName;
    message.m_csSource = csFile.empty() ? std::string() : StrLower(StripExtension(GetFileName(GetFullPath(csFile))));
    if (record.m_nKind & DEBUG_FAILURE)
        message.m_csText = record.m_csText + " (Line " + std::to_string(record.m_nLine) + " of " + csFile + ").";
    else
        message.m_csText = record.m_csText;
}

BOOL CDebugNotifier::Report(const CDebugRecord& record)
{
    if (!CHECK_TRUE(m_fPipeOpened))
        return m_fActive;
    // Each record waits for the debugger at most m_dwSendTimeout; one that
    // is not taken by then gives the debugger up, so a debugger that stops
    // reading costs one record's wait once, not one per record.
    CDebugMessage message;
    BuildMessage(record, message);
    CDataBlock block;
    BOOL fSent = message.Serialize(block);
    if (fSent) {
        fSent = m_opWrite.WriteMessage(block.GetData(), block.GetLength());
        // The block must outlive the write: it is waited for or cancelled here.
        if (!fSent && !m_opWrite.IsComplete())
            fSent = m_opWrite.WaitForResult(m_dwSendTimeout);
    }
    if (!fSent) {
        const DWORD dwError = ::GetLastError();
        // Written while the debug log is inside this message, so it is
        // nested and never comes back here.
        DEBUG_ERROR_MSG("A debug message couldn't be sent to the debugger. Error " << ErrorText(dwError));
        ClosePipe();
    }
    return m_fActive;
}
