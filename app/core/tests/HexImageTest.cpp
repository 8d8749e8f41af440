#include "app/core/HexImage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace zv {
namespace {

// Builds a record line (without line end) with a correct checksum.
std::string Record(std::uint8_t type, std::uint32_t address, std::vector<std::uint8_t> data) {
    char digits[3];
    std::string line = ":";
    unsigned sum = 0;
    auto put = [&](unsigned byte) {
        std::snprintf(digits, sizeof digits, "%02X", byte & 0xFFu);
        line += digits;
        sum += byte;
    };
    put(static_cast<unsigned>(data.size()));
    put(address >> 8);
    put(address & 0xFF);
    put(type);
    for (std::uint8_t byte : data)
        put(byte);
    put(0x100u - (sum & 0xFFu));
    return line;
}

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

HexLoadReport Load(std::string_view text, HexImage& image) {
    return LoadHexBytes(Bytes(text), image);
}

TEST(HexDigitValue, ReadsBothCasesAndRejectsEverythingElse) {
    const std::string_view digits = "0123456789ABCDEF";
    const std::string_view lower = "0123456789abcdef";
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(HexDigitValue(digits[i]), i) << digits[i];
        EXPECT_EQ(HexDigitValue(lower[i]), i) << lower[i];
    }
    for (char c : {' ', 'G', 'g', ':', '/', '@', '`', '\0', '\x7F', '\xC1', 'x'})
        EXPECT_EQ(HexDigitValue(c), 0xFF) << static_cast<int>(c);
}

TEST(HexByteAt, ReadsTwoDigitsOrNothing) {
    EXPECT_EQ(HexByteAt(":1F", 1), 0x1F);
    EXPECT_EQ(HexByteAt("a5", 0), 0xA5);
    EXPECT_EQ(HexByteAt("00ff", 2), 0xFF);
    EXPECT_FALSE(HexByteAt("G0", 0));
    EXPECT_FALSE(HexByteAt("0 ", 0));
    EXPECT_FALSE(HexByteAt("1F", 1)); // one digit left
    EXPECT_FALSE(HexByteAt("1F", 2));
    EXPECT_FALSE(HexByteAt("1F", 99));
}

struct RecordCase {
    const char* name;
    std::string line;
    unsigned outcome;
    std::uint32_t imageEnd;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> bytes; // address -> expected value
};

TEST(ParseHexRecord, Table) {
    const std::vector<RecordCase> cases = {
        {"data at 0", ":03000000020003F8", hrStored, 3, {{0, 0x02}, {1, 0x00}, {2, 0x03}}},
        {"lowercase digits",
         ":0100100055"
         "9a",
         hrStored,
         0x11,
         {{0x10, 0x55}}},
        {"bad checksum still stores", ":010010005500", hrChecksum, 0x11, {{0x10, 0x55}}},
        {"end of file", ":00000001FF", hrStored, 0, {}},
        {"end of file with address", Record(1, 0x1234, {}), hrStored, 0, {}},
        {"extended linear 0", ":020000040000FA", hrStored, 0, {{0, 0}, {1, 0}}},
        {"extended linear non-zero", ":020000040001F9", hrOutsideImage, 0, {{0, 0}, {1, 0}}},
        {"extended segment 0", ":020000020000FC", hrStored, 0, {}},
        {"extended segment non-zero", Record(2, 0, {0x10, 0x00}), hrOutsideImage, 0, {}},
        {"extended address, 1 byte", Record(4, 0, {0}), hrMalformed, 0, {}},
        {"start segment", Record(3, 0, {0, 0, 0x01, 0x00}), hrStored, 0, {{0, 0}, {2, 0}}},
        {"start linear", Record(5, 0, {0, 0, 0x01, 0x00}), hrStored, 0, {{0, 0}, {2, 0}}},
        {"unknown type", Record(6, 0, {0xAA}), hrMalformed, 0, {{0, 0}}},
        {"empty data record", Record(0, 0x100, {}), hrStored, 0, {}},
        {"data at 0x100", Record(0, 0x100, {0x7E}), hrStored, 0x101, {{0x100, 0x7E}, {0, 0}}},
        {"last address", Record(0, 32999, {0x11}), hrStored, 33000, {{32999, 0x11}}},
        {"first outside address", Record(0, 33000, {0x11}), hrOutsideImage, 0, {}},
        {"straddles the end",
         Record(0, 32998, {1, 2, 3, 4}),
         hrOutsideImage,
         33000,
         {{32998, 1}, {32999, 2}, {33000, 0}}},
        {"top of 64K, no wrap", Record(0, 0xFFFF, {0x55, 0x66}), hrOutsideImage, 0, {{0, 0}}},
        {"not a record", "hello", hrNotRecord, 0, {}},
        {"empty line", "", hrNotRecord, 0, {}},
        {"colon not first", " :00000001FF", hrNotRecord, 0, {}},
        {"colon alone", ":", hrMalformed, 0, {}},
        {"no checksum", ":03000000020003", hrMalformed, 0, {{0, 0}}},
        {"shorter than count", ":04000000020003F8", hrMalformed, 0, {{0, 0}}},
        {"longer than count", ":03000000020003F800", hrMalformed, 0, {{0, 0}}},
        {"non-hex in data", ":030000000G0003F8", hrMalformed, 0, {{0, 0}}},
        {"non-hex in checksum", ":03000000020003FX", hrMalformed, 0, {{0, 0}}},
        {"space inside", ":03000000 020003F8", hrMalformed, 0, {{0, 0}}},
        {"trailing space", ":03000000020003F8 ", hrMalformed, 0, {{0, 0}}},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.name);
        HexImage image;
        EXPECT_EQ(ParseHexRecord(image, c.line), c.outcome);
        EXPECT_EQ(image.ImageEnd, c.imageEnd);
        for (auto [address, value] : c.bytes)
            EXPECT_EQ(image.Bytes.at(address), value) << "address " << address;
        EXPECT_EQ(image.Bytes[HexImageSize], 0); // the extra byte is never written
    }
}

