// The network port against real port servers on the loopback (PortServers.h): ser2net serving
// a pseudo-terminal pair whose far end the test holds, and pyserial's server class over its
// loop:// port, which echoes the data and mirrors RTS to CTS and DTR to DSR. Each test starts its
// own servers on free ports; they are stopped at the end of the test whatever happened. Where a
// test needs to say exactly what reaches the port (line-error reports between data bytes, a
// request to stop sending), a server scripted in the test plays the other end.
#include "platform/posix/TelnetReader.h"
#include "platform/tests/PortServers.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zv::test {
namespace {

constexpr DWORD kLong = 5000; // ms: a bound that is never reached in a passing run

HANDLE Open(const std::string& name, DWORD flags = 0) {
    return CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, flags, nullptr);
}

// Opens the port and sets its speed; INVALID_HANDLE_VALUE (and the error) when either fails.
HANDLE OpenAt(const std::string& name, DWORD baud, DWORD flags = 0) {
    const HANDLE port = Open(name, flags);
    if (port == INVALID_HANDLE_VALUE)
        return port;
    DCB dcb{};
    if (GetCommState(port, &dcb)) {
        dcb.BaudRate = baud;
        if (SetCommState(port, &dcb))
            return port;
    }
    const DWORD error = GetLastError();
    CloseHandle(port);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

class Rfc2217Port : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = PyPortServer::Missing(); !missing.empty())
            GTEST_SKIP() << missing;
    }
};

class Ser2netPort : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = Ser2net::Missing(); !missing.empty())
            GTEST_SKIP() << missing;
    }
};

// Every byte value, IAC (255) in runs of every length up to three among them.
std::vector<std::uint8_t> EveryByteValue() {
    std::vector<std::uint8_t> bytes;
    for (int round = 0; round < 8; ++round)
        for (int b = 0; b < 256; ++b)
            bytes.push_back(static_cast<std::uint8_t>((b + round * 37) & 0xFF));
    bytes.insert(bytes.end(), {255, 255, 255, 0, 255});
    return bytes;
}

TEST_F(Rfc2217Port, CarriesEveryByteValueBothWays) {
    PyPortServer server("serve");
    ASSERT_GT(server.port(), 0) << server.Log();
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
    const std::vector<std::uint8_t> sent = EveryByteValue();
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
    PyPortServer server("serve");
    ASSERT_GT(server.port(), 0) << server.Log();
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

// With a read pending, the server goes away: the read fails, so does every later write, and
// the handle still closes.
void ExpectDropIsAnUnplug(const std::string& name, const std::function<void()>& kill) {
    HANDLE port = Open(name, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::uint8_t buffer[16] = {};
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &ov)); // no time-outs: pending
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    kill();
    ASSERT_EQ(WaitForSingleObject(ov.hEvent, kLong), WAIT_OBJECT_0) << "read still pending";
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    ResetEvent(ov.hEvent);
    const BOOL wrote = WriteFile(port, buffer, sizeof buffer, &n, &ov);
    const DWORD error = GetLastError();
    if (!wrote && error == ERROR_IO_PENDING) {
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, kLong), WAIT_OBJECT_0) << "write still pending";
        EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    } else {
        EXPECT_FALSE(wrote);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    }
    CloseHandle(ov.hEvent);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Rfc2217Port, ADroppedConnectionIsAnUnpluggedDevice) {
    PyPortServer server("serve");
    ASSERT_GT(server.port(), 0) << server.Log();
    ExpectDropIsAnUnplug(server.Name(), [&] { server.Kill(); });
}

TEST_F(Ser2netPort, ADroppedConnectionIsAnUnpluggedDevice) {
    Ser2net server;
    ASSERT_GT(server.port(), 0) << server.Log();
    ExpectDropIsAnUnplug(server.Name(), [&] { server.Kill(); });
}

