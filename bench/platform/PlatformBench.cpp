// zbench-platform: what the comm driver costs.
//
// 1. Receive throughput over a pseudo-terminal pair, the driver at its default settings (no
//    SetupComm, default time-outs): overlapped ReadFile of 64 KiB blocks through the driver
//    against a plain blocking read() loop on a raw pair of the same kind, with the same writer.
//    Every received byte is checked against the sent pattern. Each round runs both, the one
//    that goes first alternating; the figure is the median of the per-round ratios
//    (target: >= 0.9).
// 2. Wake-ups of an open, quiet port with every event in its mask and a WaitCommEvent pending,
//    counted as context switches of all threads but the measuring one (target: 0).
//
// Each figure is printed once more as "figure NAME VALUE".
#include "bench/BenchSupport.h"
#include "platform/VirtualLine.h"
#include "platform/win32.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/syscall.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using zvbench::Clock;

constexpr std::size_t kBytesPerRun = 16u * 1024 * 1024;
constexpr std::size_t kChunk = 64 * 1024;
int g_runs = 7; // --runs N (at least 5)

struct PtyPair {
    int master = -1;
    std::string slave;
    PtyPair() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        char name[128];
        if (::ptsname_r(master, name, sizeof name) != 0)
            throw std::runtime_error("ptsname");
        slave = name;
    }
    ~PtyPair() { ::close(master); }
};

void CheckAll(const zvbench::PatternCheck& check, const char* who) {
    if (!check.Good())
        throw std::runtime_error(std::string(who) + ": wrong byte at stream position " +
                                 std::to_string(check.BadAt()));
    if (check.Received() != kBytesPerRun)
        throw std::runtime_error(std::string(who) + ": " + std::to_string(check.Received()) +
                                 " bytes received");
}

// The reference: a raw pseudo-terminal and a blocking read() loop.
double PlainReadRun() {
    PtyPair pair;
    int fd = ::open(pair.slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("open slave");
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    std::vector<char> buf(kChunk);
    zvbench::PatternCheck check;
    auto start = Clock::now();
    zvbench::PatternWriter writer(pair.master, kBytesPerRun);
    while (check.Received() < kBytesPerRun && check.Good()) {
        ssize_t n = ::read(fd, buf.data(), std::min(buf.size(), kBytesPerRun - check.Received()));
        if (n <= 0)
            break;
        check.Feed(buf.data(), static_cast<std::size_t>(n));
    }
    auto elapsed = Clock::now() - start;
    writer.Finish(check.Received() >= kBytesPerRun);
    ::close(fd);
    CheckAll(check, "plain read()");
    return zvbench::MiBPerSecond(check.Received(), elapsed);
}

// The driver at its defaults: overlapped reads of 64 KiB, each waited for with
// GetOverlappedResult.
double DriverReadRun() {
    PtyPair pair;
    std::string path = "\\\\.\\" + pair.slave;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("CreateFileA failed: " + std::to_string(GetLastError()));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<char> buf(kChunk);
    zvbench::PatternCheck check;
    auto start = Clock::now();
    zvbench::PatternWriter writer(pair.master, kBytesPerRun);
    while (check.Received() < kBytesPerRun && check.Good()) {
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min(kChunk, kBytesPerRun - check.Received()));
        if (!ReadFile(h, buf.data(), want, &n, &ov)) {
            if (GetLastError() != static_cast<DWORD>(ERROR_IO_PENDING) ||
                !GetOverlappedResult(h, &ov, &n, TRUE))
                throw std::runtime_error("driver read failed: " + std::to_string(GetLastError()));
        }
        if (n == 0)
            break;
        check.Feed(buf.data(), n);
    }
    auto elapsed = Clock::now() - start;
    writer.Finish(check.Received() >= kBytesPerRun);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
    CheckAll(check, "driver ReadFile");
    return zvbench::MiBPerSecond(check.Received(), elapsed);
}

