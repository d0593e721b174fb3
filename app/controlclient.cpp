// The client end of the control protocol.
#include "controlclient.h"

CControlClient::CControlClient() : m_opWrite(&m_instance), m_opRead(&m_instance), m_fReadPending(FALSE)
{
}

CControlClient::~CControlClient()
{
    Close();
}

void CControlClient::SetServer(const std::string& csComputer, const std::string& csExeName, DWORD dwWaitForPipe,
                               DWORD dwWaitForInstance)
{
    m_pipe.SetClient(csComputer, GetControlPipeName(csExeName));
    m_pipe.SetTimeouts(dwWaitForPipe, dwWaitForInstance);
    m_pipe.SetMaxMessageSize(CONTROL_MAX_MESSAGE);
    m_pipe.SetOverlapped(TRUE);
}

BOOL CControlClient::Open()
{
    if (!m_instance.Open(&m_pipe))
        return FALSE;
    // Pending before the first command: the server's replies would wait for
    // it (under Wine without a bound), and the server would not read the
    // next command meanwhile.
    StartRead();
    return TRUE;
}

void CControlClient::StartRead()
{
    if (!m_fReadPending) {
        m_opRead.ReadMessage(&m_block);
        m_fReadPending = TRUE;
    }
}

BOOL CControlClient::Send(CControlMessage& msg)
{
    return m_opWrite.SendMessage(msg);
}

BOOL CControlClient::Post(DWORD dwKind, const std::string& csName)
{
    CControlMessage msg;
    msg.m_dwKind = dwKind;
    msg.m_csName = csName;
    std::unique_ptr<CPostedWrite> pWrite(new CPostedWrite);
    pWrite->m_op.SetInstance(&m_instance);
    if (!msg.Serialize(pWrite->m_block))
        return FALSE;
    if (!pWrite->m_op.WriteMessage(pWrite->m_block.GetData(), pWrite->m_block.GetLength()) && pWrite->m_op.IsComplete())
        return FALSE;
    m_apPosted.push_back(std::move(pWrite));
    return TRUE;
}

int CControlClient::Receive(CControlMessage& msg, CWaitObject* pwoStop, DWORD dwTimeout)
{
    StartRead();
    CWaitObjectArray apWaitObjects;
    if (pwoStop != NULL)
        apWaitObjects.push_back(pwoStop);
    apWaitObjects.push_back(&m_opRead);
    CWaitObject* pw = WaitForWaitObjects(FALSE, apWaitObjects, dwTimeout);
    if (pw != &m_opRead)
        return pw == NULL ? RECEIVE_TIMED_OUT : RECEIVE_STOPPED;
    m_fReadPending = FALSE;
    if (!m_opRead.GetResult())
        return RECEIVE_FAILED;
    BOOL fParsed = msg.Deserialize(m_block);
    StartRead();
    return fParsed ? RECEIVE_OK : RECEIVE_MALFORMED;
}

void CControlClient::AbortRead()
{
    m_instance.CloseHandleNow();
    if (m_fReadPending)
        m_opRead.GetResult();
    m_fReadPending = FALSE;
}

void CControlClient::Close()
{
    AbortRead();
    if (!m_opWrite.IsComplete())
        m_opWrite.GetResult();
    for (auto& pWrite : m_apPosted) {
        if (!pWrite->m_op.IsComplete())
            pWrite->m_op.GetResult();
    }
    m_apPosted.clear();
    m_instance.Close();
}
