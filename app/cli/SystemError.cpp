#include "app/cli/SystemError.h"

#include <cstring>
#include <system_error>

namespace zv::cli {

namespace {

#ifdef _WIN32
std::string SystemText(DWORD code) {
    char buffer[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}
#else
// The platform layer reports Win32 codes on POSIX too; these are the texts Windows gives for
// the codes that file operations produce.
std::string SystemText(DWORD code) {
    switch (code) {
    case 1:
        return "Incorrect function.";
    case 2:
        return "The system cannot find the file specified.";
    case 3:
        return "The system cannot find the path specified.";
    case 4:
        return "The system cannot open the file.";
    case 5:
        return "Access is denied.";
    case 6:
        return "The handle is invalid.";
    case 8:
        return "Not enough memory resources are available to process this command.";
    case 21:
        return "The device is not ready.";
    case 30:
        return "The system cannot read from the specified device.";
    case 31:
        return "A device attached to the system is not functioning.";
    case 32:
        return "The process cannot access the file because it is being used by another process.";
    case 50:
        return "The request is not supported.";
    case 80:
        return "The file exists.";
    case 87:
        return "The parameter is incorrect.";
    case 110:
        return "The system cannot open the device or file specified.";
    case 112:
        return "There is not enough space on the disk.";
    case 123:
        return "The filename, directory name, or volume label syntax is incorrect.";
    case 206:
        return "The filename or extension is too long.";
    case 267:
        return "The directory name is invalid.";
    default:
        return {};
    }
}
#endif

} // namespace

std::string Win32ErrorText(DWORD code) {
    std::string text = SystemText(code);
    if (text.empty())
        text = "System error.";
    return text + " (error " + std::to_string(code) + ")";
}

std::string ErrnoText(int code) {
    return std::generic_category().message(code) + " (errno " + std::to_string(code) + ")";
}

std::string ErrorCodeText(const std::error_code& error) {
    // The library's file operations report errno values on POSIX and system codes on Windows.
    if (error.category() == std::generic_category())
        return ErrnoText(error.value());
    if (error.category() == std::system_category() &&
        error.default_error_condition().category() == std::generic_category() &&
        error.default_error_condition().value() == error.value())
        return ErrnoText(error.value());
    return Win32ErrorText(static_cast<DWORD>(error.value()));
}

} // namespace zv::cli
