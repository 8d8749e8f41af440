// Conformance of the comm driver, through the Win32 calls only: each test runs against every
// peer the platform offers (a virtual line and a pseudo-terminal pair on POSIX).
//
// No test asserts a duration: time-outs are checked by their results (counts, pending states),
// with generous margins where a peer must act while a call is pending.
#include "platform/tests/Peer.h"
#include "platform/tests/WineGaps.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace zv::test {
namespace {

constexpr DWORD kLong = 5000; // ms: a bound that is never reached in a passing run

class Overlapped {
public:
    Overlapped() { ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(ov_.hEvent); }
    OVERLAPPED* get() { return &ov_; }
    HANDLE event() const { return ov_.hEvent; }

private:
    OVERLAPPED ov_{};
};

class CommConformance : public ::testing::TestWithParam<PeerKind> {
protected:
    void SetUp() override {
        peer_ = GetParam().make();
        if (!peer_)
            GTEST_SKIP() << "no pair of COM ports to test: set ZELVATOR_TEST_PORT_A and "
                            "ZELVATOR_TEST_PORT_B to two ports joined by a null-modem cable";
        port_ = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "open failed: " << GetLastError();
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.BaudRate = 115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
    }

    HANDLE Open(DWORD flags) {
        std::string path = "\\\\.\\" + peer_->PortName();
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           flags, nullptr);
    }

    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, kLong};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
    }

    // Waits until the driver's input queue holds `n` bytes.
    void WaitQueued(DWORD n) {
        for (int i = 0; i < 5000; ++i) {
            COMSTAT st{};
            DWORD errors = 0;
            ASSERT_TRUE(ClearCommError(port_, &errors, &st));
            if (st.cbInQue >= n)
                return;
            Sleep(1);
        }
        FAIL() << "bytes did not arrive";
    }

    // Starts an overlapped read; returns true when it is still pending.
    bool StartRead(char* buf, DWORD n, Overlapped& ov) {
        DWORD got = 0;
        if (ReadFile(port_, buf, n, &got, ov.get()))
            return false;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        return true;
    }

    std::string ReadOverlapped(DWORD n) {
        std::string buf(n, '\0');
        Overlapped ov;
        DWORD got = 0;
        if (!ReadFile(port_, buf.data(), n, &got, ov.get())) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            EXPECT_TRUE(GetOverlappedResult(port_, ov.get(), &got, TRUE)) << GetLastError();
        }
        buf.resize(got);
        return buf;
    }

    // Completion asked for without waiting, the way a program that never waits sees it: true
    // once the operation is over (its count in `n`), false if it is not within kLong.
    bool PolledToTheEnd(OVERLAPPED& ov, DWORD& n) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLong);
        while (!GetOverlappedResult(port_, &ov, &n, FALSE)) {
            if (GetLastError() != ERROR_IO_INCOMPLETE || std::chrono::steady_clock::now() > limit)
                return false;
            Sleep(2);
        }
        return true;
    }

    std::unique_ptr<Peer> peer_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_P(CommConformance, StateRoundTripsAndRefusesWhatWin32Refuses) {
    ZV_SKIP_UNDER_WINE(
        "SetCommState over a pseudo-terminal keeps only standard rates, reads back other data "
        "bits, parity and stop bits than it was given, and accepts settings Windows refuses");
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.fBinary, 1u);

    struct Case {
        DWORD baud;
        BYTE size;
        BYTE parity;
        BYTE stop;
        bool ok;
    } cases[] = {
        {12345, 8, NOPARITY, ONESTOPBIT, true}, // any rate
        {9600, 7, EVENPARITY, TWOSTOPBITS, true},
        {9600, 5, ODDPARITY, ONE5STOPBITS, true},
        {9600, 8, MARKPARITY, ONESTOPBIT, true},
        {9600, 6, SPACEPARITY, ONESTOPBIT, true},
        {9600, 4, NOPARITY, ONESTOPBIT, false},
        {9600, 9, NOPARITY, ONESTOPBIT, false},
        {9600, 5, NOPARITY, TWOSTOPBITS, false},
        {9600, 6, NOPARITY, ONE5STOPBITS, false},
        {9600, 8, NOPARITY, ONE5STOPBITS, false},
        {9600, 8, 5, ONESTOPBIT, false},
        {9600, 8, NOPARITY, 3, false},
        {0, 8, NOPARITY, ONESTOPBIT, false},
    };
    for (const Case& c : cases) {
        DCB want = dcb;
        want.BaudRate = c.baud;
        want.ByteSize = c.size;
        want.Parity = c.parity;
        want.StopBits = c.stop;
        SetLastError(0);
        BOOL r = SetCommState(port_, &want);
        EXPECT_EQ(r != FALSE, c.ok) << c.baud << " " << int(c.size) << int(c.parity) << int(c.stop);
        DCB got{};
        ASSERT_TRUE(GetCommState(port_, &got));
        if (c.ok) {
            EXPECT_EQ(got.BaudRate, c.baud);
            EXPECT_EQ(got.ByteSize, c.size);
            EXPECT_EQ(got.Parity, c.parity);
            EXPECT_EQ(got.StopBits, c.stop);
        } else {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        }
    }
    DCB xon = dcb;
    xon.fOutX = 1;
    xon.XonChar = xon.XoffChar = 0x11;
    EXPECT_FALSE(SetCommState(port_, &xon));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_P(CommConformance, TimeoutsRoundTrip) {
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 100, 1000};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    COMMTIMEOUTS back{};
    ASSERT_TRUE(GetCommTimeouts(port_, &back));
    EXPECT_EQ(back.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(back.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(back.WriteTotalTimeoutConstant, 1000u);
}

TEST_P(CommConformance, BytesTravelBothWays) {
    SetTimeouts(0, 0, kLong);
    peer_->Send("hello");
    EXPECT_EQ(ReadOverlapped(5), "hello");

    std::string block(3000, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 7);
    Overlapped ov;
    DWORD sent = 0;
    BOOL done = WriteFile(port_, block.data(), static_cast<DWORD>(block.size()), &sent, ov.get());
    std::string got = peer_->Receive(block.size(), std::chrono::milliseconds(kLong));
    if (!done) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
    }
    EXPECT_EQ(sent, block.size());
    EXPECT_EQ(got, block);
}

