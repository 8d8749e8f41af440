// Feeds arbitrary bytes to the HEX loader, once from memory and once as a file read through the
// platform layer, and checks what must hold for any input:
// - both loads agree, whole or pushed in pieces;
// - the image end never passes the image, the extra byte and every uncovered byte stay 0x00;
// - a usable report has no checksum, malformed or outside-image line.
#include "app/core/HexImage.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool SameReport(const zv::HexLoadReport& a, const zv::HexLoadReport& b) {
    return a.Outcome == b.Outcome && a.NotRecordLine == b.NotRecordLine &&
           a.ChecksumLine == b.ChecksumLine && a.MalformedLine == b.MalformedLine &&
           a.OutsideImageLine == b.OutsideImageLine && a.RecordsRead == b.RecordsRead &&
           a.LinesSkipped == b.LinesSkipped && a.Lines == b.Lines && a.ReadFailed == b.ReadFailed;
}

// A file in memory that CreateFileA can open by path.
int MemoryFile() {
    static const int fd = memfd_create("hexfuzz", 0);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    zv::HexImage whole;
    const zv::HexLoadReport report = zv::LoadHexBytes(bytes, whole);

    Check(whole.ImageEnd <= zv::HexImageSize);
    Check(whole.Bytes.size() == zv::HexImageSize + 1);
    Check(whole.Bytes[zv::HexImageSize] == 0);
    Check(whole.DownloadBytes().size() == whole.ImageEnd + 1u);
    for (std::uint32_t at = 0; at < zv::HexImageSize; ++at)
        Check(whole.Covered.test(at) || whole.Bytes[at] == 0);
    if (whole.ImageEnd > 0)
        Check(whole.Covered.test(whole.ImageEnd - 1));
    if (report.Usable())
        Check(report.ChecksumLine == 0 && report.MalformedLine == 0 &&
              report.OutsideImageLine == 0 && zv::HexProblemText(report).empty());
    else
        Check(!zv::HexProblemText(report).empty());

    // Pushed in uneven pieces.
    zv::HexImage pieces;
    zv::HexLineLoader loader(pieces);
    for (std::size_t at = 0, step = 1; at < size; at += step, step = step % 7 + 1)
        loader.Push(bytes.subspan(at, std::min(step, size - at)));
    Check(SameReport(report, loader.Finish()));
    Check(pieces.Bytes == whole.Bytes && pieces.ImageEnd == whole.ImageEnd);

    // Through the platform layer, one ReadFile per byte.
    const int fd = MemoryFile();
    if (fd >= 0 && ftruncate(fd, 0) == 0 &&
        pwrite(fd, data, size, 0) == static_cast<ssize_t>(size)) {
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            zv::HexImage read;
            const zv::HexLoadReport fromFile = zv::LoadHexFile(file, read);
            CloseHandle(file);
            Check(SameReport(report, fromFile));
            Check(read.Bytes == whole.Bytes && read.ImageEnd == whole.ImageEnd);
        }
    }
    return 0;
}
