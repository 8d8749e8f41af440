// The Windows side of HostSystem.h.
#include "app/core/HostSystem.h"

#include "platform/win32.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <io.h>
#include <shlobj.h>
#include <string_view>
#include <system_error>

namespace zv {

bool LocalBoardAvailable() {
    return false;
}

std::unique_ptr<TLocalBoard> StartLocalBoard(const std::string& portName, bool, bool) {
    throw ENoLocalBoard("the simulated board (" + portName +
                        ") needs the POSIX platform layer; on Windows use a real serial port");
}

bool IsTerminal(int fd) {
    return ::_isatty(fd) != 0;
}

void ReportClosedPipes() {
    // A write into a closed pipe fails with an error on Windows anyway.
}

std::unique_ptr<TStopRequests> CatchStopRequests(HANDLE) {
    return std::make_unique<TStopRequests>();
}

TRawStandardOutput::TRawStandardOutput() {
    std::fflush(stdout);
    previousMode_ = ::_setmode(::_fileno(stdout), _O_BINARY);
}

TRawStandardOutput::~TRawStandardOutput() {
    if (previousMode_ == -1)
        return;
    std::fflush(stdout);
    ::_setmode(::_fileno(stdout), previousMode_);
}

std::string PortDevice(const std::string& port) {
    return "\\\\.\\" + port;
}

std::string PortDeviceProblem(const std::string&, bool lineControl) {
    return lineControl ? "has no modem control lines (RTS/DTR) that could be set, which the board "
                         "protocol needs"
                       : std::string();
}

TSpecialName SpecialName(const std::string& path) {
    // The system's own reading of the name, without opening it: a device comes back as
    // "\\.\NAME" (or as it was written, "\\?\NAME").
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full)
        return sfNone; // too long for a device name; opening it says what else is wrong
    const std::string_view name(full, length);
    if (!name.starts_with("\\\\.\\") && !name.starts_with("\\\\?\\"))
        return sfNone;
    const std::string_view rest = name.substr(4);
    const auto startsNoCase = [&](std::string_view prefix) {
        return rest.size() >= prefix.size() &&
               CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, rest.data(),
                              static_cast<int>(prefix.size()), prefix.data(),
                              static_cast<int>(prefix.size())) == CSTR_EQUAL;
    };
    // A drive's or a share's file written in the device namespace.
    const bool drivePath = rest.size() >= 3 && std::isalpha(static_cast<unsigned char>(rest[0])) &&
                           rest[1] == ':' && rest[2] == '\\';
    if (drivePath || startsNoCase("UNC\\"))
        return sfNone;
    return startsNoCase("pipe\\") ? sfPipe : sfDevice;
}

int SyncToDisk(std::FILE* file) {
    return ::_commit(::_fileno(file)) == 0 ? 0 : errno;
}

namespace {

bool IsBareName(const std::string& name) {
    return name.find_first_of("\\/:") == std::string::npos;
}

bool IsAbsolute(std::string_view path) {
    const auto separator = [](char c) { return c == '\\' || c == '/'; };
    return (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
            path[1] == ':' && separator(path[2])) ||
           (path.size() >= 2 && separator(path[0]) && separator(path[1]));
}

// The user's own settings folder, "%APPDATA%\zelvator" (when APPDATA names no absolute path, in
// the folder the system names for it); empty when there is none.
std::string ConfigFolder() {
    std::string base;
    if (const char* appData = std::getenv("APPDATA"); appData != nullptr && IsAbsolute(appData)) {
        base = appData;
    } else {
        char folder[MAX_PATH] = {};
        if (SUCCEEDED(
                SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
            base = folder;
    }
    if (base.empty())
        return base;
    if (base.back() != '\\' && base.back() != '/')
        base += '\\';
    return base + "zelvator";
}

} // namespace

std::string ConfigFilePath(const std::string& name) {
    if (!IsBareName(name))
        return name;
    const std::string folder = ConfigFolder();
    // Without a user's folder the profile functions' own place for a bare name is left.
    return folder.empty() ? name : folder + "\\" + name;
}

std::string ProfileFileName(const std::string& name, bool forWrite) {
    const std::string path = ConfigFilePath(name);
    if (forWrite && path != name) {
        // A folder that cannot be made shows as the write's own failure.
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    }
    return path;
}

} // namespace zv
