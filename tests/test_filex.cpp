// The file device, operations on it and the stream adapter.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/filestuf.h"
#include "common/filex.h"
#include "common/iostr.h"
#include "common/serial.h"
#include "record_failures.h"
#include "test_app.h"

// The checks header takes ASSERT_TRUE for the program's own check; here it is the test's.
#undef ASSERT_TRUE
#define ASSERT_TRUE(condition) GTEST_ASSERT_TRUE(condition)

namespace {

// A temporary file that is removed with the object.
class CTempFile
{
public:
    explicit CTempFile(const std::string& csContent)
    {
        static LONG s_nSerial = 0;
        char szTemp[MAX_PATH];
        ::GetTempPathA(MAX_PATH, szTemp);
        m_csPath = StrFormat("%sfilex-%lu-%ld.txt", szTemp, ::GetCurrentProcessId(), ::InterlockedIncrement(&s_nSerial));
        std::ofstream file(m_csPath.c_str(), std::ios::binary | std::ios::trunc);
        file << csContent;
    }
    ~CTempFile() { ::DeleteFileA(m_csPath.c_str()); }
    std::string Content() const
    {
        std::ifstream file(m_csPath.c_str(), std::ios::binary);
        std::stringstream ss;
        ss << file.rdbuf();
        return ss.str();
    }
    std::string m_csPath;
};

// Records the size of every write it is asked for.
class CCountingFileDevice : public CFileDevice
{
public:
    virtual BOOL DoWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb) override
    {
        m_adwWrites.push_back(cb);
        return CFileDevice::DoWrite(pOperation, pvBuffer, cb);
    }
    std::vector<DWORD> m_adwWrites;
};

void SetReading(CFileDevice& device, const CTempFile& file)
{
    device.SetFile(file.m_csPath, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ, 0);
}

void SetWriting(CFileDevice& device, const CTempFile& file)
{
    device.SetFile(file.m_csPath, CREATE_ALWAYS, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL);
}

}  // namespace

TEST(FileDevice, ReadUntilGivesLinesWithDelimiterAndLastOneWithEndOfFile)
{
    for (BOOL fOverlapped : {FALSE, TRUE}) {
        CTempFile file("one\ntwo\r\nthree");
        CFileDevice device;
        device.SetOverlapped(fOverlapped);
        SetReading(device, file);
        CIoInstance instance;
        ASSERT_TRUE(instance.Open(&device)) << LastErrorText();
        CIoOperation op(&instance);
        std::string csLine;
        EXPECT_TRUE(op.ReadUntil(csLine, '\n'));
        EXPECT_EQ(csLine, "one\n");
        EXPECT_EQ(op.GetActual(), 4u);
        EXPECT_TRUE(op.ReadUntil(csLine, '\n'));
        EXPECT_EQ(csLine, "two\r\n");
        EXPECT_FALSE(op.ReadUntil(csLine, '\n'));
        EXPECT_EQ(::GetLastError(), (DWORD)ERROR_HANDLE_EOF);
        EXPECT_EQ(csLine, "three");
        EXPECT_EQ(op.GetActual(), 5u);
        EXPECT_EQ(op.GetPosition(), 14u);
        instance.Close();
    }

    CTempFile file("a\nb\n");
    CFileDevice device;
    SetReading(device, file);
    CIoInstance instance;
    ASSERT_TRUE(instance.Open(&device));
    CIoOperation op(&instance);
    std::string csLine;
    EXPECT_TRUE(op.ReadUntil(csLine, '\n'));
    EXPECT_TRUE(op.ReadUntil(csLine, '\n'));
    EXPECT_EQ(csLine, "b\n");
    EXPECT_FALSE(op.ReadUntil(csLine, '\n'));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_EQ(csLine, "");
    instance.Close();

    // Every delimiter ends a line, 0xFF too.
    CTempFile fileFF("ab\xFF" "cd\xFF");
    SetReading(device, fileFF);
    ASSERT_TRUE(instance.Open(&device));
    CIoOperation opFF(&instance);
    EXPECT_TRUE(opFF.ReadUntil(csLine, '\xFF'));
    EXPECT_EQ(csLine, "ab\xFF");
    EXPECT_TRUE(opFF.ReadUntil(csLine, '\xFF'));
    EXPECT_EQ(csLine, "cd\xFF");
}

TEST(FileDevice, EmptyFileFailsAtOnceWithEndOfFile)
{
    CTempFile file("");
    CFileDevice device;
    SetReading(device, file);
    CIoInstance instance;
    ASSERT_TRUE(instance.Open(&device));
    CIoOperation op(&instance);
    std::string csLine = "old";
    EXPECT_FALSE(op.ReadUntil(csLine, '\n'));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_EQ(csLine, "");
    char ach[4];
    EXPECT_FALSE(op.ReadExact(ach, 4));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_FALSE(op.Read(ach, 4));
    EXPECT_EQ(op.GetError(), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_TRUE(op.IsComplete());
    // A failure that ends at once signals too, so a waiting loop sees it.
    EXPECT_TRUE(op.Wait(0));
}

TEST(FileDevice, ReadsGoOnWhereTheLastStoppedAndFinishedReadsSignal)
{
    CTempFile file("abcdefgh");
    CFileDevice device;
    SetReading(device, file);
    CIoInstance instance;
    ASSERT_TRUE(instance.Open(&device));
    CIoOperation op(&instance);
    char ach[4] = {0};
    EXPECT_TRUE(op.ReadExact(ach, 3));
    EXPECT_EQ(std::string(ach), "abc");
    EXPECT_TRUE(op.Read(ach, 3));
    EXPECT_EQ(std::string(ach), "def");
    EXPECT_EQ(op.GetPosition(), 6u);
    CWaitObjectArray apWaitObjects(1, &op);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apWaitObjects, 0), &op);
    // Each operation keeps its own position.
    CIoOperation other(&instance);
    EXPECT_TRUE(other.ReadExact(ach, 2));
    EXPECT_EQ(std::string(ach, 2), "ab");
    EXPECT_FALSE(op.ReadExact(ach, 3));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_EQ(op.GetActual(), 2u);
}

