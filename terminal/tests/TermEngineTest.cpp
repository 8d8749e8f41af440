// The terminal engine without a window: bytes pushed in, the screen, the caret and the bytes sent
// back to the peer checked after each block.
#include "terminal/TermEngine.h"

#include "toolkit/Stream.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zv {
namespace {

const std::string ESC = "\x1B";

class RecordingSink : public TTermSink {
public:
    bool connected = true;
    std::string sent;
    bool Connected() const override { return connected; }
    void SendStr(const std::string& Str) override { sent += Str; }
};

// The engine with its protected operations reachable and a sink attached.
class TestEngine : public TTermEngine {
public:
    TestEngine() { SetSink(&sink); }
    using TTermEngine::AfterLoad;
    using TTermEngine::GetCharAttr;
    using TTermEngine::PutEscapeCode;
    using TTermEngine::SendChar;

    // Rows 1 to the last non-empty one as SaveToStream writes them, joined by "|".
    std::string Screen() {
        TMemoryStream stream;
        SaveToStream(stream);
        std::string text(stream.Data().begin(), stream.Data().end());
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text.compare(i, 2, "\r\n") == 0) {
                out += '|';
                ++i;
            } else {
                out += text[i];
            }
        }
        return out;
    }

    RecordingSink sink;
};

struct Setup {
    TTermEmulation emulation = teVT100orANSI;
    bool wrap = false;
    bool appendLF = false;
    bool force7Bit = false;
    int columns = 80;
};

struct ScreenCase {
    const char* name;
    Setup setup;
    std::string bytes;
    std::string screen; // rows joined by "|", as SaveToStream writes them
    TTermPoint caret;
    std::string replies; // bytes sent to the peer
};

std::string repeat(char Ch, std::size_t Count) {
    return std::string(Count, Ch);
}

std::string digits(std::size_t Count) {
    std::string out;
    for (std::size_t i = 0; i < Count; ++i)
        out += static_cast<char>('0' + (i % 10));
    return out;
}

