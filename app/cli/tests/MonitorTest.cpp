// zelvator-cli monitor and send --monitor, run as a program: the simulated board's program talks
// back through the port, Ctrl-C ends a monitor cleanly, and no s51 outlives the command.
#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using clitest::Result;
using clitest::Spawn;
using namespace std::chrono_literals;

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool HaveS51() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && ::access((dir + "/s51").c_str(), X_OK) == 0)
            return true;
    return false;
}

// Processes whose command line mentions `part` (s51 runs a program file in the command's
// temporary folder, which the tests point into their own folder).
std::vector<std::string> ProcessesMentioning(const std::string& part) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (char& c : cmdline)
            if (c == '\0')
                c = ' ';
        if (Has(cmdline, part))
            found.push_back(pid + ": " + cmdline);
    }
    return found;
}

const std::string kHello = std::string(ZELVATOR_SOURCE_DIR) + "/examples/hello/hello.ihx";

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("zelvator_cli_monitor_" + std::to_string(getpid()) + "_" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        EXPECT_EQ(ProcessesMentioning(dir_.string() + "/zelvator-sim-"), std::vector<std::string>{})
            << "an s51 outlived the command";
        fs::remove_all(dir_);
    }

    Result Run(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
        std::vector<std::string> argv = args;
        argv.insert(argv.begin(), ZELVATOR_CLI_PATH);
        env.push_back("TMPDIR=" + dir_.string());
        return Spawn(argv, dir_, env);
    }

    fs::path dir_;
};

TEST_F(Monitor, SendRunsHelloAndShowsWhatItSays) {
    if (!HaveS51())
        GTEST_SKIP() << "s51 is not installed (package sdcc-ucsim): programs cannot run";
    const Result r =
        Run({"send", "--port", "SIM", "--monitor", "3", "-q", "--slack", "250", kHello});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(Has(r.out, "Hello from the 8051\r\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "program: s51 runs the program")) << r.out;
    EXPECT_TRUE(Has(r.out, "program stopped (port closed)")) << r.out;
    EXPECT_TRUE(Has(r.out, "verdict: OK")) << r.out;
    // The program's text comes before the transcript.
    EXPECT_LT(r.out.find("Hello from the 8051"), r.out.find("transcript")) << r.out;
}

TEST_F(Monitor, LinesComeWithTimeStamps) {
    if (!HaveS51())
        GTEST_SKIP() << "s51 is not installed (package sdcc-ucsim): programs cannot run";
    const Result r = Run(
        {"send", "--port", "SIM", "--monitor", "2.5", "--lines", "-q", "--slack", "250", kHello});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    // "[    0.123] Hello from the 8051", the carriage return gone.
    const std::regex line(R"(\[ *[0-9]+\.[0-9]{3}\] Hello from the 8051\n)");
    EXPECT_TRUE(std::regex_search(r.out, line)) << r.out;
    EXPECT_FALSE(Has(r.out, "\r")) << r.out;
}

TEST_F(Monitor, WithoutS51TheDownloadWorksAndTheTranscriptSaysSo) {
    const Result r =
        Run({"send", "--port", "SIM", "--monitor", "0.5", "-q", "--slack", "250", kHello},
            {"PATH=" + dir_.string()});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(Has(r.out, "program: programs do not run: s51 was not found")) << r.out;
    EXPECT_FALSE(Has(r.out, "Hello")) << r.out;
}

TEST_F(Monitor, ARefusingSimulatorFailsTheCommand) {
    // An "s51" that exits at once with status 3.
    const fs::path fake = dir_ / "bin" / "s51";
    fs::create_directories(fake.parent_path());
    std::ofstream(fake) << "#!/bin/sh\necho 'no such option' >&2\nexit 3\n";
    fs::permissions(fake, fs::perms::owner_all);
    const Result r =
        Run({"send", "--port", "SIM", "--monitor", "1", "-q", "--slack", "250", kHello},
            {"PATH=" + fake.parent_path().string() + ":/usr/bin:/bin"});
    EXPECT_EQ(r.status, 1) << r.err << r.out;
    EXPECT_TRUE(Has(r.err, "SIM: program failure: s51 ended by itself (exit status 3)")) << r.err;
    EXPECT_TRUE(Has(r.err, "no such option")) << r.err;
}

TEST_F(Monitor, UsageAndPortFailures) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* err;
    };
    const std::vector<Case> cases = {
        {{"monitor", "--for", "abc"}, 2, "monitor: --for 'abc' is not a number of seconds"},
        {{"monitor", "--for", "0"}, 2, "is not a number of seconds from 0.1 to 86400"},
        {{"monitor", "--for", "1s"}, 2, "is not a number of seconds"},
        {{"send", "--monitor", "-1", kHello}, 2, "send: --monitor '-1' is not a number"},
        {{"monitor", "--port", "/nonexistent/zv-port", "--for", "1"}, 1, "/nonexistent/zv-port: "},
    };
    for (const Case& c : cases) {
        const Result r = Run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0] << " " << r.err;
        EXPECT_TRUE(Has(r.err, c.err)) << r.err;
    }
}

