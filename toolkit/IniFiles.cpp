#include "toolkit/IniFiles.h"

#include "platform/win32.h"

#include <limits>
#include <string_view>
#include <vector>

namespace zv {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// GetPrivateProfileStringA into a buffer that grows until the text fits. list: the result is a
// zero-separated list (truncation shows as nSize - 2 instead of nSize - 1).
std::string Profile(const char* section, const char* ident, const char* def,
                    const std::string& file, bool list) {
    std::vector<char> buf(2048);
    for (;;) {
        DWORD n = GetPrivateProfileStringA(section, ident, def, buf.data(),
                                           static_cast<DWORD>(buf.size()), file.c_str());
        const DWORD full = static_cast<DWORD>(buf.size()) - (list ? 2 : 1);
        if (n < full || buf.size() >= (1u << 26))
            return std::string(buf.data(), n);
        buf.resize(buf.size() * 4);
    }
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Whether an entry written with these names and this value reads back the same: a line break or
// NUL would split or cut its line, "]" would end the section name early, "=" the key, and a key
// starting with "[" or ";" would read as a section or a comment. Win32's profile functions write
// such text as it is, so the damage would show only at the next read.
bool ReadsBack(std::string_view section, std::string_view ident, std::string_view value) {
    const std::size_t first = ident.find_first_not_of(" \t");
    const char lead = first == std::string_view::npos ? ' ' : ident[first];
    return !HasLineBreakOrNul(section) && section.find(']') == std::string_view::npos &&
           !HasLineBreakOrNul(ident) && ident.find('=') == std::string_view::npos && lead != '[' &&
           lead != ';' && !HasLineBreakOrNul(value);
}

// Reading drops the blanks around a value and one pair of quotes around it, as the system's
// profile functions do: a value that would lose either is written inside a pair of quotes, which
// the reading takes off again.
std::string Storable(const std::string& Value) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; };
    const bool edgeBlanks = !Value.empty() && (blank(Value.front()) || blank(Value.back()));
    const bool quoted = Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
                        Value.back() == Value.front();
    return edgeBlanks || quoted ? '"' + Value + '"' : Value;
}

} // namespace

bool TryStrToInt(std::string_view text, std::int32_t& value) noexcept {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i < text.size() && text[i] == '$') {
        ++i;
        if (i == text.size() || text.size() - i > 8)
            return false;
        std::uint32_t v = 0;
        for (; i < text.size(); ++i) {
            int d = HexValue(text[i]);
            if (d < 0)
                return false;
            v = v << 4 | static_cast<std::uint32_t>(d);
        }
        if (negative)
            v = 0u - v;
        value = static_cast<std::int32_t>(v);
        return true;
    }
    if (i == text.size())
        return false;
    std::int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
        if (v > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1)
            return false;
    }
    if (negative)
        v = -v;
    if (v > std::numeric_limits<std::int32_t>::max())
        return false;
    value = static_cast<std::int32_t>(v);
    return true;
}

std::int32_t StrToIntDef(std::string_view text, std::int32_t def) noexcept {
    std::int32_t v = 0;
    return TryStrToInt(text, v) ? v : def;
}

TIniFile::TIniFile(std::string FileName) : FFileName(std::move(FileName)) {}

std::string TIniFile::ReadString(const std::string& Section, const std::string& Ident,
                                 const std::string& Default) const {
    return Profile(Section.c_str(), Ident.c_str(), Default.c_str(), FFileName, false);
}

void TIniFile::WriteString(const std::string& Section, const std::string& Ident,
                           const std::string& Value) {
    if (!ReadsBack(Section, Ident, Value)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        RaiseWriteError();
    }
    if (!WritePrivateProfileStringA(Section.c_str(), Ident.c_str(), Storable(Value).c_str(),
                                    FFileName.c_str()))
        RaiseWriteError();
}

std::int32_t TIniFile::ReadInteger(const std::string& Section, const std::string& Ident,
                                   std::int32_t Default) const {
    std::string text = ReadString(Section, Ident, "");
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = "$" + text.substr(2);
    return StrToIntDef(text, Default);
}

void TIniFile::WriteInteger(const std::string& Section, const std::string& Ident,
                            std::int32_t Value) {
    WriteString(Section, Ident, std::to_string(Value));
}

bool TIniFile::ReadBool(const std::string& Section, const std::string& Ident, bool Default) const {
    return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& Section, const std::string& Ident, bool Value) {
    WriteString(Section, Ident, Value ? "1" : "0");
}

bool TIniFile::SectionExists(const std::string& Section) const {
    TStringList names;
    ReadSection(Section, names);
    if (names.Count() > 0)
        return true;
    ReadSections(names);
    return names.IndexOf(Section) >= 0;
}

bool TIniFile::ValueExists(const std::string& Section, const std::string& Ident) const {
    TStringList names;
    ReadSection(Section, names);
    return names.IndexOf(Ident) >= 0;
}

void TIniFile::ReadList(const char* Section, TStrings& Strings) const {
    std::string all = Profile(Section, nullptr, "", FFileName, true);
    Strings.BeginUpdate();
    Strings.Clear();
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\0', start);
        if (end == std::string::npos)
            end = all.size();
        Strings.Add(all.substr(start, end - start));
        start = end + 1;
    }
    Strings.EndUpdate();
}

void TIniFile::ReadSections(TStrings& Strings) const {
    ReadList(nullptr, Strings);
}

void TIniFile::ReadSection(const std::string& Section, TStrings& Strings) const {
    ReadList(Section.c_str(), Strings);
}

void TIniFile::EraseSection(const std::string& Section) {
    if (!WritePrivateProfileStringA(Section.c_str(), nullptr, nullptr, FFileName.c_str()))
        RaiseWriteError();
}

void TIniFile::DeleteKey(const std::string& Section, const std::string& Ident) {
    if (!WritePrivateProfileStringA(Section.c_str(), Ident.c_str(), nullptr, FFileName.c_str()))
        RaiseWriteError();
}

void TIniFile::RaiseWriteError() const {
    const DWORD code = GetLastError();
    throw EIniFileException("Unable to write to " + FFileName +
                            " (win error code: " + std::to_string(code) + ")");
}

} // namespace zv
