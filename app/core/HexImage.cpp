#include "app/core/HexImage.h"

#include <algorithm>
#include <array>

namespace zv {

namespace {

constexpr std::uint8_t kCR = 13;
constexpr std::uint8_t kLF = 10;
constexpr std::uint8_t kNotHexDigit = 0xFF;

// Record types of the Intel HEX format.
constexpr std::uint8_t kData = 0x00;
constexpr std::uint8_t kEndOfFile = 0x01;
constexpr std::uint8_t kExtendedSegmentAddress = 0x02;
constexpr std::uint8_t kStartSegmentAddress = 0x03;
constexpr std::uint8_t kExtendedLinearAddress = 0x04;
constexpr std::uint8_t kStartLinearAddress = 0x05;

// Fixed positions of a record line.
constexpr std::size_t kCountAt = 1;
constexpr std::size_t kAddressAt = 3;
constexpr std::size_t kTypeAt = 7;
constexpr std::size_t kDataAt = 9;
constexpr std::size_t kShortestRecord = kDataAt + 2; // no data, just the checksum

constexpr std::array kProblemBits{hrChecksum, hrMalformed, hrOutsideImage};

bool IsLineEnd(std::uint8_t byte) {
    return byte == kCR || byte == kLF;
}

bool IsBlank(std::uint8_t byte) {
    return byte == ' ' || byte == '\t';
}

// Stores a data record's bytes, dropping (and reporting) every byte that falls outside the image.
unsigned StoreData(HexImage& image, std::uint32_t address, std::span<const std::uint8_t> data) {
    unsigned outcome = hrStored;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint32_t at = address + static_cast<std::uint32_t>(i);
        if (at >= HexImageSize) {
            outcome |= hrOutsideImage;
            continue;
        }
        image.Bytes[at] = data[i];
        image.Covered.set(at);
    }
    if (!data.empty() && address < HexImageSize) {
        const auto reached = std::min<std::uint32_t>(
            address + static_cast<std::uint32_t>(data.size()), HexImageSize);
        image.ImageEnd = std::max(image.ImageEnd, reached);
    }
    return outcome;
}

// An extended address record moves every later data record; only the value 0 keeps them inside
// the image.
unsigned CheckExtendedAddress(std::span<const std::uint8_t> data) {
    if (data.size() != 2)
        return hrMalformed;
    return (data[0] != 0 || data[1] != 0) ? hrOutsideImage : hrStored;
}

} // namespace

void HexImage::Clear() {
    std::fill(Bytes.begin(), Bytes.end(), std::uint8_t{0});
    ImageEnd = 0;
    Covered.reset();
}

std::uint8_t HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<std::uint8_t>(c - 'a' + 10);
    return kNotHexDigit;
}

std::optional<std::uint8_t> HexByteAt(std::string_view line, std::size_t position) {
    if (position >= line.size() || line.size() - position < 2)
        return std::nullopt;
    const std::uint8_t high = HexDigitValue(line[position]);
    const std::uint8_t low = HexDigitValue(line[position + 1]);
    if (high == kNotHexDigit || low == kNotHexDigit)
        return std::nullopt;
    return static_cast<std::uint8_t>(high << 4 | low);
}

unsigned ParseHexRecord(HexImage& image, std::string_view line) {
    if (line.empty() || line[0] != ':')
        return hrNotRecord;
    if (line.size() < kShortestRecord)
        return hrMalformed;

    const auto count = HexByteAt(line, kCountAt);
    const auto high = HexByteAt(line, kAddressAt);
    const auto low = HexByteAt(line, kAddressAt + 2);
    const auto type = HexByteAt(line, kTypeAt);
    if (!count || !high || !low || !type)
        return hrMalformed;
    if (line.size() != kShortestRecord + 2 * std::size_t{*count})
        return hrMalformed;

    std::array<std::uint8_t, HexMaxDataBytes> buffer{};
    const std::span<std::uint8_t> data(buffer.data(), *count);
    unsigned sum = *count + *high + *low + *type;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto byte = HexByteAt(line, kDataAt + 2 * i);
        if (!byte)
            return hrMalformed;
        data[i] = *byte;
        sum += *byte;
    }
    const auto checksum = HexByteAt(line, kDataAt + 2 * data.size());
    if (!checksum)
        return hrMalformed;
    sum += *checksum;

    unsigned outcome = (sum & 0xFFu) == 0 ? hrStored : hrChecksum;
    const std::uint32_t address = std::uint32_t{*high} << 8 | *low;
    switch (*type) {
    case kData:
        outcome |= StoreData(image, address, data);
        break;
    case kEndOfFile:
    case kStartSegmentAddress:
    case kStartLinearAddress:
        break; // nothing to store: the board always starts at address 0
    case kExtendedSegmentAddress:
    case kExtendedLinearAddress:
        outcome |= CheckExtendedAddress(data);
        break;
    default:
        outcome |= hrMalformed; // a record type this format does not have
        break;
    }
    return outcome;
}

std::vector<HexRange> CoveredRanges(const HexImage& image) {
    std::vector<HexRange> ranges;
    std::uint32_t at = 0;
    while (at < HexImageSize) {
        if (!image.Covered.test(at)) {
            ++at;
            continue;
        }
        const std::uint32_t begin = at;
        while (at < HexImageSize && image.Covered.test(at))
            ++at;
        ranges.push_back({begin, at});
    }
    return ranges;
}

