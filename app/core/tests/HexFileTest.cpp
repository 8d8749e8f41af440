#include "app/core/HexImage.h"
#include "platform/VirtualLine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/inotify.h>
#include <unistd.h>
#endif

namespace zv {
namespace {

namespace fs = std::filesystem;

class HexFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("zapp_core_hexfile_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& content) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }

    static HANDLE Open(const std::string& path) {
        return CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    fs::path dir_;
};

TEST_F(HexFile, LoadsAnLfOnlyFileRecordByRecord) {
    // What SDCC writes: LF line ends, records out of address order.
    const std::string path = Write("lf.ihx", ":03000000020006F5\n"
                                             ":0300060002000AEB\n"
                                             ":03000300AABBCCC9\n"
                                             ":00000001FF\n");
    const HANDLE file = Open(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    HexImage image;
    const HexLoadReport report = LoadHexFile(file, image);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_TRUE(report.Usable()) << HexProblemText(report);
    EXPECT_EQ(report.RecordsRead, 4u);
    EXPECT_EQ(image.ImageEnd, 9u);
    const auto sent = image.DownloadBytes();
    EXPECT_EQ(std::vector<std::uint8_t>(sent.begin(), sent.end()),
              (std::vector<std::uint8_t>{0x02, 0x00, 0x06, 0xAA, 0xBB, 0xCC, 0x02, 0x00, 0x0A, 0}));
}

TEST_F(HexFile, ReportsTheProblemLineOfARealFile) {
    const std::string path = Write("bad.hex", ":03000000020006F5\r\n\r\n:0300060002000AEC\r\n");
    const HANDLE file = Open(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    HexImage image;
    const HexLoadReport report = LoadHexFile(file, image);
    CloseHandle(file);
    EXPECT_FALSE(report.Usable());
    EXPECT_EQ(HexProblemText(report), "line 3: checksum mismatch");
}

TEST_F(HexFile, EmptyFileGivesImageEndZero) {
    const HANDLE file = Open(Write("empty.hex", ""));
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    HexImage image;
    const HexLoadReport report = LoadHexFile(file, image);
    CloseHandle(file);
    // Image end 0 as for any load without data; but a file without a single record is no HEX
    // file, and downloading it would report a failure as success.
    EXPECT_FALSE(report.Usable());
    EXPECT_EQ(HexProblemText(report), "not an Intel HEX file: no line starts with ':'");
    EXPECT_EQ(report.Lines, 0u);
    EXPECT_EQ(image.DownloadBytes().size(), 1u);
}

TEST_F(HexFile, WholeFileVerdicts) {
    const std::string longest = ":FF000000" + std::string(510, '0') + "01";
    const struct {
        const char* name;
        std::string content;
        std::string problem; // empty: usable
        unsigned lines;      // lines read before the load ended
    } cases[] = {
        {"end-of-file record only", ":00000001FF\r\n", "", 1},
        {"no record at all", "hello\r\nworld\r\n", "not an Intel HEX file: no line starts with ':'",
         2},
        {"binary", std::string("\x02\x00\x03\x75\x81\x07", 6),
         "not an Intel HEX file: no line starts with ':'", 1},
        {"blanks after the checksum", ":0100000011EE  \r\n:00000001FF\t\n", "", 2},
        {"blanks after the longest record", longest + " \t \n", "", 1},
        // The load stops at the first unusable line: 5000 lines after it are never read.
        {"stops at the first bad line",
         ":0100000011EE\n:0100010022FF\n" + std::string(5000 * 14, 'x') + "\n",
         "line 2: checksum mismatch", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HANDLE file = OpenHexFile(Write("case.hex", c.content));
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
        HexImage image;
        const HexLoadReport report = LoadHexFile(file, image);
        CloseHandle(file);
        EXPECT_EQ(HexProblemText(report), c.problem);
        EXPECT_EQ(report.Usable(), c.problem.empty());
        EXPECT_EQ(report.Lines, c.lines);
    }
}

TEST_F(HexFile, ALargeFileIsRefusedUnread) {
    const std::string path = Write("large.hex", ":0100000011EE\n");
    fs::resize_file(path, HexFileSizeLimit + 1);
    const HANDLE file = OpenHexFile(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    HexImage image;
    const HexLoadReport report = LoadHexFile(file, image);
    CloseHandle(file);
    EXPECT_FALSE(report.Usable());
    EXPECT_EQ(report.Lines, 0u);
    EXPECT_EQ(HexProblemText(report).rfind(std::to_string(HexFileSizeLimit + 1) +
                                               " bytes, larger than " +
                                               std::to_string(HexFileSizeLimit) + " bytes",
                                           0),
              0u)
        << HexProblemText(report);
}

TEST_F(HexFile, TwoLoadsOfOneFileAtOnce) {
    const std::string path = Write("shared.hex", ":0100000011EE\n");
    const HANDLE first = OpenHexFile(path);
    ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
    const HANDLE second = OpenHexFile(path);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    HexImage image;
    if (second != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(LoadHexFile(second, image).Usable());
        CloseHandle(second);
    }
    EXPECT_TRUE(LoadHexFile(first, image).Usable());
    CloseHandle(first);
}

#ifndef _WIN32
// FIFOs and pseudo-terminals are POSIX's.

// Loads `path` on another thread. A load that has not ended after a few seconds is released by
// `release` (which ends the input) and reported as hanging.
HexLoadReport LoadGuarded(const std::string& path, const std::function<void()>& release) {
    auto load = std::async(std::launch::async, [path] {
        HexImage image;
        const HANDLE file = OpenHexFile(path);
        if (file == INVALID_HANDLE_VALUE) {
            HexLoadReport failed;
            failed.Refused = "cannot open: error " + std::to_string(GetLastError());
            return failed;
        }
        HexLoadReport report = LoadHexFile(file, image);
        CloseHandle(file);
        return report;
    });
    if (load.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
        ADD_FAILURE() << "the load of " << path << " did not end";
        release();
    }
    return load.get();
}

TEST_F(HexFile, NoRegularFileNoWait) {
    // A FIFO without a writer: opening it must not wait for one.
    const std::string fifo = (dir_ / "nowriter.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    HexLoadReport report = LoadGuarded(fifo, [&] {
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    });
    EXPECT_EQ(HexProblemText(report),
              "not a regular file but a pipe; a HEX file is read only from a regular file");

    // A FIFO whose writer keeps it open and has written records: still not read.
    const std::string fed = (dir_ / "fed.fifo").string();
    ASSERT_EQ(::mkfifo(fed.c_str(), 0600), 0);
    const int writer = ::open(fed.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, ":0100000011EE\n", 14), 14);
    report = LoadGuarded(fed, [&] { ::close(::open(fed.c_str(), O_RDONLY | O_NONBLOCK)); });
    EXPECT_EQ(HexProblemText(report),
              "not a regular file but a pipe; a HEX file is read only from a regular file");
    ::close(writer);

    // A terminal (a device that never ends by itself): a pseudo-terminal of our own.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    report = LoadGuarded(slave, [&] { ASSERT_EQ(::write(master, "\x04", 1), 1); });
    EXPECT_EQ(HexProblemText(report),
              "not a regular file but a device; a HEX file is read only from a regular file");
    ::close(master);
}

// Opening a serial device raises its modem lines: what is not a regular file is refused from a
// look at its path, and never opened.
TEST_F(HexFile, WhatIsNoRegularFileIsRefusedUnopened) {
    const std::string fifo = (dir_ / "look.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, fifo.c_str(), IN_OPEN), 0);
    ASSERT_GE(::inotify_add_watch(watch, slave.c_str(), IN_OPEN), 0);
    // The platform layer opens a name in the device namespace as a serial port.
    const auto line = VirtualLine::Create("ZVHEXDEV");
    ASSERT_TRUE(line);
    const struct {
        std::string path;
        const char* refusal;
    } cases[] = {
        {fifo, "not a regular file but a pipe; a HEX file is read only from a regular file"},
        {slave, "not a regular file but a device; a HEX file is read only from a regular file"},
        {"\\\\.\\" + slave, "not a regular file but a device; a HEX file is read only from a "
                            "regular file"},
        {"\\\\.\\ZVHEXDEV",
         "not a regular file but a device; a HEX file is read only from a regular file"},
        {Write("plain.hex", ":00000001FF\n"), ""},
        {dir_.string(), ""},                   // opening it says why
        {(dir_ / "missing.hex").string(), ""}, // likewise
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string refusal = HexPathRefusal(c.path);
        EXPECT_EQ(refusal, c.refusal);
        // As the loaders do: what is not refused is opened.
        if (refusal.empty())
            if (const HANDLE file = OpenHexFile(c.path); file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
    }
    char events[4096];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << "a refused path was opened";
    EXPECT_TRUE(line->TakeChanges().empty()) << "the virtual line was opened";
    EXPECT_FALSE(line->Dtr());
    ::close(watch);
    ::close(master);
}

#else

// A device or a pipe is known by its name on Windows, and refused without being opened: opening
// a serial port raises its modem lines.
TEST_F(HexFile, WhatIsNoRegularFileIsRefusedByItsName) {
    const std::string device =
        "not a regular file but a device; a HEX file is read only from a regular file";
    const std::string pipeName = "\\\\.\\pipe\\zv-hex-" + std::to_string(GetCurrentProcessId());
    const HANDLE pipe =
        CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                         PIPE_TYPE_BYTE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE) << GetLastError();
    const std::string plain = Write("plain.hex", ":00000001FF\n");
    const struct {
        std::string path;
        std::string refusal;
    } cases[] = {
        {"\\\\.\\COM201", device},
        {"CON", device},
        {"NUL", device},
        {pipeName, "not a regular file but a pipe; a HEX file is read only from a regular file"},
        // Only COM1 to COM9 are device names: COM201 is a file in the current folder.
        {"COM201", ""},
        {plain, ""},
        {"\\\\?\\" + plain, ""}, // a file, written in the device namespace
        {dir_.string(), ""},     // opening it says why
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(HexPathRefusal(c.path), c.refusal);
    }
    // No client came: the pipe still waits for its first.
    OVERLAPPED wait{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(ConnectNamedPipe(pipe, &wait));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING)) << "a refused pipe was opened";
    CancelIo(pipe);
    CloseHandle(wait.hEvent);
    CloseHandle(pipe);
}

#endif

TEST_F(HexFile, AFailingReadIsReportedNotTakenForTheEnd) {
    // A handle opened for writing only refuses to be read: the load must not pass for an empty
    // file.
    const std::string path = Write("writeonly.hex", ":0100000011EE\n");
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    HexImage image;
    const HexLoadReport report = LoadHexFile(file, image);
    CloseHandle(file);
    EXPECT_TRUE(report.ReadFailed);
    EXPECT_NE(report.ReadError, 0u);
    EXPECT_EQ(report.ReadErrorLine, 1u);
    EXPECT_EQ(report.RecordsRead, 0u);
    EXPECT_FALSE(report.Usable());
    EXPECT_EQ(HexProblemText(report).rfind("line 1: read failed (error ", 0), 0u);
}

TEST_F(HexFile, MissingFileFailsToOpenWithFileNotFound) {
    const HANDLE file = Open((dir_ / "missing.hex").string());
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

} // namespace
} // namespace zv
