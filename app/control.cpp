// The control message and the pipe name.
#include "control.h"

#include <stdio.h>
#include <stdlib.h>

#include "common/strutil.h"

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

CProcessDetail::CProcessDetail()
    : m_dwProcessId(0), m_nRestarts(0), m_fHasExitCode(FALSE), m_dwExitCode(0), m_nSecondsUp(-1),
      m_nSecondsSinceEnd(-1), m_fForcedStop(FALSE), m_nForcedStops(0), m_llStartTime(-1), m_fExternalCopy(FALSE),
      m_fAttached(FALSE),
      m_nHealthy(-1)
{
}

std::string CProcessDetail::Format() const
{
    char szNumbers[96];
    snprintf(szNumbers, sizeof szNumbers, "%lu\t%ld\t%d\t%lu\t%ld\t%ld\t", (unsigned long)m_dwProcessId,
             (long)m_nRestarts, m_fHasExitCode ? 1 : 0, (unsigned long)m_dwExitCode, (long)m_nSecondsUp,
             (long)m_nSecondsSinceEnd);
    // Tabs inside the texts would shift every later field.
    std::string csState = m_csState, csTime = m_csTime, csUnique = m_csUniqueName, csExecutable = m_csExecutable;
    for (std::string* pcs : {&csState, &csTime, &csUnique, &csExecutable}) {
        for (char& ch : *pcs)
            ch = ch == '\t' ? ' ' : ch;
    }
    char szMore[64];
    snprintf(szMore, sizeof szMore, "\t%d\t%ld\t%lld\t", m_fForcedStop ? 1 : 0, (long)m_nForcedStops,
             (long long)m_llStartTime);
    return szNumbers + csState + "\t" + csTime + szMore + csUnique + (m_fExternalCopy ? "\t1\t" : "\t0\t") +
           csExecutable + (m_fAttached ? "\t1\t" : "\t0\t") + std::to_string(m_nHealthy);
}

BOOL CProcessDetail::Parse(const std::string& csText)
{
    std::vector<std::string> acsFields;
    size_t iStart = 0;
    for (;;) {
        size_t iTab = csText.find('\t', iStart);
        acsFields.push_back(csText.substr(iStart, iTab == std::string::npos ? std::string::npos : iTab - iStart));
        if (iTab == std::string::npos)
            break;
        iStart = iTab + 1;
    }
    if (acsFields.size() < 8)
        return FALSE;
    m_dwProcessId = strtoul(acsFields[0].c_str(), NULL, 10);
    m_nRestarts = strtol(acsFields[1].c_str(), NULL, 10);
    m_fHasExitCode = acsFields[2] == "1";
    m_dwExitCode = strtoul(acsFields[3].c_str(), NULL, 10);
    m_nSecondsUp = strtol(acsFields[4].c_str(), NULL, 10);
    m_nSecondsSinceEnd = strtol(acsFields[5].c_str(), NULL, 10);
    m_csState = acsFields[6];
    m_csTime = acsFields[7];
    m_fForcedStop = acsFields.size() > 8 && acsFields[8] == "1";
    m_nForcedStops = acsFields.size() > 9 ? strtol(acsFields[9].c_str(), NULL, 10) : 0;
    m_llStartTime = acsFields.size() > 10 ? strtoll(acsFields[10].c_str(), NULL, 10) : -1;
    m_csUniqueName = acsFields.size() > 11 ? acsFields[11] : std::string();
    m_fExternalCopy = acsFields.size() > 12 && acsFields[12] == "1";
    m_csExecutable = acsFields.size() > 13 ? acsFields[13] : std::string();
    m_fAttached = acsFields.size() > 14 && acsFields[14] == "1";
    m_nHealthy = acsFields.size() > 15 && (acsFields[15] == "0" || acsFields[15] == "1") ? atoi(acsFields[15].c_str()) : -1;
    return TRUE;
}

std::string FormatExitCode(DWORD dwExitCode)
{
    char szText[40];
    if (dwExitCode >= 0xC0000000)
        snprintf(szText, sizeof szText, "%lu (0x%08lX)", (unsigned long)dwExitCode, (unsigned long)dwExitCode);
    else
        snprintf(szText, sizeof szText, "%lu", (unsigned long)dwExitCode);
    return szText;
}
