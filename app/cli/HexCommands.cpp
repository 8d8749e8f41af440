#include "app/cli/HexCommands.h"

#include "app/cli/Cli.h"
#include "app/cli/SystemError.h"
#include "app/core/HostSystem.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <ostream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace zv::cli {

namespace {

std::string Hex4(std::uint32_t value) {
    std::ostringstream text;
    text << "0x" << std::uppercase << std::hex << std::setw(4) << std::setfill('0') << value;
    return text.str();
}

void PrintReport(std::ostream& out, const std::string& path, const HexImage& image,
                 const HexLoadReport& report) {
    const auto label = [&](std::string_view name) -> std::ostream& {
        return out << "  " << std::left << std::setw(15) << name << std::right;
    };
    out << path << "\n";
    label("image end:") << image.ImageEnd << " (" << Hex4(image.ImageEnd) << ")\n";
    label("bytes sent:") << image.DownloadBytes().size() << "\n";

    const std::vector<HexRange> ranges = CoveredRanges(image);
    label("ranges:");
    if (ranges.empty())
        out << "none\n";
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        if (i > 0)
            label("");
        const std::uint32_t size = ranges[i].End - ranges[i].Begin;
        out << Hex4(ranges[i].Begin) << "-" << Hex4(ranges[i].End - 1) << " (" << size
            << (size == 1 ? " byte)\n" : " bytes)\n");
    }
    label("records read:") << report.RecordsRead << "\n";
    label("lines skipped:") << report.LinesSkipped << "\n";

    label("problems:");
    bool any = !report.Refused.empty();
    if (any)
        out << report.Refused << "\n";
    for (unsigned bit : {hrChecksum, hrMalformed, hrOutsideImage, hrNotRecord}) {
        const unsigned line = report.FirstLineOf(bit);
        if (line == 0)
            continue;
        if (any)
            label("");
        any = true;
        out << "line " << line << ": " << HexOutcomeText(bit)
            << (bit == hrNotRecord ? ", skipped" : "") << "\n";
    }
    if (!any)
        out << "none\n";
}

// Writes all bytes, optionally forces them to the disk, and closes the file. Returns 0, or the
// errno of the first failure (a short write without one counts as an I/O error).
int WriteAndClose(std::FILE* file, std::span<const std::uint8_t> bytes, bool sync) {
    int error = 0;
    errno = 0;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
        error = errno != 0 ? errno : EIO;
    else if (std::fflush(file) != 0)
        error = errno;
    else if (sync)
        error = SyncToDisk(file);
    if (std::fclose(file) != 0 && error == 0)
        error = errno != 0 ? errno : EIO;
    return error;
}

#ifndef _WIN32
// The descriptor of this process that a path names (/dev/stdout, /dev/fd/N, /proc/self/fd/N),
// or -1. Following such a link leads to whatever the descriptor has open (a file a shell opened
// for appending, a pipe that has no name at all), which must not be replaced.
int OwnDescriptorNamed(const std::filesystem::path& path) {
    const std::string text = path.lexically_normal().string();
    if (text == "/dev/stdout")
        return 1;
    if (text == "/dev/stderr")
        return 2;
    const std::string self = "/proc/" + std::to_string(::getpid()) + "/fd/";
    for (const std::string& prefix :
         {std::string("/dev/fd/"), std::string("/proc/self/fd/"), self}) {
        if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string number = text.substr(prefix.size());
        if (number.size() > 9 || number.find_first_not_of("0123456789") != std::string::npos)
            return -1;
        return std::stoi(number);
    }
    return -1;
}

// Writes through a copy of descriptor `fd`, as it was opened (appending, say). Returns 0 or the
// errno of the failure.
int WriteThroughDescriptor(int fd, std::span<const std::uint8_t> bytes) {
    const int copy = ::dup(fd);
    std::FILE* file = copy < 0 ? nullptr : ::fdopen(copy, "wb");
    if (file == nullptr) {
        const int error = errno;
        if (copy >= 0)
            ::close(copy);
        return error;
    }
    return WriteAndClose(file, bytes, false);
}