// Output nobody reads any more (a pipe into a program that quit) ends the monitoring at once.
TEST_F(Monitor, EndsWhenItsOutputHasGone) {
    if (!HaveS51())
        GTEST_SKIP() << "s51 is not installed (package sdcc-ucsim): programs cannot run";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    const auto start = std::chrono::steady_clock::now();
    const Result r = clitest::SpawnToDescriptor({ZELVATOR_CLI_PATH, "send", "--port", "SIM",
                                                 "--monitor", "60", "-q", "--slack", "250", kHello},
                                                dir_, fds[1], 50);
    close(fds[1]);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "it monitored on for nobody";
}

// Runs the command with standard output and error into one file, presses Ctrl-C (SIGINT) after
// `after`, and gives the wait status and what the command wrote.
std::pair<int, std::string> Interrupted(std::vector<std::string> args, const fs::path& dir,
                                        std::chrono::milliseconds after) {
    const std::string out = (dir / "out").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    args.insert(args.begin(), ZELVATOR_CLI_PATH);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        std::this_thread::sleep_for(after);
        ::kill(pid, SIGINT);
        ::waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
    return {status, clitest::ReadAll(out)};
}

TEST_F(Monitor, EndsAtItsTimeOrAtCtrlC) {
    const auto start = std::chrono::steady_clock::now();
    const Result timed = Run({"monitor", "--port", "SIM", "--for", "0.5"});
    EXPECT_EQ(timed.status, 0) << timed.err;
    EXPECT_EQ(timed.out, "");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 500ms);

    // Without --for it runs until interrupted, then closes the port and exits 0.
    // (1 s: long enough to be monitoring on a busy machine.)
    const auto [status, out] = Interrupted({"monitor", "--port", "SIM"}, dir_, 1s);
    EXPECT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
}

// Ctrl-C during a download (32769 bytes at 1200 bit/s take 273 s) ends it as a failure that
// says how far it got, with DTR off: a board left in reset would not run at all.
TEST_F(Monitor, CtrlCStopsADownloadWithTheBoardOutOfReset) {
    std::ofstream hex(dir_ / "large.hex");
    for (unsigned address = 0; address < 0x8000; address += 16) {
        unsigned sum = 16 + (address >> 8) + (address & 0xFF);
        char record[64];
        std::snprintf(record, sizeof record, ":10%04X00", address);
        hex << record;
        for (int i = 0; i < 16; ++i) {
            hex << "55";
            sum += 0x55;
        }
        std::snprintf(record, sizeof record, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        hex << record;
    }
    hex << ":00000001FF\n";
    hex.close();
    const auto started = std::chrono::steady_clock::now();
    const auto [status, out] = Interrupted(
        {"send", "--port", "SIM", "--baud", "1200", "-q", (dir_ / "large.hex").string()}, dir_,
        1500ms);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\n" << out;
    EXPECT_EQ(WEXITSTATUS(status), 1) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("\nzelvator-cli: SIM: Stopped: [0-9]+ of 32769 "
                                                  "bytes were sent; the board did not get the "
                                                  "whole program\n$")))
        << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(" off  port closed\n"))) << "DTR is left on\n"
                                                                           << out;
}

} // namespace
