// The registry store through the Win32 calls only: keys, typed values, sizes and access.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string("Software\\ZelvatorTest\\") +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_,
                                  &disposition),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }

    LONG SetString(const char* name, const std::string& text) {
        return RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>(text.size() + 1));
    }
    LONG SetDword(const char* name, DWORD v) {
        return RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    }
    // The value's type and bytes, or the error.
    LONG Query(HKEY key, const char* name, DWORD& type, std::string& data) {
        BYTE buf[512];
        DWORD size = sizeof buf;
        LONG r = RegQueryValueExA(key, name, nullptr, &type, buf, &size);
        data.assign(reinterpret_cast<const char*>(buf), r == ERROR_SUCCESS ? size : 0);
        return r;
    }

    std::string path_;
    HKEY key_ = nullptr;
};

TEST_F(RegistryTest, TypedValuesReadBackWithTheirTypesAndSizes) {
    using namespace std::string_literals;
    const DWORD dword = 0x12345678;
    struct Case {
        const char* name;
        DWORD type;
        std::string data;
    } cases[] = {
        {"Port", REG_SZ, "COM1\0"s},
        {"Empty", REG_SZ, "\0"s},
        {"Odd name = [x] ;#@%", REG_SZ, "sp ace%20=\"q\"\0"s},
        {"", REG_SZ, "the unnamed value\0"s},
        {"Speed", REG_DWORD, std::string(reinterpret_cast<const char*>(&dword), 4)},
        {"Blob", REG_BINARY, "\0\x01\xff\n\r["s},
        {"NoZero", REG_SZ, "abc"s}, // text stored without its zero keeps its bytes exactly
        {"Latin", REG_SZ, "\xe9t\xe9\0"s},
    };
    for (const Case& c : cases)
        ASSERT_EQ(RegSetValueExA(key_, c.name, 0, c.type,
                                 reinterpret_cast<const BYTE*>(c.data.data()),
                                 static_cast<DWORD>(c.data.size())),
                  ERROR_SUCCESS)
            << c.name;
    for (const Case& c : cases) {
        DWORD type = 0;
        std::string data;
        ASSERT_EQ(Query(key_, c.name, type, data), ERROR_SUCCESS) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
        EXPECT_EQ(data, c.data) << c.name;
    }
}

TEST_F(RegistryTest, SizesAbsentValuesAndReplacement) {
    ASSERT_EQ(SetString("Port", "COM12"), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    // Size only.
    EXPECT_EQ(RegQueryValueExA(key_, "port", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    // Too small: ERROR_MORE_DATA and the size needed.
    BYTE small[3];
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExA(key_, "Port", nullptr, &type, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    // A data buffer without its size is refused.
    EXPECT_EQ(RegQueryValueExA(key_, "Port", nullptr, &type, small, nullptr),
              ERROR_INVALID_PARAMETER);
    std::string data;
    EXPECT_EQ(Query(key_, "Missing", type, data), ERROR_FILE_NOT_FOUND);
    // Replacing changes type and data; names compare without case.
    ASSERT_EQ(SetDword("PORT", 7), ERROR_SUCCESS);
    ASSERT_EQ(Query(key_, "Port", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data.size(), 4u);
    EXPECT_EQ(RegSetValueExA(key_, "Short", 0, REG_DWORD, small, 2), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, KeysOpenAndCreateAlongTheirPath) {
    const std::string child = path_ + "\\Lab\\ComPort1";
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, child.c_str(), 0, KEY_READ, &k),
              ERROR_FILE_NOT_FOUND);
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, child.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, child.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE); // closed once only

    // Relative to an open key, an intermediate key, another case.
    ASSERT_EQ(RegOpenKeyExA(key_, "LAB", 0, KEY_READ, &k), ERROR_SUCCESS);
    HKEY inner = nullptr;
    ASSERT_EQ(RegOpenKeyExA(k, "comport1", 0, KEY_ALL_ACCESS, &inner), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(inner, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>("SIM"), 4),
              ERROR_SUCCESS);
    DWORD type = 0;
    std::string data;
    EXPECT_EQ(Query(inner, "Port", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("SIM", 4));
    RegCloseKey(inner);
    RegCloseKey(k);

    // Empty key names inside a path are refused.
    EXPECT_NE(RegCreateKeyExA(HKEY_CURRENT_USER, (path_ + "\\\\x").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_SUCCESS);
}

TEST_F(RegistryTest, AccessIsCheckedAndThePortListStaysReadOnly) {
    HKEY readOnly = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_READ, &readOnly),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(readOnly, "X", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1),
              ERROR_ACCESS_DENIED);
    RegCloseKey(readOnly);

    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &k, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_SET_VALUE, &k),
        ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExA(nullptr, "X", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1),
              ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, ValuesEnumerateInTheOrderTheyWereFirstWritten) {
    ASSERT_EQ(SetString("b", "1"), ERROR_SUCCESS);
    ASSERT_EQ(SetDword("a", 2), ERROR_SUCCESS);
    ASSERT_EQ(SetString("B", "3"), ERROR_SUCCESS); // replaces "b" in its place
    std::vector<std::string> names;
    for (DWORD i = 0;; ++i) {
        char name[64];
        DWORD len = sizeof name;
        LONG r = RegEnumValueA(key_, i, name, &len, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(r, ERROR_SUCCESS);
        names.emplace_back(name, len);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"b", "a"}));
}

} // namespace
