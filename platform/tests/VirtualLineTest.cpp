// What only a virtual line can show: modem events, breaks, line errors, pacing, the near end's
// line changes and open state, unplugging.
#include "platform/VirtualLine.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

namespace zv {
namespace {

using namespace std::chrono_literals;
constexpr DWORD kLong = 5000;

class Overlapped {
public:
    Overlapped() { ov_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(ov_.hEvent); }
    OVERLAPPED* get() { return &ov_; }
    HANDLE event() const { return ov_.hEvent; }

private:
    OVERLAPPED ov_{};
};

class VirtualLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        line_ = VirtualLine::Create("VLT");
        port_ = Open();
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
    }

    HANDLE Open() {
        return CreateFileA("\\\\.\\vlt", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }

    void Configure(void (*change)(DCB&)) {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port_, &dcb));
        change(dcb);
        ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    }

    // Waits for the next events of the current mask and returns them.
    DWORD WaitEvent() {
        Overlapped ov;
        DWORD events = 0;
        DWORD n = 0;
        if (!WaitCommEvent(port_, &events, ov.get())) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            EXPECT_TRUE(GetOverlappedResult(port_, ov.get(), &n, TRUE));
        }
        return events;
    }

    DWORD TakeErrors() {
        DWORD errors = 0;
        COMSTAT st{};
        EXPECT_TRUE(ClearCommError(port_, &errors, &st));
        return errors;
    }

    std::string Read(DWORD n) {
        COMMTIMEOUTS t{0, 0, kLong, 0, kLong};
        EXPECT_TRUE(SetCommTimeouts(port_, &t));
        std::string buf(n, '\0');
        Overlapped ov;
        DWORD got = 0;
        if (!ReadFile(port_, buf.data(), n, &got, ov.get())) {
            EXPECT_TRUE(GetOverlappedResult(port_, ov.get(), &got, TRUE));
        }
        buf.resize(got);
        return buf;
    }

    std::unique_ptr<VirtualLine> line_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST(VirtualLineRegistry, NamesAreValidatedAndUnique) {
    EXPECT_THROW(VirtualLine::Create(""), std::invalid_argument);
    EXPECT_THROW(VirtualLine::Create("a\\b"), std::invalid_argument);
    EXPECT_THROW(VirtualLine::Create("two words"), std::invalid_argument);
    auto sim = VirtualLine::Create("SIMX");
    EXPECT_THROW(VirtualLine::Create("simx"), std::runtime_error);
    sim.reset();
    EXPECT_NO_THROW(VirtualLine::Create("simx"));
}

TEST_F(VirtualLineTest, ModemInputsRaiseEventsAndShowInTheStatus) {
    struct Case {
        void (VirtualLine::*set)(bool);
        DWORD event;
        DWORD status;
    } cases[] = {
        {&VirtualLine::SetCts, EV_CTS, MS_CTS_ON},
        {&VirtualLine::SetDsr, EV_DSR, MS_DSR_ON},
        {&VirtualLine::SetDcd, EV_RLSD, MS_RLSD_ON},
    };
    const DWORD all = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
    ASSERT_TRUE(SetCommMask(port_, all));
    for (const Case& c : cases) {
        (line_.get()->*c.set)(true);
        EXPECT_EQ(WaitEvent(), c.event);
        DWORD status = 0;
        ASSERT_TRUE(GetCommModemStatus(port_, &status));
        EXPECT_EQ(status, c.status);
        (line_.get()->*c.set)(false);
        EXPECT_EQ(WaitEvent(), c.event);
        ASSERT_TRUE(GetCommModemStatus(port_, &status));
        EXPECT_EQ(status, 0u);
    }
    // The ring event comes when the ring signal ends.
    line_->SetRing(true);
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(status, MS_RING_ON);
    line_->SetRing(false);
    EXPECT_EQ(WaitEvent(), EV_RING);
}

TEST_F(VirtualLineTest, AShortPulseWhileNoWaitIsPendingIsNotLost) {
    ASSERT_TRUE(SetCommMask(port_, EV_CTS));
    line_->SetCts(true);
    line_->SetCts(false);
    Overlapped ov;
    DWORD events = 0;
    EXPECT_TRUE(WaitCommEvent(port_, &events, ov.get())); // from the history, at once
    EXPECT_EQ(events, EV_CTS);
}

TEST_F(VirtualLineTest, EventsWhileNoWaitIsPendingAreMergedIntoTheNextWait) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_CTS | EV_DSR));
    line_->Write("a");
    line_->SetCts(true);
    line_->SetRing(true); // not in the mask: not remembered
    line_->SetRing(false);
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st)); // the byte is queued; its event is kept
    EXPECT_EQ(WaitEvent(), EV_RXCHAR | EV_CTS);
}

