// Letter case of 8-bit text, the runtime's one home for it. One byte is one character and only
// the ASCII letters A-Z and a-z have a case, so results never depend on the process's locale.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zv {

constexpr char LowerAscii(char c) noexcept {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string LowerCase(std::string_view s) {
    std::string result(s);
    for (char& c : result)
        c = LowerAscii(c);
    return result;
}

// Orders the texts by their bytes (unsigned) with ASCII letters compared without case: negative,
// 0 or positive as a sorts before, with or after b.
constexpr int CompareText(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Equal when the texts match with ASCII letters compared without case.
constexpr bool SameText(std::string_view a, std::string_view b) noexcept {
    return CompareText(a, b) == 0;
}

} // namespace zv