// A port server in the test: it agrees to every option and answers every setting with the value
// asked for, counts the data bytes it receives, and sends what the test gives it byte for byte
// (telnet commands included). `preamble` goes out before it answers anything. It can stop reading
// for a while (after the read under way).
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<std::uint8_t> preamble = {})
        : preamble_(std::move(preamble)) {
        listen_ = ListenOnLoopback(port_);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedServer() {
        paused_ = false;
        ::shutdown(listen_, SHUT_RDWR);
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (conn_ >= 0)
                ::shutdown(conn_, SHUT_RDWR);
        }
        thread_.join();
        if (conn_ >= 0)
            ::close(conn_);
        ::close(listen_);
    }
    std::string Name() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    std::size_t Received() const { return received_; }
    void PauseReading(bool paused) { paused_ = paused; }
    void Send(const std::vector<std::uint8_t>& bytes) {
        std::lock_guard<std::mutex> hold(lock_);
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(conn_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            sent += static_cast<std::size_t>(n);
        }
    }
    // IAC SB COM-PORT-OPTION, the server's command and value, IAC SE.
    static std::vector<std::uint8_t> Sub(std::uint8_t command, std::vector<std::uint8_t> value) {
        using namespace win32::telnet;
        std::vector<std::uint8_t> out = {kIac, kSb, kComPort, command};
        for (std::uint8_t b : value) {
            out.push_back(b);
            if (b == kIac)
                out.push_back(kIac);
        }
        out.insert(out.end(), {kIac, kSe});
        return out;
    }

private:
    void Serve() {
        const int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        {
            std::lock_guard<std::mutex> hold(lock_);
            conn_ = c;
        }
        Send(preamble_);
        win32::TelnetReader reader;
        std::vector<std::uint8_t> in(4096), data(4096);
        std::vector<win32::TelnetCommand> commands;
        for (;;) {
            while (paused_)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const ssize_t n = ::recv(c, in.data(), in.size(), 0);
            if (n <= 0)
                return;
            commands.clear();
            received_ += reader.Feed(in.data(), static_cast<std::size_t>(n), data.data(), commands);
            for (const win32::TelnetCommand& command : commands)
                Answer(command);
        }
    }
    void Answer(const win32::TelnetCommand& c) {
        using namespace win32::telnet;
        switch (c.kind) {
        case win32::TelnetCommand::Will:
            Send({kIac, kDo, c.option});
            break;
        case win32::TelnetCommand::Do:
            Send({kIac, kWill, c.option});
            break;
        case win32::TelnetCommand::Sub:
            if (c.option == kComPort && !c.payload.empty() && c.payload[0] < 100)
                Send(Sub(static_cast<std::uint8_t>(c.payload[0] + 100),
                         std::vector<std::uint8_t>(c.payload.begin() + 1, c.payload.end())));
            break;
        default:
            break;
        }
    }

    std::vector<std::uint8_t> preamble_;
    int listen_ = -1;
    int port_ = 0;
    std::mutex lock_;
    int conn_ = -1;
    std::atomic<std::size_t> received_{0};
    std::atomic<bool> paused_{false};
    std::thread thread_;
};

constexpr std::uint8_t kNotifyLinestate = 106, kNotifyModemstate = 107, kFlowSuspend = 108,
                       kFlowResume = 109;

