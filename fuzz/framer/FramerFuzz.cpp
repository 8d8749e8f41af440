// libFuzzer target for the packet framer: random settings, random custom handlers and random
// block splits.
//
// Checks, for every input:
// - conservation: with IncludeStrings on, the discards and packets in the order they came,
//   followed by what is still buffered, are exactly the bytes fed, nothing lost or duplicated;
// - with MaxBufferSize > 0 the buffer is shorter than the limit after every block;
// - the framer (incremental searches, passes in a loop) gives the same packets, discards and
//   final state as a plain model that rescans the whole buffer and nests its passes.
//
// Input: four setting bytes, the start and stop strings, then blocks, each a length byte
// (0..31) followed by that many bytes.
#include "cport/ComDataPacket.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define ZV_FUZZ_CHECK(condition)                                                                   \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace {

struct Setup {
    bool include = false;
    bool fold = false;
    bool customStart = false;
    bool customStop = false;
    std::uint8_t startParam = 0;
    std::uint8_t stopParam = 0;
    std::string start;
    std::string stop;
    std::int32_t size = 0;
    std::int32_t maxBuffer = 0;
};

// A custom handler's answer: a function of the buffer's length, so the model gets the same.
std::int32_t CustomAnswer(std::uint8_t param, std::size_t length) {
    const auto len = static_cast<std::int32_t>(length);
    const std::int32_t answers[8] = {-1, -1, 0, 1, 2, len, len + 1, -3};
    return answers[(param + length) % 8];
}

struct Event {
    char kind; // 'P' packet, 'D' discard
    std::string bytes;
    bool operator==(const Event&) const = default;
};

// The plain model: the whole buffer searched on every pass, passes nested.
class Model {
public:
    explicit Model(const Setup& s) : set(s) {}

    void AddData(const std::string& str) {
        if (!ValidStop()) {
            events.push_back({'P', str});
            return;
        }
        buffer += str;
        HandleBuffer();
    }

    const Setup& set;
    std::string buffer;
    bool inPacket = false;
    std::vector<Event> events;

private:
    bool ValidStop() const { return set.size > 0 || !set.stop.empty() || set.customStop; }

    std::string Upper(std::string s) const {
        if (set.fold)
            for (char& c : s)
                if (c >= 'a' && c <= 'z')
                    c = static_cast<char>(c - 'a' + 'A');
        return s;
    }
    // 1-based, 0 when absent; an empty needle is never found.
    std::size_t Pos(const std::string& sub, const std::string& s) const {
        if (sub.empty())
            return 0;
        const std::size_t at = Upper(s).find(Upper(sub));
        return at == std::string::npos ? 0 : at + 1;
    }

    void Discard(std::size_t count) {
        count = std::min(count, buffer.size());
        if (count == 0)
            return;
        events.push_back({'D', buffer.substr(0, count)});
        buffer.erase(0, count);
    }

    void HandleBuffer() {
        const std::size_t before = buffer.size();
        bool delivered = false;
        if (!inPacket) {
            std::int32_t n = set.customStart ? CustomAnswer(set.startParam, buffer.size()) : -1;
            if (n == -1 && set.start.empty()) {
                inPacket = true;
            } else {
                if (n == -1)
                    n = static_cast<std::int32_t>(Pos(set.start, buffer));
                if (n > 0) {
                    inPacket = true;
                    Discard(static_cast<std::size_t>(n) - 1);
                }
            }
        }
        if (inPacket) {
            std::int32_t n = set.customStop ? CustomAnswer(set.stopParam, buffer.size()) : -1;
            std::size_t length = 0;
            bool found = false;
            if (n > 0) {
                found = true;
                length = std::min<std::size_t>(static_cast<std::size_t>(n), buffer.size());
            } else if (n == -1) {
                if (set.size > 0 && buffer.size() >= static_cast<std::size_t>(set.size)) {
                    found = true;
                    length = static_cast<std::size_t>(set.size);
                } else {
                    const std::size_t l = set.start.size();
                    const std::string rest = l < buffer.size() ? buffer.substr(l) : std::string();
                    const std::size_t p = Pos(set.stop, rest);
                    if (p > 0) {
                        found = true;
                        length = l + p + set.stop.size() - 1;
                    }
                }
            }
            if (found) {
                inPacket = false;
                std::string packet = buffer.substr(0, length);
                buffer.erase(0, length);
                if (!set.include) {
                    if (Pos(set.start, packet) == 1)
                        packet.erase(0, set.start.size());
                    if (!set.stop.empty() && packet.size() >= set.stop.size() &&
                        Pos(set.stop, packet) == packet.size() - set.stop.size() + 1)
                        packet.erase(packet.size() - set.stop.size());
                }
                events.push_back({'P', packet});
                delivered = true;
            }
        }
        if (delivered && buffer.size() != before)
            HandleBuffer();
        if (set.maxBuffer > 0 && buffer.size() >= static_cast<std::size_t>(set.maxBuffer) &&
            !buffer.empty()) {
            events.push_back({'D', buffer});
            buffer.clear();
            inPacket = false;
        }
    }
};