TEST(ParseHexRecord, LongestRecordLoadsAsWritten) {
    std::vector<std::uint8_t> data(255);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    const std::string line = Record(0, 0x0200, data);
    ASSERT_EQ(line.size(), HexMaxLineLength);
    HexImage image;
    EXPECT_EQ(ParseHexRecord(image, line), hrStored);
    EXPECT_EQ(image.ImageEnd, 0x0200u + 255);
    for (std::size_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(image.Bytes[0x200 + i], data[i]) << i;
    EXPECT_EQ(image.Bytes[0x200 + 255], 0);
}

TEST(ParseHexRecord, ImageEndIsNeverLowered) {
    HexImage image;
    ParseHexRecord(image, Record(0, 0x300, {1}));
    ParseHexRecord(image, Record(0, 0x010, {2}));
    EXPECT_EQ(image.ImageEnd, 0x301u);
}

// The same two records, cut into lines in every way a file may do it.
TEST(LoadHexBytes, EveryLineEndGivesTheSameImage) {
    const std::string a = ":03000000020003F8";
    const std::string b = Record(0, 0x0010, {0xAA, 0xBB});
    const std::string eof = ":00000001FF";
    const struct {
        const char* name;
        std::string text;
        unsigned lines;
    } cases[] = {
        {"CR LF", a + "\r\n" + b + "\r\n" + eof + "\r\n", 3},
        {"LF", a + "\n" + b + "\n" + eof + "\n", 3},
        {"CR", a + "\r" + b + "\r" + eof + "\r", 3},
        {"LF CR", a + "\n\r" + b + "\n\r" + eof + "\n\r", 3},
        {"no final line end", a + "\n" + b + "\n" + eof, 3},
        {"blank lines CR LF", a + "\r\n\r\n" + b + "\r\n\r\n\r\n" + eof + "\r\n", 6},
        {"blank lines LF", "\n" + a + "\n\n" + b + "\n" + eof + "\n\n", 6},
        {"mixed", a + "\r\n" + b + "\n" + eof + "\r", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HexImage image;
        const HexLoadReport report = Load(c.text, image);
        EXPECT_TRUE(report.Usable()) << HexProblemText(report);
        EXPECT_EQ(report.Outcome, hrStored);
        EXPECT_EQ(report.RecordsRead, 3u);
        EXPECT_EQ(report.LinesSkipped, 0u);
        EXPECT_EQ(report.Lines, c.lines);
        EXPECT_EQ(image.ImageEnd, 0x12u);
        const std::vector<std::uint8_t> want = {2, 0, 3, 0, 0, 0, 0,    0,    0, 0,
                                                0, 0, 0, 0, 0, 0, 0xAA, 0xBB, 0};
        const auto sent = image.DownloadBytes();
        EXPECT_EQ(std::vector<std::uint8_t>(sent.begin(), sent.end()), want);
        EXPECT_EQ(CoveredRanges(image), (std::vector<HexRange>{{0, 3}, {0x10, 0x12}}));
    }
}

TEST(LoadHexBytes, EmptyOrEndOfFileOnlySendsOneZeroByte) {
    for (std::string text : {std::string(), std::string(":00000001FF\r\n"), std::string("\n\n"),
                             std::string("just text\n")}) {
        HexImage image;
        const HexLoadReport report = Load(text, image);
        EXPECT_TRUE(report.Usable());
        EXPECT_EQ(image.ImageEnd, 0u);
        ASSERT_EQ(image.DownloadBytes().size(), 1u);
        EXPECT_EQ(image.DownloadBytes()[0], 0);
        EXPECT_TRUE(CoveredRanges(image).empty());
    }
}

TEST(LoadHexBytes, RecordsInAnyOrderLaterOneWins) {
    const std::string text = Record(0, 0x10, {0xAA, 0xBB}) + "\n" + Record(0, 0x00, {1, 2, 3, 4}) +
                             "\n" + Record(0, 0x11, {0xCC, 0xDD}) + "\n" + Record(0, 0x02, {0xEE}) +
                             "\n:00000001FF\n";
    HexImage image;
    const HexLoadReport report = Load(text, image);
    EXPECT_TRUE(report.Usable());
    EXPECT_EQ(image.ImageEnd, 0x13u);
    EXPECT_EQ(image.Bytes[0x02], 0xEE);
    EXPECT_EQ(image.Bytes[0x10], 0xAA);
    EXPECT_EQ(image.Bytes[0x11], 0xCC);
    EXPECT_EQ(image.Bytes[0x12], 0xDD);
    EXPECT_EQ(CoveredRanges(image), (std::vector<HexRange>{{0, 4}, {0x10, 0x13}}));
}

TEST(LoadHexBytes, DataAtTheLastAddressSendsTheExtraZeroByte) {
    HexImage image;
    const HexLoadReport report = Load(Record(0, 32998, {0x12, 0x34}) + "\n", image);
    EXPECT_TRUE(report.Usable());
    EXPECT_EQ(image.ImageEnd, HexImageSize);
    const auto sent = image.DownloadBytes();
    ASSERT_EQ(sent.size(), HexImageSize + 1);
    EXPECT_EQ(sent[32998], 0x12);
    EXPECT_EQ(sent[32999], 0x34);
    EXPECT_EQ(sent[33000], 0x00);
}

TEST(LoadHexBytes, LongLines) {
    const std::string longest = Record(0, 0, std::vector<std::uint8_t>(255, 0x77));
    HexImage image;
    HexLoadReport report = Load(longest + "\n" + std::string(600, 'x') + "\n", image);
    EXPECT_TRUE(report.Usable());
    EXPECT_EQ(image.ImageEnd, 255u);
    EXPECT_EQ(image.Bytes[254], 0x77);
    EXPECT_EQ(report.LinesSkipped, 1u); // an overlong line of text is skipped, not malformed
    EXPECT_EQ(report.NotRecordLine, 2u);

    // One digit more than the longest record, and a far longer line that would wrap a
    // 256-byte buffer: both malformed, and neither stores anything.
    report = Load(":00000001FF\n" + longest + "0\n:" + std::string(700, '0') + "\n", image);
    EXPECT_FALSE(report.Usable());
    EXPECT_EQ(report.MalformedLine, 2u);
    EXPECT_EQ(image.ImageEnd, 0u);
    EXPECT_TRUE(CoveredRanges(image).empty());
}

TEST(LoadHexBytes, ReportsTheFirstLineOfEachKind) {
    const std::string text = ":03000000020003F8\r\n"   // 1 ok
                             "; a comment\r\n"         // 2 skipped
                             "\r\n"                    // 3 blank
                             ":010010005500\r\n"       // 4 checksum
                             ":0100100055\r\n"         // 5 malformed
                             ":010011005501\r\n"       // 6 checksum again
                             + Record(0, 40000, {1}) + // 7 outside
                             "\r\n"
                             "garbage\r\n"                    // 8 skipped
                             + Record(4, 0, {0, 1}) + "\r\n"; // 9 outside again
    HexImage image;
    const HexLoadReport report = Load(text, image);
    EXPECT_EQ(report.Outcome, hrNotRecord | hrChecksum | hrMalformed | hrOutsideImage);
    EXPECT_EQ(report.NotRecordLine, 2u);
    EXPECT_EQ(report.ChecksumLine, 4u);
    EXPECT_EQ(report.MalformedLine, 5u);
    EXPECT_EQ(report.OutsideImageLine, 7u);
    EXPECT_EQ(report.FirstLineOf(hrChecksum), 4u);
    EXPECT_EQ(report.RecordsRead, 6u);
    EXPECT_EQ(report.LinesSkipped, 2u);
    EXPECT_EQ(report.Lines, 9u);
    EXPECT_FALSE(report.Usable());
    EXPECT_EQ(HexProblemText(report), "line 4: checksum mismatch");
}

TEST(LoadHexBytes, SkippedLinesAloneLeaveTheFileUsable) {
    HexImage image;
    const HexLoadReport report = Load("# built by hand\n:0100000011EE\n\x1A", image);
    EXPECT_TRUE(report.Usable());
    EXPECT_EQ(report.LinesSkipped, 2u);
    EXPECT_EQ(report.NotRecordLine, 1u);
    EXPECT_EQ(HexProblemText(report), "");
    EXPECT_EQ(image.Bytes[0], 0x11);
}

TEST(LoadHexBytes, AByteOrderMarkBeforeTheFirstRecordIsIgnored) {
    HexImage image;
    HexLoadReport report = Load("\xEF\xBB\xBF:0100000011EE\r\n", image);
    EXPECT_TRUE(report.Usable());
    EXPECT_EQ(report.RecordsRead, 1u);
    EXPECT_EQ(image.Bytes[0], 0x11);
    const std::string longest = Record(0, 0, std::vector<std::uint8_t>(255, 0x77));
    report = Load("\xEF\xBB\xBF" + longest + "\n", image);
    EXPECT_TRUE(report.Usable());
    EXPECT_EQ(image.ImageEnd, 255u);
    report = Load("\xEF\xBB\xBF" + longest + "0\n", image);
    EXPECT_EQ(report.MalformedLine, 1u);
    // Only at the very start of the file.
    report = Load(":00000001FF\n\xEF\xBB\xBF:0100000011EE\n", image);
    EXPECT_EQ(report.NotRecordLine, 2u);
    EXPECT_EQ(image.ImageEnd, 0u);
}

TEST(LoadHexBytes, BlanksAfterARecordAndNowhereElse) {
    const struct {
        std::string text;
        unsigned outcome;
        unsigned skipped;
    } cases[] = {
        {":0100000011EE \r\n", hrStored, 0},
        {":0100000011EE\t \t\n", hrStored, 0},
        {":0100000011EE   ", hrStored, 0}, // last line without a line end
        {":0100000011EE x\n", hrMalformed, 0},
        {":0100000011EE;\n", hrMalformed, 0},
        {":01000000 11EE\n", hrMalformed, 0},
        {":0100000011E \n", hrMalformed, 0},
        {" :0100000011EE\n", hrNotRecord, 1},
        {" \t \n:0100000011EE\n", hrStored, 0}, // a line of blanks is a blank line
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        HexImage image;
        const HexLoadReport report = Load(c.text, image);
        EXPECT_EQ(report.Outcome, c.outcome);
        EXPECT_EQ(report.LinesSkipped, c.skipped);
        EXPECT_EQ(image.Bytes[0], c.outcome == hrStored ? 0x11 : 0);
    }
}

TEST(HexLineLoader, AFailedReadMakesTheLoadUnusable) {
    HexImage image;
    HexLineLoader loader(image);
    loader.Push(Bytes(":0100000011EE\n:01000100"));
    loader.Fail(5);
    loader.Push(Bytes("22DC\n"));
    const HexLoadReport report = loader.Finish();
    EXPECT_FALSE(report.Usable());
    EXPECT_TRUE(report.ReadFailed);
    EXPECT_EQ(report.ReadError, 5u);
    EXPECT_EQ(report.ReadErrorLine, 2u);
    EXPECT_EQ(report.RecordsRead, 1u); // the broken second line is not parsed
    EXPECT_EQ(HexProblemText(report), "line 2: read failed (error 5)");
}

TEST(HexLineLoader, EveryLoadStartsFromAnEmptyImage) {
    HexImage image;
    Load(Record(0, 0x400, {9, 9}) + "\n", image);
    ASSERT_EQ(image.ImageEnd, 0x402u);
    Load(Record(0, 0x000, {1}) + "\n", image);
    EXPECT_EQ(image.ImageEnd, 1u);
    EXPECT_EQ(image.Bytes[0x400], 0);
    EXPECT_EQ(CoveredRanges(image), (std::vector<HexRange>{{0, 1}}));
}

} // namespace
} // namespace zv
