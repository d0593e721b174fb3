#include <gtest/gtest.h>

#include <random>
#include <string.h>
#include <string>
#include <vector>

#include "common/messagev.h"
#include "common/serial.h"
#include "common/widestr.h"
#include "guard_buffer.h"
#include "record_failures.h"
#include "test_app.h"

namespace {

// The shape of the control protocol's record: versions 1 and 1, then kind,
// name, text, status, filename, version.
class CControlShapedMessage : public CMessageV
{
public:
    CControlShapedMessage() : CMessageV(1, 1) {}

    virtual void DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths) override
    {
        CMessageV::DoSerialize(apDataBlocks, adwDataLengths);
        AddDword(&m_dwKind, apDataBlocks, adwDataLengths);
        AddString(m_csName, apDataBlocks, adwDataLengths);
        AddString(m_csText, apDataBlocks, adwDataLengths);
        AddDword(&m_nStatus, apDataBlocks, adwDataLengths);
        AddString(m_csFilename, apDataBlocks, adwDataLengths);
        AddString(m_csVersion, apDataBlocks, adwDataLengths);
    }
    virtual BOOL DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                               int& iBlock) override
    {
        return CMessageV::DoDeserialize(apDataBlocks, adwDataLengths, iBlock) &&
               ReadDword(&m_dwKind, apDataBlocks, adwDataLengths, iBlock) &&
               ReadString(&m_csName, apDataBlocks, adwDataLengths, iBlock) &&
               ReadString(&m_csText, apDataBlocks, adwDataLengths, iBlock) &&
               ReadDword(&m_nStatus, apDataBlocks, adwDataLengths, iBlock) &&
               ReadString(&m_csFilename, apDataBlocks, adwDataLengths, iBlock) &&
               ReadString(&m_csVersion, apDataBlocks, adwDataLengths, iBlock);
    }

    DWORD m_dwKind = 0;
    std::string m_csName;
    std::string m_csText;
    LONG m_nStatus = 0;
    std::string m_csFilename;
    std::string m_csVersion;
};

// One field of every block kind.
class CAllKindsMessage : public CMessageV
{
public:
    CAllKindsMessage() : CMessageV(3, 2) {}

    virtual void DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths) override
    {
        CMessageV::DoSerialize(apDataBlocks, adwDataLengths);
        AddDword(&m_dwValue, apDataBlocks, adwDataLengths);
        AddWideString(m_wsText, apDataBlocks, adwDataLengths);
        AddTime(&m_mtWhen, apDataBlocks, adwDataLengths);
        AddString(m_csText, apDataBlocks, adwDataLengths);
    }
    virtual BOOL DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                               int& iBlock) override
    {
        return CMessageV::DoDeserialize(apDataBlocks, adwDataLengths, iBlock) &&
               ReadDword(&m_dwValue, apDataBlocks, adwDataLengths, iBlock) &&
               ReadWideString(&m_wsText, apDataBlocks, adwDataLengths, iBlock) &&
               ReadTime(&m_mtWhen, apDataBlocks, adwDataLengths, iBlock) &&
               ReadString(&m_csText, apDataBlocks, adwDataLengths, iBlock);
    }

    DWORD m_dwValue = 0;
    CWideString m_wsText;
    CMilliTime m_mtWhen;
    std::string m_csText;
};

// Appends a field before the versions, which the base class reports.
class CWrongOrderMessage : public CMessageV
{
public:
    CWrongOrderMessage() : CMessageV(1, 0) {}
    virtual void DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths) override
    {
        AddDword(&m_dwFirst, apDataBlocks, adwDataLengths);
        CMessageV::DoSerialize(apDataBlocks, adwDataLengths);
    }
    virtual BOOL DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                               int& iBlock) override
    {
        return CMessageV::DoDeserialize(apDataBlocks, adwDataLengths, iBlock);
    }
    DWORD m_dwFirst = 0x11223344;
};

