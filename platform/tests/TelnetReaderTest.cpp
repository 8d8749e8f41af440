// The telnet reader: every case is fed whole, then cut at every point into two pieces, then one
// byte at a time; the data and the commands must come out the same each way.
#include "platform/posix/TelnetReader.h"

#include <gtest/gtest.h>

#include <string>

namespace zv::win32 {
namespace {

using namespace telnet;
using Bytes = std::vector<std::uint8_t>;

std::string Describe(const std::vector<TelnetCommand>& commands) {
    std::string s;
    for (const TelnetCommand& c : commands) {
        s += "WwDdS"[c.kind];
        s += std::to_string(c.option) + "@" + std::to_string(c.pos);
        for (std::uint8_t b : c.payload)
            s += "," + std::to_string(b);
        s += ";";
    }
    return s;
}

struct Result {
    Bytes data;
    std::string commands;
    std::size_t dropped;
};

Result Decode(const Bytes& in, const std::vector<std::size_t>& cuts) {
    TelnetReader reader;
    Result r;
    std::vector<TelnetCommand> commands;
    std::size_t from = 0;
    auto feed = [&](std::size_t to) {
        Bytes out(to - from);
        std::vector<TelnetCommand> got;
        const std::size_t n = reader.Feed(in.data() + from, to - from, out.data(), got);
        // Positions are relative to each piece; make them absolute to compare.
        for (TelnetCommand& c : got) {
            c.pos += r.data.size();
            commands.push_back(c);
        }
        r.data.insert(r.data.end(), out.begin(), out.begin() + static_cast<long>(n));
        from = to;
    };
    for (std::size_t cut : cuts)
        feed(cut);
    feed(in.size());
    r.commands = Describe(commands);
    r.dropped = reader.Dropped();
    return r;
}

Bytes Long(std::size_t n, std::uint8_t value) {
    return Bytes(n, value);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

struct Case {
    const char* name;
    Bytes in;
    Bytes data;
    std::string commands;
    std::size_t dropped;
};

TEST(TelnetReader, DecodesTheServersStreamCutAnywhere) {
    const Case cases[] = {
        {"plain data", {1, 2, 3}, {1, 2, 3}, "", 0},
        {"doubled IAC is one data byte", {7, kIac, kIac, 8}, {7, kIac, 8}, "", 0},
        {"four IACs are two data bytes", {kIac, kIac, kIac, kIac}, {kIac, kIac}, "", 0},
        {"verbs between data",
         {1, kIac, kWill, kComPort, 2, kIac, kDo, kBinary, kIac, kDont, 1, kIac, kWont, 3},
         {1, 2},
         "W44@1;D0@2;d1@2;w3@2;",
         0},
        {"NOP and GA carry nothing", {kIac, 241, 5, kIac, 249}, {5}, "", 0},
        {"modem state notification",
         {9, kIac, kSb, kComPort, 107, 0x31, kIac, kSe, 10},
         {9, 10},
         "S44@1,107,49;",
         0},
        {"IAC doubled inside a suboption",
         {kIac, kSb, kComPort, 101, kIac, kIac, 0, 0, 0, kIac, kSe},
         {},
         "S44@0,101,255,0,0,0;",
         0},
        {"suboption cut by another command is dropped",
         {kIac, kSb, kComPort, 107, 0x10, kIac, kWill, kSga, 4},
         {4},
         "W3@0;",
         1},
        {"empty suboption is dropped", {kIac, kSb, kIac, kSe, 6}, {6}, "", 1},
        {"overlong suboption is dropped whole, the stream goes on",
         Cat({{kIac, kSb, kComPort}, Long(5000, 0x41), {kIac, kSe, 0x42}}),
         {0x42},
         "",
         1},
        {"flood of notifications",
         Cat({{kIac, kSb, kComPort, 106, 0x10, kIac, kSe},
              {kIac, kSb, kComPort, 106, 0x02, kIac, kSe}}),
         {},
         "S44@0,106,16;S44@0,106,2;",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Result whole = Decode(c.in, {});
        EXPECT_EQ(whole.data, c.data);
        EXPECT_EQ(whole.commands, c.commands);
        EXPECT_EQ(whole.dropped, c.dropped);
        // Cut once anywhere (the long case only near its ends, to stay quick).
        for (std::size_t cut = 0; cut <= c.in.size(); ++cut) {
            if (c.in.size() > 64 && cut > 16 && cut + 16 < c.in.size())
                continue;
            const Result r = Decode(c.in, {cut});
            ASSERT_EQ(r.data, c.data) << "cut at " << cut;
            ASSERT_EQ(r.commands, c.commands) << "cut at " << cut;
        }
        if (c.in.size() <= 64) {
            std::vector<std::size_t> each;
            for (std::size_t i = 1; i < c.in.size(); ++i)
                each.push_back(i);
            const Result r = Decode(c.in, each);
            EXPECT_EQ(r.data, c.data) << "byte by byte";
            EXPECT_EQ(r.commands, c.commands) << "byte by byte";
        }
    }
}

} // namespace
} // namespace zv::win32
