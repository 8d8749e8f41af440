// What is particular to a pseudo-terminal under the driver: no modem lines, and the other side
// closing is a hang-up.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        char name[128];
        ASSERT_EQ(::ptsname_r(master_, name, sizeof name), 0);
        std::string path = std::string("\\\\.\\") + name;
        port_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
        if (master_ >= 0)
            ::close(master_);
    }
    int master_ = -1;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(PtyTest, ModemLineCallsFailInsteadOfPretending) {
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    for (DWORD f : {SETRTS, CLRRTS, SETDTR, CLRDTR}) {
        EXPECT_FALSE(EscapeCommFunction(port_, f)) << f;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << f;
    }
    // What a pseudo-terminal can do still works.
    EXPECT_TRUE(EscapeCommFunction(port_, SETBREAK));
    EXPECT_TRUE(EscapeCommFunction(port_, CLRBREAK));
    EXPECT_TRUE(EscapeCommFunction(port_, SETXOFF));
    EXPECT_TRUE(EscapeCommFunction(port_, SETXON));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fDtrControl = DTR_CONTROL_DISABLE; // the DCB is accepted; there is no line to drive
    EXPECT_TRUE(SetCommState(port_, &dcb));
}

TEST_F(PtyTest, XoffByHandShowsAsXoffHold) {
    const struct {
        DWORD function;
        bool held;
    } steps[] = {{SETXOFF, true}, {SETXON, false}, {SETXOFF, true}, {SETXON, false}};
    for (const auto& step : steps) {
        ASSERT_TRUE(EscapeCommFunction(port_, step.function));
        COMSTAT st{};
        DWORD errors = 0;
        ASSERT_TRUE(ClearCommError(port_, &errors, &st));
        EXPECT_EQ(st.fXoffHold != 0, step.held) << step.function;
    }
}