TEST(TermEngine, BytesGiveScreenCaretAndReplies) {
    const std::string row80 = digits(80);
    const std::vector<ScreenCase> cases = {
        {"fresh engine takes bytes at once", {}, "AB", "AB", {3, 1}, ""},
        {"no wrap: 85 bytes keep overwriting column 80",
         {},
         digits(84) + "X",
         digits(79) + "X",
         {80, 1},
         ""},
        {"wrap: byte 81 goes to (1, 2)", {.wrap = true}, row80 + "Y", row80 + "|Y", {2, 2}, ""},
        {"wrap on the bottom row scrolls",
         {.wrap = true},
         "top" + ESC + "[24;1H" + row80,
         std::string(22, '|') + row80,
         {1, 24},
         ""},
        {"LF at the bottom scrolls and keeps the column",
         {},
         "A" + ESC + "[24;5H\n",
         "",
         {5, 24},
         ""},
        {"CR LF at the bottom: column 1 on a fresh bottom row",
         {},
         "A" + ESC + "[24;5HB\r\n",
         std::string(22, '|') + "    B",
         {1, 24},
         ""},
        {"FF is a line feed", {}, "A\fB", "A| B", {3, 2}, ""},
        {"TAB from column 1 to 9", {}, "\tX", "        X", {10, 1}, ""},
        {"TAB from column 74 stays", {}, ESC + "[1;74H\tX", repeat(' ', 73) + "X", {75, 1}, ""},
        {"BS at column 1 erases nothing", {}, "A\r\b", "A", {1, 1}, ""},
        {"BS moves back without erasing", {}, "AB\b", "AB", {2, 1}, ""},
        {"other control bytes do nothing",
         {},
         std::string("A\0\x07\x0B\x0E\x1F", 6),
         "A",
         {2, 1},
         ""},
        {"ESC [5;10H", {}, ESC + "[5;10H", "", {10, 5}, ""},
        {"ESC [H after a move", {}, ESC + "[5;10H" + ESC + "[H", "", {1, 1}, ""},
        {"ESC [99;99H clamps", {}, ESC + "[99;99H", "", {80, 24}, ""},
        {"relative moves of 2^31-1 never overflow",
         {},
         ESC + "[5;5H" + ESC + "[2147483647C" + ESC + "[2147483647B",
         "",
         {80, 24},
         ""},
        {"relative moves of 2^31-1 the other way",
         {},
         ESC + "[5;5H" + ESC + "[2147483647D" + ESC + "[2147483647A",
         "",
         {1, 1},
         ""},
        {"VT52 ESC Y below the grid clamps",
         {.emulation = teVT52},
         ESC + "Y\x01\x01" + "A",
         "A",
         {2, 1},
         ""},
        {"VT52 ESC Y", {.emulation = teVT52}, ESC + "Y%+", "", {12, 6}, ""},
        {"ESC [6n answers the caret position",
         {},
         ESC + "[3;7H" + ESC + "[6n",
         "",
         {7, 3},
         ESC + "[3;7R"},
        {"ESC [c identifies", {}, ESC + "[c", "", {1, 1}, ESC + "[?1;2c"},
        {"ESC [5n reports ready", {}, ESC + "[5n", "", {1, 1}, ESC + "[0n"},
        {"VT52 ESC Z identifies", {.emulation = teVT52}, ESC + "Z", "", {1, 1}, ESC + "/Z"},
        {"VT52 cursor codes",
         {.emulation = teVT52},
         "AB" + ESC + "D" + ESC + "D" + ESC + "B",
         "AB",
         {1, 2},
         ""},
        {"ESC c keeps the text", {}, "AB" + ESC + "c", "AB", {3, 1}, ""},
        {"ESC [K erases from the caret",
         {},
         "ABCDEF" + ESC + "[1;3H" + ESC + "[K",
         "AB",
         {3, 1},
         ""},
        {"ESC [2K erases the line, caret to column 1",
         {},
         "ABC\r\nDEF" + ESC + "[2K",
         "ABC",
         {1, 2},
         ""},
        {"ESC [J erases to the end of the screen",
         {},
         "ABC\r\nDEF\r\nGHI" + ESC + "[2;2H" + ESC + "[J",
         "ABC|D",
         {2, 2},
         ""},
        {"ESC [2J erases all, caret home", {}, "ABC\r\nDEF" + ESC + "[2J", "", {1, 1}, ""},
        {"VT52 ESC I at the top scrolls down",
         {.emulation = teVT52},
         "A" + ESC + "I",
         "|A",
         {2, 1},
         ""},
        {"VT52 ESC I below the top moves up",
         {.emulation = teVT52},
         "\n\nA" + ESC + "I",
         "||A",
         {2, 2},
         ""},
        {"ESC [3g clears every stop", {}, ESC + "[3g\tX", "X", {2, 1}, ""},
        {"ESC H sets a stop",
         {},
         ESC + "[3g" + ESC + "[1;5H" + ESC + "H\r\tX",
         "    X",
         {6, 1},
         ""},
        {"ESC [g clears the stop at the caret",
         {},
         ESC + "[1;9H" + ESC + "[g\r\tX",
         repeat(' ', 16) + "X",
         {18, 1},
         ""},
        {"ESC 7 / ESC 8", {}, ESC + "[3;4H" + ESC + "7" + ESC + "[H" + ESC + "8", "", {4, 3}, ""},
        {"ESC [s / ESC [u",
         {},
         ESC + "[3;4H" + ESC + "[s" + ESC + "[H" + ESC + "[u",
         "",
         {4, 3},
         ""},
        {"restore without a save goes home", {}, ESC + "[3;4H" + ESC + "8", "", {1, 1}, ""},
        {"ESC [7h switches wrapping on", {}, ESC + "[7h" + row80 + "Y", row80 + "|Y", {2, 2}, ""},
        {"ESC [?3h: 132 columns and a clear screen",
         {},
         "AB" + ESC + "[?3h" + ESC + "[1;200H",
         "",
         {132, 1},
         ""},
        {"ESC [?3l: back to 80",
         {},
         ESC + "[?3h" + ESC + "[?3l" + ESC + "[1;200H",
         "",
         {80, 1},
         ""},
        {"AppendLF: CR gets an LF", {.appendLF = true}, "A\rB", "A|B", {2, 2}, ""},
        {"AppendLF: CR LF becomes CR LF LF", {.appendLF = true}, "A\r\nB", "A||B", {2, 3}, ""},
        {"Force7Bit clears bit 7", {.force7Bit = true}, "\xC1\xE2\x9B", "Ab", {3, 1}, ""},
        {"Force7Bit turns 0x9B into ESC", {.force7Bit = true}, "\x9B[2;2HA", "| A", {3, 2}, ""},
        {"Force7Bit and AppendLF: a CR with bit 7 (parity) gets an LF",
         {.appendLF = true, .force7Bit = true},
         "A\x8D"
         "B",
         "A|B",
         {2, 2},
         ""},
        {"bytes above 127 are characters", {}, "\xC1\xFF", "\xC1\xFF", {3, 1}, ""},
        {"narrow grid: wrap at column 10",
         {.wrap = true, .columns = 10},
         "0123456789AB",
         "0123456789|AB",
         {3, 2},
         ""},
    };
    for (const auto& c : cases) {
        TestEngine engine;
        engine.SetColumns(c.setup.columns);
        engine.SetEmulation(c.setup.emulation);
        engine.WrapLines = c.setup.wrap;
        engine.AppendLF = c.setup.appendLF;
        engine.Force7Bit = c.setup.force7Bit;
        engine.RxBuf(nullptr, c.bytes.data(), static_cast<std::int32_t>(c.bytes.size()));
        EXPECT_EQ(engine.Screen(), c.screen) << c.name;
        EXPECT_EQ(engine.CaretPos(), c.caret)
            << c.name << ": caret (" << engine.CaretPos().X << ", " << engine.CaretPos().Y << ")";
        EXPECT_EQ(engine.sink.sent, c.replies) << c.name;
    }
}

