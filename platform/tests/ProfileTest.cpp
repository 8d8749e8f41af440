// The profile functions through the Win32 calls only: how lines read, what a write changes and
// what it keeps. Some rules are our own: Win32's functions (and Wine's, which follow them) rewrite
// the whole file from what they understood, stop reading a line at a NUL, write any text as it
// is and read a few odd lines otherwise. Tests and table rows of those rules run on POSIX only
// and skip on Windows saying which rule.
#include "platform/win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

#ifdef _WIN32
#define OUR_RULE_ONLY(rule) GTEST_SKIP() << "our own profile rule, not Win32's: " << rule
constexpr bool kOurRules = false;
#else
#define OUR_RULE_ONLY(rule) static_cast<void>(0)
constexpr bool kOurRules = true;
#endif

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::string(ZELVATOR_BINARY_DIR) + "/platform_profile_test_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".ini";
        std::remove(path_.c_str());
    }
    void TearDown() override { std::remove(path_.c_str()); }

    void Put(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
    std::string Contents() {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string Get(const char* section, const char* key, const char* def = "<absent>") {
        char buf[256];
        DWORD n = GetPrivateProfileStringA(section, key, def, buf, sizeof buf, path_.c_str());
        return std::string(buf, n);
    }

    std::string path_;
};

constexpr char kSample[] = "; settings\r\n"
                           "[ComPort1]\r\n"
                           "Port=COM3\r\n"
                           "  BaudRate =  19200  \r\n"
                           "Quoted=\"  padded  \"\r\n"
                           "Single='x'\r\n"
                           "Half=\"open\r\n"
                           "Empty=\r\n"
                           "NoEquals\r\n"
                           "Eq=a=b\r\n"
                           "\r\n"
                           "[ Other ]\r\n"
                           "Port=COM5\r\n"
                           "[Broken\r\n"
                           "Port=COM7\r\n"
                           "[Last] trailing words\r\n"
                           "Key=last";

TEST_F(ProfileTest, ReadsNamesWithoutCaseAndValuesTrimmed) {
    Put(kSample);
    struct Case {
        const char* section;
        const char* key;
        const char* def;
        const char* expected;
        bool ours = false; // our own rule: checked on POSIX only
    } cases[] = {
        {"ComPort1", "Port", "x", "COM3"},
        {"COMPORT1", "port", "x", "COM3"},         // names compared without case
        {" ComPort1 ", " Port ", "x", "COM3"},     // the names asked for are trimmed too
        {"ComPort1", "BaudRate", "x", "19200"},    // blanks around name and value trimmed
        {"ComPort1", "Quoted", "x", "  padded  "}, // matching quotes removed
        {"ComPort1", "Single", "x", "x"},
        {"ComPort1", "Half", "x", "\"open"},     // one quote is text
        {"ComPort1", "Empty", "x", ""},          // present and empty is not absent
        {"ComPort1", "NoEquals", "x", "", true}, // Win32: the default
        {"ComPort1", "Eq", "x", "a=b"},          // the first "=" separates
        {"Other", "Port", "x", "COM5"},
        {"Broken", "Port", "dflt", "dflt"},    // no section without its bracket
        {"Last", "Key", "x", "last"},          // a last line without its line end
        {"Missing", "Port", "dflt  ", "dflt"}, // the default loses its trailing blanks
        {"ComPort1", "Missing", nullptr, ""},  // no default: empty text
    };
    for (const Case& c : cases) {
        if (kOurRules || !c.ours) {
            EXPECT_EQ(Get(c.section, c.key, c.def), c.expected) << c.section << "/" << c.key;
        }
    }
}

TEST_F(ProfileTest, ListsSectionsAndKeysAndCutsThemToTheBuffer) {
    Put(kSample);
    EXPECT_EQ(Get(nullptr, nullptr), std::string("ComPort1\0Other\0Last\0", 20));
    if (kOurRules) {
        // Win32 reads the entries below "[Broken" into the section above it, and lists the
        // keys of a missing section as the default.
        EXPECT_EQ(Get("Other", nullptr), std::string("Port\0", 5));
        EXPECT_EQ(Get("Missing", nullptr), "");
    }

    char buf[8];
    // Lists too long: cut, still ending with two zeros, nSize - 2 returned.
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buf, 8, path_.c_str()), 6u);
    EXPECT_EQ(std::string(buf, 8), std::string("ComPor\0\0", 8));
    // A value too long: cut to nSize - 1 with its zero.
    EXPECT_EQ(GetPrivateProfileStringA("ComPort1", "Port", "", buf, 3, path_.c_str()), 2u);
    EXPECT_STREQ(buf, "CO");
}

TEST_F(ProfileTest, AMissingFileReadsAsDefaultsAndDeletingFromItCreatesNothing) {
    EXPECT_EQ(Get("S", "K", "d"), "d");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Get(nullptr, nullptr), "");
    EXPECT_TRUE(WritePrivateProfileStringA("S", "K", nullptr, path_.c_str()));
    EXPECT_TRUE(WritePrivateProfileStringA("S", nullptr, nullptr, path_.c_str()));
    EXPECT_FALSE(std::ifstream(path_).good());
}