TEST_F(VirtualLineTest, WaitCommEventBlocksOnASynchronousHandle) {
    ASSERT_TRUE(CloseHandle(port_));
    port_ = CreateFileA("\\\\.\\VLT", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port_, EV_DSR));
    std::thread far([&] {
        Sleep(10);
        line_->SetDsr(true);
    });
    DWORD events = 0;
    EXPECT_TRUE(WaitCommEvent(port_, &events, nullptr));
    far.join();
    EXPECT_EQ(events, EV_DSR);
}

TEST_F(VirtualLineTest, NearOutputsAreSeenWithTimeStampsInOrder) {
    line_->TakeChanges();
    Configure([](DCB& d) {
        d.fDtrControl = DTR_CONTROL_DISABLE;
        d.fRtsControl = RTS_CONTROL_DISABLE;
    });
    ASSERT_TRUE(EscapeCommFunction(port_, SETRTS));
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(port_, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(port_, SETBREAK));
    ASSERT_TRUE(EscapeCommFunction(port_, CLRBREAK));
    ASSERT_TRUE(EscapeCommFunction(port_, CLRDTR)); // no change, no record
    auto changes = line_->TakeChanges();
    std::vector<std::pair<LineSignal, bool>> seen;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        seen.emplace_back(changes[i].signal, changes[i].level);
        if (i > 0) {
            EXPECT_LE(changes[i - 1].time, changes[i].time);
        }
    }
    std::vector<std::pair<LineSignal, bool>> expected = {
        {LineSignal::Config, true}, {LineSignal::Dtr, false},   {LineSignal::Rts, false},
        {LineSignal::Rts, true},    {LineSignal::Dtr, true},    {LineSignal::Dtr, false},
        {LineSignal::Break, true},  {LineSignal::Break, false},
    };
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(line_->Rts());
    EXPECT_FALSE(line_->Dtr());
    EXPECT_EQ(line_->Settings().fDtrControl, DTR_CONTROL_DISABLE);
}

TEST_F(VirtualLineTest, OpenAndCloseAreObservableAndLinesStayAsSet) {
    Configure([](DCB& d) {
        d.fDtrControl = DTR_CONTROL_DISABLE;
        d.fRtsControl = RTS_CONTROL_ENABLE;
    });
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(line_->IsOpen());
    EXPECT_TRUE(line_->Rts()); // closing leaves the lines as the program set them
    EXPECT_FALSE(line_->Dtr());
    line_->TakeChanges();

    // At the open, DTR rises as on a Linux tty, then follows the DCB the device kept.
    port_ = Open();
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(line_->WaitOpen(true, 0ms));
    auto changes = line_->TakeChanges();
    std::vector<std::pair<LineSignal, bool>> seen;
    for (const auto& c : changes)
        seen.emplace_back(c.signal, c.level);
    std::vector<std::pair<LineSignal, bool>> expected = {{LineSignal::Open, true},
                                                         {LineSignal::Dtr, true},
                                                         {LineSignal::Config, true},
                                                         {LineSignal::Dtr, false}};
    EXPECT_EQ(seen, expected);
}

