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
// whichever side happened to be waiting. Each side is the best of several interleaved runs.
//
// Each figure is printed once more as "figure NAME VALUE".
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

constexpr int Runs = 9;

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

double Best(const std::vector<double>& v) {
    return *std::max_element(v.begin(), v.end());
}

} // namespace

int main() {
    constexpr std::size_t Total = 8u << 20;

    const std::string shortPackets = Packets(64, Total);
    const std::string longPackets = Packets(64 * 1024, Total);
    std::vector<double> shortRuns, longRuns;
    for (int i = 0; i < Runs; ++i) {
        const Result s = RunFramer(shortPackets, 64);
        const Result l = RunFramer(longPackets, 64);
        if (s.packets != shortPackets.size() / 64 || l.packets != longPackets.size() / 65536) {
            std::fprintf(stderr, "zbench-framer: wrong packet count\n");
            return 1;
        }
        shortRuns.push_back(s.mibPerSecond);
        longRuns.push_back(l.mibPerSecond);
    }
    std::printf("64-byte packets, 64-byte blocks:  %8.1f MiB/s\n", Best(shortRuns));
    std::printf("64 KiB packets, 64-byte blocks:   %8.1f MiB/s\n", Best(longRuns));
    const double longRatio = Best(longRuns) / Best(shortRuns);

    const std::string lines = Lines(2 * Total);
    std::vector<double> framerRuns, memchrRuns;
    for (int i = 0; i < Runs; ++i) {
        const Result f = RunFramer(lines, 4096);
        const Result m = RunMemchr(lines, 4096);
        if (f.packets != m.packets || f.bytes != m.bytes) {
            std::fprintf(stderr, "zbench-framer: the framer and the reference disagree\n");
            return 1;
        }
        framerRuns.push_back(f.mibPerSecond);
        memchrRuns.push_back(m.mibPerSecond);
    }
    std::printf("lines of 16-128 bytes, 4 KiB blocks: framer %8.1f MiB/s, memchr %8.1f MiB/s\n",
                Best(framerRuns), Best(memchrRuns));
    const double memchrRatio = Best(framerRuns) / Best(memchrRuns);

    std::printf("figure framer_long_packet_ratio %.3f\n", longRatio);
    std::printf("figure framer_ratio_vs_memchr %.3f\n", memchrRatio);
    return 0;
}