TEST_P(CommConformance, ReturnAtOnceGivesWhatIsQueued) {
    ZV_SKIP_UNDER_WINE("an overlapped read with ReadIntervalTimeout MAXDWORD and no total "
                       "time-outs waits for a byte instead of returning at once");
    SetTimeouts(MAXDWORD, 0, 0);
    EXPECT_EQ(ReadOverlapped(10), "");
    peer_->Send("abc");
    WaitQueued(3);
    EXPECT_EQ(ReadOverlapped(10), "abc");
}

TEST_P(CommConformance, TotalTimeoutIsSuccessWithAShortCount) {
    ZV_SKIP_UNDER_WINE("a read ended by its total time-out fails with ERROR_TIMEOUT instead of "
                       "succeeding with the bytes that came");
    // constant only
    SetTimeouts(0, 0, 50);
    peer_->Send("xyz");
    WaitQueued(3);
    EXPECT_EQ(ReadOverlapped(10), "xyz");
    EXPECT_EQ(ReadOverlapped(10), "");
    // multiplier only: 10 ms a byte for 5 bytes
    SetTimeouts(0, 10, 0);
    EXPECT_EQ(ReadOverlapped(5), "");
}

TEST_P(CommConformance, IntervalTimerStartsAtTheFirstByte) {
    SetTimeouts(20, 0, 0);
    char buf[10];
    Overlapped ov;
    ASSERT_TRUE(StartRead(buf, sizeof buf, ov));
    // No byte yet: the interval timer has not started, the read stays pending.
    Sleep(100);
    DWORD got = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, ov.get(), &got, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    peer_->Send("ab");
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &got, TRUE));
    EXPECT_EQ(std::string(buf, got), "ab");
}