TEST(TermEngine, AttributesGiveColours) {
    const TTermColor font = 0x00FF00;
    const TTermColor back = 0x000080;
    const TTermColor alt = 0x123456;
    struct Case {
        std::string bytes; // the last byte is the character checked
        TTermColor front;
        TTermColor background;
        bool underline;
    };
    const std::vector<Case> cases = {
        {"A", font, back, false},
        {ESC + "[1mA", alt, back, false},
        {ESC + "[1m" + ESC + "[mA", font, back, false},
        {ESC + "[7mB", back, font, false},
        {ESC + "[1;7mB", alt, font, false},
        {ESC + "[4mC", font, back, true},
        {ESC + "[1;4;7m" + ESC + "[21;24;27mC", font, back, false},
        {ESC + "[1;4;7m" + ESC + "[0mC", font, back, false},
        {ESC + "[31;42mC", font, back, false},
        {ESC + "[?mC", alt, back, false}, // an unreadable entry reads as 1
        {ESC + "[7m" + ESC + "cD", font, back, false},
        {ESC + "[1m" + ESC + "7" + ESC + "[0m" + ESC + "8E", alt, back, false},
    };
    for (const auto& c : cases) {
        TestEngine engine;
        engine.SetFontColor(font);
        engine.SetColor(back);
        engine.SetAltColor(alt);
        engine.WriteStr(c.bytes);
        const TComTermChar cell = engine.Buffer().GetChar(1, 1);
        EXPECT_EQ(cell.Ch, c.bytes.back()) << c.bytes;
        EXPECT_EQ(cell.FrontColor, c.front) << c.bytes;
        EXPECT_EQ(cell.BackColor, c.background) << c.bytes;
        EXPECT_EQ(cell.Underline, c.underline) << c.bytes;
    }
}

TEST(TermEngine, PerformTestFillsEveryCellAndKeepsCaretAndAttributes) {
    TestEngine engine;
    engine.SetRows(3);
    engine.SetColumns(4);
    engine.WriteStr(ESC + "[1m" + ESC + "[2;3H" + ESC + "#8");
    EXPECT_EQ(engine.Screen(), "EEEE|EEEE|EEEE");
    EXPECT_EQ(engine.CaretPos(), (TTermPoint{3, 2}));
    EXPECT_TRUE(engine.Attributes().Bold);
    EXPECT_EQ(engine.Buffer().GetChar(4, 3).FrontColor, engine.FontColor());
}