TEST_F(PtyTest, TheOtherSideClosingFailsPendingAndLaterCalls) {
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    char buf[8];
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port_, buf, sizeof buf, &n, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(::write(master_, "ab", 2), 2);
    ::close(master_);
    master_ = -1;
    EXPECT_FALSE(GetOverlappedResult(port_, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    // Whether "ab" was delivered depends on whether the driver took it before the kernel
    // flushed the pty at the hang-up; either way the count is consistent with the buffer.
    EXPECT_LE(n, 2u);
    EXPECT_FALSE(WriteFile(port_, "x", 1, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    CloseHandle(ov.hEvent);
}

TEST_F(PtyTest, WriteCompletesAfterThePeerTookTheBytes) {
    // The pty's buffer is bounded: a large write stays pending until the master reads.
    std::string block(256 * 1024, 'w');
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(port_, block.data(), static_cast<DWORD>(block.size()), &n, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 20), WAIT_TIMEOUT);
    std::size_t got = 0;
    char buf[65536];
    while (got < block.size()) {
        ssize_t r = ::read(master_, buf, sizeof buf);
        ASSERT_GT(r, 0);
        got += static_cast<std::size_t>(r);
    }
    ASSERT_TRUE(GetOverlappedResult(port_, &ov, &n, TRUE));
    EXPECT_EQ(n, block.size());
    CloseHandle(ov.hEvent);
}

// A thread blocked on the event of a pending WaitCommEvent watches the device itself; whatever
// ends the wait (input, a new mask, the far end going away, the port closing) must reach it,
// and a wait with a time-out must leave the operation pending.
TEST_F(PtyTest, AThreadWaitingForTheEventSeesEveryWayTheWaitEnds) {
    enum class End { Input, NewMask, Hangup, Close, TimeoutThenInput };
    struct Case {
        const char* name;
        End end;
        bool completes; // GetOverlappedResult succeeds
        DWORD events;   // then the mask the wait reports
        DWORD error;    // else the error it ends with
    };
    const Case cases[] = {
        {"input", End::Input, true, EV_RXCHAR, 0},
        {"time-out, then input", End::TimeoutThenInput, true, EV_RXCHAR, 0},
        {"new mask", End::NewMask, true, 0, 0},
        {"far end hangs up", End::Hangup, false, 0, ERROR_DEVICE_NOT_CONNECTED},
        {"port closed", End::Close, false, 0, ERROR_OPERATION_ABORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD mask = 0xFFFF;
        ASSERT_FALSE(WaitCommEvent(port_, &mask, &ov));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        if (c.end == End::TimeoutThenInput) {
            EXPECT_EQ(WaitForSingleObject(ov.hEvent, 30), WAIT_TIMEOUT);
            DWORD n = 0;
            EXPECT_FALSE(GetOverlappedResult(port_, &ov, &n, FALSE));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
        }
        DWORD waited = WAIT_FAILED;
        std::thread waiter([&] { waited = WaitForSingleObject(ov.hEvent, 10000); });
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let it block first
        switch (c.end) {
        case End::Input:
        case End::TimeoutThenInput:
            ASSERT_EQ(::write(master_, "ab", 2), 2);
            break;
        case End::NewMask:
            EXPECT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_ERR));
            break;
        case End::Hangup:
            ::close(master_);
            master_ = -1;
            break;
        case End::Close:
            EXPECT_TRUE(CloseHandle(port_));
            port_ = INVALID_HANDLE_VALUE;
            break;
        }
        waiter.join();
        EXPECT_EQ(waited, WAIT_OBJECT_0);
        // The record's status, read as GetOverlappedResult would (the handle may be closed).
        const auto status = static_cast<DWORD>(ov.Internal);
        if (c.completes) {
            EXPECT_EQ(status, 0u);
            EXPECT_EQ(mask, c.events);
        } else {
            EXPECT_EQ(status, c.error);
        }
        if (c.end == End::Input || c.end == End::TimeoutThenInput) {
            COMMTIMEOUTS t{0, 0, 5000, 0, 0};
            ASSERT_TRUE(SetCommTimeouts(port_, &t));
            char buf[2] = {};
            DWORD n = 0;
            OVERLAPPED rov{};
            rov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (!ReadFile(port_, buf, 2, &n, &rov)) {
                EXPECT_TRUE(GetOverlappedResult(port_, &rov, &n, TRUE));
            }
            EXPECT_EQ(std::string(buf, n), "ab");
            CloseHandle(rov.hEvent);
        }
        if (port_ != INVALID_HANDLE_VALUE)
            SetCommMask(port_, 0);
        CloseHandle(ov.hEvent);
    }
}

// Status calls and reads that return at once take from the device what has come, however often
// they are made (the driver spares itself asking a device it has just read empty, but only
// briefly), whether or not its own thread listens at the moment.
TEST_F(PtyTest, CallsMadeWithoutPauseStillSeeWhatArrives) {
    const bool watchedFirst[] = {false, true};
    for (const bool watched : watchedFirst) {
        SCOPED_TRACE(watched ? "after a watch" : "never watched");
        TearDown();
        SetUp();
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
        if (watched) {
            ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
            OVERLAPPED ov{};
            ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            DWORD mask = 0;
            ASSERT_FALSE(WaitCommEvent(port_, &mask, &ov));
            EXPECT_EQ(WaitForSingleObject(ov.hEvent, 10), WAIT_TIMEOUT);
            ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR)); // ends the wait; nobody waits again
            CloseHandle(ov.hEvent);
        }
        ASSERT_EQ(::write(master_, "xyz", 3), 3);
        COMSTAT stat{};
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        do
            ASSERT_TRUE(ClearCommError(port_, nullptr, &stat));
        while (stat.cbInQue < 3 && std::chrono::steady_clock::now() < limit);
        EXPECT_EQ(stat.cbInQue, 3u);
        ASSERT_EQ(::write(master_, "w", 1), 1);
        std::string got;
        while (got.size() < 4 && std::chrono::steady_clock::now() < limit) {
            char buf[4];
            DWORD n = 0;
            ASSERT_TRUE(ReadFile(port_, buf, sizeof buf, &n, nullptr));
            got.append(buf, n);
        }
        EXPECT_EQ(got, "xyzw");
    }
}

} // namespace

// A wait that begins just as the other side goes away must still complete: the driver may
// notice the hang-up while it takes the input at the start of that very wait.
TEST(PtyHangupTest, AWaitStartedAtTheHangupNeverStaysPending) {
    for (int round = 0; round < 40; ++round) {
        int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        char name[128];
        ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
        const std::string path = std::string("\\\\.\\") + name;
        HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_ERR));
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD mask = 0;

        ::close(master);
        const BOOL started = WaitCommEvent(port, &mask, &ov);
        if (!started && GetLastError() == ERROR_IO_PENDING) {
            // Pending on a device that is gone: it must complete, with an error.
            ASSERT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0) << "round " << round;
            DWORD transferred = 0;
            EXPECT_FALSE(GetOverlappedResult(port, &ov, &transferred, FALSE));
        }
        // Whatever the wait did, ending it afterwards must not leave anything pending.
        SetCommMask(port, 0);
        CloseHandle(ov.hEvent);
        CloseHandle(port);
    }
}
