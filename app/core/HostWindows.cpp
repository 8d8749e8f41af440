// The Windows side of HostSystem.h.
#include "app/core/HostSystem.h"

#include "platform/win32.h"

#include <cerrno>
#include <io.h>

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

std::string PortDevice(const std::string& port) {
    return "\\\\.\\" + port;
}

std::string PortDeviceProblem(const std::string&, bool lineControl) {
    return lineControl ? "has no modem control lines (RTS/DTR) that could be set, which the board "
                         "protocol needs"
                       : std::string();
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
