// The reading half of a telnet connection that carries a serial line (the COM-PORT-OPTION
// protocol): bytes from the server in, data bytes and telnet commands out. It keeps no more
// state than one command in progress, so the server's stream may be cut anywhere, and it never
// holds more than kMaxPayload bytes of a suboption: a longer one is dropped whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zv::win32 {

namespace telnet {
constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                       kSe = 240;
constexpr std::uint8_t kBinary = 0, kEcho = 1, kSga = 3, kComPort = 44;
} // namespace telnet

struct TelnetCommand {
    enum Kind : std::uint8_t { Will, Wont, Do, Dont, Sub } kind;
    std::uint8_t option;
    std::vector<std::uint8_t> payload; // Sub only: the bytes after the option, IAC IAC undone
    std::size_t pos;                   // data bytes delivered before the command
};

class TelnetReader {
public:
    static constexpr std::size_t kMaxPayload = 64;

    // Decodes `count` bytes; data goes to `out` (room for `count` bytes is enough) and commands
    // are appended to `commands`. Returns the number of data bytes.
    std::size_t Feed(const std::uint8_t* in, std::size_t count, std::uint8_t* out,
                     std::vector<TelnetCommand>& commands);

    // Suboptions dropped because they were longer than kMaxPayload.
    std::size_t Dropped() const { return dropped_; }

private:
    // A byte of a suboption: its option first, then payload up to kMaxPayload.
    void AddSubByte(std::uint8_t b);

    enum class State : std::uint8_t { Data, Iac, Verb, Sub, SubIac };
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    bool subOverflow_ = false;
    bool subHaveOption_ = false;
    std::uint8_t subOption_ = 0;
    std::vector<std::uint8_t> payload_;
    std::size_t dropped_ = 0;
};

} // namespace zv::win32
