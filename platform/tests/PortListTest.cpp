// The SERIALCOMM registry key: synthesised from sysfs and the registered virtual lines.
#include "platform/VirtualLine.h"
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zv {
namespace {

namespace fs = std::filesystem;

constexpr char kKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Reads every value of the key the way a port list is built: 256-byte buffers until
// ERROR_NO_MORE_ITEMS.
std::vector<std::pair<std::string, std::string>> ReadPortList() {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    std::vector<std::pair<std::string, std::string>> values;
    for (DWORD i = 0;; ++i) {
        char name[256];
        BYTE data[256];
        DWORD nameLen = sizeof name;
        DWORD dataLen = sizeof data;
        DWORD type = 0;
        LONG r = RegEnumValueA(key, i, name, &nameLen, nullptr, &type, data, &dataLen);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        EXPECT_EQ(r, ERROR_SUCCESS);
        if (r != ERROR_SUCCESS)
            break;
        EXPECT_EQ(type, REG_SZ);
        EXPECT_EQ(nameLen, std::string(name).size());
        EXPECT_EQ(data[dataLen - 1], 0); // REG_SZ data keeps its terminating zero
        values.emplace_back(name, reinterpret_cast<char*>(data));
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    return values;
}

class PortListTest : public ::testing::Test {
protected:
    void SetUp() override {
        // One tree per test process: CTest may run these tests side by side.
        root_ = fs::path(ZELVATOR_BINARY_DIR) /
                ("platform_fake_sys_class_tty_" + std::to_string(::getpid()));
        fs::remove_all(root_);
        AddTty("ttyS0", "4"); // a UART
        AddTty("ttyS1", "0"); // a placeholder without one
        AddTty("ttyS10", "4");
        AddTty("ttyS2", "4");
        AddTty("ttyUSB0", nullptr);
        fs::create_directories(root_ / "tty1"); // a console: no device behind it
        ::setenv("ZELVATOR_SYS_CLASS_TTY", root_.c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("ZELVATOR_SYS_CLASS_TTY");
        fs::remove_all(root_);
    }
    void AddTty(const char* name, const char* type) {
        fs::create_directories(root_ / name / "device");
        if (type != nullptr)
            std::ofstream(root_ / name / "type") << type << "\n";
    }
    fs::path root_;
};

TEST_F(PortListTest, ListsRealDevicesThenVirtualLines) {
    auto sim = VirtualLine::Create("SIMPL");
    auto values = ReadPortList();
    std::vector<std::pair<std::string, std::string>> expected = {
        {"/dev/ttyS0", "COM1"},
        {"/dev/ttyS2", "COM3"},
        {"/dev/ttyS10", "COM11"},
        {"/dev/ttyUSB0", "ttyUSB0"},
        {"\\Device\\VirtualSerial\\SIMPL", "SIMPL"},
    };
    EXPECT_EQ(values, expected);
}

TEST_F(PortListTest, OddTtyNamesAreLeftOutTheRestListed) {
    AddTty("ttyS1234567890123456789012345", "4"); // no COM number that large
    AddTty("ttyS4294967295", "4");
    AddTty("ttyS4294967294", "4");
    AddTty("ttyS", "4"); // no number: keeps its own name
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"/dev/ttyS", "ttyS"},       {"/dev/ttyS0", "COM1"},
        {"/dev/ttyS2", "COM3"},      {"/dev/ttyS10", "COM11"},
        {"/dev/ttyUSB0", "ttyUSB0"}, {"/dev/ttyS4294967294", "COM4294967295"},
    };
    EXPECT_EQ(ReadPortList(), expected);
}

TEST_F(PortListTest, UnpluggedAndDestroyedLinesDisappear) {
    auto a = VirtualLine::Create("PLA");
    auto b = VirtualLine::Create("PLB");
    a->Unplug();
    auto values = ReadPortList();
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.back().second, "PLB");
    b.reset();
    values = ReadPortList();
    EXPECT_EQ(values.back().second, "ttyUSB0");
}

TEST_F(PortListTest, SmallBuffersAndBadArgumentsAreRefused) {
    auto sim = VirtualLine::Create("SIMPL");
    HKEY key = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "hardware\\devicemap\\serialcomm", 0, KEY_READ, &key),
        ERROR_SUCCESS);
    char name[4];
    BYTE data[256];
    DWORD nameLen = sizeof name;
    DWORD dataLen = sizeof data;
    EXPECT_EQ(RegEnumValueA(key, 0, name, &nameLen, nullptr, nullptr, data, &dataLen),
              ERROR_MORE_DATA);
    char bigName[256];
    nameLen = sizeof bigName;
    dataLen = 3; // "COM1" needs 5 bytes
    EXPECT_EQ(RegEnumValueA(key, 0, bigName, &nameLen, nullptr, nullptr, data, &dataLen),
              ERROR_MORE_DATA);
    EXPECT_EQ(dataLen, 5u);
    nameLen = sizeof bigName;
    EXPECT_EQ(RegEnumValueA(key, 99, bigName, &nameLen, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    nameLen = sizeof bigName;
    EXPECT_EQ(RegEnumValueA(key, 0, bigName, &nameLen, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\NOPE", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(PortListTest, ListedNamesOpenTheListedDevice) {
    auto sim = VirtualLine::Create("SIMPL");
    auto values = ReadPortList();
    ASSERT_EQ(values.back().second, "SIMPL");
    std::string path = "\\\\.\\" + values.back().second;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(sim->IsOpen());
    CloseHandle(h);
}

} // namespace
} // namespace zv