unsigned HexLoadReport::FirstLineOf(unsigned outcomeBit) const {
    switch (outcomeBit) {
    case hrNotRecord:
        return NotRecordLine;
    case hrChecksum:
        return ChecksumLine;
    case hrMalformed:
        return MalformedLine;
    case hrOutsideImage:
        return OutsideImageLine;
    default:
        return 0;
    }
}

bool HexLoadReport::Usable() const {
    return !ReadFailed && Refused.empty() &&
           (Outcome & (hrChecksum | hrMalformed | hrOutsideImage)) == 0;
}

std::string_view HexOutcomeText(unsigned outcomeBit) {
    switch (outcomeBit) {
    case hrStored:
        return "stored";
    case hrNotRecord:
        return "not a record (no ':' at the start)";
    case hrChecksum:
        return "checksum mismatch";
    case hrMalformed:
        return "malformed record";
    case hrOutsideImage:
        return "data outside the 33000-byte image";
    default:
        return "unknown outcome";
    }
}

std::string HexProblemText(const HexLoadReport& report) {
    if (!report.Refused.empty())
        return report.Refused;
    unsigned firstBit = 0;
    unsigned firstLine = 0;
    for (unsigned bit : kProblemBits) {
        const unsigned line = report.FirstLineOf(bit);
        if (line != 0 && (firstLine == 0 || line < firstLine)) {
            firstBit = bit;
            firstLine = line;
        }
    }
    if (firstLine != 0)
        return "line " + std::to_string(firstLine) + ": " + std::string(HexOutcomeText(firstBit));
    if (report.ReadFailed)
        return "line " + std::to_string(report.ReadErrorLine) + ": read failed (error " +
               std::to_string(report.ReadError) + ")";
    return {};
}

HexLineLoader::HexLineLoader(HexImage& image) : image_(image) {
    image_.Clear();
}

void HexLineLoader::Push(std::uint8_t byte) {
    if (finished_ || report_.ReadFailed || !report_.Refused.empty())
        return;
    if (IsLineEnd(byte)) {
        // CR LF and LF CR are one line end; CR CR or LF LF are two, with a blank line between.
        if (pendingEnd_ != 0 && byte != pendingEnd_) {
            pendingEnd_ = 0;
            return;
        }
        EndLine();
        pendingEnd_ = byte;
        return;
    }
    pendingEnd_ = 0;
    // Blanks are held back until something follows them: trailing ones never reach the line,
    // so a record with blanks after its checksum reads as the record.
    if (IsBlank(byte)) {
        ++blanks_;
        return;
    }
    for (; blanks_ > 0 && length_ <= sizeof line_; --blanks_)
        Store(' ');
    blanks_ = 0;
    Store(byte);
}

void HexLineLoader::Store(std::uint8_t byte) {
    if (length_ < sizeof line_)
        line_[length_] = static_cast<char>(byte);
    if (length_ <= sizeof line_)
        ++length_; // stops one past the buffer: enough to know the line is too long
}

void HexLineLoader::Push(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t byte : bytes)
        Push(byte);
}

void HexLineLoader::Fail(std::uint32_t systemError) {
    if (finished_ || report_.ReadFailed)
        return;
    report_.ReadFailed = true;
    report_.ReadError = systemError;
    report_.ReadErrorLine = report_.Lines + 1;
}

void HexLineLoader::Refuse(std::string reason) {
    if (finished_ || !report_.Refused.empty())
        return;
    report_.Refused = std::move(reason);
}

HexLoadReport HexLineLoader::Finish() {
    // A last line without a line end still counts; after a failed read or a refusal it is
    // incomplete.
    if (!finished_ && !report_.ReadFailed && report_.Refused.empty() && length_ > 0)
        EndLine();
    finished_ = true;
    return report_;
}

void HexLineLoader::EndLine() {
    ++report_.Lines;
    std::size_t length = length_;
    length_ = 0;
    blanks_ = 0;
    // Editors on some systems put a UTF-8 byte order mark before the first line; without this
    // the first record would be skipped as "not a record".
    std::size_t start = 0;
    if (report_.Lines == 1 && length >= 3 && std::string_view(line_, 3) == "\xEF\xBB\xBF") {
        start = 3;
        length -= 3;
    }
    if (length == 0)
        return; // blank line
    if (line_[start] != ':') {
        ++report_.LinesSkipped;
        Note(hrNotRecord);
        return;
    }
    ++report_.RecordsRead;
    if (length > HexMaxLineLength) {
        Note(hrMalformed);
        return;
    }
    Note(ParseHexRecord(image_, std::string_view(line_ + start, length)));
}

void HexLineLoader::Note(unsigned outcome) {
    report_.Outcome |= outcome;
    const unsigned line = report_.Lines;
    auto first = [&](unsigned bit, unsigned& slot) {
        if ((outcome & bit) != 0 && slot == 0)
            slot = line;
    };
    first(hrNotRecord, report_.NotRecordLine);
    first(hrChecksum, report_.ChecksumLine);
    first(hrMalformed, report_.MalformedLine);
    first(hrOutsideImage, report_.OutsideImageLine);
}

HexLoadReport LoadHexBytes(std::span<const std::uint8_t> bytes, HexImage& image) {
    HexLineLoader loader(image);
    loader.Push(bytes);
    return loader.Finish();
}

} // namespace zv
