// The file device, operations on it and the stream adapter.
#include <string>
#include <vector>

#include "common/filestuf.h"
#include "common/filex.h"
#include "common/iostr.h"
#include "record_failures.h"
#include "test_util.h"
#include "test_app.h"

namespace {

// Records the size of every write it is asked for.
struct CCountingFileDevice : CFileDevice
{
    virtual BOOL DoWrite(CIoOperation* pOperation, const void* pvBuffer, DWORD cb) override
    {
        m_adwWrites.push_back(cb);
        return CFileDevice::DoWrite(pOperation, pvBuffer, cb);
    }
    std::vector<DWORD> m_adwWrites;
};

// A temporary file with that content, and an instance open on it.
struct CTestFile
{
    explicit CTestFile(const std::string& csContent, BOOL fOverlapped = FALSE, BOOL fWrite = FALSE)
    {
        WriteTextFile(m_dir.File("f.txt"), csContent);
        m_device.SetOverlapped(fOverlapped);
        if (fWrite)
            m_device.SetFile(m_dir.File("f.txt"), CREATE_ALWAYS, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL);
        else
            m_device.SetFile(m_dir.File("f.txt"), OPEN_EXISTING, GENERIC_READ, FILE_SHARE_READ, 0);
        m_fOpen = m_instance.Open(&m_device);
    }
    ~CTestFile() { m_instance.Close(); }
    CTempDir m_dir;
    CCountingFileDevice m_device;
    CIoInstance m_instance;
    BOOL m_fOpen;
};

}  // namespace

TEST(FileDevice, ReadUntilGivesLinesWithTheDelimiterAndTheLastOneWithEndOfFile)
{
    const struct
    {
        std::string m_csContent;
        char m_chDelimiter;
        std::vector<std::string> m_acsLines;   // the last one comes with ERROR_HANDLE_EOF
    } aCases[] = {
        {"one\ntwo\r\nthree", '\n', {"one\n", "two\r\n", "three"}},
        {"a\nb\n", '\n', {"a\n", "b\n", ""}},
        {"", '\n', {""}},
        {"ab\xFF" "cd\xFF", '\xFF', {"ab\xFF", "cd\xFF", ""}},
    };
    for (auto& c : aCases) {
        for (BOOL fOverlapped : {FALSE, TRUE}) {
            CTestFile file(c.m_csContent, fOverlapped);
            ASSERT_TRUE(file.m_fOpen) << LastErrorText();
            CIoOperation op(&file.m_instance);
            std::string csLine = "old";
            for (size_t i = 0; i < c.m_acsLines.size(); i++) {
                const BOOL fLast = i + 1 == c.m_acsLines.size();
                EXPECT_EQ(op.ReadUntil(csLine, c.m_chDelimiter), !fLast) << c.m_csContent;
                if (fLast) {
                    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_HANDLE_EOF);
                }
                EXPECT_EQ(csLine, c.m_acsLines[i]);
                EXPECT_EQ(op.GetActual(), c.m_acsLines[i].size());
            }
            EXPECT_EQ(op.GetPosition(), c.m_csContent.size());
        }
    }
}

TEST(FileDevice, ReadsGoOnWhereTheLastStoppedEachOperationWithItsOwnPositionAndEndOfFileSignals)
{
    CTestFile file("abcdefgh");
    CIoOperation op(&file.m_instance), other(&file.m_instance);
    char ach[4] = {0};
    EXPECT_TRUE(op.ReadExact(ach, 3));
    EXPECT_EQ(std::string(ach), "abc");
    EXPECT_TRUE(op.Read(ach, 3));
    EXPECT_EQ(std::string(ach), "def");
    CWaitObjectArray apwo(1, &op);
    EXPECT_EQ(WaitForWaitObjects(FALSE, apwo, 0), &op);
    EXPECT_TRUE(other.ReadExact(ach, 2));
    EXPECT_EQ(std::string(ach, 2), "ab");
    EXPECT_FALSE(op.ReadExact(ach, 3));
    EXPECT_EQ(::GetLastError(), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_EQ(op.GetActual(), 2u);
    EXPECT_FALSE(op.Read(ach, 4));
    EXPECT_EQ(op.GetError(), (DWORD)ERROR_HANDLE_EOF);
    // A failure that ends at once signals too, so a waiting loop sees it.
    EXPECT_TRUE(op.IsComplete());
    EXPECT_TRUE(op.Wait(0));
}

TEST(DeviceStream, LongTextIsWrittenInPiecesOfAtMost256Bytes)
{
    std::string csText;
    for (int i = 0; i < 7; i++)
        csText += StrFormat("line %d ", i) + std::string(92, (char)('a' + i)) + "\n";
    ASSERT_EQ(csText.size(), 700u);
    CTestFile file("", FALSE, TRUE);
    {
        CDeviceStream stream(&file.m_instance);
        for (size_t i = 0; i < csText.size(); i += 100)
            stream << csText.substr(i, 100);
        stream.flush();
        EXPECT_TRUE(stream.good());
    }
    file.m_instance.Close();
    EXPECT_EQ(file.m_device.m_adwWrites, (std::vector<DWORD>{256, 256, 188}));
    EXPECT_TRUE(file.m_dir.Text("f.txt") == csText);
}