// SetCommState drives a line only when its control mode changes; a line set by hand keeps its
// level through settings that leave its mode alone (a new speed, the same settings again).
TEST_F(VirtualLineTest, SetCommStateMovesOnlyTheLinesWhoseModeChanged) {
    struct Case {
        const char* what;
        DWORD dtrMode : 2, rtsMode : 2; // in force before
        DWORD dtrByHand, rtsByHand;
        DWORD newDtrMode : 2, newRtsMode : 2; // then applied, with a new speed
        bool dtr, rts;                        // expected after
    };
    const Case cases[] = {
        {"modes off, lines on by hand, same modes", DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE,
         SETDTR, SETRTS, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, true, true},
        {"modes on, lines off by hand, same modes", DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, CLRDTR,
         CLRRTS, DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false},
        {"RTS mode turned on drives RTS, DTR left", DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE,
         SETDTR, CLRRTS, DTR_CONTROL_DISABLE, RTS_CONTROL_ENABLE, true, true},
        {"DTR mode turned off drives DTR, RTS left", DTR_CONTROL_ENABLE, RTS_CONTROL_DISABLE,
         SETDTR, SETRTS, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.BaudRate = 9600;
        dcb.fDtrControl = c.dtrMode;
        dcb.fRtsControl = c.rtsMode;
        ASSERT_TRUE(SetCommState(port_, &dcb));
        ASSERT_TRUE(EscapeCommFunction(port_, c.dtrByHand));
        ASSERT_TRUE(EscapeCommFunction(port_, c.rtsByHand));
        dcb.BaudRate = 19200;
        dcb.fDtrControl = c.newDtrMode;
        dcb.fRtsControl = c.newRtsMode;
        ASSERT_TRUE(SetCommState(port_, &dcb));
        EXPECT_EQ(line_->Dtr(), c.dtr);
        EXPECT_EQ(line_->Rts(), c.rts);
    }
}

TEST_F(VirtualLineTest, ChangeCallbackSeesEveryChangeInOrder) {
    std::vector<std::pair<LineSignal, bool>> seen;
    line_->OnChange([&](const LineChange& c) { seen.emplace_back(c.signal, c.level); });
    ASSERT_TRUE(EscapeCommFunction(port_, CLRRTS));
    ASSERT_TRUE(EscapeCommFunction(port_, SETRTS));
    ASSERT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    line_->OnChange({});
    std::vector<std::pair<LineSignal, bool>> expected = {
        {LineSignal::Rts, false}, {LineSignal::Rts, true}, {LineSignal::Open, false}};
    EXPECT_EQ(seen, expected);
}

TEST_F(VirtualLineTest, ManuallyDrivenLinesRefuseHandshakeModes) {
    Configure([](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; });
    EXPECT_FALSE(EscapeCommFunction(port_, SETRTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    Configure([](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; });
    EXPECT_FALSE(EscapeCommFunction(port_, CLRDTR));
    EXPECT_FALSE(EscapeCommFunction(port_, 77));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(VirtualLineTest, LineErrorsAreLatchedUntilRead) {
    struct Case {
        const char* what;
        void (*inject)(VirtualLine&);
        bool parityCheck;
        DWORD events;
        DWORD errors;
        std::string data;
    } cases[] = {
        {"frame", [](VirtualLine& l) { l.InjectError(LineError::Frame, 'F'); }, false,
         EV_ERR | EV_RXCHAR, CE_FRAME, "F"},
        {"parity checked", [](VirtualLine& l) { l.InjectError(LineError::Parity, 'P'); }, true,
         EV_ERR | EV_RXCHAR, CE_RXPARITY, "P"},
        {"parity unchecked", [](VirtualLine& l) { l.InjectError(LineError::Parity, 'p'); }, false,
         EV_RXCHAR, 0, "p"},
        {"overrun", [](VirtualLine& l) { l.InjectError(LineError::Overrun, 'O'); }, false, EV_ERR,
         CE_OVERRUN, ""},
        {"break", [](VirtualLine& l) { l.SendBreak(); }, false, EV_BREAK, CE_BREAK, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.fParity = c.parityCheck ? 1 : 0;
        dcb.Parity = c.parityCheck ? EVENPARITY : NOPARITY;
        ASSERT_TRUE(SetCommState(port_, &dcb));
        ASSERT_TRUE(SetCommMask(port_, EV_ERR | EV_RXCHAR | EV_BREAK));
        c.inject(*line_);
        EXPECT_EQ(WaitEvent(), c.events);
        EXPECT_EQ(TakeErrors(), c.errors);
        EXPECT_EQ(TakeErrors(), 0u); // cleared by the first read
        COMSTAT st{};
        ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
        EXPECT_EQ(Read(st.cbInQue), c.data);
    }
}

TEST_F(VirtualLineTest, ParityErrorsAreReplacedByTheErrorCharacter) {
    Configure([](DCB& d) {
        d.Parity = ODDPARITY;
        d.fParity = 1;
        d.fErrorChar = 1;
        d.ErrorChar = '?';
    });
    line_->Write("a");
    line_->InjectError(LineError::Parity, 'b');
    line_->Write("c");
    EXPECT_EQ(Read(3), "a?c");
    EXPECT_EQ(TakeErrors(), CE_RXPARITY);
}

TEST_F(VirtualLineTest, AbortOnErrorRefusesIoUntilTheErrorIsRead) {
    Configure([](DCB& d) { d.fAbortOnError = 1; });
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    char buf[4];
    Overlapped ov;
    DWORD got = 0;
    ASSERT_FALSE(ReadFile(port_, buf, 4, &got, ov.get()));
    line_->InjectError(LineError::Frame, 'x');
    EXPECT_FALSE(GetOverlappedResult(port_, ov.get(), &got, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(WriteFile(port_, "a", 1, &got, ov.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(TakeErrors(), CE_FRAME);
    EXPECT_EQ(Read(1), "x");
}

TEST_F(VirtualLineTest, Rx80FullAtFourFifthsOfTheQueue) {
    ASSERT_TRUE(SetupComm(port_, 100, 100));
    ASSERT_TRUE(SetCommMask(port_, EV_RX80FULL));
    line_->Write(std::string(79, 'a'));
    Overlapped ov;
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port_, &events, ov.get()));
    line_->Write("b");
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &n, TRUE));
    EXPECT_EQ(events, EV_RX80FULL);
}

// How much the driver holds for the program: exactly the size asked for while input flow
// control refers to it, at least 64 KiB otherwise. Nothing is lost either way, and EV_RX80FULL
// comes at 80 % of the size asked for, not of what the driver holds.
TEST_F(VirtualLineTest, TheQueueHoldsWhatInputFlowControlAllows) {
    struct Case {
        const char* name;
        void (*flow)(DCB&);
        DWORD size;
        std::size_t written;
        DWORD held;
        bool rx80;
    } cases[] = {
        {"no flow control, small queue", [](DCB&) {}, 16, 200, 200, true},
        {"no flow control, 1 KiB, just below 80 %", [](DCB&) {}, 1024, 819, 819, false},
        {"no flow control, 1 KiB, at 80 %", [](DCB&) {}, 1024, 820, 820, true},
        {"no flow control, more than 64 KiB", [](DCB&) {}, 1024, 70000, 65536, true},
        {"no flow control, a larger queue", [](DCB&) {}, 100000, 90000, 90000, true},
        {"DTR handshake", [](DCB& d) { d.fDtrControl = DTR_CONTROL_HANDSHAKE; }, 16, 200, 16, true},
        {"RTS handshake", [](DCB& d) { d.fRtsControl = RTS_CONTROL_HANDSHAKE; }, 16, 200, 16, true},
        {"XON/XOFF input control", [](DCB& d) { d.fInX = 1; }, 16, 200, 16, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Configure([](DCB& d) {
            d.fDtrControl = DTR_CONTROL_ENABLE;
            d.fRtsControl = RTS_CONTROL_ENABLE;
            d.fInX = 0;
        });
        Configure(c.flow);
        ASSERT_TRUE(SetupComm(port_, c.size, c.size));
        ASSERT_TRUE(SetCommMask(port_, EV_RX80FULL));
        std::string data(c.written, '\0');
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<char>(i % 251);
        line_->Write(data);

        COMSTAT st{};
        DWORD errors = 0;
        ASSERT_TRUE(ClearCommError(port_, &errors, &st));
        EXPECT_EQ(st.cbInQue, c.held);
        Overlapped ov;
        DWORD events = 0;
        EXPECT_EQ(WaitCommEvent(port_, &events, ov.get()) == TRUE, c.rx80);
        EXPECT_EQ(events, c.rx80 ? static_cast<DWORD>(EV_RX80FULL) : 0u);
        ASSERT_TRUE(SetCommMask(port_, 0)); // ends a wait still pending
        EXPECT_EQ(Read(static_cast<DWORD>(data.size())), data);
        EXPECT_EQ(TakeErrors(), 0u);
    }
}

// The far end's reader that waits without a time-out: it wakes once bytes come, leaving them to
// be read, and with nothing once it is told to stop, also when told before it began waiting.
TEST_F(VirtualLineTest, WaitAvailableEndsOnDataOrStop) {
    std::stop_source early;
    early.request_stop();
    EXPECT_FALSE(line_->WaitAvailable(early.get_token()));

    for (const bool stopFirst : {true, false}) {
        std::stop_source stop;
        std::atomic<int> woke{-1};
        std::thread reader([&] { woke = line_->WaitAvailable(stop.get_token()) ? 1 : 0; });
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(woke.load(), -1) << "returned before anything happened";
        if (stopFirst) {
            stop.request_stop();
        } else {
            DWORD written = 0;
            Overlapped ov;
            if (!WriteFile(port_, "ab", 2, &written, ov.get())) {
                ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &written, TRUE));
            }
        }
        reader.join();
        EXPECT_EQ(woke.load(), stopFirst ? 0 : 1);
        EXPECT_EQ(line_->Available(), stopFirst ? 0u : 2u) << "the bytes stay to be read";
        char buf[16];
        line_->TryRead(buf, sizeof buf);
    }
}

// A read that empties a full queue at once must hand the queue back to the driver: while the
// queue was full the driver stopped taking bytes from the device, and nothing else wakes it.
TEST_F(VirtualLineTest, ReadingAFullQueueResumesReception) {
    ASSERT_TRUE(SetupComm(port_, 16, 16));
    line_->Write(std::string(16, 'a'));
    COMSTAT st{};
    DWORD errors = 0;
    for (int i = 0; i < 5000 && st.cbInQue < 16; ++i) {
        Sleep(1);
        ASSERT_TRUE(ClearCommError(port_, &errors, &st));
    }
    ASSERT_EQ(st.cbInQue, 16u);
    Sleep(20); // let the driver settle with nowhere to put more bytes

    COMMTIMEOUTS now{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &now));
    char buf[16];
    DWORD got = 0;
    Overlapped read;
    ASSERT_TRUE(ReadFile(port_, buf, sizeof buf, &got, read.get())); // completes at once
    EXPECT_EQ(got, 16u);

    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    Overlapped wait;
    DWORD events = 0;
    const BOOL done = WaitCommEvent(port_, &events, wait.get());
    ASSERT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
    line_->Write("b");
    ASSERT_EQ(WaitForSingleObject(wait.event(), kLong), WAIT_OBJECT_0);
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(port_, wait.get(), &n, FALSE));
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(VirtualLineTest, PacedWriteCompletesWhenItsLastByteHasLeft) {
    Configure([](DCB& d) { d.BaudRate = 38400; }); // 0.26 ms a character
    line_->SetPacing(true);
    ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY));
    const std::string block(200, 'z');
    Overlapped ov;
    DWORD sent = 0;
    ASSERT_FALSE(WriteFile(port_, block.data(), 200, &sent, ov.get()));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_GT(st.cbOutQue, 0u);
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
    EXPECT_EQ(sent, 200u);
    // Every byte reached the far end before the write completed.
    EXPECT_EQ(line_->Available(), 200u);
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 0u);
    Overlapped wov;
    DWORD events = 0;
    if (!WaitCommEvent(port_, &events, wov.get())) {
        ASSERT_TRUE(GetOverlappedResult(port_, wov.get(), &sent, TRUE));
    }
    EXPECT_EQ(events, EV_TXEMPTY);
    EXPECT_EQ(line_->CharacterTime(), std::chrono::nanoseconds(260416));
    // With a write queued behind it, a completed write does not leave the output empty:
    // EV_TXEMPTY waits for the last one.
    Overlapped ov1, ov2;
    ASSERT_FALSE(WriteFile(port_, block.data(), 20, &sent, ov1.get()));
    ASSERT_FALSE(WriteFile(port_, block.data(), 20, &sent, ov2.get()));
    EXPECT_EQ(WaitEvent(), static_cast<DWORD>(EV_TXEMPTY));
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 0u);
    EXPECT_EQ(WaitForSingleObject(ov1.event(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ov2.event(), 0), WAIT_OBJECT_0);
    GetOverlappedResult(port_, ov2.get(), &sent, TRUE);
}

