#include "app/cli/Monitor.h"

#include "app/cli/SystemError.h"
#include "app/core/HostSystem.h"
#include "cport/ComAsync.h"
#include "cport/ComDataPacket.h"
#include "cport/ComPort.h"
#include "simboard/Transcript.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>

namespace zv::cli {

namespace {

using Clock = std::chrono::steady_clock;

// A read waits at most this long in one go when no time limit is near.
constexpr std::int32_t kLongestReadMs = 3600 * 1000;

// Puts the port's read time-outs back when the monitor ends.
class ReadTimeoutsKept {
public:
    explicit ReadTimeoutsKept(TComTimeouts& t)
        : t_(t), interval_(t.ReadInterval()), multiplier_(t.ReadTotalMultiplier()),
          constant_(t.ReadTotalConstant()) {}
    ~ReadTimeoutsKept() {
        try {
            t_.SetReadInterval(interval_);
            t_.SetReadTotalMultiplier(multiplier_);
            t_.SetReadTotalConstant(constant_);
        } catch (const Exception&) { // the port failed already; that failure is reported
        }
    }
    ReadTimeoutsKept(const ReadTimeoutsKept&) = delete;
    ReadTimeoutsKept& operator=(const ReadTimeoutsKept&) = delete;

private:
    TComTimeouts& t_;
    std::int32_t interval_, multiplier_, constant_;
};

} // namespace

std::optional<double> ReadSeconds(const ParsedCommand& args, std::string_view option,
                                  std::string_view command) {
    const auto value = args.Value(option);
    if (!value)
        return std::nullopt;
    double seconds = 0;
    std::size_t used = 0;
    try {
        seconds = std::stod(*value, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != value->size() || !(seconds >= 0.1 && seconds <= 86400))
        throw UsageError(std::string(command) + ": --" + std::string(option) + " " +
                         Quoted(*value) + " is not a number of seconds from 0.1 to 86400");
    return seconds;
}

EventHandle::EventHandle(bool wanted) {
    if (!wanted)
        return;
    h_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (h_ == nullptr)
        throw Failure("cannot create an event: " + Win32ErrorText(GetLastError()));
}

EventHandle::~EventHandle() {
    if (h_ != nullptr)
        CloseHandle(h_);
}

void MonitorPort(TCustomComPort& port, const MonitorOptions& options, Context& context,
                 HANDLE stopEvent) {
    TComTimeouts& timeouts = *port.Timeouts();
    const ReadTimeoutsKept kept(timeouts);
    // Each read returns as soon as a byte is there, or after its total time with nothing.
    timeouts.SetReadInterval(-1);
    timeouts.SetReadTotalMultiplier(-1);

    const EventHandle own(stopEvent == nullptr);
    const HANDLE stop = stopEvent != nullptr ? stopEvent : own.Get();
    const auto stopRequests = stopEvent == nullptr ? CatchStopRequests(stop) : nullptr;
    TAsyncHolder record;
    // On the heap: a read that cannot be aborted is left with its buffer (see below).
    constexpr std::int32_t kBufferSize = 4096;
    auto buffer = std::make_unique<char[]>(kBufferSize);
    const auto begun = Clock::now();
    // The bytes go out as they came; only the lines are text.
    std::optional<TRawStandardOutput> raw;
    if (!options.Lines)
        raw.emplace();
    auto printLine = [&](const std::string& text) {
        std::string line = text;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%9.3f] ",
                      std::chrono::duration<double>(Clock::now() - begun).count());
        context.Out << stamp << line << '\n';
        context.Out.flush();
    };
    TComDataPacket lines(nullptr);
    lines.SetStopString("\n");
    lines.OnPacket = [&](TObject*, const std::string& line) { printLine(line); };
    lines.OnDiscard = [&](TObject*, const std::string& text) { printLine(text); };
    // What stands in the framer when the monitor ends is printed as it is.
    struct Rest {
        TComDataPacket& framer;
        const decltype(printLine)& print;
        ~Rest() {
            if (!framer.Buffer().empty())
                print(std::string(framer.Buffer()));
        }
    } rest{lines, printLine};

    const auto deadline = options.Seconds
                              ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(*options.Seconds))
                              : Clock::time_point::max();
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline)
            return;
        std::int32_t waitMs = kLongestReadMs;
        if (options.Seconds)
            waitMs = static_cast<std::int32_t>(std::clamp<long long>(
                std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(), 1,
                kLongestReadMs));
        timeouts.SetReadTotalConstant(waitMs);
        port.ReadAsync(buffer.get(), kBufferSize, record.Get());
        const HANDLE handles[2] = {record.Get()->OverlappedRec.hEvent, stop};
        if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            try {
                port.AbortAllAsync();
            } catch (...) {
                // The read may still complete into its record and buffer: both are left
                // allocated rather than freed under the device.
                record.Abandon();
                (void)buffer.release();
                throw;
            }
            try {
                port.WaitForAsync(record.Get());
            } catch (const Exception&) { // aborted, as asked
            }
            return;
        }
        const std::int32_t n = port.WaitForAsync(record.Get());
        if (n > 0 && options.Lines) {
            lines.AddData(std::string_view(buffer.get(), static_cast<std::size_t>(n)));
        } else if (n > 0) {
            context.Out.write(buffer.get(), n);
            context.Out.flush();
        }
        if (!context.Out)
            return; // the output has gone (a reader that quit): nothing more can be shown
    }
}

std::string ProgramFailureText(const TBoardTranscript& transcript) {
    std::string text;
    for (const TBoardNote& note : transcript.Program)
        if (note.Failure)
            text += (text.empty() ? "" : "; ") + note.Text;
    return text.empty() ? text : transcript.PortName + ": program failure: " + text;
}

} // namespace zv::cli