TEST_P(CommConformance, FirstByteReturnsForMaxdwordMaxdwordConstant) {
    ZV_SKIP_UNDER_WINE("a read with ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD "
                       "does not return at the first byte");
    SetTimeouts(MAXDWORD, MAXDWORD, kLong);
    char buf[10];
    Overlapped ov;
    ASSERT_TRUE(StartRead(buf, sizeof buf, ov));
    peer_->Send("q");
    DWORD got = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &got, TRUE));
    EXPECT_GE(got, 1u);
    EXPECT_EQ(buf[0], 'q');
    // With nothing arriving it ends with 0 bytes at the constant.
    SetTimeouts(MAXDWORD, MAXDWORD, 30);
    EXPECT_EQ(ReadOverlapped(10), "");
}

// A pending read gets the bytes that come while other threads use the port: one polling
// ClearCommError (which takes input from the device too) or one waiting for a WaitCommEvent
// (which may watch the device itself). Its time-outs run as they would alone: the interval
// timer starts at the byte, whoever took it from the device.
TEST_P(CommConformance, APendingReadGetsItsBytesWhateverElseUsesThePort) {
    enum class Beside { Nobody, StatusPoller, EventWaiter };
    struct Case {
        const char* name;
        DWORD interval; // 0: no time-outs, the read wants one byte; else it wants ten
        Beside beside;
    };
    const Case cases[] = {
        {"no time-outs, alone", 0, Beside::Nobody},
        {"no time-outs, beside a ClearCommError poller", 0, Beside::StatusPoller},
        {"no time-outs, beside a WaitCommEvent waiter", 0, Beside::EventWaiter},
        {"interval time-out, alone", 20, Beside::Nobody},
        {"interval time-out, beside a ClearCommError poller", 20, Beside::StatusPoller},
        {"interval time-out, beside a WaitCommEvent waiter", 20, Beside::EventWaiter},
    };
    constexpr int kRounds = 40; // the races are narrow: one round seldom shows them
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetTimeouts(c.interval, 0, 0);
        ASSERT_TRUE(SetCommMask(port_, c.beside == Beside::EventWaiter ? EV_RXCHAR : 0));
        std::atomic<bool> stop{false};
        std::thread beside;
        if (c.beside == Beside::StatusPoller) {
            beside = std::thread([&] {
                while (!stop) {
                    COMSTAT st{};
                    DWORD errors = 0;
                    ClearCommError(port_, &errors, &st);
                }
            });
        } else if (c.beside == Beside::EventWaiter) {
            beside = std::thread([&] {
                Overlapped wait;
                while (!stop) {
                    DWORD mask = 0;
                    if (WaitCommEvent(port_, &mask, wait.get()))
                        continue;
                    if (GetLastError() != ERROR_IO_PENDING) {
                        Sleep(1);
                        continue;
                    }
                    WaitForSingleObject(wait.event(), INFINITE); // mask 0 ends it at the end
                }
            });
        }
        bool missed = false;
        for (int round = 0; round < kRounds && !missed; ++round) {
            char buf[10];
            const DWORD want = c.interval == 0 ? 1 : sizeof buf;
            auto ov = std::make_unique<Overlapped>();
            if (!StartRead(buf, want, *ov))
                continue; // a byte of an earlier round was still queued
            Sleep(1);     // the other thread is back in its poll or its wait
            peer_->Send("x");
            DWORD got = 0;
            if (WaitForSingleObject(ov->event(), kLong) != WAIT_OBJECT_0) {
                ADD_FAILURE() << "round " << round << ": the read missed its byte";
                missed = true;
                PurgeComm(port_, PURGE_RXABORT);
                if (WaitForSingleObject(ov->event(), kLong) != WAIT_OBJECT_0)
                    (void)ov.release(); // still pending: the driver may yet write into it
                continue;
            }
            EXPECT_TRUE(GetOverlappedResult(port_, ov->get(), &got, FALSE));
            EXPECT_EQ(std::string(buf, got), "x") << "round " << round;
        }
        stop = true;
        SetCommMask(port_, 0); // ends the waiter's pending wait
        if (beside.joinable())
            beside.join();
    }
}