TEST_F(VirtualLineTest, CharacterTimeCountsParityAndStopBits) {
    struct Case {
        BYTE size, parity, stop;
        long halfBits;
    } cases[] = {{8, NOPARITY, ONESTOPBIT, 20},
                 {8, EVENPARITY, TWOSTOPBITS, 24},
                 {5, NOPARITY, ONE5STOPBITS, 15},
                 {7, ODDPARITY, ONESTOPBIT, 20}};
    for (const Case& c : cases) {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.BaudRate = 10000;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        ASSERT_TRUE(SetCommState(port_, &dcb));
        EXPECT_EQ(line_->CharacterTime().count(), c.halfBits * 50'000) << int(c.size);
    }
}

TEST_F(VirtualLineTest, CtsFlowHoldsTheWriteUntilItsTimeoutFlushesTheRest) {
    Configure([](DCB& d) { d.fOutxCtsFlow = 1; });
    line_->SetCts(false);
    COMMTIMEOUTS t{0, 0, 0, 0, 30};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    Overlapped ov;
    DWORD sent = 99;
    ASSERT_FALSE(WriteFile(port_, "held", 4, &sent, ov.get()));
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.fCtsHold, 1u);
    // The time-out is success with the count transmitted: none.
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
    EXPECT_EQ(sent, 0u);
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.cbOutQue, 0u);
    line_->SetCts(true);
    EXPECT_EQ(line_->ReadString(4, 50ms), ""); // the rest was flushed, not sent late
}

