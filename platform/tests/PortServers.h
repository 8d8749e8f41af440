// Real port servers on the loopback for the network port's tests and benchmark: ser2net (Debian
// ser2net) serving the far end of a pseudo-terminal pair that we hold, and pyserial's server
// class (Debian python3-serial, rfc2217_server.py beside this file). Each server is started on a
// port chosen at run time, with its files in a temporary folder of its own, and is stopped and
// reaped by the destructor in every case. Nothing here touches a real serial device.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zv::test {

// A TCP port on the loopback that was free a moment ago.
inline int FreeLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        ::close(s);
    return port;
}

// A socket listening on a free loopback port for one connection; -1 when none could be made.
// `port` gets the port number.
inline int ListenOnLoopback(int& port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(s, 1) == 0 && ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
        return s;
    }
    if (s >= 0)
        ::close(s);
    return -1;
}

// A server on a free loopback port that ends the one connection it accepts: after reading what
// the client sent first (the client reads the end of the stream), or at once with a reset.
class ClosingServer {
public:
    explicit ClosingServer(bool reset) : listen_(ListenOnLoopback(port_)) {
        thread_ = std::thread([this, reset] {
            const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            if (reset) {
                const linger now{1, 0};
                ::setsockopt(c, SOL_SOCKET, SO_LINGER, &now, sizeof now);
            } else {
                char first[256];
                (void)::recv(c, first, sizeof first, 0);
            }
            ::close(c);
        });
    }
    ClosingServer(const ClosingServer&) = delete;
    ClosingServer& operator=(const ClosingServer&) = delete;
    ~ClosingServer() {
        ::shutdown(listen_, SHUT_RDWR); // ends an accept still waiting
        thread_.join();
        ::close(listen_);
    }
    std::string Name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    int port_ = 0;
    int listen_ = -1;
    std::thread thread_;
};

// True when something listens on 127.0.0.1:port (read from /proc, so no connection is used up).
inline bool Listening(int port) {
    char want[32];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    std::ifstream in("/proc/net/tcp");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == want && state == "0A")
            return true;
    }
    return false;
}

// The path of an installed program among `candidates`, or empty.
inline std::string Installed(std::initializer_list<const char*> candidates) {
    for (const char* c : candidates)
        if (::access(c, X_OK) == 0)
            return c;
    return {};
}

// A child process, stopped (SIGTERM, then SIGKILL after a second) and reaped at the end.
class ServerProcess {
public:
    ServerProcess() = default;
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;
    ~ServerProcess() { Stop(); }

    // Starts argv[0] with standard output and error in `log`.
    bool Start(const std::vector<std::string>& argv, const std::string& log) {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        return pid_ > 0;
    }
    // Waits until the server listens on `port`; false when it ended or did not get there in 10 s.
    bool AwaitListening(int port) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (Listening(port))
                return true;
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Waits, up to `limit`, for the server to end by itself; true when it did.
    bool AwaitExit(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_)
                pid_ = -1;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pid_ <= 0;
    }
    // Ends the server at once, as a crash or a pulled network cable would.
    void Kill() { Signal(SIGKILL); }
    void Stop() { Signal(SIGTERM); }

private:
    void Signal(int sig) {
        if (pid_ <= 0)
            return;
        ::kill(pid_, sig);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
};

// A folder of our own for a server's configuration and log, removed at the end.
class TempFolder {
public:
    TempFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base ? base : "/tmp") + "/zv-srv.XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// ser2net with one connection: `accepter` on a free loopback port, its device the far end of a
// pseudo-terminal pair whose master we hold (raw, so every byte value passes unchanged).
// `accepter` is the protocol part of ser2net's accepter: "telnet(rfc2217)" for a port server,
// "telnet" for plain telnet, empty for raw TCP.
class Ser2net {
public:
    static std::string Program() { return Installed({"/usr/sbin/ser2net", "/usr/bin/ser2net"}); }
    // Why the server cannot run here, or empty.
    static std::string Missing() {
        return Program().empty() ? "ser2net is not installed (Debian package ser2net)" : "";
    }