void Configure(zv::TComDataPacket& f, const Setup& s, bool include, std::vector<Event>& events) {
    f.SetStartString(s.start);
    f.SetStopString(s.stop);
    f.SetSize(s.size);
    f.SetMaxBufferSize(s.maxBuffer);
    f.SetCaseInsensitive(s.fold);
    f.SetIncludeStrings(include);
    if (s.customStart)
        f.OnCustomStart = [p = s.startParam](zv::TObject*, std::string_view b, std::int32_t& n) {
            n = CustomAnswer(p, b.size());
        };
    if (s.customStop)
        f.OnCustomStop = [p = s.stopParam](zv::TObject*, std::string_view b, std::int32_t& n) {
            n = CustomAnswer(p, b.size());
        };
    f.OnPacket = [&events](zv::TObject*, const std::string& p) { events.push_back({'P', p}); };
    f.OnDiscard = [&events](zv::TObject*, const std::string& d) { events.push_back({'D', d}); };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    std::size_t at = 0;
    auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    Setup s;
    const std::uint8_t flags = next();
    s.include = (flags & 1) != 0;
    s.fold = (flags & 2) != 0;
    s.customStart = (flags & 4) != 0;
    s.customStop = (flags & 8) != 0;
    s.startParam = static_cast<std::uint8_t>(flags >> 4);
    s.stopParam = static_cast<std::uint8_t>(flags >> 5);
    const std::uint8_t lengths = next();
    s.size = static_cast<std::int8_t>(next()) % 16;
    s.maxBuffer = static_cast<std::int8_t>(next()) % 64;
    for (int i = 0; i < (lengths & 3); ++i)
        s.start += static_cast<char>(next());
    for (int i = 0; i < ((lengths >> 2) & 3); ++i)
        s.stop += static_cast<char>(next());

    std::vector<std::string> blocks;
    while (at < size) {
        const std::size_t n = next() % 32;
        std::string block;
        for (std::size_t i = 0; i < n && at < size; ++i)
            block += static_cast<char>(next());
        blocks.push_back(std::move(block));
    }

    // The framer with the given settings against the model.
    {
        std::vector<Event> events;
        zv::TComDataPacket f;
        Configure(f, s, s.include, events);
        Model model(s);
        for (const std::string& b : blocks) {
            f.AddData(b);
            model.AddData(b);
            ZV_FUZZ_CHECK(events == model.events);
            ZV_FUZZ_CHECK(f.Buffer() == model.buffer);
            ZV_FUZZ_CHECK(f.InPacket() == model.inPacket);
            ZV_FUZZ_CHECK(s.maxBuffer <= 0 ||
                          f.Buffer().size() < static_cast<std::size_t>(s.maxBuffer));
        }
    }

    // Conservation with the strings kept.
    {
        std::vector<Event> events;
        zv::TComDataPacket f;
        Configure(f, s, true, events);
        std::string fed;
        for (const std::string& b : blocks) {
            f.AddData(b);
            fed += b;
        }
        std::string out;
        for (const Event& e : events)
            out += e.bytes;
        out += f.Buffer();
        ZV_FUZZ_CHECK(out == fed);
    }
    return 0;
}
