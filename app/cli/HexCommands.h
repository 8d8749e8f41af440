// HEX files on the command line: reading one through the platform layer, judging it, and writing
// the bytes a download sends. Shared by every command that takes a HEX file.
#pragma once

#include "app/core/HexImage.h"

#include <cstdint>
#include <span>
#include <string>

namespace zv::cli {

// Opens `path` (OpenHexFile: read access shared with other readers, existing file only), loads
// it into `image` and closes it. Throws Failure when the file cannot be opened or a read fails.
HexLoadReport ReadHexFile(const std::string& path, HexImage& image);

// Throws Failure naming the first problem line when the file must not be downloaded.
void RequireUsable(const std::string& path, const HexLoadReport& report);

// Writes `bytes` to a new temporary file beside `path` and renames it over `path`, so that a
// failure leaves `path` as it was and no partial file behind. A replaced file keeps its
// permissions; a read-only one is refused. A symbolic link is followed (a dangling link's target
// is created); a device or pipe (which cannot be replaced) is written directly. Throws Failure.
void WriteFileReplacing(const std::string& path, std::span<const std::uint8_t> bytes);

} // namespace zv::cli
