#include "app/cli/HexCommands.h"

#include "app/cli/Cli.h"
#include "app/cli/SystemError.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <ostream>
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
        out << Hex4(ranges[i].Begin) << "-" << Hex4(ranges[i].End - 1) << " ("
            << ranges[i].End - ranges[i].Begin << " bytes)\n";
    }
    label("records read:") << report.RecordsRead << "\n";
    label("lines skipped:") << report.LinesSkipped << "\n";

    label("problems:");
    bool any = false;
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
    context.Out << "wrote " << image.DownloadBytes().size() << " bytes (image end "
                << image.ImageEnd << ") to " << Quoted(output) << "\n";
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
             "33000-byte image).",
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
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
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
    const auto fail = [&](std::string_view what, int error) {
        return Failure("cannot write " + Quoted(path) + ": " + std::string(what) +
                       ErrnoText(error));
    };

    // Exclusive creation ("x") so that two writers never share a temporary file.
    std::string temp;
    std::FILE* file = nullptr;
    int error = 0;
    for (int attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
        temp = path + ".tmp" + std::to_string(attempt);
        file = std::fopen(temp.c_str(), "wbx");
        error = errno;
        if (file == nullptr && error != EEXIST)
            break;
    }
    if (file == nullptr)
        throw fail("", error);

    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = written && std::fflush(file) == 0;
#ifndef _WIN32
    written = written && ::fsync(::fileno(file)) == 0;
#endif
    error = errno;
    written = (std::fclose(file) == 0) && written;
    if (!written) {
        error = error != 0 ? error : errno;
        std::remove(temp.c_str());
        throw fail("", error);
    }

    std::error_code renamed;
    std::filesystem::rename(temp, path, renamed);
    if (renamed) {
        std::remove(temp.c_str());
        throw Failure("cannot write " + Quoted(path) + ": " + renamed.message() + " (error " +
                      std::to_string(renamed.value()) + ")");
    }
}

} // namespace zv::cli
