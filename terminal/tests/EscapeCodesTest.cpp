// Push these bytes, expect this: both dialects' detection, parameter splitting, encoding and the
// hostile-input limits.
#include "terminal/EscapeCodes.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

namespace zv {
namespace {

const char* codeName(TEscapeCode Code) {
    static const char* const names[] = {"ecUnknown",
                                        "ecNotCompleted",
                                        "ecCursorUp",
                                        "ecCursorDown",
                                        "ecCursorLeft",
                                        "ecCursorRight",
                                        "ecCursorHome",
                                        "ecCursorMove",
                                        "ecReverseLineFeed",
                                        "ecAppCursorLeft",
                                        "ecAppCursorRight",
                                        "ecAppCursorUp",
                                        "ecAppCursorDown",
                                        "ecEraseLineFrom",
                                        "ecEraseScreenFrom",
                                        "ecEraseLine",
                                        "ecEraseScreen",
                                        "ecSetTab",
                                        "ecClearTab",
                                        "ecClearAllTabs",
                                        "ecIdentify",
                                        "ecIdentResponse",
                                        "ecQueryDevice",
                                        "ecReportDeviceOK",
                                        "ecReportDeviceFailure",
                                        "ecQueryCursorPos",
                                        "ecReportCursorPos",
                                        "ecAttributes",
                                        "ecSetMode",
                                        "ecResetMode",
                                        "ecReset",
                                        "ecSaveCaretAndAttr",
                                        "ecRestoreCaretAndAttr",
                                        "ecSaveCaret",
                                        "ecRestoreCaret",
                                        "ecTest"};
    static_assert(sizeof(names) / sizeof(names[0]) == kEscapeCodeCount);
    return names[Code];
}

std::string joined(const TEscapeParams& Params) {
    std::string out;
    for (const auto& p : Params)
        out += (out.empty() ? "" : ",") + p;
    return out;
}

// Feeds Bytes and describes what came out, the way the terminal consumes it: a plain character
// as itself, a code as "<name>(<params>)", after which the owner empties Params.
std::string feed(TEscapeCodes& Parser, const std::string& Bytes) {
    std::string out;
    for (const char ch : Bytes) {
        switch (Parser.ProcessChar(ch)) {
        case erChar:
            out += Parser.Character();
            break;
        case erCode:
            out +=
                std::string("<") + codeName(Parser.Code()) + "(" + joined(Parser.Params()) + ")>";
            Parser.Params().clear();
            break;
        case erNothing:
            break;
        }
    }
    return out;
}

struct DetectRow {
    std::string data; // bytes after the ESC
    TEscapeCode code;
    TEscapeParams params;
};

// Every byte but the last is absorbed; the last completes the sequence with Code, Params and
// Data = the bytes after the ESC.
void expectSequence(TEscapeCodes& Parser, const DetectRow& Row) {
    SCOPED_TRACE("ESC + \"" + Row.data + "\"");
    ASSERT_EQ(Parser.ProcessChar(TEscapeCodes::ESC), erNothing);
    for (std::size_t i = 0; i + 1 < Row.data.size(); ++i)
        ASSERT_EQ(Parser.ProcessChar(Row.data[i]), erNothing) << "byte " << i;
    ASSERT_EQ(Parser.ProcessChar(Row.data.back()), erCode);
    EXPECT_STREQ(codeName(Parser.Code()), codeName(Row.code));
    EXPECT_EQ(Parser.Params(), Row.params);
    EXPECT_EQ(Parser.Data(), Row.data);
    EXPECT_FALSE(Parser.InSequence());
    Parser.Params().clear();
}

TEST(EscapeCodesVT52, DetectionTable) {
    const std::vector<DetectRow> rows = {
        {"A", ecCursorUp, {}},
        {"B", ecCursorDown, {}},
        {"C", ecCursorRight, {}},
        {"D", ecCursorLeft, {}},
        {"H", ecCursorHome, {}},
        {"I", ecReverseLineFeed, {}},
        {"J", ecEraseScreenFrom, {}},
        {"K", ecEraseLineFrom, {}},
        {"Z", ecIdentify, {}},
        {"/Z", ecIdentResponse, {}},
        {"/X", ecUnknown, {}},
        {"//", ecUnknown, {}},
        {std::string("Y") + char(37) + char(42), ecCursorMove, {"6", "11"}},
        {"Y  ", ecCursorMove, {"1", "1"}},
        // Hostile coordinate bytes: below 32 gives 0 or less, above 127 counts unsigned.
        {std::string("Y\x1F") + '\0', ecCursorMove, {"0", "-31"}},
        {"Y\xFF\x80", ecCursorMove, {"224", "97"}},
        {"Q", ecUnknown, {}},
        {"a", ecUnknown, {}},
        {"[", ecUnknown, {}},
        {"\x1B", ecUnknown, {}}, // an ESC inside a sequence is an ordinary byte of it
    };
    TEscapeCodesVT52 parser;
    for (const auto& row : rows)
        expectSequence(parser, row);
}

TEST(EscapeCodesVT100, DetectionTableWithoutBracket) {
    const std::vector<DetectRow> rows = {
        {"H", ecSetTab, {}},
        {"c", ecReset, {}},
        {"7", ecSaveCaretAndAttr, {}},
        {"8", ecRestoreCaretAndAttr, {}},
        {"#8", ecTest, {}},
        {"#9", ecUnknown, {}},
        {"OA", ecAppCursorUp, {}},
        {"OB", ecAppCursorDown, {}},
        {"OC", ecAppCursorRight, {}},
        {"OD", ecAppCursorLeft, {}},
        {"OX", ecUnknown, {}},
        {"x", ecUnknown, {}},
        {"A", ecUnknown, {}},
        {"\x1B", ecUnknown, {}},
    };
    TEscapeCodesVT100 parser;
    for (const auto& row : rows)
        expectSequence(parser, row);
}

TEST(EscapeCodesVT100, DetectionTableBracket) {
    const std::vector<DetectRow> rows = {
        {"[A", ecCursorUp, {}},
        {"[5B", ecCursorDown, {"5"}},
        {"[C", ecCursorRight, {}},
        {"[D", ecCursorLeft, {}},
        {"[H", ecCursorHome, {}},
        {"[12;40H", ecCursorHome, {"12", "40"}},
        {"[5;10f", ecCursorMove, {"5", "10"}},
        {"[J", ecEraseScreenFrom, {}},
        {"[0J", ecEraseScreenFrom, {}},
        {"[2J", ecEraseScreen, {}},
        {"[27;3J", ecEraseScreen, {}}, // only the first byte of the first parameter counts
        {"[1J", ecUnknown, {}},
        {"[K", ecEraseLineFrom, {}},
        {"[0K", ecEraseLineFrom, {}},
        {"[2K", ecEraseLine, {}},
        {"[1K", ecUnknown, {}},
        {"[g", ecClearTab, {}},
        {"[0g", ecClearTab, {}},
        {"[3g", ecClearAllTabs, {}},
        {"[1g", ecUnknown, {}},
        {"[n", ecUnknown, {}},
        {"[0n", ecReportDeviceOK, {}},
        {"[3n", ecReportDeviceFailure, {}},
        {"[5n", ecQueryDevice, {}},
        {"[6n", ecQueryCursorPos, {}},
        {"[7n", ecUnknown, {}},
        {"[c", ecIdentify, {}},
        {"[0c", ecIdentify, {"0"}},
        {"[1c", ecUnknown, {"1"}},
        {"[0;0c", ecUnknown, {"0", "0"}},
        {"[?1;2c", ecIdentResponse, {"?1", "2"}},
        {"[?1c", ecUnknown, {"?1"}},
        {"[?2;2c", ecUnknown, {"?2", "2"}},
        {"[3;7R", ecReportCursorPos, {"3", "7"}},
        {"[?1h", ecSetMode, {"?1"}},
        {"[?3l", ecResetMode, {"?3"}},
        {"[m", ecAttributes, {}},
        {"[1;7m", ecAttributes, {"1", "7"}},
        {"[s", ecSaveCaret, {}},
        {"[u", ecRestoreCaret, {}},
        {"[x", ecUnknown, {}},
        {"[5Z", ecUnknown, {"5"}},
        // Parameter splitting: a ";" closes only a non-empty parameter.
        {"[;5H", ecCursorHome, {";5"}},
        {"[1;;2m", ecAttributes, {"1", ";2"}},
        {"[1;m", ecAttributes, {"1"}},
        {"[;;m", ecAttributes, {";"}},
        {"[ 1 ;\x01\xFFm", ecAttributes, {" 1 ", "\x01\xFF"}},
        {"[\x1B"
         "5H",
         ecCursorHome,
         {"\x1B"
          "5"}},
    };
    TEscapeCodesVT100 parser;
    for (const auto& row : rows)
        expectSequence(parser, row);
}

TEST(EscapeCodes, EveryOtherByteOutsideASequenceIsACharacter) {
    TEscapeCodesVT52 vt52;
    TEscapeCodesVT100 vt100;
    for (TEscapeCodes* parser :
         {static_cast<TEscapeCodes*>(&vt52), static_cast<TEscapeCodes*>(&vt100)}) {
        for (int b = 0; b < 256; ++b) {
            const char ch = static_cast<char>(b);
            if (ch == TEscapeCodes::ESC)
                continue;
            ASSERT_EQ(parser->ProcessChar(ch), erChar) << b;
            EXPECT_EQ(parser->Character(), ch);
        }
    }
}

TEST(EscapeCodes, StreamsSplitAcrossCalls) {
    struct Row {
        bool vt52;
        std::vector<std::string> pieces;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {false, {"ab\x1B[1", "2;4", "0H", "c\r\n"}, "ab<ecCursorHome(12,40)>c\r\n"},
        {false, {"\x1B", "[", "2", "J"}, "<ecEraseScreen()>"},
        {false, {"\x1B#", "8x"}, "<ecTest()>x"},
        {false, {"\x1B[1;3", "1mred\x1B[0m"}, "<ecAttributes(1,31)>red<ecAttributes(0)>"},
        {false, {"\x1B[?1", ";2c\x1BO", "B"}, "<ecIdentResponse(?1,2)><ecAppCursorDown()>"},
        {true, {"x\x1BY", "%", "*y"}, "x<ecCursorMove(6,11)>y"},
        {true, {"\x1B/", "Z\x1B", "K"}, "<ecIdentResponse()><ecEraseLineFrom()>"},
    };
    for (const auto& row : rows) {
        std::unique_ptr<TEscapeCodes> parser;
        if (row.vt52)
            parser = std::make_unique<TEscapeCodesVT52>();
        else
            parser = std::make_unique<TEscapeCodesVT100>();
        std::string out;
        for (const auto& piece : row.pieces)
            out += feed(*parser, piece);
        EXPECT_EQ(out, row.expected);
    }
}

// Text runs taken with ProcessText (printable bytes up to the next control byte) give exactly
// what byte-by-byte feeding gives.
TEST(EscapeCodes, ProcessTextMatchesProcessChar) {
    struct Row {
        std::string bytes;
        std::size_t taken; // by the first ProcessText call
    };
    const std::vector<Row> rows = {
        {"", 0},
        {"plain\r\n", 5},
        {"\r\nplain", 0},
        {"ab\bc\x7F\x80\xFF\tx", 2},
        {"ab\x1B[12;40Hcd\x1B", 2},
        {"\x1B[2Jx", 0},
        {std::string("\0\xFF\x7F", 3) + "\x1B"
                                        "c",
         0},
        {std::string("\xFF\x7F\0", 3), 2},
        {"\x1B[1;7mred\x1B[0m\x1BOA", 0},
        {"\x1BY!!", 0},
    };
    for (const auto& row : rows) {
        for (const bool vt52 : {false, true}) {
            std::unique_ptr<TEscapeCodes> byByte;
            std::unique_ptr<TEscapeCodes> byRun;
            if (vt52) {
                byByte = std::make_unique<TEscapeCodesVT52>();
                byRun = std::make_unique<TEscapeCodesVT52>();
            } else {
                byByte = std::make_unique<TEscapeCodesVT100>();
                byRun = std::make_unique<TEscapeCodesVT100>();
            }
            const std::string expected = feed(*byByte, row.bytes);
            EXPECT_EQ(byRun->ProcessText(row.bytes.data(), row.bytes.size()), row.taken);
            // The first call took row.taken bytes, each one a character.
            std::string out = row.bytes.substr(0, row.taken);
            if (row.taken > 0) {
                EXPECT_EQ(byRun->Character(), row.bytes[row.taken - 1]);
            }
            std::size_t at = row.taken;
            while (at < row.bytes.size()) {
                const std::size_t text =
                    byRun->ProcessText(row.bytes.data() + at, row.bytes.size() - at);
                out += row.bytes.substr(at, text);
                at += text;
                if (at < row.bytes.size())
                    out += feed(*byRun, std::string(1, row.bytes[at++]));
            }
            EXPECT_EQ(out, expected) << (vt52 ? "VT52 " : "VT100 ") << row.bytes;
            EXPECT_EQ(byRun->InSequence(), byByte->InSequence());
            EXPECT_EQ(byRun->Character(), byByte->Character());
        }
    }
}

TEST(EscapeCodes, ParamsAreLeftToTheOwnerToEmpty) {
    // VT52 appends; only the owner empties the list.
    TEscapeCodesVT52 vt52;
    for (const char ch : std::string("\x1BY!!\x1BY\"#"))
        vt52.ProcessChar(ch);
    EXPECT_EQ(vt52.Params(), (TEscapeParams{"2", "2", "3", "4"}));
    // VT100 bracket sequences replace the list whatever it held.
    TEscapeCodesVT100 vt100;
    vt100.Params() = {"stale"};
    for (const char ch : std::string("\x1B[7m"))
        vt100.ProcessChar(ch);
    EXPECT_EQ(vt100.Params(), (TEscapeParams{"7"}));
    for (const char ch : std::string("\x1B[2J"))
        vt100.ProcessChar(ch);
    EXPECT_TRUE(vt100.Params().empty());
}

TEST(EscapeCodes, GetParamReadsDecimalIntegersElseOne) {
    struct Row {
        TEscapeParams params;
        int num;
        int expected;
    };
    const std::vector<Row> rows = {
        {{}, 1, 1},
        {{"5", "7"}, 3, 1},
        {{"5", "7"}, 2, 7},
        {{"5"}, 0, 1},
        {{"5"}, -1, 1},
        {{"5"}, INT_MIN, 1},
        {{"0"}, 1, 0},
        {{"?1"}, 1, 1},
        {{""}, 1, 1},
        {{";5"}, 1, 1},
        {{"+5"}, 1, 5},
        {{"-5"}, 1, -5},
        {{"-"}, 1, 1},
        {{"+"}, 1, 1},
        {{"5x"}, 1, 1},
        {{" 5"}, 1, 1},
        {{"--5"}, 1, 1},
        {{"000000000000000000000000012"}, 1, 12},
        {{"2147483647"}, 1, INT_MAX},
        {{"-2147483648"}, 1, INT_MIN},
        {{"2147483648"}, 1, 1},
        {{"-2147483649"}, 1, 1},
        {{"4294967297"}, 1, 1},
        {{"99999999999999999999999999999999999"}, 1, 1},
    };
    for (const auto& row : rows)
        EXPECT_EQ(TEscapeCodes::GetParam(row.num, &row.params), row.expected)
            << joined(row.params) << " #" << row.num;
    EXPECT_EQ(TEscapeCodes::GetParam(1, nullptr), 1);
}

struct EncodeRow {
    TEscapeCode code;
    std::string vt52;  // bytes after the ESC, "" = no form
    std::string vt100; // likewise
};

// Every code, with the parameters "6", "11".
const std::vector<EncodeRow>& encodeTable() {
    static const std::vector<EncodeRow> rows = {
        {ecUnknown, "", ""},
        {ecNotCompleted, "", ""},
        {ecCursorUp, "A", "[A"},
        {ecCursorDown, "B", "[B"},
        {ecCursorLeft, "D", "[D"},
        {ecCursorRight, "C", "[C"},
        {ecCursorHome, "H", "[H"},
        {ecCursorMove, std::string("Y") + char(37) + char(42), "[6;11f"},
        {ecReverseLineFeed, "I", ""},
        {ecAppCursorLeft, "", "OD"},
        {ecAppCursorRight, "", "OC"},
        {ecAppCursorUp, "", "OA"},
        {ecAppCursorDown, "", "OB"},
        {ecEraseLineFrom, "K", "[K"},
        {ecEraseScreenFrom, "J", "[J"},
        {ecEraseLine, "", "[2K"},
        {ecEraseScreen, "", "[2J"},
        {ecSetTab, "", "H"},
        {ecClearTab, "", "[g"},
        {ecClearAllTabs, "", "[3g"},
        {ecIdentify, "Z", "[c"},
        {ecIdentResponse, "/Z", "[?1;6c"},
        {ecQueryDevice, "", "[5n"},
        {ecReportDeviceOK, "", "[0n"},
        {ecReportDeviceFailure, "", "[3n"},
        {ecQueryCursorPos, "", "[6n"},
        {ecReportCursorPos, "", "[6;11R"},
        {ecAttributes, "", "[m"},
        {ecSetMode, "", "[h"},
        {ecResetMode, "", "[l"},
        {ecReset, "", "c"},
        {ecSaveCaretAndAttr, "", "7"},
        {ecRestoreCaretAndAttr, "", "8"},
        {ecSaveCaret, "", "[s"},
        {ecRestoreCaret, "", "[u"},
        {ecTest, "", "#8"},
    };
    return rows;
}

std::string withEsc(const std::string& Tail) {
    return Tail.empty() ? std::string() : std::string(1, TEscapeCodes::ESC) + Tail;
}

TEST(EscapeCodes, EncodingTableCoversEveryCode) {
    ASSERT_EQ(encodeTable().size(), static_cast<std::size_t>(kEscapeCodeCount));
    const TEscapeParams params{"6", "11"};
    TEscapeCodesVT52 vt52;
    TEscapeCodesVT100 vt100;
    for (int i = 0; i < kEscapeCodeCount; ++i) {
        const EncodeRow& row = encodeTable()[static_cast<std::size_t>(i)];
        ASSERT_EQ(row.code, i) << "table out of order";
        EXPECT_EQ(vt52.EscCodeToStr(row.code, &params), withEsc(row.vt52)) << codeName(row.code);
        EXPECT_EQ(vt100.EscCodeToStr(row.code, &params), withEsc(row.vt100)) << codeName(row.code);
    }
}

TEST(EscapeCodes, DecodingAnEncodedCodeGivesItBack) {
    const TEscapeParams params{"6", "11"};
    for (const EncodeRow& row : encodeTable()) {
        TEscapeCodesVT52 vt52;
        TEscapeCodesVT100 vt100;
        for (TEscapeCodes* parser :
             {static_cast<TEscapeCodes*>(&vt52), static_cast<TEscapeCodes*>(&vt100)}) {
            const std::string bytes = parser->EscCodeToStr(row.code, &params);
            if (bytes.empty())
                continue;
            SCOPED_TRACE(codeName(row.code));
            TEscapeResult last = erNothing;
            for (const char ch : bytes)
                last = parser->ProcessChar(ch);
            ASSERT_EQ(last, erCode);
            EXPECT_EQ(parser->Code(), row.code);
            // Codes that carry positions bring them back in the same order, row first.
            if (row.code == ecCursorMove || row.code == ecReportCursorPos) {
                EXPECT_EQ(TEscapeCodes::GetParam(1, &parser->Params()), 6);
                EXPECT_EQ(TEscapeCodes::GetParam(2, &parser->Params()), 11);
            }
        }
    }
}

TEST(EscapeCodes, EncodingDefaultsAndHostileParameters) {
    TEscapeCodesVT52 vt52;
    TEscapeCodesVT100 vt100;
    EXPECT_EQ(vt100.EscCodeToStr(ecCursorMove, nullptr), "\x1B[1;1f");
    EXPECT_EQ(vt100.EscCodeToStr(ecIdentResponse, nullptr), "\x1B[?1;1c");
    const TEscapeParams unreadable{"?1", ""};
    EXPECT_EQ(vt100.EscCodeToStr(ecReportCursorPos, &unreadable), "\x1B[1;1R");
    EXPECT_EQ(vt52.EscCodeToStr(ecCursorMove, nullptr), "\x1BY  ");
    // VT52 coordinate bytes are the low 8 bits of P + 31, with no overflow on the way.
    const TEscapeParams extreme{"2147483647", "-2147483648"};
    const std::string bytes = vt52.EscCodeToStr(ecCursorMove, &extreme);
    ASSERT_EQ(bytes.size(), 4U);
    EXPECT_EQ(static_cast<unsigned char>(bytes[2]), (0x7FFFFFFFU + 31U) & 0xFFU);
    EXPECT_EQ(static_cast<unsigned char>(bytes[3]), (0x80000000U + 31U) & 0xFFU);
    const TEscapeParams wrap{"-31", "300"};
    EXPECT_EQ(vt52.EscCodeToStr(ecCursorMove, &wrap), std::string("\x1BY") + '\0' + char(75));
}

TEST(EscapeCodes, AnOpenSequenceEndsAtTheBound) {
    const std::size_t bound = TEscapeCodes::kMaxSequenceLength;
    TEscapeCodesVT100 parser;
    ASSERT_EQ(parser.ProcessChar(TEscapeCodes::ESC), erNothing);
    ASSERT_EQ(parser.ProcessChar('['), erNothing);
    std::size_t gathered = 1;
    TEscapeResult result = erNothing;
    while (result == erNothing && gathered < 10 * bound) {
        result = parser.ProcessChar('9');
        ++gathered;
    }
    ASSERT_EQ(result, erCode);
    EXPECT_EQ(gathered, bound);
    EXPECT_EQ(parser.Code(), ecUnknown);
    EXPECT_EQ(parser.Data(), "[" + std::string(bound - 1, '9'));
    EXPECT_FALSE(parser.InSequence());
    EXPECT_FALSE(parser.InExtSequence());
    // Parsing goes on from a clean state: more digits are text, a new sequence works.
    EXPECT_EQ(feed(parser, "99\x1B[3A"), "99<ecCursorUp(3)>");
    // A sequence just under the bound still completes normally.
    const std::string longest = "[" + std::string(bound - 2, '1') + "m";
    ASSERT_EQ(longest.size(), bound);
    EXPECT_EQ(feed(parser, "\x1B" + longest),
              "<ecAttributes(" + std::string(bound - 2, '1') + ")>");
}

} // namespace
} // namespace zv

namespace zv {
namespace {

// The run of printable bytes ends exactly at the first control byte wherever it stands in a word
// of eight, whatever printable bytes (0x20, 0x7F, 0x80 and above) surround it.
TEST(EscapeCodes, PrintableRunEndsAtTheFirstControlByte) {
    const std::string fills[] = {" ", "\x7F", "\x80", "\xFF", "a", "\x21\xA0"};
    const char controls[] = {'\0', '\x1F', '\x1B', '\n', '\x01'};
    for (const std::string& fill : fills) {
        for (const char control : controls) {
            for (std::size_t at = 0; at <= 25; ++at) {
                std::string bytes;
                while (bytes.size() < at)
                    bytes += fill[bytes.size() % fill.size()];
                bytes += control;
                bytes += "\x01xyz\x1B" + fill; // more controls after the first
                EXPECT_EQ(TEscapeCodes::PrintableRun(bytes.data(), bytes.size()), at)
                    << "fill " << int(static_cast<unsigned char>(fill[0])) << " control "
                    << int(control) << " at " << at;
                EXPECT_EQ(TEscapeCodes::PrintableRun(bytes.data(), at), at);
            }
        }
    }
}

} // namespace
} // namespace zv