TEST_P(CommConformance, NoTimeoutsWaitForTheWholeCount) {
    SetTimeouts(0, 0, 0);
    char buf[5];
    Overlapped ov;
    ASSERT_TRUE(StartRead(buf, sizeof buf, ov));
    peer_->Send("12");
    Sleep(50);
    DWORD got = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, ov.get(), &got, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(WaitForSingleObject(ov.event(), 0), WAIT_TIMEOUT);
    peer_->Send("345");
    EXPECT_EQ(WaitForSingleObject(ov.event(), kLong), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &got, FALSE));
    EXPECT_EQ(std::string(buf, got), "12345");
}

TEST_P(CommConformance, PurgeAbortsAndClears) {
    ZV_SKIP_UNDER_WINE("PurgeComm(PURGE_RXABORT) does not end a pending read");
    SetTimeouts(0, 0, 0);
    char buf[4];
    Overlapped ov;
    ASSERT_TRUE(StartRead(buf, sizeof buf, ov));
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT));
    DWORD got = 99;
    EXPECT_FALSE(GetOverlappedResult(port_, ov.get(), &got, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(got, 0u);

    peer_->Send("junk");
    WaitQueued(4);
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.cbInQue, 0u);
    EXPECT_TRUE(PurgeComm(port_, 0)); // no flags is accepted
    EXPECT_FALSE(PurgeComm(port_, 0x10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_P(CommConformance, WaitCommEventCompletesRemembersAndIsCancelledByTheMask) {
    ZV_SKIP_UNDER_WINE(
        "SetCommMask fails a pending WaitCommEvent instead of completing it with no events");
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_TXEMPTY));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port_, &mask));
    EXPECT_EQ(mask, EV_RXCHAR | EV_TXEMPTY);

    // Pending, then completed by a byte.
    Overlapped ov;
    DWORD events = 0xdead;
    ASSERT_FALSE(WaitCommEvent(port_, &events, ov.get()));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    // Only one wait at a time.
    Overlapped second;
    DWORD other = 0;
    EXPECT_FALSE(WaitCommEvent(port_, &other, second.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    peer_->Send("x");
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &n, TRUE));
    EXPECT_EQ(events & EV_RXCHAR, EV_RXCHAR);

    // An event while no wait is pending completes the next wait at once.
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
    SetTimeouts(MAXDWORD, 0, 0);
    DWORD sent = 0;
    Overlapped wov;
    if (!WriteFile(port_, "ping", 4, &sent, wov.get())) {
        ASSERT_TRUE(GetOverlappedResult(port_, wov.get(), &sent, TRUE));
    }
    EXPECT_EQ(peer_->Receive(4, std::chrono::milliseconds(kLong)), "ping");
    events = 0;
    if (!WaitCommEvent(port_, &events, ov.get())) {
        ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &n, TRUE));
    }
    EXPECT_EQ(events & EV_TXEMPTY, EV_TXEMPTY);

    // SetCommMask completes a pending wait with no events.
    events = 0xdead;
    ASSERT_FALSE(WaitCommEvent(port_, &events, ov.get()));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &n, TRUE));
    EXPECT_EQ(events, 0u);

    ASSERT_TRUE(SetCommMask(port_, 0));
    EXPECT_FALSE(WaitCommEvent(port_, &events, ov.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// While threads watch the device for their waits, the driver's own thread stops listening for
// input. What nobody watches must still be served once they have gone: a read, or a wait that
// the program only polls, after a watch that ended with input or after one that sat through a
// quiet spell and gave up.
TEST_P(CommConformance, InputNobodyWatchesIsStillTakenAfterAWatch) {
    ZV_SKIP_UNDER_WINE("a pending WaitCommEvent ends by itself with ERROR_OPERATION_ABORTED, "
                       "before any event");
    enum class Then { Read, PollWait };
    struct Case {
        const char* name;
        DWORD watchMs; // how long a thread watches the first wait; input ends it when INFINITE
        Then then;
    };
    const Case cases[] = {
        {"watched to the input, then a read", INFINITE, Then::Read},
        {"watched to the input, then a polled wait", INFINITE, Then::PollWait},
        {"watched through a quiet spell, then a read", 150, Then::Read},
        {"watched through a quiet spell, then a polled wait", 150, Then::PollWait},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(CloseHandle(port_));
        port_ = Open(FILE_FLAG_OVERLAPPED); // a driver that has never been watched
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
        COMMTIMEOUTS t{0, 0, 5000, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
        ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD mask = 0;
        ASSERT_FALSE(WaitCommEvent(port_, &mask, &ov));
        if (c.watchMs == INFINITE) {
            std::thread waiter(
                [&] { EXPECT_EQ(WaitForSingleObject(ov.hEvent, 10000), WAIT_OBJECT_0); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            peer_->Send("a");
            waiter.join();
        } else {
            // The watcher gives up; from now on nobody waits for the event.
            EXPECT_EQ(WaitForSingleObject(ov.hEvent, c.watchMs), WAIT_TIMEOUT);
            peer_->Send("a");
            DWORD polled = 0;
            ASSERT_TRUE(PolledToTheEnd(ov, polled)) << "the wait left pending never completed";
        }
        DWORD n = 0;
        ASSERT_TRUE(GetOverlappedResult(port_, &ov, &n, FALSE)) << GetLastError();
        EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));

        OVERLAPPED next{};
        next.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        char buf[2] = {};
        if (c.then == Then::Read) {
            // Wants two bytes, one is queued: the rest must come from the device.
            EXPECT_FALSE(ReadFile(port_, buf, 2, &n, &next));
            peer_->Send("b");
            ASSERT_TRUE(GetOverlappedResult(port_, &next, &n, TRUE));
            EXPECT_EQ(std::string(buf, n), "ab");
        } else {
            ASSERT_TRUE(ReadFile(port_, buf, 1, &n, &next)); // the 'a' of the first wait
            ASSERT_FALSE(WaitCommEvent(port_, &mask, &next));
            peer_->Send("b");
            ASSERT_TRUE(PolledToTheEnd(next, n)) << "the polled wait never completed";
            EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
        }
        SetCommMask(port_, 0);
        CloseHandle(next.hEvent);
        CloseHandle(ov.hEvent);
    }
}

// Once the driver's own thread has seen threads watch for their waits, it leaves the input to
// them: a byte that ends a wait after a long silence, on a line watched wait after wait, must
// wake the watching thread by itself.
TEST_P(CommConformance, WatchedWaitsSeeInputAfterAQuietSpell) {
    ZV_SKIP_UNDER_WINE("a pending WaitCommEvent ends by itself with ERROR_OPERATION_ABORTED, "
                       "before any event");
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    SetTimeouts(MAXDWORD, 0, 0);
    for (const int quietMs : {20, 200, 200}) {
        SCOPED_TRACE(quietMs);
        Overlapped ov;
        DWORD mask = 0;
        ASSERT_FALSE(WaitCommEvent(port_, &mask, ov.get()));
        std::promise<DWORD> woke;
        std::future<DWORD> result = woke.get_future();
        std::thread waiter([&] { woke.set_value(WaitForSingleObject(ov.event(), INFINITE)); });
        std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
        peer_->Send("a");
        const bool inTime =
            result.wait_for(std::chrono::milliseconds(kLong)) == std::future_status::ready;
        if (!inTime)
            SetCommMask(port_, EV_RXCHAR); // ends the wait, so that the thread can be joined
        waiter.join();
        ASSERT_TRUE(inTime) << "the byte did not wake the thread watching for the wait";
        EXPECT_EQ(result.get(), WAIT_OBJECT_0);
        DWORD n = 0;
        ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &n, FALSE)) << GetLastError();
        EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
        EXPECT_EQ(ReadOverlapped(1), "a");
    }
}

// A read whose thread gave up waiting for its event is still completed when its bytes come:
// the program may only poll for it from then on.
TEST_P(CommConformance, AReadNobodyWaitsForAnyMoreStillCompletes) {
    SetTimeouts(0, 0, 0); // no time-out: the read waits for its whole count
    for (const DWORD watchMs : {0, 150}) {
        SCOPED_TRACE(watchMs);
        char buf[2] = {};
        Overlapped ov;
        ASSERT_TRUE(StartRead(buf, 2, ov));
        EXPECT_EQ(WaitForSingleObject(ov.event(), watchMs), static_cast<DWORD>(WAIT_TIMEOUT));
        peer_->Send("ab");
        DWORD n = 0;
        ASSERT_TRUE(PolledToTheEnd(*ov.get(), n)) << "the read was never completed";
        EXPECT_EQ(std::string(buf, n), "ab");
    }
}

TEST_P(CommConformance, EventCharacterRaisesRxFlag) {
    ZV_SKIP_UNDER_WINE(
        "no EV_RXFLAG: a wait for the event character ends before that character comes");
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(port_, &dcb));
    ASSERT_TRUE(SetCommMask(port_, EV_RXFLAG));
    Overlapped ov;
    DWORD events = 0;
    DWORD n = 0;
    ASSERT_FALSE(WaitCommEvent(port_, &events, ov.get()));
    peer_->Send("abc"); // no flag character: the wait stays pending
    WaitQueued(3);
    EXPECT_EQ(WaitForSingleObject(ov.event(), 20), WAIT_TIMEOUT);
    peer_->Send("\n");
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &n, TRUE));
    EXPECT_EQ(events, EV_RXFLAG);
}

