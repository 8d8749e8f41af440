// zbench-framer: the packet framer's throughput, measured against references run in the same
// program on the same data.
//
// - Long packets: 64 KiB packets arriving in 64-byte blocks with no buffer limit, against
//   64-byte packets in 64-byte blocks. A framer whose cost per byte grew with the buffer's
//   length would fall far behind here.
// - Plain throughput: lines of 16 to 128 bytes ending in LF, in 4 KiB blocks, against a bare
//   memchr line splitter. Both hand each line, without its LF, to a callback as a std::string.
//
// Times are the process's processor time (std::clock), not wall-clock time: on a machine shared
// with other work the program is often not running at all, and that should not count against
// whichever side happened to be waiting. The runs alternate round by round, the order rotating,
// and each figure is the median of the per-round ratios. Every run's packets are counted and
// their bytes summed against what the data holds; a run that is wrong fails the program before
// any figure is printed.
//
// Each figure is printed once more as "figure NAME VALUE".
#include "bench/BenchSupport.h"
#include "cport/ComDataPacket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int Rounds = 9;

// Processor time used by the program so far, in seconds.
double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

double MiBPerSecond(std::size_t bytes, double seconds) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / std::max(seconds, 1e-9);
}

// Packets of `packet` bytes (the last one LF), repeated up to about `total` bytes.
std::string Packets(std::size_t packet, std::size_t total) {
    std::string one(packet - 1, 'x');
    one += '\n';
    std::string data;
    data.reserve(total + packet);
    while (data.size() < total)
        data += one;
    return data;
}

// Lines of 16 to 128 bytes (LF included), from a fixed pseudo-random sequence.
std::string Lines(std::size_t total) {
    std::string data;
    data.reserve(total + 128);
    std::uint32_t seed = 12345;
    while (data.size() < total) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t length = 16 + (seed >> 16) % 113;
        for (std::size_t i = 0; i + 1 < length; ++i)
            data += static_cast<char>('a' + (i * 7 + length) % 26);
        data += '\n';
    }
    return data;
}

struct Result {
    double mibPerSecond = 0;
    std::size_t packets = 0;
    std::size_t bytes = 0;
};

// Feeds `data` in blocks of `block` bytes to a framer that ends packets at LF.
Result RunFramer(const std::string& data, std::size_t block) {
    zv::TComDataPacket framer;
    framer.SetStopString("\n");
    framer.SetMaxBufferSize(0);
    Result r;
    framer.OnPacket = [&r](zv::TObject*, const std::string& p) {
        ++r.packets;
        r.bytes += p.size();
    };
    const std::string_view all(data);
    const double t0 = CpuSeconds();
    for (std::size_t at = 0; at < all.size(); at += block)
        framer.AddData(all.substr(at, block));
    r.mibPerSecond = MiBPerSecond(data.size(), CpuSeconds() - t0);
    return r;
}

// The reference: a bare line splitter that finds LF with memchr and carries a partial line over
// to the next block.
Result RunMemchr(const std::string& data, std::size_t block) {
    Result r;
    const std::function<void(const std::string&)> onLine = [&r](const std::string& line) {
        ++r.packets;
        r.bytes += line.size();
    };
    std::string carry;
    const double t0 = CpuSeconds();
    for (std::size_t at = 0; at < data.size(); at += block) {
        const char* p = data.data() + at;
        const char* end = p + std::min(block, data.size() - at);
        while (p < end) {
            const auto* lf = static_cast<const char*>(std::memchr(p, '\n', end - p));
            if (lf == nullptr) {
                carry.append(p, end);
                break;
            }
            if (carry.empty()) {
                onLine(std::string(p, lf));
            } else {
                carry.append(p, lf);
                onLine(carry);
                carry.clear();
            }
            p = lf + 1;
        }
    }
    r.mibPerSecond = MiBPerSecond(data.size(), CpuSeconds() - t0);
    return r;
}

// The run's rate when it handed over `packets` packets of `bytes` bytes in all (LFs left out),
// else 0 after saying what it got.
double Checked(const char* what, const Result& r, std::size_t packets, std::size_t bytes) {
    if (r.packets == packets && r.bytes == bytes)
        return r.mibPerSecond;
    std::fprintf(stderr,
                 "zbench-framer: %s: %zu packets of %zu bytes in all, expected %zu of %zu\n", what,
                 r.packets, r.bytes, packets, bytes);
    return 0;
}

} // namespace

int main() {
    constexpr std::size_t Total = 8u << 20;

    const std::string shortPackets = Packets(64, Total);
    const std::string longPackets = Packets(64 * 1024, Total);
    const std::string lines = Lines(2 * Total);
    const std::size_t shortCount = shortPackets.size() / 64;
    const std::size_t longCount = longPackets.size() / (64 * 1024);
    const auto lineCount = static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n'));

    const std::vector<std::vector<double>> rates = zvbench::RotatingRounds(
        Rounds, {
                    [&] {
                        return Checked("64-byte packets", RunFramer(shortPackets, 64), shortCount,
                                       shortPackets.size() - shortCount);
                    },
                    [&] {
                        return Checked("64 KiB packets", RunFramer(longPackets, 64), longCount,
                                       longPackets.size() - longCount);
                    },
                    [&] {
                        return Checked("framer on lines", RunFramer(lines, 4096), lineCount,
                                       lines.size() - lineCount);
                    },
                    [&] {
                        return Checked("memchr on lines", RunMemchr(lines, 4096), lineCount,
                                       lines.size() - lineCount);
                    },
                });
    if (rates.empty()) {
        std::fprintf(stderr, "zbench-framer: a run failed; no figures\n");
        return 1;
    }
    const std::vector<double>& shortRuns = rates[0];
    const std::vector<double>& longRuns = rates[1];
    const std::vector<double>& framerRuns = rates[2];
    const std::vector<double>& memchrRuns = rates[3];
    const double longRatio = zvbench::Median(zvbench::RoundRatios(longRuns, shortRuns));
    const double memchrRatio = zvbench::Median(zvbench::RoundRatios(framerRuns, memchrRuns));

    std::printf("median of %d rounds, the order rotating, CPU time:\n", Rounds);
    std::printf("64-byte packets, 64-byte blocks:  %8.1f MiB/s\n", zvbench::Median(shortRuns));
    std::printf("64 KiB packets, 64-byte blocks:   %8.1f MiB/s\n", zvbench::Median(longRuns));
    std::printf("lines of 16-128 bytes, 4 KiB blocks: framer %8.1f MiB/s, memchr %8.1f MiB/s\n",
                zvbench::Median(framerRuns), zvbench::Median(memchrRuns));
    std::printf("ratios (median of the rounds' ratios): long/short packets %.3f, framer/memchr "
                "%.3f\n",
                longRatio, memchrRatio);

    zvbench::Figure("framer_long_packet_ratio", longRatio, 3);
    zvbench::Figure("framer_ratio_vs_memchr", memchrRatio, 3);
    return 0;
}