// Each write changes only its own line; comments, blanks, other sections, unreadable lines and
// line ends stay as they were.
TEST_F(ProfileTest, WritesChangeOnlyTheirOwnLines) {
    OUR_RULE_ONLY("every line but the written one keeps its text, blanks and line end");
    const std::string base =
        "; keep me\r\n[A]\r\nx = 1\r\n; inner\r\n\r\n[B]\r\ny=2\r\n[Bad\r\nz=3\r\n";
    struct Case {
        const char* what;
        const char* section;
        const char* key;
        const char* value;
        std::string expected;
    } cases[] = {
        {"replace", "a", "X", "9",
         "; keep me\r\n[A]\r\nx=9\r\n; inner\r\n\r\n[B]\r\ny=2\r\n[Bad\r\nz=3\r\n"},
        {"same value: no change", "A", "x", "1", base},
        {"add to a section", "A", "w", "5",
         "; keep me\r\n[A]\r\nx = 1\r\nw=5\r\n; inner\r\n\r\n[B]\r\ny=2\r\n[Bad\r\nz=3\r\n"},
        {"add a section", "C", "k", "v", base + "\r\n[C]\r\nk=v\r\n"},
        {"delete a key", "B", "y", nullptr,
         "; keep me\r\n[A]\r\nx = 1\r\n; inner\r\n\r\n[B]\r\n[Bad\r\nz=3\r\n"},
        {"delete a section", "A", nullptr, nullptr, "; keep me\r\n[B]\r\ny=2\r\n[Bad\r\nz=3\r\n"},
        {"delete what is absent", "Q", "y", nullptr, base},
    };
    for (const Case& c : cases) {
        Put(base);
        EXPECT_TRUE(WritePrivateProfileStringA(c.section, c.key, c.value, path_.c_str())) << c.what;
        EXPECT_EQ(Contents(), c.expected) << c.what;
    }
}

TEST_F(ProfileTest, TheFirstWriteCreatesTheFileAndAValueReadsBackAsWritten) {
    ASSERT_TRUE(WritePrivateProfileStringA("ComPort1", "Port", "COM1", path_.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("ComPort1", "BaudRate", "9600", path_.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Other", "Port", "", path_.c_str()));
    EXPECT_EQ(Get("ComPort1", "Port"), "COM1");
    EXPECT_EQ(Get("ComPort1", "BaudRate"), "9600");
    EXPECT_EQ(Get("Other", "Port"), "");
    if (!kOurRules)
        return; // Win32 writes every line end as CR LF
    // A last line without its line end gets one before anything is added after it.
    Put("[A]\nx=1");
    ASSERT_TRUE(WritePrivateProfileStringA("A", "y", "2", path_.c_str()));
    EXPECT_EQ(Contents(), "[A]\nx=1\ny=2\n");
}

TEST_F(ProfileTest, TextThatWouldNotReadBackIsRefusedAndNothingChanges) {
    OUR_RULE_ONLY("text that would not read back is refused (Win32 writes it; the toolkit's "
                  "TIniFile refuses it on every system)");
    Put("[A]\nx=1\n");
    struct Case {
        const char* section;
        const char* key;
        const char* value;
    } cases[] = {
        {"A", "x", "two\nlines"}, {"A", "x", "cr\r"}, {"A", "k=v", "1"}, {"A", "[k", "1"},
        {"A", ";k", "1"},         {"A]", "x", "1"},   {"A\n", "x", "1"}, {nullptr, "x", "1"},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(WritePrivateProfileStringA(c.section, c.key, c.value, path_.c_str()));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(Contents(), "[A]\nx=1\n");
}

TEST_F(ProfileTest, AByteOrderMarkBeforeTheFirstSectionIsReadPast) {
    OUR_RULE_ONLY("a UTF-8 byte-order mark is read past");
    Put("\xEF\xBB\xBF[ComPort1]\r\nPort=COM7\r\n");
    EXPECT_EQ(Get("ComPort1", "Port"), "COM7");
    ASSERT_TRUE(WritePrivateProfileStringA("ComPort1", "Port", "COM8", path_.c_str()));
    EXPECT_EQ(Contents(), "\xEF\xBB\xBF[ComPort1]\r\nPort=COM8\r\n"); // no second section
}

TEST_F(ProfileTest, DamagedLinesReadAsAbsentAndTheRestStaysReadable) {
    OUR_RULE_ONLY("a line holding a NUL is not read, and damaged lines are kept byte for byte");
    using namespace std::string_literals;
    const std::string garbage = "\x01\xff\xfe[\x80=\x00\x02"s;
    const std::string longLine(3u << 20, 'q');
    Put("[A]\nbefore=1\n"s + garbage + "\nnul=a\0b\n"s + longLine + "\nlong="s + longLine +
        "\nafter=2\n[B\0]\nhidden=1\n[C]\nlast=3\n"s);
    EXPECT_EQ(Get("A", "before"), "1");
    EXPECT_EQ(Get("A", "nul", "absent"), "absent"); // a line holding a NUL is not read
    EXPECT_EQ(Get("A", "after"), "2");
    EXPECT_EQ(Get("B", "hidden", "absent"), "absent");
    EXPECT_EQ(Get("C", "last"), "3");
    char small[4];
    EXPECT_EQ(GetPrivateProfileStringA("A", "long", "", small, 4, path_.c_str()), 3u);
    // A write rewrites only its own line: the damaged ones come back byte for byte.
    const std::string before = Contents();
    ASSERT_TRUE(WritePrivateProfileStringA("C", "last", "4", path_.c_str()));
    std::string expected = before;
    expected.replace(expected.find("last=3"), 6, "last=4");
    EXPECT_EQ(Contents(), expected);
}

} // namespace