// Writes raw lengths, negative ones included.
class CRawLengthsMessage : public CSerializable
{
public:
    virtual void DoSerialize(CBlockPtrArray& apDataBlocks, CDWordArray& adwDataLengths) override
    {
        for (size_t i = 0; i < m_adwLengths.size(); i++) {
            apDataBlocks.push_back((const BYTE*)m_csBytes.c_str());
            adwDataLengths.push_back(m_adwLengths[i]);
        }
    }
    virtual BOOL DoDeserialize(const CBlockPtrArray& apDataBlocks, const CDWordArray& adwDataLengths,
                               int& iBlock) override
    {
        m_acsRead.clear();
        while ((size_t)iBlock < apDataBlocks.size()) {
            std::string cs;
            if (!ReadString(&cs, apDataBlocks, adwDataLengths, iBlock))
                return FALSE;
            m_acsRead.push_back(cs);
        }
        return TRUE;
    }
    CDWordArray m_adwLengths;
    std::string m_csBytes;
    CStringArray m_acsRead;
};

std::vector<BYTE> ToBytes(const CDataBlock& dataBlock)
{
    return std::vector<BYTE>(dataBlock.GetData(), dataBlock.GetData() + dataBlock.GetLength());
}

std::vector<BYTE> Serialized(CSerializable& object)
{
    CDataBlock dataBlock;
    EXPECT_TRUE(object.Serialize(dataBlock));
    return ToBytes(dataBlock);
}

void PutDword(std::vector<BYTE>& ab, DWORD dw)
{
    for (int i = 0; i < 4; i++)
        ab.push_back((BYTE)(dw >> (8 * i)));
}

// Count, lengths and bytes, laid out by hand.
std::vector<BYTE> BuildBuffer(const std::vector<DWORD>& adwLengths, const std::vector<BYTE>& abData)
{
    std::vector<BYTE> ab;
    PutDword(ab, (DWORD)adwLengths.size());
    for (DWORD dw : adwLengths)
        PutDword(ab, dw);
    ab.insert(ab.end(), abData.begin(), abData.end());
    return ab;
}

BOOL DeserializeBytes(CSerializable& object, const std::vector<BYTE>& ab)
{
    return object.Deserialize(ab.empty() ? NULL : ab.data(), (DWORD)ab.size());
}

const BYTE abStatusExample[52] = {
    0x08, 0, 0, 0,                                          // 8 blocks
    0x04, 0, 0, 0, 0x04, 0, 0, 0, 0x04, 0, 0, 0,            // versions, kind
    0x00, 0, 0, 0, 0x00, 0, 0, 0,                           // name, text
    0x04, 0, 0, 0,                                          // status
    0x00, 0, 0, 0, 0x00, 0, 0, 0,                           // filename, version
    0x01, 0, 0, 0, 0x01, 0, 0, 0, 0x03, 0, 0, 0, 0x00, 0, 0, 0,
};

}  // namespace

TEST(Serialize, StatusCommandWithEmptyStringsIsTheFiftyTwoBytesOfTheExample)
{
    CControlShapedMessage message;
    message.m_dwKind = 3;
    std::vector<BYTE> ab = Serialized(message);
    EXPECT_EQ(ab, std::vector<BYTE>(abStatusExample, abStatusExample + sizeof(abStatusExample)));
}

TEST(Serialize, StartCommandWithSevenCharacterNameIsFiftyNineBytes)
{
    CControlShapedMessage message;
    message.m_dwKind = 2;
    message.m_csName = "notepad";
    std::vector<BYTE> ab = Serialized(message);
    ASSERT_EQ(ab.size(), 59u);
    // Length table: the name is the fourth block; its bytes follow kind.
    EXPECT_EQ(ab[16], 7);
    EXPECT_EQ(std::string((const char*)&ab[48], 7), "notepad");
    EXPECT_EQ(ab[44], 2);
    EXPECT_EQ(ab[55], 0);  // status after the name
}

