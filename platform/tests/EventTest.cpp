// Events and waits through the Win32 calls only.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(Event, ManualResetStaysSignalledUntilReset) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 10), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(e));
}

TEST(Event, AutoResetReleasesOneWaitAndClears) {
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Event, WaitForAnyReportsTheLowestSignalledIndex) {
    HANDLE h[3];
    for (auto& x : h)
        x = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 5), WAIT_TIMEOUT);
    SetEvent(h[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, INFINITE), WAIT_OBJECT_0 + 2);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, h, TRUE, 0), WAIT_TIMEOUT);
    SetEvent(h[0]);
    EXPECT_EQ(WaitForMultipleObjects(3, h, TRUE, 0), WAIT_OBJECT_0);
    for (auto& x : h)
        CloseHandle(x);
}

TEST(Event, AnotherThreadWakesAnInfiniteWait) {
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE work = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<int> wakes{0};
    std::thread t([&] {
        HANDLE both[2] = {stop, work};
        for (;;) {
            DWORD r = WaitForMultipleObjects(2, both, FALSE, INFINITE);
            if (r != WAIT_OBJECT_0 + 1)
                break;
            ++wakes;
        }
    });
    SetEvent(work);
    while (wakes.load() == 0)
        Sleep(1);
    SetEvent(stop);
    t.join();
    EXPECT_EQ(wakes.load(), 1);
    CloseHandle(stop);
    CloseHandle(work);
}

TEST(Event, InvalidArgumentsFail) {
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x7ffffff0));
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(bogus));
    EXPECT_EQ(WaitForMultipleObjects(0, nullptr, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(e);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
