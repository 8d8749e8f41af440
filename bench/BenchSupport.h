// Pieces shared by the benchmarks: a byte pattern that every received byte is checked against,
// the writer that sends it, medians and percentiles, context-switch counts, figures, and rounds
// of measurements in rotating order with their per-round ratios.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <pthread.h>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace zvbench {

using Clock = std::chrono::steady_clock;

// The stream every throughput run sends: byte i is Table()[i % kPeriod], a pseudo-random table
// whose period is prime, so that a lost, doubled or reordered block shows as a mismatch.
class Pattern {
public:
    static constexpr std::size_t kPeriod = 65521;

    static const std::array<std::uint8_t, 2 * kPeriod>& Table() {
        // Twice the period, so that any run of up to kPeriod bytes is one contiguous piece.
        static const auto table = [] {
            std::array<std::uint8_t, 2 * kPeriod> t{};
            std::uint32_t x = 2463534242u;
            for (std::size_t i = 0; i < kPeriod; ++i) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                t[i] = t[i + kPeriod] = static_cast<std::uint8_t>(x >> 24);
            }
            return t;
        }();
        return table;
    }

    // Copies the `n` pattern bytes from stream position `pos` into `out`.
    static void Fill(std::size_t pos, std::uint8_t* out, std::size_t n) {
        while (n > 0) {
            const std::size_t take = std::min(n, kPeriod);
            std::memcpy(out, Table().data() + pos % kPeriod, take);
            out += take;
            pos += take;
            n -= take;
        }
    }
};

// Follows a received stream and remembers the first byte that differs from the pattern.
class PatternCheck {
public:
    void Feed(const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        while (n > 0 && FGood) {
            const std::size_t take = std::min(n, Pattern::kPeriod);
            if (std::memcmp(p, Pattern::Table().data() + FPos % Pattern::kPeriod, take) != 0) {
                FGood = false;
                FBadAt = FPos;
                return;
            }
            p += take;
            FPos += take;
            n -= take;
        }
    }
    std::size_t Received() const { return FPos; }
    bool Good() const { return FGood; }
    std::size_t BadAt() const { return FBadAt; }

private:
    std::size_t FPos = 0;
    std::size_t FBadAt = 0;
    bool FGood = true;
};

// Writes `bytes` of the pattern into `fd` (a pseudo-terminal's master) in 4 KiB blocks, from its
// own thread. Finish() waits for it. When the reader got less than everything (a wrong byte, a
// stall), nobody reads the line any more and a writer blocked on it would wait for ever: the
// writer is told to stop, and its blocked write is interrupted by a signal until it has (emptying
// the line is not enough once the reading side is closed: nothing wakes the writer then).
class PatternWriter {
public:
    PatternWriter(int fd, std::size_t bytes) : FFd(fd) {
        static const bool handled = [] {
            struct sigaction action {};
            action.sa_handler = [](int) {}; // no SA_RESTART: the write returns EINTR
            sigemptyset(&action.sa_mask);
            return ::sigaction(SIGUSR1, &action, nullptr) == 0;
        }();
        (void)handled;
        FThread = std::thread([this, bytes] { Run(bytes); });
    }
    PatternWriter(const PatternWriter&) = delete;
    PatternWriter& operator=(const PatternWriter&) = delete;
    ~PatternWriter() { Finish(false); }

    void Finish(bool readerGotEverything) {
        if (!FThread.joinable())
            return;
        if (!readerGotEverything) {
            FStop = true;
            while (!FDone) {
                ::pthread_kill(FThread.native_handle(), SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        FThread.join();
    }

private:
    void Run(std::size_t bytes) {
        std::vector<std::uint8_t> block(4096);
        std::size_t sent = 0;
        while (sent < bytes && !FStop) {
            const std::size_t n = std::min(block.size(), bytes - sent);
            Pattern::Fill(sent, block.data(), n);
            std::size_t done = 0;
            while (done < n && !FStop) {
                const ssize_t w = ::write(FFd, block.data() + done, n - done);
                if (w > 0)
                    done += static_cast<std::size_t>(w);
                else if (w < 0 && errno != EINTR && errno != EAGAIN)
                    FStop = true;
            }
            sent += n;
        }
        FDone = true;
    }

    const int FFd;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FDone{false};
    std::thread FThread;
};

inline double MiBPerSecond(std::size_t bytes, Clock::duration d) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) /
           std::chrono::duration<double>(d).count();
}

inline double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The value below which `fraction` of the samples lie (nearest rank).
inline double Percentile(std::vector<double> v, double fraction) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    auto rank = static_cast<std::size_t>(fraction * static_cast<double>(v.size()) + 0.999999);
    rank = std::clamp<std::size_t>(rank, 1, v.size());
    return v[rank - 1];
}

// Context switches of every thread of this process, except the calling one unless `all`.
inline long long ThreadSwitches(bool all) {
    long long total = 0;
    const std::string self = std::to_string(::gettid());
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr)
        return 0;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.' || (!all && self == e->d_name))
            continue;
        std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::atoll(line.c_str() + line.find(':') + 1);
    }
    ::closedir(dir);
    return total;
}

inline long long OtherThreadsSwitches() {
    return ThreadSwitches(false);
}

// CPU seconds used so far by every thread of this process.
inline double ProcessCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// What the machine was doing: the load average, printed with the figures.
inline std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// Three decimals by default, so that a value just under a bound does not print as meeting it.
inline void Figure(const char* name, double value, int decimals = 3) {
    std::printf("figure %s %.*f\n", name, decimals, value);
}

// Runs each of `kinds` once a round for `rounds` rounds, the order rotating by one from round to
// round (round r starts with kind r % n), so that no kind always runs first (on a cold cache,
// after the previous round's last run) or always last. Each run returns its measurement; a run
// that returns zero, a negative value or NaN has failed (it says why itself), and the rounds stop
// there. Returns each kind's measurements in round order
// (result[kind][round]), or nothing when a run failed.
inline std::vector<std::vector<double>>
RotatingRounds(int rounds, const std::vector<std::function<double()>>& kinds) {
    const std::size_t n = kinds.size();
    std::vector<std::vector<double>> values(n);
    for (int round = 0; round < rounds; ++round)
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t kind = (static_cast<std::size_t>(round) + k) % n;
            const double value = kinds[kind]();
            if (!(value > 0))
                return {};
            values[kind].push_back(value);
        }
    return values;
}

// Each round's ratio of `a` to `b` (measurements of two kinds from the same rounds).
inline std::vector<double> RoundRatios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        ratios.push_back(a[i] / b[i]);
    return ratios;
}

} // namespace zvbench