struct KeyCase {
    const char* name;
    bool appCursor;
    TArrowKeys arrows;
    TTermKey key;
    std::string sent;
    TTermPoint caret;                         // from (5, 5)
    TTermEmulation emulation = teVT100orANSI; // chosen after ESC [?1h
    bool localEcho = false;
};

TEST(TermEngine, CursorKeys) {
    const std::vector<KeyCase> cases = {
        {"terminal: up", false, akTerminal, tkUp, ESC + "[A", {5, 5}},
        {"terminal: down", false, akTerminal, tkDown, ESC + "[B", {5, 5}},
        {"terminal: right", false, akTerminal, tkRight, ESC + "[C", {5, 5}},
        {"terminal: left", false, akTerminal, tkLeft, ESC + "[D", {5, 5}},
        {"terminal: home", false, akTerminal, tkHome, ESC + "[H", {5, 5}},
        {"terminal: other", false, akTerminal, tkOther, "", {5, 5}},
        {"windows: up moves locally", false, akWindows, tkUp, "", {5, 4}},
        {"windows: left", false, akWindows, tkLeft, "", {4, 5}},
        {"windows: home", false, akWindows, tkHome, "", {1, 1}},
        {"application: up", true, akTerminal, tkUp, ESC + "OA", {5, 5}},
        {"application: up even with windows keys", true, akWindows, tkUp, ESC + "OA", {5, 5}},
        {"application: down", true, akWindows, tkDown, ESC + "OB", {5, 5}},
        {"application: right", true, akTerminal, tkRight, ESC + "OC", {5, 5}},
        {"application: left", true, akTerminal, tkLeft, ESC + "OD", {5, 5}},
        {"application: home sends nothing", true, akTerminal, tkHome, "", {5, 5}},
        // Application mode set by a VT100 peer does not carry over to VT52, which has no
        // such form: the keys send their normal codes, and the echo follows what was sent.
        {"VT52 after application: up", true, akTerminal, tkUp, ESC + "A", {5, 5}, teVT52},
        {"VT52 after application: home", true, akTerminal, tkHome, ESC + "H", {5, 5}, teVT52},
        {"VT52 after application: windows keys move locally",
         true,
         akWindows,
         tkLeft,
         "",
         {4, 5},
         teVT52},
        {"VT52 after application: echo", true, akTerminal, tkDown, ESC + "B", {5, 6}, teVT52, true},
    };
    for (const auto& c : cases) {
        TestEngine engine;
        engine.WriteStr(ESC + "[5;5H");
        if (c.appCursor)
            engine.WriteStr(ESC + "[?1h");
        engine.SetEmulation(c.emulation);
        engine.LocalEcho = c.localEcho;
        engine.SetArrowKeys(c.arrows);
        engine.CursorKeyDown(c.key);
        EXPECT_EQ(engine.sink.sent, c.sent) << c.name;
        EXPECT_EQ(engine.CaretPos(), c.caret) << c.name;
    }
    // ESC [?1l switches application mode off again.
    TestEngine engine;
    engine.WriteStr(ESC + "[?1h" + ESC + "[?1l");
    engine.CursorKeyDown(tkUp);
    EXPECT_EQ(engine.sink.sent, ESC + "[A");
}

TEST(TermEngine, TypingSendsAndEchoes) {
    struct Case {
        const char* name;
        bool connected;
        bool localEcho;
        bool sendLF;
        std::string typed;
        std::string sent;
        std::string screen;
        TTermPoint caret;
    };
    const std::vector<Case> cases = {
        {"plain", true, false, false, "ab\r", "ab\r", "", {1, 1}},
        {"echo", true, true, false, "ab", "ab", "ab", {3, 1}},
        {"SendLF with echo", true, true, true, "a\r", "a\r\n", "a", {1, 2}},
        {"SendLF without echo", true, false, true, "\r", "\r\n", "", {1, 1}},
        {"not connected: nothing, not even the echo", false, true, true, "ab\r", "", "", {1, 1}},
    };
    for (const auto& c : cases) {
        TestEngine engine;
        engine.sink.connected = c.connected;
        engine.LocalEcho = c.localEcho;
        engine.SendLF = c.sendLF;
        for (const char ch : c.typed)
            engine.KeyChar(ch);
        EXPECT_EQ(engine.sink.sent, c.sent) << c.name;
        EXPECT_EQ(engine.Screen(), c.screen) << c.name;
        EXPECT_EQ(engine.CaretPos(), c.caret) << c.name;
    }
    // Without any sink, typing and keys do nothing.
    TestEngine engine;
    engine.SetSink(nullptr);
    engine.LocalEcho = true;
    engine.KeyChar('x');
    engine.CursorKeyDown(tkDown);
    EXPECT_EQ(engine.Screen(), "");
    EXPECT_EQ(engine.CaretPos(), (TTermPoint{1, 1}));
}