// What a write handed over but had not sent when it was aborted (PURGE_TXABORT) or its handle
// closed is thrown away with it: the far end gets no more than the count reported, and the
// next output does not queue behind it. A break left on ends with the session.
TEST_F(VirtualLineTest, AnAbortedWriteSendsNoMoreThanItReported) {
    enum Hold { CtsOff, XoffByHand, Paced };
    const struct {
        const char* what;
        Hold hold;
        bool closeIt; // else PURGE_TXABORT
    } cases[] = {
        {"CTS off, close", CtsOff, true},  {"CTS off, purge", CtsOff, false},
        {"XOFF, close", XoffByHand, true}, {"XOFF, purge", XoffByHand, false},
        {"300 baud, close", Paced, true},  {"300 baud, purge", Paced, false},
    };
    const std::string old(100, 'o');
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Configure([](DCB& d) {
            d.BaudRate = 300;
            d.fOutxCtsFlow = 1;
        });
        line_->SetCts(c.hold != CtsOff);
        line_->SetPacing(c.hold == Paced);
        if (c.hold == XoffByHand) {
            ASSERT_TRUE(EscapeCommFunction(port_, SETXOFF));
        }
        COMMTIMEOUTS t{};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
        Overlapped ov;
        DWORD sent = 0;
        ASSERT_FALSE(WriteFile(port_, old.data(), 100, &sent, ov.get()));
        Sleep(20);
        DWORD reported = 0;
        if (c.closeIt) {
            ASSERT_TRUE(EscapeCommFunction(port_, SETBREAK));
            ASSERT_TRUE(CloseHandle(port_));
            port_ = Open();
            ASSERT_NE(port_, INVALID_HANDLE_VALUE);
            reported = 2; // not known after the close; at 300 baud 20 ms is less than a byte
        } else {
            ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT));
            EXPECT_FALSE(GetOverlappedResult(port_, ov.get(), &reported, TRUE));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        }
        EXPECT_FALSE(line_->Break());
        // The hold goes; the next output is all that follows.
        line_->SetPacing(false);
        line_->SetCts(true);
        ASSERT_TRUE(EscapeCommFunction(port_, SETXON));
        DWORD n = 0;
        if (!WriteFile(port_, "new", 3, &n, ov.get())) {
            ASSERT_EQ(WaitForSingleObject(ov.event(), kLong), WAIT_OBJECT_0) << "still held";
        }
        const std::string got = line_->ReadString(200, 100ms);
        ASSERT_GE(got.size(), 3u);
        EXPECT_EQ(got.substr(got.size() - 3), "new");
        EXPECT_LE(got.size() - 3, reported) << got.size();
    }
}

