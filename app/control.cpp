// The control message and the pipe name.
#include "control.h"

CControlMessage::CControlMessage() : CMessageV(1, 1), m_dwKind(0), m_nStatus(0)
{
}

void CControlMessage::DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    CMessageV::DoSerialize(apDataBlocks, adwDataLengths);
    AddDword(&m_dwKind, apDataBlocks, adwDataLengths);
    AddString(m_csName, apDataBlocks, adwDataLengths);
    AddString(m_csText, apDataBlocks, adwDataLengths);
    AddDword(&m_nStatus, apDataBlocks, adwDataLengths);
    AddString(m_csFilename, apDataBlocks, adwDataLengths);
    AddString(m_csVersion, apDataBlocks, adwDataLengths);
}

BOOL CControlMessage::DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                                    int& iBlock)
{
    return CMessageV::DoDeserialize(apDataBlocks, adwDataLengths, iBlock) &&
           ReadDword(&m_dwKind, apDataBlocks, adwDataLengths, iBlock) &&
           ReadString(&m_csName, apDataBlocks, adwDataLengths, iBlock) &&
           ReadString(&m_csText, apDataBlocks, adwDataLengths, iBlock) &&
           ReadDword(&m_nStatus, apDataBlocks, adwDataLengths, iBlock) &&
           ReadString(&m_csFilename, apDataBlocks, adwDataLengths, iBlock) &&
           ReadString(&m_csVersion, apDataBlocks, adwDataLengths, iBlock);
}

std::string GetControlPipeName(const std::string& csExeName)
{
    return "Tesk\\OvrinUtility\\" + csExeName;
}