TEST(TermEngine, SentCodesEchoLocally) {
    TestEngine engine;
    engine.LocalEcho = true;
    engine.CursorKeyDown(tkDown);
    EXPECT_EQ(engine.sink.sent, ESC + "[B");
    EXPECT_EQ(engine.CaretPos(), (TTermPoint{1, 2}));
}

TEST(TermEngine, CaretBackInsideTheGridAfterShrinking) {
    TestEngine engine;
    engine.WriteStr(ESC + "[24;80H");
    engine.SetColumns(40);
    engine.SetRows(10);
    EXPECT_EQ(engine.CaretPos(), (TTermPoint{40, 10}));
    engine.WriteStr("X");
    EXPECT_EQ(engine.Buffer().GetChar(40, 10).Ch, 'X');
    // Out-of-range sizes are kept within the limits.
    engine.SetColumns(1000);
    engine.SetRows(-5);
    EXPECT_EQ(engine.Columns(), 256);
    EXPECT_EQ(engine.Rows(), 2);
    EXPECT_EQ(engine.Buffer().Columns(), 256);
    EXPECT_EQ(engine.Buffer().Rows(), 2);
}

TEST(TermEngine, StreamsSaveTheScreenAndLoadFromThePosition) {
    TestEngine engine;
    engine.WriteStr("AB\r\n  C");
    TMemoryStream saved;
    engine.SaveToStream(saved);
    EXPECT_EQ(std::string(saved.Data().begin(), saved.Data().end()), "AB\r\n  C");

    TestEngine empty;
    TMemoryStream none;
    empty.SaveToStream(none);
    EXPECT_EQ(none.Size(), 0);

    struct Case {
        std::string content;
        std::int64_t position;
        std::string screen;
    };
    const std::vector<Case> cases = {
        {"HELLO", 0, "HELLO"},
        {"HELLO", 2, "LLO"},
        {"HELLO", 5, ""},
        {"HELLO", 9, ""},
        // Not through the parser: ESC is dropped and the rest of the sequence is text.
        {"A" + ESC + "[2JB\r\nC", 0, "A[2JB|C"},
    };
    for (const auto& c : cases) {
        TestEngine loaded;
        TMemoryStream stream;
        stream.WriteBuffer(c.content.data(), static_cast<std::int64_t>(c.content.size()));
        stream.SetPosition(c.position);
        loaded.LoadFromStream(stream);
        EXPECT_EQ(loaded.Screen(), c.screen) << c.content << " from " << c.position;
    }
}

TEST(TermEngine, ParserChoice) {
    // teNone without a handler: bytes go straight to PutChar.
    TestEngine engine;
    engine.SetEmulation(teNone);
    EXPECT_EQ(engine.EscapeCodes(), nullptr);
    engine.WriteStr(ESC + "[2JA");
    EXPECT_EQ(engine.Screen(), "[2JA");
    engine.KeyChar('x');
    engine.CursorKeyDown(tkUp); // no parser: no code can be sent
    EXPECT_EQ(engine.sink.sent, "x");

    // teNone with a handler that supplies a parser.
    TestEngine custom;
    custom.OnGetEscapeCodes = [](TObject*, std::unique_ptr<TEscapeCodes>& Codes) {
        Codes = std::make_unique<TEscapeCodesVT52>();
    };
    custom.SetEmulation(teNone);
    custom.WriteStr(ESC + "Y%+");
    EXPECT_EQ(custom.CaretPos(), (TTermPoint{12, 6}));

    // A value that is not an emulation is ignored.
    custom.SetEmulation(static_cast<TTermEmulation>(255));
    EXPECT_EQ(custom.Emulation(), teNone);
}