// Whether this user may write the file (the permission bits alone do not tell, and renaming
// over a file needs only the folder's permission).
bool MayWrite(const std::filesystem::path& path) {
    return ::access(path.c_str(), W_OK) == 0;
}
#else
// Windows has no names for a process's descriptors, and its read-only attribute is the only
// bar to writing a file that the permission bits show.
int OwnDescriptorNamed(const std::filesystem::path&) {
    return -1;
}
int WriteThroughDescriptor(int, std::span<const std::uint8_t>) {
    return EBADF;
}
bool MayWrite(const std::filesystem::path&) {
    return true;
}
#endif

void RunInfo(const ParsedCommand& args, Context& context) {
    const std::string& path = args.Operands.at(0);
    HexImage image;
    const HexLoadReport report = ReadHexFile(path, image);
    PrintReport(context.Out, path, image, report);
    RequireUsable(path, report);
}

void RunImage(const ParsedCommand& args, Context& context) {
    const std::string& path = args.Operands.at(0);
    const std::string output = args.Value("output").value_or("");
    if (output.empty())
        throw UsageError("image: the output file name is empty");
    HexImage image;
    const HexLoadReport report = ReadHexFile(path, image);
    RequireUsable(path, report);
    WriteFileReplacing(output, image.DownloadBytes());
    // Written into the program's own output, the image is the output: the note goes beside it.
    std::ostream& note = OwnDescriptorNamed(output) == 1 ? context.Err : context.Out;
    note << "wrote " << image.DownloadBytes().size() << " bytes (image end " << image.ImageEnd
         << ") to " << Quoted(output) << "\n";
}

} // namespace

Command InfoCommand() {
    return {{"info",
             "FILE",
             "show what a download of a HEX file sends",
             "Loads a HEX file and shows what a download of it sends: the image end, the byte\n"
             "count (image end + 1), the address ranges covered, the records read, the lines\n"
             "skipped and the first line of each kind of problem. Exits with 1 when the file\n"
             "must not be downloaded (checksum mismatch, malformed record, data outside the\n"
             "33000-byte image, no record at all); the load stops at the first such line. Only\n"
             "a regular file of at most 1 MiB is read.",
             {},
             1,
             1},
            RunInfo};
}

Command ImageCommand() {
    return {{"image",
             "FILE",
             "write the bytes a download of a HEX file sends",
             "Writes exactly the bytes a download of a HEX file sends to OUT: addresses 0 to\n"
             "the image end inclusive, with 0x00 where no record put data. OUT is replaced\n"
             "only when the whole file has been written.",
             {{"output", 'o', "OUT", "the file to write", true}},
             1,
             1},
            RunImage};
}

HexLoadReport ReadHexFile(const std::string& path, HexImage& image) {
    if (std::string refusal = HexPathRefusal(path); !refusal.empty()) {
        image.Clear();
        HexLoadReport report;
        report.Refused = std::move(refusal);
        return report;
    }
    const HANDLE file = OpenHexFile(path);
    if (file == INVALID_HANDLE_VALUE)
        throw Failure("cannot open " + Quoted(path) + ": " + Win32ErrorText(GetLastError()));
    const HexLoadReport report = LoadHexFile(file, image);
    CloseHandle(file);
    if (report.ReadFailed)
        throw Failure("cannot read " + Quoted(path) + " (line " +
                      std::to_string(report.ReadErrorLine) +
                      "): " + Win32ErrorText(report.ReadError));
    return report;
}

void RequireUsable(const std::string& path, const HexLoadReport& report) {
    if (!report.Usable())
        throw Failure("bad HEX file " + Quoted(path) + ": " + HexProblemText(report));
}

