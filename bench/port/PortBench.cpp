// zbench-port: the port component's event path, measured against references run in the same
// program on the same kind of line. The port runs at its default settings throughout (1 KiB
// input queue, default time-outs); nothing is tuned for the benchmark.
//
// - Receive throughput over a pseudo-terminal pair: a link taking the data through the whole
//   event path (smThreadSync with a main loop serving the hand-offs; and smNone), against a
//   plain blocking read() loop, a poll() thread handing blocks to the main thread (what any
//   receiver with smThreadSync's two wake-ups costs) and (when built with Qt) QSerialPort's
//   readyRead. Every received byte is checked against the sent pattern. Each round runs every
//   reader once, in an order that rotates from round to round; a figure is the median of the
//   per-round ratios.
// - Latency from the far end writing one byte to the link callback (p50, p99), at least 2000
//   samples each, in every hand-off mode on a pseudo-terminal and in smThreadSync on a virtual
//   line. The reference is a thread blocked in poll() on a raw pseudo-terminal that then
//   read()s the byte; its samples are taken in the same rounds, alternating with the port's.
//   The same runs give a second reference, the moment the waiting sender has the byte from the
//   reader: one thread handing on to another, the two wake-ups smThreadSync has by design.
// - Wake-ups per second of an open port with all ten events enabled and a quiet line: the
//   context switches of every thread of the process except the main one, which sleeps.
//
// - Receive throughput through a port server on the loopback against a plain TCP read of the
//   same server's stream (NetworkBench.cpp).
//
// Each figure is printed once more as "figure NAME VALUE".
#include "PortBench.h"
#include "bench/BenchSupport.h"

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
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using zvbench::Clock;
using namespace std::chrono_literals;

constexpr std::size_t TransferBytes = 32u << 20; // per throughput run
constexpr int Rounds = 9;
constexpr int LatencyRounds = 8;
constexpr int SamplesPerRound = 256; // 2048 per figure
// A byte that has not reached the receiver after this long is counted as taking this long: a
// lost wake-up must show in the percentiles, not leave the figure with fewer samples.
constexpr auto SampleLimit = std::chrono::seconds(2);

// A run that did not receive everything, or received a wrong byte, counts as 0 MiB/s.
double Rate(const zvbench::PatternCheck& check, Clock::duration elapsed, const char* who) {
    if (!check.Good()) {
        std::printf("  (%s: wrong byte at stream position %zu)\n", who, check.BadAt());
        return 0;
    }
    if (check.Received() < TransferBytes) {
        std::printf("  (%s: reception stalled after %zu bytes)\n", who, check.Received());
        return 0;
    }
    return zvbench::MiBPerSecond(check.Received(), elapsed);
}

void MakeRaw(int fd) {
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
}

// ---- Throughput --------------------------------------------------------------------------------

double PlainReadRate() {
    zvbench::Pty pty;
    const int slave = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    MakeRaw(slave);
    std::vector<char> buffer(65536);
    zvbench::PatternCheck check;
    const auto start = Clock::now();
    zvbench::PatternWriter writer(pty.Master(), TransferBytes);
    while (check.Received() < TransferBytes && check.Good()) {
        const ssize_t n = ::read(slave, buffer.data(), buffer.size());
        if (n <= 0)
            break;
        check.Feed(buffer.data(), static_cast<std::size_t>(n));
    }
    const auto elapsed = Clock::now() - start;
    writer.Finish(check.Received() >= TransferBytes);
    ::close(slave);
    return Rate(check, elapsed, "read()");
}