// Line-error reports mark the bytes they concern, however many come in one segment and in
// whatever order the server lists them (a parity error marks the byte before the report, which
// the error character replaces). A report that comes in a later segment than its byte counts the
// error and marks no byte after it.
TEST(Rfc2217Scripted, LineErrorReportsMarkTheirBytes) {
    struct Segment {
        std::vector<std::vector<std::uint8_t>> parts; // data and reports, sent as one segment
        DWORD errors;                                 // ClearCommError's after it
    };
    struct Case {
        const char* name;
        std::vector<Segment> segments;
        std::string read; // every byte, at the end
    };
    const auto report = [](std::uint8_t bits) {
        return ScriptedServer::Sub(kNotifyLinestate, {bits});
    };
    const std::vector<std::uint8_t> A = {'A'}, B = {'B'};
    const Case cases[] = {
        {"parity", {{{A, report(0x04)}, CE_RXPARITY}}, "?"},
        {"overrun and parity", {{{A, report(0x06)}, CE_OVERRUN | CE_RXPARITY}}, "?"},
        {"break and framing", {{{A, report(0x18)}, CE_BREAK | CE_FRAME}}, "A"},
        {"two reports",
         {{{A, report(0x14), B, report(0x02)}, CE_BREAK | CE_RXPARITY | CE_OVERRUN}},
         "?B"},
        {"parity reported after its byte was taken",
         {{{A}, 0}, {{report(0x04)}, CE_RXPARITY}, {{B}, 0}},
         "AB"},
        {"framing reported after its byte was taken",
         {{{A}, 0}, {{report(0x08)}, CE_FRAME}, {{B}, 0}},
         "AB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        HANDLE port = Open(server.Name());
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.Parity = EVENPARITY;
        dcb.fParity = TRUE;
        dcb.fErrorChar = TRUE;
        dcb.ErrorChar = '?';
        ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
        std::size_t bytes = 0;
        for (const Segment& s : c.segments) {
            std::vector<std::uint8_t> segment;
            for (const auto& part : s.parts) {
                segment.insert(segment.end(), part.begin(), part.end());
                bytes += part.size() == 1 ? 1 : 0;
            }
            server.Send(segment);
            DWORD errors = 0;
            COMSTAT st{};
            for (int i = 0; i < 2000 && (st.cbInQue < bytes || errors != s.errors); ++i) {
                DWORD more = 0;
                ASSERT_TRUE(ClearCommError(port, &more, &st));
                errors |= more;
                Sleep(1);
            }
            EXPECT_EQ(st.cbInQue, bytes);
            EXPECT_EQ(errors, s.errors);
        }
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0}; // the bytes are there
        ASSERT_TRUE(SetCommTimeouts(port, &t));
        char got[8] = {};
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(port, got, sizeof got, &n, nullptr));
        EXPECT_EQ(std::string(got, n), c.read);
        EXPECT_TRUE(CloseHandle(port));
    }
}

// A ring is one EV_RING, at its end: the server reports the ring indicator going on, then off
// (with the trailing-edge bit or without it), or only the edge of a ring too short to be seen.
TEST(Rfc2217Scripted, ARingIsOneEventAtItsEnd) {
    const struct {
        std::uint8_t modemState; // NOTIFY-MODEMSTATE's value
        bool ringOn, event;
    } steps[] = {
        {0x40, true, false},  {0x04, false, true}, // on; off with the trailing-edge bit
        {0x40, true, false},  {0x00, false, true}, // on; off without it
        {0x04, false, true},                       // the edge alone
        {0x00, false, false},                      // nothing changed
    };
    ScriptedServer server;
    HANDLE port = Open(server.Name(), FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(SetCommMask(port, EV_RING));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD bytes = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(bytes);
        // A byte after the report: once the port has it, it has seen the report.
        std::vector<std::uint8_t> segment = ScriptedServer::Sub(kNotifyModemstate, {s.modemState});
        segment.push_back('x');
        server.Send(segment);
        ++bytes;
        COMSTAT st{};
        for (int i = 0; i < 5000 && st.cbInQue < bytes; ++i) {
            DWORD errors = 0;
            ASSERT_TRUE(ClearCommError(port, &errors, &st));
            Sleep(1);
        }
        ASSERT_EQ(st.cbInQue, bytes);
        DWORD status = 0;
        ASSERT_TRUE(GetCommModemStatus(port, &status));
        EXPECT_EQ((status & MS_RING_ON) != 0, s.ringOn);
        DWORD events = 0;
        if (!WaitCommEvent(port, &events, &ov)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            ASSERT_TRUE(SetCommMask(port, EV_RING)); // ends the wait with no event
            DWORD n = 0;
            ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE));
        }
        EXPECT_EQ((events & EV_RING) != 0, s.event);
    }
    CloseHandle(ov.hEvent);
    EXPECT_TRUE(CloseHandle(port));
}

