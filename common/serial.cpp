#include "common/serial.h"

#include <new>
#include <stddef.h>
#include <string.h>
#include <wchar.h>

#include "common/assertex.h"
#include "common/debug.h"

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(int) == 4, "4-byte blocks");
static_assert(sizeof(WCHAR) == 2, "wide strings travel as UTF-16");
// A time travels as it lies in memory: seconds, then milliseconds.
static_assert(sizeof(CMilliTime) == 8 && offsetof(CMilliTime, m_dwSeconds) == 0 &&
                  offsetof(CMilliTime, m_nMilliseconds) == 4,
              "CMilliTime is two 32-bit words");

namespace {

// Received buffers are rejected with one error code so that the connection
// layer needs to know only that the data were bad.
BOOL RejectData()
{
    ::SetLastError(ERROR_INVALID_DATA);
    return FALSE;
}

BOOL IsEmptyBlock(DWORD dwLength)
{
    return (LONG)dwLength <= 0;
}

// The block at iBlock, when it exists and has exactly cbWanted bytes.
const BYTE* FixedBlock(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths, int iBlock,
                       DWORD cbWanted)
{
    if (iBlock < 0 || (size_t)iBlock >= apDataBlocks.size() || (size_t)iBlock >= adwDataLengths.size())
        return NULL;
    if (adwDataLengths[(size_t)iBlock] != cbWanted)
        return NULL;
    return apDataBlocks[(size_t)iBlock];
}

BOOL HasBlock(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths, int iBlock)
{
    return iBlock >= 0 && (size_t)iBlock < apDataBlocks.size() && (size_t)iBlock < adwDataLengths.size();
}

BOOL ReadFourBytes(void* pvValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                   int& iBlock)
{
    const BYTE* pbBlock = FixedBlock(apDataBlocks, adwDataLengths, iBlock, 4);
    if (pbBlock == NULL)
        return RejectData();
    memcpy(pvValue, pbBlock, 4);
    iBlock++;
    return TRUE;
}

void AddBlock(const void* pvBlock, DWORD cbBlock, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    apDataBlocks.push_back((const BYTE*)pvBlock);
    adwDataLengths.push_back(cbBlock);
}

}  // namespace

void CDataBlock::Attach(BYTE* pbData, DWORD cbLength)
{
    if (m_pbData != NULL && m_pbData != pbData)
        delete[] m_pbData;
    m_pbData = pbData;
    m_cbLength = pbData != NULL ? cbLength : 0;
}

BYTE* CDataBlock::Detach()
{
    BYTE* pbData = m_pbData;
    m_pbData = NULL;
    m_cbLength = 0;
    return pbData;
}

BYTE* CDataBlock::AllocateBuffer(DWORD cbLength)
{
    return new (std::nothrow) BYTE[cbLength != 0 ? cbLength : 1];
}

BOOL CDataBlock::Allocate(DWORD cbLength)
{
    return Replace(NULL, cbLength);
}

BOOL CDataBlock::Assign(const void* pvData, DWORD cbLength)
{
    return Replace(pvData, pvData != NULL ? cbLength : 0);
}

BOOL CDataBlock::Replace(const void* pvData, DWORD cbLength)
{
    if (cbLength == 0) {
        Reset();
        return TRUE;
    }
    BYTE* pbData = AllocateBuffer(cbLength);
    if (pbData == NULL) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    // Copied before the old buffer goes: pvData may lie in it.
    if (pvData != NULL)
        memcpy(pbData, pvData, cbLength);
    Attach(pbData, cbLength);
    return TRUE;
}

