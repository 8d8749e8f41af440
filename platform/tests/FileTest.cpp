// Files through the Win32 calls only: open, read byte by byte, errors, sharing.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string(ZELVATOR_BINARY_DIR) + "/platform_file_test_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        std::ofstream(path_, std::ios::binary) << "AB\r\n";
    }
    void TearDown() override { std::remove(path_.c_str()); }

    HANDLE OpenForReading(DWORD share = 0) {
        return CreateFileA(path_.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    std::string path_;
};

TEST_F(FileTest, ReadsOneByteAtATimeUntilEndOfFile) {
    HANDLE h = OpenForReading();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::string text;
    for (;;) {
        char c = 0;
        DWORD n = 99;
        ASSERT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
        if (n == 0)
            break; // end of file: success with a count of 0
        ASSERT_EQ(n, 1u);
        text += c;
    }
    EXPECT_EQ(text, "AB\r\n");
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 4u);
    EXPECT_EQ(high, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FileTest, ErrorsCarryWin32Codes) {
    struct Case {
        std::string name;
        DWORD error;
    } cases[] = {
        {path_ + ".missing", ERROR_FILE_NOT_FOUND},
        {std::string(ZELVATOR_BINARY_DIR) + "/no/such/dir/x.hex", ERROR_PATH_NOT_FOUND},
        {std::string(ZELVATOR_BINARY_DIR), ERROR_ACCESS_DENIED}, // a directory
        {"", ERROR_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SetLastError(0);
        HANDLE h = CreateFileA(c.name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
}

TEST_F(FileTest, NoSharingRefusesASecondOpen) {
    HANDLE first = OpenForReading();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = OpenForReading();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(CloseHandle(first));
    HANDLE third = OpenForReading();
    EXPECT_NE(third, INVALID_HANDLE_VALUE);
    CloseHandle(third);
}

TEST_F(FileTest, ReadSharingLetsReadersInAndKeepsOthersOut) {
    const struct {
        DWORD access;
        DWORD share;
        bool opens; // while a reader that shares reads holds the file
    } cases[] = {
        {GENERIC_READ, FILE_SHARE_READ, true},
        {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, true},
        {GENERIC_READ, 0, false},
        {GENERIC_WRITE, FILE_SHARE_READ, false},
        {GENERIC_WRITE, 0, false},
    };
    HANDLE first = OpenForReading(FILE_SHARE_READ);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.access) + " " + std::to_string(c.share));
        HANDLE second = CreateFileA(path_.c_str(), c.access, c.share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(second != INVALID_HANDLE_VALUE, c.opens);
        if (second != INVALID_HANDLE_VALUE)
            CloseHandle(second);
        else
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    CloseHandle(first);
}

// An open refused for sharing leaves the holder's file as it was, even one that would have
// emptied it.
TEST_F(FileTest, ARefusedOpenDoesNotEmptyTheFile) {
    const struct {
        DWORD holderShare;
        DWORD disposition;
    } cases[] = {
        {0, CREATE_ALWAYS},
        {0, TRUNCATE_EXISTING},
        {FILE_SHARE_READ, CREATE_ALWAYS},
        {FILE_SHARE_READ, TRUNCATE_EXISTING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.holderShare) + " " + std::to_string(c.disposition));
        HANDLE holder = OpenForReading(c.holderShare);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        HANDLE writer = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, c.disposition,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(GetFileSize(holder, nullptr), 4u);
        CloseHandle(holder);
    }
    // Once nobody holds it, the same open empties it.
    HANDLE writer = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(writer, nullptr), 0u);
    CloseHandle(writer);
}

#ifndef _WIN32
// A FIFO has no length to cut: CREATE_ALWAYS opens it for writing as it opens a file.
TEST_F(FileTest, CreateAlwaysOpensAFifo) {
    const std::string fifo = path_ + ".fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    HANDLE h = CreateFileA(fifo.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    ::close(reader);
    std::remove(fifo.c_str());
}
#endif

TEST_F(FileTest, FileTypeOfAFileAndOfNoHandle) {
    HANDLE h = OpenForReading();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(h), FILE_TYPE_DISK);
    CloseHandle(h);
    SetLastError(0);
    EXPECT_EQ(GetFileType(h), FILE_TYPE_UNKNOWN);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(FileTest, ClosedAndBogusHandlesAreInvalid) {
    HANDLE h = OpenForReading();
    ASSERT_TRUE(CloseHandle(h));
    char c;
    DWORD n;
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(nullptr));
#ifndef _WIN32
    // On Win32 this value is also the current process's pseudo-handle, which closes "fine".
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
#endif
}

TEST_F(FileTest, WritesAndOverlappedReadsAtAnOffset) {
    HANDLE w = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(w, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(w, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    CloseHandle(w);

    HANDLE r = OpenForReading();
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ov.Offset = 3;
    char buf[8] = {};
    EXPECT_TRUE(ReadFile(r, buf, sizeof buf, nullptr, &ov));
    ASSERT_TRUE(GetOverlappedResult(r, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "lo");
    ov.Offset = 5;
    EXPECT_FALSE(ReadFile(r, buf, sizeof buf, nullptr, &ov));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HANDLE_EOF));
    CloseHandle(ov.hEvent);
    CloseHandle(r);
}

TEST(LastError, IsPerThread) {
    // Each side reads its own value after the other has set its own. Only atomics between the
    // set and the read: library calls (a thread start or join, a latch) may change the caller's
    // last error, as MinGW's do.
    std::atomic<int> step{0};
    DWORD seenOther = 0;
    std::thread other([&] {
        while (step.load() != 1)
            std::this_thread::yield();
        SetLastError(7);
        step.store(2);
        while (step.load() != 3)
            std::this_thread::yield();
        seenOther = GetLastError();
    });
    SetLastError(42);
    step.store(1);
    while (step.load() != 2)
        std::this_thread::yield();
    const DWORD seenMain = GetLastError();
    step.store(3);
    other.join();
    EXPECT_EQ(seenMain, 42u);
    EXPECT_EQ(seenOther, 7u);
}

TEST(Text, CompareStringIgnoresAsciiCase) {
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, "COM10", -1, "com2", -1),
              CSTR_LESS_THAN);
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, "sim", -1, "SIM", -1),
              CSTR_EQUAL);
#ifndef _WIN32
    // Ours compares bytes without NORM_IGNORECASE; Win32's order is linguistic ("a" < "B").
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "a", -1, "B", -1), CSTR_GREATER_THAN);
#endif
    EXPECT_EQ(CompareStringA(LOCALE_USER_DEFAULT, 0, "COM1", -1, "COM10", -1), CSTR_LESS_THAN);
}

} // namespace
