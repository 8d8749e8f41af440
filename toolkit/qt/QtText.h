// Text crossing between the component set and Qt. The component set's text is 8-bit, one byte
// one character, so it crosses as Latin-1 both ways: every byte value survives the round trip.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace zv {

inline QString ToQString(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// Characters outside Latin-1 become '?'.
inline std::string FromQString(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

} // namespace zv
