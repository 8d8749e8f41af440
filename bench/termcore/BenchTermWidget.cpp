// A flood of console text into the terminal widget: the console stream written at the far end of
// a virtual line into a TComTerminal on an open port (offscreen, shown, repainting as it goes),
// against libvterm's screen layer on the same bytes in this process. Both are measured in CPU
// time of the process (all its threads), since on a loaded machine the wall clock measures the
// other programs too; the wall clock is printed beside it. The two alternate round by round, the
// order rotating, and the ratio is the median of the rounds' ratios. Every byte the terminal is
// handed is checked against the stream, and a flood that has not arrived within a time limit
// fails the program, as does a reference run whose result changes: no figures are printed then.
// While the flood runs, a 10 ms timer measures how late the event loop serves it: the window
// must stay responsive.
#include "bench/BenchSupport.h"
#include "bench/termcore/ConsoleStream.h"
#include "bench/termcore/VtermScreen.h"
#include "cport/ComPort.h"
#include "platform/VirtualLine.h"
#include "terminal/qt/ComTerminal.h"
#include "toolkit/qt/QtApplication.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kStreamSize = std::size_t{8} * 1024 * 1024;
constexpr std::size_t kChunk = 4096;
constexpr std::chrono::milliseconds kTimerPeriod{10};
constexpr std::int32_t kInputSize = 64 * 1024;
constexpr int kRounds = 9;
// A flood takes well under a second; one that has not arrived after this long has stalled.
constexpr std::chrono::seconds kFloodLimit{30};
// An event loop that hangs serves no timer, so the limit above cannot end it: after this long
// the program ends from another thread.
constexpr std::chrono::seconds kHangLimit{60};

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::duration D) {
    return std::chrono::duration<double, std::milli>(D).count();
}

double CpuSecondsSince(std::clock_t Start) {
    return static_cast<double>(std::clock() - Start) / CLOCKS_PER_SEC;
}

// How late the event loop serves a timer due at every kTimerPeriod from Start(). Each due time
// of that fixed schedule gives one sample, how long after it the loop ran the timer: a loop
// blocked for 100 ms owes about ten ticks and each counts as late by as long as it waited. The
// timer is armed anew for each due time rather than repeating: a repeating timer that fires late
// skips its missed periods and starts a new phase from then, which would hide all but one of
// those ticks.
class LatenessProbe {
public:
    explicit LatenessProbe(std::vector<double>& Samples) : samples(Samples) {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setSingleShot(true);
        QObject::connect(&timer, &QTimer::timeout, [this] { Tick(); });
    }

    void Start() {
        start = Clock::now();
        next = 1;
        Arm();
    }
    void Stop() { timer.stop(); }

private:
    Clock::time_point Due(int K) const { return start + K * kTimerPeriod; }

    void Tick() {
        const Clock::time_point now = Clock::now();
        // The timer waits whole milliseconds, so it may be asked for a little after the due
        // time: lateness counts from whichever is later.
        for (; Due(next) <= now; ++next)
            samples.push_back(Milliseconds(now - std::max(Due(next), armedFor)));
        Arm();
    }

    void Arm() {
        const Clock::time_point now = Clock::now();
        const auto wait = std::max(std::chrono::ceil<std::chrono::milliseconds>(Due(next) - now),
                                   std::chrono::milliseconds{0});
        armedFor = now + wait;
        timer.start(wait);
    }

    std::vector<double>& samples;
    QTimer timer;
    Clock::time_point start;
    Clock::time_point armedFor;
    int next = 1;
};

// Ends the program when it is not destroyed within kHangLimit.
class Watchdog {
public:
    Watchdog()
        : thread([](std::stop_token Stop) {
              std::mutex mutex;
              std::condition_variable_any wake;
              std::unique_lock lock(mutex);
              if (!wake.wait_for(lock, Stop, kHangLimit,
                                 [&Stop] { return Stop.stop_requested(); })) {
                  std::fprintf(stderr, "zbench-termwidget: the event loop hangs; no figures\n");
                  std::_Exit(1);
              }
          }) {}

private:
    std::jthread thread;
};

