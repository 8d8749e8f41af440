// The text of an initialisation file as lines: what the profile functions and the registry store
// read and change. Reading never fails: a line that cannot be understood is kept as it is and
// means nothing. Changing touches only the lines it must; every other line, comment and blank
// keeps its text, its line end and its place.
//
// Lines: "[name]" starts a section (blanks around the name trimmed; text after "]" ignored);
// "name=value" is an entry of the section above it (blanks around both trimmed; a value in
// matching double or single quotes loses them); a line without "=" is an entry with an empty
// value; a line starting with ";" is a comment. A "[" line without its "]", a line holding a NUL
// byte and entries above the first section belong to no section and are never read. Names are
// compared without ASCII case; the first of several equal sections or entries counts.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv::win32 {

class IniText {
public:
    // completeLinesOnly: a last line without its line end is not read (a file cut short).
    explicit IniText(std::string_view content, bool completeLinesOnly = false);

    std::string Content() const;

    // Section names in file order, each once.
    std::vector<std::string> Sections() const;
    bool HasSection(std::string_view section) const;
    // Entry names of the section in file order, each once.
    std::vector<std::string> Keys(std::string_view section) const;
    std::optional<std::string> Value(std::string_view section, std::string_view key) const;

    // Each returns true when the text changed. Set replaces the entry's line in place (keeping
    // the name as written there) or adds one after the last entry of the section, adding the
    // section at the end when it is missing.
    bool Set(std::string_view section, std::string_view key, std::string_view value);
    bool AddSection(std::string_view section);
    bool DeleteKey(std::string_view section, std::string_view key);
    bool DeleteSection(std::string_view section);

    // Names and values that Set can write so that they read back the same: no line breaks or
    // NULs; a section name without "]"; a key without "=" that does not start with "[" or ";".
    static bool WritableSection(std::string_view section);
    static bool WritableKey(std::string_view key);
    static bool WritableValue(std::string_view value);

private:
    enum class Kind { Blank, Comment, Section, Entry, Unreadable };
    struct Line {
        std::string text; // without its line end
        std::string eol;  // "\r\n", "\n", "\r" or "" (last line)
        Kind kind = Kind::Unreadable;
        std::string name;  // section or entry name, trimmed
        std::string value; // entry value, trimmed and unquoted
        int section = -1;  // index of the section line an entry belongs to, -1 for none
    };

    void Parse(std::string_view content, bool completeLinesOnly);
    void Reindex();
    int FindSection(std::string_view section) const;
    int FindEntry(int sectionLine, std::string_view key) const;
    // Where a new entry of the section that starts at sectionLine goes: after its last entry,
    // or right after its header.
    std::size_t AfterLastEntry(int sectionLine) const;
    void InsertLine(std::size_t at, std::string text);

    std::vector<Line> lines_;
    std::string eol_ = "\n"; // for new lines: the file's own line end
};

} // namespace zv::win32