TEST(Serialize, FieldsRoundTripAndPeerVersionsAreStored)
{
    CControlShapedMessage sent;
    sent.nCurrentVersion = 7;
    sent.nLowestCompatibleVersion = 5;
    sent.m_dwKind = 7;
    sent.m_csName = "Title of it";
    sent.m_csText = std::string(1000, 'x');
    sent.m_nStatus = -42;
    sent.m_csFilename = "notepad";
    sent.m_csVersion = "4.0.1381.1";
    CDataBlock dataBlock;
    ASSERT_TRUE(sent.Serialize(dataBlock));

    CControlShapedMessage received;
    EXPECT_EQ(received.m_nPeerVersion, -1);
    EXPECT_EQ(received.m_nPeerLowestVersion, -1);
    ASSERT_TRUE(received.Deserialize(dataBlock));
    EXPECT_EQ(received.m_nPeerVersion, 7);
    EXPECT_EQ(received.m_nPeerLowestVersion, 5);
    EXPECT_EQ(received.nCurrentVersion, 1);  // its own stay as they were
    EXPECT_EQ(received.m_dwKind, 7u);
    EXPECT_EQ(received.m_csName, sent.m_csName);
    EXPECT_EQ(received.m_csText, sent.m_csText);
    EXPECT_EQ(received.m_nStatus, -42);
    EXPECT_EQ(received.m_csFilename, sent.m_csFilename);
    EXPECT_EQ(received.m_csVersion, sent.m_csVersion);
}

TEST(Serialize, EmptyBlocksReadAsEmptyStringsAndEmbeddedZeroCutsTheString)
{
    CControlShapedMessage sent;
    sent.m_csName = std::string("note\0pad", 8);
    CControlShapedMessage received;
    received.m_csText = "old text";
    received.m_csVersion = "old version";
    ASSERT_TRUE(received.Deserialize(&Serialized(sent)[0], 52 + 4));
    EXPECT_EQ(received.m_csName, "note");
    EXPECT_EQ(received.m_csText, "");
    EXPECT_EQ(received.m_csVersion, "");
}

TEST(Serialize, WideStringAndTimeBlocksRoundTrip)
{
    CAllKindsMessage sent;
    sent.m_dwValue = 0xDEADBEEF;
    const WCHAR awch[] = {L'A', 0x00E9, 0x4E2D, 0xD83D, 0xDE00, L'z'};
    sent.m_wsText = CWideString(awch, (int)(sizeof(awch) / sizeof(awch[0])));
    sent.m_mtWhen = CMilliTime(2026, 12, 4, 9, 5, 7, 42);
    sent.m_csText = "tail";
    CDataBlock dataBlock;
    ASSERT_TRUE(sent.Serialize(dataBlock));
    // 4 + 6 x 4 lengths + 4 + 4 + 4 + 12 + 8 + 4.
    ASSERT_EQ(dataBlock.GetLength(), 64u);
    DWORD dwWideLength;
    memcpy(&dwWideLength, dataBlock.GetData() + 4 + 4 * 3, 4);
    EXPECT_EQ(dwWideLength, 12u);
    DWORD dwSeconds;
    memcpy(&dwSeconds, dataBlock.GetData() + 4 + 24 + 12 + 12, 4);
    EXPECT_EQ(dwSeconds, sent.m_mtWhen.m_dwSeconds);

    CAllKindsMessage received;
    received.m_wsText = CWideString("old");
    ASSERT_TRUE(received.Deserialize(dataBlock));
    EXPECT_EQ(received.m_nPeerVersion, 3);
    EXPECT_EQ(received.m_nPeerLowestVersion, 2);
    EXPECT_EQ(received.m_dwValue, 0xDEADBEEFu);
    EXPECT_TRUE(received.m_wsText == sent.m_wsText);
    EXPECT_EQ(received.m_wsText.GetLength(), 6);
    EXPECT_EQ(received.m_wsText.GetString()[6], 0);
    EXPECT_TRUE(received.m_mtWhen == sent.m_mtWhen);
    EXPECT_EQ(received.m_mtWhen.Format(), "4Dec26 9:05:07.042");
    EXPECT_EQ(received.m_csText, "tail");

    // An invalid time and an empty wide string travel too.
    sent.m_mtWhen = CMilliTime();
    sent.m_wsText = CWideString();
    ASSERT_TRUE(sent.Serialize(dataBlock));
    ASSERT_TRUE(received.Deserialize(dataBlock));
    EXPECT_FALSE(received.m_mtWhen.IsValid());
    EXPECT_TRUE(received.m_wsText.IsEmpty());
}

