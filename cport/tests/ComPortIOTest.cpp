// Reads, writes and their records, time-outs, waiting for line events, status and line control
// through an open port on a virtual line or a pseudo-terminal (on Windows: a pair of COM ports);
// closing with I/O pending; a device unplugged mid-transfer; the list of ports.
#include "PortTestSupport.h"

#include "cport/EnumComPorts.h"
#include "platform/tests/WineGaps.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <unistd.h>
#endif

namespace zv {
namespace {

using namespace test;
using Log = std::vector<std::string>;

class ComPortIO : public LineTest {};

// An open port without an event thread, so that the tests see the device alone.
struct QuietPort : LinePort {
    QuietPort() : LinePort(smThreadSync, TComEvents{}) { port->Open(); }
};

#ifndef _WIN32
// Waits until the far end's bytes are in the near input queue, without reading the device's
// status (which would clear its error flags).
bool WaitDelivered(VirtualLine& line) {
    return PumpUntil([&] { return line.PendingToNear() == 0; });
}
#endif

bool WaitInput(TComPort& port, std::int32_t count) {
    return PumpUntil([&] { return port.InputCount() >= count; });
}

void SetTimeouts(TComPort& port, std::int32_t interval, std::int32_t total) {
    TComTimeouts t;
    t.SetReadInterval(interval);
    t.SetReadTotalMultiplier(0);
    t.SetReadTotalConstant(total);
    port.SetTimeouts(&t);
}

template <typename F> std::int32_t ErrorOf(F call, std::int32_t* osError = nullptr) {
    try {
        call();
    } catch (const EComPort& e) {
        if (osError != nullptr)
            *osError = e.OsErrorCode();
        return e.ErrorCode();
    }
    return 0;
}

TEST_F(ComPortIO, BytesCrossTheLineBothWays) {
    QuietPort p;
    EXPECT_EQ(p.port->WriteStr("hello"), 5);
    EXPECT_EQ(p.line->ReadString(5, Patience), "hello");
    p.line->Write("world");
    ASSERT_TRUE(WaitInput(*p.port, 5));
    std::string got;
    EXPECT_EQ(p.port->ReadStr(got, 64), 5); // default time-outs: what has arrived, at once
    EXPECT_EQ(got, "world");
    EXPECT_EQ(p.port->ReadStr(got, 0), 0);
    EXPECT_EQ(got, "");
}

TEST_F(ComPortIO, DefaultTimeOutsReturnAtOnceWhenNothingArrived) {
    ZV_SKIP_UNDER_WINE("a read with ReadIntervalTimeout MAXDWORD and no total time-outs waits "
                       "for a byte instead of returning at once");
    QuietPort p;
    std::string got = "old";
    EXPECT_EQ(p.port->ReadStr(got, 64), 0);
    EXPECT_EQ(got, "");
}

TEST_F(ComPortIO, WritesTellTheLinksWhatWasSent) {
    QuietPort p;
    EventLog log;
    TComLink link;
    RecordLink(link, log, "L");
    p.port->RegisterLink(&link);

    EXPECT_EQ(p.port->WriteStr(""), 0); // touches neither device nor links
    EXPECT_TRUE(log.Take().empty());
    char none = 0;
    EXPECT_EQ(p.port->Write(&none, 0), 0); // transmission signal, no data
    EXPECT_EQ(log.Take(), Log{"L.Tx(1)"});
    EXPECT_EQ(p.port->WriteStr("ab"), 2);
    EXPECT_EQ(log.Take(), (Log{"L.Tx(1)", "L.TxData(ab)"}));
#ifndef _WIN32
    // A write its time-out ends before a byte left tells the links of no data.
    p.port->FlowControl()->SetOutCTSFlow(true);
    p.line->SetCts(false);
    TComTimeouts t;
    t.SetWriteTotalMultiplier(0);
    t.SetWriteTotalConstant(100);
    p.port->SetTimeouts(&t);
    EXPECT_EQ(p.port->WriteStr("held"), 0);
    EXPECT_EQ(log.Take(), (Log{"L.Tx(1)", "L.Tx(0)"}));
#endif
    p.port->UnRegisterLink(&link);
}

#ifndef _WIN32
// Only a write that drains raises evTxEmpty; one that ends otherwise, with nothing queued behind
// it, must still put the links' transmission signal out. The far end holds CTS off throughout.
TEST_F(ComPortIO, AWriteThatEndsWithoutDrainingEndsTheTransmission) {
    static const std::string held = "held", next = "next"; // outlive the writes
    const struct {
        const char* name;
        std::function<void(TComPort&, TAsyncHolder&, TAsyncHolder&)> end;
        const char* lastTx;
    } cases[] = {
        {"aborted",
         [](TComPort& port, TAsyncHolder& first, TAsyncHolder&) {
             port.WriteStrAsync(held, first.Get());
             port.AbortAllAsync();
             EXPECT_EQ(ErrorOf([&] { port.WaitForAsync(first.Get()); }), CError_WriteFailed);
         },
         "L.Tx(0)"},
        {"timed out",
         [](TComPort& port, TAsyncHolder&, TAsyncHolder&) { EXPECT_EQ(port.WriteStr("held"), 0); },
         "L.Tx(0)"},
        {"timed out, another write queued behind it",
         [](TComPort& port, TAsyncHolder& first, TAsyncHolder& second) {
             port.WriteStrAsync(held, first.Get());
             port.WriteStrAsync(next, second.Get());
             EXPECT_EQ(port.WaitForAsync(first.Get()), 0);
         },
         "L.Tx(1)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LinePort p; // with the event thread, which would hand on an evTxEmpty
        p.line->SetCts(false);
        p.port->FlowControl()->SetOutCTSFlow(true);
        TComTimeouts t;
        t.SetWriteTotalMultiplier(0);
        t.SetWriteTotalConstant(300);
        p.port->SetTimeouts(&t);
        p.port->Open();
        EventLog log;
        TComLink link;
        RecordLink(link, log, "L");
        link.OnLinkCTS = nullptr;
        p.port->RegisterLink(&link);
        TAsyncHolder first, second;
        c.end(*p.port, first, second);
        PumpFor(50ms);
        std::string lastTx;
        for (const std::string& e : log.Entries())
            if (e.rfind("L.Tx(", 0) == 0)
                lastTx = e;
        EXPECT_EQ(lastTx, c.lastTx);
        p.port->UnRegisterLink(&link);
        p.port->Close(); // ends a write still pending before its record goes
    }
}
#endif

TEST_F(ComPortIO, RecordsWithoutAnOperationAndMissingRecords) {
    QuietPort p;
    PAsync record = nullptr;
    InitAsync(record);
    EXPECT_EQ(p.port->WaitForAsync(record), 0); // created signalled: returns at once
    EXPECT_TRUE(p.port->IsAsyncCompleted(record));
    DoneAsync(record);
    EXPECT_EQ(record, nullptr);
    DoneAsync(record); // nothing to free

    char byte = 0;
    std::int32_t os = 0;
    EXPECT_EQ(ErrorOf([&] { p.port->WriteAsync(&byte, 1, nullptr); }, &os), CError_InvalidAsync);
    EXPECT_EQ(os, NoOsError);
    EXPECT_EQ(ErrorOf([&] { p.port->ReadAsync(&byte, 1, nullptr); }), CError_InvalidAsync);
    EXPECT_EQ(ErrorOf([&] { p.port->WaitForAsync(nullptr); }), CError_InvalidAsync);
    EXPECT_EQ(ErrorOf([&] { p.port->IsAsyncCompleted(nullptr); }), CError_InvalidAsync);
    // A negative count never reaches the device.
    EXPECT_EQ(ErrorOf([&] { p.port->Write(&byte, -1); }), CError_InvalidAsync);
}

TEST_F(ComPortIO, APendingReadCompletesWhenTheBytesArrive) {
    QuietPort p;
    SetTimeouts(*p.port, 0, 0); // no time-outs: a read waits for all it asked for
    EventLog log;
    TComLink link;
    RecordLink(link, log, "L");
    p.port->RegisterLink(&link);

    PAsync record = nullptr;
    InitAsync(record);
    char buffer[3] = {};
    EXPECT_EQ(p.port->ReadAsync(buffer, 3, record), 0);
    EXPECT_FALSE(p.port->IsAsyncCompleted(record));
    p.line->Write("xyz");
    EXPECT_EQ(p.port->WaitForAsync(record), 3);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
    EXPECT_TRUE(p.port->IsAsyncCompleted(record));
    EXPECT_EQ(log.Take(), Log{"L.Rx(0)"}); // the read left the queue empty

    // The same record, once used for a write, does not repeat that write's bytes when it
    // later completes a read.
    EXPECT_EQ(p.port->WriteStrAsync("out", record), 3);
    EXPECT_EQ(p.port->WaitForAsync(record), 3);
    EXPECT_EQ(log.Take(), (Log{"L.Tx(1)", "L.TxData(out)"}));
    p.line->Write("12345");
    ASSERT_TRUE(WaitInput(*p.port, 5));
    const std::int32_t atOnce = p.port->ReadAsync(buffer, 2, record);
    if (UnderWine()) // Wine leaves an overlapped read pending even when its bytes are queued
        EXPECT_TRUE(atOnce == 0 || atOnce == 2) << atOnce;
    else
        EXPECT_EQ(atOnce, 2);
    EXPECT_EQ(p.port->WaitForAsync(record), 2);
    EXPECT_TRUE(log.Take().empty()); // bytes remain queued: no Rx(0), and no TxData again
    DoneAsync(record);
    p.port->UnRegisterLink(&link);
}

TEST_F(ComPortIO, ReadTimeOutsEndAReadWithWhatArrived) {
    ZV_SKIP_UNDER_WINE("a read ended by its total time-out fails with ERROR_TIMEOUT instead of "
                       "succeeding with the bytes that came");
    QuietPort p;
    SetTimeouts(*p.port, 0, 40);
    p.line->Write("ab");
    ASSERT_TRUE(WaitInput(*p.port, 2));
    char buffer[10] = {};
    EXPECT_EQ(p.port->Read(buffer, 10), 2);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    EXPECT_EQ(p.port->Read(buffer, 10), 0); // nothing within the time-out

    std::string text;
    p.line->Write("c");
    ASSERT_TRUE(WaitInput(*p.port, 1));
    EXPECT_EQ(p.port->ReadStr(text, 10), 1);
    EXPECT_EQ(text, "c"); // cut to what was read
}

TEST_F(ComPortIO, LineControlAsTheFarEndSeesIt) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a far end that sees RTS, DTR and break and drives CTS, DSR, RLSD and "
                    "ring: the virtual line (POSIX)";
#else
    QuietPort p;
    p.line->TakeChanges();
    p.port->SetRTS(true);
    EXPECT_TRUE(p.line->Rts());
    p.port->SetDTR(true);
    EXPECT_TRUE(p.line->Dtr());
    p.port->SetRTS(false);
    p.port->SetDTR(false);
    p.port->SetBreak(true);
    EXPECT_TRUE(p.line->Break());
    p.port->SetBreak(false);
    std::vector<std::pair<LineSignal, bool>> edges;
    for (const LineChange& c : p.line->TakeChanges())
        edges.emplace_back(c.signal, c.level);
    EXPECT_EQ(edges, (std::vector<std::pair<LineSignal, bool>>{{LineSignal::Rts, true},
                                                               {LineSignal::Dtr, true},
                                                               {LineSignal::Rts, false},
                                                               {LineSignal::Dtr, false},
                                                               {LineSignal::Break, true},
                                                               {LineSignal::Break, false}}));

    EXPECT_TRUE(p.port->Signals().empty());
    p.line->SetFarRts(true);
    EXPECT_EQ(p.port->Signals(), TComSignals{csCTS});
    p.line->SetFarDtr(true);
    EXPECT_EQ(p.port->Signals(), (TComSignals{csCTS, csDSR, csRLSD}));
    p.line->SetRing(true);
    EXPECT_TRUE(p.port->Signals().contains(csRing));

    p.port->TransmitChar('!');
    EXPECT_EQ(p.line->ReadString(1, Patience), "!");
    p.port->SetXonXoff(false); // transmit as if XOFF came
    p.port->SetXonXoff(true);
#endif
}

TEST_F(ComPortIO, ErrorsAreReadOnceAndParityCountsOnlyWhenChecked) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a far end that makes line errors on demand: the virtual line (POSIX)";
#else
    QuietPort p;
    p.line->InjectError(LineError::Frame, 'a');
    ASSERT_TRUE(WaitDelivered(*p.line));
    EXPECT_EQ(p.port->LastErrors(), TComErrors{ceFrame});
    EXPECT_TRUE(p.port->LastErrors().empty());