// PURGE_TXCLEAR deletes what the device holds but does not end the pending write (only
// PURGE_TXABORT does): the deleted part goes out again, and the write reports its count (and
// EV_TXEMPTY comes) only once all of it is through. The far end gets every byte once, in order.
TEST_F(VirtualLineTest, TxClearSendsAgainWhatItDeletedOfThePendingWrite) {
    const struct {
        const char* what;
        bool urgentQueued; // a TransmitCommChar byte is deleted with the write's
    } cases[] = {{"TXCLEAR alone", false}, {"TXCLEAR after TransmitCommChar", true}};
    std::string block;
    for (int i = 0; i < 100; ++i)
        block += static_cast<char>('A' + i % 26);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Configure([](DCB& d) { d.BaudRate = 300; });
        line_->SetPacing(true);
        ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY));
        COMMTIMEOUTS t{};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
        Overlapped ov;
        DWORD sent = 0;
        ASSERT_FALSE(WriteFile(port_, block.data(), 100, &sent, ov.get()));
        Sleep(80); // two or three bytes have left
        if (c.urgentQueued) {
            ASSERT_TRUE(TransmitCommChar(port_, '!'));
        }
        ASSERT_TRUE(PurgeComm(port_, PURGE_TXCLEAR));
        Sleep(50);
        EXPECT_EQ(WaitForSingleObject(ov.event(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
            << "complete before its bytes were through";
        Overlapped eov;
        DWORD events = 0;
        EXPECT_FALSE(WaitCommEvent(port_, &events, eov.get())) << "EV_TXEMPTY too early";
        line_->SetPacing(false);
        ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
        EXPECT_EQ(sent, 100u);
        ASSERT_EQ(WaitForSingleObject(eov.event(), kLong), WAIT_OBJECT_0);
        EXPECT_EQ(events, static_cast<DWORD>(EV_TXEMPTY));
        std::string got = line_->ReadString(300, 100ms);
        std::erase(got, '!'); // sent, or deleted by the purge
        EXPECT_EQ(got, block);
    }
}

TEST_F(VirtualLineTest, RtsToggleFramesEachWrite) {
    Configure([](DCB& d) { d.fRtsControl = RTS_CONTROL_TOGGLE; });
    EXPECT_FALSE(line_->Rts());
    line_->TakeChanges();
    Overlapped ov;
    DWORD sent = 0;
    if (!WriteFile(port_, "t", 1, &sent, ov.get())) {
        ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
    }
    auto changes = line_->TakeChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].signal, LineSignal::Rts);
    EXPECT_TRUE(changes[0].level);
    EXPECT_FALSE(changes[1].level);
}

TEST_F(VirtualLineTest, XoffFromTheFarEndHoldsTransmission) {
    Configure([](DCB& d) { d.fOutX = 1; });
    line_->Write("\x13"); // XOFF
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.cbInQue, 0u); // flow control characters are not data
    EXPECT_EQ(st.fXoffHold, 1u);
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    Overlapped ov;
    DWORD sent = 0;
    ASSERT_FALSE(WriteFile(port_, "go", 2, &sent, ov.get()));
    EXPECT_EQ(line_->ReadString(2, 20ms), "");
    line_->Write("\x11"); // XON
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
    EXPECT_EQ(line_->ReadString(2, 1000ms), "go");
}

// XOFF and XON act when they arrive, also while the driver's queue is full and nothing is
// taken from the device: a write held by XOFF goes out on the XON that follows the data.
TEST_F(VirtualLineTest, XonAndXoffActWhileTheQueueIsFull) {
    const struct {
        const char* what;
        const char* farEnd; // written before the program writes
        bool goesOut;
    } cases[] = {
        {"XOFF, data filling the queue, XON",
         "\x13"
         "abcd\x11",
         true},
        {"data filling the queue, XOFF", "abcd\x13", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(SetupComm(port_, 4, 4));
        Configure([](DCB& d) {
            d.fOutX = 1;
            d.fDtrControl = DTR_CONTROL_HANDSHAKE; // the queue holds exactly the 4 bytes asked for
        });
        line_->Write(c.farEnd);
        COMSTAT st{};
        for (int i = 0; i < 500 && st.cbInQue < 4; ++i) {
            Sleep(1);
            ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
        }
        ASSERT_EQ(st.cbInQue, 4u);
        COMMTIMEOUTS t{0, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
        Overlapped ov;
        DWORD sent = 0;
        if (!WriteFile(port_, "go", 2, &sent, ov.get())) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        EXPECT_EQ(line_->ReadString(2, 200ms), c.goesOut ? "go" : "");
        ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_RXCLEAR));
        GetOverlappedResult(port_, ov.get(), &sent, TRUE);
        line_->Write("\x11"); // leaves the line released for the next case
    }
}