// The port's CPU time while `span` passes.
double CpuSecondsDuring(std::chrono::milliseconds span) {
    const auto cpu = [] {
        rusage u{};
        ::getrusage(RUSAGE_SELF, &u);
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    const double before = cpu();
    std::this_thread::sleep_for(span);
    return cpu() - before;
}

// A write larger than what the port buffers, held by the server or by the program: nothing
// goes out, nothing spins, and the whole write goes once the hold ends.
TEST(Rfc2217Scripted, AHeldWriteWaitsQuietlyAndGoesOnWhenReleased) {
    struct Case {
        const char* name;
        std::function<void(ScriptedServer&, HANDLE)> hold, release;
    };
    const Case cases[] = {
        {"the server asks to suspend",
         [](ScriptedServer& s, HANDLE) { s.Send(ScriptedServer::Sub(kFlowSuspend, {})); },
         [](ScriptedServer& s, HANDLE) { s.Send(ScriptedServer::Sub(kFlowResume, {})); }},
        {"the program holds it (SETXOFF)",
         [](ScriptedServer&, HANDLE p) { EscapeCommFunction(p, SETXOFF); },
         [](ScriptedServer&, HANDLE p) { EscapeCommFunction(p, SETXON); }},
    };
    // More than the port buffers; fast enough a line that the write ends well within kLong (it
    // lasts as long as the server's line needs to send it).
    const std::vector<std::uint8_t> payload(32 * 1024, 'w');
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        HANDLE port = OpenAt(server.Name(), 921600, FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        c.hold(server, port);
        // A byte after the hold: once the port has it, it has seen the hold too.
        server.Send({'s'});
        COMSTAT st{};
        for (int i = 0; i < 5000 && st.cbInQue == 0; ++i) {
            DWORD errors = 0;
            ASSERT_TRUE(ClearCommError(port, &errors, &st));
            Sleep(1);
        }
        ASSERT_EQ(st.cbInQue, 1u);
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        ASSERT_FALSE(WriteFile(port, payload.data(), static_cast<DWORD>(payload.size()), &n, &ov));
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_LT(CpuSecondsDuring(std::chrono::milliseconds(300)), 0.15) << "a held write spins";
        EXPECT_EQ(server.Received(), 0u);
        c.release(server, port);
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, kLong), WAIT_OBJECT_0) << "still held";
        EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
        EXPECT_EQ(n, payload.size());
        for (int i = 0; i < 5000 && server.Received() < payload.size(); ++i)
            Sleep(1);
        EXPECT_EQ(server.Received(), payload.size());
        CloseHandle(ov.hEvent);
        EXPECT_TRUE(CloseHandle(port));
    }
}

// Settings asked for while the socket is full of data go out as the server reads again: their
// answers come, and SetCommState succeeds.
TEST(Rfc2217Scripted, SettingsGoOutBehindAFullSocket) {
    ScriptedServer server;
    // At this speed the server's line takes the data as fast as it comes.
    HANDLE port = OpenAt(server.Name(), 4'000'000'000u, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    server.PauseReading(true);
    const std::vector<std::uint8_t> payload(8u << 20, 'w'); // more than the socket holds
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(port, payload.data(), static_cast<DWORD>(payload.size()), &n, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    Sleep(300); // the socket fills
    std::thread resume([&] {
        Sleep(300);
        server.PauseReading(false);
    });
    dcb.BaudRate -= 1;
    EXPECT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    resume.join();
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, kLong), WAIT_OBJECT_0);
    CloseHandle(ov.hEvent);
    EXPECT_TRUE(CloseHandle(port));
}

// What the socket took cannot be called back, so the port hands it only what the server's line
// sends shortly: once a write is stopped, little more reaches the server.
TEST(Rfc2217Scripted, LittleMoreGoesOutAfterAWriteIsStopped) {
    struct Case {
        const char* name;
        DWORD writeTimeout; // ms, 0: none
        std::function<void(HANDLE)> stop;
        bool closes;
    };
    const Case cases[] = {
        {"purged", 0, [](HANDLE p) { PurgeComm(p, PURGE_TXABORT | PURGE_TXCLEAR); }, false},
        {"timed out", 200, [](HANDLE) {}, false},
        {"held (SETXOFF)", 0, [](HANDLE p) { EscapeCommFunction(p, SETXOFF); }, false},
        {"closed", 0, [](HANDLE p) { CloseHandle(p); }, true},
    };
    const std::vector<std::uint8_t> payload(4096, 'w'); // half a minute at 1200 bit/s
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        HANDLE port = OpenAt(server.Name(), 1200, FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        COMMTIMEOUTS t{0, 0, 0, 0, c.writeTimeout};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        ASSERT_FALSE(WriteFile(port, payload.data(), static_cast<DWORD>(payload.size()), &n, &ov));
        for (int i = 0; i < 5000 && server.Received() == 0; ++i)
            Sleep(1);
        ASSERT_GT(server.Received(), 0u);
        c.stop(port);
        Sleep(300); // what the socket had reaches the server
        EXPECT_LT(server.Received(), 1024u);
        if (!c.closes) {
            EXPECT_TRUE(CloseHandle(port));
        }
        CloseHandle(ov.hEvent);
    }
}