void WriteFileReplacing(const std::string& path, std::span<const std::uint8_t> bytes) {
    namespace fs = std::filesystem;
    const auto fail = [&](int error) {
        return Failure("cannot write " + Quoted(path) + ": " + ErrnoText(error));
    };

    // A symbolic link stays a link: the file it points to gets the new content, and is created
    // when the link dangles. Each link is read by hand: canonical() fails on a dangling one.
    fs::path target = path;
    for (int links = 0;; ++links) {
        if (const int fd = OwnDescriptorNamed(target); fd >= 0) {
            if (const int error = WriteThroughDescriptor(fd, bytes); error != 0)
                throw fail(error);
            return;
        }
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(target, error)))
            break;
        if (links == 40)
            throw fail(ELOOP);
        const fs::path next = fs::read_symlink(target, error);
        if (error)
            throw Failure("cannot write " + Quoted(path) + ": " + ErrorCodeText(error));
        target = next.is_absolute() ? next : target.parent_path() / next;
    }

    // A device name on Windows reaches the device whatever the folder holds, and so would the
    // temporary's name made from it ("COM3.1a2b3c4d.tmp" before Windows 11): nothing is opened.
    if (const TSpecialName special = SpecialName(target.string()); special != sfNone)
        throw Failure("cannot write " + Quoted(path) + ": the name of " +
                      (special == sfPipe ? "a pipe" : "a device") + ", not of a file");
    // A device or a pipe cannot be replaced by renaming a file over it: the bytes go straight in.
    std::error_code ignored;
    const fs::file_status status = fs::status(target, ignored);
    if (fs::exists(status) && !fs::is_regular_file(status) && !fs::is_directory(status)) {
        errno = 0;
        std::FILE* file = std::fopen(target.string().c_str(), "wb");
        if (file == nullptr)
            throw fail(errno);
        if (const int error = WriteAndClose(file, bytes, false); error != 0)
            throw fail(error);
        return;
    }
    // A file made read-only is not replaced behind its owner's back (a rename would do it).
    constexpr fs::perms writable =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    const bool existing = fs::is_regular_file(status);
    if (existing && (status.permissions() & writable) == fs::perms::none)
        throw Failure("cannot write " + Quoted(path) + ": the file is read-only");
    // Nor one this user may not write.
    if (existing && !MayWrite(target))
        throw fail(errno);

    // A new temporary beside the target, under a name no earlier run can have left behind:
    // exclusive creation ("x") of a random name, so that two writers never share one either.
    // The name is shortened as far as the suffix needs, so that a target with a name of the
    // longest length allowed gets a temporary too.
    std::random_device random;
    std::string temp;
    std::FILE* file = nullptr;
    constexpr std::size_t nameMax = 255;     // the longest file name the usual file systems take
    constexpr std::size_t suffixLength = 13; // ".%08x.tmp"
    std::string stem = target.filename().string();
    if (stem.size() > nameMax - suffixLength)
        stem.resize(nameMax - suffixLength);
    for (int attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
        temp = (target.parent_path() / (stem + suffix)).string();
        errno = 0;
        file = std::fopen(temp.c_str(), "wbx");
        if (file == nullptr && errno != EEXIST)
            break;
    }
    if (file == nullptr)
        throw fail(errno);
    const auto discard = [&] { fs::remove(temp, ignored); };
    if (const int error = WriteAndClose(file, bytes, true); error != 0) {
        discard();
        throw fail(error);
    }
    // The replaced file keeps its permissions.
    if (existing) {
        std::error_code error;
        fs::permissions(temp, status.permissions(), error);
        if (error) {
            discard();
            throw Failure("cannot write " + Quoted(path) + ": " + ErrorCodeText(error));
        }
    }

    std::error_code renamed;
    fs::rename(temp, target, renamed);
    if (renamed) {
        discard();
        throw Failure("cannot write " + Quoted(path) + ": " + ErrorCodeText(renamed));
    }
}

} // namespace zv::cli