TEST_P(CommConformance, DiscardNullDropsNulBytes) {
    ZV_SKIP_UNDER_WINE("fNull is ignored: NUL bytes are delivered");
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fNull = 1;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    SetTimeouts(0, 0, kLong);
    peer_->Send(std::string("a\0b\0\0c", 6));
    EXPECT_EQ(ReadOverlapped(3), "abc");
}

TEST_P(CommConformance, AFullInputQueueHoldsBytesBackWithoutLoss) {
    ASSERT_TRUE(SetupComm(port_, 16, 16));
    std::string data;
    for (int i = 0; i < 200; ++i)
        data += static_cast<char>('A' + i % 26);
    peer_->Send(data);
    WaitQueued(16);
    COMSTAT st{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, &st));
    // The size asked for is a recommendation: a driver may hold more than 16 bytes (ours does
    // without input flow control), but it never drops what it cannot hold.
    EXPECT_GE(st.cbInQue, 16u);
    EXPECT_LE(st.cbInQue, 200u);
    SetTimeouts(0, 0, kLong);
    EXPECT_EQ(ReadOverlapped(200), data);
    ASSERT_TRUE(ClearCommError(port_, &errors, &st));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(st.cbInQue, 0u);
}

TEST_P(CommConformance, SynchronousHandleBlocksUntilDone) {
    ASSERT_TRUE(CloseHandle(port_));
    port_ = Open(0);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS t{0, 0, kLong, 0, kLong};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    std::thread farEnd([&] {
        Sleep(20);
        peer_->Send("sync");
    });
    char buf[4];
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(port_, buf, 4, &got, nullptr));
    farEnd.join();
    EXPECT_EQ(std::string(buf, got), "sync");
    DWORD sent = 0;
    EXPECT_TRUE(WriteFile(port_, "back", 4, &sent, nullptr));
    EXPECT_EQ(sent, 4u);
    EXPECT_EQ(peer_->Receive(4, std::chrono::milliseconds(kLong)), "back");
    // A zero-length write completes at once.
    EXPECT_TRUE(WriteFile(port_, "", 0, &sent, nullptr));
    EXPECT_EQ(sent, 0u);
}

