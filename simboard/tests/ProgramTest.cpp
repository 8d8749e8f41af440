// The board runs what it stored on s51: the example programs talk back through the port, a
// reset restarts the program, a load stops it, and no s51 outlives its board.
#include "simboard/ProgramRunner.h"
#include "simboard/SimBoard.h"

#include "platform/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace zv;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

bool HaveS51() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
        if (!dir.empty() && ::access((dir + "/s51").c_str(), X_OK) == 0)
            return true;
    return false;
}

#define REQUIRE_S51()                                                                              \
    if (!HaveS51())                                                                                \
    GTEST_SKIP() << "s51 is not installed (package sdcc-ucsim): programs cannot run"

// Our children named s51 that are still in the process table (zombies included).
std::vector<long> OurS51Processes() {
    std::vector<long> found;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return found;
    while (const dirent* entry = ::readdir(proc)) {
        const long pid = std::atol(entry->d_name);
        if (pid <= 0)
            continue;
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        const auto open = line.find('(');
        if (close == std::string::npos || open == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        long ppid = 0;
        rest >> state >> ppid;
        if (line.substr(open + 1, close - open - 1) == "s51" && ppid == ::getpid())
            found.push_back(pid);
    }
    ::closedir(proc);
    return found;
}

// The bytes of an Intel HEX file from address 0 (the examples have no gaps worth keeping).
Bytes ReadIhx(const std::string& path) {
    std::ifstream in(path);
    Bytes image;
    std::string record;
    while (std::getline(in, record)) {
        if (record.size() < 11 || record[0] != ':' || record.substr(7, 2) != "00")
            continue;
        const std::size_t count = std::stoul(record.substr(1, 2), nullptr, 16);
        const std::size_t address = std::stoul(record.substr(3, 4), nullptr, 16);
        if (image.size() < address + count)
            image.resize(address + count, 0);
        for (std::size_t i = 0; i < count; ++i)
            image[address + i] =
                static_cast<std::uint8_t>(std::stoul(record.substr(9 + 2 * i, 2), nullptr, 16));
    }
    return image;
}

std::string Example(const std::string& name) {
    return std::string(ZELVATOR_SOURCE_DIR) + "/examples/" + name + "/" + name + ".ihx";
}

// The near end, driven the way a downloader does, without its waits (the board follows the
// lines as they move).
class Near {
public:
    explicit Near(const char* name) {
        h_ = CreateFileA((std::string("\\\\.\\") + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 5000};
        if (h_ != INVALID_HANDLE_VALUE)
            SetCommTimeouts(h_, &t);
        Lines(true, false);
    }
    ~Near() { Close(); }
    bool Ok() const { return h_ != INVALID_HANDLE_VALUE; }
    void Close() {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }
    void Lines(bool rts, bool dtr) {
        EscapeCommFunction(h_, rts ? SETRTS : CLRRTS);
        EscapeCommFunction(h_, dtr ? SETDTR : CLRDTR);
    }
    void Load(const Bytes& image) {
        Lines(false, true);
        Lines(false, false);
        Write(std::string(image.begin(), image.end()));
    }
    void Reset() {
        Lines(true, true);
        Lines(true, false);
    }
    void Write(const std::string& bytes) {
        DWORD written = 0;
        WriteFile(h_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    // Reads until `text` came (true) or `timeout` passed; everything read is kept in Got().
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        char buffer[256];
        while (got_.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            DWORD n = 0;
            if (!ReadFile(h_, buffer, sizeof buffer, &n, nullptr))
                return false;
            if (n == 0)
                std::this_thread::sleep_for(20ms);
            got_.append(buffer, n);
        }
        return true;
    }
    const std::string& Got() const { return got_; }
    void Forget() { got_.clear(); }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
    std::string got_;
};

TSimBoardOptions Options(bool pacing = true) {
    TSimBoardOptions options;
    options.PortName = "SIMRUN";
    options.Pacing = pacing;
    return options;
}

std::string Notes(const TBoardTranscript& t) {
    std::string text;
    for (const TBoardNote& note : t.Program)
        text += (note.Failure ? "failure: " : "") + note.Text + "\n";
    return text;
}

class ProgramTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(OurS51Processes(), std::vector<long>{}) << "an s51 outlived its board";
    }
};

TEST_F(ProgramTest, HelloTalksThroughThePortAndAResetRestartsIt) {
    REQUIRE_S51();
    TSimBoard board(Options());
    Near near("SIMRUN");
    ASSERT_TRUE(near.Ok()) << GetLastError();
    near.Load(ReadIhx(Example("hello")));
    near.Reset();
    EXPECT_TRUE(near.WaitFor("Hello from the 8051\r\n", 10s))
        << near.Got() << FormatTranscript(board.Transcript());
    const long first = board.ProgramPid();
    EXPECT_NE(first, 0);

    near.Reset();
    board.SyncProgram();
    const long second = board.ProgramPid();
    EXPECT_NE(second, 0);
    EXPECT_NE(second, first) << "a reset starts the program afresh";
    near.Forget();
    EXPECT_TRUE(near.WaitFor("Hello from the 8051\r\n", 10s)) << near.Got();
    const std::string notes = Notes(board.Transcript());
    EXPECT_NE(notes.find("program stopped (reset)"), std::string::npos) << notes;
    EXPECT_NE(notes.find("s51 runs the program: "), std::string::npos) << notes;
    EXPECT_EQ(board.ProgramFailures().size(), 0u) << notes;
}

// A load while the program runs stops it; the new program runs after the next start, and what
// the port sends reaches it.
TEST_F(ProgramTest, ALoadStopsTheProgramAndTheNextStartRunsTheNewOne) {
    REQUIRE_S51();
    TSimBoard board(Options());
    Near near("SIMRUN");
    ASSERT_TRUE(near.Ok());
    near.Load(ReadIhx(Example("hello")));
    near.Reset();
    ASSERT_TRUE(near.WaitFor("Hello", 10s)) << FormatTranscript(board.Transcript());
    const long hello = board.ProgramPid();

    near.Load(ReadIhx(Example("echo")));
    board.SyncProgram();
    EXPECT_EQ(board.ProgramPid(), 0) << "still running while loading";
    near.Reset();
    ASSERT_TRUE(near.WaitFor("echo ready\r\n", 10s)) << near.Got();
    EXPECT_NE(board.ProgramPid(), hello);
    near.Forget();
    near.Write("abc xyz\r"); // back to back at the line's speed
    EXPECT_TRUE(near.WaitFor("ABC XYZ\r\n", 10s)) << near.Got();
    EXPECT_EQ(near.Got().find("Hello"), std::string::npos) << near.Got();
    const std::string notes = Notes(board.Transcript());
    EXPECT_NE(notes.find("program stopped (load reset)"), std::string::npos) << notes;
    EXPECT_EQ(board.ProgramFailures().size(), 0u) << notes;
}

TEST_F(ProgramTest, ClosingThePortOrRemovingTheBoardEndsTheProgram) {
    REQUIRE_S51();
    for (const bool close : {true, false}) {
        TSimBoard board(Options(false));
        Near near("SIMRUN");
        ASSERT_TRUE(near.Ok());
        near.Load(ReadIhx(Example("hello")));
        near.Reset();
        board.SyncProgram();
        ASSERT_NE(board.ProgramPid(), 0) << Notes(board.Transcript());
        if (close) {
            near.Close();
            ASSERT_TRUE(board.WaitOpen(false, 5s));
            board.SyncProgram();
            EXPECT_EQ(board.ProgramPid(), 0);
            EXPECT_NE(Notes(board.Transcript()).find("program stopped (port closed)"),
                      std::string::npos);
        }
    }
}

// What the board says about a program it cannot run, and that a command can see as failures.
TEST_F(ProgramTest, ProgramsThatCannotRunAreNamedInTheTranscript) {
    struct Case {
        const char* what;
        std::string simulator;
        bool load;
        const char* note;
        bool failure;
        std::string pids = {};   // a file where the simulator lists the children it started
        std::string tmpdir = {}; // TMPDIR while the board runs
    };
    const auto makeTemp = [] {
        std::string dir = (std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                          std::string("/zv-simboard-XXXXXX");
        return ::mkdtemp(dir.data()) != nullptr ? dir : std::string();
    };
    // A simulator that never says it started.
    const std::string dir = makeTemp();
    ASSERT_FALSE(dir.empty());
    const std::string silent = dir + "/silent";
    std::ofstream(silent) << "#!/bin/sh\nexec sleep 30\n";
    ::chmod(silent.c_str(), 0700);
    // A wrapper that starts the simulator as its child instead of becoming it.
    const std::string wrapperDir = makeTemp();
    ASSERT_FALSE(wrapperDir.empty());
    const std::string wrapper = wrapperDir + "/wrapper";
    const std::string wrapperPids = wrapperDir + "/pid";
    std::ofstream(wrapper) << "#!/bin/sh\nsleep 30 &\necho $! >> " << wrapperPids << "\nwait\n";
    ::chmod(wrapper.c_str(), 0700);
    // A temporary folder whose name leaves room for the runner's folder in it but not for the
    // program file in that: writing the file fails (as root too) with ENAMETOOLONG.
    std::string deep = dir;
    constexpr std::size_t runnerFolder = sizeof "/zelvator-sim-XXXXXX" - 1;
    constexpr std::size_t want = PATH_MAX - 1 - runnerFolder - 4; // "/program.ihx" is longer
    while (deep.size() < want) {
        const std::size_t name = std::min<std::size_t>(200, want - deep.size() - 1);
        deep += "/" + std::string(std::max<std::size_t>(name, 1), 'd');
        ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0) << deep.size() << ": " << std::strerror(errno);
    }
    const std::vector<Case> cases = {
        {"s51 missing", "no-such-simulator-zv", true, "programs do not run", false},
        {"nothing loaded", "s51", false, "", false},
        {"refuses to start", "/bin/false", true, "ended by itself (exit status 1)", true},
        {"never starts", silent, true, "s51 did not start within 0.3 s", true},
        {"a wrapper's child never starts", wrapper, true, "s51 did not start within 0.3 s", true,
         wrapperPids},
        {"no room for the program file", "/bin/false", true, "program.ihx: File name too long",
         true, "", deep},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TSimBoardOptions options = Options(false);
        options.Simulator = c.simulator;
        options.SimulatorStartTimeout = 300ms;
        const std::string tmpdir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        if (!c.tmpdir.empty())
            ::setenv("TMPDIR", c.tmpdir.c_str(), 1);
        auto owned = std::make_unique<TSimBoard>(options);
        TSimBoard& board = *owned;
        Near near("SIMRUN");
        ASSERT_TRUE(near.Ok());
        if (c.load)
            near.Load({0x80, 0xFE}); // SJMP $
        for (int i = 0; i < 2; ++i) {
            near.Reset();
            board.SyncProgram();
        }
        if (c.failure) {
            for (int i = 0; i < 100 && board.ProgramFailures().empty(); ++i)
                std::this_thread::sleep_for(20ms);
        }
        if (!c.tmpdir.empty())
            tmpdir.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", tmpdir.c_str(), 1);
        const TBoardTranscript t = board.Transcript();
        const std::string notes = Notes(t);
        EXPECT_NE(notes.find(c.note), std::string::npos) << notes;
        EXPECT_EQ(notes.empty(), std::string(c.note).empty()) << notes;
        EXPECT_EQ(board.ProgramFailures().empty(), !c.failure) << notes;
        if (std::string(c.what) == "s51 missing") {
            EXPECT_EQ(t.Program.size(), 1u) << "said once: " << notes;
        }
        EXPECT_EQ(FormatTranscript(t).find("program") == std::string::npos, notes.empty());
        if (c.pids.empty())
            continue;
        // Every child the simulator started is gone once the board is.
        near.Close();
        owned.reset();
        std::ifstream listed(c.pids);
        std::vector<long> pids;
        for (long pid = 0; listed >> pid;)
            pids.push_back(pid);
        EXPECT_FALSE(pids.empty()) << "the wrapper never ran";
        for (const long pid : pids) {
            // Killed: gone, or a zombie until whoever inherited it reaps it.
            bool gone = false;
            for (int i = 0; i < 100 && !gone; ++i) {
                std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
                std::string line;
                std::getline(stat, line);
                const auto close = line.rfind(')');
                gone = (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) ||
                       (close != std::string::npos && line.compare(close, 3, ") Z") == 0);
                if (!gone)
                    std::this_thread::sleep_for(20ms);
            }
            EXPECT_TRUE(gone) << "the wrapper's child " << pid << " outlived the board";
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    ::unlink(wrapper.c_str());
    ::unlink(wrapperPids.c_str());
    ::rmdir(wrapperDir.c_str());
}

TEST(IntelHex, RecordsOfSixteenBytesWithChecksums) {
    struct Case {
        Bytes image;
        std::string hex;
    };
    Bytes seventeen(17, 0xFF);
    const std::vector<Case> cases = {
        {{}, ":00000001FF\n"},
        {{0x80, 0xFE}, ":0200000080FE80\n:00000001FF\n"},
        {seventeen, ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00\n:01001000FFF0\n:00000001FF\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IntelHex(c.image), c.hex);
}

} // namespace