    explicit Ser2net(const std::string& accepter = "telnet(rfc2217)") {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char slave[128];
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, slave, sizeof slave) != 0 || folder_.path().empty())
            return;
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
        // The port was free a moment ago; another program may take it first, so try again.
        for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) {
            const int port = FreeLoopbackPort();
            const std::string config = folder_.path() + "/ser2net.yaml";
            std::ofstream(config) << "connection: &line\n"
                                  << "  accepter: " << (accepter.empty() ? "" : accepter + ",")
                                  << "tcp,127.0.0.1," << port << "\n  connector: serialdev,"
                                  << slave << ",9600n81,local\n";
            if (process_.Start(
                    {Program(), "-n", "-u", "-c", config, "-P", folder_.path() + "/ser2net.pid"},
                    folder_.path() + "/ser2net.log") &&
                process_.AwaitListening(port))
                port_ = port;
            else
                process_.Stop();
        }
    }
    ~Ser2net() {
        process_.Stop();
        if (master_ >= 0)
            ::close(master_);
    }

    int port() const { return port_; }
    std::string Name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    // The far end of the line: what the server's device sends and receives.
    int master() const { return master_; }
    void Kill() { process_.Kill(); }
    // What the server wrote to its log, for a failure's message.
    std::string Log() const {
        std::ifstream in(folder_.path() + "/ser2net.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Bytes the server's device received, until `count` or `timeout`.
    std::string Receive(std::size_t count, std::chrono::milliseconds timeout) const {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{master_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buf[4096];
            const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) // EIO: the server has not opened its device (yet), or closed it
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            else
                out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
    // Bytes the server's device sends.
    bool Send(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    TempFolder folder_;
    ServerProcess process_;
    int master_ = -1;
    int port_ = 0;
};

#ifdef ZELVATOR_SOURCE_DIR
// pyserial's server class over its loop:// port, by rfc2217_server.py. Modes: "serve" echoes
// the data and mirrors RTS to CTS and DTR to DSR; "record" writes the line changes and data it
// receives to a file instead (RecordFile()), one line each; "plain" answers a connection with a
// login prompt and nothing of the protocol. The device refuses the speed 12345 (answers with the
// speed it keeps).
class PyPortServer {
public:
    static constexpr char kPython[] = "/usr/bin/python3";
    static std::string Missing() {
        if (::access(kPython, X_OK) != 0)
            return "/usr/bin/python3 is not installed";
        if (std::system("/usr/bin/python3 -c 'import serial.rfc2217' 2>/dev/null") != 0)
            return "pyserial's server class is not installed (Debian python3-serial)";
        return {};
    }

    explicit PyPortServer(const std::string& mode = "serve") {
        if (folder_.path().empty())
            return;
        for (int attempt = 0; attempt < 3 && port_ == 0; ++attempt) {
            const int port = FreeLoopbackPort();
            if (process_.Start({kPython, ZELVATOR_SOURCE_DIR "/platform/tests/rfc2217_server.py",
                                mode, std::to_string(port), RecordFile()},
                               folder_.path() + "/server.log") &&
                process_.AwaitListening(port))
                port_ = port;
            else
                process_.Stop();
        }
    }

    int port() const { return port_; }
    std::string Name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    void Kill() { process_.Kill(); }
    std::string RecordFile() const { return folder_.path() + "/record.txt"; }
    // The server ends when its client has gone and it has handled everything the client sent.
    bool AwaitExit() { return process_.AwaitExit(std::chrono::seconds(10)); }
    std::string Log() const {
        std::ifstream in(folder_.path() + "/server.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    TempFolder folder_;
    ServerProcess process_;
    int port_ = 0;
};
#endif

} // namespace zv::test
