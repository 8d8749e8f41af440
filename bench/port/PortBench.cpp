// zbench-port: the port component's event path, measured against references run in the same
// program on the same kind of line.
//
// - Receive throughput over a pseudo-terminal pair: a link taking the data through the whole
//   event path (smThreadSync with a main loop serving the hand-offs; and smNone), against a
//   plain blocking read() loop, and (when built with Qt) against QSerialPort's readyRead.
// - Latency from the far end writing one byte to the link callback, on a virtual line and on a
//   pseudo-terminal (p50, p99 in microseconds), with a plain poll()/read() thread on a
//   pseudo-terminal as the reference.
// - Wake-ups per second of an open port with all ten events enabled and a quiet line: the
//   context switches of every thread of the process except the main one, which sleeps.
//
// Each figure is printed once more as "figure NAME VALUE".
#include "PortBench.h"

#include "cport/ComPort.h"
#include "cport/ComThread.h"
#include "platform/VirtualLine.h"
#include "toolkit/Thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t TransferBytes = 8u << 20; // per throughput run
constexpr int Runs = 3;
constexpr int LatencySamples = 400;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double MiBPerSecond(std::size_t bytes, Clock::duration d) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / Seconds(d);
}

double Best(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

// The writer of a throughput run: pushes `bytes` into the far end in 4 KiB blocks.
std::thread StartWriter(int fd, std::size_t bytes) {
    return std::thread([fd, bytes] {
        std::vector<char> block(4096, 'x');
        std::size_t sent = 0;
        while (sent < bytes) {
            const std::size_t n = std::min(block.size(), bytes - sent);
            const ssize_t w = ::write(fd, block.data(), n);
            if (w > 0)
                sent += static_cast<std::size_t>(w);
            else if (w < 0 && errno != EINTR && errno != EAGAIN)
                return;
        }
    });
}

// ---- References ------------------------------------------------------------------------------

double PlainReadRate() {
    zvbench::Pty pty;
    const int slave = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    std::vector<char> buffer(65536);
    const auto start = Clock::now();
    std::thread writer = StartWriter(pty.Master(), TransferBytes);
    std::size_t got = 0;
    while (got < TransferBytes) {
        const ssize_t n = ::read(slave, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    const auto elapsed = Clock::now() - start;
    writer.join();
    ::close(slave);
    return MiBPerSecond(got, elapsed);
}

// ---- The port --------------------------------------------------------------------------------

double PortRate(zv::TSyncMethod sync) {
    zvbench::Pty pty;
    zv::TComPort port;
    port.SetPort(pty.Path());
    port.SetSyncMethod(sync);
    port.SetBaudRate(zv::br256000);
    // A queue that never fills: the driver keeps taking bytes from the pseudo-terminal while
    // the event path is busy (and a full queue has been seen to stall reception, see below).
    port.Buffer()->SetInputSize(4 << 20);
    std::atomic<std::size_t> got{0};
    std::mutex lock;
    std::condition_variable done;
    zv::TComLink link;
    link.OnLinkRxData = [&](zv::TObject*, const void*, std::int32_t n) {
        if (got.fetch_add(static_cast<std::size_t>(n)) + static_cast<std::size_t>(n) >=
            TransferBytes) {
            std::lock_guard<std::mutex> hold(lock);
            done.notify_all();
        }
    };
    port.RegisterLink(&link);
    port.Open();
    const auto start = Clock::now();
    std::thread writer = StartWriter(pty.Master(), TransferBytes);
    if (sync == zv::smNone) {
        std::unique_lock<std::mutex> hold(lock);
        done.wait_for(hold, 20s, [&] { return got.load() >= TransferBytes; });
    } else {
        const auto deadline = Clock::now() + 20s;
        while (got.load() < TransferBytes && Clock::now() < deadline)
            zv::CheckSynchronize(100); // the main loop: sleeps until a hand-off arrives
    }
    const auto elapsed = Clock::now() - start;
    if (got.load() < TransferBytes) {
        std::printf("  (%s: reception stalled after %zu bytes)\n",
                    sync == zv::smNone ? "smNone" : "smThreadSync", got.load());
        ::tcflush(pty.Master(), TCIOFLUSH); // frees the writer
    }
    port.Close();
    writer.join();
    port.UnRegisterLink(&link);
    return MiBPerSecond(got.load(), elapsed);
}

struct Latency {
    double p50 = 0;
    double p99 = 0;
};

Latency Percentiles(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    Latency l;
    l.p50 = us[us.size() / 2];
    l.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return l;
}

// One byte from the far end to the port's link callback, smThreadSync with a main loop.
template <typename Send> Latency PortLatency(const std::string& portName, Send send) {
    zv::TComPort port;
    port.SetPort(portName);
    std::atomic<long long> arrived{0};
    zv::TComLink link;
    link.OnLinkRxData = [&](zv::TObject*, const void*, std::int32_t) {
        arrived = Clock::now().time_since_epoch().count();
    };
    port.RegisterLink(&link);
    port.Open();
    std::vector<double> samples;
    for (int i = 0; i < LatencySamples; ++i) {
        arrived = 0;
        const auto sent = Clock::now();
        send();
        const auto deadline = sent + 2s;
        while (arrived.load() == 0 && Clock::now() < deadline)
            zv::CheckSynchronize(100);
        if (arrived.load() != 0)
            samples.push_back(std::chrono::duration<double, std::micro>(
                                  Clock::duration(arrived.load()) - sent.time_since_epoch())
                                  .count());
        std::this_thread::sleep_for(1ms); // a quiet line between bytes
    }
    port.Close();
    port.UnRegisterLink(&link);
    return Percentiles(samples);
}

// The reference: a thread blocked in poll() on a raw pseudo-terminal, reading each byte.
Latency PlainReadLatency() {
    zvbench::Pty pty;
    const int slave = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    std::atomic<long long> arrived{0};
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        char c;
        while (!stop) {
            pollfd pfd{slave, POLLIN, 0};
            if (::poll(&pfd, 1, 100) > 0 && ::read(slave, &c, 1) == 1)
                arrived = Clock::now().time_since_epoch().count();
        }
    });
    std::vector<double> samples;
    for (int i = 0; i < LatencySamples; ++i) {
        arrived = 0;
        const auto sent = Clock::now();
        if (::write(pty.Master(), "x", 1) != 1)
            break;
        while (arrived.load() == 0 && Clock::now() < sent + 2s)
            std::this_thread::yield();
        if (arrived.load() != 0)
            samples.push_back(std::chrono::duration<double, std::micro>(
                                  Clock::duration(arrived.load()) - sent.time_since_epoch())
                                  .count());
        std::this_thread::sleep_for(1ms);
    }
    stop = true;
    reader.join();
    ::close(slave);
    return Percentiles(samples);
}

// Context switches of every thread but the calling one.
long long OtherThreadsSwitches() {
    long long total = 0;
    const std::string self = std::to_string(::gettid());
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr)
        return 0;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.' || self == e->d_name)
            continue;
        std::ifstream status(std::string("/proc/self/task/") + e->d_name + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::stoll(line.substr(line.find(':') + 1));
    }
    ::closedir(dir);
    return total;
}