TEST_P(CommConformance, SecondOpenIsDeniedAndCloseFreesThePort) {
    ZV_SKIP_UNDER_WINE("a second open of an open COM port succeeds");
    HANDLE again = Open(FILE_FLAG_OVERLAPPED);
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(CloseHandle(port_));
    port_ = Open(FILE_FLAG_OVERLAPPED);
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
}

TEST_P(CommConformance, CallsOnAClosedHandleFail) {
    HANDLE h = port_;
    ASSERT_TRUE(CloseHandle(h));
    port_ = INVALID_HANDLE_VALUE;
    DCB dcb{};
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(EscapeCommFunction(INVALID_HANDLE_VALUE, SETDTR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_P(CommConformance, ClosingCancelsPendingOperations) {
    SetTimeouts(0, 0, 0);
    char buf[8];
    Overlapped rov;
    ASSERT_TRUE(StartRead(buf, sizeof buf, rov));
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    Overlapped wov;
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port_, &events, wov.get()));
    HANDLE h = port_;
    port_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(WaitForSingleObject(rov.event(), kLong), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(wov.event(), kLong), WAIT_OBJECT_0);
}

TEST_P(CommConformance, QueueSizesAndZeroLengthTransfers) {
    ZV_SKIP_UNDER_WINE("SetupComm is ignored: it accepts any queue size");
    EXPECT_TRUE(SetupComm(port_, 0, 0)); // 0 keeps the current queue
    EXPECT_TRUE(SetupComm(port_, 1024, 1024));
    EXPECT_FALSE(SetupComm(port_, 0xFFFFFFFDu, 1024)); // a negative size, as 32 bits
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    char c = 0;
    DWORD n = 99;
    Overlapped ov;
    EXPECT_TRUE(ReadFile(port_, &c, 0, &n, ov.get()));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(WriteFile(port_, &c, 0, &n, ov.get()));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(WaitForSingleObject(ov.event(), 0), WAIT_OBJECT_0);
    // A read of nothing does not queue behind a read that waits for bytes.
    SetTimeouts(0, 0, 0);
    char buf[4];
    Overlapped rov;
    ASSERT_TRUE(StartRead(buf, sizeof buf, rov));
    Overlapped zov;
    n = 99;
    EXPECT_TRUE(ReadFile(port_, &c, 0, &n, zov.get()));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(WaitForSingleObject(zov.event(), 0), WAIT_OBJECT_0);
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXABORT));
    EXPECT_FALSE(GetOverlappedResult(port_, rov.get(), &n, TRUE));
    GetOverlappedResult(port_, zov.get(), &n, TRUE);
}