// The least any receiver that hands data from a reading thread to the main thread does (as the
// port's smThreadSync does by design): a thread blocked in poll() reads what the device has and
// hands it over; the main thread, woken, takes all that was handed over since and checks it.
// Its ratio to the plain loop shows what the hand-off itself costs on this machine, apart from
// the port's own code.
double HandOffRate() {
    zvbench::Pty pty;
    const int slave = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    MakeRaw(slave);
    const int stop = ::eventfd(0, EFD_CLOEXEC);
    std::mutex lock;
    std::condition_variable handedOver;
    std::vector<char> shared;
    bool ended = false; // the reader found the device gone
    std::thread reader([&] {
        std::vector<char> buffer(65536);
        for (;;) {
            pollfd fds[2] = {{slave, POLLIN, 0}, {stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                break;
            if (fds[1].revents & POLLIN)
                return;
            const ssize_t n = ::read(slave, buffer.data(), buffer.size());
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0)
                break;
            {
                std::lock_guard<std::mutex> hold(lock);
                shared.insert(shared.end(), buffer.data(), buffer.data() + n);
            }
            handedOver.notify_one();
        }
        std::lock_guard<std::mutex> hold(lock);
        ended = true;
        handedOver.notify_one();
    });
    zvbench::PatternCheck check;
    std::vector<char> mine;
    const auto start = Clock::now();
    zvbench::PatternWriter writer(pty.Master(), TransferBytes);
    const auto deadline = start + 20s;
    while (check.Received() < TransferBytes && check.Good()) {
        {
            std::unique_lock<std::mutex> hold(lock);
            if (!handedOver.wait_until(hold, deadline, [&] { return !shared.empty() || ended; }))
                break;
            if (shared.empty())
                break;
            mine.swap(shared);
        }
        check.Feed(mine.data(), mine.size());
        mine.clear();
    }
    const auto elapsed = Clock::now() - start;
    const std::uint64_t one = 1;
    (void)!::write(stop, &one, sizeof one);
    reader.join();
    writer.Finish(check.Received() >= TransferBytes);
    ::close(stop);
    ::close(slave);
    return Rate(check, elapsed, "hand-off");
}

// Link callbacks of the throughput runs and the bytes they carried, per hand-off mode.
struct HandOffs {
    std::size_t Blocks = 0;
    std::size_t Bytes = 0;

    double BytesEach() const {
        return Blocks == 0 ? 0 : static_cast<double>(Bytes) / static_cast<double>(Blocks);
    }
};
HandOffs HandOffsThreadSync, HandOffsNone;

double PortRate(zv::TSyncMethod sync) {
    const char* name = sync == zv::smNone ? "smNone" : "smThreadSync";
    zvbench::Pty pty;
    zv::TComPort port;
    port.SetPort(pty.Path());
    port.SetSyncMethod(sync);
    zvbench::PatternCheck check;
    std::atomic<bool> finished{false};
    std::mutex lock;
    std::condition_variable done;
    zv::TComLink link;
    std::size_t blocks = 0;
    link.OnLinkRxData = [&](zv::TObject*, const void* data, std::int32_t n) {
        ++blocks;
        check.Feed(data, static_cast<std::size_t>(n));
        if (check.Received() >= TransferBytes || !check.Good()) {
            std::lock_guard<std::mutex> hold(lock);
            finished = true;
            done.notify_all();
        }
    };
    port.RegisterLink(&link);
    port.Open();
    const auto start = Clock::now();
    zvbench::PatternWriter writer(pty.Master(), TransferBytes);
    const auto deadline = Clock::now() + 20s;
    if (sync == zv::smNone) {
        std::unique_lock<std::mutex> hold(lock);
        done.wait_until(hold, deadline, [&] { return finished.load(); });
    } else {
        while (!finished && Clock::now() < deadline)
            zv::CheckSynchronize(100); // the main loop: sleeps until a hand-off arrives
    }
    const auto elapsed = Clock::now() - start;
    port.Close();
    writer.Finish(check.Received() >= TransferBytes); // a wrong byte ends the run early too
    port.UnRegisterLink(&link);
    HandOffs& tally = sync == zv::smNone ? HandOffsNone : HandOffsThreadSync;
    tally.Blocks += blocks;
    tally.Bytes += check.Received();
    return Rate(check, elapsed, name);
}

// ---- Latency -----------------------------------------------------------------------------------

// Samples in microseconds, from the far end's write to the moment the receiver had the byte;
// and the context switches of the whole process while they were taken (every thread of the
// receiver and the sender), which do not depend on what else the machine runs.
struct Samples {
    std::vector<double> Us;
    long long Switches = 0;
    std::size_t Lost = 0; // bytes that had not arrived at SampleLimit, counted as SampleLimit

    void push_back(double us) { Us.push_back(us); }
    void Missed() {
        ++Lost;
        Us.push_back(std::chrono::duration<double, std::micro>(SampleLimit).count());
    }
    double PerSample() const {
        return Us.empty() ? 0 : static_cast<double>(Switches) / static_cast<double>(Us.size());
    }
};

double Micros(Clock::time_point from, long long to) {
    return std::chrono::duration<double, std::micro>(Clock::duration(to) - from.time_since_epoch())
        .count();
}

// Where a receiver stamps the arrival and the sender waits for it without spinning.
struct Arrival {
    std::mutex Lock;
    std::condition_variable Cv;
    long long Stamp = 0;

    void Mark() {
        const long long now = Clock::now().time_since_epoch().count();
        std::lock_guard<std::mutex> hold(Lock);
        Stamp = now;
        Cv.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> hold(Lock);
        Stamp = 0;
    }
    long long Wait(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> hold(Lock);
        Cv.wait_for(hold, limit, [&] { return Stamp != 0; });
        return Stamp;
    }
    long long Peek() {
        std::lock_guard<std::mutex> hold(Lock);
        return Stamp;
    }
};

// The reference: a thread blocked in poll() on a raw pseudo-terminal (and an eventfd that ends
// it), reading each byte as it comes. The sender is woken by the reader: the moment it has the
// byte is a second figure, the least that a receiver handing each byte from its own thread to a
// waiting main thread costs (two threads woken one after the other, as in smThreadSync).
void PollReadLatency(Samples& out, Samples& handedOn) {
    zvbench::Pty pty;
    const int slave = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
    MakeRaw(slave);
    const int stopFd = ::eventfd(0, EFD_CLOEXEC);
    Arrival arrival;
    std::thread reader([&] {
        for (;;) {
            pollfd fds[2] = {{slave, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (fds[1].revents != 0)
                return;
            char c;
            if ((fds[0].revents & POLLIN) && ::read(slave, &c, 1) == 1)
                arrival.Mark();
        }
    });
    std::this_thread::sleep_for(1ms); // the reader is in its wait
    const long long switches = zvbench::ThreadSwitches(true);
    for (int i = 0; i < SamplesPerRound; ++i) {
        arrival.Reset();
        const auto sent = Clock::now();
        if (::write(pty.Master(), "x", 1) != 1)
            break;
        if (const long long stamp = arrival.Wait(SampleLimit)) {
            out.push_back(Micros(sent, stamp));
            handedOn.push_back(Micros(sent, Clock::now().time_since_epoch().count()));
        } else {
            out.Missed();
            handedOn.Missed();
        }
        std::this_thread::sleep_for(1ms); // a quiet line between bytes
    }
    out.Switches += zvbench::ThreadSwitches(true) - switches;
    handedOn.Switches = out.Switches;
    const std::uint64_t one = 1;
    (void)!::write(stopFd, &one, sizeof one);
    reader.join();
    ::close(stopFd);
    ::close(slave);
}

// One byte from the far end to the port's link callback. In smNone the callback runs on the
// event thread and the main thread sleeps until it has run; in the other modes the main thread
// serves the hand-offs and the callback runs there.
void PortLatency(const std::string& portName, zv::TSyncMethod sync,
                 const std::function<void()>& send, Samples& out) {
    zv::TComPort port;
    port.SetPort(portName);
    port.SetSyncMethod(sync);
    Arrival arrival;
    zv::TComLink link;
    link.OnLinkRxData = [&](zv::TObject*, const void*, std::int32_t) { arrival.Mark(); };
    port.RegisterLink(&link);
    port.Open();
    std::this_thread::sleep_for(1ms); // the port's threads are in their waits
    const long long switches = zvbench::ThreadSwitches(true);
    for (int i = 0; i < SamplesPerRound; ++i) {
        arrival.Reset();
        const auto sent = Clock::now();
        send();
        long long stamp = 0;
        if (sync == zv::smNone) {
            stamp = arrival.Wait(SampleLimit);
        } else {
            const auto deadline = sent + SampleLimit;
            while ((stamp = arrival.Peek()) == 0 && Clock::now() < deadline)
                zv::CheckSynchronize(100);
        }
        if (stamp != 0)
            out.push_back(Micros(sent, stamp));
        else
            out.Missed();
        std::this_thread::sleep_for(1ms);
        zv::CheckSynchronize(0); // a hand-off left over from a late sample
    }
    out.Switches += zvbench::ThreadSwitches(true) - switches; // before the threads end
    port.Close();
    port.UnRegisterLink(&link);
}

struct LatencyCase {
    const char* Label;
    const char* Name; // figure name part
    std::function<void(Samples&)> Run;
    Samples Us;
};

double IdleWakeups(const std::string& portName) {
    zv::TComPort port;
    port.SetPort(portName);
    port.SetEvents(zv::AllComEvents);
    port.Open();
    std::this_thread::sleep_for(200ms); // let the threads settle into their waits
    const long long before = zvbench::OtherThreadsSwitches();
    const auto start = Clock::now();
    std::this_thread::sleep_for(2s);
    const long long after = zvbench::OtherThreadsSwitches();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    port.Close();
    return static_cast<double>(after - before) / seconds;
}

void PrintRow(const char* label, const std::vector<double>& v, const char* format) {
    std::printf("  %-28s", label);
    for (double x : v)
        std::printf(format, x);
    std::printf("\n");
}

// Throughput, round by round.
void ReceiveFigures() {
    std::vector<double> plain, threadSync, none, qt, handOff;
    std::vector<double> ratioThreadSync, ratioNone, ratioQt, ratioQtNone, ratioQtHandOff,
        ratioHandOff, ratioVsHandOff;
    // The CPU time of the whole process (writer and receiver) per run, which the machine's load
    // moves far less than the wall clock: the reference's divided by ours.
    std::vector<double> cpuRatioThreadSync, cpuRatioNone;
    for (int round = 0; round < Rounds; ++round) {
        double p = 0, ts = 0, nn = 0, q = 0, h = 0;
        double cpu[3] = {};
        const auto timed = [](double& seconds, const std::function<double()>& run) {
            const double start = zvbench::ProcessCpuSeconds();
            const double rate = run();
            seconds = zvbench::ProcessCpuSeconds() - start;
            return rate;
        };
        const std::function<void()> runs[] = {
            [&] { p = timed(cpu[0], PlainReadRate); },
            [&] { ts = timed(cpu[1], [] { return PortRate(zv::smThreadSync); }); },
            [&] { nn = timed(cpu[2], [] { return PortRate(zv::smNone); }); },
            [&] { q = zvbench::QSerialPortRate(TransferBytes); },
            [&] { h = HandOffRate(); },
        };
        constexpr int kinds = static_cast<int>(std::size(runs));
        for (int k = 0; k < kinds; ++k)
            runs[(round + k) % kinds]();
        plain.push_back(p);
        threadSync.push_back(ts);
        none.push_back(nn);
        ratioThreadSync.push_back(p > 0 ? ts / p : 0);
        ratioNone.push_back(p > 0 ? nn / p : 0);
        handOff.push_back(h);
        ratioHandOff.push_back(p > 0 ? h / p : 0);
        ratioVsHandOff.push_back(h > 0 ? ts / h : 0);
        // A failed run counts as 0 here as in the throughput figures, so that it cannot drop out.
        cpuRatioThreadSync.push_back(p > 0 && ts > 0 && cpu[1] > 0 ? cpu[0] / cpu[1] : 0);
        cpuRatioNone.push_back(p > 0 && nn > 0 && cpu[2] > 0 ? cpu[0] / cpu[2] : 0);
        if (q != 0) { // 0: built without Qt SerialPort; negative: the reference failed this round
            qt.push_back(std::max(q, 0.0));
            ratioQt.push_back(q > 0 ? ts / q : 0);
            ratioQtNone.push_back(q > 0 ? nn / q : 0);
            ratioQtHandOff.push_back(q > 0 ? h / q : 0);
        }
    }
    std::printf("receive over a pseudo-terminal, %zu MiB a run, every byte checked (MiB/s):\n",
                TransferBytes >> 20);
    PrintRow("plain read() loop", plain, " %7.1f");
    PrintRow("port smThreadSync + link", threadSync, " %7.1f");
    PrintRow("port smNone + link", none, " %7.1f");
    if (!qt.empty())
        PrintRow("QSerialPort readyRead", qt, " %7.1f");
    else
        std::printf("  QSerialPort readyRead       (not built with Qt SerialPort)\n");
    PrintRow("poll() thread handing over", handOff, " %7.1f");
    PrintRow("ratio smThreadSync/read()", ratioThreadSync, " %7.2f");
    PrintRow("ratio smNone/read()", ratioNone, " %7.2f");
    if (!qt.empty()) {
        PrintRow("ratio smThreadSync/QSerialPort", ratioQt, " %7.2f");
        PrintRow("ratio hand-off/QSerialPort", ratioQtHandOff, " %7.2f");
    }
    PrintRow("ratio hand-off/read()", ratioHandOff, " %7.2f");
    PrintRow("ratio smThreadSync/hand-off", ratioVsHandOff, " %7.2f");
    PrintRow("CPU read()/smThreadSync", cpuRatioThreadSync, " %7.2f");
    PrintRow("CPU read()/smNone", cpuRatioNone, " %7.2f");
    std::printf("  bytes per link callback: smThreadSync %.0f, smNone %.0f\n",
                HandOffsThreadSync.BytesEach(), HandOffsNone.BytesEach());

    zvbench::Figure("rx_plain_mib_per_s", zvbench::Median(plain));
    zvbench::Figure("rx_port_threadsync_mib_per_s", zvbench::Median(threadSync));
    zvbench::Figure("rx_port_none_mib_per_s", zvbench::Median(none));
    zvbench::Figure("rx_ratio_vs_read_threadsync", zvbench::Median(ratioThreadSync));
    zvbench::Figure("rx_ratio_vs_read_none", zvbench::Median(ratioNone));
    zvbench::Figure("rx_cpu_ratio_vs_read_threadsync", zvbench::Median(cpuRatioThreadSync));
    zvbench::Figure("rx_cpu_ratio_vs_read_none", zvbench::Median(cpuRatioNone));
    zvbench::Figure("rx_handoff_mib_per_s", zvbench::Median(handOff));
    zvbench::Figure("rx_ratio_handoff_vs_read", zvbench::Median(ratioHandOff));
    zvbench::Figure("rx_ratio_threadsync_vs_handoff", zvbench::Median(ratioVsHandOff));
    if (!qt.empty()) {
        zvbench::Figure("rx_qserialport_mib_per_s", zvbench::Median(qt));
        zvbench::Figure("rx_ratio_vs_qserialport", zvbench::Median(ratioQt));
        zvbench::Figure("rx_ratio_vs_qserialport_none", zvbench::Median(ratioQtNone));
        // The bare hand-off against the single-threaded reference: what any receiver with
        // smThreadSync's two wake-ups can reach on this machine, before the port's own code.
        zvbench::Figure("rx_ratio_handoff_vs_qserialport", zvbench::Median(ratioQtHandOff));
    }
}

// Latency, the cases alternating round by round.
void LatencyFigures() {
    zvbench::Pty pty;
    auto line = zv::VirtualLine::Create("ZVBENCHLAT");
    const auto ptySend = [&] { (void)!::write(pty.Master(), "x", 1); };
    const auto lineSend = [&] { line->Write("x"); };
    Samples handedOn; // taken with the reference's samples
    LatencyCase cases[] = {
        {"poll()/read() thread, pty",
         "poll",
         [&](Samples& s) { PollReadLatency(s, handedOn); },
         {}},
        {"port smThreadSync, pty",
         "threadsync",
         [&](Samples& s) { PortLatency(pty.Path(), zv::smThreadSync, ptySend, s); },
         {}},
        {"port smNone, pty",
         "none",
         [&](Samples& s) { PortLatency(pty.Path(), zv::smNone, ptySend, s); },
         {}},
        {"port smWindowSync, pty",
         "windowsync",
         [&](Samples& s) { PortLatency(pty.Path(), zv::smWindowSync, ptySend, s); },
         {}},
        {"port smThreadSync, virtual",
         "threadsync_virtual",
         [&](Samples& s) { PortLatency(line->Name(), zv::smThreadSync, lineSend, s); },
         {}},
    };
    for (int round = 0; round < LatencyRounds; ++round)
        for (LatencyCase& c : cases)
            c.Run(c.Us);
    const double refP50 = zvbench::Percentile(cases[0].Us.Us, 0.50);
    const double refP99 = zvbench::Percentile(cases[0].Us.Us, 0.99);
    const double refSwitches = cases[0].Us.PerSample();
    std::printf("latency, far-end byte to the receiver (us):   samples     p50      p99   "
                "p50/ref  p99/ref  switches/sample\n");
    for (const LatencyCase& c : cases) {
        const double p50 = zvbench::Percentile(c.Us.Us, 0.50);
        const double p99 = zvbench::Percentile(c.Us.Us, 0.99);
        std::printf("  %-40s %7zu %8.1f %8.1f %8.2f %8.2f %8.2f\n", c.Label, c.Us.Us.size(), p50,
                    p99, refP50 > 0 ? p50 / refP50 : 0, refP99 > 0 ? p99 / refP99 : 0,
                    c.Us.PerSample());
    }
    for (const LatencyCase& c : cases)
        if (c.Us.Lost > 0)
            std::printf("  (%s: %zu bytes not received within %lld s, counted as that long)\n",
                        c.Label, c.Us.Lost, static_cast<long long>(SampleLimit.count()));
    const double handedP50 = zvbench::Percentile(handedOn.Us, 0.50);
    const double handedP99 = zvbench::Percentile(handedOn.Us, 0.99);
    std::printf("  %-40s %7zu %8.1f %8.1f %8.2f %8.2f %8.2f\n",
                "poll()/read() thread, handed to main", handedOn.Us.size(), handedP50, handedP99,
                refP50 > 0 ? handedP50 / refP50 : 0, refP99 > 0 ? handedP99 / refP99 : 0,
                handedOn.PerSample());

    for (const LatencyCase& c : cases) {
        const std::string name = c.Name;
        zvbench::Figure(("latency_p50_us_" + name).c_str(), zvbench::Percentile(c.Us.Us, 0.50));
        zvbench::Figure(("latency_p99_us_" + name).c_str(), zvbench::Percentile(c.Us.Us, 0.99));
        zvbench::Figure(("latency_switches_per_sample_" + name).c_str(), c.Us.PerSample());
    }
    const LatencyCase& pty1 = cases[1];
    zvbench::Figure("latency_p50_ratio_vs_poll",
                    refP50 > 0 ? zvbench::Percentile(pty1.Us.Us, 0.50) / refP50 : 0);
    zvbench::Figure("latency_p99_ratio_vs_poll",
                    refP99 > 0 ? zvbench::Percentile(pty1.Us.Us, 0.99) / refP99 : 0);
    zvbench::Figure("latency_switches_ratio_vs_poll",
                    refSwitches > 0 ? pty1.Us.PerSample() / refSwitches : 0);
    // Against the hand-off reference: what the port adds to the two wake-ups of its design.
    zvbench::Figure("latency_p50_us_poll_handoff", handedP50);
    zvbench::Figure("latency_p99_us_poll_handoff", handedP99);
    zvbench::Figure("latency_p50_ratio_vs_poll_handoff",
                    handedP50 > 0 ? zvbench::Percentile(pty1.Us.Us, 0.50) / handedP50 : 0);
    zvbench::Figure("latency_p99_ratio_vs_poll_handoff",
                    handedP99 > 0 ? zvbench::Percentile(pty1.Us.Us, 0.99) / handedP99 : 0);
    for (std::size_t i = 2; i < std::size(cases); ++i) {
        const std::string name = cases[i].Name;
        zvbench::Figure(("latency_p50_ratio_vs_poll_" + name).c_str(),
                        refP50 > 0 ? zvbench::Percentile(cases[i].Us.Us, 0.50) / refP50 : 0);
        zvbench::Figure(("latency_p99_ratio_vs_poll_" + name).c_str(),
                        refP99 > 0 ? zvbench::Percentile(cases[i].Us.Us, 0.99) / refP99 : 0);
    }
}

void IdleFigures() {
    zvbench::Pty quietPty;
    const double ptyIdle = IdleWakeups(quietPty.Path());
    auto quietLine = zv::VirtualLine::Create("ZVBENCHIDLE");
    const double lineIdle = IdleWakeups(quietLine->Name());
    std::printf("wake-ups per second, open port, all events, quiet line:\n");
    std::printf("  pseudo-terminal %.1f, virtual line %.1f\n", ptyIdle, lineIdle);

    zvbench::Figure("idle_wakeups_per_s", std::max(ptyIdle, lineIdle));
    zvbench::Figure("idle_wakeups_per_s_pty", ptyIdle);
    zvbench::Figure("idle_wakeups_per_s_virtual", lineIdle);
}

} // namespace

// With no argument every part runs; otherwise only those named: rx, latency, idle, network.
int main(int argc, char** argv) {
    const auto wanted = [&](const char* part) {
        if (argc < 2)
            return true;
        for (int i = 1; i < argc; ++i)
            if (std::strcmp(argv[i], part) == 0)
                return true;
        return false;
    };
    std::printf("zbench-port: load average %s; port at its default settings\n",
                zvbench::LoadAverage().c_str());
    if (wanted("rx"))
        ReceiveFigures();
    if (wanted("latency"))
        LatencyFigures();
    if (wanted("idle"))
        IdleFigures();
    if (wanted("network"))
        zvbench::NetworkBench();
    zv::TComThread::WaitForDetached();
    return 0;
}
