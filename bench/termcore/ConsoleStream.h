// The console stream the terminal benchmarks feed: lines of words with CR LF, with the cursor
// moves, erases and attribute changes a console application sends between them. Deterministic,
// so every run and every program parses the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zvbench {

// A small deterministic generator (xorshift64*), so every run parses the same bytes.
class ConsoleRandom {
public:
    std::uint32_t Next(std::uint32_t Bound) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return static_cast<std::uint32_t>((state * 0x2545F4914F6CDD1DULL) >> 32) % Bound;
    }

private:
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
};

// Lines of words with CR LF, with the sequences a console application sends between them.
inline std::string MakeConsoleStream(std::size_t Size) {
    static const char* const words[] = {
        "boot",  "kernel",    "ok",    "eth0",     "link",    "up",      "100Mbps", "full-duplex",
        "mount", "/dev/sda1", "ext4",  "ready",    "login:",  "root",    "uptime",  "load",
        "0.42",  "error",     "retry", "[  OK  ]", "started", "service", "serial",  "ttyS0"};
    constexpr std::uint32_t wordCount = sizeof(words) / sizeof(words[0]);
    const std::string esc(1, '\x1B');
    ConsoleRandom random;
    std::string out;
    out.reserve(Size + 256);
    while (out.size() < Size) {
        const std::uint32_t kind = random.Next(100);
        if (kind < 12) {
            out += esc + "[" + std::to_string(1 + random.Next(24)) + ";" +
                   std::to_string(1 + random.Next(80)) + "H";
        } else if (kind < 20) {
            out += esc + "[K";
        } else if (kind < 22) {
            out += esc + "[" + std::to_string(1 + random.Next(5)) + "A";
        } else if (kind < 23) {
            out += esc + "[2J" + esc + "[H";
        }
        const bool highlight = random.Next(5) == 0;
        if (highlight)
            out += esc + (random.Next(2) == 0 ? "[1m" : "[1;7m");
        const std::uint32_t wordsInLine = 3 + random.Next(8);
        for (std::uint32_t i = 0; i < wordsInLine; ++i) {
            if (i > 0)
                out += ' ';
            out += words[random.Next(wordCount)];
            if (highlight && i == 0)
                out += esc + "[0m";
        }
        out += "\r\n";
    }
    out.resize(Size);
    return out;
}

} // namespace zvbench
