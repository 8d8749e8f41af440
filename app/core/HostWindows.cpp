// The Windows side of HostSystem.h.
#include "app/core/HostSystem.h"

#include "platform/win32.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <string_view>

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

std::string ConfigFilePath(const std::string& name) {
    // The profile functions take a path as it is and look for a bare name in the Windows folder.
    if (name.find_first_of("\\/:") != std::string::npos)
        return name;
    char folder[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryA(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return name;
    return std::string(folder, length) + "\\" + name;
}

} // namespace zv
