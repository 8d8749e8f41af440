// The POSIX side of HostSystem.h.
#include "app/core/HostSystem.h"

#include "simboard/SimBoard.h"

#include "platform/posix/StoreFile.h"
#include "platform/win32.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace zv {

namespace {

class TPosixBoard final : public TLocalBoard {
public:
    explicit TPosixBoard(TSimBoardOptions options) : board_(std::move(options)) {}

    const std::string& PortName() const override { return board_.PortName(); }
    TBoardTranscript Transcript() const override { return board_.Transcript(); }
    TBoardState State() const override { return board_.State(); }

private:
    TSimBoard board_;
};

// SIGINT and SIGTERM set an event while the object lives. The signal handler only writes to a
// pipe; a thread of ours turns that into the event (SetEvent is no signal handler's call).
class TPosixStopRequests final : public TStopRequests {
public:
    explicit TPosixStopRequests(HANDLE stop) : stop_(stop) {
        if (::pipe2(pipe_, O_CLOEXEC) != 0)
            return;
        previousWriteEnd_ = writeEnd_; // an inner catcher hands the signals back when it goes
        writeEnd_ = pipe_[1];
        struct sigaction action {};
        action.sa_handler = [](int) {
            const char byte = 1;
            [[maybe_unused]] const ssize_t n = ::write(writeEnd_, &byte, 1);
        };
        sigemptyset(&action.sa_mask);
        // A stop request is no error: output the program was blocked writing goes on (the
        // monitor's pipe to a pager that is behind), instead of failing with EINTR.
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &action, &oldInt_);
        ::sigaction(SIGTERM, &action, &oldTerm_);
        watcher_ = std::thread([this] {
            char byte = 0;
            ssize_t n;
            while ((n = ::read(pipe_[0], &byte, 1)) < 0 && errno == EINTR) {
            }
            if (n == 1 && byte == 1)
                SetEvent(stop_);
        });
    }
    ~TPosixStopRequests() override {
        if (!watcher_.joinable())
            return;
        ::sigaction(SIGINT, &oldInt_, nullptr);
        ::sigaction(SIGTERM, &oldTerm_, nullptr);
        const char byte = 0; // ends the watcher
        [[maybe_unused]] const ssize_t n = ::write(pipe_[1], &byte, 1);
        watcher_.join();
        writeEnd_ = previousWriteEnd_;
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    TPosixStopRequests(const TPosixStopRequests&) = delete;
    TPosixStopRequests& operator=(const TPosixStopRequests&) = delete;

private:
    HANDLE stop_;
    static inline volatile int writeEnd_ = -1;
    int previousWriteEnd_ = -1;
    int pipe_[2] = {-1, -1};
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    std::thread watcher_;
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// Whether `port` names a virtual line: the port list shows those under \Device\VirtualSerial.
bool IsVirtualLine(const std::string& port) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    bool found = false;
    for (DWORD i = 0; !found; ++i) {
        char name[512];
        DWORD nameLength = sizeof name;
        BYTE data[512];
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength) !=
            ERROR_SUCCESS)
            break;
        found = type == REG_SZ && std::string_view(name).starts_with("\\Device\\VirtualSerial\\") &&
                EqualsNoCase(reinterpret_cast<const char*>(data), port);
    }
    RegCloseKey(key);
    return found;
}

// Linux numbers the pseudo-terminals' slave ends 136 to 143.
bool IsPseudoTerminal(const struct stat& st) {
    const unsigned major = major(st.st_rdev);
    return S_ISCHR(st.st_mode) && major >= 136 && major <= 143;
}

// Whether a character device is a terminal, without opening it (an open moves DTR): sysfs
// files every terminal under the tty subsystem. When sysfs cannot tell, nothing is said.
bool IsTerminalDevice(const struct stat& st) {
    const std::string link = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                             std::to_string(minor(st.st_rdev)) + "/subsystem";
    char target[256];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0)
        return true;
    const std::string_view subsystem(target, static_cast<std::size_t>(n));
    return subsystem.ends_with("/tty");
}

} // namespace

bool LocalBoardAvailable() {
    return true;
}

std::unique_ptr<TLocalBoard> StartLocalBoard(const std::string& portName, bool pacing,
                                             bool transcript) {
    TSimBoardOptions options;
    options.PortName = portName;
    options.Pacing = pacing;
    options.HistoryLimit = transcript ? 0 : LocalBoardHistoryLimit;
    return std::make_unique<TPosixBoard>(std::move(options));
}

bool IsTerminal(int fd) {
    return ::isatty(fd) == 1;
}

void ReportClosedPipes() {
    ::signal(SIGPIPE, SIG_IGN);
}

std::unique_ptr<TStopRequests> CatchStopRequests(HANDLE stop) {
    return std::make_unique<TPosixStopRequests>(stop);
}

TRawStandardOutput::TRawStandardOutput() = default;
TRawStandardOutput::~TRawStandardOutput() = default;

std::string PortDevice(const std::string& port) {
    // The platform layer's names: COMn is /dev/ttyS(n-1), a path is itself, any other name is
    // a device in /dev. A registered virtual line (SIM) wins over all of them.
    if (IsVirtualLine(port))
        return "the virtual line " + port;
    if (port.size() > 3 && port.size() < 10 && EqualsNoCase(port.substr(0, 3), "COM") &&
        std::all_of(port.begin() + 3, port.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        std::stoul(port.substr(3)) > 0)
        return "/dev/ttyS" + std::to_string(std::stoul(port.substr(3)) - 1);
    if (!port.empty() && port[0] == '/')
        return port;
    return "/dev/" + port;
}

std::string PortDeviceProblem(const std::string& port, bool lineControl) {
    if (IsVirtualLine(port))
        return {};
    const std::string device = PortDevice(port);
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0)
        return errno == ENOENT ? "does not exist" : std::string();
    const char* kind = S_ISREG(st.st_mode)    ? "a regular file"
                       : S_ISDIR(st.st_mode)  ? "a directory"
                       : S_ISFIFO(st.st_mode) ? "a pipe"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                                              : nullptr;
    if (kind != nullptr)
        return "is " + std::string(kind) + ", not a serial device";
    if (IsPseudoTerminal(st))
        return "is a pseudo-terminal: it has no modem control lines (RTS/DTR), which the board "
               "protocol needs";
    if (!IsTerminalDevice(st))
        return "is a device that is not a serial device";
    if (lineControl)
        return "has no modem control lines (RTS/DTR) that could be set, which the board protocol "
               "needs";
    return {};
}

TSpecialName SpecialName(const std::string& path) {
    // The platform layer's CreateFileA hands every name in the device namespace to its comm
    // driver, which opens the port (a tty or a virtual line) and raises its modem lines.
    return path.starts_with("\\\\.\\") ? sfDevice : sfNone;
}

int SyncToDisk(std::FILE* file) {
    return ::fsync(::fileno(file)) == 0 ? 0 : errno;
}

std::string ConfigFilePath(const std::string& name) {
    // The platform layer decides where a relative profile file name lives.
    return win32::ProfilePath(name.c_str());
}

std::string ProfileFileName(const std::string& name, bool) {
    return name;
}

} // namespace zv
