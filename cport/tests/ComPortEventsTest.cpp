// Line events through the event thread in each of the three hand-offs: which callbacks run, in
// which order, on which thread; the received-data path; closing and destroying the port from
// inside its own callbacks; raising callbacks; links (un)registered while a walk runs.
#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace zv {
namespace {

using namespace test;
using Log = std::vector<std::string>;

const char* ModeName(TSyncMethod m) {
    switch (m) {
    case smThreadSync:
        return "ThreadSync";
    case smWindowSync:
        return "WindowSync";
    case smNone:
        return "None";
    }
    return "?";
}

class ComPortEvents : public ::testing::TestWithParam<TSyncMethod> {
protected:
    // Waits until the log holds `count` entries and serves hand-offs a little longer, so that
    // an entry that should not come has its chance to show up.
    Log TakeAfter(EventLog& log, std::size_t count) {
        EXPECT_TRUE(PumpUntil([&] { return log.Size() >= count; }))
            << "only " << log.Size() << " of " << count << " callbacks arrived";
        PumpFor(30ms);
        return log.Take();
    }
};

// One line event, what causes it at the far end (or at the port), and the callbacks it raises
// with a recording link registered (links first, then the port).
struct EventCase {
    const char* name;
    std::function<void(VirtualLine&, TComPort&)> cause;
    Log expected;
};

const EventCase EventCases[] = {
    {"rx char", [](VirtualLine& l, TComPort&) { l.Write("abc"); }, {"L.Rx(1)", "OnRxChar(3)"}},
    {"cts", [](VirtualLine& l, TComPort&) { l.SetCts(true); }, {"L.CTS(1)", "OnCTSChange(1)"}},
    {"dsr", [](VirtualLine& l, TComPort&) { l.SetDsr(true); }, {"L.DSR(1)", "OnDSRChange(1)"}},
    {"rlsd", [](VirtualLine& l, TComPort&) { l.SetDcd(true); }, {"L.RLSD(1)", "OnRLSDChange(1)"}},
    {"ring",
     [](VirtualLine& l, TComPort&) {
         l.SetRing(true);
         l.SetRing(false);
     },
     {"L.Ring", "OnRing"}},
    {"rx flag",
     [](VirtualLine& l, TComPort&) { l.Write("a\r"); },
     {"L.Rx(1)", "OnRxChar(2)", "L.RxFlag", "OnRxFlag"}},
    {"frame error before data",
     [](VirtualLine& l, TComPort&) { l.InjectError(LineError::Frame, 'x'); },
     {"OnError(1)", "L.Rx(1)", "OnRxChar(1)"}},
    {"rx 80% full",
     [](VirtualLine& l, TComPort&) { l.Write(std::string(900, 'z')); },
     {"L.Rx(1)", "OnRxChar(900)", "OnRx80Full"}},
};

TEST_P(ComPortEvents, EachEventRunsItsLinkSlotThenItsCallback) {
    for (const EventCase& c : EventCases) {
        SCOPED_TRACE(c.name);
        LinePort p(GetParam());
        p.port->SetEventChar('\r');
        EventLog log;
        TComLink link;
        RecordLink(link, log, "L");
        p.port->RegisterLink(&link);
        p.port->Open();
        log.Take();
        RecordPortCallbacks(*p.port, log);

        c.cause(*p.line, *p.port);
        EXPECT_EQ(TakeAfter(log, c.expected.size()), c.expected);
        p.port->Close();
        p.port->UnRegisterLink(&link);
    }
}

TEST_P(ComPortEvents, ABreakRaisesOnBreakAndLeavesTheErrorToRead) {
    LinePort p(GetParam());
    p.port->Open();
    EventLog log;
    RecordPortCallbacks(*p.port, log);
    p.line->SendBreak();
    // A break is not a line-status error (EV_ERR is frame, overrun, parity): no OnError.
    EXPECT_EQ(TakeAfter(log, 1), Log{"OnBreak"});
    EXPECT_EQ(p.port->LastErrors(), TComErrors{ceBreak});
    EXPECT_TRUE(p.port->LastErrors().empty()); // reading cleared it
}

TEST_P(ComPortEvents, AWriteAnnouncesTransmissionAndTheEmptyQueue) {
    LinePort p(GetParam());
    EventLog log;
    TComLink link;
    RecordLink(link, log, "L");
    p.port->RegisterLink(&link);
    p.port->Open();
    log.Take();
    p.port->OnTxEmpty = [&log](TObject*) { log.Add("OnTxEmpty"); };

    EXPECT_EQ(p.port->WriteStr("hi"), 2);
    EXPECT_EQ(p.line->ReadString(2, Patience), "hi");
    Log got = TakeAfter(log, 5);
    // The write's own announcements come from this thread in order; the empty queue is
    // announced by the event thread (in smNone mode concurrently with the write's completion).
    auto at = [&](const std::string& e) { return std::find(got.begin(), got.end(), e); };
    ASSERT_EQ(got.size(), 5u);
    EXPECT_LT(at("L.Tx(1)"), at("L.TxData(hi)"));
    EXPECT_LT(at("L.Tx(1)"), at("L.Tx(0)"));
    EXPECT_LT(at("L.Tx(0)"), at("L.TxEmpty"));
    EXPECT_LT(at("L.TxEmpty"), at("OnTxEmpty"));
    p.port->Close();
    p.port->UnRegisterLink(&link);
}

TEST_P(ComPortEvents, CallbacksRunOnTheThreadTheModeChooses) {
    LinePort p(GetParam());
    std::atomic<int> onMain{-1};
    p.port->OnRxChar = [&](TObject*, std::int32_t) { onMain = IsMainThread() ? 1 : 0; };
    p.port->Open();
    p.line->Write("x");
    ASSERT_TRUE(PumpUntil([&] { return onMain.load() >= 0; }));
    EXPECT_EQ(onMain.load() == 1, GetParam() != smNone);
}

TEST_P(ComPortEvents, WithoutTriggersTheBytesGoToOnRxBufAndLeaveTheQueue) {
    LinePort p(GetParam());
    p.port->SetTriggersOnRxChar(false);
    p.port->Open();
    EventLog log;
    RecordPortCallbacks(*p.port, log);
    p.line->Write("abc");
    EXPECT_EQ(TakeAfter(log, 1), Log{"OnRxBuf(abc)"});
    EXPECT_EQ(p.port->InputCount(), 0);
}

TEST_P(ComPortEvents, WithTriggersTheBytesStayQueuedForTheApplication) {
    LinePort p(GetParam());
    p.port->Open();
    EventLog log;
    RecordPortCallbacks(*p.port, log);
    p.line->Write("abc");
    EXPECT_EQ(TakeAfter(log, 1), Log{"OnRxChar(3)"});
    std::string got;
    EXPECT_EQ(p.port->ReadStr(got, 10), 3);
    EXPECT_EQ(got, "abc");
}

TEST_P(ComPortEvents, DataLinksShareOneReadAfterThePortsOnRxBuf) {
    LinePort p(GetParam());
    EventLog log;
    TComLink first, second;
    RecordLinkRxData(first, log, "L1");
    first.OnLinkRx = [&log](TObject*, bool on) {
        log.Add(std::string("L1.Rx(") + OnOffText(on) + ")");
    };
    RecordLinkRxData(second, log, "L2");
    p.port->RegisterLink(&first);
    p.port->RegisterLink(&second);
    EXPECT_FALSE(p.port->TriggersOnRxChar()); // stored true, but a link takes the data
    p.port->Open();
    log.Take();
    RecordPortCallbacks(*p.port, log);

    p.line->Write("hello");
    // The read that empties the queue announces reception off before the data is handed on.
    EXPECT_EQ(TakeAfter(log, 5), (Log{"L1.Rx(1)", "L1.Rx(0)", "OnRxBuf(hello)", "L1.RxData(hello)",
                                      "L2.RxData(hello)"}));
    EXPECT_EQ(p.port->InputCount(), 0);
    p.port->Close();
    p.port->UnRegisterLink(&first);
    p.port->UnRegisterLink(&second);
}

// At the default settings (1 KiB input queue) a burst far larger than the queue reaches the
// link whole and in order, in one block: the driver holds more than the queue size asked for,
// so one wake-up hands on everything that had arrived. EV_RX80FULL still reports 80 % of 1 KiB.
TEST_P(ComPortEvents, ABurstLargerThanTheQueueArrivesWholeInOneBlock) {
    LinePort p(GetParam());
    std::string burst(20000, '\0');
    for (std::size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<char>(i % 251);
    std::mutex lock;
    std::string got;
    int blocks = 0;
    TComLink link;
    link.OnLinkRxData = [&](TObject*, const void* data, std::int32_t n) {
        std::lock_guard<std::mutex> hold(lock);
        got.append(static_cast<const char*>(data), static_cast<std::size_t>(n));
        ++blocks;
    };
    p.port->RegisterLink(&link);
    p.port->Open();
    EventLog log;
    RecordPortCallbacks(*p.port, log);

    p.line->Write(burst);
    EXPECT_TRUE(PumpUntil([&] {
        std::lock_guard<std::mutex> hold(lock);
        return got.size() >= burst.size();
    }));
    EXPECT_TRUE(log.WaitFor("OnRx80Full"));
    {
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_EQ(got, burst);
        EXPECT_EQ(blocks, 1);
    }
    p.port->Close();
    p.port->UnRegisterLink(&link);
}

TEST_P(ComPortEvents, ACallbackClosingThePortEndsTheSessionCleanly) {
    LinePort p(GetParam());
    EventLog log;
    p.port->Open();
    RecordPortCallbacks(*p.port, log);
    // A frame error and data arrive in one wake-up: OnError closes, OnRxChar must not follow.
    p.port->OnError = [&](TObject*, TComErrors) {
        log.Add("OnError");
        p.port->Close();
    };
    p.line->InjectError(LineError::Frame, 'q');
    ASSERT_TRUE(log.WaitFor("OnAfterClose"));
    EXPECT_FALSE(p.port->Connected());
    EXPECT_FALSE(p.port->ThreadCreated());
    EXPECT_TRUE(p.line->WaitOpen(false, Patience));
    p.line->Write("more");
    p.line->SetCts(true);
    PumpFor(50ms);
    const Log got = log.Take();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front(), "OnError");
    EXPECT_EQ(got.back(), "OnAfterClose");
    EXPECT_EQ(std::count(got.begin(), got.end(), "OnRxChar(1)"), 0);
    TComThread::WaitForDetached();
    EXPECT_EQ(TComThread::DetachedCount(), 0);

    // The port opens again normally afterwards.
    p.port->OnError = nullptr;
    p.port->Open();
    p.line->Write("x");
    EXPECT_TRUE(PumpUntil([&] {
        const Log now = log.Entries();
        return std::any_of(now.begin(), now.end(),
                           [](const std::string& e) { return e.rfind("OnRxChar(", 0) == 0; });
    }));
    p.port->Close();
}

TEST_P(ComPortEvents, ACallbackDestroyingThePortLeavesNothingBehind) {
    auto line = NewLine();
    auto* port = new TComPort();
    port->SetPort(line->Name());
    port->SetSyncMethod(GetParam());
    EventLog log;
    TComLink link;
    RecordLink(link, log, "L");
    port->RegisterLink(&link);
    port->Open();
    RecordPortCallbacks(*port, log);
    port->OnAfterClose = [&log](TObject*) { log.Add("OnAfterClose"); };
    port->OnRxChar = [&](TObject*, std::int32_t) {
        log.Add("OnRxChar");
        port->UnRegisterLink(&link);
        delete port;
    };
    log.Take();
    line->Write("quit");
    ASSERT_TRUE(log.WaitFor("OnAfterClose"));
    EXPECT_TRUE(line->WaitOpen(false, Patience));
    line->Write("more");
    PumpFor(50ms);
    const Log got = log.Take();
    EXPECT_EQ(got.back(), "OnAfterClose");
    TComThread::WaitForDetached();
    EXPECT_EQ(TComThread::DetachedCount(), 0);
}

// Whatever OnAfterClose does, the port comes out of the close whole: opened again (there or
// later) it hears the line, and destroyed there it has announced every close it went through.
TEST_P(ComPortEvents, WhateverOnAfterCloseDoesThePortComesOutWhole) {
    enum class Then { Raise, ReopenAndHear, ReopenAndDestroy };
    struct Case {
        const char* name;
        Then then;
        Log expected;
    };
    const Case cases[] = {
        {"raises; the port is opened again afterwards",
         Then::Raise,
         {"OnBeforeClose", "OnAfterClose", "OnBeforeOpen", "OnAfterOpen", "heard"}},
        {"opens the port again and hears the line before it returns",
         Then::ReopenAndHear,
         {"OnBeforeClose", "OnAfterClose", "OnBeforeOpen", "OnAfterOpen", "heard"}},
        {"opens the port again and destroys it",
         Then::ReopenAndDestroy,
         {"OnBeforeClose", "OnAfterClose", "OnBeforeOpen", "OnAfterOpen", "OnBeforeClose",
          "OnAfterClose"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinePort p(GetParam());
        TComPort* port = p.port.get();
        EventLog log;
        std::mutex lock;
        std::string got;
        const auto heard = [&] {
            std::lock_guard<std::mutex> hold(lock);
            return got == "ab";
        };
        port->Open();
        port->OnBeforeOpen = [&log](TObject*) { log.Add("OnBeforeOpen"); };
        port->OnAfterOpen = [&log](TObject*) { log.Add("OnAfterOpen"); };
        port->OnBeforeClose = [&log](TObject*) { log.Add("OnBeforeClose"); };
        port->OnRxChar = [&](TObject* sender, std::int32_t n) {
            std::string part;
            static_cast<TComPort*>(sender)->ReadStr(part, n);
            std::lock_guard<std::mutex> hold(lock);
            got += part;
            if (got == "ab")
                log.Add("heard");
        };
        int afterCloses = 0;
        port->OnAfterClose = [&](TObject*) {
            log.Add("OnAfterClose");
            if (++afterCloses > 1)
                return;
            switch (c.then) {
            case Then::Raise:
                throw std::runtime_error("OnAfterClose failed");
            case Then::ReopenAndHear:
                port->Open();
                p.line->Write("ab");
                EXPECT_TRUE(PumpUntil(heard)) << "the reopened port is deaf";
                break;
            case Then::ReopenAndDestroy:
                port->Open();
                p.port.reset();
                break;
            }
        };
        if (c.then == Then::Raise) {
            EXPECT_THROW(port->Close(), std::runtime_error);
            port->Open();
            p.line->Write("ab");
            EXPECT_TRUE(PumpUntil(heard)) << "the port is deaf after a raising OnAfterClose";
        } else {
            port->Close();
        }
        EXPECT_EQ(log.Take(), c.expected);
        if (p.port)
            p.port->Close();
    }
}

TEST_P(ComPortEvents, ClosingWhileAHandOffWaitsNeverDeadlocks) {
    LinePort p(GetParam());
    EventLog log;
    p.port->Open();
    RecordPortCallbacks(*p.port, log);
    std::atomic<bool> release{false};
    if (GetParam() == smNone) {
        // The event thread sits in a callback until the close has begun on this thread.
        p.port->OnRxChar = [&](TObject*, std::int32_t) {
            log.Add("OnRxChar");
            while (!release)
                std::this_thread::yield();
        };
        p.port->OnBeforeClose = [&](TObject*) {
            log.Add("OnBeforeClose");
            release = true;
        };
    }
    p.line->Write("x");
    // In the GUI-thread modes the event thread is now blocked in its hand-off, since nobody
    // serves the main thread's queue; in smNone it is inside the callback.
    if (GetParam() == smNone)
        ASSERT_TRUE(PumpUntil([&] { return log.Contains("OnRxChar"); }));
    else
        std::this_thread::sleep_for(20ms);
    p.port->Close();
    EXPECT_FALSE(p.port->Connected());
    PumpFor(30ms);
    const Log got = log.Take();
    EXPECT_EQ(got.back(), "OnAfterClose");
    if (GetParam() != smNone) { // the pending hand-off was dropped by the close
        EXPECT_EQ(std::count(got.begin(), got.end(), "OnRxChar(1)"), 0);
    }
}

TEST_P(ComPortEvents, ARaisingCallbackGoesToTheHandlerAndTheThreadGoesOn) {
    LinePort p(GetParam());
    std::mutex lock;
    std::vector<std::string> reported;
    auto previous = SetApplicationExceptionHandler([&](const std::exception& e) {
        std::lock_guard<std::mutex> hold(lock);
        reported.emplace_back(e.what());
    });
    std::atomic<int> calls{0};
    p.port->OnRxChar = [&](TObject* sender, std::int32_t n) {
        if (++calls == 1) {
            std::string drop;
            static_cast<TComPort*>(sender)->ReadStr(drop, n);
            throw std::runtime_error("boom");
        }
    };
    p.port->Open();
    p.line->Write("a");
    ASSERT_TRUE(PumpUntil([&] { return calls.load() == 1; }));
    p.line->Write("b");
    EXPECT_TRUE(PumpUntil([&] { return calls.load() == 2; })) << "the event thread died";
    p.port->Close();
    SetApplicationExceptionHandler(previous);
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(reported, std::vector<std::string>{"boom"});
}

// An application exception handler that raises in turn (a GUI's handler may fail too) does not
// end the event thread, and in the hand-off modes it is never called on the event thread.
TEST_P(ComPortEvents, ARaisingExceptionHandlerLeavesTheThreadRunning) {
    LinePort p(GetParam());
    std::atomic<int> handled{0}, offMain{0};
    auto previous = SetApplicationExceptionHandler([&](const std::exception&) {
        ++handled;
        if (!IsMainThread())
            ++offMain;
        throw std::runtime_error("the handler failed too");
    });
    std::atomic<int> calls{0};
    p.port->OnRxChar = [&](TObject* sender, std::int32_t n) {
        std::string drop;
        static_cast<TComPort*>(sender)->ReadStr(drop, n);
        ++calls;
        throw std::runtime_error("boom");
    };
    p.port->Open();
    p.line->Write("a");
    ASSERT_TRUE(PumpUntil([&] { return calls.load() == 1; }));
    PumpFor(20ms);
    p.line->Write("b");
    EXPECT_TRUE(PumpUntil([&] { return calls.load() == 2; })) << "the event thread died";
    p.port->Close();
    SetApplicationExceptionHandler(previous);
    EXPECT_EQ(handled.load(), 2);
    if (GetParam() != smNone) {
        EXPECT_EQ(offMain.load(), 0) << "the application's handler ran on the event thread";
    }
}

TEST_P(ComPortEvents, LinksChangedDuringAWalkAreHandledSafely) {
    LinePort p(GetParam());
    EventLog log;
    TComLink first, second, third;
    RecordLink(second, log, "L2");
    RecordLink(third, log, "L3");
    bool changed = false;
    first.OnLinkCTS = [&](TObject*, bool on) {
        log.Add(std::string("L1.CTS(") + OnOffText(on) + ")");
        if (!changed && on) {
            changed = true;
            p.port->RegisterLink(&third);    // waits for the next walk
            p.port->UnRegisterLink(&second); // not called any more
        }
    };
    p.port->RegisterLink(&first);
    p.port->RegisterLink(&second);
    p.port->Open();
    log.Take();
    p.port->OnCTSChange = [&log](TObject*, bool on) {
        log.Add(std::string("OnCTSChange(") + OnOffText(on) + ")");
    };
    p.line->SetCts(true);
    EXPECT_EQ(TakeAfter(log, 2), (Log{"L1.CTS(1)", "OnCTSChange(1)"}));
    p.line->SetCts(false);
    EXPECT_EQ(TakeAfter(log, 3), (Log{"L1.CTS(0)", "L3.CTS(0)", "OnCTSChange(0)"}));
    p.port->Close();
    p.port->UnRegisterLink(&first);
    p.port->UnRegisterLink(&third);
}

INSTANTIATE_TEST_SUITE_P(AllModes, ComPortEvents,
                         ::testing::Values(smThreadSync, smWindowSync, smNone),
                         [](const ::testing::TestParamInfo<TSyncMethod>& param) {
                             return std::string(ModeName(param.param));
                         });

// The "quit byte" pattern in smNone: a handler on the event thread closes the port while the
// main thread closes (or destroys) it too. One of them closes, the close is announced once, and
// the main thread's Close (or destructor) returns only once the port is closed.
TEST(ComPortConcurrentClose, AHandlerAndTheMainThreadCloseItOnce) {
    enum class First { Handler, MainThread, Either };
    struct Case {
        const char* name;
        First first;
        bool destroy; // the main thread destroys the port instead of calling Close
    };
    const Case cases[] = {
        {"handler first", First::Handler, false},
        {"main thread first", First::MainThread, false},
        {"at once", First::Either, false},
        {"handler first, main thread destroys", First::Handler, true},
        {"at once, main thread destroys", First::Either, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LinePort p(smNone);
        std::mutex lock;
        std::vector<std::string> reported;
        auto previous = SetApplicationExceptionHandler([&](const std::exception& e) {
            std::lock_guard<std::mutex> hold(lock);
            reported.emplace_back(e.what());
        });
        std::atomic<bool> inHandler{false}, go{false}, mainCloses{false};
        std::atomic<int> beforeClose{0}, afterClose{0};
        TComPort* port = p.port.get();
        port->OnRxChar = [&](TObject*, std::int32_t) {
            inHandler = true;
            while (!go)
                std::this_thread::sleep_for(1ms);
            port->Close();
        };
        port->OnBeforeClose = [&](TObject*) {
            ++beforeClose;
            if (c.first == First::Handler && !IsMainThread()) {
                // Hold this close until the main thread has called its own.
                const auto end = std::chrono::steady_clock::now() + Patience;
                while (!mainCloses && std::chrono::steady_clock::now() < end)
                    std::this_thread::sleep_for(1ms);
                std::this_thread::sleep_for(30ms);
            } else if (c.first == First::MainThread && IsMainThread()) {
                go = true; // the handler closes while this close runs
                std::this_thread::sleep_for(30ms);
            }
        };
        port->OnAfterClose = [&](TObject*) { ++afterClose; };
        port->Open();
        p.line->Write("q");
        ASSERT_TRUE(PumpUntil([&] { return inHandler.load(); }));
        if (c.first != First::MainThread)
            go = true;
        if (c.first == First::Handler) {
            ASSERT_TRUE(PumpUntil([&] { return beforeClose.load() > 0; }));
        }
        mainCloses = true;
        if (c.destroy) {
            EXPECT_NO_THROW(p.port.reset());
        } else {
            EXPECT_NO_THROW(port->Close());
            EXPECT_FALSE(port->Connected());
            EXPECT_FALSE(port->ThreadCreated());
            EXPECT_EQ(port->Handle(), INVALID_HANDLE_VALUE);
        }
        EXPECT_FALSE(p.line->IsOpen());
        EXPECT_EQ(beforeClose.load(), 1);
        EXPECT_EQ(afterClose.load(), 1);
        PumpFor(20ms);
        EXPECT_EQ(afterClose.load(), 1);
        SetApplicationExceptionHandler(previous);
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_EQ(reported, Log{});
    }
}

TEST(ComPortLinks, RegistrationIsCheckedAndTracksDataLinks) {
    TComPort port;
    TComLink plain, data;
    data.OnLinkRxData = [](TObject*, const void*, std::int32_t) {};
    port.RegisterLink(&plain);
    EXPECT_FALSE(port.HasLink());
    port.RegisterLink(&data);
    EXPECT_TRUE(port.HasLink());
    EXPECT_FALSE(port.TriggersOnRxChar());
    for (auto call : {std::function<void()>([&] { port.RegisterLink(&plain); }),
                      std::function<void()>([&] { port.SetTriggersOnRxChar(false); })}) {
        EXPECT_THROW(call(), EComPort);
    }
    port.UnRegisterLink(&data);
    EXPECT_TRUE(port.TriggersOnRxChar());
    try {
        port.UnRegisterLink(&data);
        ADD_FAILURE() << "unregistered an absent link";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), CError_LinkRegFailed);
        EXPECT_STREQ(e.what(), "Link (un)registration failed");
    }
    EXPECT_EQ(port.LinkCount(), 1);
}

TEST(ComPortLinks, LinksHearOpenAndCloseWhileTheEventsAreOff) {
    LinePort p(smThreadSync, TComEvents{});
    EventLog log;
    TComLink link;
    link.OnLinkConn = [&log](TObject*, bool on) {
        log.Add(std::string("Conn(") + OnOffText(on) + ")");
    };
    p.port->RegisterLink(&link);
    p.port->Open();
    EXPECT_FALSE(p.port->ThreadCreated());
    p.port->Close();
    EXPECT_EQ(log.Take(), (Log{"Conn(1)", "Conn(0)"}));
    p.port->UnRegisterLink(&link);
}

// In smNone the handlers run on the event thread, which exists before OnAfterOpen has run: it
// must hold what arrives until the opening has been announced, whatever OnAfterOpen does.
TEST(ComPortOpenAnnounced, NoHandlerRunsBeforeOnAfterOpenHasReturned) {
    enum class Then { Returns, Closes, Raises };
    const struct {
        const char* name;
        Then then;
        int rxCalls; // OnRxChar calls for the byte that came during OnAfterOpen
    } cases[] = {
        {"OnAfterOpen returns", Then::Returns, 1},
        {"OnAfterOpen closes the port", Then::Closes, 0},
        {"OnAfterOpen raises", Then::Raises, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LinePort p(smNone);
        std::atomic<bool> announced{false}, early{false};
        std::atomic<int> rxCalls{0};
        TComPort* port = p.port.get();
        port->OnRxChar = [&](TObject*, std::int32_t) {
            if (!announced)
                early = true;
            ++rxCalls;
        };
        port->OnAfterOpen = [&](TObject*) {
            p.line->Write("x");
            std::this_thread::sleep_for(50ms); // the event thread's chance to run too early
            if (c.then == Then::Closes)
                port->Close();
            announced = true;
            if (c.then == Then::Raises)
                throw std::runtime_error("refused");
        };
        if (c.then == Then::Raises) {
            EXPECT_THROW(port->Open(), std::runtime_error);
        } else {
            port->Open();
        }
        if (c.rxCalls > 0) {
            EXPECT_TRUE(PumpUntil([&] { return rxCalls.load() >= c.rxCalls; }));
        } else {
            PumpFor(50ms);
        }
        EXPECT_FALSE(early.load()) << "a handler ran before OnAfterOpen had returned";
        EXPECT_EQ(rxCalls.load(), c.rxCalls);
        EXPECT_EQ(port->Connected(), c.then != Then::Closes);
        port->Close();
        EXPECT_FALSE(p.line->IsOpen());
    }
}

// Open on one thread while a close runs on another: Open waits for that close to end and then
// opens, so the port is open when Open returns; the close is announced before the new opening.
TEST(ComPortOpenWhileClosing, OpenWaitsForTheCloseOnAnotherThreadAndOpens) {
    for (const TSyncMethod mode : {smThreadSync, smNone}) {
        SCOPED_TRACE(ModeName(mode));
        LinePort p(mode);
        EventLog log;
        std::atomic<bool> mainOpens{false};
        TComPort* port = p.port.get();
        port->OnBeforeOpen = [&](TObject*) { log.Add("OnBeforeOpen"); };
        port->OnAfterOpen = [&](TObject*) { log.Add("OnAfterOpen"); };
        port->OnBeforeClose = [&](TObject*) {
            log.Add("OnBeforeClose");
            // Hold this close until the main thread has called Open.
            const auto end = std::chrono::steady_clock::now() + Patience;
            while (!mainOpens && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(1ms);
            std::this_thread::sleep_for(30ms);
        };
        port->OnAfterClose = [&](TObject*) { log.Add("OnAfterClose"); };
        port->Open();
        log.Take();
        std::thread closer([&] { port->Close(); });
        ASSERT_TRUE(PumpUntil([&] { return log.Contains("OnBeforeClose"); }));
        mainOpens = true;
        EXPECT_NO_THROW(port->Open());
        EXPECT_TRUE(port->Connected());
        EXPECT_TRUE(p.line->IsOpen());
        closer.join();
        EXPECT_TRUE(port->Connected());
        EXPECT_TRUE(port->ThreadCreated());
        EXPECT_TRUE(p.line->IsOpen());
        EXPECT_EQ(log.Take(),
                  (Log{"OnBeforeClose", "OnAfterClose", "OnBeforeOpen", "OnAfterOpen"}));
        port->Close();
        EXPECT_FALSE(p.line->IsOpen());
    }
}

// Opens and closes on two threads at once, many times: whatever the interleaving, the port ends
// in one state (open with its device and thread, or closed with neither) and the last close
// leaves nothing open.
TEST(ComPortOpenWhileClosing, OpensAndClosesOnTwoThreadsLeaveOneState) {
    LinePort p(smNone);
    TComPort* port = p.port.get();
    std::atomic<int> rx{0};
    port->OnRxChar = [&](TObject* sender, std::int32_t n) {
        std::string drop;
        static_cast<TComPort*>(sender)->ReadStr(drop, n);
        ++rx;
    };
    std::mutex lock;
    std::vector<std::string> reported;
    auto previous = SetApplicationExceptionHandler([&](const std::exception& e) {
        std::lock_guard<std::mutex> hold(lock);
        reported.emplace_back(e.what());
    });
    constexpr int Rounds = 200;
    std::atomic<bool> failed{false};
    std::thread other([&] {
        for (int i = 0; i < Rounds; ++i) {
            try {
                if (i % 2 == 0)
                    port->Open();
                else
                    port->Close();
            } catch (const std::exception& e) {
                failed = true;
                std::lock_guard<std::mutex> hold(lock);
                reported.emplace_back(e.what());
            }
        }
    });
    for (int i = 0; i < Rounds; ++i) {
        try {
            if (i % 2 == 0)
                port->Close();
            else
                port->Open();
        } catch (const std::exception& e) {
            failed = true;
            std::lock_guard<std::mutex> hold(lock);
            reported.emplace_back(e.what());
        }
        if (i % 16 == 0)
            p.line->Write("z");
    }
    other.join();
    EXPECT_FALSE(failed.load());
    EXPECT_EQ(port->Connected(), p.line->IsOpen());
    EXPECT_EQ(port->Connected(), port->ThreadCreated());
    port->Close();
    EXPECT_FALSE(p.line->IsOpen()) << "a device opened by one thread was left behind";
    EXPECT_FALSE(port->ThreadCreated());
    TComThread::WaitForDetached();
    SetApplicationExceptionHandler(previous);
    std::lock_guard<std::mutex> hold(lock);
    EXPECT_EQ(reported, Log{});
}

} // namespace
} // namespace zv