    p.port->Parity()->SetBits(prEven);
    p.port->Parity()->SetCheck(true);
    p.line->InjectError(LineError::Parity, 'b');
    ASSERT_TRUE(WaitDelivered(*p.line));
    EXPECT_EQ(p.port->LastErrors(), TComErrors{ceRxParity});

    p.port->Parity()->SetCheck(false);
    p.line->InjectError(LineError::Parity, 'c');
    ASSERT_TRUE(WaitDelivered(*p.line));
    EXPECT_FALSE(p.port->LastErrors().contains(ceRxParity));

    // A read (which looks at the queue for the links) leaves the errors to LastErrors.
    p.line->InjectError(LineError::Frame, 'd');
    ASSERT_TRUE(WaitDelivered(*p.line));
    char c = 0;
    EXPECT_GE(p.port->Read(&c, 1), 0);
    EXPECT_EQ(p.port->LastErrors(), TComErrors{ceFrame});
#endif
}

TEST_F(ComPortIO, AnIdlePortHasNothingQueuedOrHeld) {
    QuietPort p;
    EXPECT_EQ(p.port->OutputCount(), 0);
    EXPECT_TRUE(p.port->StateFlags().empty());
    p.port->ClearBuffer(false, false); // an empty purge request is fine
    p.port->ClearBuffer(true, false);
    EXPECT_EQ(p.port->InputCount(), 0);
}

TEST_F(ComPortIO, WaitForEventOnlyWithoutTheEventThread) {
    LinePort threaded;
    threaded.port->Open();
    TComEvents events{evRxChar};
    std::int32_t os = 0;
    EXPECT_EQ(ErrorOf([&] { threaded.port->WaitForEvent(events, nullptr, 0); }, &os),
              CError_WaitWithThread);
    EXPECT_EQ(os, NoOsError);
}

// Repeats a far-end action from another thread until the wait in front of it has returned: an
// event counts only while the device's mask asks for it, that is once WaitForEvent has begun.
TComEvents WaitWhileRepeating(TComPort& port, TComEvents events,
                              const std::function<void()>& cause) {
    std::atomic<bool> done{false};
    std::thread farEnd([&] {
        while (!done) {
            cause();
            std::this_thread::sleep_for(5ms);
        }
    });
    port.WaitForEvent(events, nullptr, -1);
    done = true;
    farEnd.join();
    return events;
}

TEST_F(ComPortIO, WaitForEventReportsWhatHappenedOrNothing) {
    ZV_SKIP_UNDER_WINE("WaitCommEvent now and then completes with no events although nothing "
                       "ended the wait");
    QuietPort p;
    TComEvents events{evRxChar};
    p.port->WaitForEvent(events, nullptr, 20); // quiet line: the time-out
    EXPECT_TRUE(events.empty());

    // The wait that timed out is over: the next one can start (the device takes one wait at
    // a time) and sees what happens now.
    EXPECT_EQ(WaitWhileRepeating(*p.port, TComEvents{evRxChar}, [&] { p.line->Write("x"); }),
              TComEvents{evRxChar});
    PumpFor(50ms);                    // the far end's last byte is in
    p.port->ClearBuffer(true, false); // no bytes queued that a device might report again

    HANDLE stop = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    events = TComEvents{evRxChar};
    p.port->WaitForEvent(events, stop, -1); // already signalled: ends at once
    EXPECT_TRUE(events.empty());
    CloseHandle(stop);

    // After all that waiting the device still takes a new wait.
    EXPECT_EQ(WaitWhileRepeating(*p.port, TComEvents{evRxChar}, [&] { p.line->Write("y"); }),
              TComEvents{evRxChar});
}

TEST_F(ComPortIO, WaitForEventReportsTheKindThatHappened) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a far end that drives CTS and ring: the virtual line (POSIX)";
#else
    QuietPort p;
    EXPECT_EQ(
        WaitWhileRepeating(*p.port, TComEvents{evRxChar, evRing}, [&] { p.line->Write("x"); }),
        TComEvents{evRxChar});
    bool cts = false;
    EXPECT_EQ(
        WaitWhileRepeating(*p.port, TComEvents{evRing, evCTS}, [&] { p.line->SetCts(cts = !cts); }),
        TComEvents{evCTS});
    HANDLE stop = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    TComEvents events{evRing};
    p.port->WaitForEvent(events, stop, -1);
    EXPECT_TRUE(events.empty());
    CloseHandle(stop);
    EXPECT_EQ(WaitWhileRepeating(*p.port, TComEvents{evCTS}, [&] { p.line->SetCts(cts = !cts); }),
              TComEvents{evCTS});
#endif
}

