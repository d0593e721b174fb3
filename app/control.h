// CControlMessage: the one record of the control protocol. Every pipe
// message between a client and the server carries exactly one, serialized
// as versioned blocks: kind, name, text, status, filename, version. A
// message object is used by one thread at a time.
#pragma once

#include <string>

#include "common/messagev.h"

enum
{
    MSG_STOP = 1,
    MSG_START = 2,
    MSG_STATUS = 3,
    MSG_TERMINATE = 4,
    MSG_TEXT = 5,
    MSG_REPORT_ALL = 6,
    MSG_PROCESS_RECORD = 7
};

// The largest well-formed control message (a command, or a status line or
// record with a few names of at most MAX_PATH) is a few kilobytes; a
// message over this bound is not ours and is refused before its size is
// allocated, by the server and by the clients alike.
const DWORD CONTROL_MAX_MESSAGE = 64 * 1024;

class CControlMessage : public CMessageV
{
public:
    CControlMessage();

    virtual void DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths) override;
    virtual BOOL DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                               int& iBlock) override;

    DWORD m_dwKind;
    std::string m_csName;
    std::string m_csText;
    LONG m_nStatus;
    std::string m_csFilename;
    std::string m_csVersion;
};

// The pipe name after "\\computer\pipe\" for an executable file name.
std::string GetControlPipeName(const std::string& csExeName);