TEST(Serialize, NegativeLengthsAreWrittenUnchangedAndReadAsEmptyBlocks)
{
    CRawLengthsMessage sent;
    sent.m_csBytes = "abc";
    sent.m_adwLengths = {(DWORD)-5, 3, 0};
    std::vector<BYTE> ab = Serialized(sent);
    std::vector<BYTE> abExpected = BuildBuffer({(DWORD)-5, 3, 0}, {'a', 'b', 'c'});
    EXPECT_EQ(ab, abExpected);

    CRawLengthsMessage received;
    ASSERT_TRUE(DeserializeBytes(received, ab));
    EXPECT_EQ(received.m_acsRead, (CStringArray{"", "abc", ""}));
}

TEST(Serialize, FieldBeforeTheVersionsIsReportedAndVersionsNoLongerComeFirst)
{
    CRecordFailures failures;
    CStderrCapture capture;
    CWrongOrderMessage message;
    std::vector<BYTE> ab = Serialized(message);
    ASSERT_EQ(failures.Records().size(), 1u);
    EXPECT_EQ(failures.Records()[0].nKind, DEBUG_FAILURE);
    EXPECT_EQ(failures.Records()[0].csText,
              "Call CMessageV::DoSerialize() before anything else in your implementation of DoSerialize().");
    ASSERT_EQ(ab.size(), 4u + 12u + 12u);
    EXPECT_EQ(ab[16], 0x44);  // the first block is the stray field
    EXPECT_EQ(ab[20], 1);     // then the versions
}

TEST(Serialize, EntryForHeldArraysStartsAtZeroOrAtTheGivenIndex)
{
    CControlShapedMessage sent;
    sent.m_dwKind = 6;
    CDataBlock dataBlock;
    ASSERT_TRUE(sent.Serialize(dataBlock));
    CBlockPtrArray apDataBlocks;
    CDWordArray adwDataLengths;
    ASSERT_TRUE(CSerializable::SplitBuffer(dataBlock.GetData(), dataBlock.GetLength(), apDataBlocks,
                                           adwDataLengths));

    CControlShapedMessage received;
    EXPECT_TRUE(received.Deserialize(apDataBlocks, adwDataLengths, NULL));
    EXPECT_EQ(received.m_dwKind, 6u);

    // Two messages back to back in one block list.
    const CBlockPtrArray apOnce = apDataBlocks;
    const CDWordArray adwOnce = adwDataLengths;
    apDataBlocks.insert(apDataBlocks.end(), apOnce.begin(), apOnce.end());
    adwDataLengths.insert(adwDataLengths.end(), adwOnce.begin(), adwOnce.end());
    int iBlock = 0;
    EXPECT_TRUE(received.Deserialize(apDataBlocks, adwDataLengths, &iBlock));
    EXPECT_EQ(iBlock, 8);
    EXPECT_TRUE(received.Deserialize(apDataBlocks, adwDataLengths, &iBlock));
    EXPECT_EQ(iBlock, 16);
    ::SetLastError(0);
    EXPECT_FALSE(received.Deserialize(apDataBlocks, adwDataLengths, &iBlock));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_DATA);
}

