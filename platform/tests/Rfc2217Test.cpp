// The network port against a real port server on the loopback: pyserial's server class over
// its loop:// port (tests/rfc2217_server.py), which echoes the data and mirrors RTS to CTS and
// DTR to DSR. Each test starts its own server on a free port and kills it at the end.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zv::test {
namespace {

constexpr DWORD kLong = 5000; // ms: a bound that is never reached in a passing run
constexpr char kPython[] = "/usr/bin/python3";

bool HaveServerClass() {
    return ::access(kPython, X_OK) == 0 &&
           std::system("/usr/bin/python3 -c 'import serial.rfc2217' 2>/dev/null") == 0;
}

// The server process; killed and reaped in every case.
class Server {
public:
    explicit Server(const char* mode) {
        int out[2];
        if (::pipe(out) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            const std::string script = ZELVATOR_SOURCE_DIR "/platform/tests/rfc2217_server.py";
            ::execl(kPython, kPython, script.c_str(), mode, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        FILE* f = ::fdopen(out[0], "r");
        int port = 0;
        if (f != nullptr && std::fscanf(f, "%d", &port) == 1)
            port_ = port;
        if (f != nullptr)
            std::fclose(f);
    }
    ~Server() { Kill(); }
    void Kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    int port() const { return port_; }
    std::string Name() const { return "\\\\.\\rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

HANDLE Open(const std::string& name, DWORD flags = 0) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

class Rfc2217Port : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveServerClass())
            GTEST_SKIP() << "pyserial's server class is not installed (Debian python3-serial "
                            "for /usr/bin/python3)";
    }
};

TEST_F(Rfc2217Port, CarriesEveryByteValueBothWays) {
    Server server("serve");
    ASSERT_GT(server.port(), 0);
    HANDLE port = Open(server.Name());
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 115200;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(port, &dcb));
    COMMTIMEOUTS t{0, 0, kLong, 0, kLong};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    // IAC (255) runs of every length up to three, among every other value.
    std::vector<std::uint8_t> sent;
    for (int round = 0; round < 8; ++round)
        for (int b = 0; b < 256; ++b)
            sent.push_back(static_cast<std::uint8_t>((b + round * 37) & 0xFF));
    sent.insert(sent.end(), {255, 255, 255, 0, 255});
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(port, sent.data(), static_cast<DWORD>(sent.size()), &n, nullptr));
    EXPECT_EQ(n, sent.size());
    std::vector<std::uint8_t> got(sent.size());
    ASSERT_TRUE(ReadFile(port, got.data(), static_cast<DWORD>(got.size()), &n, nullptr));
    ASSERT_EQ(n, got.size());
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(CloseHandle(port));
}

// Waits until the modem status has `bits` on (true) or off.
bool AwaitModem(HANDLE port, DWORD bits, bool on) {
    for (int i = 0; i < 500; ++i) {
        DWORD status = 0;
        if (GetCommModemStatus(port, &status) && ((status & bits) == bits) == on &&
            (on || (status & bits) == 0))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST_F(Rfc2217Port, LineChangesAtTheServerAreEvents) {
    Server server("serve");
    ASSERT_GT(server.port(), 0);
    HANDLE port = Open(server.Name(), FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(AwaitModem(port, MS_CTS_ON | MS_DSR_ON, true)) << "RTS/DTR on at the open";
    ASSERT_TRUE(SetCommMask(port, EV_CTS | EV_DSR));
    struct Step {
        DWORD function;
        DWORD event;
        DWORD line;
        bool on;
    };
    const Step steps[] = {
        {CLRRTS, EV_CTS, MS_CTS_ON, false},
        {SETRTS, EV_CTS, MS_CTS_ON, true},
        {CLRDTR, EV_DSR, MS_DSR_ON, false},
        {SETDTR, EV_DSR, MS_DSR_ON, true},
    };
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.function);
        DWORD events = 0;
        const BOOL now = WaitCommEvent(port, &events, &ov);
        ASSERT_TRUE(now || GetLastError() == ERROR_IO_PENDING);
        ASSERT_TRUE(EscapeCommFunction(port, s.function));
        ASSERT_EQ(WaitForSingleObject(ov.hEvent, kLong), WAIT_OBJECT_0) << "no event";
        DWORD n = 0;
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
        EXPECT_TRUE(events & s.event) << events;
        EXPECT_TRUE(AwaitModem(port, s.line, s.on));
    }
    CloseHandle(ov.hEvent);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Rfc2217Port, ADroppedConnectionIsAnUnpluggedDevice) {
    Server server("serve");
    ASSERT_GT(server.port(), 0);
    HANDLE port = Open(server.Name(), FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::uint8_t buffer[16];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &ov)); // no time-outs: pending
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    server.Kill();
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, kLong), WAIT_OBJECT_0) << "read still pending";
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(WriteFile(port, buffer, 1, &n, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    CloseHandle(ov.hEvent);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Rfc2217Port, AServerThatDoesNotSpeakTheProtocolIsRefused) {
    Server server("plain");
    ASSERT_GT(server.port(), 0);
    HANDLE port = Open(server.Name());
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NET_RESP));
}

// Needs no server.
TEST(Rfc2217Names, BadNamesAndRefusedConnectionsFailClearly) {
    // A port nobody listens on: bind one, then let it go.
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len), 0);
    const std::string closed = "rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    ::close(s);
    const struct {
        std::string name;
        DWORD error;
    } cases[] = {
        {"rfc2217://", ERROR_FILE_NOT_FOUND},
        {"rfc2217://host", ERROR_FILE_NOT_FOUND},
        {"rfc2217://host:", ERROR_FILE_NOT_FOUND},
        {"rfc2217://:23", ERROR_FILE_NOT_FOUND},
        {"rfc2217://host:0", ERROR_FILE_NOT_FOUND},
        {"rfc2217://host:65536", ERROR_FILE_NOT_FOUND},
        {"rfc2217://host:2x3", ERROR_FILE_NOT_FOUND},
        {"rfc2217://::1:23", ERROR_FILE_NOT_FOUND}, // IPv6 needs brackets
        {closed, ERROR_CONNECTION_REFUSED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Open("\\\\.\\" + c.name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

} // namespace
} // namespace zv::test