TEST_F(ComPortIO, AbortedTransfersReportTheAbort) {
    ZV_SKIP_UNDER_WINE("PurgeComm(PURGE_RXABORT) does not end a pending read");
    QuietPort p;
    SetTimeouts(*p.port, 0, 0);
    p.port->SetBaudRate(br300);
    p.line->SetPacing(true); // 100 bytes take about 3 s on the wire
    PAsync read = nullptr, write = nullptr;
    InitAsync(read);
    InitAsync(write);
    char in[4];
    const std::string out(100, 'w');
    EXPECT_EQ(p.port->ReadAsync(in, 4, read), 0);
    EXPECT_EQ(p.port->WriteAsync(out.data(), 100, write), 0);
    p.port->AbortAllAsync();
    std::int32_t os = 0;
    EXPECT_EQ(ErrorOf([&] { p.port->WaitForAsync(read); }, &os), CError_ReadFailed);
    EXPECT_EQ(os, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(ErrorOf([&] { p.port->WaitForAsync(write); }, &os), CError_WriteFailed);
    EXPECT_EQ(os, ERROR_OPERATION_ABORTED);
    DoneAsync(read);
    DoneAsync(write);
}

TEST_F(ComPortIO, ClosingWithIOPendingEndsEveryOperation) {
    LinePort p; // with the event thread and its pending wait
    p.port->Open();
    SetTimeouts(*p.port, 0, 0);
    PAsync read = nullptr;
    InitAsync(read);
    char in[4];
    EXPECT_EQ(p.port->ReadAsync(in, 4, read), 0);
    p.port->Close();
    EXPECT_FALSE(p.port->Connected());
    EXPECT_EQ(WaitForSingleObject(read->OverlappedRec.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(ErrorOf([&] { p.port->WaitForAsync(read); }), CError_ReadFailed);
    DoneAsync(read);
}

TEST_F(ComPortIO, AClosedThreadDiscardsWhatWasQueued) {
    LinePort p;
    p.port->Open();
    p.line->Write("stale");
    ASSERT_TRUE(PumpUntil([&] { return p.port->InputCount() == 5; }));
    p.port->Close();
    p.port->SetEvents(TComEvents{});
    p.port->Open();
    EXPECT_EQ(p.port->InputCount(), 0);
}

TEST_F(ComPortIO, AnUnpluggedDeviceFailsTheTransferAndStillCloses) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a line the test can unplug: the virtual line (POSIX)";
#else
    LinePort p;
    EventLog log;
    p.port->Open();
    RecordPortCallbacks(*p.port, log);
    p.port->SetBaudRate(br300);
    p.line->SetPacing(true);
    PAsync write = nullptr;
    InitAsync(write);
    const std::string out(200, 'u');
    EXPECT_EQ(p.port->WriteAsync(out.data(), 200, write), 0);
    p.line->Unplug();
    std::int32_t os = 0;
    EXPECT_EQ(ErrorOf([&] { p.port->WaitForAsync(write); }, &os), CError_WriteFailed);
    EXPECT_EQ(os, ERROR_DEVICE_NOT_CONNECTED);
    DoneAsync(write);
    EXPECT_EQ(ErrorOf([&] { p.port->SetDTR(true); }, &os), CError_EscapeCommFailed);
    EXPECT_EQ(os, ERROR_DEVICE_NOT_CONNECTED);

    // A read completed before the device went: its bytes are the caller's.
    p.line->Plug();
    p.port->Close();
    p.port->Open();
    p.line->Write("hello");
    ASSERT_TRUE(WaitInput(*p.port, 5));
    PAsync read = nullptr;
    InitAsync(read);
    char in[5] = {};
    p.port->ReadAsync(in, 5, read);
    p.line->Unplug();
    EXPECT_EQ(p.port->WaitForAsync(read), 5);
    EXPECT_EQ(std::string(in, 5), "hello");
    DoneAsync(read);

    // Nothing is left to abort on a device that is gone: the port closes.
    log.Take();
    p.port->OnCTSChange = nullptr;
    p.port->OnDSRChange = nullptr;
    p.port->OnRLSDChange = nullptr;
    p.port->Close();
    EXPECT_FALSE(p.port->Connected());
    EXPECT_EQ(log.Take(), (Log{"OnBeforeClose", "OnAfterClose"}));
    p.line->Plug();
    p.port->Open();
    EXPECT_TRUE(p.line->IsOpen());
#endif
}

#ifndef _WIN32

// ---- A pseudo-terminal pair: the port on the subordinate side, the test on the main side.

class PtyPair {
public:
    PtyPair() {
        FMaster = posix_openpt(O_RDWR | O_NOCTTY);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
            return;
        const char* name = ptsname(FMaster);
        if (name != nullptr)
            FPath = name;
    }
    ~PtyPair() {
        if (FMaster >= 0)
            ::close(FMaster);
    }
    bool Ok() const { return !FPath.empty(); }
    const std::string& Path() const { return FPath; }
    void Write(const std::string& s) {
        ASSERT_EQ(::write(FMaster, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    std::string Read(std::size_t count) {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + Patience;
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{FMaster, POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(FMaster, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    int FMaster = -1;
    std::string FPath;
};

TEST(ComPortPty, EventsAndDataOnAPseudoTerminal) {
    PtyPair pty;
    if (!pty.Ok())
        GTEST_SKIP() << "no pseudo-terminals on this machine";
    TComPort port;
    port.SetPort(pty.Path());
    port.SetBaudRate(br115200);
    EventLog log;
    std::string received;
    port.OnRxChar = [&](TObject*, std::int32_t n) {
        std::string chunk;
        port.ReadStr(chunk, n);
        received += chunk;
        log.Add("rx");
    };
    port.Open();
    EXPECT_EQ(port.WriteStr("ping"), 4);
    EXPECT_EQ(pty.Read(4), "ping");
    pty.Write("pong");
    EXPECT_TRUE(PumpUntil([&] { return received.size() >= 4; }));
    EXPECT_EQ(received, "pong");
    port.Close();
}

// ---- The list of ports.

TEST(EnumComPorts, ListsTheRegisteredPortsSortedAsText) {
    const auto empty =
        std::filesystem::temp_directory_path() / ("zv-no-tty-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    const char* old = std::getenv("ZELVATOR_SYS_CLASS_TTY");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("ZELVATOR_SYS_CLASS_TTY", empty.c_str(), 1); // no real devices in the list

    std::vector<std::unique_ptr<VirtualLine>> lines;
    for (const char* name : {"COM2", "COM10", "COM1"})
        lines.push_back(VirtualLine::Create(name));
    TStringList list;
    list.Add("stale entry");
    EnumComPorts(&list);
    std::vector<std::string> names;
    for (int i = 0; i < list.Count(); ++i)
        names.push_back(list[i]);
    EXPECT_EQ(names, (std::vector<std::string>{"COM1", "COM10", "COM2"}));

    if (old != nullptr)
        ::setenv("ZELVATOR_SYS_CLASS_TTY", saved.c_str(), 1);
    else
        ::unsetenv("ZELVATOR_SYS_CLASS_TTY");
    std::filesystem::remove(empty);
}

#endif // _WIN32

} // namespace
} // namespace zv