TEST_P(CommConformance, ARecordWithoutAnEventCanBeWaitedFor) {
    SetTimeouts(0, 0, kLong);
    char buf[3];
    OVERLAPPED ov{}; // no event: GetOverlappedResult waits on the operation itself
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(port_, buf, 3, &got, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    std::thread farEnd([&] {
        Sleep(10);
        peer_->Send("abc");
    });
    EXPECT_TRUE(GetOverlappedResult(port_, &ov, &got, TRUE));
    farEnd.join();
    EXPECT_EQ(std::string(buf, got), "abc");
}

TEST_P(CommConformance, WriteTimeoutAndTxClearLeaveNothingQueued) {
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 1000};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    Overlapped ov;
    DWORD sent = 0;
    if (!WriteFile(port_, "abc", 3, &sent, ov.get())) {
        ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
    }
    EXPECT_EQ(sent, 3u);
    ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR));
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 0u);
}

INSTANTIATE_TEST_SUITE_P(Peers, CommConformance, ::testing::ValuesIn(AvailablePeers()),
                         [](const ::testing::TestParamInfo<PeerKind>& p) { return p.param.name; });

TEST(CommOpen, MissingDevicesAreNotFound) {
    const char* names[] = {"\\\\.\\COM250", "\\\\.\\NoSuchPortHere",
#ifndef _WIN32
                           // Our own device names: a path, and nothing after the prefix.
                           "\\\\.\\/nonexistent/tty0", "\\\\.\\"
#endif
    };
    for (const char* name : names) {
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
}

} // namespace
} // namespace zv::test
