#include "app/core/HexImage.h"

#include "app/core/HostSystem.h"

#include <array>
#include <filesystem>
#include <system_error>

namespace zv {

namespace {

// Bytes per ReadFile call. The line assembly still takes them one at a time.
constexpr DWORD kReadChunk = 4096;

std::string TooLargeText(std::uint64_t size) {
    return (size > HexFileSizeLimit ? std::to_string(size) + " bytes, larger than "
                                    : std::string("larger than ")) +
           std::to_string(HexFileSizeLimit) +
           " bytes: a HEX file for the 33000-byte image is under 500000 bytes even with one data "
           "byte per record";
}

// Only a regular file has an end that comes: a device such as /dev/zero or a pipe may go on for
// ever, or wait for a writer that never comes.
std::string NotRegularText(DWORD type) {
    switch (type) {
    case FILE_TYPE_CHAR:
        return "not a regular file but a device; a HEX file is read only from a regular file";
    case FILE_TYPE_PIPE:
        return "not a regular file but a pipe; a HEX file is read only from a regular file";
    default:
        return "not a regular file; a HEX file is read only from a regular file";
    }
}

} // namespace

std::string HexPathRefusal(const std::string& path) {
    switch (SpecialName(path)) {
    case sfDevice:
        return NotRegularText(FILE_TYPE_CHAR);
    case sfPipe:
        return NotRegularText(FILE_TYPE_PIPE);
    case sfNone:
        break;
    }
    namespace fs = std::filesystem;
    std::error_code error;
    switch (fs::status(path, error).type()) {
    case fs::file_type::character:
        return NotRegularText(FILE_TYPE_CHAR);
    case fs::file_type::fifo:
        return NotRegularText(FILE_TYPE_PIPE);
    case fs::file_type::block:
    case fs::file_type::socket:
        return NotRegularText(FILE_TYPE_UNKNOWN);
    default:
        return {};
    }
}

HANDLE OpenHexFile(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HexLoadReport LoadHexFile(HANDLE file, HexImage& image) {
    HexLineLoader loader(image);
    const DWORD type = GetFileType(file);
    if (type != FILE_TYPE_DISK) {
        loader.Refuse(NotRegularText(type));
        return loader.Finish();
    }
    DWORD high = 0;
    SetLastError(0);
    const DWORD low = GetFileSize(file, &high);
    if (low != INVALID_FILE_SIZE || GetLastError() == 0) {
        const std::uint64_t size = std::uint64_t{high} << 32 | low;
        if (size > HexFileSizeLimit) {
            loader.Refuse(TooLargeText(size));
            return loader.Finish();
        }
    }

    // The size can change while the file is read (or a special file reports none): the limit
    // also holds for what is actually read.
    std::array<std::uint8_t, kReadChunk> buffer{};
    std::uint64_t total = 0;
    while (!loader.Unusable()) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), kReadChunk, &got, nullptr)) {
            loader.Fail(GetLastError());
            break;
        }
        if (got == 0)
            break; // end of file
        if (total + got > HexFileSizeLimit) {
            loader.Refuse(TooLargeText(0));
            break;
        }
        total += got;
        // Stops at the first unusable line: what follows cannot make the file usable again.
        for (DWORD i = 0; i < got && !loader.Unusable(); ++i)
            loader.Push(buffer[i]);
    }
    HexLoadReport report = loader.Finish();
    if (report.Usable() && report.RecordsRead == 0)
        report.Refused = "not an Intel HEX file: no line starts with ':'";
    return report;
}

} // namespace zv
