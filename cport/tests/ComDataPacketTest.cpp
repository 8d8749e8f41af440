// The packet framer fed with AddData: settings and blocks in, packets and discards out; the
// property setters; handlers that raise or feed the framer; the link and the port reference.
#include "cport/ComDataPacket.h"
#include "cport/ComPort.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace zv {
namespace {

using namespace std::string_literals;
using Log = std::vector<std::string>;

struct Settings {
    std::string start;
    std::string stop;
    std::int32_t size = 0;
    std::int32_t maxBuffer = 1024;
    bool include = false;
    bool caseInsensitive = false;
    TCustPacketEvent customStart;
    TCustPacketEvent customStop;

    // Chained setters make table rows read like the settings they describe.
    Settings& Start(std::string v) { return start = std::move(v), *this; }
    Settings& Stop(std::string v) { return stop = std::move(v), *this; }
    Settings& Size(std::int32_t v) { return size = v, *this; }
    Settings& MaxBuffer(std::int32_t v) { return maxBuffer = v, *this; }
    Settings& Include(bool v) { return include = v, *this; }
    Settings& CaseInsensitive(bool v) { return caseInsensitive = v, *this; }
    Settings& CustomStart(TCustPacketEvent v) { return customStart = std::move(v), *this; }
    Settings& CustomStop(TCustPacketEvent v) { return customStop = std::move(v), *this; }
};

// A handler that always answers the same position.
TCustPacketEvent Answer(std::int32_t pos) {
    return [pos](TObject*, std::string_view, std::int32_t& p) { p = pos; };
}

// Packets whose first byte is the count of bytes that follow it.
void LengthPrefixed(TObject*, std::string_view s, std::int32_t& p) {
    if (!s.empty() && s.size() >= 1u + static_cast<unsigned char>(s[0]))
        p = 1 + static_cast<unsigned char>(s[0]);
}

void Configure(TComDataPacket& f, const Settings& s, Log& log) {
    f.SetStartString(s.start);
    f.SetStopString(s.stop);
    f.SetSize(s.size);
    f.SetMaxBufferSize(s.maxBuffer);
    f.SetIncludeStrings(s.include);
    f.SetCaseInsensitive(s.caseInsensitive);
    f.OnCustomStart = s.customStart;
    f.OnCustomStop = s.customStop;
    f.OnPacket = [&log](TObject*, const std::string& p) { log.push_back("P:" + p); };
    f.OnDiscard = [&log](TObject*, const std::string& d) { log.push_back("D:" + d); };
}

struct FramerCase {
    const char* name;
    Settings set;
    std::vector<std::string> blocks;
    Log expected;
    std::string buffered;
    bool inPacket;
    // The same outcome for the bytes in one block and byte by byte.
    bool anySplit;
};

const FramerCase FramerCases[] = {
    {"start and stop stripped, a new packet begins",
     Settings().Start("AB").Stop("\r"),
     {"xxAB123\rAB4"},
     {"D:xx", "P:123"},
     "AB4",
     true,
     true},
    {"start and stop kept",
     Settings().Start("AB").Stop("\r").Include(true),
     {"xxAB123\rAB4"},
     {"D:xx", "P:AB123\r"},
     "AB4",
     true,
     true},
    {"case folded",
     Settings().Start("ab").Stop(";").CaseInsensitive(true),
     {"xAB1;aB2;ab3;"},
     {"D:x", "P:1", "P:2", "P:3"},
     "",
     false,
     true},
    {"case kept",
     Settings().Start("ab").Stop(";"),
     {"xAB1;aB2;ab3;"},
     {"D:xAB1;aB2;", "P:3"},
     "",
     false,
     true},
    {"no way to end a packet: each block as it came",
     Settings().Start("AB").MaxBuffer(2),
     {"xAB", "C", ""},
     {"P:xAB", "P:C", "P:"},
     "",
     false,
     false},
    {"fixed size", Settings().Size(4), {"abcdefghij"}, {"P:abcd", "P:efgh"}, "ij", true, true},
    {"size tested before the stop string",
     Settings().Stop(";").Size(10),
     {"ab;cdefghijk"},
     {"P:ab;cdefghi"},
     "jk",
     true,
     false},
    {"stop string while shorter than size",
     Settings().Stop(";").Size(10),
     {"ab;", "cdefghijk"},
     {"P:ab"},
     "cdefghijk",
     true,
     false},
    {"start never found: discarded at the limit",
     Settings().Start("[").Stop(";").MaxBuffer(8),
     {"abc", "def", "gh", "i"},
     {"D:abcdefgh"},
     "i",
     false,
     false},
    {"size beyond the limit never completes",
     Settings().Size(6).MaxBuffer(4),
     {"abc", "de", "fgh"},
     {"D:abcde"},
     "fgh",
     true,
     false},
    {"a remainder of exactly the limit is discarded",
     Settings().Stop(";").MaxBuffer(3),
     {"a;bcd"},
     {"P:a", "D:bcd"},
     "",
     false,
     false},
    {"packets before the limit is tested",
     Settings().Size(4).MaxBuffer(10),
     {"abcdefghijklmn"},
     {"P:abcd", "P:efgh", "P:ijkl"},
     "mn",
     true,
     true},
    {"no limit",
     Settings().Start("[").Stop(";").MaxBuffer(0),
     {std::string(3000, 'x')},
     {},
     std::string(3000, 'x'),
     false,
     true},
    {"negative size is unused", Settings().Stop(";").Size(-1), {"ab;c"}, {"P:ab"}, "c", true, true},
    {"zero bytes in strings and data",
     Settings().Start("\0S"s).Stop("\0E"s),
     {"x\0\0Sa\0b\0E\0S"s},
     {"D:x\0"s, "P:a\0b"s},
     "\0S"s,
     true,
     true},
    {"start and stop overlap: the stop is looked for after the start's length",
     Settings().Start("AB").Stop("B"),
     {"ABxB"},
     {"P:x"},
     "",
     false,
     true},
    {"first bytes skipped without a start; an earlier stop is not stripped",
     Settings().Start("ABCDEF").Stop(";").CustomStart(Answer(1)),
     {"x;y;", "zzzz;"},
     {"P:x;y;zzzz;"},
     "",
     true,
     true},
    {"start string longer than the buffer",
     Settings().Start("ABCDEF").Stop(";"),
     {"AB;"},
     {},
     "AB;",
     false,
     true},
    {"stop string longer than the rest of the packet stays",
     Settings().Start("A").Stop("WXYZ").Size(4),
     {"Axyz"},
     {"P:xyz"},
     "",
     false,
     true},
    {"custom start beyond the end discards everything",
     Settings().Stop(";").CustomStart(Answer(100)),
     {"abc"},
     {"D:abc"},
     "",
     true,
     false},
    {"custom start zero or below -1: no start",
     Settings().Stop(";").CustomStart(Answer(-5)),
     {"a;b;"},
     {},
     "a;b;",
     false,
     true},
    {"custom stop beyond the end takes the buffer, then one empty packet ends the passes",
     Settings().CustomStop(Answer(5)),
     {"ab"},
     {"P:ab", "P:"},
     "",
     false,
     false},
    {"custom stop zero: the packet continues",
     Settings().CustomStop(Answer(0)),
     {"abc"},
     {},
     "abc",
     true,
     true},
    {"custom stop: length-prefixed packets",
     Settings().CustomStop(LengthPrefixed),
     {"\x03"
      "abc\x02"
      "de\x04"
      "f"},
     {"P:\x03"
      "abc",
      "P:\x02"
      "de"},
     "\x04"
     "f",
     true,
     true},
};

struct Outcome {
    Log log;
    std::string buffered;
    bool inPacket;
};

Outcome Feed(const Settings& s, const std::vector<std::string>& blocks) {
    Outcome out;
    TComDataPacket f;
    Configure(f, s, out.log);
    for (const std::string& b : blocks)
        f.AddData(b);
    out.buffered = std::string(f.Buffer());
    out.inPacket = f.InPacket();
    return out;
}

TEST(ComDataPacket, SettingsAndBlocksGivePacketsAndDiscards) {
    for (const FramerCase& c : FramerCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<std::string>> splits{c.blocks};
        if (c.anySplit) {
            std::string all;
            for (const auto& b : c.blocks)
                all += b;
            splits.push_back({all});
            std::vector<std::string> bytes;
            for (char ch : all)
                bytes.emplace_back(1, ch);
            splits.push_back(bytes);
        }
        for (const auto& blocks : splits) {
            SCOPED_TRACE(std::to_string(blocks.size()) + " block(s)");
            const Outcome got = Feed(c.set, blocks);
            EXPECT_EQ(got.log, c.expected);
            EXPECT_EQ(got.buffered, c.buffered);
            EXPECT_EQ(got.inPacket, c.inPacket);
        }
    }
}

// Each setter that reframes: pending bytes are discarded, an unchanged value or an empty buffer
// changes nothing, and while loading the value is only stored.
struct SetterCase {
    const char* name;
    void (*change)(TComDataPacket&);
};

const SetterCase SetterCases[] = {
    {"StartString", [](TComDataPacket& f) { f.SetStartString("<"); }},
    {"StopString", [](TComDataPacket& f) { f.SetStopString("!"); }},
    {"Size", [](TComDataPacket& f) { f.SetSize(100); }},
    {"CaseInsensitive", [](TComDataPacket& f) { f.SetCaseInsensitive(true); }},
};

TEST(ComDataPacket, ReframingSettersDiscardPendingBytesOnly) {
    for (const SetterCase& c : SetterCases) {
        SCOPED_TRACE(c.name);
        Log log;
        TComDataPacket f;
        Configure(f, Settings().Stop(";"), log);

        f.AddData("a;"); // a packet, then a new one has begun with nothing in the buffer
        ASSERT_TRUE(f.InPacket());
        c.change(f);
        EXPECT_TRUE(f.InPacket());
        EXPECT_EQ(log, Log{"P:a"});

        TComDataPacket loaded;
        Log loadedLog;
        Configure(loaded, Settings().Stop(";"), loadedLog);
        loaded.AddData("ab");
        loaded.BeginLoading();
        c.change(loaded);
        loaded.Loaded();
        EXPECT_EQ(loaded.Buffer(), "ab");
        EXPECT_TRUE(loadedLog.empty());

        TComDataPacket pending;
        Log pendingLog;
        Configure(pending, Settings().Stop(";"), pendingLog);
        pending.AddData("ab");
        c.change(pending);
        c.change(pending); // the same value again: nothing more
        EXPECT_EQ(pendingLog, Log{"D:ab"});
        EXPECT_EQ(pending.Buffer(), "");
        EXPECT_FALSE(pending.InPacket());
    }
}

TEST(ComDataPacket, RaisingHandlersStillLeaveTheBufferWithinItsLimit) {
    Log log;
    TComDataPacket f;
    Configure(f, Settings().Stop(";").MaxBuffer(4), log);
    f.OnPacket = [&log](TObject*, const std::string& p) {
        log.push_back("P:" + p);
        throw std::runtime_error("packet");
    };
    EXPECT_THROW(f.AddData("a;bcdef"), std::runtime_error);
    // The packet's bytes are not put back; the overflow test ran on the way out.
    EXPECT_EQ(log, (Log{"P:a", "D:bcdef"}));
    EXPECT_EQ(f.Buffer(), "");

    f.OnDiscard = [&log](TObject*, const std::string& d) {
        log.push_back("D:" + d);
        throw std::runtime_error("discard");
    };
    f.AddData("xy");
    EXPECT_THROW(f.SetStopString("!"), std::runtime_error);
    EXPECT_EQ(log.back(), "D:xy");
    EXPECT_EQ(f.Buffer(), "");
    EXPECT_FALSE(f.InPacket());
}

TEST(ComDataPacket, ABlockOfManyPacketsNeedsNoDeepStack) {
    TComDataPacket f;
    f.SetStopString(";");
    std::size_t packets = 0;
    f.OnPacket = [&packets](TObject*, const std::string& p) {
        if (p == "a")
            ++packets;
    };
    std::string block;
    for (int i = 0; i < 300000; ++i)
        block += "a;";
    f.AddData(block);
    EXPECT_EQ(packets, 300000u);
    EXPECT_EQ(f.Buffer(), "");
}

TEST(ComDataPacket, ACustomHandlerFeedingTheFramerKeepsItsView) {
    TComDataPacket f;
    Log log;
    Configure(f, Settings().MaxBuffer(0), log);
    bool fed = false;
    std::string seen;
    f.OnCustomStop = [&](TObject*, std::string_view s, std::int32_t&) {
        if (!fed) {
            fed = true;
            const std::string before(s);
            f.AddData(std::string(100000, 'y'));
            seen = std::string(s.substr(0, before.size())) + (before == s ? "" : "!");
        }
    };
    f.AddData("abc");
    EXPECT_EQ(seen, "abc");
    EXPECT_EQ(f.Buffer().size(), 100003u);
}

// Bytes a handler feeds during a pass are framed as if they had come right after the block
// being worked on: the outcome is that of the whole in one block, however the pass ends.
TEST(ComDataPacket, BytesFedByAHandlerDuringAPassAreFramedInOrder) {
    enum class Feeder { CustomStop, Discard };
    struct Case {
        const char* name;
        Settings set;
        Feeder from;
        std::string block, fed;
    };
    const Case cases[] = {
        {"a custom stop handler, length-prefixed packets", Settings().CustomStop(LengthPrefixed),
         Feeder::CustomStop,
         "\x01"
         "a",
         "\x03"
         "def"},
        {"the discard handler, start and stop strings", Settings().Start("<").Stop(";"),
         Feeder::Discard, "x<a;", "b;<c;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TComDataPacket whole;
        Log expected;
        Configure(whole, c.set, expected);
        whole.AddData(c.block + c.fed);

        TComDataPacket f;
        Log log;
        Configure(f, c.set, log);
        bool fed = false;
        const auto feedOnce = [&] {
            if (!fed) {
                fed = true;
                f.AddData(c.fed);
            }
        };
        if (c.from == Feeder::CustomStop) {
            f.OnCustomStop = [&](TObject* sender, std::string_view s, std::int32_t& p) {
                feedOnce();
                c.set.customStop(sender, s, p);
            };
        } else {
            f.OnDiscard = [&](TObject*, const std::string& d) {
                log.push_back("D:" + d);
                feedOnce();
            };
        }
        f.AddData(c.block);
        EXPECT_EQ(log, expected);
        EXPECT_EQ(f.Buffer(), whole.Buffer());
    }
}

// An override of HandleBuffer sees every pass.
class CountingFramer : public TComDataPacket {
public:
    int passes = 0;

protected:
    void HandleBuffer() override {
        ++passes;
        TComDataPacket::HandleBuffer();
    }
};

TEST(ComDataPacket, EachPassGoesThroughHandleBuffer) {
    CountingFramer f;
    f.SetStopString(";");
    f.AddData("a;b;c");
    EXPECT_EQ(f.passes, 3); // a, b, then one pass that finds nothing
}

TEST(ComDataPacket, TheLinkFollowsThePort) {
    auto port = std::make_unique<TComPort>();
    TComPort other;
    TComDataPacket f;
    f.SetComPort(port.get());
    EXPECT_EQ(port->LinkCount(), 1);
    EXPECT_TRUE(port->HasLink());

    f.SetComPort(&other);
    EXPECT_EQ(port->LinkCount(), 0);
    EXPECT_EQ(other.LinkCount(), 1);

    f.SetComPort(port.get());
    port.reset(); // the port's removal notification lets go of it
    EXPECT_EQ(f.ComPort(), nullptr);
    EXPECT_EQ(other.LinkCount(), 0);

    {
        TComDataPacket g;
        g.SetComPort(&other);
        EXPECT_EQ(other.LinkCount(), 1);
    }
    EXPECT_EQ(other.LinkCount(), 0);
}

TEST(ComDataPacket, OwnedWithItsPortByOneOwner) {
    for (bool portFirst : {true, false}) {
        SCOPED_TRACE(portFirst ? "port created first" : "framer created first");
        auto owner = std::make_unique<TComponent>(nullptr);
        TComPort* port = nullptr;
        TComDataPacket* f = nullptr;
        if (portFirst) {
            port = new TComPort(owner.get());
            f = new TComDataPacket(owner.get());
        } else {
            f = new TComDataPacket(owner.get());
            port = new TComPort(owner.get());
        }
        f->SetComPort(port);
        EXPECT_EQ(port->LinkCount(), 1);
        owner.reset(); // destroys both, in either order, without a dangling link
    }
}

} // namespace
} // namespace zv
