#include "platform/posix/IniText.h"

#include <algorithm>

namespace zv::win32 {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Lower(x) == Lower(y); });
}

bool HasLineBreakOrNul(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

} // namespace

IniText::IniText(std::string_view content, bool completeLinesOnly) {
    Parse(content, completeLinesOnly);
}

void IniText::Parse(std::string_view content, bool completeLinesOnly) {
    bool eolChosen = false;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find_first_of("\r\n", pos);
        Line line;
        if (end == std::string_view::npos) {
            line.text = content.substr(pos);
            pos = content.size();
        } else {
            line.text = content.substr(pos, end - pos);
            std::size_t eolLen =
                content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n' ? 2
                                                                                             : 1;
            line.eol = content.substr(end, eolLen);
            pos = end + eolLen;
            if (!eolChosen) {
                eol_ = line.eol;
                eolChosen = true;
            }
        }
        lines_.push_back(std::move(line));
    }
    // A last line without its line end is a file cut short: it is not part of the text.
    if (completeLinesOnly && !lines_.empty() && lines_.back().eol.empty())
        lines_.pop_back();
    Reindex();
}

// Classifies every line and ties entries to their sections.
void IniText::Reindex() {
    int section = -1;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        Line& line = lines_[i];
        std::string_view t = line.text;
        // An editor may put a UTF-8 byte-order mark before the first line; the line is read
        // without it (and kept with it).
        if (i == 0 && t.starts_with("\xEF\xBB\xBF"))
            t.remove_prefix(3);
        t = Trim(t);
        line.name.clear();
        line.value.clear();
        line.section = -1;
        if (line.text.find('\0') != std::string::npos) {
            line.kind = Kind::Unreadable;
            if (!t.empty() && t.front() == '[')
                section = -1; // a damaged header: what follows it is unreadable
        } else if (t.empty()) {
            line.kind = Kind::Blank;
        } else if (t.front() == ';') {
            line.kind = Kind::Comment;
        } else if (t.front() == '[') {
            std::size_t close = t.find(']');
            if (close == std::string_view::npos) {
                line.kind = Kind::Unreadable; // a broken header: what follows it is unreadable
                section = -1;
            } else {
                line.kind = Kind::Section;
                line.name = Trim(t.substr(1, close - 1));
                section = static_cast<int>(i);
            }
        } else if (section < 0) {
            line.kind = Kind::Unreadable; // an entry outside every section
        } else {
            line.kind = Kind::Entry;
            std::size_t eq = t.find('=');
            line.name = Trim(t.substr(0, eq));
            if (eq != std::string_view::npos) {
                std::string_view v = Trim(t.substr(eq + 1));
                if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
                    v.back() == v.front())
                    v = v.substr(1, v.size() - 2);
                line.value = v;
            }
            line.section = section;
        }
    }
}

std::string IniText::Content() const {
    std::string out;
    for (const Line& line : lines_) {
        out += line.text;
        out += line.eol;
    }
    return out;
}

int IniText::FindSection(std::string_view section) const {
    std::string_view name = Trim(section);
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Section && SameName(lines_[i].name, name))
            return static_cast<int>(i);
    return -1;
}

int IniText::FindEntry(int sectionLine, std::string_view key) const {
    std::string_view name = Trim(key);
    for (std::size_t i = static_cast<std::size_t>(sectionLine) + 1; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Entry && lines_[i].section == sectionLine &&
            SameName(lines_[i].name, name))
            return static_cast<int>(i);
    return -1;
}

std::vector<std::string> IniText::Sections() const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Section && FindSection(lines_[i].name) == static_cast<int>(i))
            names.push_back(lines_[i].name);
    return names;
}

bool IniText::HasSection(std::string_view section) const {
    return FindSection(section) >= 0;
}

std::vector<std::string> IniText::Keys(std::string_view section) const {
    std::vector<std::string> names;
    int s = FindSection(section);
    if (s < 0)
        return names;
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Entry && lines_[i].section == s &&
            FindEntry(s, lines_[i].name) == static_cast<int>(i))
            names.push_back(lines_[i].name);
    return names;
}

std::optional<std::string> IniText::Value(std::string_view section, std::string_view key) const {
    int s = FindSection(section);
    if (s < 0)
        return std::nullopt;
    int e = FindEntry(s, key);
    if (e < 0)
        return std::nullopt;
    return lines_[static_cast<std::size_t>(e)].value;
}

std::size_t IniText::AfterLastEntry(int sectionLine) const {
    std::size_t at = static_cast<std::size_t>(sectionLine) + 1;
    for (std::size_t i = at; i < lines_.size(); ++i)
        if (lines_[i].kind == Kind::Entry && lines_[i].section == sectionLine)
            at = i + 1;
    return at;
}

void IniText::InsertLine(std::size_t at, std::string text) {
    // The line before gets a line end if it was the last one and had none.
    if (at > 0 && lines_[at - 1].eol.empty())
        lines_[at - 1].eol = eol_;
    Line line;
    line.text = std::move(text);
    line.eol = eol_;
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
    Reindex();
}

bool IniText::AddSection(std::string_view section) {
    if (FindSection(section) >= 0)
        return false;
    std::size_t at = lines_.size();
    if (at > 0 && !(lines_.back().kind == Kind::Blank && !lines_.back().eol.empty()))
        InsertLine(at++, ""); // a blank line between sections
    InsertLine(at, "[" + std::string(Trim(section)) + "]");
    return true;
}

bool IniText::Set(std::string_view section, std::string_view key, std::string_view value) {
    AddSection(section);
    int s = FindSection(section);
    int e = FindEntry(s, key);
    if (e >= 0) {
        Line& line = lines_[static_cast<std::size_t>(e)];
        if (line.value == value && line.text.find('=') != std::string::npos)
            return false;
        line.text = line.name + "=" + std::string(value);
        Reindex();
        return true;
    }
    InsertLine(AfterLastEntry(s), std::string(Trim(key)) + "=" + std::string(value));
    return true;
}

bool IniText::DeleteKey(std::string_view section, std::string_view key) {
    int s = FindSection(section);
    if (s < 0)
        return false;
    int e = FindEntry(s, key);
    if (e < 0)
        return false;
    lines_.erase(lines_.begin() + e);
    Reindex();
    return true;
}

bool IniText::DeleteSection(std::string_view section) {
    int s = FindSection(section);
    if (s < 0)
        return false;
    std::size_t end = static_cast<std::size_t>(s) + 1;
    while (end < lines_.size() && lines_[end].kind != Kind::Section &&
           !(lines_[end].kind == Kind::Unreadable && Trim(lines_[end].text).starts_with("[")))
        ++end;
    lines_.erase(lines_.begin() + s, lines_.begin() + static_cast<std::ptrdiff_t>(end));
    Reindex();
    return true;
}

bool IniText::WritableSection(std::string_view section) {
    return !HasLineBreakOrNul(section) && section.find(']') == std::string_view::npos;
}

bool IniText::WritableKey(std::string_view key) {
    std::string_view t = Trim(key);
    return !HasLineBreakOrNul(key) && key.find('=') == std::string_view::npos &&
           (t.empty() || (t.front() != '[' && t.front() != ';'));
}

bool IniText::WritableValue(std::string_view value) {
    return !HasLineBreakOrNul(value);
}

} // namespace zv::win32
