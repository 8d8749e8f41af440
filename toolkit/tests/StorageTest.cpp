// TIniFile and TRegistry: what they read for absent, empty and foreign values, when they raise,
// and the toolkit's integer conversion.
#include "toolkit/IniFiles.h"
#include "toolkit/Registry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#ifndef _WIN32
#include "platform/tests/TemporaryConfigHome.h"

#include <unistd.h>
#endif

namespace zv {
namespace {

namespace fs = std::filesystem;

#ifndef _WIN32
// The registry store of this program lives in a temporary configuration folder.
const zv::test::TemporaryConfigHome configHome;
#endif

TEST(StrToInt, DecimalOrDollarHexInThirtyTwoBits) {
    struct Case {
        const char* text;
        bool ok;
        std::int32_t value;
    } cases[] = {
        {"0", true, 0},
        {"  42", true, 42},
        {"-17", true, -17},
        {"+5", true, 5},
        {"$1F", true, 31},
        {"$ffffffff", true, -1},
        {"-$10", true, -16},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"$123456789", false, 0},
        {"", false, 0},
        {"-", false, 0},
        {"$", false, 0},
        {"12 ", false, 0},
        {"0x10", false, 0}, // "0x" is the initialisation file's business, not the conversion's
        {"1e3", false, 0},
    };
    for (const Case& c : cases) {
        std::int32_t v = 12345;
        EXPECT_EQ(TryStrToInt(c.text, v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
        EXPECT_EQ(StrToIntDef(c.text, -99), c.ok ? c.value : -99) << c.text;
    }
}

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string(ZELVATOR_BINARY_DIR) + "/toolkit_ini_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
        std::ofstream(path_, std::ios::binary) << "[S]\nText=hello\nEmpty=\nDec=-12\nHex=0x1f\n"
                                                  "HexUpper=0XFF\nDollar=$10\nBad=12abc\n"
                                                  "Long="
                                               << std::string(5000, 'L') << "\n";
    }
    void TearDown() override { std::remove(path_.c_str()); }
    std::string path_;
};

TEST_F(IniFileTest, ReadsTextAndIntegersWithTheirDefaults) {
    TIniFile ini(path_);
    EXPECT_EQ(ini.ReadString("S", "Text", "d"), "hello");
    EXPECT_EQ(ini.ReadString("S", "Empty", "d"), ""); // present and empty
    EXPECT_EQ(ini.ReadString("S", "Missing", "d"), "d");
    EXPECT_EQ(ini.ReadString("S", "Long", "").size(), 5000u); // longer than one buffer
    struct Case {
        const char* name;
        std::int32_t expected;
    } cases[] = {{"Dec", -12}, {"Hex", 31}, {"HexUpper", 255}, {"Dollar", 16},
                 {"Bad", 7},   {"Text", 7}, {"Empty", 7},      {"Missing", 7}};
    for (const Case& c : cases)
        EXPECT_EQ(ini.ReadInteger("S", c.name, 7), c.expected) << c.name;
    EXPECT_TRUE(ini.ValueExists("S", "Empty"));
    EXPECT_FALSE(ini.ValueExists("S", "Missing"));
    EXPECT_TRUE(ini.SectionExists("s"));
}

TEST_F(IniFileTest, WritesAndRaisesWhenTheSystemRefuses) {
    TIniFile ini(path_);
    ini.WriteInteger("N", "Value", -5);
    ini.WriteBool("N", "Flag", true);
    EXPECT_EQ(ini.ReadString("N", "Value", ""), "-5");
    EXPECT_TRUE(ini.ReadBool("N", "Flag", false));
    ini.DeleteKey("N", "Flag");
    EXPECT_FALSE(ini.ValueExists("N", "Flag"));
    TStringList sections;
    ini.ReadSections(sections);
    EXPECT_EQ(sections.Count(), 2);
    ini.EraseSection("N");
    EXPECT_FALSE(ini.SectionExists("N"));

    // Blanks around a value and quotes around it read back too.
    for (const char* value : {" COM1 ", "\tx", "\"COM1\"", "'x'", "\"", "'", "a b", "\"x'"}) {
        ini.WriteString("Q", "V", value);
        EXPECT_EQ(ini.ReadString("Q", "V", "absent"), value);
    }
    ini.EraseSection("Q");

    TIniFile nowhere(path_ + "/below-a-file.ini");
    EXPECT_THROW(nowhere.WriteString("S", "K", "V"), EIniFileException);
    // Text that would not read back as written is refused, and the file keeps what it had.
    ini.WriteString("S", "K", "kept");
    const struct {
        const char* section;
        const char* key;
        const char* value;
    } refused[] = {{"S", "K", "two\nlines"}, {"S", "K", "cr\r"}, {"S", "k=v", "1"},
                   {"S", " [k", "1"},        {"S", ";k", "1"},   {"S]", "K", "1"},
                   {"S\n", "K", "1"}};
    for (const auto& r : refused) {
        EXPECT_THROW(ini.WriteString(r.section, r.key, r.value), EIniFileException) << r.key;
        EXPECT_EQ(ini.ReadString("S", "K", ""), "kept");
    }
}

TEST(RegistryObject, ReadsAndRaisesAsTheToolkitDoes) {
    TRegistry reg;
    EXPECT_EQ(reg.RootKey(), HKEY_CURRENT_USER);
    EXPECT_EQ(reg.Access(), static_cast<REGSAM>(KEY_ALL_ACCESS));
    EXPECT_EQ(reg.CurrentKey(), nullptr);
    // No key open: text reads as empty, integers and writes raise.
    EXPECT_EQ(reg.ReadString("Port"), "");
    EXPECT_THROW(reg.ReadInteger("Size"), ERegistryException);
    EXPECT_THROW(reg.WriteString("Port", "x"), ERegistryException);

    EXPECT_FALSE(reg.OpenKey("Software\\ToolkitTest\\Missing", false));
    ASSERT_TRUE(reg.OpenKey("\\Software\\ToolkitTest\\Port1", true));
    EXPECT_EQ(reg.CurrentPath(), "Software\\ToolkitTest\\Port1");
    reg.WriteString("Port", "COM2");
    reg.WriteString("Empty", "");
    reg.WriteInteger("Size", -2);
    EXPECT_EQ(reg.ReadString("Port"), "COM2");
    EXPECT_EQ(reg.ReadString("Empty"), "");
    EXPECT_EQ(reg.ReadString("Missing"), "");
    EXPECT_EQ(reg.ReadInteger("Size"), -2);
    EXPECT_THROW(reg.ReadString("Size"), ERegistryException);  // not text
    EXPECT_THROW(reg.ReadInteger("Port"), ERegistryException); // not a DWORD
    EXPECT_THROW(reg.ReadInteger("Missing"), ERegistryException);
    EXPECT_TRUE(reg.ValueExists("Port"));

    // Switching the root closes the key.
    reg.SetRootKey(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(reg.CurrentKey(), nullptr);
    EXPECT_FALSE(reg.KeyExists("Software\\ToolkitTest\\Port1"));
    reg.SetRootKey(HKEY_CURRENT_USER);
    EXPECT_TRUE(reg.KeyExists("Software\\ToolkitTest\\Port1"));
    // A failed open keeps the key that was open.
    ASSERT_TRUE(reg.OpenKey("Software\\ToolkitTest\\Port1", false));
    HKEY open = reg.CurrentKey();
    EXPECT_FALSE(reg.OpenKey("Software\\ToolkitTest\\Nope", false));
    EXPECT_EQ(reg.CurrentKey(), open);
}

} // namespace
} // namespace zv
