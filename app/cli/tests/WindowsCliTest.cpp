// zelvator-cli's commands on what only Windows has (device names, the registry's port list), run
// in the test's own process.
#include "app/cli/Cli.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
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

} // namespace
