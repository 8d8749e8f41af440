// Where the profile files and the registry store live on POSIX, and how they survive: writes
// replace files whole (permissions and symbolic links kept), concurrent writers in two processes
// lose nothing, an unwritable store fails with the system's reason and loses nothing, and a file
// too large to read is neither read nor rewritten.
//
// The whole test program's configuration directory is a temporary folder (XDG_CONFIG_HOME), so
// no test writes into the user's own.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Points XDG_CONFIG_HOME at a temporary folder for the whole program, removed at exit.
struct TemporaryConfigHome {
    TemporaryConfigHome() {
        char tmpl[] = "/tmp/zelvator-platform-test-XXXXXX";
        if (::mkdtemp(tmpl) != nullptr) {
            dir = tmpl;
            ::setenv("XDG_CONFIG_HOME", tmpl, 1);
        }
    }
    ~TemporaryConfigHome() {
        if (!dir.empty() && ::getpid() == owner) {
            std::error_code ec;
            fs::remove_all(dir, ec);
        }
    }
    std::string dir;
    pid_t owner = ::getpid();
};
const TemporaryConfigHome configHome;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Get(const std::string& file, const char* section, const char* key) {
    char buf[256];
    DWORD n = GetPrivateProfileStringA(section, key, "<absent>", buf, sizeof buf, file.c_str());
    return std::string(buf, n);
}

class StoreDurabilityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(configHome.dir.empty());
        dir_ =
            configHome.dir + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir_);
    }
    // Names in the folder other than the ones given: left-over temporary files.
    int Entries() {
        int n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_))
            ++n;
        return n;
    }
    std::string dir_;
};

TEST_F(StoreDurabilityTest, RelativeNamesLiveInTheConfigurationFolder) {
    ASSERT_TRUE(WritePrivateProfileStringA("S", "K", "V", "zelvator-test.ini"));
    const std::string path = configHome.dir + "/zelvator/zelvator-test.ini";
    EXPECT_EQ(ReadFile(path), "[S]\nK=V\n");
    EXPECT_EQ(Get("zelvator-test.ini", "S", "K"), "V");
    EXPECT_EQ(fs::status(configHome.dir + "/zelvator").permissions() & fs::perms::all,
              fs::perms::owner_all);
    // The registry store is a folder beside it.
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Lab", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(k);
    EXPECT_TRUE(fs::exists(configHome.dir + "/zelvator/registry/HKEY_CURRENT_USER"));
}

TEST_F(StoreDurabilityTest, AWriteReplacesTheFileWholeKeepingPermissionsAndLinks) {
    const std::string target = dir_ + "/real.ini";
    const std::string link = dir_ + "/link.ini";
    { std::ofstream(target) << "[A]\nx=1\n"; }
    ::chmod(target.c_str(), 0640);
    fs::create_symlink("real.ini", link);
    struct stat before {};
    ::stat(target.c_str(), &before);

    ASSERT_TRUE(WritePrivateProfileStringA("A", "y", "2", link.c_str()));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadFile(target), "[A]\nx=1\ny=2\n");
    struct stat after {};
    ::stat(target.c_str(), &after);
    EXPECT_NE(after.st_ino, before.st_ino); // a new file renamed over the old one
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(), 2); // no temporary file left beside them

    // A link to a missing file: the file is created, the link stays.
    const std::string dangling = dir_ + "/dangling.ini";
    fs::create_symlink("new.ini", dangling);
    ASSERT_TRUE(WritePrivateProfileStringA("B", "z", "3", dangling.c_str()));
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(ReadFile(dir_ + "/new.ini"), "[B]\nz=3\n");
}

TEST_F(StoreDurabilityTest, AStoreThatCannotBeWrittenFailsWithTheSystemsReason) {
    const std::string blocker = dir_ + "/file";
    { std::ofstream(blocker) << "not a folder"; }
    struct Case {
        std::string path;
        DWORD error;
    } cases[] = {
        {blocker + "/x.ini", ERROR_PATH_NOT_FOUND}, // a file where a folder should be
        {dir_ + "/missing/x.ini", ERROR_PATH_NOT_FOUND},
        {dir_, ERROR_ACCESS_DENIED}, // a folder (devices: WhatIsNoRegularFileIsNeverOpened)
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "V", c.path.c_str())) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    if (::geteuid() != 0) {
        const std::string ro = dir_ + "/ro";
        fs::create_directories(ro);
        { std::ofstream(ro + "/x.ini") << "[S]\nK=old\n"; }
        ::chmod((ro + "/x.ini").c_str(), 0444);
        ::chmod(ro.c_str(), 0555);
        EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "new", (ro + "/x.ini").c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(ReadFile(ro + "/x.ini"), "[S]\nK=old\n");
        ::chmod(ro.c_str(), 0755);
    }
}

// A settings path that names a device or a pipe, directly or through a symbolic link, is never
// opened: opening a serial device moves its modem lines (a board reset per value), and a
// terminal or a pipe can block the open. It reads as absent and a write to it fails.
TEST_F(StoreDurabilityTest, WhatIsNoRegularFileIsNeverOpened) {
    const std::string fifo = dir_ + "/settings.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string slave = ::ptsname(master);
    fs::create_symlink(fifo, dir_ + "/fifo.ini");
    fs::create_symlink(slave, dir_ + "/tty.ini");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, fifo.c_str(), IN_OPEN), 0);
    ASSERT_GE(::inotify_add_watch(watch, slave.c_str(), IN_OPEN), 0);
    for (const std::string& path : {fifo, slave, dir_ + "/fifo.ini", dir_ + "/tty.ini"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Get(path, "S", "K"), "<absent>");
        SetLastError(0);
        EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "V", path.c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    char events[4096];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << "a device or a pipe was opened";
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(fs::is_symlink(dir_ + "/tty.ini"));
    ::close(watch);
    ::close(master);
}