TEST(WideString, EmptyStringsShareOneBufferConversionsRoundTripAndNullsGiveEmptyBlocks)
{
    CWideString ws1;
    CWideString ws2(L"", 0);
    CWideString ws3((const WCHAR*)NULL);
    EXPECT_EQ(ws1.GetString(), ws2.GetString());
    EXPECT_EQ(ws1.GetString(), ws3.GetString());
    EXPECT_EQ(ws1.GetString()[0], 0);
    EXPECT_EQ(ws1.GetCapacity(), 0);

    CWideString wsAnsi("Process");
    EXPECT_EQ(wsAnsi.GetLength(), 7);
    EXPECT_EQ(wcscmp(wsAnsi.GetString(), L"Process"), 0);
    EXPECT_GE(wsAnsi.GetCapacity(), 7);
    EXPECT_EQ(wsAnsi.ToAnsi(), "Process");
    CWideString wsCopy(wsAnsi);
    EXPECT_TRUE(wsCopy == wsAnsi);
    wsCopy.Empty();
    EXPECT_EQ(wsCopy.GetString(), ws1.GetString());
    EXPECT_TRUE(wsAnsi != wsCopy);

    // A counted buffer takes exactly its count; conversion stops at a zero.
    CWideString wsCounted(L"abcdef", 3);
    EXPECT_EQ(wcscmp(wsCounted.GetString(), L"abc"), 0);
    EXPECT_EQ(WideToAnsi(L"ab\0cd", 5), "ab");

    // Null pointers give empty blocks; a wide block counts bytes.
    CBlockPtrArray apDataBlocks;
    CDWordArray adwDataLengths;
    AddString((const char*)NULL, apDataBlocks, adwDataLengths);
    AddWideString((const WCHAR*)NULL, apDataBlocks, adwDataLengths);
    AddWideString(L"ab", apDataBlocks, adwDataLengths);
    EXPECT_EQ(adwDataLengths, (CDWordArray{0, 0, 4}));
}

// Received buffers: each rule with the smallest buffer that breaks it.
TEST(Deserialize, MalformedBuffersAreRejectedWithInvalidData)
{
    const std::vector<BYTE> abValid(abStatusExample, abStatusExample + sizeof(abStatusExample));
    struct {
        const char* pszCase;
        std::vector<BYTE> ab;
    } aCases[] = {
        {"empty", {}},
        {"count cut short", {8, 0, 0}},
        {"count of all bits", BuildBuffer({}, {0, 0, 0, 0, 0, 0, 0, 0})},
        {"count past the end", {9, 0, 0, 0, 4, 0, 0, 0}},
        {"count above the limit", {}},
        {"length past the end", BuildBuffer({4, 4, 4, 0x7FFFFFFF, 0, 4, 0, 0}, {1, 0, 0, 0})},
        {"lengths whose sum wraps", BuildBuffer({0x80000000u - 1, 0x80000000u - 1, 2}, {})},
        {"a byte too many", {}},
        {"a byte too few", std::vector<BYTE>(abValid.begin(), abValid.end() - 1)},
        {"short kind block", {}},
        {"long status block", {}},
        {"kind field missing", BuildBuffer({4, 4}, {1, 0, 0, 0, 1, 0, 0, 0})},
        {"only versions and kind", BuildBuffer({4, 4, 4}, {1, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0})},
    };
    aCases[2].ab[0] = aCases[2].ab[1] = aCases[2].ab[2] = aCases[2].ab[3] = 0xFF;
    PutDword(aCases[4].ab, SERIAL_MAX_BLOCKS + 1);
    aCases[4].ab.resize(4 + 4 * (SERIAL_MAX_BLOCKS + 1), 0);
    aCases[7].ab = abValid;
    aCases[7].ab.push_back(0);
    aCases[9].ab = BuildBuffer({4, 4, 3, 0, 0, 4, 0, 0}, std::vector<BYTE>(15, 1));
    aCases[10].ab = BuildBuffer({4, 4, 4, 0, 0, 5, 0, 0}, std::vector<BYTE>(17, 1));

    for (auto& c : aCases) {
        CControlShapedMessage message;
        ::SetLastError(0);
        EXPECT_FALSE(DeserializeBytes(message, c.ab)) << c.pszCase;
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_DATA) << c.pszCase;
    }
    CControlShapedMessage message;
    EXPECT_TRUE(DeserializeBytes(message, abValid));
}

