#include "toolkit/Strings.h"
#include "toolkit/Exception.h"
#include "toolkit/Text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zv {
namespace {

std::vector<std::string> linesOf(const TStrings& s) {
    std::vector<std::string> lines;
    for (int i = 0; i < s.Count(); ++i)
        lines.push_back(s[i]);
    return lines;
}

// Only the ASCII letters have a case; every other byte, those above 127 included, compares as
// its unsigned value, whatever the process's locale.
TEST(TextTest, CompareTextFoldsAsciiLettersOnly) {
    struct Case {
        std::string a, b;
        int order; // the sign of CompareText(a, b)
    };
    const Case cases[] = {
        {"COM1", "com1", 0},  {"", "", 0},      {"Sim", "SIMX", -1},
        {"[", "a", -1}, // '[' (0x5B) lies between 'Z' and 'a': no folding to upper case
        {"\xc4", "\xe4", -1}, {"\xff", "a", 1}, {std::string("a\0b", 3), std::string("A\0B", 3), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.a + " / " + c.b);
        const int got = CompareText(c.a, c.b);
        EXPECT_EQ((got > 0) - (got < 0), c.order);
        EXPECT_EQ(CompareText(c.b, c.a), -got);
        EXPECT_EQ(SameText(c.a, c.b), c.order == 0);
    }
    EXPECT_EQ(LowerCase("ttyUSB0-\xc4Z"), "ttyusb0-\xc4z");
}

TEST(StringsTest, SetTextSplitsAtEveryLineEndAndTextJoinsWithTheLineBreak) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"", {}},
        {"COM1", {"COM1"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"a\rb\r", {"a", "b"}},
        {"a\r\n\r\nb", {"a", "", "b"}},
        {"\n", {""}},
        {"a\n\rb", {"a", "", "b"}},
        {std::string("x\0y\xff", 4), {std::string("x\0y\xff", 4)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        TStringList list;
        list.Add("old");
        list.SetText(c.text);
        EXPECT_EQ(linesOf(list), c.lines);
    }
    TStringList list;
    list.SetText("a\nb");
    EXPECT_EQ(list.Text(), "a\r\nb\r\n");
    list.SetLineBreak("\n");
    EXPECT_EQ(list.Text(), "a\nb\n");
}

TEST(StringsTest, AddInsertDeleteAndIndexErrors) {
    TStringList list;
    EXPECT_EQ(list.Add("9600"), 0);
    EXPECT_EQ(list.Add("19200"), 1);
    list.Insert(0, "4800");
    list.Insert(3, "38400");
    EXPECT_EQ(linesOf(list), (std::vector<std::string>{"4800", "9600", "19200", "38400"}));
    list.Delete(1);
    list.Put(0, "2400");
    EXPECT_EQ(linesOf(list), (std::vector<std::string>{"2400", "19200", "38400"}));
    EXPECT_THROW(list.Insert(5, "x"), EListError);
    EXPECT_THROW(list.Delete(3), EListError);
    EXPECT_THROW(list.Get(-1), EListError);
    EXPECT_THROW(list.Put(3, "x"), EListError);
    EXPECT_EQ(list.Count(), 3);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

TEST(StringsTest, IndexOfIgnoresAsciiCaseUnlessCaseSensitive) {
    TStringList list;
    list.SetText("COM1\ncom2\nttyUSB0");
    EXPECT_EQ(list.IndexOf("com1"), 0);
    EXPECT_EQ(list.IndexOf("COM2"), 1);
    EXPECT_EQ(list.IndexOf("ttyusb0"), 2);
    EXPECT_EQ(list.IndexOf("COM3"), -1);
    list.SetCaseSensitive(true);
    EXPECT_EQ(list.IndexOf("com1"), -1);
    EXPECT_EQ(list.IndexOf("COM1"), 0);
}

TEST(StringsTest, SortedListKeepsOrderAndHandlesDuplicates) {
    TStringList list;
    list.SetText("b\nC\na");
    list.SetSorted(true);
    EXPECT_EQ(linesOf(list), (std::vector<std::string>{"a", "b", "C"}));
    EXPECT_EQ(list.Add("B"), 1); // dupIgnore: the index of the line already there
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.IndexOf("c"), 2);
    EXPECT_THROW(list.Insert(0, "z"), EListError);
    list.SetDuplicates(dupError);
    EXPECT_THROW(list.Add("A"), EListError);
    list.SetDuplicates(dupAccept);
    list.Add("A");
    EXPECT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Add("0"), 0);
}

TEST(StringsTest, AssignCopiesLinesAndRefusesOtherClasses) {
    TStringList source, target;
    source.SetText("COM1\nCOM2");
    target.SetText("old");
    int changes = 0;
    target.OnChange = [&](TObject* sender) {
        EXPECT_EQ(sender, &target);
        ++changes;
    };
    target.Assign(&source);
    EXPECT_TRUE(target.Equals(source));
    EXPECT_EQ(changes, 1); // one batch
    target.Assign(&target);
    EXPECT_TRUE(target.Equals(source));
    struct TOther : TPersistent {
    } other;
    EXPECT_THROW(target.Assign(&other), EConvertError);
    EXPECT_EQ(target.Count(), 2);
}

TEST(StringsTest, AddingAListToItselfAddsEachLineOnce) {
    const struct {
        bool sorted;
        std::vector<std::string> lines;
    } cases[] = {
        {false, {"b", "a", "b", "a"}},
        {true, {"a", "a", "b", "b"}}, // the lines move as copies go in
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sorted);
        TStringList list;
        list.SetText("b\na");
        list.SetDuplicates(dupAccept);
        list.SetSorted(c.sorted);
        list.AddStrings(list);
        EXPECT_EQ(linesOf(list), c.lines);
    }
}

} // namespace
} // namespace zv