// Data the server sends before the port takes any (here, before it has agreed to the protocol)
// is kept up to a bound; the rest is reported lost, not held in memory without end.
TEST(Rfc2217Scripted, DataBeforeTheOpenEndsIsBoundedAndTheLossReported) {
    ScriptedServer server(std::vector<std::uint8_t>(4u << 20, 'z'));
    HANDLE port = Open(server.Name());
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0}; // reads return what is there
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    std::size_t total = 0;
    DWORD errors = 0;
    std::vector<char> buffer(65536);
    for (int quiet = 0; quiet < 50;) {
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr));
        COMSTAT st{};
        DWORD more = 0;
        ASSERT_TRUE(ClearCommError(port, &more, &st));
        errors |= more;
        total += n;
        quiet = n == 0 ? quiet + 1 : 0;
        Sleep(n == 0 ? 2 : 0);
    }
    EXPECT_LT(total, std::size_t{4u << 20});
    EXPECT_TRUE(errors & CE_RXOVER) << errors;
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Rfc2217Port, ASettingTheServerDoesNotTakeFailsAndNothingElseChanges) {
    PyPortServer server("serve");
    ASSERT_GT(server.port(), 0) << server.Log();
    HANDLE port = OpenAt(server.Name(), 19200);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    // CTS follows RTS at the server: off, it would hold a write under CTS flow control.
    ASSERT_TRUE(EscapeCommFunction(port, CLRRTS));
    ASSERT_TRUE(AwaitModem(port, MS_CTS_ON, false));
    DCB refused = dcb;
    refused.BaudRate = 12345; // the server's device has no such speed and keeps 19200
    refused.fOutxCtsFlow = TRUE;
    EXPECT_FALSE(SetCommState(port, &refused));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DCB now{};
    ASSERT_TRUE(GetCommState(port, &now));
    EXPECT_EQ(now.BaudRate, 19200u);
    // Asked again, the refused speed is sent again (and refused again); the line still works,
    // without the flow control of the refused settings.
    EXPECT_FALSE(SetCommState(port, &refused));
    COMMTIMEOUTS t{0, 0, kLong, 0, 1000};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(port, "ok", 2, &n, nullptr));
    EXPECT_EQ(n, 2u) << "held by CTS";
    char got[2] = {};
    ASSERT_TRUE(ReadFile(port, got, 2, &n, nullptr));
    EXPECT_EQ(std::string(got, n), "ok");
    dcb.BaudRate = 38400;
    EXPECT_TRUE(SetCommState(port, &dcb)) << GetLastError();
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(Ser2netPort, CarriesEveryByteValueBothWays) {
    Ser2net server;
    ASSERT_GT(server.port(), 0) << server.Log();
    // At this speed a write lasts as long as the server's line needs.
    HANDLE port = OpenAt(server.Name(), 230400);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS t{0, 0, kLong, 0, kLong};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    const std::vector<std::uint8_t> bytes = EveryByteValue();
    const std::string text(bytes.begin(), bytes.end());
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr));
    EXPECT_EQ(n, bytes.size());
    EXPECT_EQ(server.Receive(text.size(), std::chrono::milliseconds(kLong)), text);
    ASSERT_TRUE(server.Send(text));
    std::vector<std::uint8_t> got(bytes.size());
    ASSERT_TRUE(ReadFile(port, got.data(), static_cast<DWORD>(got.size()), &n, nullptr));
    ASSERT_EQ(n, got.size());
    EXPECT_EQ(got, bytes);
    EXPECT_TRUE(CloseHandle(port));
}

