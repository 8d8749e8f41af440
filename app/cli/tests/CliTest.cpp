#include "ProgramRun.h"
#include "app/core/HexImage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using clitest::ReadAll;
using clitest::Result;
using clitest::Spawn;

void WriteAll(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

std::vector<fs::path> BundledExamples() {
    std::vector<fs::path> files;
    for (const auto& entry :
         fs::recursive_directory_iterator(fs::path(ZELVATOR_SOURCE_DIR) / "examples"))
        if (entry.path().extension() == ".ihx")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

bool HaveSrecCat() {
    return std::system("command -v srec_cat >/dev/null 2>&1") == 0;
}

class CliProgram : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("zelvator_cli_" + std::to_string(getpid()) + "_" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "run");
    }
    void TearDown() override { fs::remove_all(dir_); }

    Result Run(std::vector<std::string> args) {
        args.insert(args.begin(), ZELVATOR_CLI_PATH);
        return Spawn(args, dir_ / "run");
    }
    std::string File(const std::string& name, const std::string& content) {
        WriteAll(dir_ / name, content);
        return (dir_ / name).string();
    }
    // Files in the test directory other than the capture directory.
    std::vector<std::string> Listing() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().filename() != "run")
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir_;
};

// One line on stderr, naming the program.
void ExpectOneErrorLine(const Result& r) {
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.rfind("zelvator-cli: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
}

TEST_F(CliProgram, WrongUsageExitsWithTwoAndOneLine) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--frob"}, "unknown option '--frob'"},
        {{"info"}, "info: missing FILE"},
        {{"info", "a.ihx", "b.ihx"}, "info: unexpected argument 'b.ihx'"},
        {{"info", "--bogus", "a.ihx"}, "info: unknown option '--bogus'"},
        {{"info", "--help=yes"}, "info: option -h takes no value"},
        {{"image", "a.ihx"}, "image: missing -o OUT"},
        {{"image", "a.ihx", "-o"}, "image: option -o needs a value (OUT)"},
        {{"image", "a.ihx", "-o", "x", "--output=y"}, "image: option -o given twice"},
        {{"image", "a.ihx", "-o", ""}, "image: the output file name is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const Result r = Run(c.args);
        EXPECT_EQ(r.status, 2);
        ExpectOneErrorLine(r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(Listing().empty()); // nothing written for any of them
}

TEST_F(CliProgram, HelpAndVersion) {
    Result r = Run({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("info FILE"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("image FILE"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");

    r = Run({"image", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: zelvator-cli image FILE -o OUT\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("--output OUT"), std::string::npos) << r.out;

    r = Run({"info", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: zelvator-cli info FILE\n", 0), 0u) << r.out;

    r = Run({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("zelvator-cli ", 0), 0u) << r.out;
}

TEST_F(CliProgram, InfoShowsWhatADownloadSends) {
    const std::string path = File("prog.hex", ":0100100055\x39\x41\r\n"
                                              "; note\r\n"
                                              ":03000000020003F8\r\n"
                                              ":00000001FF\r\n");
    const Result r = Run({"info", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, path +
                         "\n"
                         "  image end:     17 (0x0011)\n"
                         "  bytes sent:    18\n"
                         "  ranges:        0x0000-0x0002 (3 bytes)\n"
                         "                 0x0010-0x0010 (1 byte)\n"
                         "  records read:  3\n"
                         "  lines skipped: 1\n"
                         "  problems:      line 2: not a record (no ':' at the start), skipped\n");
}

// Two boards loaded from one file at once: a command reads a HEX file that another reader (here
// this process, opening it as the commands do) holds open, and the other reader is not disturbed.
TEST_F(CliProgram, AFileAnotherReaderHoldsIsReadToo) {
    const std::string path = File("shared.hex", ":0100050011E9\n:00000001FF\n");
    const std::string out = (dir_ / "out.bin").string();
    const HANDLE held = zv::OpenHexFile(path);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", path}, {"image", path, "--output", out}}) {
        SCOPED_TRACE(args[0]);
        const Result r = Run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(ReadAll(out), std::string("\0\0\0\0\0\x11\0", 7));
    zv::HexImage image;
    EXPECT_TRUE(zv::LoadHexFile(held, image).Usable());
    CloseHandle(held);
}

TEST_F(CliProgram, InfoOnTheBundledHelloExample) {
    const fs::path hello = fs::path(ZELVATOR_SOURCE_DIR) / "examples/hello/hello.ihx";
    ASSERT_TRUE(fs::exists(hello));
    const std::string text = ReadAll(hello);
    zv::HexImage image;
    zv::LoadHexBytes(std::vector<std::uint8_t>(text.begin(), text.end()), image);
    const Result r = Run({"info", hello.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  bytes sent:    " + std::to_string(image.ImageEnd + 1) + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  problems:      none\n"), std::string::npos) << r.out;
}

TEST_F(CliProgram, BadFilesExitWithOneAndNameTheLine) {
    const struct {
        const char* name;
        std::string content;
        std::string problem;
    } cases[] = {
        {"checksum", ":03000000020003F8\n\n:0100100055FF\n", "line 3: checksum mismatch"},
        {"malformed", ":00000001FF\r\n:0100100055\r\n", "line 2: malformed record"},
        {"lowercase g", ":010010005g9A\n", "line 1: malformed record"},
        {"outside", ":0180E8001186\n", "line 1: data outside the 33000-byte image"},
        {"extended", ":020000040001F9\n:0100000011EE\n",
         "line 1: data outside the 33000-byte image"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = File(std::string(c.name) + ".hex", c.content);
        Result r = Run({"info", path});
        EXPECT_EQ(r.status, 1);
        ExpectOneErrorLine(r);
        EXPECT_EQ(r.err, "zelvator-cli: bad HEX file '" + path + "': " + c.problem + "\n");
        EXPECT_NE(r.out.find(c.problem), std::string::npos) << r.out;

        // image refuses it and leaves an existing output untouched, with no temporary behind.
        const std::string out = File("keep.bin", "old");
        r = Run({"image", path, "-o", out});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "zelvator-cli: bad HEX file '" + path + "': " + c.problem + "\n");
        EXPECT_EQ(ReadAll(out), "old");
        fs::remove(path);
        fs::remove(out);
        EXPECT_TRUE(Listing().empty());
    }
}

TEST_F(CliProgram, WhatIsNoHexFileIsRefusedWithoutHanging) {
    const fs::path fifo = dir_ / "nowriter.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // What is no regular file is refused unopened (an open moves a serial device's lines).
    const int opens = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(::inotify_add_watch(opens, fifo.c_str(), IN_OPEN), 0);
    const std::string large = File("large.hex", ":0100000011EE\n");
    fs::resize_file(large, 2u << 20);
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {File("text.bin", "\x02\x00\x03\r\n"), "not an Intel HEX file: no line starts with ':'"},
        {File("empty.hex", ""), "not an Intel HEX file: no line starts with ':'"},
        {fifo.string(), "not a regular file but a pipe"},
        {large, "2097152 bytes, larger than 1048576 bytes: a HEX file for the 33000-byte image is "
                "under 500000 bytes"},
    };
    for (const auto& c : cases) {
        for (const char* command : {"info", "image", "send"}) {
            SCOPED_TRACE(c.path + " " + command);
            std::vector<std::string> args{command, c.path};
            if (std::string(command) == "image")
                args.insert(args.end(), {"-o", (dir_ / "out.bin").string()});
            if (std::string(command) == "send")
                args.insert(args.end(), {"--port", "ZV-NO-SUCH-PORT"});
            args.insert(args.begin(), ZELVATOR_CLI_PATH);
            const Result r = Spawn(args, dir_ / "run", {}, 10);
            EXPECT_EQ(r.status, 1);
            ExpectOneErrorLine(r);
            EXPECT_NE(r.err.find("bad HEX file '" + c.path + "': " + c.message), std::string::npos)
                << r.err;
            if (std::string(command) == "info") {
                EXPECT_NE(r.out.find("  problems:      " + c.message), std::string::npos) << r.out;
            }
            EXPECT_FALSE(fs::exists(dir_ / "out.bin"));
        }
    }
    char events[4096];
    EXPECT_LT(::read(opens, events, sizeof events), 0) << "the pipe was opened";
    ::close(opens);
    // A file with only the end-of-file record is a HEX file: one zero byte is sent.
    const std::string eof = File("eof.hex", ":00000001FF\r\n");
    const Result r = Run({"info", eof});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("  bytes sent:    1\n"), std::string::npos) << r.out;
}

TEST_F(CliProgram, SystemErrorsNameTheFileAndTheReason) {
    const std::string missing = (dir_ / "missing.ihx").string();
    Result r = Run({"info", missing});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zelvator-cli: cannot open '" + missing +
                         "': The system cannot find the file specified. (error 2)\n");
    EXPECT_EQ(r.out, "");

    r = Run({"image", missing, "-o", (dir_ / "out.bin").string()});
    EXPECT_EQ(r.status, 1);
    ExpectOneErrorLine(r);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos);

    const std::string good = File("good.hex", ":0100000011EE\n");
    const std::string nowhere = (dir_ / "no-such-dir" / "out.bin").string();
    r = Run({"image", good, "-o", nowhere});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zelvator-cli: cannot write '" + nowhere +
                         "': No such file or directory (errno 2)\n");

    // A directory in the way of the output: the rename fails and the temporary file goes.
    fs::create_directory(dir_ / "taken");
    fs::create_directory(dir_ / "taken" / "x");
    r = Run({"image", good, "-o", (dir_ / "taken").string()});
    EXPECT_EQ(r.status, 1);
    ExpectOneErrorLine(r);
    EXPECT_NE(r.err.find("cannot write '" + (dir_ / "taken").string() + "'"), std::string::npos)
        << r.err;
    EXPECT_EQ(Listing(), (std::vector<std::string>{"good.hex", "taken"}));
}

TEST_F(CliProgram, ImageReplacesTheOutputWhole) {
    const std::string good = File("good.hex", ":0100050011E9\n");
    const std::string out = File("out.bin", std::string(5000, 'x'));
    const Result r = Run({"image", good, "--output", out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadAll(out), std::string("\0\0\0\0\0\x11\0", 7));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"good.hex", "out.bin"}));
}

TEST_F(CliProgram, ImageFollowsALinkAndWritesIntoAPipe) {
    const std::string good = File("good.hex", ":0100020011EC\n");
    const std::string want("\0\0\x11\0", 4);

    File("real.bin", "old");
    fs::create_symlink("real.bin", dir_ / "link.bin");
    Result r = Run({"image", good, "-o", (dir_ / "link.bin").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.bin"));
    EXPECT_EQ(ReadAll(dir_ / "real.bin"), want);

    // A pipe cannot be replaced by a file: the bytes must come out of it. The reader is open
    // (non-blocking) before the program starts, so nothing here can block.
    const fs::path fifo = dir_ / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    r = Run({"image", good, "-o", fifo.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    char buffer[16] = {};
    const ssize_t got = read(reader, buffer, sizeof buffer);
    close(reader);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0))), want);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"good.hex", "link.bin", "pipe", "real.bin"}));
}

// A name for the program's own output is written through it as the shell opened it (appending
// here), not by replacing the file behind it; a name of the longest length allowed works too.
TEST_F(CliProgram, ImageWritesThroughItsOwnOutputAndTakesTheLongestNames) {
    const std::string good = File("good.hex", ":0100010011ED\n");
    const std::string want("\0\x11\0", 3);
    for (const char* name : {"/dev/stdout", "/dev/fd/1"}) {
        SCOPED_TRACE(name);
        const std::string log = File("log.bin", "HEADER\n");
        const int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        const Result r = clitest::SpawnToDescriptor({ZELVATOR_CLI_PATH, "image", good, "-o", name},
                                                    dir_ / "run", fd, 30);
        close(fd);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadAll(log), "HEADER\n" + want) << "the image alone goes to the output";
        EXPECT_EQ(r.err, "wrote 3 bytes (image end 2) to '" + std::string(name) + "'\n");
    }
    const std::string longest(255, 'n');
    const Result r = Run({"image", good, "-o", (dir_ / longest).string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadAll(dir_ / longest), want);
}

TEST_F(CliProgram, OutputThatCannotBeWrittenIsAFailure) {
    const std::string good = File("good.hex", ":0100000011EE\n");
    // A pipe whose reader has gone, as when the command's output is piped into a program that
    // ended early.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    const Result r =
        clitest::SpawnToDescriptor({ZELVATOR_CLI_PATH, "info", good}, dir_ / "run", fds[1], 10);
    close(fds[1]);
    EXPECT_EQ(r.status, 1) << "128 + 13: ended by SIGPIPE without a word";
    EXPECT_EQ(r.err, "zelvator-cli: cannot write the output: Broken pipe (errno 32)\n");
}

TEST_F(CliProgram, ImageReplacesAsTheOwnerExpects) {
    const std::string good = File("good.hex", ":0100010011ED\n");
    const std::string want("\0\x11\0", 3);

    // The replaced file keeps its mode.
    const std::string secret = File("secret.bin", "old");
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    Result r = Run({"image", good, "-o", secret});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadAll(secret), want);
    EXPECT_EQ(fs::status(secret).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // A dangling link: the file it names is created, the link stays.
    fs::create_directory(dir_ / "sub");
    fs::create_symlink("sub/new.bin", dir_ / "dangling.bin");
    r = Run({"image", good, "-o", (dir_ / "dangling.bin").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.bin"));
    EXPECT_EQ(ReadAll(dir_ / "sub" / "new.bin"), want);

    // A read-only file is refused and stays as it was.
    const std::string locked = File("locked.bin", "old");
    fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read);
    r = Run({"image", good, "-o", locked});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zelvator-cli: cannot write '" + locked + "': the file is read-only\n");
    EXPECT_EQ(ReadAll(locked), "old");

    // Temporaries left by killed runs never block a later one.
    for (int i = 0; i < 100; ++i)
        File("out.bin.tmp" + std::to_string(i), "left over");
    r = Run({"image", good, "-o", (dir_ / "out.bin").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadAll(dir_ / "out.bin"), want);
    for (int i = 0; i < 100; ++i)
        fs::remove(dir_ / ("out.bin.tmp" + std::to_string(i)));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"dangling.bin", "good.hex", "locked.bin",
                                                   "out.bin", "secret.bin", "sub"}));
}

