#include "app/core/HexImage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

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
    EXPECT_TRUE(report.Usable());
    EXPECT_EQ(report.Lines, 0u);
    EXPECT_EQ(image.DownloadBytes().size(), 1u);
}

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
