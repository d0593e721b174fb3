// Serialized messages: the control record's bytes, every block kind, and
// received buffers that are malformed, truncated or random.
#include <random>
#include <string.h>
#include <string>
#include <vector>

#include "common/messagev.h"
#include "common/serial.h"
#include "common/widestr.h"
#include "control.h"
#include "guard_buffer.h"
#include "record_failures.h"
#include "test_app.h"

namespace {

// One field of every block kind.
struct CAllKindsMessage : CMessageV
{
    CAllKindsMessage() : CMessageV(3, 2) {}
    virtual void DoSerialize(CBlockPtrArray& apBlocks, CDWordArray& adwLengths) override
    {
        CMessageV::DoSerialize(apBlocks, adwLengths);
        AddDword(&m_dwValue, apBlocks, adwLengths);
        AddWideString(m_wsText, apBlocks, adwLengths);
        AddTime(&m_mtWhen, apBlocks, adwLengths);
        AddString(m_csText, apBlocks, adwLengths);
    }
    virtual BOOL DoDeserialize(const CBlockPtrArray& apBlocks, const CDWordArray& adwLengths, int& iBlock) override
    {
        return CMessageV::DoDeserialize(apBlocks, adwLengths, iBlock) &&
               ReadDword(&m_dwValue, apBlocks, adwLengths, iBlock) &&
               ReadWideString(&m_wsText, apBlocks, adwLengths, iBlock) &&
               ReadTime(&m_mtWhen, apBlocks, adwLengths, iBlock) && ReadString(&m_csText, apBlocks, adwLengths, iBlock);
    }
    DWORD m_dwValue = 0;
    CWideString m_wsText;
    CMilliTime m_mtWhen;
    std::string m_csText;
};

// Writes its blocks as given (negative lengths included), or a field before
// the versions; reads strings up to the end.
struct CRawMessage : CMessageV
{
    CRawMessage() : CMessageV(1, 0) {}
    virtual void DoSerialize(CBlockPtrArray& apBlocks, CDWordArray& adwLengths) override
    {
        if (m_fFieldFirst)
            AddDword(&m_dwFirst, apBlocks, adwLengths);
        CMessageV::DoSerialize(apBlocks, adwLengths);
        for (DWORD dwLength : m_adwLengths) {
            apBlocks.push_back((const BYTE*)"abc");
            adwLengths.push_back(dwLength);
        }
    }
    virtual BOOL DoDeserialize(const CBlockPtrArray& apBlocks, const CDWordArray& adwLengths, int& iBlock) override
    {
        m_acsRead.clear();
        if (!CMessageV::DoDeserialize(apBlocks, adwLengths, iBlock))
            return FALSE;
        for (std::string cs; (size_t)iBlock < apBlocks.size(); m_acsRead.push_back(cs))
            if (!ReadString(&cs, apBlocks, adwLengths, iBlock))
                return FALSE;
        return TRUE;
    }
    BOOL m_fFieldFirst = FALSE;
    DWORD m_dwFirst = 0x11223344;
    CDWordArray m_adwLengths;
    CStringArray m_acsRead;
};

std::vector<BYTE> Serialized(CSerializable& object)
{
    CDataBlock dataBlock;
    EXPECT_TRUE(object.Serialize(dataBlock));
    return std::vector<BYTE>(dataBlock.GetData(), dataBlock.GetData() + dataBlock.GetLength());
}

// Count, lengths and bytes, laid out by hand.
std::vector<BYTE> BuildBuffer(const std::vector<DWORD>& adwLengths, const std::vector<BYTE>& abData)
{
    std::vector<DWORD> adw = {(DWORD)adwLengths.size()};
    adw.insert(adw.end(), adwLengths.begin(), adwLengths.end());
    std::vector<BYTE> ab((const BYTE*)adw.data(), (const BYTE*)(adw.data() + adw.size()));
    ab.insert(ab.end(), abData.begin(), abData.end());
    return ab;
}

// Reads the bytes from against a guard page when they fit one, so that a
// read past their end faults.
BOOL DeserializeBytes(CSerializable& object, const std::vector<BYTE>& ab)
{
    static CGuardedBuffer s_guard;
    if (ab.empty() || ab.size() > 4096)
        return object.Deserialize(ab.empty() ? NULL : ab.data(), (DWORD)ab.size());
    return object.Deserialize(s_guard.Place(ab, TRUE), (DWORD)ab.size());
}

// The status command with empty strings.
const std::vector<BYTE> c_abStatusExample = {
    0x08, 0, 0, 0,                                        // 8 blocks
    0x04, 0, 0, 0, 0x04, 0, 0, 0, 0x04, 0, 0, 0,          // versions, kind
    0x00, 0, 0, 0, 0x00, 0, 0, 0,                         // name, text
    0x04, 0, 0, 0,                                        // status
    0x00, 0, 0, 0, 0x00, 0, 0, 0,                         // filename, version
    0x01, 0, 0, 0, 0x01, 0, 0, 0, 0x03, 0, 0, 0, 0x00, 0, 0, 0,
};

}  // namespace

