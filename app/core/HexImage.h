// The Intel HEX loader: turns a program file for the 8051 target into the memory image that a
// download sends to the board.
//
// The file is read through a buffer and its bytes are fed one at a time into the line assembly,
// which cuts them into lines (CR, LF, CR LF and LF CR all end a line; blank lines are skipped).
// Each line that starts with ":" is one record; blanks (spaces, tabs) after it are ignored. Only
// data records (type 00) store bytes; end-of-file (01) and start-address records (03, 05) store
// nothing, and extended address records (02, 04) are accepted only with the value 0, because any
// other value places data outside the image. Nothing is ever stored outside the image.
//
// A load of bytes in memory goes on to their end and reports the first line of each kind of
// problem, so that the caller can name it. A load from a file stops at the first line that makes
// it unusable, reads only regular files, and never reads more than HexFileSizeLimit bytes. A
// file with a checksum mismatch, a malformed line, data outside the image or a failed read is not
// fit to be downloaded, and neither is a file that holds no record at all.
#pragma once

#include "platform/win32.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

// Addresses 0 to 32999 of the target's code memory.
constexpr std::uint32_t HexImageSize = 33000;

// The longest record: ":" + count, address, type (8 digits) + 255 data bytes + checksum.
constexpr std::size_t HexMaxDataBytes = 255;
constexpr std::size_t HexMaxLineLength = 1 + 8 + 2 * HexMaxDataBytes + 2;

// The largest file a load reads. Even one data byte per record (":01AAAA00DDCC" and CR LF, 15
// bytes for each image byte) puts the whole image in under 500 000 bytes; a file twice that size
// is something else, and reading on could take a long time or never end.
constexpr std::uint64_t HexFileSizeLimit = 1u << 20;

// The memory image of one load.
struct HexImage {
    // One byte more than the image: a download sends ImageEnd + 1 bytes and ImageEnd can be
    // HexImageSize. Bytes that no record covers, the extra one included, are 0x00 (NOP).
    std::vector<std::uint8_t> Bytes = std::vector<std::uint8_t>(HexImageSize + 1, 0);
    // One past the highest address a data byte was stored at; never above HexImageSize.
    std::uint32_t ImageEnd = 0;
    // Which addresses some data record has written.
    std::bitset<HexImageSize> Covered;

    // Exactly the bytes a download sends: addresses 0 to ImageEnd inclusive.
    std::span<const std::uint8_t> DownloadBytes() const {
        return std::span<const std::uint8_t>(Bytes.data(), ImageEnd + std::size_t{1});
    }
    void Clear();
};

// Outcome bits of ParseHexRecord; 0 means the record was read and stored.
enum : unsigned {
    hrStored = 0,
    hrNotRecord = 1u << 0,    // the line does not start with ":"; it stores nothing
    hrChecksum = 1u << 1,     // the checksum does not match; the record's data is still stored
    hrMalformed = 1u << 2,    // not a readable record: bad digit, wrong length, unknown type
    hrOutsideImage = 1u << 3, // data at or above HexImageSize, or a non-zero extended address
};

// Returns the value 0-15 of a hexadecimal digit (either case), or 0xFF for any other character.
std::uint8_t HexDigitValue(char c);

// The byte written as two hexadecimal digits at `position` of `line`; empty when either digit is
// missing or is not a hexadecimal digit.
std::optional<std::uint8_t> HexByteAt(std::string_view line, std::size_t position);

// Parses one line (without its line end) as a record, stores its data in `image` and raises
// image.ImageEnd. Returns a combination of the hr* bits.
unsigned ParseHexRecord(HexImage& image, std::string_view line);

// A run of covered addresses, [Begin, End).
struct HexRange {
    std::uint32_t Begin = 0;
    std::uint32_t End = 0;
    bool operator==(const HexRange&) const = default;
};

// The covered addresses of an image as ascending, non-adjacent ranges.
std::vector<HexRange> CoveredRanges(const HexImage& image);