// One block written by the far end is taken by the driver in as many pieces as its queue
// allows; flow control characters in the middle of a block are consumed where they stand.
TEST_F(VirtualLineTest, ABlockIsTakenInPiecesWithoutLossOrReordering) {
    struct Case {
        const char* name;
        bool outX;   // XON/XOFF output control: 0x11 and 0x13 are not data
        DWORD queue; // exact queue size (DTR handshake makes the driver hold no more)
        std::string written;
        std::string first; // what the first read of `queue` bytes gives
        std::string rest;
    };
    const Case cases[] = {
        {"plain, fits", false, 16, "abcdef", "abcdef", ""},
        {"plain, two pieces", false, 4, "abcdefgh", "abcd", "efgh"},
        {"XOFF/XON inside, two pieces", true, 4,
         "ab\x13"
         "cd\x11"
         "efgh",
         "abcd", "efgh"},
        {"XON at the cut", true, 4,
         "abcd\x11"
         "ef",
         "abcd", "ef"},
        {"flow characters are data without fOutX", false, 4,
         "a\x13\x11"
         "b",
         "a\x13\x11"
         "b",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.fOutX = c.outX ? 1 : 0;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        ASSERT_TRUE(SetCommState(port_, &dcb));
        ASSERT_TRUE(SetupComm(port_, c.queue, c.queue));
        line_->Write(c.written);
        COMSTAT st{};
        ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
        EXPECT_EQ(st.cbInQue, c.first.size());
        EXPECT_EQ(Read(static_cast<DWORD>(c.first.size())), c.first);
        if (!c.rest.empty()) {
            EXPECT_EQ(Read(static_cast<DWORD>(c.rest.size())), c.rest);
        }
        ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
        EXPECT_EQ(st.cbInQue, 0u);
        EXPECT_EQ(st.fXoffHold, 0u); // every XOFF was followed by an XON
    }
}

TEST_F(VirtualLineTest, AFullDeviceHoldsTheFarEndBackWithRtsAndXoff) {
    Configure([](DCB& d) {
        d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        d.fInX = 1;
    });
    ASSERT_TRUE(SetupComm(port_, 64, 64));
    line_->TakeChanges();
    const std::string data(6000, 'd');
    line_->Write(data);
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_FALSE(line_->Rts());
    EXPECT_EQ(line_->ReadString(1, 1000ms), "\x13"); // XOFF
    EXPECT_EQ(Read(static_cast<DWORD>(data.size())), data);
    EXPECT_TRUE(line_->Rts());
    EXPECT_EQ(line_->ReadString(1, 1000ms), "\x11"); // XON
    auto changes = line_->TakeChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_FALSE(changes[0].level);
    EXPECT_TRUE(changes[1].level);
}

TEST_F(VirtualLineTest, DsrSensitivityIgnoresInputWhileDsrIsOff) {
    Configure([](DCB& d) { d.fDsrSensitivity = 1; });
    line_->SetDsr(false);
    line_->Write("lost");
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.cbInQue, 0u);
    line_->SetDsr(true);
    line_->Write("kept");
    EXPECT_EQ(Read(4), "kept");
}

TEST_F(VirtualLineTest, DtrHandshakeFollowsTheQueueLimits) {
    ASSERT_TRUE(SetupComm(port_, 100, 100));
    Configure([](DCB& d) {
        d.fDtrControl = DTR_CONTROL_HANDSHAKE;
        d.XoffLim = 20; // DTR drops when 20 bytes or fewer are free
        d.XonLim = 10;  // and rises when 10 or fewer are queued
    });
    EXPECT_TRUE(line_->Dtr());
    line_->Write(std::string(79, 'a'));
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_TRUE(line_->Dtr());
    line_->Write("b");
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_FALSE(line_->Dtr());
    EXPECT_EQ(Read(70).size(), 70u);
    EXPECT_TRUE(line_->Dtr());
}

TEST_F(VirtualLineTest, DsrFlowHoldsOutput) {
    Configure([](DCB& d) { d.fOutxDsrFlow = 1; });
    line_->SetDsr(false);
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    Overlapped ov;
    DWORD sent = 0;
    ASSERT_FALSE(WriteFile(port_, "dsr", 3, &sent, ov.get()));
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.fDsrHold, 1u);
    EXPECT_EQ(line_->ReadString(3, 20ms), "");
    line_->SetDsr(true);
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
    EXPECT_EQ(line_->ReadString(3, 1000ms), "dsr");
}

