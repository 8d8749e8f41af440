// zbench-port's network part: receive throughput of a port on a port server (ser2net on the
// loopback with an RFC 2217 accepter, its device a pseudo-terminal pair whose far end sends the
// pattern) against a plain TCP read() loop of the same server's stream, which only drops the
// telnet commands and undoes the doubled IACs in line and answers nothing. Rounds alternate the
// order; the figure is the median of the per-round ratios. Every received byte is checked; a
// failed run counts as 0.
#include "PortBench.h"
#include "bench/BenchSupport.h"

#include "cport/ComPort.h"
#include "platform/tests/PortServers.h"

#include <arpa/inet.h>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <vector>

namespace zvbench {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t NetworkBytes = 4u << 20; // per run
constexpr int NetworkRounds = 7;

double Checked(const PatternCheck& check, Clock::duration elapsed, const char* who) {
    if (!check.Good() || check.Received() < NetworkBytes) {
        std::printf("  (%s: %s after %zu bytes)\n", who, check.Good() ? "stalled" : "wrong byte",
                    check.Received());
        return 0;
    }
    return MiBPerSecond(check.Received(), elapsed);
}

// ser2net serves one connection at a time and needs a moment to end the last one.
void LetTheServerSettle() {
    std::this_thread::sleep_for(300ms);
}

double TcpReadRate(const zv::test::Ser2net& server) {
    LetTheServerSettle();
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(server.port()));
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return 0;
    }
    timeval limit{20, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::this_thread::sleep_for(100ms); // the server opens its device
    std::vector<std::uint8_t> buffer(65536);
    PatternCheck check;
    // Telnet in line: IAC IAC is a data byte; IAC + verb + option, and IAC SB ... IAC SE, are
    // dropped.
    enum { Data, Iac, Option, Sub, SubIac } state = Data;
    const auto start = Clock::now();
    PatternWriter writer(server.master(), NetworkBytes);
    while (check.Received() < NetworkBytes && check.Good()) {
        const ssize_t n = ::recv(s, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        std::size_t out = 0;
        for (ssize_t i = 0; i < n; ++i) {
            const std::uint8_t b = buffer[static_cast<std::size_t>(i)];
            switch (state) {
            case Data:
                if (b == 255)
                    state = Iac;
                else
                    buffer[out++] = b;
                break;
            case Iac:
                if (b == 255)
                    buffer[out++] = b;
                state = b == 255 ? Data : b == 250 ? Sub : b >= 251 ? Option : Data;
                break;
            case Option:
                state = Data;
                break;
            case Sub:
                state = b == 255 ? SubIac : Sub;
                break;
            case SubIac:
                state = b == 240 ? Data : Sub;
                break;
            }
        }
        check.Feed(buffer.data(), out);
    }
    const auto elapsed = Clock::now() - start;
    writer.Finish(check.Received() >= NetworkBytes);
    ::close(s);
    return Checked(check, elapsed, "TCP read()");
}

double NetworkPortRate(const zv::test::Ser2net& server) {
    LetTheServerSettle();
    zv::TComPort port;
    port.SetPort(server.Name());
    port.SetSyncMethod(zv::smNone);
    PatternCheck check;
    std::atomic<bool> finished{false};
    std::mutex lock;
    std::condition_variable done;
    zv::TComLink link;
    link.OnLinkRxData = [&](zv::TObject*, const void* data, std::int32_t n) {
        check.Feed(data, static_cast<std::size_t>(n));
        if (check.Received() >= NetworkBytes || !check.Good()) {
            std::lock_guard<std::mutex> hold(lock);
            finished = true;
            done.notify_all();
        }
    };
    port.RegisterLink(&link);
    try {
        port.Open();
    } catch (const std::exception& e) {
        std::printf("  (port: %s)\n", e.what());
        port.UnRegisterLink(&link);
        return 0;
    }
    std::this_thread::sleep_for(100ms); // as for the TCP reference
    const auto start = Clock::now();
    PatternWriter writer(server.master(), NetworkBytes);
    {
        std::unique_lock<std::mutex> hold(lock);
        done.wait_until(hold, Clock::now() + 20s, [&] { return finished.load(); });
    }
    const auto elapsed = Clock::now() - start;
    writer.Finish(check.Received() >= NetworkBytes);
    port.Close();
    port.UnRegisterLink(&link);
    return Checked(check, elapsed, "port");
}

} // namespace

void NetworkBench() {
    if (const std::string missing = zv::test::Ser2net::Missing(); !missing.empty()) {
        std::printf("receive through a port server: not measured, %s\n", missing.c_str());
        return;
    }
    zv::test::Ser2net server;
    if (server.port() == 0) {
        std::printf("receive through a port server: not measured, ser2net did not start\n%s",
                    server.Log().c_str());
        return;
    }
    std::vector<double> tcp, port, ratio;
    for (int round = 0; round < NetworkRounds; ++round) {
        double t = 0, p = 0;
        if (round % 2 == 0) {
            t = TcpReadRate(server);
            p = NetworkPortRate(server);
        } else {
            p = NetworkPortRate(server);
            t = TcpReadRate(server);
        }
        tcp.push_back(t);
        port.push_back(p);
        ratio.push_back(t > 0 ? p / t : 0);
    }
    std::printf("receive through ser2net on the loopback, %zu MiB a run, every byte checked "
                "(MiB/s):\n",
                NetworkBytes >> 20);
    auto row = [](const char* label, const std::vector<double>& v, const char* format) {
        std::printf("  %-28s", label);
        for (double x : v)
            std::printf(format, x);
        std::printf("\n");
    };
    row("plain TCP read()", tcp, " %7.1f");
    row("port smNone, RFC 2217", port, " %7.1f");
    row("ratio port/TCP", ratio, " %7.2f");
    Figure("rx_tcp_mib_per_s", Median(tcp));
    Figure("rx_rfc2217_mib_per_s", Median(port));
    Figure("rx_ratio_rfc2217_vs_tcp", Median(ratio));
}

} // namespace zvbench