TEST(Deserialize, ShortOrOddBlocksOfWideStringAndTimeAreRejected)
{
    const std::vector<BYTE> abVersions = {1, 0, 0, 0, 1, 0, 0, 0, 9, 0, 0, 0};
    struct {
        const char* pszCase;
        std::vector<DWORD> adwLengths;
        std::vector<BYTE> abData;
    } aCases[] = {
        {"odd wide string", {4, 4, 4, 3, 8, 0}, std::vector<BYTE>(12 + 3 + 8, 0)},
        {"time of 7 bytes", {4, 4, 4, 2, 7, 0}, std::vector<BYTE>(12 + 2 + 7, 0)},
        {"time of 9 bytes", {4, 4, 4, 2, 9, 0}, std::vector<BYTE>(12 + 2 + 9, 0)},
        {"empty time block", {4, 4, 4, 2, 0, 0}, std::vector<BYTE>(12 + 2, 0)},
        {"milliseconds of 1000", {4, 4, 4, 0, 8, 0}, std::vector<BYTE>(12 + 8, 0)},
    };
    aCases[4].abData[12 + 4] = 0xE8;  // 1000 = 0x3E8
    aCases[4].abData[12 + 5] = 0x03;
    for (auto& c : aCases) {
        CAllKindsMessage message;
        ::SetLastError(0);
        EXPECT_FALSE(DeserializeBytes(message, BuildBuffer(c.adwLengths, c.abData))) << c.pszCase;
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_DATA) << c.pszCase;
    }
    // Reference: the same shape with sound blocks is read.
    CAllKindsMessage message;
    EXPECT_TRUE(DeserializeBytes(message, BuildBuffer({4, 4, 4, 2, 8, 0}, std::vector<BYTE>(12 + 2 + 8, 0))));
}

TEST(Deserialize, ReaderLeavesDestinationAndIndexAloneOnRejection)
{
    const DWORD dwValue = 5;
    const BYTE abShort[3] = {1, 2, 3};
    CBlockPtrArray apDataBlocks = {(const BYTE*)&dwValue, abShort, NULL};
    CDWordArray adwDataLengths = {4, 3, 4};
    int iBlock = 1;
    DWORD dwRead = 77;
    EXPECT_FALSE(ReadDword(&dwRead, apDataBlocks, adwDataLengths, iBlock));
    EXPECT_EQ(iBlock, 1);
    EXPECT_EQ(dwRead, 77u);
    iBlock = 2;  // a caller's array with a null pointer and a length
    EXPECT_FALSE(ReadDword(&dwRead, apDataBlocks, adwDataLengths, iBlock));
    iBlock = -1;
    EXPECT_FALSE(ReadDword(&dwRead, apDataBlocks, adwDataLengths, iBlock));
    iBlock = 0;
    EXPECT_TRUE(ReadDword(&dwRead, apDataBlocks, adwDataLengths, iBlock));
    EXPECT_EQ(dwRead, 5u);
    EXPECT_EQ(iBlock, 1);
}

