// TIniFile: initialisation files through the Win32 profile functions, and the toolkit's integer
// conversion that reading integers uses.
#pragma once

#include "toolkit/Exception.h"
#include "toolkit/Strings.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace zv {

// A write to an initialisation file failed; the message names the file and the system's reason.
class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

// The toolkit's integer conversion: optional leading blanks, an optional sign, then decimal
// digits or "$" and hexadecimal digits, nothing after them. Decimal text must fit 32 bits signed;
// hexadecimal text up to 8 digits is taken as the 32-bit pattern ("$FFFFFFFF" is -1).
bool TryStrToInt(std::string_view text, std::int32_t& value) noexcept;
std::int32_t StrToIntDef(std::string_view text, std::int32_t def) noexcept;

class TIniFile : public TObject {
public:
    // Nothing is read or written yet.
    explicit TIniFile(std::string FileName);

    const std::string& FileName() const noexcept { return FFileName; }

    // The stored text, or Default when the name (or its section, or the file) is absent. A name
    // present with empty text reads as empty text.
    std::string ReadString(const std::string& Section, const std::string& Ident,
                           const std::string& Default) const;
    // Raises EIniFileException when the system call fails.
    void WriteString(const std::string& Section, const std::string& Ident,
                     const std::string& Value);
    // "0x"/"0X" and hexadecimal digits read as hexadecimal, otherwise TryStrToInt; Default when
    // absent or not an integer.
    std::int32_t ReadInteger(const std::string& Section, const std::string& Ident,
                             std::int32_t Default) const;
    // Writes the signed decimal text.
    void WriteInteger(const std::string& Section, const std::string& Ident, std::int32_t Value);
    // "0" is false, any other integer true; Default when absent or not an integer.
    bool ReadBool(const std::string& Section, const std::string& Ident, bool Default) const;
    void WriteBool(const std::string& Section, const std::string& Ident, bool Value);

    bool SectionExists(const std::string& Section) const;
    bool ValueExists(const std::string& Section, const std::string& Ident) const;
    // Replace the contents of Strings with the section names / the names of one section.
    void ReadSections(TStrings& Strings) const;
    void ReadSection(const std::string& Section, TStrings& Strings) const;
    // Raise EIniFileException when the system call fails.
    void EraseSection(const std::string& Section);
    void DeleteKey(const std::string& Section, const std::string& Ident);

private:
    // The zero-separated list GetPrivateProfileStringA gives for a null section or name.
    void ReadList(const char* Section, TStrings& Strings) const;
    [[noreturn]] void RaiseWriteError() const;

    std::string FFileName;
};

} // namespace zv