// Every bundled example, and the same file with every other line end, gives exactly what
// srec_cat makes of it, plus the one zero byte past the image end that a download also sends.
TEST_F(CliProgram, ImageMatchesSrecCatOnEveryExample) {
    const std::vector<fs::path> examples = BundledExamples();
    ASSERT_GE(examples.size(), 2u);
    if (!HaveSrecCat())
        GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed; cannot compare";

    for (const fs::path& example : examples) {
        SCOPED_TRACE(example.string());
        const std::string reference = (dir_ / "reference.bin").string();
        const Result s =
            Spawn({"srec_cat", example.string(), "-Intel", "-fill", "0x00", "0x0000",
                   "-maximum-address", example.string(), "-Intel", "-o", reference, "-Binary"},
                  dir_ / "run");
        ASSERT_EQ(s.status, 0) << s.err;
        const std::string want = ReadAll(reference) + std::string(1, '\0');
        ASSERT_GT(want.size(), 1u);

        const std::string lf = ReadAll(example);
        ASSERT_EQ(lf.find('\r'), std::string::npos) << "SDCC writes LF line ends";
        auto replaced = [&](const std::string& end) {
            std::string text;
            for (char c : lf)
                text += c == '\n' ? end : std::string(1, c);
            return text;
        };
        const struct {
            const char* name;
            std::string path;
        } inputs[] = {{"as built", example.string()},
                      {"CR LF", File("crlf.ihx", replaced("\r\n"))},
                      {"CR", File("cr.ihx", replaced("\r"))},
                      {"LF CR", File("lfcr.ihx", replaced("\n\r"))}};
        for (const auto& input : inputs) {
            SCOPED_TRACE(input.name);
            const std::string got = (dir_ / "got.bin").string();
            const Result r = Run({"image", input.path, "-o", got});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(ReadAll(got), want);
        }
    }
}

} // namespace