// The terminal widget on an open port at the near end of a virtual line, flooded from the far
// end once a round.
class Flood {
public:
    explicit Flood(const std::string& Stream)
        : stream(Stream), line(zv::VirtualLine::Create("ZVBENCHTERM")) {
        port.SetPort(line->Name());
        port.SetEvents(zv::TComEvents{zv::evRxChar});
        // A program that expects floods gives the port room for them: each wake-up of the port
        // then hands the terminal up to this much instead of the default 1 KiB.
        port.Buffer()->SetInputSize(kInputSize);
        terminal.resize(700, 420);
        terminal.show();
        terminal.SetComPort(&port);
        terminal.OnStrRecieved = [this](zv::TObject*, std::string& Str) { Received(Str); };
        port.Open();
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;
    ~Flood() { port.Close(); }

    // One flood: the CPU seconds of the process meanwhile, its wall-clock seconds added to
    // `WallSeconds` and the event loop's lateness to `Lateness`; 0 when the terminal was handed
    // other bytes than were sent or the flood did not arrive within kFloodLimit.
    double Run(std::vector<double>& Lateness, std::vector<double>& WallSeconds) {
        received = 0;
        intact = true;
        LatenessProbe probe(Lateness);
        QEventLoop loop;
        bool timedOut = false;
        QTimer done;
        QObject::connect(&done, &QTimer::timeout, [&] {
            if (received >= stream.size() || !intact) {
                loop.quit();
            } else if (Clock::now() - start > kFloodLimit) {
                timedOut = true;
                loop.quit();
            }
        });
        std::atomic<bool> stop{false};

        start = Clock::now();
        const std::clock_t cpuStart = std::clock();
        probe.Start();
        done.start(5);
        // The far end writes as a peer would, in chunks, while the GUI thread runs its loop.
        std::thread peer([&] {
            for (std::size_t at = 0; at < stream.size(); at += kChunk) {
                // Keep no more than a few chunks in flight: the line holds what it is given.
                while (line->PendingToNear() > 16 * kChunk && !stop)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (stop)
                    return;
                line->Write(stream.data() + at, std::min(kChunk, stream.size() - at));
            }
        });
        {
            const Watchdog watchdog;
            loop.exec();
        }
        // All threads of the process: the peer, the port's event thread and the GUI thread.
        const double cpu = CpuSecondsSince(cpuStart);
        const std::chrono::duration<double> wall = Clock::now() - start;
        probe.Stop();
        done.stop();
        stop = true;
        peer.join();

        if (!intact) {
            std::fprintf(stderr,
                         "zbench-termwidget: the terminal was handed other bytes than were sent, "
                         "from byte %zu on\n",
                         badAt);
            return 0;
        }
        if (timedOut) {
            std::fprintf(stderr, "zbench-termwidget: %zu of %zu bytes arrived in %lld s\n",
                         received, stream.size(), static_cast<long long>(kFloodLimit.count()));
            return 0;
        }
        WallSeconds.push_back(wall.count());
        return std::max(cpu, 1e-9);
    }

    std::size_t Blocks() const { return blocks; }
    std::size_t Bytes() const { return bytes; }

private:
    // What the terminal is handed, checked against what the far end sent.
    void Received(const std::string& Str) {
        if (intact) {
            const std::string_view sent(stream.data() + received,
                                        std::min(Str.size(), stream.size() - received));
            const auto bad = std::mismatch(Str.begin(), Str.end(), sent.begin(), sent.end()).first;
            if (bad != Str.end()) {
                intact = false;
                badAt = received + static_cast<std::size_t>(bad - Str.begin());
            }
        }
        received += Str.size();
        bytes += Str.size();
        ++blocks;
    }

    const std::string& stream;
    std::unique_ptr<zv::VirtualLine> line;
    zv::TComPort port;
    zv::TComTerminal terminal;
    Clock::time_point start;
    std::size_t received = 0;
    bool intact = true;
    std::size_t badAt = 0;
    std::size_t blocks = 0;
    std::size_t bytes = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    zv::TQtApplication app(argc, argv);
    const std::string stream = zvbench::MakeConsoleStream(kStreamSize);
    const double megabytes = static_cast<double>(stream.size()) / (1024.0 * 1024.0);

    Flood flood(stream);
    std::vector<double> lateness;
    std::vector<double> floodWall;
    std::vector<double> referenceWall;
    std::optional<zvbench::VtermScreenTally> reference;
    const std::vector<std::vector<double>> cpu = zvbench::RotatingRounds(
        kRounds, {
                     [&] { return flood.Run(lateness, floodWall); },
                     [&] {
                         const auto start = Clock::now();
                         const std::clock_t cpuStart = std::clock();
                         const zvbench::VtermScreenTally tally =
                             zvbench::RunVtermScreen(stream, kChunk);
                         const double seconds = CpuSecondsSince(cpuStart);
                         referenceWall.push_back(
                             std::chrono::duration<double>(Clock::now() - start).count());
                         if (reference && (reference->damage != tally.damage ||
                                           reference->checksum != tally.checksum)) {
                             std::fprintf(stderr, "zbench-termwidget: libvterm's screen layer "
                                                  "gave another result than in its first run\n");
                             return 0.0;
                         }
                         reference = tally;
                         return std::max(seconds, 1e-9);
                     },
                 });
    if (cpu.empty()) {
        std::fprintf(stderr, "zbench-termwidget: a run failed; no figures\n");
        return 1;
    }
    const std::vector<double>& floodCpu = cpu[0];
    const std::vector<double>& referenceCpu = cpu[1];
    std::vector<double> floodRate;
    std::vector<double> floodWallRate;
    for (std::size_t i = 0; i < floodCpu.size(); ++i) {
        floodRate.push_back(megabytes / floodCpu[i]);
        floodWallRate.push_back(megabytes / floodWall[i]);
    }

    std::printf("flood: %zu bytes of console text through a virtual line, %zu-byte writes, "
                "port input queue %d bytes; median of %d rounds, the order rotating\n",
                stream.size(), kChunk, static_cast<int>(kInputSize), kRounds);
    std::printf("widget (peer, port, terminal, painting): %8.1f ms CPU %8.1f ms wall  "
                "%6.1f MB/s by CPU\n",
                zvbench::Median(floodCpu) * 1e3, zvbench::Median(floodWall) * 1e3,
                zvbench::Median(floodRate));
    std::printf("libvterm screen layer:                   %8.1f ms CPU %8.1f ms wall  "
                "%6.1f MB/s by CPU (%llu damage calls)\n",
                zvbench::Median(referenceCpu) * 1e3, zvbench::Median(referenceWall) * 1e3,
                megabytes / zvbench::Median(referenceCpu),
                static_cast<unsigned long long>(reference->damage));
    std::printf("received in %zu blocks (%.0f bytes each on average), every byte checked\n",
                flood.Blocks(),
                static_cast<double>(flood.Bytes()) /
                    static_cast<double>(std::max<std::size_t>(flood.Blocks(), 1)));
    std::printf("10 ms timer lateness: %zu ticks, p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
                lateness.size(), zvbench::Percentile(lateness, 0.5),
                zvbench::Percentile(lateness, 0.99), zvbench::Percentile(lateness, 1.0));
    // By CPU time: on a loaded machine the wall clock measures the other programs too.
    zvbench::Figure("widget_flood_mb_per_s", zvbench::Median(floodRate), 1);
    zvbench::Figure("widget_flood_wall_mb_per_s", zvbench::Median(floodWallRate), 1);
    zvbench::Figure("widget_flood_ratio_vs_libvterm_screen",
                    zvbench::Median(zvbench::RoundRatios(referenceCpu, floodCpu)));
    zvbench::Figure("event_loop_lag_p99_ms", zvbench::Percentile(lateness, 0.99), 1);
    return 0;
}