// Thousands of random, truncated and damaged buffers against guard pages:
// a read outside a buffer faults, a rejection carries ERROR_INVALID_DATA,
// and every well-formed message still round-trips.
TEST(Deserialize, RandomAndTruncatedBuffersNeverReadOutsideAndSoundOnesRoundTrip)
{
    CGuardedBuffer guard;
    ASSERT_TRUE(guard.IsValid());
    std::mt19937 rng(20240611);
    auto Random = [&rng](DWORD dwLimit) { return (DWORD)(rng() % dwLimit); };
    auto RandomText = [&](DWORD cchMax) {
        std::string cs(Random(cchMax + 1), ' ');
        for (char& ch : cs)
            ch = (char)(1 + Random(255));
        return cs;
    };

    int cAccepted = 0;
    int cRejected = 0;
    int cRoundTrips = 0;
    auto Feed = [&](const std::vector<BYTE>& ab, BOOL fAtEnd, CSerializable& message) {
        if (ab.size() > guard.GetCapacity())
            return;
        const BYTE* pb = guard.Place(ab, fAtEnd);
        ::SetLastError(0);
        if (message.Deserialize(pb, (DWORD)ab.size())) {
            cAccepted++;
        } else {
            cRejected++;
            EXPECT_EQ(::GetLastError(), (DWORD)ERROR_INVALID_DATA);
        }
    };

    for (int iRound = 0; iRound < 1500; iRound++) {
        CControlShapedMessage sent;
        sent.nCurrentVersion = (int)Random(5);
        sent.m_dwKind = rng();
        sent.m_csName = RandomText(20);
        sent.m_csText = RandomText(60);
        sent.m_nStatus = (LONG)rng();
        sent.m_csFilename = RandomText(15);
        sent.m_csVersion = RandomText(12);
        std::vector<BYTE> ab = Serialized(sent);
        ASSERT_EQ(ab.size(), 52 + sent.m_csName.size() + sent.m_csText.size() + sent.m_csFilename.size() +
                                 sent.m_csVersion.size());

        CControlShapedMessage received;
        const BYTE* pb = guard.Place(ab, iRound & 1);
        ASSERT_TRUE(received.Deserialize(pb, (DWORD)ab.size()));
        EXPECT_EQ(received.m_nPeerVersion, sent.nCurrentVersion);
        EXPECT_EQ(received.m_dwKind, sent.m_dwKind);
        EXPECT_EQ(received.m_csName, sent.m_csName);
        EXPECT_EQ(received.m_csText, sent.m_csText);
        EXPECT_EQ(received.m_nStatus, sent.m_nStatus);
        EXPECT_EQ(received.m_csFilename, sent.m_csFilename);
        EXPECT_EQ(received.m_csVersion, sent.m_csVersion);
        cRoundTrips++;

        // Every strict prefix of a sound buffer is rejected.
        for (size_t cb = 0; cb < ab.size(); cb += 1 + Random(3)) {
            CControlShapedMessage truncated;
            int cRejectedBefore = cRejected;
            Feed(std::vector<BYTE>(ab.begin(), ab.begin() + cb), TRUE, truncated);
            EXPECT_EQ(cRejected, cRejectedBefore + 1) << "prefix of " << cb << " bytes accepted";
        }
        // Damaged copies: a few random bytes changed, most often in the header.
        for (int iDamage = 0; iDamage < 4; iDamage++) {
            std::vector<BYTE> abDamaged = ab;
            int cChanges = 1 + (int)Random(3);
            for (int i = 0; i < cChanges; i++) {
                size_t iByte = Random(3) != 0 ? Random(36) : Random((DWORD)abDamaged.size());
                abDamaged[iByte] = (BYTE)rng();
            }
            CControlShapedMessage damaged;
            Feed(abDamaged, iDamage & 1, damaged);
            CAllKindsMessage damagedOther;
            Feed(abDamaged, !(iDamage & 1), damagedOther);
        }
        // Plain noise, and noise behind a plausible count.
        for (int iNoise = 0; iNoise < 4; iNoise++) {
            std::vector<BYTE> abNoise(Random(120));
            for (BYTE& b : abNoise)
                b = (BYTE)rng();
            if (iNoise >= 2 && abNoise.size() >= 4)
                abNoise[0] = (BYTE)Random(10), abNoise[1] = abNoise[2] = abNoise[3] = 0;
            CControlShapedMessage noisy;
            Feed(abNoise, iNoise & 1, noisy);
            CAllKindsMessage noisyOther;
            Feed(abNoise, !(iNoise & 1), noisyOther);
        }
    }
    EXPECT_EQ(cRoundTrips, 1500);
    EXPECT_GT(cRejected, 20000);
    std::cout << "round trips " << cRoundTrips << ", damaged or noise accepted " << cAccepted << ", rejected "
              << cRejected << std::endl;
}