TEST_F(VirtualLineTest, TransmitCharAndXoffHoldByHand) {
    ASSERT_TRUE(TransmitCommChar(port_, '!'));
    EXPECT_EQ(line_->ReadString(1, 1000ms), "!");
    // The byte goes ahead of what a pending write has not yet put on the line.
    Configure([](DCB& d) { d.BaudRate = 9600; });
    line_->SetPacing(true);
    const std::string block(200, 'z');
    Overlapped wov;
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port_, block.data(), 200, &written, wov.get()));
    ASSERT_TRUE(TransmitCommChar(port_, '!'));
    ASSERT_TRUE(GetOverlappedResult(port_, wov.get(), &written, TRUE));
    const std::string got = line_->ReadString(201, 1000ms);
    EXPECT_LT(got.find('!'), 5u) << got.size();
    line_->SetPacing(false);
    ASSERT_TRUE(EscapeCommFunction(port_, SETXOFF)); // as if XOFF had been received
    COMSTAT st{};
    ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
    EXPECT_EQ(st.fXoffHold, 1u);
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    Overlapped ov;
    DWORD sent = 0;
    ASSERT_FALSE(WriteFile(port_, "later", 5, &sent, ov.get()));
    EXPECT_EQ(line_->ReadString(5, 20ms), "");
    ASSERT_TRUE(EscapeCommFunction(port_, SETXON));
    ASSERT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
    EXPECT_EQ(sent, 5u);
    EXPECT_EQ(line_->ReadString(5, 1000ms), "later");
}

// An XOFF received and SETXOFF make one hold, as in a UART: either kind of XON ends it.
TEST_F(VirtualLineTest, EitherXonEndsTheXoffHold) {
    const struct {
        const char* what;
        bool received; // XOFF from the far end, then SETXON; else SETXOFF, then XON received
    } cases[] = {{"XOFF received, SETXON", true}, {"SETXOFF, XON received", false}};
    Configure([](DCB& d) { d.fOutX = 1; });
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.received) {
            line_->Write("\x13");
        } else {
            ASSERT_TRUE(EscapeCommFunction(port_, SETXOFF));
        }
        COMSTAT st{};
        ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
        ASSERT_EQ(st.fXoffHold, 1u);
        Overlapped ov;
        DWORD sent = 0;
        ASSERT_FALSE(WriteFile(port_, "go", 2, &sent, ov.get()));
        EXPECT_EQ(line_->ReadString(2, 20ms), "");
        if (c.received) {
            ASSERT_TRUE(EscapeCommFunction(port_, SETXON));
        } else {
            line_->Write("\x11");
        }
        EXPECT_EQ(WaitForSingleObject(ov.event(), 1000), WAIT_OBJECT_0) << "still held";
        ASSERT_TRUE(ClearCommError(port_, nullptr, &st));
        EXPECT_EQ(st.fXoffHold, 0u);
        EXPECT_EQ(line_->ReadString(2, 200ms), "go");
        ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT)); // a write still held ends here
        GetOverlappedResult(port_, ov.get(), &sent, TRUE);
    }
}

TEST_F(VirtualLineTest, UnplugFailsPendingAndLaterCalls) {
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &t));
    Configure([](DCB& d) { d.fOutxCtsFlow = 1; }); // keeps the write pending
    char buf[4];
    Overlapped rov, wov, eov;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port_, buf, 4, &n, rov.get()));
    ASSERT_FALSE(WriteFile(port_, "w", 1, &n, wov.get()));
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port_, &events, eov.get()));

    line_->Unplug();
    for (Overlapped* ov : {&rov, &wov, &eov}) {
        EXPECT_FALSE(GetOverlappedResult(port_, ov->get(), &n, TRUE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    }
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(ReadFile(port_, buf, 4, &n, rov.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(line_->IsOpen());

    // A new open fails until the line is plugged in again; the old handle stays dead.
    HANDLE again = Open();
    EXPECT_EQ(again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    line_->Plug();
    EXPECT_FALSE(EscapeCommFunction(port_, SETDTR));
    EXPECT_TRUE(CloseHandle(port_));
    port_ = Open();
    EXPECT_NE(port_, INVALID_HANDLE_VALUE);
}

TEST_F(VirtualLineTest, DestroyingTheLineUnplugsTheOpenPort) {
    line_.reset();
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port_, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

TEST_F(VirtualLineTest, ConcurrentTrafficArrivesIntactAndInOrder) {
    // Far end and near end both stream while an event thread waits; checks ordering and
    // gives the thread sanitizer something to look at.
    ASSERT_TRUE(SetupComm(port_, 64, 64));
    std::string out(20000, '\0');
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(i % 251);
    std::thread far([&] {
        for (std::size_t i = 0; i < out.size(); i += 1000)
            line_->Write(out.substr(i, 1000));
    });
    std::string in;
    std::thread farReader([&] { in = line_->ReadString(out.size(), 10000ms); });
    std::string got = Read(static_cast<DWORD>(out.size()));
    Overlapped ov;
    DWORD sent = 0;
    if (!WriteFile(port_, out.data(), static_cast<DWORD>(out.size()), &sent, ov.get())) {
        EXPECT_TRUE(GetOverlappedResult(port_, ov.get(), &sent, TRUE));
    }
    far.join();
    farReader.join();
    EXPECT_EQ(got, out);
    EXPECT_EQ(in, out);
}

} // namespace
} // namespace zv
