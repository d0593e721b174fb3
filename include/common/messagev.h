// CMessageV: the base of every message that travels between processes. It
// puts two version numbers in front of the derived class's fields: the
// version this side writes and the lowest version a reader must understand
// to read it. Reading a message stores the peer's two numbers; comparing
// them with its own is left to the derived message.
//
// A derived message overrides DoSerialize and DoDeserialize and calls the
// ones of CMessageV first, then adds or reads its own fields in one order:
//   void CMyMessage::DoSerialize(CBlockPtrArray& ap, CDWordArray& adw)
//   {
//       CMessageV::DoSerialize(ap, adw);
//       AddDword(&m_dwKind, ap, adw);
//       AddString(m_csName, ap, adw);
//   }
// A message is used by one thread at a time.
#pragma once

#include "common/serial.h"

class CMessageV : public CSerializable
{
public:
    CMessageV(int nCurrentVersion, int nLowestCompatibleVersion);

    virtual void DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths) override;
    // FALSE (ERROR_INVALID_DATA) when the two version blocks are missing or
    // not 4 bytes; the peer versions are then left as they were.
    virtual BOOL DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                               int& iBlock) override;

    int nCurrentVersion;           // written by this side; 0 or more
    int nLowestCompatibleVersion;  // lowest version a reader must understand; 0 or more
    int m_nPeerVersion;            // nCurrentVersion of the last message read; -1 before
    int m_nPeerLowestVersion;      // nLowestCompatibleVersion of the last message read; -1 before
};