// Opens `name`, arms every event with a pending wait, and counts wake-ups over `quiet`.
double IdleWakeupsPerSecond(const std::string& name, std::chrono::milliseconds quiet) {
    std::string path = "\\\\.\\" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("CreateFileA failed: " + std::to_string(GetLastError()));
    const DWORD all = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK |
                      EV_ERR | EV_RING | EV_RX80FULL;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    // Nothing pending would count no wake-up either: a wait that is not armed fails the figure.
    const bool armed = SetCommMask(h, all) && !WaitCommEvent(h, &events, &ov) &&
                       GetLastError() == ERROR_IO_PENDING;
    if (!armed) {
        const DWORD error = GetLastError();
        CloseHandle(ov.hEvent);
        CloseHandle(h);
        throw std::runtime_error("no pending WaitCommEvent to count idle wake-ups on (" +
                                 std::to_string(error) + ")");
    }
    // An event thread like the port's: blocked on the wait and a stop event.
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread eventThread([&] {
        HANDLE both[2] = {stop, ov.hEvent};
        WaitForMultipleObjects(2, both, FALSE, INFINITE);
    });
    Sleep(100); // let every thread settle into its wait
    const long long before = zvbench::OtherThreadsSwitches();
    std::this_thread::sleep_for(quiet);
    const long long after = zvbench::OtherThreadsSwitches();
    const bool stillPending = WaitForSingleObject(ov.hEvent, 0) == WAIT_TIMEOUT;
    SetEvent(stop);
    eventThread.join();
    CloseHandle(stop);
    CloseHandle(h);
    CloseHandle(ov.hEvent);
    if (!stillPending)
        throw std::runtime_error("the idle wait ended on a quiet line");
    return static_cast<double>(after - before) / std::chrono::duration<double>(quiet).count();
}

} // namespace

int main(int argc, char** argv) {
    // --runs N: rounds of the throughput measurement; --only plain|driver: that one alone.
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0)
            g_runs = std::max(5, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--only") == 0)
            only = argv[i + 1];
    }
    try {
        if (!only.empty()) {
            double v = only == "plain" ? PlainReadRun() : DriverReadRun();
            std::printf("%s %.1f MiB/s\n", only.c_str(), v);
            return 0;
        }
        std::printf("zbench-platform: load average %s\n", zvbench::LoadAverage().c_str());
        std::vector<double> plain, driver, ratios;
        for (int i = 0; i < g_runs; ++i) {
            double p = 0, d = 0;
            if (i % 2 == 0) {
                p = PlainReadRun();
                d = DriverReadRun();
            } else {
                d = DriverReadRun();
                p = PlainReadRun();
            }
            plain.push_back(p);
            driver.push_back(d);
            ratios.push_back(d / p);
        }
        std::printf("receive over a pseudo-terminal, driver at its defaults, %zu MiB a run, every "
                    "byte checked, %d rounds:\n",
                    kBytesPerRun >> 20, g_runs);
        std::printf("  round        ");
        for (int i = 0; i < g_runs; ++i)
            std::printf(" %6d", i + 1);
        std::printf("\n  read() MiB/s ");
        for (double v : plain)
            std::printf(" %6.1f", v);
        std::printf("\n  driver MiB/s ");
        for (double v : driver)
            std::printf(" %6.1f", v);
        std::printf("\n  ratio        ");
        for (double v : ratios)
            std::printf(" %6.2f", v);
        std::printf("\n  median of the per-round ratios %.2f (target >= 0.90)\n",
                    zvbench::Median(ratios));

        PtyPair quietPty;
        const double ptyWakeups = IdleWakeupsPerSecond(quietPty.slave, std::chrono::seconds(2));
        auto line = zv::VirtualLine::Create("BENCHIDLE");
        const double lineWakeups = IdleWakeupsPerSecond("BENCHIDLE", std::chrono::seconds(2));
        std::printf("wake-ups of a quiet open port, every event armed (target 0):\n");
        std::printf("  pseudo-terminal       %8.1f /s\n", ptyWakeups);
        std::printf("  virtual line          %8.1f /s\n", lineWakeups);

        zvbench::Figure("rx_plain_mib_per_s", zvbench::Median(plain));
        zvbench::Figure("rx_driver_mib_per_s", zvbench::Median(driver));
        zvbench::Figure("rx_ratio_vs_read", zvbench::Median(ratios));
        zvbench::Figure("idle_wakeups_per_s", ptyWakeups);
        zvbench::Figure("idle_wakeups_per_s_virtual", lineWakeups);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zbench-platform: %s\n", e.what());
        return 1;
    }
}
