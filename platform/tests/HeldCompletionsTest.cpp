// Completions a device holds until it has let go of its lock.
#include "platform/posix/Kernel.h"

#include <gtest/gtest.h>

namespace {

using zv::win32::CompleteOverlapped;
using zv::win32::HeldCompletions;
using zv::win32::MarkPending;
using zv::win32::ReadOverlapped;

struct Record {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov{};

    Record() {
        ov.hEvent = event;
        MarkPending(&ov);
    }
    ~Record() { CloseHandle(event); }
    // Status and event must change together: an owner who sees either may reuse the record.
    bool Pending() {
        DWORD error = 0;
        DWORD count = 0;
        const bool done = ReadOverlapped(&ov, error, count);
        EXPECT_EQ(done, WaitForSingleObject(event, 0) == WAIT_OBJECT_0);
        return !done;
    }
};

TEST(HeldCompletions, ARecordReadsPendingUntilTheOutermostScopeSends) {
    Record first;
    Record second;
    {
        HeldCompletions outer;
        {
            HeldCompletions inner;
            CompleteOverlapped(&first.ov, ERROR_OPERATION_ABORTED, 3);
            inner.Send(); // an inner scope leaves them to the outer one
        }
        EXPECT_TRUE(first.Pending());
        outer.Send();
        EXPECT_FALSE(first.Pending());
        DWORD error = 0;
        DWORD count = 0;
        ReadOverlapped(&first.ov, error, count);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(count, 3u);

        CompleteOverlapped(&second.ov, 0, 1); // held again after a Send
        EXPECT_TRUE(second.Pending());
    }
    EXPECT_FALSE(second.Pending()); // the end of the scope sends what is left
    Record third;
    CompleteOverlapped(&third.ov, 0, 0); // no scope: at once
    EXPECT_FALSE(third.Pending());
}

} // namespace
