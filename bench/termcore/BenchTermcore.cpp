// Throughput over a 32 MB stream typical of a serial console (text lines with CR LF, cursor
// moves, erases, attribute changes), against libvterm on the same bytes, in one run:
// - the parser alone against libvterm's parser layer. Both consumers do the same small work per
//   result: every plain character and the first parameter of every sequence go into a checksum.
//   Text runs end at every control byte on both sides (libvterm hands its text callback the
//   bytes up to the next control byte); the byte-by-byte figure feeds every byte through
//   ProcessChar.
// - the whole terminal data path (received blocks -> filters -> parser -> engine -> screen
//   buffer, with an owner that records every drawn cell, scroll and repaint request) against
//   libvterm's screen layer with a damage callback (cell damage, its default), both fed in blocks
//   of 4 KiB as a port delivers them.
// The runs alternate round by round, the order rotating, and each ratio is the median of the
// per-round ratios, in CPU time. Every run of a kind must give the same tally as its first; the
// parsers must agree on the stream's characters and sequences; the data path must take every
// sequence libvterm's parser found. When a check fails, the figures of what failed are left out
// and the program ends with a non-zero status.
#include "bench/BenchSupport.h"
#include "bench/termcore/ConsoleStream.h"
#include "bench/termcore/VtermScreen.h"
#include "terminal/EscapeCodes.h"
#include "terminal/TermEngine.h"

#include <vterm.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kStreamSize = std::size_t{32} * 1024 * 1024;
constexpr int kRounds = 5;

struct Tally {
    std::uint64_t characters = 0;
    std::uint64_t sequences = 0;
    std::uint64_t checksum = 0;

    bool operator==(const Tally&) const = default;
};

// One result of our parser, consumed as the terminal does: a character, or a code whose first
// parameter is read before the list is emptied.
inline void Consume(zv::TEscapeCodes& Parser, zv::TEscapeResult Result, Tally& Out) {
    switch (Result) {
    case zv::erChar:
        ++Out.characters;
        Out.checksum += static_cast<unsigned char>(Parser.Character());
        break;
    case zv::erCode:
        ++Out.sequences;
        Out.checksum += static_cast<std::uint64_t>(zv::TEscapeCodes::GetParam(1, &Parser.Params()));
        Parser.Params().clear();
        break;
    case zv::erNothing:
        break;
    }
}

// Our parser, every byte through ProcessChar of the base class.
Tally RunOursBytewise(const std::string& Stream) {
    std::unique_ptr<zv::TEscapeCodes> parser = std::make_unique<zv::TEscapeCodesVT100>();
    Tally tally;
    for (const char ch : Stream)
        Consume(*parser, parser->ProcessChar(ch), tally);
    return tally;
}

// Our parser with runs of printable characters taken by ProcessText (as libvterm hands text runs
// to its text callback, each ending at the next control byte) and everything else through
// ProcessChar.
Tally RunOurs(const std::string& Stream) {
    std::unique_ptr<zv::TEscapeCodes> parser = std::make_unique<zv::TEscapeCodesVT100>();
    Tally tally;
    const char* bytes = Stream.data();
    std::size_t left = Stream.size();
    while (left > 0) {
        const std::size_t text = parser->ProcessText(bytes, left);
        for (std::size_t i = 0; i < text; ++i)
            tally.checksum += static_cast<unsigned char>(bytes[i]);
        tally.characters += text;
        bytes += text;
        left -= text;
        if (left == 0)
            break;
        Consume(*parser, parser->ProcessChar(*bytes), tally);
        ++bytes;
        --left;
    }
    return tally;
}

int OnText(const char* Bytes, std::size_t Len, void* User) {
    auto* tally = static_cast<Tally*>(User);
    // Take printable bytes up to the next control byte, as libvterm's own state layer does.
    std::size_t i = 0;
    for (; i < Len; ++i) {
        const auto c = static_cast<unsigned char>(Bytes[i]);
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
            break;
        tally->checksum += c;
    }
    tally->characters += i;
    return static_cast<int>(i);
}

int OnControl(unsigned char Control, void* User) {
    auto* tally = static_cast<Tally*>(User);
    ++tally->characters;
    tally->checksum += Control;
    return 1;
}

int OnEscape(const char*, std::size_t, void* User) {
    auto* tally = static_cast<Tally*>(User);
    ++tally->sequences;
    tally->checksum += 1;
    return 1;
}

int OnCsi(const char*, const long Args[], int ArgCount, const char*, char, void* User) {
    auto* tally = static_cast<Tally*>(User);
    ++tally->sequences;
    long first = ArgCount > 0 ? (Args[0] & static_cast<long>(CSI_ARG_MASK)) : 1;
    if (first == static_cast<long>(CSI_ARG_MISSING))
        first = 1;
    tally->checksum += static_cast<std::uint64_t>(first);
    return 1;
}