// The server's line at 1200 bit/s needs six seconds for the bytes: the write stays pending while
// the server's device has the first ones, the bytes count as queued, and a purge ends it.
TEST_F(Ser2netPort, AWriteLastsAsLongAsTheServersLineNeeds) {
    Ser2net server;
    ASSERT_GT(server.port(), 0) << server.Log();
    HANDLE port = OpenAt(server.Name(), 1200, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    const std::string text(720, 'x');
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(port, text.data(), static_cast<DWORD>(text.size()), &n, &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(server.Receive(100, std::chrono::milliseconds(kLong)), text.substr(0, 100));
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_GT(stat.cbOutQue, 0u);
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, kLong), WAIT_OBJECT_0);
    CloseHandle(ov.hEvent);
    EXPECT_TRUE(CloseHandle(port));
}

// The speed and stop bits as the server applied them to its device, read back from the far end
// of the pseudo-terminal pair (which shares its settings; a pseudo-terminal keeps 8 bits without
// parity whatever it is told, so data size and parity show only in the server's answers, which
// SetCommState checks).
TEST_F(Ser2netPort, SettingsReachTheServersDevice) {
    Ser2net server;
    ASSERT_GT(server.port(), 0) << server.Log();
    HANDLE port = Open(server.Name());
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    const struct {
        DWORD baud;
        BYTE size, parity, stop;
        speed_t speed;
        bool twoStop;
    } cases[] = {
        {115200, 8, NOPARITY, ONESTOPBIT, B115200, false},
        {1200, 7, EVENPARITY, TWOSTOPBITS, B1200, true},
        {57600, 8, ODDPARITY, ONESTOPBIT, B57600, false},
        {9600, 6, MARKPARITY, TWOSTOPBITS, B9600, true},
        {230400, 8, SPACEPARITY, ONESTOPBIT, B230400, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.baud);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
        // The answers came after the server applied the settings.
        termios t{};
        ASSERT_EQ(::tcgetattr(server.master(), &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), c.speed);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.twoStop);
    }
    EXPECT_TRUE(CloseHandle(port));
}

TEST(Rfc2217Servers, AServerThatDoesNotSpeakTheProtocolIsRefused) {
    // A login prompt; telnet that refuses COM-PORT-OPTION; a raw TCP port that never answers.
    const struct {
        const char* what;
        const char* ser2netAccepter; // nullptr: pyserial's script in its "plain" mode
    } servers[] = {{"a login prompt", nullptr}, {"plain telnet", "telnet"}, {"raw TCP", ""}};
    int ran = 0;
    for (const auto& s : servers) {
        SCOPED_TRACE(s.what);
        std::optional<PyPortServer> py;
        std::optional<Ser2net> ser2net;
        std::string name;
        if (s.ser2netAccepter == nullptr && PyPortServer::Missing().empty()) {
            py.emplace("plain");
            ASSERT_GT(py->port(), 0) << py->Log();
            name = py->Name();
        } else if (s.ser2netAccepter != nullptr && Ser2net::Missing().empty()) {
            ser2net.emplace(s.ser2netAccepter);
            ASSERT_GT(ser2net->port(), 0) << ser2net->Log();
            name = ser2net->Name();
        } else {
            continue;
        }
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_NET_RESP));
        ++ran;
    }
    if (ran == 0)
        GTEST_SKIP() << PyPortServer::Missing() << "; " << Ser2net::Missing();
}

// Needs no port server.
TEST(Rfc2217Names, BadNamesAndRefusedConnectionsFailClearly) {
    // A port nobody listens on; servers that end the connection before the port is open.
    const std::string closed = "rfc2217://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const ClosingServer closing(false), resetting(true);
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
        {closing.Name(), ERROR_DEVICE_NOT_CONNECTED},
        {resetting.Name(), ERROR_DEVICE_NOT_CONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Open(c.name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
}

} // namespace
} // namespace zv::test
