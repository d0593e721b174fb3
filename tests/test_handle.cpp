// The handle owner: each handle closed exactly once, when the owner goes or
// takes another; given up by Release and by a move; the last error kept.
#include <utility>

#include "common/handle.h"
#include "test_app.h"

namespace {

HANDLE NewEvent()
{
    return ::CreateEventA(NULL, TRUE, FALSE, NULL);
}

// Whether h names an open handle of this process.
BOOL IsOpen(HANDLE h)
{
    DWORD dwFlags = 0;
    return ::GetHandleInformation(h, &dwFlags);
}

}  // namespace

TEST(HandleOwner, ClosesOnceWhenDestroyedOrResetAndEitherFailureValueMeansNone)
{
    HANDLE hRaw = NewEvent();
    ASSERT_NE(hRaw, (HANDLE)NULL);
    {
        CHandle h(hRaw);
        EXPECT_TRUE(h.IsValid());
        EXPECT_EQ(h.Get(), hRaw);
    }
    EXPECT_FALSE(IsOpen(hRaw)) << "the destructor left it open";

    HANDLE hFirst = NewEvent();
    HANDLE hSecond = NewEvent();
    CHandle* pOwner = new CHandle(hFirst);
    pOwner->Reset(hSecond);
    EXPECT_FALSE(IsOpen(hFirst)) << "Reset left the old handle open";
    EXPECT_TRUE(IsOpen(hSecond));
    // Opened after the first was closed, the probe usually takes its value;
    // an owner that closed the first again would close the probe.
    HANDLE hProbe = NewEvent();
    delete pOwner;
    EXPECT_FALSE(IsOpen(hSecond)) << "the destructor left the handle from Reset open";
    EXPECT_TRUE(IsOpen(hProbe)) << "a handle was closed twice (probe " << hProbe << ", first " << hFirst << ")";
    EXPECT_TRUE(::CloseHandle(hProbe));

    // Taking the handle it already holds keeps it open.
    HANDLE hSame = NewEvent();
    CHandle hKept(hSame);
    hKept.Reset(hSame);
    EXPECT_TRUE(IsOpen(hSame));
    EXPECT_EQ(hKept.Get(), hSame);
    hKept.Reset();
    EXPECT_FALSE(IsOpen(hSame));
    EXPECT_FALSE(hKept.IsValid());
    // INVALID_HANDLE_VALUE also stands for the current process: it must
    // not pass for a handle.
    CHandle hFile(::CreateFileA("C:\\no such folder\\no such file", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL));
    EXPECT_FALSE(hFile.IsValid());
    EXPECT_EQ(hFile.Get(), (HANDLE)NULL);
    CHandle hNone(NULL);
    EXPECT_FALSE(hNone.IsValid());
    EXPECT_EQ(hNone.Release(), (HANDLE)NULL);
}

// Release: through the move, which gives the source's handle up with it;
// Receive closes what the owner held.
TEST(HandleOwner, MoveAndReceiveLeaveOneOwnerOfEachHandle)
{
    HANDLE hRaw = NewEvent();
    HANDLE hOld = NewEvent();
    {
        CHandle hSource(hRaw);
        CHandle hMoved(std::move(hSource));
        EXPECT_FALSE(hSource.IsValid());
        EXPECT_EQ(hSource.Get(), (HANDLE)NULL);
        EXPECT_EQ(hMoved.Get(), hRaw);

        CHandle hTarget(hOld);
        hTarget = std::move(hMoved);
        EXPECT_FALSE(IsOpen(hOld)) << "move assignment left the target's old handle open";
        EXPECT_FALSE(hMoved.IsValid());
        EXPECT_EQ(hTarget.Get(), hRaw);

        CHandle& hAlias = hTarget;
        hTarget = std::move(hAlias);
        EXPECT_EQ(hTarget.Get(), hRaw) << "moving onto itself lost the handle";
        EXPECT_TRUE(IsOpen(hRaw));
    }
    EXPECT_FALSE(IsOpen(hRaw)) << "the last owner did not close it";

    CHandle hRead(NewEvent());
    const HANDLE hEvent = hRead.Get();
    CHandle hWrite;
    ASSERT_TRUE(::CreatePipe(hRead.Receive(), hWrite.Receive(), NULL, 0));
    EXPECT_NE(hRead.Get(), (HANDLE)NULL);
    EXPECT_NE(hWrite.Get(), (HANDLE)NULL);
    const HANDLE hReadRaw = hRead.Get();
    const HANDLE hWriteRaw = hWrite.Get();
    hRead.Reset();
    hWrite.Reset();
    EXPECT_FALSE(IsOpen(hReadRaw));
    EXPECT_FALSE(IsOpen(hWriteRaw));
    // The event it held before was closed by Receive (its value may since
    // have gone to one of the pipe's ends, both closed now).
    EXPECT_FALSE(IsOpen(hEvent));
}

TEST(HandleOwner, TheLastErrorSurvivesAClose)
{
    const DWORD dwMine = ERROR_FILE_NOT_FOUND;
    HANDLE hRaw = NewEvent();
    {
        CHandle h(hRaw);
        ::SetLastError(dwMine);
    }
    EXPECT_EQ(::GetLastError(), dwMine) << "the destructor's close changed the last error";
    EXPECT_FALSE(IsOpen(hRaw));

    // A close that fails sets an error of its own, which must not show:
    // a protected handle refuses to be closed.
    hRaw = NewEvent();
    ASSERT_TRUE(::SetHandleInformation(hRaw, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE));
    CHandle h(hRaw);
    ::SetLastError(dwMine);
    h.Reset();
    EXPECT_EQ(::GetLastError(), dwMine) << "a failed close changed the last error";
    ::SetLastError(0);
    EXPECT_FALSE(::CloseHandle(hRaw)) << "the protection did not hold, so this case tests nothing";
    EXPECT_NE(::GetLastError(), dwMine);
    ASSERT_TRUE(::SetHandleInformation(hRaw, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0));
    EXPECT_TRUE(::CloseHandle(hRaw));
}