int OnOsc(const char*, std::size_t, void*) {
    return 1;
}
int OnDcs(const char*, std::size_t, void*) {
    return 1;
}

Tally RunLibvterm(const std::string& Stream) {
    VTerm* vt = vterm_new(24, 80);
    vterm_set_utf8(vt, 0);
    static const VTermParserCallbacks callbacks = {OnText, OnControl, OnEscape, OnCsi,
                                                   OnOsc,  OnDcs,     nullptr};
    Tally tally;
    vterm_parser_set_callbacks(vt, &callbacks, &tally);
    vterm_input_write(vt, Stream.data(), Stream.size());
    vterm_free(vt);
    return tally;
}

constexpr std::size_t kBlockSize = 4096;

// The engine with a recording owner: every drawn cell, scroll and repaint request is counted
// and summed, as a display would have to take note of them.
class RecordingTerminal : public zv::TTermEngine, private zv::TTermSink {
public:
    RecordingTerminal() { SetSink(this); }
    Tally tally;
    std::uint64_t damage = 0;
    std::uint64_t scrolls = 0;

    void ScrollContent(int, int DY, const zv::TTermRect&) override {
        ++scrolls;
        tally.checksum += static_cast<std::uint64_t>(DY);
    }
    void InvalidatePortion(const zv::TTermRect& Cells) override {
        ++damage;
        tally.checksum += static_cast<std::uint64_t>(Cells.Left + Cells.Top);
    }
    void Invalidate() override { ++damage; }

protected:
    void DrawChar(int X, int Y, const zv::TComTermChar& Cell) override {
        ++tally.characters;
        tally.checksum += static_cast<std::uint64_t>(X + Y) + static_cast<unsigned char>(Cell.Ch);
    }
    bool PutEscapeCode(zv::TEscapeCode Code, zv::TEscapeParams* Params) override {
        ++tally.sequences;
        return TTermEngine::PutEscapeCode(Code, Params);
    }

private:
    bool Connected() const override { return true; }
    void SendStr(const std::string&) override {}
};

Tally RunOursScreen(const std::string& Stream) {
    auto terminal = std::make_unique<RecordingTerminal>();
    for (std::size_t at = 0; at < Stream.size(); at += kBlockSize) {
        const std::size_t count = std::min(kBlockSize, Stream.size() - at);
        terminal->RxBuf(nullptr, Stream.data() + at, static_cast<std::int32_t>(count));
    }
    Tally result = terminal->tally;
    result.checksum += terminal->damage + terminal->scrolls;
    return result;
}

Tally RunLibvtermScreen(const std::string& Stream) {
    const zvbench::VtermScreenTally screen = zvbench::RunVtermScreen(Stream, kBlockSize);
    Tally tally;
    tally.characters = screen.damage;
    tally.checksum = screen.checksum;
    return tally;
}

template <typename Run> double Seconds(Run&& Parse, const std::string& Stream, Tally& Result) {
    // CPU time of this process (the benchmark runs in one thread): on a loaded machine the wall
    // clock counts the time other programs ran, the CPU clock only ours.
    const std::clock_t start = std::clock();
    Result = Parse(Stream);
    return static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
}

// A kind of run: each run is timed, and its tally must be the one of the kind's first run (the
// stream does not change).
struct Kind {
    const char* name;
    Tally (*run)(const std::string&);
    std::optional<Tally> tally = {};

    // The run's CPU seconds, or 0 when its tally differs from the first run's.
    double Run(const std::string& Stream) {
        Tally result;
        const double seconds = Seconds(run, Stream, result);
        if (tally && *tally != result) {
            std::fprintf(stderr, "zbench-termcore: %s gave another tally than in its first run\n",
                         name);
            return 0;
        }
        tally = result;
        return std::max(seconds, 1e-9);
    }
};

// The kinds run in rotating order for kRounds rounds; each kind's CPU seconds by round, or
// nothing when a run failed.
std::vector<std::vector<double>> Rounds(std::vector<Kind*> Kinds, const std::string& Stream) {
    std::vector<std::function<double()>> runs;
    for (Kind* kind : Kinds)
        runs.push_back([kind, &Stream] { return kind->Run(Stream); });
    return zvbench::RotatingRounds(kRounds, runs);
}

void PrintRun(const char* Name, const std::vector<double>& Seconds, double Megabytes,
              const Tally& Result) {
    const double median = zvbench::Median(Seconds);
    std::printf("%-34s %8.1f ms  %8.1f MB/s  (%llu characters, %llu sequences, sum %llu)\n", Name,
                median * 1e3, Megabytes / median,
                static_cast<unsigned long long>(Result.characters),
                static_cast<unsigned long long>(Result.sequences),
                static_cast<unsigned long long>(Result.checksum));
}

