// Shared pieces of the port tests: the far end of the line a port is tested on (a virtual line
// under a fresh name on POSIX, the second port of a COM pair on Windows), a log of callbacks that
// any thread may append to, and waiting for a condition while the main thread serves hand-offs.
#pragma once

#include "cport/ComPort.h"
#include "cport/ComThread.h"
#include "platform/VirtualLine.h"
#include "platform/tests/ComPair.h"
#include "toolkit/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zv::test {

using namespace std::chrono_literals;

// How long a test waits for something that should happen promptly before it calls it a failure.
inline constexpr auto Patience = 5s;

#ifdef _WIN32

using TestLine = ComPairLine;

// The far end of a new port under test.
inline std::unique_ptr<TestLine> NewLine(const std::string& = {}) {
    return std::make_unique<ComPairLine>();
}

inline std::string MissingLine() {
    return ComPairLine::Missing();
}

#else

using TestLine = VirtualLine;

// A virtual line with a name no other test uses.
inline std::unique_ptr<VirtualLine> NewLine(const std::string& prefix = "ZVPORT") {
    static std::atomic<int> counter{0};
    return VirtualLine::Create(prefix + std::to_string(++counter));
}

inline std::string MissingLine() {
    return "";
}

#endif

// Tests of a port on a line: they skip with the reason where no line can be had.
class LineTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string why = MissingLine(); !why.empty())
            GTEST_SKIP() << why;
    }
};

// Waits until done() holds, serving the main thread's hand-offs meanwhile (CheckSynchronize
// blocks until work arrives or a short slice passes). False when Patience ran out.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds patience = Patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        CheckSynchronize(10);
    }
    return true;
}

// Serves hand-offs for a while (to see that nothing more arrives).
inline void PumpFor(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    while (std::chrono::steady_clock::now() < end)
        CheckSynchronize(5);
}

// A thread-safe log of what happened, in order.
class EventLog {
public:
    void Add(std::string entry) {
        std::lock_guard<std::mutex> lock(FLock);
        FEntries.push_back(std::move(entry));
    }
    std::vector<std::string> Entries() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FEntries;
    }
    std::vector<std::string> Take() {
        std::lock_guard<std::mutex> lock(FLock);
        std::vector<std::string> result;
        result.swap(FEntries);
        return result;
    }
    std::size_t Size() const {
        std::lock_guard<std::mutex> lock(FLock);
        return FEntries.size();
    }
    bool Contains(const std::string& entry) const {
        std::lock_guard<std::mutex> lock(FLock);
        for (const auto& e : FEntries)
            if (e == entry)
                return true;
        return false;
    }
    bool WaitFor(const std::string& entry) {
        return PumpUntil([&] { return Contains(entry); });
    }

private:
    mutable std::mutex FLock;
    std::vector<std::string> FEntries;
};

inline const char* OnOffText(bool on) {
    return on ? "1" : "0";
}

