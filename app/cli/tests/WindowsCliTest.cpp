// zelvator-cli's commands on what only Windows has (device names, the registry's port list), run
// in the test's own process.
#include "app/cli/Cli.h"
#include "app/cli/Monitor.h"
#include "cport/ComPort.h"
#include "platform/tests/ComPair.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <io.h>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

Result RunCli(const std::vector<std::string>& args) {
    std::ostringstream out;
    std::ostringstream err;
    Result r;
    r.status = zv::cli::Run(args, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

class WindowsCli : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("zelvator_cli_" + std::to_string(GetCurrentProcessId()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

// A device name reaches the device whatever the folder holds, and so would the temporary's name
// made from it: the image is refused before anything is opened.
TEST_F(WindowsCli, ImageIsNotWrittenIntoADeviceOrAPipe) {
    const std::string hex = (dir_ / "a.ihx").string();
    std::ofstream(hex, std::ios::binary) << ":0100000011EE\n:00000001FF\n";
    const std::string pipeName = "\\\\.\\pipe\\zv-image-" + std::to_string(GetCurrentProcessId());
    const HANDLE pipe = CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE, 1,
                                         0, 0, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
    const struct {
        std::string output;
        std::string refusal;
    } cases[] = {
        {"NUL", "the name of a device, not of a file"},
        {"\\\\.\\COM201", "the name of a device, not of a file"},
        {pipeName, "the name of a pipe, not of a file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        const Result r = RunCli({"image", hex, "-o", c.output});
        EXPECT_EQ(r.status, zv::cli::exitFailure);
        EXPECT_EQ(r.err, "zelvator-cli: cannot write '" + c.output + "': " + c.refusal + "\n");
        EXPECT_EQ(r.out, "");
    }
    CloseHandle(pipe);
}

// Windows makes HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM only once a serial driver registered a port:
// a machine without serial ports has no such key, and nothing to list.
TEST_F(WindowsCli, PortsWithoutAnySerialPortListsNone) {
    // For this process, HKEY_LOCAL_MACHINE is an empty key of the test's own.
    const std::string name = "Software\\zelvator-test-" + std::to_string(GetCurrentProcessId());
    HKEY empty = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &empty, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, empty), ERROR_SUCCESS);
    const Result r = RunCli({"ports"});
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(empty);
    RegDeleteKeyA(HKEY_CURRENT_USER, name.c_str());
    EXPECT_EQ(r.status, zv::cli::exitSuccess);
    EXPECT_EQ(r.out, "(no serial ports found)\n");
    EXPECT_EQ(r.err, "");
}

// What arrives goes to standard output byte for byte, as a file or a pipe there must get it: the
// text mode a program's standard output starts in would turn each line feed into CR LF.
TEST_F(WindowsCli, MonitorWritesTheBytesAsTheyCame) {
    if (const std::string missing = zv::test::ComPairLine::Missing(); !missing.empty())
        GTEST_SKIP() << missing;
    zv::test::ComPairLine line;
    zv::TComPort port;
    port.SetPort(line.Name());
    port.SetBaudRate(zv::br115200);
    port.Open();
    // Blocks of the monitor's read size: Wine ends such a read only when it is full.
    std::string block;
    while (block.size() < 4096)
        block += "a\nb\r\n\xff";
    block.resize(4096);
    std::thread sender([&] {
        line.Write(block);
        Sleep(600); // the second ends the read that is waiting when the time is up
        line.Write(block);
    });

    // Standard output into a file of the test's own, in text mode as a program gets it.
    const std::string captured = (dir_ / "out.bin").string();
    std::fflush(stdout);
    const int kept = _dup(_fileno(stdout));
    const int file =
        _open(captured.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
    ASSERT_GE(file, 0);
    _dup2(file, _fileno(stdout));
    _close(file);
    std::ostringstream err;
    zv::cli::Context context{std::cout, err};
    try {
        zv::cli::MonitorPort(port, zv::cli::MonitorOptions{0.3, false}, context);
    } catch (const zv::Exception&) { // Wine may end a read's wait with ERROR_TIMEOUT
    }
    std::cout.flush();
    std::fflush(stdout);
    _dup2(kept, _fileno(stdout));
    _close(kept);
    sender.join();
    port.Close();

    std::ifstream in(captured, std::ios::binary);
    const std::string out(std::istreambuf_iterator<char>(in), {});
    EXPECT_FALSE(out.empty());
    EXPECT_TRUE(out == (block + block).substr(0, out.size()))
        << "the start of what was written: " << testing::PrintToString(out.substr(0, 16));
}

} // namespace