// What a whole load found. Line numbers count from 1; 0 means "none".
struct HexLoadReport {
    unsigned Outcome = 0; // every hr* bit that some line produced
    unsigned NotRecordLine = 0;
    unsigned ChecksumLine = 0;
    unsigned MalformedLine = 0;
    unsigned OutsideImageLine = 0;
    unsigned RecordsRead = 0;  // lines that start with ":"
    unsigned LinesSkipped = 0; // non-blank lines that do not start with ":"
    unsigned Lines = 0;        // lines seen, blank ones included
    // A read that failed ends the load; the system's error code and the line it happened in.
    bool ReadFailed = false;
    std::uint32_t ReadError = 0;
    unsigned ReadErrorLine = 0;
    // Why the file as a whole was refused (not a regular file, too large, no record at all);
    // empty when it was not.
    std::string Refused;

    // First line of the given hr* bit, 0 if no line produced it.
    unsigned FirstLineOf(unsigned outcomeBit) const;
    // True when the image may be downloaded: no checksum mismatch, no malformed line, no data
    // outside the image, no failed read and no refusal. Skipped lines are allowed.
    bool Usable() const;
};

// The unusable-file problem that comes first in the file, as "line 12: checksum mismatch" (or
// "line 3: read failed (error 5)", or the refusal); empty when the report is usable.
std::string HexProblemText(const HexLoadReport& report);
// A short text for one hr* bit: "not a record", "checksum mismatch", ...
std::string_view HexOutcomeText(unsigned outcomeBit);

// Line assembly over a byte stream, independent of where the bytes come from. Push every byte of
// the file in order, then call Finish once; a last line without a line end is parsed as well.
class HexLineLoader {
public:
    // Clears `image` and starts a new load into it.
    explicit HexLineLoader(HexImage& image);

    void Push(std::uint8_t byte);
    void Push(std::span<const std::uint8_t> bytes);
    // Ends the load after a read failure with the system's error code.
    void Fail(std::uint32_t systemError);
    // Ends the load, refusing the file as a whole for `reason`.
    void Refuse(std::string reason);
    // True once a line (or a failure) has made the load unusable: reading on cannot mend it.
    bool Unusable() const { return !report_.Usable(); }
    HexLoadReport Finish();

private:
    void Store(std::uint8_t byte);
    void EndLine();
    void Note(unsigned outcome);

    HexImage& image_;
    HexLoadReport report_;
    // Holds one line: the longest record, a byte order mark before the first one, and one byte
    // more so that a longer line is recognised as such.
    char line_[3 + HexMaxLineLength + 1] = {};
    std::size_t length_ = 0;      // bytes of the current line (may exceed the buffer)
    std::uint8_t pendingEnd_ = 0; // CR or LF that just ended a line and may pair with the other
    std::size_t blanks_ = 0;      // blanks not stored yet: dropped at the line end
    bool finished_ = false;
};

// Loads a whole byte buffer as a HEX file.
HexLoadReport LoadHexBytes(std::span<const std::uint8_t> bytes, HexImage& image);

// Opens a HEX file for a load: read access, shared with other readers (two boards may be loaded
// from one file at once), existing files only. INVALID_HANDLE_VALUE and GetLastError on failure.
HANDLE OpenHexFile(const std::string& path);

// Looks at `path` without opening it and gives the refusal of LoadHexFile for what is not a
// regular file: opening a serial device raises its modem lines (a board on them is reset or
// switched to another mode), and a pipe may wait for a writer for ever. Empty for a regular
// file, a directory and a path that cannot be looked at: opening it then says why.
std::string HexPathRefusal(const std::string& path);

// Loads an open file. Refuses (HexLoadReport::Refused) what is not a regular file, a file larger
// than HexFileSizeLimit and a file that holds no record; stops at the first line that makes the
// load unusable. The caller opens the file before (OpenHexFile) and closes it after. `image` is
// cleared first.
HexLoadReport LoadHexFile(HANDLE file, HexImage& image);

} // namespace zv