// Records every callback of a port into a log: "OnRxChar(3)", "OnCTSChange(1)", ...
inline void RecordPortCallbacks(TCustomComPort& port, EventLog& log) {
    port.OnAfterOpen = [&log](TObject*) { log.Add("OnAfterOpen"); };
    port.OnAfterClose = [&log](TObject*) { log.Add("OnAfterClose"); };
    port.OnBeforeOpen = [&log](TObject*) { log.Add("OnBeforeOpen"); };
    port.OnBeforeClose = [&log](TObject*) { log.Add("OnBeforeClose"); };
    port.OnRxChar = [&log](TObject*, std::int32_t n) {
        log.Add("OnRxChar(" + std::to_string(n) + ")");
    };
    port.OnRxBuf = [&log](TObject*, const void* b, std::int32_t n) {
        log.Add("OnRxBuf(" + std::string(static_cast<const char*>(b), static_cast<size_t>(n)) +
                ")");
    };
    port.OnTxEmpty = [&log](TObject*) { log.Add("OnTxEmpty"); };
    port.OnBreak = [&log](TObject*) { log.Add("OnBreak"); };
    port.OnRing = [&log](TObject*) { log.Add("OnRing"); };
    port.OnCTSChange = [&log](TObject*, bool on) {
        log.Add(std::string("OnCTSChange(") + OnOffText(on) + ")");
    };
    port.OnDSRChange = [&log](TObject*, bool on) {
        log.Add(std::string("OnDSRChange(") + OnOffText(on) + ")");
    };
    port.OnRLSDChange = [&log](TObject*, bool on) {
        log.Add(std::string("OnRLSDChange(") + OnOffText(on) + ")");
    };
    port.OnRxFlag = [&log](TObject*) { log.Add("OnRxFlag"); };
    port.OnError = [&log](TObject*, TComErrors e) {
        log.Add("OnError(" + std::to_string(e.Bits()) + ")");
    };
    port.OnRx80Full = [&log](TObject*) { log.Add("OnRx80Full"); };
}

// Records every slot of a link into a log, each entry prefixed with `name`.
inline void RecordLink(TComLink& link, EventLog& log, const std::string& name) {
    auto signal = [&log, name](const char* what) {
        return [&log, name, what](TObject*, bool on) {
            log.Add(name + "." + what + "(" + OnOffText(on) + ")");
        };
    };
    auto notify = [&log, name](const char* what) {
        return [&log, name, what](TObject*) { log.Add(name + "." + what); };
    };
    link.OnLinkConn = signal("Conn");
    link.OnLinkCTS = signal("CTS");
    link.OnLinkDSR = signal("DSR");
    link.OnLinkRLSD = signal("RLSD");
    link.OnLinkTx = signal("Tx");
    link.OnLinkRx = signal("Rx");
    link.OnLinkTxEmpty = notify("TxEmpty");
    link.OnLinkRxFlag = notify("RxFlag");
    link.OnLinkRing = notify("Ring");
    link.OnLinkTxData = [&log, name](TObject*, const void* b, std::int32_t n) {
        log.Add(name + ".TxData(" +
                std::string(static_cast<const char*>(b), static_cast<size_t>(n)) + ")");
    };
}

inline void RecordLinkRxData(TComLink& link, EventLog& log, const std::string& name) {
    link.OnLinkRxData = [&log, name](TObject*, const void* b, std::int32_t n) {
        log.Add(name + ".RxData(" +
                std::string(static_cast<const char*>(b), static_cast<size_t>(n)) + ")");
    };
}

inline void ForgetCallbacks(TCustomComPort& port) {
    port.OnAfterOpen = nullptr;
    port.OnAfterClose = nullptr;
    port.OnBeforeOpen = nullptr;
    port.OnBeforeClose = nullptr;
    port.OnRxChar = nullptr;
    port.OnRxBuf = nullptr;
    port.OnTxEmpty = nullptr;
    port.OnBreak = nullptr;
    port.OnRing = nullptr;
    port.OnCTSChange = nullptr;
    port.OnDSRChange = nullptr;
    port.OnRLSDChange = nullptr;
    port.OnRxFlag = nullptr;
    port.OnError = nullptr;
    port.OnRx80Full = nullptr;
}

// A port on a fresh virtual line, configured as the tests need it (closed).
struct LinePort {
    std::unique_ptr<TestLine> line = NewLine();
    std::unique_ptr<TComPort> port = std::make_unique<TComPort>();

    explicit LinePort(TSyncMethod sync = smThreadSync, TComEvents events = AllComEvents) {
        port->SetPort(line->Name());
        port->SetSyncMethod(sync);
        port->SetEvents(events);
    }
    ~LinePort() {
        // The test's logs may already be gone: the closing teardown reports to nobody.
        if (port)
            ForgetCallbacks(*port);
        port.reset();
        TComThread::WaitForDetached();
    }
};

} // namespace zv::test