TEST(TermEngine, ValuesOutsideTheirEnumerationAreIgnored) {
    TestEngine engine;
    engine.SetCaret(tcNone);
    engine.SetCaret(static_cast<TTermCaret>(255));
    EXPECT_EQ(engine.Caret(), tcNone);
    engine.SetArrowKeys(static_cast<TArrowKeys>(255));
    EXPECT_EQ(engine.ArrowKeys(), akTerminal);
}

TEST(TermEngine, EventsSeeEveryByteAndUnhandledCodes) {
    TestEngine engine;
    std::string chars;
    std::vector<std::string> unhandled;
    engine.OnChar = [&](TObject*, char Ch) { chars += Ch; };
    engine.OnUnhandledCode = [&](TObject*, TEscapeCode Code, const std::string& Data) {
        unhandled.push_back(std::to_string(Code) + ":" + Data);
    };
    engine.OnStrRecieved = [](TObject*, std::string& Str) { Str += "!"; };
    const std::string block = "a\x07" + ESC + "[5xb" + ESC + "[0n";
    engine.RxBuf(nullptr, block.data(), static_cast<std::int32_t>(block.size()));
    EXPECT_EQ(chars, "a\x07"
                     "b!");
    EXPECT_EQ(unhandled, (std::vector<std::string>{std::to_string(ecUnknown) + ":[5x",
                                                   std::to_string(ecReportDeviceOK) + ":[0n"}));
    EXPECT_EQ(engine.Screen(), "ab!");
}

// A reply the sink refuses raises out of the write; the next sequence is read on its own, not
// with the parameters of the one whose reply failed.
TEST(TermEngine, ASequenceAfterARefusedReplyStartsAfresh) {
    class RefusingSink : public RecordingSink {
    public:
        void SendStr(const std::string&) override { throw std::runtime_error("line down"); }
    };
    for (const TTermEmulation emulation : {teVT52, teVT100orANSI}) {
        SCOPED_TRACE(emulation == teVT52 ? "VT52" : "VT100");
        TestEngine engine;
        RefusingSink refusing;
        engine.SetEmulation(emulation);
        engine.SetSink(&refusing);
        const std::string query = emulation == teVT52 ? ESC + "Z" : ESC + "[6n";
        EXPECT_THROW(engine.WriteStr(query), std::runtime_error);
        engine.SetSink(&engine.sink);
        // Row 5, column 10.
        engine.WriteStr((emulation == teVT52 ? ESC + "Y$)" : ESC + "[5;10H") + "X");
        EXPECT_EQ(engine.Buffer().GetChar(10, 5).Ch, 'X');
    }
}

TEST(TermEngine, HandlerReplacingTheParserDuringAWrite) {
    TestEngine engine;
    engine.OnChar = [&](TObject*, char Ch) {
        if (Ch == 'x')
            engine.SetEmulation(engine.Emulation() == teVT52 ? teVT100orANSI : teVT52);
    };
    // The first x switches to VT52 in the middle of a block, the second back.
    engine.WriteStr("x" + ESC + "Y%+x" + ESC + "[2;2HA");
    EXPECT_EQ(engine.Emulation(), teVT100orANSI);
    EXPECT_EQ(engine.Buffer().GetChar(2, 2).Ch, 'A');
}

TEST(TermEngine, ClearScreenKeepsAttributesAndModes) {
    TestEngine engine;
    engine.WriteStr("AB" + ESC + "[1m" + ESC + "[?1h" + ESC + "[3g");
    engine.ClearScreen();
    EXPECT_EQ(engine.Screen(), "");
    EXPECT_EQ(engine.CaretPos(), (TTermPoint{1, 1}));
    EXPECT_TRUE(engine.Attributes().Bold);
    EXPECT_TRUE(engine.Mode().AppCursorKeys);
    EXPECT_EQ(engine.Buffer().NextTab(2), 9); // tab stops reset
}

} // namespace
} // namespace zv