BOOL CSerializable::Serialize(CDataBlock& dataBlock)
{
    CBlockPtrArray apDataBlocks;
    CDWordArray adwDataLengths;
    DoSerialize(apDataBlocks, adwDataLengths);
    ASSERT_COND(apDataBlocks.size(), ==, adwDataLengths.size());
    const size_t cBlocks = apDataBlocks.size() < adwDataLengths.size() ? apDataBlocks.size() : adwDataLengths.size();
    // The reader refuses more blocks than this, so the writer does not make them.
    if (cBlocks > SERIAL_MAX_BLOCKS) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }

    unsigned long long cbTotal = 4 + 4 * (unsigned long long)cBlocks;
    for (size_t i = 0; i < cBlocks; i++) {
        if (!IsEmptyBlock(adwDataLengths[i]))
            cbTotal += adwDataLengths[i];
    }
    if (cbTotal > 0xFFFFFFFFULL) {
        ::SetLastError(ERROR_ARITHMETIC_OVERFLOW);
        return FALSE;
    }

    BYTE* pbBuffer = CDataBlock::AllocateBuffer((DWORD)cbTotal);
    if (pbBuffer == NULL) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const DWORD dwCount = (DWORD)cBlocks;
    memcpy(pbBuffer, &dwCount, 4);
    BYTE* pbNext = pbBuffer + 4;
    for (size_t i = 0; i < cBlocks; i++) {
        memcpy(pbNext, &adwDataLengths[i], 4);
        pbNext += 4;
    }
    for (size_t i = 0; i < cBlocks; i++) {
        if (IsEmptyBlock(adwDataLengths[i]))
            continue;
        // A writer that lists a length without its bytes gets zeros, not a crash.
        if (apDataBlocks[i] != NULL)
            memcpy(pbNext, apDataBlocks[i], adwDataLengths[i]);
        else
            memset(pbNext, 0, adwDataLengths[i]);
        pbNext += adwDataLengths[i];
    }
    dataBlock.Attach(pbBuffer, (DWORD)cbTotal);
    return TRUE;
}

BOOL CSerializable::SplitBuffer(const BYTE* pbBuffer, DWORD cbBuffer, CBlockPtrArray& apDataBlocks,
                                CDWordArray& adwDataLengths)
{
    apDataBlocks.clear();
    adwDataLengths.clear();
    if (pbBuffer == NULL || cbBuffer < 4) {
        DEBUG_TRACE_MSG("Rejected a serialized buffer of " << cbBuffer << " bytes: no block count.");
        return RejectData();
    }
    DWORD cBlocks;
    memcpy(&cBlocks, pbBuffer, 4);
    // Checked before anything is allocated: the count must fit the buffer.
    if (cBlocks > SERIAL_MAX_BLOCKS || cBlocks > (cbBuffer - 4) / 4) {
        DEBUG_TRACE_MSG("Rejected a serialized buffer of " << cbBuffer << " bytes: block count " << cBlocks
                                                           << " does not fit.");
        return RejectData();
    }
    const DWORD cbHeader = 4 + 4 * cBlocks;
    unsigned long long cbData = 0;
    for (DWORD i = 0; i < cBlocks; i++) {
        DWORD dwLength;
        memcpy(&dwLength, pbBuffer + 4 + 4 * i, 4);
        if (!IsEmptyBlock(dwLength))
            cbData += dwLength;
    }
    // Exactly as long as the lengths say: anything else means the two ends
    // disagree about the layout.
    if (cbData != (unsigned long long)(cbBuffer - cbHeader)) {
        DEBUG_TRACE_MSG("Rejected a serialized buffer of " << cbBuffer << " bytes: its blocks need "
                                                           << (cbHeader + cbData) << " bytes.");
        return RejectData();
    }

    apDataBlocks.reserve(cBlocks);
    adwDataLengths.reserve(cBlocks);
    const BYTE* pbNext = pbBuffer + cbHeader;
    for (DWORD i = 0; i < cBlocks; i++) {
        DWORD dwLength;
        memcpy(&dwLength, pbBuffer + 4 + 4 * i, 4);
        if (IsEmptyBlock(dwLength)) {
            AddBlock(NULL, dwLength, apDataBlocks, adwDataLengths);
        } else {
            AddBlock(pbNext, dwLength, apDataBlocks, adwDataLengths);
            pbNext += dwLength;
        }
    }
    return TRUE;
}

BOOL CSerializable::Deserialize(const BYTE* pbBuffer, DWORD cbBuffer)
{
    CBlockPtrArray apDataBlocks;
    CDWordArray adwDataLengths;
    if (!SplitBuffer(pbBuffer, cbBuffer, apDataBlocks, adwDataLengths))
        return FALSE;
    int iBlock = 0;
    return DoDeserialize(apDataBlocks, adwDataLengths, iBlock);
}