// A disk that fills up during the write (here: a file size limit) fails the write with the
// system's reason and leaves the old file as it was, without a temporary file beside it.
TEST_F(StoreDurabilityTest, AWriteThatRunsOutOfSpaceLeavesTheOldFile) {
    const std::string path = dir_ + "/full.ini";
    const std::string old = "[S]\nK=old\n";
    { std::ofstream(path) << old; }
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{64, 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const std::string big(200, 'v');
        BOOL ok = WritePrivateProfileStringA("S", "K", big.c_str(), path.c_str());
        ::_exit(ok ? 1 : GetLastError() == ERROR_FILE_TOO_LARGE ? 0 : 2);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(path), old);
    EXPECT_EQ(Entries(), 1);
}

// A file too large to read is neither read nor rewritten, and no write makes a file that large:
// it would lose every value it holds.
TEST_F(StoreDurabilityTest, AFileTooLargeToReadIsNeitherReadNorRewritten) {
    const std::string head = "[S]\nK=1\n";
    const struct {
        std::size_t size;
        const char* reads;
    } cases[] = {
        {head.size() + (17u << 20), "<absent>"},
        {(16u << 20) - 2, "1"}, // K=2222 would take it past the limit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string path = dir_ + "/huge.ini";
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << head << std::string(c.size - head.size(), ';');
        }
        EXPECT_EQ(Get(path, "S", "K"), c.reads);
        SetLastError(0);
        EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "2222", path.c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
        EXPECT_EQ(fs::file_size(path), c.size);
        EXPECT_EQ(Get(path, "S", "K"), c.reads);
        EXPECT_EQ(Entries(), 1);
    }
}

// Two processes writing different keys of one file, and different values of one registry root,
// at the same time: every write survives.
TEST_F(StoreDurabilityTest, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kWrites = 300;
    const std::string path = dir_ + "/shared.ini";
    auto writeAll = [&](const char* who) {
        HKEY key = nullptr;
        const std::string keyPath = std::string("Software\\Shared\\") + who;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS)
            return false;
        bool ok = true;
        for (int i = 0; i < kWrites && ok; ++i) {
            const std::string name = who + std::to_string(i);
            const DWORD v = static_cast<DWORD>(i);
            ok = WritePrivateProfileStringA(who, name.c_str(), std::to_string(i).c_str(),
                                            path.c_str()) &&
                 RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                                4) == ERROR_SUCCESS;
        }
        RegCloseKey(key);
        return ok;
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        ::_exit(writeAll("child") ? 0 : 1);
    const bool parentOk = writeAll("parent");
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(parentOk);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    for (const char* who : {"child", "parent"}) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER,
                                (std::string("Software\\Shared\\") + who).c_str(), 0, KEY_READ,
                                &key),
                  ERROR_SUCCESS);
        int missing = 0;
        for (int i = 0; i < kWrites; ++i) {
            const std::string name = who + std::to_string(i);
            if (Get(path, who, name.c_str()) != std::to_string(i))
                ++missing;
            DWORD v = 0, size = 4;
            if (RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v),
                                 &size) != ERROR_SUCCESS ||
                v != static_cast<DWORD>(i))
                ++missing;
        }
        RegCloseKey(key);
        EXPECT_EQ(missing, 0) << who;
    }
    EXPECT_EQ(Entries(), 1);
}

// A registry file cut short, or holding lines that do not decode, reads what is whole.
TEST_F(StoreDurabilityTest, ADamagedRegistryFileReadsWhatIsWhole) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Cut", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::string file = configHome.dir + "/zelvator/registry/HKEY_LOCAL_MACHINE";
    {
        std::ofstream(file, std::ios::app) << "Good=sz:whole\n"
                                              "BadType=dword:12\n"
                                              "BadEscape=sz:%4\n"
                                              "LowerHex=sz:%2f\n"
                                              "NeedlessEscape=sz:%41\n"
                                              "Unknown=float:1.5\n"
                                              "Cut=sz:COM1";
    }
    struct Case {
        const char* name;
        LONG result;
    } cases[] = {{"Good", ERROR_SUCCESS},
                 {"BadType", ERROR_FILE_NOT_FOUND},
                 {"BadEscape", ERROR_FILE_NOT_FOUND},
                 {"Unknown", ERROR_FILE_NOT_FOUND},
                 {"Cut", ERROR_FILE_NOT_FOUND}};
    for (const Case& c : cases) {
        DWORD size = 0;
        EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, nullptr, nullptr, &size), c.result)
            << c.name;
    }
    // A writer keeps the whole lines it cannot read and drops only the cut one.
    ASSERT_EQ(RegSetValueExA(key, "New", 0, REG_SZ, reinterpret_cast<const BYTE*>("n"), 2),
              ERROR_SUCCESS);
    const std::string text = ReadFile(file);
    EXPECT_NE(text.find("BadType=dword:12\n"), std::string::npos);
    EXPECT_EQ(text.find("Cut="), std::string::npos);
    EXPECT_NE(text.find("New=sz:n\n"), std::string::npos);
    RegCloseKey(key);
}

} // namespace
