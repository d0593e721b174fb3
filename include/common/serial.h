// Serialization of objects into one flat byte buffer and back.
//
// A serializable object describes itself as an ordered list of blocks
// (pointer and length). The buffer is the block count, the block lengths
// and the block bytes, all integers little-endian 32-bit:
//   [n] [length 0] ... [length n-1] [bytes of every block of length >= 1]
// A length of 0 or less is an empty block that takes no bytes.
//
// CDataBlock owns one such buffer. CSerializable builds it (Serialize) and
// splits a received one (Deserialize); a derived class lists its fields in
// DoSerialize and reads them back in the same order in DoDeserialize with
// the Add... and Read... functions below. An object is used by one thread
// at a time.
//
// Received buffers are input from anyone who can reach the other end, so
// Deserialize accepts a buffer only when
//   - it holds at least the 4-byte count,
//   - the count is at most SERIAL_MAX_BLOCKS and its length table fits,
//   - the positive lengths add up to exactly the bytes after the table,
// and every Read... accepts a block only when it exists and has its kind's
// size (4 for a DWORD, 8 for a time, an even count for a wide string).
// A rejection returns FALSE with the last error ERROR_INVALID_DATA; nothing
// is read or allocated beyond what the buffer and its count allow. Fields
// read before the rejected block keep their new values: the caller drops
// the whole message.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "common/millitim.h"
#include "common/strutil.h"
#include "common/widestr.h"

// Pointers to the blocks of one object, parallel to their lengths.
typedef std::vector<const BYTE*> CBlockPtrArray;

// No real message comes near this; a larger count is taken for garbage.
const DWORD SERIAL_MAX_BLOCKS = 0x10000;

// An owned byte buffer; data is null exactly when the length is 0.
class CDataBlock
{
public:
    CDataBlock() : m_pbData(NULL), m_cbLength(0) {}
    ~CDataBlock() { Reset(); }

    // Frees the old buffer and takes pbData, which must come from new BYTE[]
    // (or AllocateBuffer); a null buffer sets the length to 0.
    void Attach(BYTE* pbData, DWORD cbLength);
    // Gives the buffer up to the caller, who frees it with delete[].
    BYTE* Detach();
    // A fresh buffer of cbLength bytes (contents undefined); FALSE with
    // ERROR_NOT_ENOUGH_MEMORY when it cannot be had. 0 empties the block.
    BOOL Allocate(DWORD cbLength);
    // A copy of cbLength bytes at pvData.
    BOOL Assign(const void* pvData, DWORD cbLength);
    void Reset() { Attach(NULL, 0); }

    BYTE* GetData() const { return m_pbData; }
    DWORD GetLength() const { return m_cbLength; }

    // new BYTE[cb] that returns null instead of throwing.
    static BYTE* AllocateBuffer(DWORD cbLength);

private:
    CDataBlock(const CDataBlock&) = delete;
    CDataBlock& operator=(const CDataBlock&) = delete;

    // A fresh buffer of cbLength bytes, a copy of pvData unless it is NULL,
    // in place of the old one; 0 empties the block.
    BOOL Replace(const void* pvData, DWORD cbLength);

    BYTE* m_pbData;
    DWORD m_cbLength;
};

class CSerializable
{
public:
    CSerializable() {}

    // Appends this object's blocks.
    virtual void DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths) = 0;
    // Reads this object's fields from the blocks starting at iBlock, which
    // it advances; FALSE (ERROR_INVALID_DATA) when a block is missing or
    // has the wrong size.
    virtual BOOL DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                               int& iBlock) = 0;
    // Builds the buffer and gives it to dataBlock.
    virtual BOOL Serialize(CDataBlock& dataBlock);
    // Splits a received buffer and reads the fields from it.
    virtual BOOL Deserialize(const CDataBlock& dataBlock);
    virtual ~CSerializable() {}

    BOOL Deserialize(const BYTE* pbBuffer, DWORD cbBuffer);
    // Reads from arrays a caller already holds, at *piBlock (advanced), or
    // from block 0 when piBlock is null.
    BOOL Deserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths, int* piBlock);

    // Splits a buffer into its blocks by the rules above; the pointers point
    // into the buffer. FALSE (ERROR_INVALID_DATA) for a malformed buffer.
    static BOOL SplitBuffer(const BYTE* pbBuffer, DWORD cbBuffer, CBlockPtrArray& apDataBlocks,
                            CDWordArray& adwDataLengths);
};

// Writers: append one block. The pointer is stored, not copied: the value
// must live until Serialize has copied it.
void AddDword(const DWORD* pdwValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths);
void AddDword(const LONG* plValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths);
void AddDword(const int* pnValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths);
// The characters up to the first zero, without it; null gives an empty block.
void AddString(const char* pszValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths);
void AddString(const std::string& csValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths);
// The UTF-16 characters up to the first zero, without it.
void AddWideString(const WCHAR* pwszValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths);
void AddWideString(const CWideString& wsValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths);
// The time's two 32-bit words, seconds first.
void AddTime(const CMilliTime* pmtValue, CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths);

// Readers: read the block at iBlock into the destination and advance iBlock.
// On FALSE (ERROR_INVALID_DATA) the destination and iBlock are unchanged.
BOOL ReadDword(DWORD* pdwValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
               int& iBlock);
BOOL ReadDword(LONG* plValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
               int& iBlock);
BOOL ReadDword(int* pnValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
               int& iBlock);
// An empty block gives an empty string, any other exactly its bytes.
BOOL ReadString(std::string* pcsValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                int& iBlock);
BOOL ReadWideString(CWideString* pwsValue, const CBlockPtrArray& apDataBlocks,
                    const CDWordArray& adwDataLengths, int& iBlock);
// Also rejects milliseconds outside 0 to 999, which no CMilliTime holds.
BOOL ReadTime(CMilliTime* pmtValue, const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
              int& iBlock);