BOOL CSerializable::Deserialize(const CDataBlock& dataBlock)
{
    return Deserialize(dataBlock.GetData(), dataBlock.GetLength());
}

BOOL CSerializable::Deserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths, int* piBlock)
{
    int iBlock = 0;
    return DoDeserialize(apDataBlocks, adwDataLengths, piBlock != NULL ? *piBlock : iBlock);
}

void AddDword(const DWORD* pdwValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    AddBlock(pdwValue, 4, apDataBlocks, adwDataLengths);
}

void AddDword(const LONG* plValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    AddBlock(plValue, 4, apDataBlocks, adwDataLengths);
}

void AddDword(const int* pnValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    AddBlock(pnValue, 4, apDataBlocks, adwDataLengths);
}

void AddString(const char* pszValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    AddBlock(pszValue, pszValue != NULL ? (DWORD)strlen(pszValue) : 0, apDataBlocks, adwDataLengths);
}

void AddString(const std::string& csValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    AddString(csValue.c_str(), apDataBlocks, adwDataLengths);
}

void AddWideString(const WCHAR* pwszValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    AddBlock(pwszValue, pwszValue != NULL ? 2 * (DWORD)wcslen(pwszValue) : 0, apDataBlocks, adwDataLengths);
}

void AddWideString(const CWideString& wsValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    AddWideString(wsValue.GetString(), apDataBlocks, adwDataLengths);
}

void AddTime(const CMilliTime* pmtValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths)
{
    AddBlock(pmtValue, 8, apDataBlocks, adwDataLengths);
}

BOOL ReadDword(DWORD* pdwValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
               int& iBlock)
{
    return ReadFourBytes(pdwValue, apDataBlocks, adwDataLengths, iBlock);
}

BOOL ReadDword(LONG* plValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
               int& iBlock)
{
    return ReadFourBytes(plValue, apDataBlocks, adwDataLengths, iBlock);
}

BOOL ReadDword(int* pnValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths, int& iBlock)
{
    return ReadFourBytes(pnValue, apDataBlocks, adwDataLengths, iBlock);
}

BOOL ReadString(std::string* pcsValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                int& iBlock)
{
    if (!HasBlock(apDataBlocks, adwDataLengths, iBlock))
        return RejectData();
    const DWORD dwLength = adwDataLengths[(size_t)iBlock];
    const BYTE* pbBlock = apDataBlocks[(size_t)iBlock];
    if (IsEmptyBlock(dwLength))
        pcsValue->clear();
    else if (pbBlock == NULL)
        return RejectData();
    else
        pcsValue->assign((const char*)pbBlock, dwLength);
    iBlock++;
    return TRUE;
}

BOOL ReadWideString(CWideString* pwsValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                    int& iBlock)
{
    if (!HasBlock(apDataBlocks, adwDataLengths, iBlock))
        return RejectData();
    const DWORD dwLength = adwDataLengths[(size_t)iBlock];
    const BYTE* pbBlock = apDataBlocks[(size_t)iBlock];
    if (IsEmptyBlock(dwLength)) {
        pwsValue->Empty();
    } else {
        if (pbBlock == NULL || (dwLength & 1) != 0)
            return RejectData();
        // The block need not be aligned for WCHAR: copy it out first.
        std::wstring wsCopy(dwLength / 2, L'\0');
        memcpy(&wsCopy[0], pbBlock, dwLength);
        pwsValue->Assign(wsCopy.c_str(), (int)(dwLength / 2));
    }
    iBlock++;
    return TRUE;
}

BOOL ReadTime(CMilliTime* pmtValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
              int& iBlock)
{
    const BYTE* pbBlock = FixedBlock(apDataBlocks, adwDataLengths, iBlock, 8);
    if (pbBlock == NULL)
        return RejectData();
    DWORD dwSeconds;
    LONG nMilliseconds;
    memcpy(&dwSeconds, pbBlock, 4);
    memcpy(&nMilliseconds, pbBlock + 4, 4);
    if (nMilliseconds < 0 || nMilliseconds > 999)
        return RejectData();
    pmtValue->m_dwSeconds = dwSeconds;
    pmtValue->m_nMilliseconds = nMilliseconds;
    iBlock++;
    return TRUE;
}