TEST(ControlRecord, TheWorkedExamplesOf52And59BytesAndAZeroEndingAString)
{
    CControlMessage message;
    message.m_dwKind = MSG_STATUS;
    EXPECT_EQ(Serialized(message), c_abStatusExample);
    message.m_dwKind = MSG_START;
    message.m_csName = "notepad";
    std::vector<BYTE> ab = Serialized(message);
    ASSERT_EQ(ab.size(), 59u);
    EXPECT_EQ(ab[16], 7);   // the name is the fourth block; its bytes follow kind
    EXPECT_EQ(ab[44], 2);
    EXPECT_EQ(std::string((const char*)&ab[48], 7), "notepad");
    EXPECT_EQ(ab[55], 0);   // status after the name

    // Empty blocks read as empty strings; a zero inside a string ends it.
    // (Round trips of every field: the random test below.)
    CControlMessage sent, received;
    sent.m_csName = std::string("note\0pad", 8);
    received.m_csText = "old";
    ASSERT_TRUE(DeserializeBytes(received, Serialized(sent)));
    EXPECT_EQ(received.m_csName, "note");
    EXPECT_EQ(received.m_csText + received.m_csVersion, "");
}

TEST(Serialize, NegativeLengthsWrittenUnchangedReadAsEmptyAndAFieldBeforeTheVersionsReported)
{
    CRawMessage sent, received;
    sent.m_adwLengths = {(DWORD)-5, 3, 0};
    std::vector<BYTE> ab = Serialized(sent);
    EXPECT_EQ(ab, BuildBuffer({4, 4, (DWORD)-5, 3, 0}, {1, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'}));
    ASSERT_TRUE(DeserializeBytes(received, ab));
    EXPECT_EQ(received.m_acsRead, (CStringArray{"", "abc", ""}));

    CRecordFailures failures;
    CStderrCapture capture;
    CRawMessage wrong;
    wrong.m_fFieldFirst = TRUE;
    ab = Serialized(wrong);
    ASSERT_EQ(failures.Count(), 1u);
    EXPECT_EQ(failures.Records()[0].m_nKind, DEBUG_FAILURE);
    EXPECT_EQ(failures.Records()[0].m_csText,
              "Call CMessageV::DoSerialize() before anything else in your implementation of DoSerialize().");
    EXPECT_EQ(ab, BuildBuffer({4, 4, 4}, {0x44, 0x33, 0x22, 0x11, 1, 0, 0, 0, 0, 0, 0, 0}));
}

// Received buffers: each rule with the smallest buffer that breaks it.
TEST(Deserialize, MalformedBuffersAreRejectedWithInvalidData)
{
    const std::vector<BYTE>& abValid = c_abStatusExample;
    std::vector<BYTE> abTooMany = abValid, abOverLimit = BuildBuffer(CDWordArray(SERIAL_MAX_BLOCKS + 1, 0), {});
    abTooMany.push_back(0);
    const std::vector<BYTE> abVersions = {1, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0};
    std::vector<BYTE> abMs1000(20, 0);
    abMs1000[12 + 4] = 0xE8;   // 1000 = 0x3E8
    abMs1000[12 + 5] = 0x03;
    const struct
    {
        const char* m_pszCase;
        std::vector<BYTE> m_ab;
        BOOL m_fAllKinds;   // read as CAllKindsMessage, else as the control record
    } aCases[] = {
        {"empty", {}},
        {"count cut short", {8, 0, 0}},
        {"count of all bits", {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"count past the end", {9, 0, 0, 0, 4, 0, 0, 0}},
        {"count one past the end", {2, 0, 0, 0, 0, 0, 0, 0}},
        {"count above the limit", abOverLimit},
        {"length past the end", BuildBuffer({4, 4, 4, 0x7FFFFFFF, 0, 4, 0, 0}, {1, 0, 0, 0})},
        {"lengths whose sum wraps", BuildBuffer({0x80000000u - 1, 0x80000000u - 1, 2}, {})},
        {"a byte too many", abTooMany},
        {"a byte too few", std::vector<BYTE>(abValid.begin(), abValid.end() - 1)},
        {"short kind block", BuildBuffer({4, 4, 3, 0, 0, 4, 0, 0}, std::vector<BYTE>(15, 1))},
        {"long status block", BuildBuffer({4, 4, 4, 0, 0, 5, 0, 0}, std::vector<BYTE>(17, 1))},
        {"kind field missing", BuildBuffer({4, 4}, {1, 0, 0, 0, 1, 0, 0, 0})},
        {"only versions and kind", BuildBuffer({4, 4, 4}, abVersions)},
        {"odd wide string", BuildBuffer({4, 4, 4, 3, 8, 0}, std::vector<BYTE>(12 + 3 + 8, 0)), TRUE},
        {"time of 7 bytes", BuildBuffer({4, 4, 4, 2, 7, 0}, std::vector<BYTE>(12 + 2 + 7, 0)), TRUE},
        {"time of 9 bytes", BuildBuffer({4, 4, 4, 2, 9, 0}, std::vector<BYTE>(12 + 2 + 9, 0)), TRUE},
        {"empty time block", BuildBuffer({4, 4, 4, 2, 0, 0}, std::vector<BYTE>(12 + 2, 0)), TRUE},
        {"milliseconds of 1000", BuildBuffer({4, 4, 4, 0, 8, 0}, abMs1000), TRUE},
    };
    for (auto& c : aCases) {
        CControlMessage message;
        CAllKindsMessage allKinds;
        ::SetLastError(0);
        EXPECT_FALSE(DeserializeBytes(c.m_fAllKinds ? (CSerializable&)allKinds : message, c.m_ab)) << c.m_pszCase;
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_DATA) << c.m_pszCase;
    }
    // The same shapes with sound blocks are read.
    CControlMessage message;
    CAllKindsMessage allKinds;
    EXPECT_TRUE(DeserializeBytes(message, abValid));
    EXPECT_TRUE(DeserializeBytes(allKinds, BuildBuffer({4, 4, 4, 2, 8, 0}, std::vector<BYTE>(12 + 2 + 8, 0))));
}

// A record one field short is refused, whatever lies beyond the end of its
// block arrays (here the field that was taken off).
TEST(Deserialize, AFieldPastTheLastBlockIsMissing)
{
    CBlockPtrArray apBlocks;
    CDWordArray adwLengths;
    ASSERT_TRUE(CSerializable::SplitBuffer(c_abStatusExample.data(), (DWORD)c_abStatusExample.size(), apBlocks,
                                           adwLengths));
    apBlocks.pop_back();
    adwLengths.pop_back();
    CControlMessage message;
    int iBlock = 0;
    EXPECT_FALSE(message.Deserialize(apBlocks, adwLengths, &iBlock));
}

// Random, truncated and damaged buffers against guard pages: a read outside
// a buffer faults, a rejection carries ERROR_INVALID_DATA, and every sound
// message round-trips.
TEST(Deserialize, RandomAndTruncatedBuffersNeverReadOutsideAndSoundOnesRoundTrip)
{
    CGuardedBuffer guard;
    ASSERT_TRUE(guard.IsValid());
    std::mt19937 rng(20240611);
    auto Text = [&](DWORD cchMax) {
        std::string cs(rng() % (cchMax + 1), ' ');
        for (char& ch : cs)
            ch = (char)(1 + rng() % 255);
        return cs;
    };
    int cRejected = 0;
    auto Feed = [&](const std::vector<BYTE>& ab) {   // as both kinds of message
        CControlMessage message;
        CAllKindsMessage allKinds;
        for (CSerializable* pMessage : {(CSerializable*)&message, (CSerializable*)&allKinds}) {
            ::SetLastError(0);
            if (!pMessage->Deserialize(guard.Place(ab, rng() & 1), (DWORD)ab.size())) {
                cRejected++;
                EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_DATA);
            }
        }
    };
    for (int iRound = 0; iRound < 1500; iRound++) {
        CControlMessage sent, received;
        sent.nCurrentVersion = (int)(rng() % 5);
        sent.nLowestCompatibleVersion = (int)(rng() % 5);
        sent.m_dwKind = rng();
        sent.m_nStatus = (LONG)rng();
        sent.m_csName = Text(20);
        sent.m_csText = Text(60);
        sent.m_csFilename = Text(15);
        sent.m_csVersion = Text(12);
        const std::vector<BYTE> ab = Serialized(sent);
        ASSERT_TRUE(received.Deserialize(guard.Place(ab, iRound & 1), (DWORD)ab.size()));
        EXPECT_EQ(received.m_nPeerVersion * 10 + received.m_nPeerLowestVersion,
                  sent.nCurrentVersion * 10 + sent.nLowestCompatibleVersion);
        EXPECT_EQ(received.nCurrentVersion, 1);   // its own stay as they were
        EXPECT_EQ(received.m_dwKind, sent.m_dwKind);
        EXPECT_EQ(received.m_nStatus, sent.m_nStatus);
        ASSERT_EQ(received.m_csName + "|" + received.m_csText + "|" + received.m_csFilename + "|" + received.m_csVersion,
                  sent.m_csName + "|" + sent.m_csText + "|" + sent.m_csFilename + "|" + sent.m_csVersion);

        // Every strict prefix of a sound buffer is rejected.
        for (size_t cb = 0; cb < ab.size(); cb += 1 + rng() % 3) {
            const int cBefore = cRejected;
            Feed(std::vector<BYTE>(ab.begin(), ab.begin() + cb));
            EXPECT_EQ(cRejected, cBefore + 2) << "prefix of " << cb << " bytes accepted";
        }
        // Damaged copies (a few bytes changed, most often in the header),
        // plain noise, and noise behind a plausible count.
        for (int i = 0; i < 4; i++) {
            std::vector<BYTE> abDamaged = ab, abNoise(rng() % 120);
            for (int iChange = 0, cChanges = 1 + rng() % 3; iChange < cChanges; iChange++)
                abDamaged[rng() % 3 != 0 ? rng() % 36 : rng() % abDamaged.size()] = (BYTE)rng();
            for (BYTE& b : abNoise)
                b = (BYTE)rng();
            if (i >= 2 && abNoise.size() >= 4)
                abNoise[0] = (BYTE)(rng() % 10), abNoise[1] = abNoise[2] = abNoise[3] = 0;
            Feed(abDamaged);
            Feed(abNoise);
        }
    }
    EXPECT_GT(cRejected, 20000);
}
