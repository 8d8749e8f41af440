// The telnet reader against anything a server may send, in random splits: the first byte seeds
// the split sizes. Decoding in pieces must give exactly what decoding at once gives, no command
// may carry more than the bounded payload, and data never exceeds the input.
#include "platform/posix/TelnetReader.h"

#include <cstdlib>
#include <string>

using zv::win32::TelnetCommand;
using zv::win32::TelnetReader;

namespace {

struct Out {
    std::vector<std::uint8_t> data;
    std::vector<TelnetCommand> commands;
};

void Feed(TelnetReader& reader, const std::uint8_t* p, std::size_t n, Out& out) {
    std::vector<std::uint8_t> buf(n);
    std::vector<TelnetCommand> got;
    const std::size_t o = reader.Feed(p, n, buf.data(), got);
    if (o > n)
        std::abort();
    for (TelnetCommand& c : got) {
        if (c.payload.size() > TelnetReader::kMaxPayload || c.pos > o)
            std::abort();
        c.pos += out.data.size();
        out.commands.push_back(std::move(c));
    }
    out.data.insert(out.data.end(), buf.begin(), buf.begin() + static_cast<long>(o));
}

bool Same(const Out& a, const Out& b) {
    if (a.data != b.data || a.commands.size() != b.commands.size())
        return false;
    for (std::size_t i = 0; i < a.commands.size(); ++i) {
        const TelnetCommand& x = a.commands[i];
        const TelnetCommand& y = b.commands[i];
        if (x.kind != y.kind || x.option != y.option || x.payload != y.payload || x.pos != y.pos)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    unsigned seed = data[0];
    ++data;
    --size;
    TelnetReader whole;
    Out a;
    Feed(whole, data, size, a);
    TelnetReader pieces;
    Out b;
    std::size_t at = 0;
    while (at < size) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t len = std::min<std::size_t>(size - at, 1 + (seed >> 16) % 9);
        Feed(pieces, data + at, len, b);
        at += len;
    }
    if (!Same(a, b) || whole.Dropped() != pieces.Dropped())
        std::abort();
    return 0;
}
