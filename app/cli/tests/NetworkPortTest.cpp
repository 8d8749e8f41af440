// zelvator-cli with a board on a port server (--port rfc2217://HOST:PORT): a whole download
// through real servers on the loopback (pyserial's server class recording what its device is
// told, and ser2net serving a pseudo-terminal pair), and the messages of the ways a network port
// fails. The servers are the tests' own, on ports chosen at run time
// (platform/tests/PortServers.h).
#include "ProgramRun.h"
#include "app/core/HexImage.h"
#include "platform/tests/PortServers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clitest::ReadAll;
using clitest::Result;
using clitest::Spawn;
using zv::test::FreeLoopbackPort;
using zv::test::PyPortServer;
using zv::test::Ser2net;

const std::string kHello = std::string(ZELVATOR_SOURCE_DIR) + "/examples/hello/hello.ihx";

std::string ImageOf(const std::string& path) {
    const std::string text = ReadAll(path);
    zv::HexImage image;
    zv::LoadHexBytes(std::vector<std::uint8_t>(text.begin(), text.end()), image);
    const auto bytes = image.DownloadBytes();
    return std::string(bytes.begin(), bytes.end());
}

class NetworkPort : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("zelvator_cli_net_" + std::to_string(getpid()) + "_" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result Run(const std::vector<std::string>& args) {
        std::vector<std::string> argv = args;
        argv.insert(argv.begin(), ZELVATOR_CLI_PATH);
        return Spawn(argv, dir_);
    }

    fs::path dir_;
};

// The record of the server's device with the data of one line state joined: "rts 1", "dtr 0",
// "data <hex>"; the lines at the server's own open (before the client came) are left out.
std::vector<std::string> Steps(const std::string& record) {
    std::vector<std::string> steps;
    std::istringstream in(record);
    std::string line;
    int opening = 2; // the device's own "dtr 1", "rts 1"
    while (std::getline(in, line)) {
        if (opening > 0 && (line == "dtr 1" || line == "rts 1")) {
            --opening;
            continue;
        }
        opening = 0;
        if (line.rfind("data ", 0) == 0 && !steps.empty() && steps.back().rfind("data ", 0) == 0)
            steps.back() += line.substr(5);
        else
            steps.push_back(line);
    }
    return steps;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

TEST_F(NetworkPort, ADownloadArrivesWholeWithItsLineSequence) {
    if (const std::string missing = PyPortServer::Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    PyPortServer server("record");
    ASSERT_GT(server.port(), 0) << server.Log();
    const Result r = Run({"send", "--port", server.Name(), kHello});
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    ASSERT_TRUE(server.AwaitExit()) << "the server still handles what the port sent";
    // The download's line sequence (RTS is the board's mode, DTR its reset) after the open, the
    // image in one piece between the two resets.
    const std::vector<std::string> want = {
        "rts 0",
        "dtr 1",                        // load reset
        "dtr 0",                        // settle
        "data " + Hex(ImageOf(kHello)), // transfer
        "rts 1",
        "dtr 1", // run reset
        "dtr 0", // running
    };
    const std::vector<std::string> got = Steps(ReadAll(server.RecordFile()));
    ASSERT_GE(got.size(), want.size()) << ReadAll(server.RecordFile());
    const auto load = got.end() - static_cast<long>(want.size());
    EXPECT_EQ(std::vector<std::string>(load, got.end()), want) << ReadAll(server.RecordFile());
    // The lines the open left: idle, RTS on and DTR off.
    std::string rts = "rts 1", dtr = "dtr 1";
    for (auto step = got.begin(); step != load; ++step) {
        EXPECT_EQ(step->rfind("data ", 0), std::string::npos) << "data before the load reset";
        (step->rfind("rts", 0) == 0 ? rts : dtr) = *step;
    }
    EXPECT_EQ(rts + ", " + dtr, "rts 1, dtr 0");
}

TEST_F(NetworkPort, ADownloadThroughSer2netReachesItsDevice) {
    if (const std::string missing = Ser2net::Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    Ser2net server;
    ASSERT_GT(server.port(), 0) << server.Log();
    const std::string image = ImageOf(kHello);
    auto received = std::async(
        std::launch::async, [&] { return server.Receive(image.size(), std::chrono::seconds(15)); });
    const Result r = Run({"send", "--port", server.Name(), "--baud", "115200", kHello});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(Hex(received.get()), Hex(image));
    EXPECT_EQ(server.Receive(1, std::chrono::milliseconds(200)), "") << "nothing after the image";
}

TEST_F(NetworkPort, FailuresNameTheReason) {
    const std::string closed = "rfc2217://127.0.0.1:" + std::to_string(FreeLoopbackPort());
    const std::string open = "Unable to open com port (win error code: ";
    const zv::test::ClosingServer closing(false);
    struct Case {
        std::string port;
        std::vector<std::string> args; // after "send --port PORT"
        std::string message;           // after "PORT: "
    };
    std::vector<Case> cases = {
        {"rfc2217://labpi",
         {kHello},
         open + "2); not a network port name: write rfc2217://HOST:PORT"},
        {"rfc2217://nohost.invalid:2000", {kHello}, open + "53); the host name cannot be resolved"},
        {closed,
         {kHello},
         open + "1225); the host refused the connection: no port server listens on that port"},
        {closing.Name(),
         {kHello},
         open + "1167); the port server ended the connection while the port was being opened"},
    };
    // Servers serve one connection each.
    std::optional<PyPortServer> plain, serve;
    if (PyPortServer::Missing().empty()) {
        plain.emplace("plain");
        serve.emplace("serve");
        ASSERT_GT(plain->port(), 0) << plain->Log();
        ASSERT_GT(serve->port(), 0) << serve->Log();
        cases.push_back({plain->Name(),
                         {kHello},
                         open + "58); the server does not answer as an RFC 2217 port server"});
        cases.push_back({serve->Name(),
                         {"--baud", "12345", kHello},
                         "SetCommState function failed (win error code: 87); the port server's "
                         "device did not take that speed or format"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        std::vector<std::string> args{"send", "--port", c.port};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Run(args);
        EXPECT_EQ(r.status, 1);
        const std::string head = "zelvator-cli: " + c.port + ": " + c.message;
        EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // reset takes the same names and says the same.
    const Result r = Run({"reset", "--port", closed});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no port server listens on that port"), std::string::npos) << r.err;
}

} // namespace