// The median of the runs' throughputs.
double MegabytesPerSecond(double Megabytes, const std::vector<double>& Seconds) {
    std::vector<double> rates;
    for (const double s : Seconds)
        rates.push_back(Megabytes / s);
    return zvbench::Median(rates);
}

} // namespace

int main() {
    const std::string stream = zvbench::MakeConsoleStream(kStreamSize);
    const double megabytes = static_cast<double>(stream.size()) / (1024.0 * 1024.0);
    int status = 0;

    Kind ours{"zv VT100 parser (text runs)", RunOurs};
    Kind bytewise{"zv VT100 parser (byte by byte)", RunOursBytewise};
    Kind theirs{"libvterm parser layer", RunLibvterm};
    const std::vector<std::vector<double>> parsers = Rounds({&ours, &bytewise, &theirs}, stream);
    std::printf("stream: %zu bytes (VT100 console traffic), median of %d rounds, CPU time\n",
                stream.size(), kRounds);
    // Both must see the same characters and sequences. The checksums of the two parsers differ
    // by design (ours empties the list of an erase code, libvterm hands over the raw argument);
    // our two ways of feeding must agree on it exactly.
    if (parsers.empty()) {
        std::fprintf(stderr, "zbench-termcore: a parser run failed; no parser figures\n");
        status = 1;
    } else {
        PrintRun("zv VT100 parser (text runs):", parsers[0], megabytes, *ours.tally);
        PrintRun("zv VT100 parser (byte by byte):", parsers[1], megabytes, *bytewise.tally);
        PrintRun("libvterm parser layer:", parsers[2], megabytes, *theirs.tally);
        if (ours.tally->characters != theirs.tally->characters ||
            ours.tally->sequences != theirs.tally->sequences || *bytewise.tally != *ours.tally) {
            std::fprintf(stderr, "zbench-termcore: the parsers disagree on the stream's content; "
                                 "no parser figures\n");
            status = 1;
        } else {
            // Seconds: libvterm's over ours is our throughput over libvterm's.
            const double ratio = zvbench::Median(zvbench::RoundRatios(parsers[2], parsers[0]));
            const double bytewiseRatio =
                zvbench::Median(zvbench::RoundRatios(parsers[2], parsers[1]));
            std::printf("ratio vs libvterm (throughput, median of the rounds' ratios): %.2f text "
                        "runs, %.2f byte by byte\n",
                        ratio, bytewiseRatio);
            zvbench::Figure("parser_mb_per_s", MegabytesPerSecond(megabytes, parsers[0]), 1);
            zvbench::Figure("parser_bytewise_mb_per_s", MegabytesPerSecond(megabytes, parsers[1]),
                            1);
            zvbench::Figure("libvterm_parser_mb_per_s", MegabytesPerSecond(megabytes, parsers[2]),
                            1);
            zvbench::Figure("parser_ratio_vs_libvterm", ratio);
            zvbench::Figure("parser_bytewise_ratio_vs_libvterm", bytewiseRatio);
        }
    }

    Kind screen{"zv terminal data path", RunOursScreen};
    Kind theirScreen{"libvterm screen layer", RunLibvtermScreen};
    const std::vector<std::vector<double>> screens = Rounds({&screen, &theirScreen}, stream);
    if (screens.empty()) {
        std::fprintf(stderr, "zbench-termcore: a screen run failed; no terminal figures\n");
        status = 1;
    } else if (!theirs.tally || screen.tally->sequences != theirs.tally->sequences) {
        std::fprintf(stderr,
                     "zbench-termcore: the terminal data path took %llu sequences, libvterm's "
                     "parser found %llu; no terminal figures\n",
                     static_cast<unsigned long long>(screen.tally->sequences),
                     static_cast<unsigned long long>(theirs.tally ? theirs.tally->sequences : 0));
        status = 1;
    } else {
        std::printf("median of %d rounds, %zu-byte blocks (characters = drawn cells / damage "
                    "calls):\n",
                    kRounds, kBlockSize);
        PrintRun("zv terminal data path:", screens[0], megabytes, *screen.tally);
        PrintRun("libvterm screen layer:", screens[1], megabytes, *theirScreen.tally);
        const double screenRatio = zvbench::Median(zvbench::RoundRatios(screens[1], screens[0]));
        zvbench::Figure("terminal_mb_per_s", MegabytesPerSecond(megabytes, screens[0]), 1);
        zvbench::Figure("libvterm_screen_mb_per_s", MegabytesPerSecond(megabytes, screens[1]), 1);
        zvbench::Figure("terminal_ratio_vs_libvterm_screen", screenRatio);
    }
    return status;
}