TEST(FileDevice, MissingFileLeavesTheInstanceClosed)
{
    CFileDevice device;
    device.SetFile("Z:\\no\\such\\dir\\file.inf", OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ, 0);
    CIoInstance instance;
    EXPECT_FALSE(instance.Open(&device));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(instance.IsOpen());
    EXPECT_EQ(device.m_cInstances, 0);
}

TEST(FileDevice, ChangesWhileOpenAndMessageTransfersAreReported)
{
    CTempFile file("x");
    CFileDevice device;
    SetReading(device, file);
    CIoInstance instance;
    ASSERT_TRUE(instance.Open(&device));
    CRecordFailures failures;
    device.SetOverlapped(TRUE);
    device.SetFile(file.m_csPath, OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ, 0);
    CIoOperation op(&instance);
    CDataBlock block;
    EXPECT_FALSE(op.ReadMessage(&block));
    EXPECT_FALSE(op.WriteMessage("x", 1));
    EXPECT_TRUE(op.IsComplete());
    EXPECT_EQ(failures.Count(), 4u) << failures.Texts();
    EXPECT_TRUE(failures.Has("ASSERT_COND(m_cInstances, ==, 0)"));
    EXPECT_NE(failures.Texts().find("This device does not support message-reads.\n"
                                    "This device does not support message-writes.\n"),
              std::string::npos)
        << failures.Texts();
    instance.Close();
    EXPECT_EQ(device.m_cInstances, 0);
}

TEST(DeviceStream, LongTextIsWrittenInPiecesOfAtMost256Bytes)
{
    CTempFile file("");
    CCountingFileDevice device;
    SetWriting(device, file);
    CIoInstance instance;
    ASSERT_TRUE(instance.Open(&device));
    std::string csText;
    for (int i = 0; i < 7; i++) {
        std::string csPiece = StrFormat("line %d ", i) + std::string(92, (char)('a' + i)) + "\n";
        csText += csPiece;
    }
    ASSERT_EQ(csText.size(), 700u);
    BOOL fOk;
    {
        CDeviceStream stream(&instance);
        for (size_t i = 0; i < csText.size(); i += 100)
            stream << csText.substr(i, 100);
        stream.flush();
        fOk = stream.good();
        stream.FlushAndClear();
    }
    instance.Close();
    EXPECT_TRUE(fOk);
    EXPECT_EQ(device.m_adwWrites, (std::vector<DWORD>{256, 256, 188}));
    EXPECT_TRUE(file.Content() == csText);
}

TEST(DeviceStream, ByteFFIsReadAsACharacterAndTheEndIsReported)
{
    std::string csContent = std::string("a\xFF" "b\n") + std::string(600, 'z') + "\xFF";
    CTempFile file(csContent);
    for (BOOL fOverlapped : {FALSE, TRUE}) {
        CFileDevice device;
        device.SetOverlapped(fOverlapped);
        SetReading(device, file);
        CIoInstance instance;
        ASSERT_TRUE(instance.Open(&device));
        CStderrCapture capture;
        std::string csRead;
        {
            CDeviceStream stream(&instance);
            int nChar;
            while ((nChar = stream.get()) != EOF)
                csRead += (char)nChar;
            EXPECT_TRUE(stream.eof());
        }
        instance.Close();
        EXPECT_TRUE(csRead == csContent) << csRead.size();
        EXPECT_EQ(capture.Text(), "Error 38 occurred filling the get area to the device.\n");
    }
}

TEST(DeviceStream, WriteFailureSetsTheStreamStateAndFlushAndClearResetsIt)
{
    CTempFile file("read only");
    CFileDevice device;
    SetReading(device, file);
    CIoInstance instance;
    ASSERT_TRUE(instance.Open(&device));
    CStderrCapture capture;
    {
        CDeviceStream stream(&instance);
        stream << "cannot be written";
        stream.flush();
        EXPECT_FALSE(stream.good());
        stream.FlushAndClear();
        EXPECT_TRUE(stream.good());
    }
    EXPECT_NE(capture.Text().find("Error 5 occurred flushing the put area to the device.\n"), std::string::npos)
        << capture.Text();
    EXPECT_EQ(file.Content(), "read only");
}

TEST(DeviceStream, SetbufIsRefusedAndLinesAreExtracted)
{
    CTempFile file("first line\nsecond 42\n");
    CFileDevice device;
    SetReading(device, file);
    CIoInstance instance;
    ASSERT_TRUE(instance.Open(&device));
    CRecordFailures failures;
    CDeviceStream stream(&instance);
    char achOther[16];
    stream.rdbuf()->pubsetbuf(achOther, sizeof(achOther));
    EXPECT_EQ(failures.Texts(), "Surprise! Call to setbuf().\n");
    std::string csLine;
    std::getline(stream, csLine);
    EXPECT_EQ(csLine, "first line");
    std::string csWord;
    int nValue = 0;
    stream >> csWord >> nValue;
    EXPECT_EQ(csWord, "second");
    EXPECT_EQ(nValue, 42);
}