double IdleWakeups(const std::string& portName) {
    zv::TComPort port;
    port.SetPort(portName);
    port.SetEvents(zv::AllComEvents);
    port.Open();
    std::this_thread::sleep_for(200ms); // let the threads settle into their waits
    const long long before = OtherThreadsSwitches();
    const auto start = Clock::now();
    std::this_thread::sleep_for(2s);
    const long long after = OtherThreadsSwitches();
    const double seconds = Seconds(Clock::now() - start);
    port.Close();
    return static_cast<double>(after - before) / seconds;
}

void Figure(const char* name, double value) {
    std::printf("figure %s %.2f\n", name, value);
}

} // namespace

int main() {
    std::printf("zbench-port: %zu MiB per throughput run, best of %d\n", TransferBytes >> 20, Runs);

    std::vector<double> plain, threadSync, none, qt;
    for (int i = 0; i < Runs; ++i) {
        plain.push_back(PlainReadRate());
        threadSync.push_back(PortRate(zv::smThreadSync));
        none.push_back(PortRate(zv::smNone));
        const double q = zvbench::QSerialPortRate(TransferBytes);
        if (q > 0)
            qt.push_back(q);
    }
    std::printf("receive over a pseudo-terminal (MiB/s):\n");
    std::printf("  plain read() loop           %8.1f\n", Best(plain));
    std::printf("  port, smThreadSync + link   %8.1f\n", Best(threadSync));
    std::printf("  port, smNone + link         %8.1f\n", Best(none));
    if (!qt.empty())
        std::printf("  QSerialPort readyRead       %8.1f\n", Best(qt));
    else
        std::printf("  QSerialPort readyRead       (not built with Qt SerialPort)\n");

    const Latency plainLat = PlainReadLatency();
    zvbench::Pty pty;
    const Latency ptyLat = PortLatency(pty.Path(), [&] { (void)!::write(pty.Master(), "x", 1); });
    auto line = zv::VirtualLine::Create("ZVBENCHLAT");
    const Latency lineLat = PortLatency(line->Name(), [&] { line->Write("x"); });
    std::printf("latency, far-end byte to link callback (us):  p50      p99\n");
    std::printf("  plain poll()/read() thread, pty       %8.1f %8.1f\n", plainLat.p50,
                plainLat.p99);
    std::printf("  port smThreadSync, pseudo-terminal    %8.1f %8.1f\n", ptyLat.p50, ptyLat.p99);
    std::printf("  port smThreadSync, virtual line       %8.1f %8.1f\n", lineLat.p50, lineLat.p99);

    zvbench::Pty quietPty;
    const double ptyIdle = IdleWakeups(quietPty.Path());
    auto quietLine = zv::VirtualLine::Create("ZVBENCHIDLE");
    const double lineIdle = IdleWakeups(quietLine->Name());
    std::printf("wake-ups per second, open port, all events, quiet line:\n");
    std::printf("  pseudo-terminal %.1f, virtual line %.1f\n", ptyIdle, lineIdle);

    Figure("rx_plain_mib_per_s", Best(plain));
    Figure("rx_port_threadsync_mib_per_s", Best(threadSync));
    Figure("rx_port_none_mib_per_s", Best(none));
    Figure("rx_ratio_vs_read", Best(threadSync) / Best(plain));
    Figure("rx_ratio_vs_read_smnone", Best(none) / Best(plain));
    if (!qt.empty()) {
        Figure("rx_qserialport_mib_per_s", Best(qt));
        Figure("rx_ratio_vs_qserialport", Best(threadSync) / Best(qt));
        Figure("rx_ratio_vs_qserialport_smnone", Best(none) / Best(qt));
    }
    Figure("latency_p50_us_read", plainLat.p50);
    Figure("latency_p99_us_read", plainLat.p99);
    Figure("latency_p50_us_pty", ptyLat.p50);
    Figure("latency_p99_us_pty", ptyLat.p99);
    Figure("latency_p50_us_virtual", lineLat.p50);
    Figure("latency_p99_us_virtual", lineLat.p99);
    Figure("idle_wakeups_per_s", std::max(ptyIdle, lineIdle));
    Figure("idle_wakeups_per_s_pty", ptyIdle);
    Figure("idle_wakeups_per_s_virtual", lineIdle);
    zv::TComThread::WaitForDetached();
    return 0;
}
